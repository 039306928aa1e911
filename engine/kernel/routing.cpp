#include "engine/kernel/routing.h"

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

}  // namespace vostrel::kernel
