// Class Coordinator: a host's direct handle on one engine coordinator.
//
// Each method converts its arguments, makes one engine call and converts the
// result: an effect becomes an effect dict, an operation without one returns
// None, a refusal becomes a ValueError with the refusal's display text (the
// coordinator has then changed nothing).
#include "coordinator.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "convert.h"
#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

using kernel::Coordinator;
using kernel::Effect;
namespace fx = kernel::effect;

PyObject* new_count(std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }

PyObject* session_dict(const kernel::CoordinatedSession& s) {
  return new_dict([&](PyObject* d) {
    return set_item(d, "status", new_str(kernel::session_status_text(s.status))) &&
           set_item(d, "step_count", new_count(s.step_count)) &&
           set_item(d, "waiting_on", new_str_list(s.waiting_on)) &&
           set_item(d, "event_count", new_count(s.event_count));
  });
}

struct EffectToPy {
  PyObject* operator()(const fx::CreateSession& e) const {
    return new_dict([&](PyObject* d) {
      return set_item(d, "type", new_str("CreateSession")) && set_item(d, "id", new_str(e.id));
    });
  }
  PyObject* operator()(const fx::ForkSession& e) const {
    return new_dict([&](PyObject* d) {
      return set_item(d, "type", new_str("ForkSession")) &&
             set_item(d, "parent", new_str(e.parent)) && set_item(d, "child", new_str(e.child)) &&
             set_item(d, "parent_event_count", new_count(e.parent_event_count));
    });
  }
  PyObject* operator()(const fx::DestroySession& e) const {
    return new_dict([&](PyObject* d) {
      return set_item(d, "type", new_str("DestroySession")) && set_item(d, "id", new_str(e.id));
    });
  }
  PyObject* operator()(const fx::AgentRequest& e) const {
    return new_dict([&](PyObject* d) {
      return set_item(d, "type", new_str("AgentRequest")) &&
             set_item(d, "session", new_str(e.session)) &&
             set_item(d, "event_tag", new_str(e.event_tag)) &&
             set_item(d, "request_data", env_to_py_dict(e.request_data));
    });
  }
  PyObject* operator()(const fx::CollectAgentResult& e) const {
    return new_dict([&](PyObject* d) {
      return set_item(d, "type", new_str("CollectAgentResult")) &&
             set_item(d, "parent", new_str(e.parent)) && set_item(d, "child", new_str(e.child)) &&
             set_item(d, "result_type", new_str(e.result_type));
    });
  }
};

PyObject* result_to_py(const kernel::CoordResult<void>& result) {
  if (!result) return raise_value_error(result.error().display());
  Py_RETURN_NONE;
}

// Runs an operation with an effect under a journal: the coordinator keeps
// its writes once the effect's dict is built, so that a failure to build it
// leaves the coordinator as it was.
template <class Op>
PyObject* effect_call(Coordinator& co, Op&& op) {
  kernel::CoordinatorJournal journal(co);
  kernel::CoordResult<Effect> result = op();
  if (!result) return raise_value_error(result.error().display());
  PyObject* built = std::visit(EffectToPy{}, *result);
  if (built != nullptr) journal.commit();
  return built;
}

template <class R, class... Params>
PyObject* run_named(kernel::CoordResult<R> (Coordinator::*op)(Params...), Coordinator& co,
                    const auto&... names) {
  if constexpr (std::is_void_v<R>) {
    return result_to_py((co.*op)(names...));
  } else {
    return effect_call(co, [&] { return (co.*op)(names...); });
  }
}

// The mutating methods whose parameters are all str: they are extracted in
// parameter order and handed to the engine operation `op` as they stand.
template <const Signature& sig, auto op>
PyObject* on_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyCoordinator, Access::Exclusive>(
      self, sig, args, nargs, kwnames, [](PyCoordinator& c, const Args& a) -> PyObject* {
        std::array<std::string, sig.count> names;
        for (std::size_t i = 0; i < names.size(); ++i) {
          if (!a.str(i, names[i])) return nullptr;
        }
        return std::apply(
            [&](const auto&... name) { return run_named(op, c.coordinator, name...); }, names);
      });
}

constexpr Signature kSpawn{"Coordinator.spawn_session()", {"id"}};
constexpr Signature kFork{"Coordinator.fork_session()", {"parent", "child"}};
constexpr Signature kDestroy{"Coordinator.destroy_session()", {"id"}};
constexpr Signature kAddRoute{"Coordinator.add_route()",
                              {"src", "dst", "request_type", "result_type"}};
constexpr Signature kStart{"Coordinator.start_processing()", {"id"}};
constexpr Signature kStep{"Coordinator.process_step()", {"id"}};
constexpr Signature kDelegate{"Coordinator.delegate_to()",
                              {"src", "dst", "request_type", "request_data"}};
constexpr Signature kFinish{"Coordinator.finish_session()", {"id"}};
constexpr Signature kComplete{"Coordinator.complete_delegation()", {"src", "dst"}};
constexpr Signature kReset{"Coordinator.reset_session()", {"id"}};
constexpr Signature kCancel{"Coordinator.cancel_delegation()", {"src", "dst"}};
constexpr Signature kFailed{"Coordinator.session_failed()", {"id"}};
constexpr Signature kSession{"Coordinator.session()", {"id"}};
constexpr Signature kCanReach{"Coordinator.can_reach()", {"start", "target"}};
constexpr Signature kNew{"Coordinator.__new__()", {}};

PyObject* add_route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyCoordinator, Access::Exclusive>(
      self, kAddRoute, args, nargs, kwnames, [](PyCoordinator& c, const Args& a) -> PyObject* {
        kernel::Route route;
        if (!a.str(0, route.src) || !a.str(1, route.dst) || !a.str(2, route.request_type) ||
            !a.str(3, route.result_type)) {
          return nullptr;
        }
        return result_to_py(c.coordinator.add_route(std::move(route)));
      });
}

PyObject* delegate_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyCoordinator, Access::Exclusive>(
      self, kDelegate, args, nargs, kwnames, [](PyCoordinator& c, const Args& a) -> PyObject* {
        std::string src, dst, request_type;
        kernel::Env data;
        // The data is converted whole before the coordinator is touched.
        if (!a.str(0, src) || !a.str(1, dst) || !a.str(2, request_type) || !a.env(3, data)) {
          return nullptr;
        }
        return effect_call(c.coordinator, [&] {
          return c.coordinator.delegate_to(src, dst, request_type, std::move(data));
        });
      });
}

PyObject* session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyCoordinator, Access::Shared>(
      self, kSession, args, nargs, kwnames, [](PyCoordinator& c, const Args& a) -> PyObject* {
        std::string id;
        if (!a.str(0, id)) return nullptr;
        return session_to_py(c.coordinator, id);
      });
}

PyObject* sessions(PyObject* self, PyObject*) {
  return read_member<PyCoordinator, Access::Shared>(self, [](PyCoordinator& c) -> PyObject* {
    Ref out(PyDict_New());
    if (!out) return nullptr;
    for (const auto& [id, record] : c.coordinator.sessions()) {
      Ref key(new_str(id));
      Ref value(session_dict(record));
      if (!key || !value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return out.release();
  });
}

PyObject* delegation_graph(PyObject* self, PyObject*) {
  return read_member<PyCoordinator, Access::Shared>(
      self, [](PyCoordinator& c) { return delegation_graph_to_py(c.coordinator); });
}

PyObject* can_reach(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyCoordinator, Access::Shared>(
      self, kCanReach, args, nargs, kwnames, [](PyCoordinator& c, const Args& a) -> PyObject* {
        std::string start, target;
        if (!a.str(0, start) || !a.str(1, target)) return nullptr;
        return new_bool(c.coordinator.can_reach(start, target));
      });
}

PyObject* construct_coordinator(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct<PyCoordinator>(type, kNew, args, kwargs,
                                  [](const Args&) { return std::optional<PyCoordinator>(std::in_place); });
}

constexpr int kCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"spawn_session", as_cfunction(on_names<kSpawn, &Coordinator::spawn_session>), kCall,
     "spawn_session($self, id)\n--\n\n"},
    {"fork_session", as_cfunction(on_names<kFork, &Coordinator::fork_session>), kCall,
     "fork_session($self, parent, child)\n--\n\n"},
    {"destroy_session", as_cfunction(on_names<kDestroy, &Coordinator::destroy_session>), kCall,
     "destroy_session($self, id)\n--\n\n"},
    {"add_route", as_cfunction(add_route), kCall,
     "add_route($self, src, dst, request_type, result_type)\n--\n\n"},
    {"start_processing", as_cfunction(on_names<kStart, &Coordinator::start_processing>), kCall,
     "start_processing($self, id)\n--\n\n"},
    {"process_step", as_cfunction(on_names<kStep, &Coordinator::process_step>), kCall,
     "process_step($self, id)\n--\n\n"},
    {"delegate_to", as_cfunction(delegate_to), kCall,
     "delegate_to($self, src, dst, request_type, request_data)\n--\n\n"},
    {"finish_session", as_cfunction(on_names<kFinish, &Coordinator::finish_session>), kCall,
     "finish_session($self, id)\n--\n\n"},
    {"complete_delegation",
     as_cfunction(on_names<kComplete, &Coordinator::complete_delegation>), kCall,
     "complete_delegation($self, src, dst)\n--\n\n"},
    {"reset_session", as_cfunction(on_names<kReset, &Coordinator::reset_session>), kCall,
     "reset_session($self, id)\n--\n\n"},
    {"cancel_delegation", as_cfunction(on_names<kCancel, &Coordinator::cancel_delegation>),
     kCall, "cancel_delegation($self, src, dst)\n--\n\n"},
    {"session_failed", as_cfunction(on_names<kFailed, &Coordinator::session_failed>), kCall,
     "session_failed($self, id)\n--\n\n"},
    {"session", as_cfunction(session), kCall, "session($self, id)\n--\n\n"},
    {"sessions", as_cfunction(sessions), METH_NOARGS, "sessions($self)\n--\n\n"},
    {"delegation_graph", as_cfunction(delegation_graph), METH_NOARGS,
     "delegation_graph($self)\n--\n\n"},
    {"can_reach", as_cfunction(can_reach), kCall, "can_reach($self, start, target)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* session_to_py(const kernel::Coordinator& coordinator, std::string_view id) {
  const kernel::CoordinatedSession* s = coordinator.session(id);
  if (s == nullptr) Py_RETURN_NONE;
  return session_dict(*s);
}

PyObject* delegation_graph_to_py(const kernel::Coordinator& coordinator) {
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const kernel::DelegationEdge& edge : coordinator.delegations()) {
    Ref item(new_dict([&](PyObject* d) {
      return set_item(d, "src", new_str(edge.parent)) && set_item(d, "dst", new_str(edge.child));
    }));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

int add_coordinator(PyObject* module) {
  return add_class<PyCoordinator>(module, {.doc = "Coordinator()\n--\n\n",
                                           .methods = methods,
                                           .constructor = construct_coordinator});
}

}  // namespace vostrel::py
