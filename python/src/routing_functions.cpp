// Not built yet: registers nothing.
#include "registry.h"

namespace vostrel::py {

int add_load_session_def(PyObject*) { return 0; }
int add_validate_session_def(PyObject*) { return 0; }
int add_validate_session_def_strict(PyObject*) { return 0; }
int add_derive_topology(PyObject*) { return 0; }
int add_derive_inbound_checks(PyObject*) { return 0; }
int add_resolve_source(PyObject*) { return 0; }

}  // namespace vostrel::py
