// Registration of the module's functions and classes, and the helpers that
// make class and function objects.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

// The class objects of one interpreter, filled in by the first module copy
// that registers each class and read by every call that makes an instance.
struct ClassTable {
  std::atomic<PyTypeObject*> types[kClassCount] = {};
};

constexpr const char* kClassTableName = "vostrel._core class table";

void free_class_table(PyObject* capsule) {
  auto* table = static_cast<ClassTable*>(PyCapsule_GetPointer(capsule, kClassTableName));
  if (!table) return;
  for (std::atomic<PyTypeObject*>& type : table->types) Py_XDECREF(type.load());
  delete table;
}

// The table's key in the interpreter's dict. It names this copy of the
// library, so that two different builds loaded into one interpreter never
// take each other's classes (their records and deallocators differ).
const char* class_table_key() {
  static const std::string key = [] {
    char text[64];
    std::snprintf(text, sizeof text, "vostrel._core classes %#jx",
                  static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(&free_class_table)));
    return std::string(text);
  }();
  return key.c_str();
}

// The calling interpreter's class table (kept alive by the interpreter's
// dict until the interpreter shuts down); with `create`, a new empty one
// when none exists yet. Null with a Python error set on failure.
ClassTable* interpreter_class_table(bool create) {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!dict) {
    PyErr_SetString(PyExc_RuntimeError, "the interpreter keeps no per-interpreter data");
    return nullptr;
  }
  PyObject* found = nullptr;
  int status = PyDict_GetItemStringRef(dict, class_table_key(), &found);
  if (status < 0) return nullptr;
  if (status == 0) {
    if (!create) {
      PyErr_SetString(PyExc_RuntimeError, "vostrel._core is not initialised in this interpreter");
      return nullptr;
    }
    auto* table = new (std::nothrow) ClassTable();
    if (!table) {
      PyErr_NoMemory();
      return nullptr;
    }
    Ref capsule(PyCapsule_New(table, kClassTableName, free_class_table));
    if (!capsule) {
      delete table;
      return nullptr;
    }
    Ref key(PyUnicode_FromString(class_table_key()));
    // Another thread importing a module copy at the same time may store
    // its table first; both then use the one stored.
    if (!key || PyDict_SetDefaultRef(dict, key.get(), capsule.get(), &found) < 0) return nullptr;
  }
  Ref holder(found);
  return static_cast<ClassTable*>(PyCapsule_GetPointer(found, kClassTableName));
}

// A new class object. A heap type takes its `__module__` from a dotted
// name; Python's own messages quote the type's C name ("cannot create 'X'
// instances", "type 'X' is not an acceptable base type"), which therefore
// is cut back to the bare class name once the type is made.
PyTypeObject* new_class(PyObject* module, const char* name, Py_ssize_t basicsize,
                        destructor dealloc_fn, const ClassSpec& spec) {
  const char* module_name = PyModule_GetName(module);
  if (!module_name) return nullptr;
  const std::string dotted = std::string(module_name) + "." + name;

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
  PyType_Spec type_spec{dotted.c_str(), static_cast<int>(basicsize), 0, flags, slots};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
  if (!type) return nullptr;
  // The type holds its own copy of the dotted name; point into it.
  type->tp_name += dotted.size() - std::strlen(name);
  PyType_Modified(type);
  return type;
}

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

// A C++ throw records the exception in the runtime's per-thread state. In
// a library loaded after the process started, thread-local storage is
// normally allocated by the loader, with malloc, on each thread's first use;
// a thread's first throw is usually the std::bad_alloc of memory running
// out, so that allocation would fail too, and the loader aborts the process.
// The runtime is linked into this module, its state with the module's own
// thread-local block, and this variable, written in the initial-exec model,
// makes the loader place that block in the static TLS area instead: set up
// for every running thread when the module is loaded, and for every new
// thread as it starts, so a throw never needs memory for it. (The exception
// object itself comes from the runtime's emergency pool when malloc fails.)
[[gnu::tls_model("initial-exec")]] thread_local bool imported_on_this_thread = false;

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "the execution slot needs a module object");
    return -1;
  }
  imported_on_this_thread = true;
  // Touching the runtime's state brings this thread's table of thread-local
  // blocks up to date with the module while memory is still at hand. Other
  // threads that were running at load find room for the module in their
  // tables (the loader leaves room for more than a dozen libraries).
  static_cast<void>(std::current_exception());
  for (AddFn add : kRegistration) {
    if (add(module) < 0) return -1;
  }
  return 0;
}

PyTypeObject* interpreter_class(std::size_t slot) {
  ClassTable* table = interpreter_class_table(false);
  if (!table) return nullptr;
  PyTypeObject* type = table->types[slot].load(std::memory_order_acquire);
  if (!type) {
    PyErr_Format(PyExc_RuntimeError, "class '%s' of vostrel._core is not registered in this interpreter",
                 kClassNames[slot].data());
  }
  return type;
}

int add_class_object(PyObject* module, const char* name, std::size_t slot, Py_ssize_t basicsize,
                     destructor dealloc_fn, const ClassSpec& spec) {
  try {
    ClassTable* table = interpreter_class_table(true);
    if (!table) return -1;
    std::atomic<PyTypeObject*>& entry = table->types[slot];
    PyTypeObject* type = entry.load(std::memory_order_acquire);
    if (!type) {
      PyTypeObject* made = new_class(module, name, basicsize, dealloc_fn, spec);
      if (!made) return -1;
      // A concurrent import of another module copy may have stored its
      // class first: keep that one (now in `type`) and drop ours.
      if (entry.compare_exchange_strong(type, made, std::memory_order_acq_rel)) {
        type = made;
      } else {
        Py_DECREF(made);
      }
    }
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

int add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref fn(PyCFunction_NewEx(def, module, module_name.get()));
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, def->ml_name, fn.get());
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

}  // namespace vostrel::py
