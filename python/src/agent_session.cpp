// Class AgentSession: one agent on the live road, driven by the host one
// event at a time.
#include "classes.h"
#include "convert.h"
#include "object.h"
#include "registry.h"
#include "session_shapes.h"

namespace vostrel::py {

namespace {

using Body = PyAgentSession;

PyObject* new_session(agent_session::Session session) {
  return make_object<Body>(Body(std::move(session)));
}

// Constructor and static methods.

const Signature kNew{"AgentSession.__new__()", {"transducers", "config"}};
const Signature kResume{"AgentSession.resume()", {"transducers", "config", "event_log"}};
const Signature kResumeFromSnapshot{"AgentSession.resume_from_snapshot()",
                                    {"transducers", "config", "snapshot", "remaining_events"}};

PyObject* construct_session(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct<Body>(type, kNew, args, kwargs, [](const Args& a) -> std::optional<Body> {
    std::vector<kernel::TransducerDef> defs;
    const PySessionConfig* config = nullptr;
    if (!a.transducers(0, defs) || !a.instance(1, config)) return std::nullopt;
    return Body(agent_session::create(std::move(defs), config->config));
  });
}

PyObject* resume(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kResume, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::vector<kernel::TransducerDef> defs;
    const PySessionConfig* config = nullptr;
    EventLog log;
    if (!a.transducers(0, defs) || !a.instance(1, config) || !a.event_log(2, log)) return nullptr;
    return new_session(agent_session::resume(std::move(defs), config->config, log));
  });
}

PyObject* resume_from_snapshot(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return call_function(kResumeFromSnapshot, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::vector<kernel::TransducerDef> defs;
    const PySessionConfig* config = nullptr;
    const PySnapshot* snapshot = nullptr;
    EventLog log;
    if (!a.transducers(0, defs) || !a.instance(1, config) || !a.instance(2, snapshot) ||
        !a.event_log(3, log)) {
      return nullptr;
    }
    return new_session(agent_session::resume_from_snapshot(std::move(defs), config->config,
                                                           snapshot->snapshot, log));
  });
}

// Getters.

PyObject* is_idle(PyObject* self, void*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return new_bool(b.session.pending.empty()); });
}

PyObject* event_log(PyObject* self, void*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return new_str_list(b.session.event_log); });
}

PyObject* events_processed(PyObject* self, void*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return PyLong_FromUnsignedLongLong(b.session.events_processed); });
}

PyObject* pending(PyObject* self, void*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return new_str_list(b.session.pending); });
}

// Methods.

PyObject* snapshot(PyObject* self, PyObject*) {
  return read_member<Body, Access::Shared>(self, [](const Body& b) {
    return make_object<PySnapshot>(PySnapshot{agent_session::snapshot(b.session)});
  });
}

PyObject* get_state(PyObject* self, PyObject*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return env_to_py_dict(b.session.state); });
}

const Signature kCheckInbound{"AgentSession.check_inbound()", {"event_tag"}};
const Signature kFoldEvent{"AgentSession.fold_event()", {"event_tag", "event_data"}};
const Signature kBoot{"AgentSession.boot()", {"event_tag", "event_data"}};
const Signature kCancelRequest{"AgentSession.cancel_request()", {"request_type"}};
const Signature kSkipInbound{"AgentSession.skip_inbound()", {"event_tag"}};

PyObject* check_inbound(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return call_method<Body, Access::Shared>(
      self, kCheckInbound, args, nargs, kwnames, [](const Body& b, const Args& a) -> PyObject* {
        std::string tag;
        if (!a.str(0, tag)) return nullptr;
        std::optional<std::string> source = agent_session::check_inbound(b.session, tag);
        if (!source) Py_RETURN_NONE;
        return new_dict([&](PyObject* d) {
          return set_item(d, "event_tag", new_str(tag)) &&
                 set_item(d, "check_source", new_str(*source));
        });
      });
}

// The arguments of fold_event and boot, extracted in order.
bool event_arguments(const Args& a, std::string& tag, kernel::Env& data) {
  return a.str(0, tag) && a.env(1, data);
}

PyObject* fold_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Body, Access::Exclusive>(
      self, kFoldEvent, args, nargs, kwnames, [](Body& b, const Args& a) -> PyObject* {
        std::string tag;
        kernel::Env data;
        if (!event_arguments(a, tag, data)) return nullptr;
        // The result is built before the turn is applied, so that a failure
        // on the way leaves the session as it was.
        auto turn = agent_session::prepare_fold(b.session, std::move(tag), std::move(data));
        PyObject* result = new_dict([&](PyObject* d) {
          return set_item(d, "requests", new_list_of(turn.output(), request_dict));
        });
        if (result != nullptr) turn.commit();
        return result;
      });
}

PyObject* boot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Body, Access::Exclusive>(
      self, kBoot, args, nargs, kwnames, [](Body& b, const Args& a) -> PyObject* {
        std::string tag;
        kernel::Env data;
        if (!event_arguments(a, tag, data)) return nullptr;
        agent_session::prepare_fold(b.session, std::move(tag), std::move(data)).commit();
        Py_RETURN_NONE;
      });
}

PyObject* cancel_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return call_method<Body, Access::Exclusive>(
      self, kCancelRequest, args, nargs, kwnames, [](Body& b, const Args& a) -> PyObject* {
        std::string request_type;
        if (!a.str(0, request_type)) return nullptr;
        agent_session::cancel_request(b.session, request_type);
        Py_RETURN_NONE;
      });
}

PyObject* skip_inbound(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return call_method<Body, Access::Exclusive>(
      self, kSkipInbound, args, nargs, kwnames, [](Body& b, const Args& a) -> PyObject* {
        std::string tag;
        if (!a.str(0, tag)) return nullptr;
        agent_session::skip_inbound(b.session, std::move(tag));
        Py_RETURN_NONE;
      });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"resume", as_cfunction(resume), kFast | METH_STATIC,
     "resume(transducers, config, event_log)\n--\n\n"},
    {"resume_from_snapshot", as_cfunction(resume_from_snapshot), kFast | METH_STATIC,
     "resume_from_snapshot(transducers, config, snapshot, remaining_events)\n--\n\n"},
    {"snapshot", as_cfunction(snapshot), METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"get_state", as_cfunction(get_state), METH_NOARGS, "get_state($self)\n--\n\n"},
    {"check_inbound", as_cfunction(check_inbound), kFast,
     "check_inbound($self, event_tag)\n--\n\n"
     "Does this event need an inbound check before folding?\n"
     "Returns {\"event_tag\": str, \"check_source\": str} or None."},
    {"fold_event", as_cfunction(fold_event), kFast,
     "fold_event($self, event_tag, event_data)\n--\n\n"
     "Fold one event: clear_pending \u2192 fold \u2192 gate \u2192 classify \u2192 add_pending.\n"
     "Returns {\"requests\": [...]} where each request is a dict with\n"
     "\"action\" = \"Dispatch\" or \"CheckThenDispatch\"."},
    {"boot", as_cfunction(boot), kFast,
     "boot($self, event_tag, event_data)\n--\n\n"
     "Process a boot event (SessionInit, etc). Runs fold, ignores requests."},
    {"cancel_request", as_cfunction(cancel_request), kFast,
     "cancel_request($self, request_type)\n--\n\n"
     "Cancel a request rejected by an outbound check."},
    {"skip_inbound", as_cfunction(skip_inbound), kFast,
     "skip_inbound($self, event_tag)\n--\n\n"
     "Record that an inbound-checked event was rejected."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"is_idle", is_idle, nullptr, nullptr, nullptr},
    {"event_log", event_log, nullptr, nullptr, nullptr},
    {"events_processed", events_processed, nullptr, nullptr, nullptr},
    {"pending", pending, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_agent_session(PyObject* module) {
  return add_class<Body>(module, {.doc = "AgentSession(transducers, config)\n--\n\n",
                                  .methods = methods,
                                  .getsets = getsets,
                                  .constructor = construct_session});
}

}  // namespace vostrel::py
