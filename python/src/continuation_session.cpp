// Classes ContinuationSession and FoldResult: the one-shot road over one
// environment, with no pending keys, no gating and no event log.
#include "classes.h"
#include "convert.h"
#include "engine/kernel/routing.h"
#include "engine/loader.h"
#include "object.h"
#include "registry.h"
#include "session_shapes.h"

namespace vostrel::py {

namespace {

using Body = PyContinuationSession;

const Signature kNew{"ContinuationSession.__new__()", {"transducers", "topology_json"}};
const Signature kFoldEvent{"ContinuationSession.fold_event()", {"event_tag", "event_data"}};

PyObject* construct_session(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct<Body>(type, kNew, args, kwargs, [](const Args& a) -> std::optional<Body> {
    std::vector<kernel::TransducerDef> defs;
    std::string json;
    if (!a.transducers(0, defs) || !a.str(1, json)) return std::nullopt;
    auto routing = kernel::routing_from_json(json);
    if (!routing) {
      raise_value_error("Invalid routing JSON: " + routing.error());
      return std::nullopt;
    }
    // Every slot at its initial value; a later slot of the same name wins.
    kernel::Env env = loader::init_env(defs);
    return Body(std::move(*routing), std::move(defs), std::move(env));
  });
}

PyObject* fold_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Body, Access::Exclusive>(
      self, kFoldEvent, args, nargs, kwnames, [](Body& b, const Args& a) -> PyObject* {
        std::string tag;
        kernel::Env data;
        if (!a.str(0, tag) || !a.env(1, data)) return nullptr;
        auto turn = agent_fold::prepare_one_shot(b.routing, b.transducers, b.env, tag, data);
        return new_result_of<PyFoldResult>(turn);
      });
}

PyObject* get_state(PyObject* self, PyObject*) {
  return read_member<Body, Access::Shared>(self,
                                           [](const Body& b) { return env_to_py_dict(b.env); });
}

PyMethodDef methods[] = {
    {"fold_event", as_cfunction(fold_event), METH_FASTCALL | METH_KEYWORDS,
     "fold_event($self, event_tag, event_data)\n--\n\n"},
    {"get_state", as_cfunction(get_state), METH_NOARGS, "get_state($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// FoldResult.

PyObject* result_vm_env(PyObject* self, void*) {
  return read_member<PyFoldResult, Access::Shared>(
      self, [](const PyFoldResult& r) { return env_to_py_dict(r.result.vm_env); });
}

PyObject* result_actions(PyObject* self, void*) {
  return read_member<PyFoldResult, Access::Shared>(
      self, [](const PyFoldResult& r) { return action_list(r.result.actions); });
}

PyGetSetDef result_getsets[] = {
    {"vm_env", result_vm_env, nullptr, nullptr, nullptr},
    {"actions", result_actions, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_continuation_session(PyObject* module) {
  return add_class<Body>(module, {.doc = "ContinuationSession(transducers, topology_json)\n--\n\n",
                                  .methods = methods,
                                  .constructor = construct_session});
}

int add_fold_result(PyObject* module) {
  return add_class<PyFoldResult>(module, {.doc = "", .getsets = result_getsets});
}

}  // namespace vostrel::py
