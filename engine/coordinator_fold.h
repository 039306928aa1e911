// The network fold: a folding session (unified_session.h) whose state is the
// active agent and a coordinator of agent sessions, driven by network events
// (an agent registering, starting, finishing, delegating, handing off...).
//
// Folding never fails: a coordinator refusal inside an event leaves the state
// as that operation found it, and the event is still counted and logged.
// Requests ask the host to run an agent; each is keyed "AgentRequest:{agent}"
// and stays pending until the delegation or handoff that asked for it
// completes, so a second request for a busy agent is dropped by the gate.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/inner_fold.h"
#include "engine/kernel/network.h"
#include "engine/kernel/routing.h"
#include "engine/result.h"
#include "engine/turn.h"
#include "engine/unified_session.h"

namespace vostrel::coordinator_fold {

using kernel::ConnectionMap;
using kernel::NetworkConfig;
using kernel::NetworkError;
using kernel::NetworkEvent;
using kernel::NetworkRequest;
using kernel::NetworkState;

using NetworkDispatchResult = inner_fold::Verdict<NetworkRequest, NetworkEvent>;

// The request classifier: "AgentRequest:{agent}" or "CollectAgentResult:{agent}".
std::string network_classify_fn(const NetworkRequest& request);

// The result classifier: the key a completion answers, "AgentRequest:" with
// the child of DelegationComplete or the target of HandoffComplete; none for
// every other event.
std::optional<std::string> network_classify_result_fn(const NetworkEvent& event);

struct CoordinatorFold {
  using State = NetworkState;
  using Request = NetworkRequest;
  using Event = NetworkEvent;
  using DispatchResult = NetworkDispatchResult;

  // A turn writes the coordinator in place under a journal and copies only
  // the active agent (prepare_network_turn): the session's own prepare,
  // which would copy the whole state, is not offered.
  static constexpr bool prepares_own_turns = true;

  // Copies of the configuration's check lists, and the connection map built
  // at boot; kept with the session, read by no operation.
  std::vector<kernel::NetworkCheckDef> outbound_checks;
  std::vector<kernel::NetworkCheckDef> inbound_checks;
  ConnectionMap connections;

  std::string event_tag(const Event& event) const { return kernel::network_event_tag(event); }
  std::string classify_request(const Request& request) const {
    return network_classify_fn(request);
  }
  // Carries the event out on the coordinator, discarding effects and refusals.
  State project(State state, const Event& event) const;
  // The same on a coordinator and an active agent held apart.
  void project_into(kernel::Coordinator& co, std::string& active_agent, const Event& event) const;
  // An agent request for a delegation's child or a handoff's target: the
  // event alone decides, whatever `project` managed to do.
  std::vector<Request> generate(const Event& event) const;
};

static_assert(inner_fold::DomainFold<CoordinatorFold>);

using NetworkSession = unified_session::Session<CoordinatorFold>;

// One connection per distinct target of the delegation routes, then of the
// handoff routes, each an agent connection answering "AgentRequest" with
// "AgentResult".
ConnectionMap network_boot(const NetworkConfig& config);

// A dispatch rule per connection in name order, and an outbound check for
// each connection that needs one and names its check.
kernel::RoutingConfig network_derive_routing(const ConnectionMap& connections);

// Builds the session: connections, routing, the entry agent, the handoff
// routes with both their ends, then those delegation routes whose two ends
// exist. Fails only when a handoff route is refused (its ends are equal).
Result<NetworkSession, NetworkError> create_network_interpreter_session(const NetworkConfig& config);
Result<NetworkSession, NetworkError> from_config(NetworkConfig config);

// A turn of a network session (turn.h). It is carried out on the session's
// own coordinator under a journal, since a copy per turn would cost the whole
// coordinator, and on a copy of the active agent, which its commit puts in
// place. Dropped uncommitted, the journal undoes the coordinator's writes.
using NetworkTurn =
    turn::Turn<std::string, NetworkSession::Requests, kernel::CoordinatorJournal>;
NetworkTurn prepare_network_turn(NetworkSession& session, NetworkEvent event);

// Folds one event with the network's result classifier.
unified_session::FoldResult<NetworkRequest> fold_network_event(NetworkSession& session,
                                                               NetworkEvent event);

}  // namespace vostrel::coordinator_fold
