// Not built yet: registers nothing.
#include "registry.h"

namespace vostrel::py {

int add_network_session(PyObject*) { return 0; }

}  // namespace vostrel::py
