// Class SessionConfig: an immutable routing configuration and list of
// inbound checks, read from their two JSON texts.
#include "classes.h"
#include "engine/kernel/routing.h"
#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

constexpr Signature kNew{"SessionConfig.__new__()", {"topology_json", "inbound_checks_json"}, 1};

PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct<PySessionConfig>(
      type, kNew, args, kwargs, [](const Args& a) -> std::optional<PySessionConfig> {
        std::string topology_json;
        std::string inbound_checks_json = "[]";
        if (!a.str(0, topology_json)) return std::nullopt;
        if (a.given(1) && !a.str(1, inbound_checks_json)) return std::nullopt;
        // The routing text is read first: a call where both texts are bad
        // reports the routing error.
        auto topology = kernel::routing_from_json(topology_json);
        if (!topology) {
          raise_value_error("Invalid routing JSON: " + topology.error());
          return std::nullopt;
        }
        auto checks = kernel::inbound_checks_from_json(inbound_checks_json);
        if (!checks) {
          raise_value_error("Invalid inbound checks JSON: " + checks.error());
          return std::nullopt;
        }
        return PySessionConfig{{std::move(*topology), std::move(*checks)}};
      });
}

PyObject* topology_json(PyObject* self, void*) {
  return read_member<PySessionConfig, Access::Shared>(self, [](const PySessionConfig& c) {
    return new_str(kernel::routing_to_json(c.config.topology));
  });
}

PyObject* inbound_checks_json(PyObject* self, void*) {
  return read_member<PySessionConfig, Access::Shared>(self, [](const PySessionConfig& c) {
    return new_str(kernel::inbound_checks_to_json(c.config.inbound_checks));
  });
}

PyGetSetDef getsets[] = {
    {"topology_json", topology_json, nullptr,
     "Get the routing configuration as JSON (the host uses it to classify events).\n"
     "The Python-side name is kept for backward compatibility; the content is\n"
     "a `RoutingConfig` (dispatch_rules, outbound_checks, inbound_checks).",
     nullptr},
    {"inbound_checks_json", inbound_checks_json, nullptr, "Get the inbound checks as JSON.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_session_config(PyObject* module) {
  return add_class<PySessionConfig>(
      module, {.doc = "SessionConfig(topology_json, inbound_checks_json=\"[]\")\n--\n\n",
               .getsets = getsets,
               .constructor = create});
}

}  // namespace vostrel::py
