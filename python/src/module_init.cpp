// The module's only exported symbol: the definition handed to the
// interpreter for multi-phase initialisation.
#include "registry.h"

namespace {

// The module keeps nothing outside its objects but the class objects, and
// those in each interpreter's own dict: every interpreter, one with its own
// interpreter lock included, gets a working module of its own.
//
// The Py_mod_gil slot declares Py_MOD_GIL_NOT_USED, as the module's
// definition requires. On a build with the interpreter lock the slot changes
// nothing: every call runs to its end with the lock held and never releases
// it, and that is what keeps the conversions' walks over the caller's dicts
// and lists (with borrowed references) safe. A free-threaded build would
// need critical sections there; configuring against one stops with a
// message (CMakeLists.txt).
PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vostrel::py::exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,
    nullptr,
    core_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&core_module); }
