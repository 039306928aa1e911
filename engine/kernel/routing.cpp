#include "engine/kernel/routing.h"

#include "engine/kernel/routing_io.h"
#include "engine/kernel/value_io.h"

namespace vostrel::kernel {

std::string classify_result(const std::vector<DispatchRule>& rules, std::string_view result_type,
                            std::string_view explicit_key) {
  if (!explicit_key.empty()) return std::string(explicit_key);
  for (const DispatchRule& rule : rules) {
    if (rule.result_type == result_type) return rule.request_type;
  }
  return {};
}

std::optional<std::string> needs_inbound_check(const RoutingConfig& routing,
                                               std::string_view result_type) {
  for (const InboundCheckRule& rule : routing.inbound_checks) {
    if (rule.result_type == result_type) return rule.check_source;
  }
  return std::nullopt;
}

bool needs_outbound_check(const RoutingConfig& routing, std::string_view request_type) {
  for (const OutboundCheckRule& rule : routing.outbound_checks) {
    if (rule.request_type == request_type) return true;
  }
  return false;
}

std::optional<std::string> outbound_check_source(const RoutingConfig& routing,
                                                 std::string_view request_type) {
  for (const OutboundCheckRule& rule : routing.outbound_checks) {
    if (rule.request_type == request_type) return rule.check_source;
  }
  return std::nullopt;
}

RoutingConfig routing_with_inbound_defs(const SessionConfig& config) {
  RoutingConfig routing = config.topology;
  routing.inbound_checks.reserve(routing.inbound_checks.size() + config.inbound_checks.size());
  for (const InboundCheckDef& def : config.inbound_checks) {
    routing.inbound_checks.push_back(InboundCheckRule{def.intercept, def.check_source});
  }
  return routing;
}

// --- JSON forms -------------------------------------------------------------

namespace {

// {"<first>":"...","<second>":"..."}: every routing record is two strings.
void write_pair(std::string_view first_key, const std::string& first, std::string_view second_key,
                const std::string& second, std::string& out) {
  out += "{\"";
  out += first_key;
  out += "\":";
  write_json_string(first, out);
  out += ",\"";
  out += second_key;
  out += "\":";
  write_json_string(second, out);
  out += '}';
}

template <class Rule, class WriteRule>
void write_list(const std::vector<Rule>& rules, std::string& out, WriteRule write_rule) {
  out += '[';
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (i) out += ',';
    write_rule(rules[i]);
  }
  out += ']';
}

}  // namespace

void write_routing_json(const RoutingConfig& routing, std::string& out) {
  out += "{\"dispatch_rules\":";
  write_list(routing.dispatch_rules, out, [&](const DispatchRule& r) {
    write_pair("request_type", r.request_type, "result_type", r.result_type, out);
  });
  out += ",\"outbound_checks\":";
  write_list(routing.outbound_checks, out, [&](const OutboundCheckRule& r) {
    write_pair("request_type", r.request_type, "check_source", r.check_source, out);
  });
  out += ",\"inbound_checks\":";
  write_list(routing.inbound_checks, out, [&](const InboundCheckRule& r) {
    write_pair("result_type", r.result_type, "check_source", r.check_source, out);
  });
  out += '}';
}

std::string routing_to_json(const RoutingConfig& routing) {
  std::string out;
  write_routing_json(routing, out);
  return out;
}

Result<RoutingConfig> routing_from_json(std::string_view text) {
  return codec::from_json<RoutingConfig>(text);
}

void write_inbound_checks_json(const std::vector<InboundCheckDef>& checks, std::string& out) {
  write_list(checks, out, [&](const InboundCheckDef& c) {
    write_pair("intercept", c.intercept, "check_source", c.check_source, out);
  });
}

std::string inbound_checks_to_json(const std::vector<InboundCheckDef>& checks) {
  std::string out;
  write_inbound_checks_json(checks, out);
  return out;
}

Result<std::vector<InboundCheckDef>> inbound_checks_from_json(std::string_view text) {
  return codec::from_json<std::vector<InboundCheckDef>>(text);
}

}  // namespace vostrel::kernel
