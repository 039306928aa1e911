// Class NetworkSession: a host's handle on one network session, the folding
// session over the network fold. Its own logic is the translation of event
// names and dict fields into network events, and of fold results into dicts.
#include "network_session.h"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "coordinator.h"
#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

namespace ev = kernel::network_event;
namespace rq = kernel::network_request;
using kernel::NetworkEvent;

// One accepted event type: the dict keys it reads, in reading order, and how
// the event is built from their texts. An absent key fails with "missing
// {key}".
struct EventType {
  std::string_view name;
  std::array<const char*, 2> keys;  // unused ones null
  NetworkEvent (*make)(std::string first, std::string second);
};

template <class Event>
NetworkEvent agent_event(std::string agent, std::string) {
  return Event{std::move(agent)};
}
template <class Event>
NetworkEvent pair_event(std::string first, std::string second) {
  return Event{std::move(first), std::move(second)};
}

constexpr EventType kEventTypes[] = {
    {"UserMessage", {}, [](std::string, std::string) -> NetworkEvent { return ev::UserMessage{}; }},
    {"RegisterAgent", {"agent"}, agent_event<ev::RegisterAgent>},
    {"StartAgent", {"agent"}, agent_event<ev::StartAgent>},
    {"AgentDone", {"agent"}, agent_event<ev::AgentDone>},
    {"ResetAgent", {"agent"}, agent_event<ev::ResetAgent>},
    {"DelegationRequested", {"parent", "child"}, pair_event<ev::DelegationRequested>},
    {"DelegationComplete", {"parent", "child"}, pair_event<ev::DelegationComplete>},
    {"DelegationFailed", {"parent", "child"}, pair_event<ev::DelegationFailed>},
    {"HandoffRequested", {"src", "dst"}, pair_event<ev::HandoffRequested>},
    {"HandoffComplete", {"src", "dst"}, pair_event<ev::HandoffComplete>},
    {"AgentFailed", {"agent"}, agent_event<ev::AgentFailed>},
};

// The text under `key` among the dict's own items: a dict subclass's
// __getitem__ and __missing__ are not consulted.
std::optional<std::string> required_text(PyObject* dict, const char* key) {
  PyObject* found = nullptr;
  int rc = PyDict_GetItemStringRef(dict, key, &found);
  if (rc < 0) return std::nullopt;
  if (rc == 0) {
    raise_value_error(std::string("missing ") + key);
    return std::nullopt;
  }
  Ref value(found);
  return extract_str(value.get());
}

std::optional<NetworkEvent> event_from(std::string_view type, PyObject* data) {
  for (const EventType& row : kEventTypes) {
    if (row.name != type) continue;
    std::array<std::string, 2> texts;
    for (std::size_t i = 0; i < row.keys.size() && row.keys[i]; ++i) {
      auto text = required_text(data, row.keys[i]);
      if (!text) return std::nullopt;
      texts[i] = std::move(*text);
    }
    return row.make(std::move(texts[0]), std::move(texts[1]));
  }
  raise_value_error("unknown network event type: " + std::string(type));
  return std::nullopt;
}

PyObject* request_dict(const char* type, const std::string& agent) {
  return new_dict([&](PyObject* d) {
    return set_item(d, "type", new_str(type)) && set_item(d, "agent", new_str(agent));
  });
}

PyObject* request_to_py(const kernel::NetworkRequest& request) {
  // A request marked for an outbound check shows exactly like a plain one.
  if (const auto* run = std::get_if<rq::AgentRequest>(&request)) {
    return request_dict("AgentRequest", run->agent);
  }
  return request_dict("CollectAgentResult", std::get<rq::CollectAgentResult>(request).agent);
}

// {"requests": [...], "error": None}.
PyObject* fold_result_to_py(const coordinator_fold::NetworkSession::Requests& result) {
  return new_dict([&](PyObject* d) {
    return set_item(d, "requests", new_list_of(result, [](const auto& classified) {
             return std::visit([](const auto& r) { return request_to_py(r.request); }, classified);
           })) &&
           set_item(d, "error", Py_NewRef(Py_None));
  });
}

// The result is built before the turn is applied: a failure on the way
// leaves the session as it was.
PyObject* fold(PyNetworkSession& n, NetworkEvent event) {
  auto turn = coordinator_fold::prepare_network_turn(n.session, std::move(event));
  PyObject* result = fold_result_to_py(turn.output());
  if (result != nullptr) turn.commit();
  return result;
}

constexpr Signature kNew{"NetworkSession.__new__()",
                         {"agents", "delegation_routes", "handoff_routes", "entry_point"}};
constexpr Signature kAgentStatus{"NetworkSession.agent_status()", {"id"}};
constexpr Signature kSession{"NetworkSession.session()", {"id"}};
constexpr Signature kFoldEvent{"NetworkSession.fold_event()", {"event_type", "event_data"}};
constexpr Signature kStaticDelegation{"NetworkSession.fold_static_delegation()", {"src", "dst"}};
constexpr Signature kStaticComplete{"NetworkSession.fold_static_delegation_complete()",
                                    {"src", "dst"}};
constexpr Signature kResetAgent{"NetworkSession.reset_agent()", {"id"}};

PyObject* construct_network(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct<PyNetworkSession>(
      type, kNew, args, kwargs, [](const Args& a) -> std::optional<PyNetworkSession> {
        kernel::NetworkConfig config;
        if (!a.str_sequence(0, config.agents) || !a.pair_sequence(1, config.delegation_routes) ||
            !a.pair_sequence(2, config.handoff_routes) || !a.str(3, config.entry_point)) {
          return std::nullopt;
        }
        auto session = coordinator_fold::from_config(std::move(config));
        if (!session) {
          raise_value_error(session.error().display());
          return std::nullopt;
        }
        return PyNetworkSession{std::move(*session), {}};
      });
}

PyObject* active_agent(PyObject* self, void*) {
  return read_member<PyNetworkSession, Access::Shared>(
      self, [](PyNetworkSession& n) { return new_str(n.session.state.active_agent); });
}

PyObject* agent_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return call_method<PyNetworkSession, Access::Shared>(
      self, kAgentStatus, args, nargs, kwnames,
      [](PyNetworkSession& n, const Args& a) -> PyObject* {
        std::string id;
        if (!a.str(0, id)) return nullptr;
        const kernel::CoordinatedSession* s = n.session.state.coordinator.session(id);
        if (s == nullptr) Py_RETURN_NONE;
        return new_str(kernel::session_status_text(s->status));
      });
}

PyObject* session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyNetworkSession, Access::Shared>(
      self, kSession, args, nargs, kwnames, [](PyNetworkSession& n, const Args& a) -> PyObject* {
        std::string id;
        if (!a.str(0, id)) return nullptr;
        return session_to_py(n.session.state.coordinator, id);
      });
}

PyObject* delegation_graph(PyObject* self, PyObject*) {
  return read_member<PyNetworkSession, Access::Shared>(self, [](PyNetworkSession& n) {
    return delegation_graph_to_py(n.session.state.coordinator);
  });
}

PyObject* fold_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyNetworkSession, Access::Exclusive>(
      self, kFoldEvent, args, nargs, kwnames,
      [](PyNetworkSession& n, const Args& a) -> PyObject* {
        std::string type;
        PyObject* data = nullptr;
        if (!a.str(0, type) || !a.dict(1, data)) return nullptr;
        auto event = event_from(type, data);
        if (!event) return nullptr;
        return fold(n, std::move(*event));
      });
}

// The two static delegation members: the event built from (src, dst).
template <const Signature& sig, class Event>
PyObject* fold_pair(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyNetworkSession, Access::Exclusive>(
      self, sig, args, nargs, kwnames, [](PyNetworkSession& n, const Args& a) -> PyObject* {
        std::string src, dst;
        if (!a.str(0, src) || !a.str(1, dst)) return nullptr;
        return fold(n, Event{std::move(src), std::move(dst)});
      });
}

PyObject* reset_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return call_method<PyNetworkSession, Access::Exclusive>(
      self, kResetAgent, args, nargs, kwnames,
      [](PyNetworkSession& n, const Args& a) -> PyObject* {
        std::string id;
        if (!a.str(0, id)) return nullptr;
        coordinator_fold::prepare_network_turn(n.session, ev::ResetAgent{std::move(id)}).commit();
        Py_RETURN_NONE;
      });
}

constexpr int kCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"agent_status", as_cfunction(agent_status), kCall, "agent_status($self, id)\n--\n\n"},
    {"session", as_cfunction(session), kCall,
     "session($self, id)\n--\n\nQuery a session by ID. Returns dict with status etc, or None."},
    {"delegation_graph", as_cfunction(delegation_graph), METH_NOARGS,
     "delegation_graph($self)\n--\n\nActive delegation edges."},
    {"fold_event", as_cfunction(fold_event), kCall,
     "fold_event($self, event_type, event_data)\n--\n\n"
     "Fold a network event. Returns {\"requests\": [...], \"error\": str|None}."},
    {"fold_static_delegation",
     as_cfunction(fold_pair<kStaticDelegation, ev::DelegationRequested>), kCall,
     "fold_static_delegation($self, src, dst)\n--\n\n"
     "Fold a static delegation (between pre-registered agents)."},
    {"fold_static_delegation_complete",
     as_cfunction(fold_pair<kStaticComplete, ev::DelegationComplete>), kCall,
     "fold_static_delegation_complete($self, src, dst)\n--\n\nComplete a static delegation."},
    {"reset_agent", as_cfunction(reset_agent), kCall,
     "reset_agent($self, id)\n--\n\nReset a done agent to idle via fold."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"active_agent", active_agent, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_network_session(PyObject* module) {
  return add_class<PyNetworkSession>(
      module, {.doc = "NetworkSession(agents, delegation_routes, handoff_routes, entry_point)\n--\n\n",
               .methods = methods,
               .getsets = getsets,
               .constructor = construct_network});
}

}  // namespace vostrel::py
