// Conversion between Python objects and the engine's values.
//
// Every dict, list or event log handed in by Python and every value handed
// back goes through these five functions. They run no Python code of the
// objects they read (no hook of a user class), build the whole result or
// nothing, and walk nested containers with explicit stacks, so a value
// nested a million levels deep converts without exhausting the C stack.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/kernel/value.h"
#include "py.h"

namespace vostrel::py {

// An event history as Python hands it in: (tag, data) pairs in order.
using EventLog = std::vector<std::pair<std::string, kernel::Env>>;

// Each returns nullopt with the Python error set.
std::optional<kernel::Value> py_to_value(PyObject* obj);
std::optional<kernel::Env> py_dict_to_env(PyObject* dict);
std::optional<EventLog> py_list_to_event_log(PyObject* list);

// New references; null only when Python cannot allocate.
PyObject* value_to_py(const kernel::Value& value);
PyObject* env_to_py_dict(const kernel::Env& env);

// The UTF-8 text of a str (or subclass); nullopt with UnicodeEncodeError set
// for a str that holds a lone surrogate.
std::optional<std::string_view> str_utf8(PyObject* str);

}  // namespace vostrel::py
