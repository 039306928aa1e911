// Not built yet: registers nothing.
#include "registry.h"

namespace vostrel::py {

int add_load_transducer(PyObject*) { return 0; }
int add_stdlib(PyObject*) { return 0; }
int add_validate(PyObject*) { return 0; }
int add_session_init(PyObject*) { return 0; }

}  // namespace vostrel::py
