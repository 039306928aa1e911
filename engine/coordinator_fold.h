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
  void project_in_place(State& state, const Event& event) const;
  // An agent request for a delegation's child or a handoff's target, whatever
  // `project` managed to do.
  std::vector<Request> generate(const State& state, const Event& event) const;
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

// Folds one event with the network's result classifier.
unified_session::FoldResult<NetworkRequest> fold_network_event(NetworkSession& session,
                                                               NetworkEvent event);
// A turn of a network session carried out but not committed. The requests
// and pending keys of a network turn do not depend on the state, so they are
// worked out first; the event is then carried out on the session's own
// coordinator under a journal, without copying it. Dropped uncommitted, the
// turn undoes those writes and the session is as it was.
class NetworkTurn {
 public:
  NetworkTurn(NetworkSession& session, NetworkEvent event);
  NetworkTurn(NetworkTurn&&) = delete;
  ~NetworkTurn();

  const std::vector<unified_session::ClassifiedRequest<NetworkRequest>>& requests() const {
    return requests_;
  }
  std::vector<unified_session::ClassifiedRequest<NetworkRequest>> take_requests() {
    return std::move(requests_);
  }
  // Applies the turn; allocates nothing.
  void commit() noexcept;

 private:
  NetworkSession& session_;
  std::vector<unified_session::ClassifiedRequest<NetworkRequest>> requests_;
  std::string tag_;
  std::string released_;             // the pending key the event answers, or empty
  std::vector<std::string> fresh_;  // the keys the turn makes pending
  std::string previous_active_;
  kernel::CoordinatorJournal journal_;
  bool committed_ = false;
};

}  // namespace vostrel::coordinator_fold
