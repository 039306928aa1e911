// Not built yet: registers nothing.
#include "registry.h"

namespace vostrel::py {

int add_coordinator(PyObject*) { return 0; }

}  // namespace vostrel::py
