// The definition functions: load_transducer, stdlib, validate and
// session_init, which prepare an agent before any session exists.
#include "classes.h"
#include "convert.h"
#include "engine/kernel/types_io.h"
#include "engine/loader.h"
#include "engine/stdlib.h"
#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

PyObject* new_transducer_def(kernel::TransducerDef def) {
  return make_object(PyTransducerDef{std::move(def)});
}

constexpr Signature kLoadTransducer{"load_transducer()", {"json"}};

PyObject* load_transducer_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kLoadTransducer, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::string json;
    if (!a.str(0, json)) return nullptr;
    auto def = kernel::transducer_from_json(json);
    if (!def) return raise_value_error(def.error());
    return new_transducer_def(std::move(*def));
  });
}

PyObject* stdlib_fn(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    std::vector<kernel::TransducerDef> defs = stdlib::stdlib();
    Ref list(PyList_New(static_cast<Py_ssize_t>(defs.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < defs.size(); ++i) {
      PyObject* item = new_transducer_def(std::move(defs[i]));
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

constexpr Signature kValidate{"validate()", {"transducers"}};

PyObject* validate_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kValidate, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::vector<kernel::TransducerDef> defs;
    if (!a.transducers(0, defs)) return nullptr;
    std::vector<std::string> problems;
    for (const loader::LoadError& e : loader::validate_session(defs)) {
      problems.push_back(loader::debug_string(e));
    }
    return new_str_list(problems);
  });
}

constexpr Signature kSessionInit{"session_init()", {"context"}};

PyObject* session_init_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kSessionInit, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    kernel::Value context;
    if (!a.list_value(0, context)) return nullptr;
    auto [tag, data] = stdlib::session_init(std::move(context.list_mut()));
    Ref py_tag(new_str(tag));
    if (!py_tag) return nullptr;
    Ref py_data(env_to_py_dict(data));
    if (!py_data) return nullptr;
    return PyTuple_Pack(2, py_tag.get(), py_data.get());
  });
}

PyMethodDef load_transducer_def = {"load_transducer", as_cfunction(load_transducer_fn),
                                   METH_FASTCALL | METH_KEYWORDS,
                                   "load_transducer(json)\n--\n\n"};
PyMethodDef stdlib_def = {"stdlib", as_cfunction(stdlib_fn), METH_NOARGS, "stdlib()\n--\n\n"};
PyMethodDef validate_def = {"validate", as_cfunction(validate_fn), METH_FASTCALL | METH_KEYWORDS,
                            "validate(transducers)\n--\n\n"};
PyMethodDef session_init_def = {
    "session_init", as_cfunction(session_init_fn), METH_FASTCALL | METH_KEYWORDS,
    "session_init(context)\n--\n\n"
    "Stdlib helper: produce a SessionInit boot event as (tag, data_dict)."};

}  // namespace

int add_load_transducer(PyObject* module) { return add_function(module, &load_transducer_def); }
int add_stdlib(PyObject* module) { return add_function(module, &stdlib_def); }
int add_validate(PyObject* module) { return add_function(module, &validate_def); }
int add_session_init(PyObject* module) { return add_function(module, &session_init_def); }

}  // namespace vostrel::py
