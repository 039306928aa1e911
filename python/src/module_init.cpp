// The module's only exported symbol: the definition handed to the
// interpreter for multi-phase initialisation.
#include "registry.h"

namespace {

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vostrel::py::exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
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
