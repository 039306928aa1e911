// Routing of one session: which event answers which request type, and which
// requests and events must be approved by a named check first.
//
// Plain data: lists keep the order in which they were built or read, every
// lookup is one linear scan in that order and the first match wins. No field
// is validated; empty strings and repeated rules are kept as given.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result.h"

namespace vostrel::kernel {

// A request of type `request_type` is answered by an event tagged `result_type`.
struct DispatchRule {
  std::string request_type;
  std::string result_type;
  friend bool operator==(const DispatchRule&, const DispatchRule&) = default;
};

// A request of type `request_type` is dispatched only once `check_source` approves it.
struct OutboundCheckRule {
  std::string request_type;
  std::string check_source;
  friend bool operator==(const OutboundCheckRule&, const OutboundCheckRule&) = default;
};

// An event tagged `result_type` is folded only once `check_source` approves it.
struct InboundCheckRule {
  std::string result_type;
  std::string check_source;
  friend bool operator==(const InboundCheckRule&, const InboundCheckRule&) = default;
};

struct RoutingConfig {
  std::vector<DispatchRule> dispatch_rules;
  std::vector<OutboundCheckRule> outbound_checks;
  std::vector<InboundCheckRule> inbound_checks;
  friend bool operator==(const RoutingConfig&, const RoutingConfig&) = default;
};

// The same statement as an InboundCheckRule, kept in a separate list of a
// SessionConfig: the step road reads only this list (see agent_fold.h).
struct InboundCheckDef {
  std::string intercept;
  std::string check_source;
  friend bool operator==(const InboundCheckDef&, const InboundCheckDef&) = default;
};

// What a step-API session is configured with. Inbound checks live in two
// independent lists: `topology.inbound_checks` and `inbound_checks`.
struct SessionConfig {
  RoutingConfig topology;
  std::vector<InboundCheckDef> inbound_checks;
  friend bool operator==(const SessionConfig&, const SessionConfig&) = default;
};

// The explicit key when it is non-empty; otherwise the request type of the
// first rule answered by `result_type`; otherwise the empty string.
std::string classify_result(const std::vector<DispatchRule>& rules, std::string_view result_type,
                            std::string_view explicit_key);

// The check source of the first inbound rule for this event tag. An empty
// check source is still a match.
std::optional<std::string> needs_inbound_check(const RoutingConfig& routing,
                                               std::string_view result_type);

// Exact comparison of the whole request type: callers cut a pending key at
// its first ':' before they ask.
bool needs_outbound_check(const RoutingConfig& routing, std::string_view request_type);
std::optional<std::string> outbound_check_source(const RoutingConfig& routing,
                                                 std::string_view request_type);

// The routing of a session made from a SessionConfig: the topology, with one
// inbound rule appended per InboundCheckDef, so the topology's rules win.
RoutingConfig routing_with_inbound_defs(const SessionConfig& config);

// "topology_json": compact, keys in declaration order.
std::string routing_to_json(const RoutingConfig& routing);
void write_routing_json(const RoutingConfig& routing, std::string& out);
// The whole text must be one RoutingConfig (map or positional form); the
// error is the JSON reader's text with its position.
Result<RoutingConfig> routing_from_json(std::string_view text);

// "inbound_checks_json": a compact array of {"intercept","check_source"}.
std::string inbound_checks_to_json(const std::vector<InboundCheckDef>& checks);
void write_inbound_checks_json(const std::vector<InboundCheckDef>& checks, std::string& out);
Result<std::vector<InboundCheckDef>> inbound_checks_from_json(std::string_view text);

}  // namespace vostrel::kernel
