// Registration of the module's functions and classes, and the helpers that
// make class and function objects.
#include <vector>

#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

using AddFn = int (*)(PyObject*);

// The module's attributes, in the order they are added.
constexpr AddFn kRegistration[] = {
    add_load_transducer,
    add_stdlib,
    add_validate,
    add_transducer_def,
    add_session_config,
    add_step_result,
    add_session,
    add_snapshot,
    add_continuation_session,
    add_fold_result,
    add_coordinator,
    add_load_session_def,
    add_validate_session_def,
    add_validate_session_def_strict,
    add_derive_topology,
    add_derive_inbound_checks,
    add_resolve_source,
    add_agent_session,
    add_session_init,
    add_network_session,
};

}  // namespace

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "the execution slot needs a module object");
    return -1;
  }
  for (AddFn add : kRegistration) {
    if (add(module) < 0) return -1;
  }
  return 0;
}

int add_class_object(PyObject* module, const char* name, Py_ssize_t basicsize,
                     destructor dealloc_fn, const ClassSpec& spec, PyTypeObject** out) {
  PyType_Slot slots[7];
  int n = 0;
  slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
  slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fn)};
  if (spec.methods) slots[n++] = {Py_tp_methods, spec.methods};
  if (spec.getsets) slots[n++] = {Py_tp_getset, spec.getsets};
  if (spec.constructor) slots[n++] = {Py_tp_new, reinterpret_cast<void*>(spec.constructor)};
  if (spec.repr) slots[n++] = {Py_tp_repr, reinterpret_cast<void*>(spec.repr)};
  slots[n] = {0, nullptr};

  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (!spec.constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{name, static_cast<int>(basicsize), 0, flags, slots};
  Ref type(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
  if (!type) return -1;
  // A bare type name leaves `__module__` unset, which breaks introspection
  // (help, inspect); name the defining module without changing the name.
  Ref module_name(PyModule_GetNameObject(module));
  Ref dict(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type.get())));
  if (!module_name || !dict ||
      PyDict_SetItemString(dict.get(), "__module__", module_name.get()) < 0) {
    return -1;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  if (PyModule_AddObjectRef(module, name, type.get()) < 0) return -1;
  Py_XSETREF(*out, reinterpret_cast<PyTypeObject*>(type.release()));
  return 0;
}

int add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref fn(PyCFunction_NewEx(def, module, module_name.get()));
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, def->ml_name, fn.get());
}

PyObject* new_dict(std::initializer_list<std::pair<const char*, PyObject*>> entries) {
  // Take every reference first, so none leaks whichever one fails.
  std::vector<Ref> owned;
  owned.reserve(entries.size());
  for (const auto& entry : entries) owned.emplace_back(entry.second);
  for (const Ref& value : owned) {
    if (!value) return nullptr;
  }
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  std::size_t i = 0;
  for (const auto& entry : entries) {
    if (PyDict_SetItemString(dict.get(), entry.first, owned[i++].get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* new_str_list(const std::vector<std::string>& items) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* s = new_str(items[i]);
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

}  // namespace vostrel::py
