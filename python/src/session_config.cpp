// Not built yet: registers nothing.
#include "registry.h"

namespace vostrel::py {

int add_session_config(PyObject*) { return 0; }

}  // namespace vostrel::py
