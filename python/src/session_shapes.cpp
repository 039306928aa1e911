#include "session_shapes.h"

#include <variant>

#include "convert.h"
#include "object.h"

namespace vostrel::py {

using unified_session::CheckThenDispatch;
using unified_session::Dispatch;

PyObject* action_dict(const agent_fold::RequestAction& action) {
  if (const auto* plain = std::get_if<Dispatch<kernel::Value>>(&action)) {
    return new_dict([&](PyObject* d) {
      return set_item(d, "type", new_str("Dispatch")) &&
             set_item(d, "request", value_to_py(plain->request));
    });
  }
  const auto& c = std::get<CheckThenDispatch<kernel::Value>>(action);
  return new_dict([&](PyObject* d) {
    return set_item(d, "type", new_str("CheckThenDispatch")) &&
           set_item(d, "request", value_to_py(c.request)) &&
           set_item(d, "check_source", new_str(c.check_source));
  });
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
  if (const auto* plain = std::get_if<Dispatch<kernel::Value>>(&request)) {
    return new_dict([&](PyObject* d) {
      return set_item(d, "action", new_str("Dispatch")) &&
             set_item(d, "request", payload(plain->request));
    });
  }
  const auto& c = std::get<CheckThenDispatch<kernel::Value>>(request);
  return new_dict([&](PyObject* d) {
    return set_item(d, "action", new_str("CheckThenDispatch")) &&
           set_item(d, "check_source", new_str(c.check_source)) &&
           set_item(d, "request", payload(c.request));
  });
}

}  // namespace vostrel::py
