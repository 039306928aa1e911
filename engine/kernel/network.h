// The vocabulary of a network session: what it is built from, the events it
// folds, the requests it makes of the host, its state and its errors. The
// fold itself is in coordinator_fold.h.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/kernel/coordinator.h"

namespace vostrel::kernel {

// A check on network traffic. The host never fills these in and nothing
// reads them; they travel with the configuration for later use.
struct NetworkCheckDef {
  std::string intercept;
  std::string check_source;
  friend bool operator==(const NetworkCheckDef&, const NetworkCheckDef&) = default;
};

using AgentPair = std::pair<std::string, std::string>;  // (source, target)

struct NetworkConfig {
  std::vector<std::string> agents;  // carried for the host, not read
  std::vector<AgentPair> delegation_routes;
  std::vector<AgentPair> handoff_routes;
  std::string entry_point;  // created at boot and made active when not empty
  std::vector<NetworkCheckDef> outbound_checks;
  std::vector<NetworkCheckDef> inbound_checks;
};

struct NetworkState {
  std::string active_agent;  // empty when no agent is active
  Coordinator coordinator;
  friend bool operator==(const NetworkState&, const NetworkState&) = default;
};

namespace network_event {
struct UserMessage {
  std::string text;  // nothing reads it
  friend bool operator==(const UserMessage&, const UserMessage&) = default;
};
// Events of one shape differ by their number alone.
template <int N>
struct AgentEvent {
  std::string agent;
  friend bool operator==(const AgentEvent&, const AgentEvent&) = default;
};
template <int N>
struct DelegationEvent {
  std::string parent;
  std::string child;
  friend bool operator==(const DelegationEvent&, const DelegationEvent&) = default;
};
template <int N>
struct HandoffEvent {
  std::string src;
  std::string dst;
  friend bool operator==(const HandoffEvent&, const HandoffEvent&) = default;
};
using RegisterAgent = AgentEvent<1>;
using StartAgent = AgentEvent<2>;
using AgentDone = AgentEvent<3>;
using ResetAgent = AgentEvent<4>;
using DelegationRequested = DelegationEvent<5>;
using DelegationComplete = DelegationEvent<6>;
using DelegationFailed = DelegationEvent<7>;
using HandoffRequested = HandoffEvent<8>;
using HandoffComplete = HandoffEvent<9>;
using AgentFailed = AgentEvent<10>;
}  // namespace network_event

// Alternatives in this order; the index is the event's number.
using NetworkEvent =
    std::variant<network_event::UserMessage, network_event::RegisterAgent,
                 network_event::StartAgent, network_event::AgentDone, network_event::ResetAgent,
                 network_event::DelegationRequested, network_event::DelegationComplete,
                 network_event::DelegationFailed, network_event::HandoffRequested,
                 network_event::HandoffComplete, network_event::AgentFailed>;

// "RegisterAgent:{agent}", "DelegationRequested:{parent}:{child}", ...; the
// names stand in the tag unescaped, ':' included.
std::string network_event_tag(const NetworkEvent& event);

namespace network_request {
struct AgentRequest {
  std::string agent;
  friend bool operator==(const AgentRequest&, const AgentRequest&) = default;
};
struct CollectAgentResult {
  std::string agent;
  friend bool operator==(const CollectAgentResult&, const CollectAgentResult&) = default;
};
}  // namespace network_request

using NetworkRequest = std::variant<network_request::AgentRequest, network_request::CollectAgentResult>;

// A network connection; the connection map of a network is keyed by `name`.
struct ConnectionDef {
  std::string name;
  std::string request_type;
  std::string result_type;
  std::string check_source;
  std::string kind;
  bool needs_check = false;
  friend bool operator==(const ConnectionDef&, const ConnectionDef&) = default;
};

using ConnectionMap = std::map<std::string, ConnectionDef, std::less<>>;

namespace network_config_event {
struct AddConnection {
  ConnectionDef connection;
};
struct RemoveConnection {
  std::string name;
};
}  // namespace network_config_event

using NetworkConfigEvent =
    std::variant<network_config_event::AddConnection, network_config_event::RemoveConnection>;

// A copy of `connections` with the event applied: an added connection
// replaces one of the same name; removing an absent name changes nothing.
ConnectionMap handle_network_config_event(const ConnectionMap& connections,
                                          const NetworkConfigEvent& event);

struct NetworkError {
  enum class Kind : std::uint8_t {
    Coordinator,
    NoActiveAgent,
    ActiveAgentNotIdle,
    NoHandoffRoute,
    HandoffTargetNotIdle,
    HandoffTargetIsDelegationChild,
  };

  Kind kind;
  std::optional<CoordinatorError> coordinator;  // set for Kind::Coordinator
  // The agent of one-name kinds; source and target of NoHandoffRoute.
  std::string first;
  std::string second;

  static NetworkError from(CoordinatorError error) {
    return NetworkError{Kind::Coordinator, std::move(error), {}, {}};
  }

  // The user-facing message, e.g. "coordinator: cannot reference self".
  std::string display() const;

  friend bool operator==(const NetworkError&, const NetworkError&) = default;
};

}  // namespace vostrel::kernel
