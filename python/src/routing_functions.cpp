// The routing and session-definition functions: derive routing texts from
// source registrations and checks, resolve the source of a request type,
// and load or validate session definitions, without making a session.
//
// Each function extracts its str arguments, reads the JSON texts in
// parameter order, makes one engine call and returns new Python objects; the
// routing texts it returns are the ones SessionConfig reads.
#include <set>
#include <string>
#include <vector>

#include "engine/agent_fold.h"
#include "engine/kernel/routing.h"
#include "engine/routing_inputs.h"
#include "engine/session_def.h"
#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

constexpr std::string_view kInvalidSources = "Invalid sources JSON: ";
constexpr std::string_view kInvalidChecks = "Invalid checks JSON: ";

PyObject* raise_prefixed(std::string_view prefix, const std::string& error) {
  std::string message(prefix);
  message += error;
  return raise_value_error(message);
}

// The one str argument of the session-definition functions, read as a
// definition; the reader's error is raised as it stands.
std::optional<session_def::SessionDef> definition_argument(const Args& args) {
  std::string json;
  if (!args.str(0, json)) return std::nullopt;
  auto def = session_def::from_json(json);
  if (!def) {
    raise_value_error(def.error());
    return std::nullopt;
  }
  return std::move(*def);
}

PyObject* str_dict(const std::map<std::string, std::string>& items) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : items) {
    Ref k(new_str(key));
    Ref v(new_str(value));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

constexpr Signature kResolveSource{"resolve_source()", {"sources_json", "request_type"}};

PyObject* resolve_source(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kResolveSource, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::string sources_json;
    std::string request_type;
    if (!a.str(0, sources_json) || !a.str(1, request_type)) return nullptr;
    auto sources = routing_inputs::sources_from_json(sources_json);
    if (!sources) return raise_prefixed(kInvalidSources, sources.error());
    std::optional<std::string> source = agent_fold::resolve_source(*sources, request_type);
    if (!source) Py_RETURN_NONE;
    return new_str(*source);
  });
}

constexpr Signature kDeriveTopology{"derive_topology()", {"sources_json", "outbound_checks_json"}};

PyObject* derive_topology(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kDeriveTopology, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::string sources_json;
    std::string checks_json;
    if (!a.str(0, sources_json) || !a.str(1, checks_json)) return nullptr;
    auto sources = routing_inputs::sources_from_json(sources_json);
    if (!sources) return raise_prefixed(kInvalidSources, sources.error());
    auto checks = routing_inputs::outbound_checks_from_json(checks_json);
    if (!checks) return raise_prefixed(kInvalidChecks, checks.error());
    return new_str(kernel::routing_to_json(agent_fold::derive_routing_from_sources(*sources, *checks)));
  });
}

constexpr Signature kDeriveInboundChecks{"derive_inbound_checks()", {"checks_json"}};

PyObject* derive_inbound_checks(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return call_function(kDeriveInboundChecks, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::string checks_json;
    if (!a.str(0, checks_json)) return nullptr;
    auto checks = routing_inputs::inbound_checks_from_json(checks_json);
    if (!checks) return raise_prefixed(kInvalidChecks, checks.error());
    return new_str(kernel::inbound_checks_to_json(agent_fold::derive_inbound_checks(*checks)));
  });
}

constexpr Signature kLoadSessionDef{"load_session_def()", {"json"}};

PyObject* load_session_def(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kLoadSessionDef, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    auto def = definition_argument(a);
    if (!def) return nullptr;
    session_def::LoadResult loaded = session_def::load(*def);
    return new_dict([&](PyObject* d) {
      return set_item(d, "topology_json",
                      new_str(kernel::routing_to_json(loaded.session_config.topology))) &&
             set_item(d, "inbound_checks_json",
                      new_str(kernel::inbound_checks_to_json(loaded.session_config.inbound_checks))) &&
             set_item(d, "source_ids", new_str_list(loaded.source_ids)) &&
             set_item(d, "transducer_names", new_str_list(loaded.transducer_names)) &&
             set_item(d, "config", str_dict(loaded.config));
    });
  });
}

constexpr Signature kValidateSessionDef{"validate_session_def()", {"json"}};

PyObject* validate_session_def(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return call_function(kValidateSessionDef, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    auto def = definition_argument(a);
    if (!def) return nullptr;
    std::vector<std::string> texts;
    for (const session_def::ValidationError& error : session_def::validate(*def)) {
      texts.push_back(error.display());
    }
    return new_str_list(texts);
  });
}

constexpr Signature kValidateSessionDefStrict{"validate_session_def_strict()", {"json"}};

PyObject* validate_session_def_strict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return call_function(kValidateSessionDefStrict, args, nargs, kwnames,
                       [](const Args& a) -> PyObject* {
                         auto def = definition_argument(a);
                         if (!def) return nullptr;
                         auto sound = session_def::validate_strict(*def);
                         if (!sound) return raise_value_error(sound.error().display());
                         Py_RETURN_NONE;
                       });
}

PyMethodDef kResolveSourceDef{
    "resolve_source", as_cfunction(resolve_source), METH_FASTCALL | METH_KEYWORDS,
    "resolve_source(sources_json, request_type)\n--\n\n"
    "Resolve which source handles a request type. Returns source_id or None."};

PyMethodDef kDeriveTopologyDef{
    "derive_topology", as_cfunction(derive_topology), METH_FASTCALL | METH_KEYWORDS,
    "derive_topology(sources_json, outbound_checks_json)\n--\n\n"
    "Derive routing JSON from source registrations and outbound checks (both\n"
    "JSON). Python-side name preserved as `derive_topology` for API stability;\n"
    "the produced JSON is now a `RoutingConfig` (dispatch_rules, outbound_checks,\n"
    "inbound_checks)."};

PyMethodDef kDeriveInboundChecksDef{
    "derive_inbound_checks", as_cfunction(derive_inbound_checks), METH_FASTCALL | METH_KEYWORDS,
    "derive_inbound_checks(checks_json)\n--\n\n"
    "Derive inbound check defs from JSON."};

PyMethodDef kLoadSessionDefDef{
    "load_session_def", as_cfunction(load_session_def), METH_FASTCALL | METH_KEYWORDS,
    "load_session_def(json)\n--\n\n"
    "Load a session definition from JSON. Returns dict with session_config, source_ids, etc."};

PyMethodDef kValidateSessionDefDef{
    "validate_session_def", as_cfunction(validate_session_def), METH_FASTCALL | METH_KEYWORDS,
    "validate_session_def(json)\n--\n\n"
    "Validate a session definition from JSON. Returns list of error strings."};

PyMethodDef kValidateSessionDefStrictDef{
    "validate_session_def_strict", as_cfunction(validate_session_def_strict),
    METH_FASTCALL | METH_KEYWORDS,
    "validate_session_def_strict(json)\n--\n\n"
    "Validate strictly \u2014 raises ValueError on first error."};

}  // namespace

int add_load_session_def(PyObject* module) { return add_function(module, &kLoadSessionDefDef); }
int add_validate_session_def(PyObject* module) {
  return add_function(module, &kValidateSessionDefDef);
}
int add_validate_session_def_strict(PyObject* module) {
  return add_function(module, &kValidateSessionDefStrictDef);
}
int add_derive_topology(PyObject* module) { return add_function(module, &kDeriveTopologyDef); }
int add_derive_inbound_checks(PyObject* module) {
  return add_function(module, &kDeriveInboundChecksDef);
}
int add_resolve_source(PyObject* module) { return add_function(module, &kResolveSourceDef); }

}  // namespace vostrel::py
