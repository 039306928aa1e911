#include "session_shapes.h"

#include <variant>

#include "convert.h"

namespace vostrel::py {

using unified_session::CheckThenDispatch;
using unified_session::Dispatch;

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

PyObject* action_dict(const agent_fold::RequestAction& action) {
  if (const auto* d = std::get_if<Dispatch<kernel::Value>>(&action)) {
    return new_dict({{"type", new_str("Dispatch")}, {"request", value_to_py(d->request)}});
  }
  const auto& c = std::get<CheckThenDispatch<kernel::Value>>(action);
  return new_dict({{"type", new_str("CheckThenDispatch")},
                   {"request", value_to_py(c.request)},
                   {"check_source", new_str(c.check_source)}});
}

PyObject* action_list(const std::vector<agent_fold::RequestAction>& actions) {
  return new_list_of(actions, action_dict);
}

namespace {

PyObject* payload(const kernel::Value& request) {
  if (const kernel::Map* entries = request.if_map()) return env_to_py_dict(*entries);
  return PyDict_New();
}

}  // namespace

PyObject* request_dict(const unified_session::ClassifiedRequest<kernel::Value>& request) {
  if (const auto* d = std::get_if<Dispatch<kernel::Value>>(&request)) {
    return new_dict({{"action", new_str("Dispatch")}, {"request", payload(d->request)}});
  }
  const auto& c = std::get<CheckThenDispatch<kernel::Value>>(request);
  return new_dict({{"action", new_str("CheckThenDispatch")},
                   {"check_source", new_str(c.check_source)},
                   {"request", payload(c.request)}});
}

}  // namespace vostrel::py
