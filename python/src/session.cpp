// Classes StepResult and Session: the plain session of the step road and
// what one of its steps produced.
#include "classes.h"
#include "convert.h"
#include "object.h"
#include "registry.h"
#include "session_shapes.h"

namespace vostrel::py {

namespace {

// StepResult: getters only, made by Session.step.

PyObject* step_actions(PyObject* self, void*) {
  return read_member<PyStepResult, Access::Shared>(
      self, [](const PyStepResult& r) { return action_list(r.result.actions); });
}

PyObject* step_dispatched(PyObject* self, void*) {
  return read_member<PyStepResult, Access::Shared>(self, [](const PyStepResult& r) {
    return new_list_of(r.result.actions, [](const agent_fold::RequestAction& action) {
      return std::visit([](const auto& a) { return value_to_py(a.request); }, action);
    });
  });
}

PyObject* step_check_requests(PyObject* self, void*) {
  return read_member<PyStepResult, Access::Shared>(self, [](const PyStepResult& r) {
    std::vector<std::string> sources;
    for (const auto& action : r.result.actions) {
      if (const auto* c = std::get_if<unified_session::CheckThenDispatch<kernel::Value>>(&action)) {
        sources.push_back(c->check_source);
      }
    }
    return new_str_list(sources);
  });
}

PyObject* step_pending(PyObject* self, void*) {
  return read_member<PyStepResult, Access::Shared>(
      self, [](const PyStepResult& r) { return new_str_list(r.result.pending); });
}

PyObject* step_inbound_check(PyObject* self, void*) {
  return read_member<PyStepResult, Access::Shared>(self, [](const PyStepResult& r) -> PyObject* {
    if (!r.result.inbound_check) Py_RETURN_NONE;
    return new_str(*r.result.inbound_check);
  });
}

PyGetSetDef step_getsets[] = {
    {"actions", step_actions, nullptr,
     "Requests that passed the gate, as list of action dicts.\n"
     "Each dict has \"type\" (\"Dispatch\" or \"CheckThenDispatch\"),\n"
     "\"request\" (the value), and optionally \"check_source\".",
     nullptr},
    {"dispatched", step_dispatched, nullptr,
     "Backward compat: dispatched values (all requests, both checked and unchecked).", nullptr},
    {"check_requests", step_check_requests, nullptr,
     "Check source IDs for requests that need approval.", nullptr},
    {"pending", step_pending, nullptr, "Pending request types after this step.", nullptr},
    {"inbound_check", step_inbound_check, nullptr,
     "Inbound check source if this event was intercepted.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Session.

using Body = PySession;

PyObject* new_session(session::SessionState state, std::vector<kernel::TransducerDef> defs) {
  return make_object<Body>(Body(std::move(state), std::move(defs)));
}

const Signature kNew{"Session.__new__()", {"transducers", "config"}};
const Signature kStep{"Session.step()", {"event_tag", "event_data"}};
const Signature kReplay{"Session.replay()", {"transducers", "config", "event_log"}};
const Signature kResume{"Session.resume()",
                        {"snapshot", "config", "transducers", "remaining_events"}};

PyObject* construct_session(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct<Body>(type, kNew, args, kwargs, [](const Args& a) -> std::optional<Body> {
    std::vector<kernel::TransducerDef> defs;
    const PySessionConfig* config = nullptr;
    if (!a.transducers(0, defs) || !a.instance(1, config)) return std::nullopt;
    session::SessionState state = session::create(defs, config->config);
    return Body(std::move(state), std::move(defs));
  });
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Body, Access::Exclusive>(
      self, kStep, args, nargs, kwnames, [](Body& b, const Args& a) -> PyObject* {
        std::string tag;
        kernel::Env data;
        if (!a.str(0, tag) || !a.env(1, data)) return nullptr;
        auto turn = b.state.prepare(b.transducers, tag, data);
        return new_result_of<PyStepResult>(turn);
      });
}

PyObject* get_state(PyObject* self, PyObject*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return env_to_py_dict(b.state.vm_env); });
}

PyObject* events_processed(PyObject* self, void*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return PyLong_FromUnsignedLongLong(b.state.event_count); });
}

PyObject* is_quiescent(PyObject* self, void*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return new_bool(b.state.pending.empty()); });
}

PyObject* pending(PyObject* self, void*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return new_str_list(b.state.pending); });
}

PyObject* snapshot(PyObject* self, PyObject*) {
  return read_member<Body, Access::Shared>(
      self, [](const Body& b) { return make_object<PySnapshot>(PySnapshot{b.state.snapshot()}); });
}

PyObject* replay(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kReplay, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::vector<kernel::TransducerDef> defs;
    const PySessionConfig* config = nullptr;
    EventLog log;
    if (!a.transducers(0, defs) || !a.instance(1, config) || !a.event_log(2, log)) return nullptr;
    session::SessionState state = session::replay(defs, config->config, log);
    return new_session(std::move(state), std::move(defs));
  });
}

PyObject* resume(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kResume, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    const PySnapshot* snap = nullptr;
    const PySessionConfig* config = nullptr;
    std::vector<kernel::TransducerDef> defs;
    EventLog log;
    if (!a.instance(0, snap) || !a.instance(1, config) || !a.transducers(2, defs) ||
        !a.event_log(3, log)) {
      return nullptr;
    }
    session::SessionState state = session::resume(snap->snapshot, config->config, defs, log);
    return new_session(std::move(state), std::move(defs));
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef session_methods[] = {
    {"step", as_cfunction(step), kFast, "step($self, event_tag, event_data)\n--\n\n"},
    {"get_state", as_cfunction(get_state), METH_NOARGS, "get_state($self)\n--\n\n"},
    {"snapshot", as_cfunction(snapshot), METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"replay", as_cfunction(replay), kFast | METH_STATIC,
     "replay(transducers, config, event_log)\n--\n\n"},
    {"resume", as_cfunction(resume), kFast | METH_STATIC,
     "resume(snapshot, config, transducers, remaining_events)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getsets[] = {
    {"events_processed", events_processed, nullptr, nullptr, nullptr},
    {"is_quiescent", is_quiescent, nullptr, nullptr, nullptr},
    {"pending", pending, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_step_result(PyObject* module) {
  return add_class<PyStepResult>(module, {.doc = "", .getsets = step_getsets});
}

int add_session(PyObject* module) {
  return add_class<Body>(module, {.doc = "Session(transducers, config)\n--\n\n",
                                  .methods = session_methods,
                                  .getsets = session_getsets,
                                  .constructor = construct_session});
}

}  // namespace vostrel::py
