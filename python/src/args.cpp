#include "args.h"

#include <cstring>

#include "classes.h"
#include "object.h"

namespace vostrel::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.full_name, sig.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.full_name, sig.required, sig.count, given, verb);
  }
  return false;
}

// Places one keyword argument; false with TypeError set when it names no
// parameter or one already given.
bool place_keyword(const Signature& sig, std::array<PyObject*, kMaxParams>& values,
                   PyObject* name, PyObject* value) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (!text) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.full_name);
    return false;
  }
  std::string_view key(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (key == sig.names[i]) {
      if (values[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                     sig.names[i]);
        return false;
      }
      values[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, name);
  return false;
}

bool all_required_given(const Signature& sig, const std::array<PyObject*, kMaxParams>& values) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (!values[i]) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments",
               quoted_list(missing).c_str());
  return false;
}

}  // namespace

std::optional<Args> match_fastcall(const Signature& sig, PyObject* const* args,
                                   Py_ssize_t nargsf, PyObject* kwnames) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (static_cast<std::size_t>(nargs) > sig.count) {
    too_many_positional(sig, nargs);
    return std::nullopt;
  }
  Args out(sig);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[static_cast<std::size_t>(i)] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, out.values_, PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) {
        return std::nullopt;
      }
    }
  }
  if (!all_required_given(sig, out.values_)) return std::nullopt;
  return out;
}

std::optional<Args> match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > sig.count) {
    too_many_positional(sig, nargs);
    return std::nullopt;
  }
  Args out(sig);
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out.values_[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  }
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(sig, out.values_, name, value)) return std::nullopt;
    }
  }
  if (!all_required_given(sig, out.values_)) return std::nullopt;
  return out;
}

void raise_not_instance(PyObject* obj, std::string_view expected) {
  std::string exp(expected);
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", exp.c_str());
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                 type_qualname(obj).c_str(), exp.c_str());
  }
}

bool fail_argument(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* old = PyErr_GetRaisedException();
  Ref old_ref(old);
  Ref cause(PyException_GetCause(old));
  Ref message(PyObject_Str(old));
  if (!message) return false;
  Ref fresh(PyObject_CallFunction(PyExc_TypeError, "O",
                                  Ref(PyUnicode_FromFormat("argument '%s': %U", param,
                                                           message.get()))
                                      .get()));
  if (!fresh) return false;
  if (cause) PyException_SetCause(fresh.get(), cause.release());  // steals
  PyErr_SetRaisedException(fresh.release());
  return false;
}

namespace {

std::optional<std::string_view> extract_str_view(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    return std::nullopt;
  }
  return str_utf8(obj);
}

}  // namespace

std::optional<std::string> extract_str(PyObject* obj) {
  auto text = extract_str_view(obj);
  if (!text) return std::nullopt;
  return std::string(*text);
}

bool Args::str(std::size_t i, std::string& out) const {
  auto text = extract_str(values_[i]);
  if (!text) return fail_argument(name(i));
  out = std::move(*text);
  return true;
}

bool Args::str(std::size_t i, std::string_view& out) const {
  auto text = extract_str_view(values_[i]);
  if (!text) return fail_argument(name(i));
  out = *text;
  return true;
}

bool Args::dict(std::size_t i, PyObject*& out) const {
  if (!PyDict_Check(values_[i])) {
    raise_not_instance(values_[i], "dict");
    return fail_argument(name(i));
  }
  out = values_[i];
  return true;
}

bool Args::env(std::size_t i, kernel::Env& out) const {
  PyObject* d = nullptr;
  if (!dict(i, d)) return false;
  auto env = py_dict_to_env(d);
  if (!env) return false;
  out = std::move(*env);
  return true;
}

bool Args::event_log(std::size_t i, EventLog& out) const {
  if (!PyList_Check(values_[i])) {
    raise_not_instance(values_[i], "list");
    return fail_argument(name(i));
  }
  auto log = py_list_to_event_log(values_[i]);
  if (!log) return false;
  out = std::move(*log);
  return true;
}

bool Args::list_value(std::size_t i, kernel::Value& out) const {
  if (!PyList_Check(values_[i])) {
    raise_not_instance(values_[i], "list");
    return fail_argument(name(i));
  }
  auto value = py_to_value(values_[i]);
  if (!value) return false;
  out = std::move(*value);
  return true;
}

bool Args::bytes(std::size_t i, std::string_view& out) const {
  PyObject* obj = values_[i];
  if (!PyBytes_Check(obj)) {
    raise_not_instance(obj, "bytes");
    return fail_argument(name(i));
  }
  out = std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

namespace {

// Walks a sequence argument (any sequence but str) element by element.
template <class Each>
bool for_each_element(PyObject* obj, Each&& each) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_not_instance(obj, "Sequence");
    return false;
  }
  Ref iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item{PyIter_Next(iter.get())}) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

bool Args::transducers(std::size_t i, std::vector<kernel::TransducerDef>& out) const {
  std::vector<kernel::TransducerDef> defs;
  bool ok = for_each_element(values_[i], [&](PyObject* item) {
    if (!is_instance<PyTransducerDef>(item)) {
      raise_not_instance(item, PyTransducerDef::kName);
      return false;
    }
    defs.push_back(body_of<PyTransducerDef>(item).def);
    return true;
  });
  if (!ok) return fail_argument(name(i));
  out = std::move(defs);
  return true;
}

bool Args::str_sequence(std::size_t i, std::vector<std::string>& out) const {
  std::vector<std::string> items;
  bool ok = for_each_element(values_[i], [&](PyObject* item) {
    auto text = extract_str(item);
    if (!text) return false;
    items.push_back(std::move(*text));
    return true;
  });
  if (!ok) return fail_argument(name(i));
  out = std::move(items);
  return true;
}

bool Args::pair_sequence(std::size_t i,
                         std::vector<std::pair<std::string, std::string>>& out) const {
  std::vector<std::pair<std::string, std::string>> pairs;
  bool ok = for_each_element(values_[i], [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      raise_not_instance(item, "tuple");
      return false;
    }
    if (PyTuple_GET_SIZE(item) != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   PyTuple_GET_SIZE(item));
      return false;
    }
    auto first = extract_str(PyTuple_GET_ITEM(item, 0));
    if (!first) return false;
    auto second = extract_str(PyTuple_GET_ITEM(item, 1));
    if (!second) return false;
    pairs.emplace_back(std::move(*first), std::move(*second));
    return true;
  });
  if (!ok) return fail_argument(name(i));
  out = std::move(pairs);
  return true;
}

}  // namespace vostrel::py
