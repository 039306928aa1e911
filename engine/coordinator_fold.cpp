#include "engine/coordinator_fold.h"

#include <utility>

namespace vostrel::coordinator_fold {

namespace {

namespace ev = kernel::network_event;
namespace rq = kernel::network_request;
using kernel::Coordinator;
using kernel::Route;
using kernel::SessionStatus;

constexpr const char* kAgentRequestKey = "AgentRequest:";

void delegation_requested(Coordinator& co, const ev::DelegationRequested& e) {
  if (co.session(e.child) != nullptr) {
    (void)co.delegate_to(e.parent, e.child, "DelegationRequest", {});
    return;
  }
  // A child made for this delegation leaves no trace when it cannot go ahead;
  // destroying it also takes the route just added.
  if (!co.spawn_session(e.child)) return;
  if (!co.add_route(Route{e.parent, e.child, "DelegationRequest", "DelegationResult"})) {
    (void)co.destroy_session(e.child);
    return;
  }
  if (!co.delegate_to(e.parent, e.child, "DelegationRequest", {})) {
    (void)co.destroy_session(e.child);
  }
}

void delegation_complete(Coordinator& co, const ev::DelegationComplete& e) {
  // Each step is tried whatever the previous one gave.
  (void)co.finish_session(e.child);
  (void)co.complete_delegation(e.parent, e.child);
  (void)co.destroy_session(e.child);
}

void handoff_requested(NetworkState& state, const ev::HandoffRequested& e) {
  Coordinator& co = state.coordinator;
  const kernel::CoordinatedSession* source = co.session(e.src);
  if (source == nullptr || source->status != SessionStatus::Done) return;
  // What succeeded stays when a later step is refused.
  if (!co.reset_session(e.src)) return;
  if (!co.start_processing(e.dst)) return;
  state.active_agent = e.dst;
}

struct Project {
  NetworkState& state;
  Coordinator& co = state.coordinator;

  void operator()(const ev::UserMessage&) { (void)co.start_processing(state.active_agent); }
  void operator()(const ev::RegisterAgent& e) { (void)co.spawn_session(e.agent); }
  void operator()(const ev::StartAgent& e) { (void)co.start_processing(e.agent); }
  void operator()(const ev::AgentDone& e) { (void)co.finish_session(e.agent); }
  void operator()(const ev::ResetAgent& e) { (void)co.reset_session(e.agent); }
  void operator()(const ev::DelegationRequested& e) { delegation_requested(co, e); }
  void operator()(const ev::DelegationComplete& e) { delegation_complete(co, e); }
  void operator()(const ev::DelegationFailed& e) { (void)co.session_failed(e.child); }
  void operator()(const ev::HandoffRequested& e) { handoff_requested(state, e); }
  void operator()(const ev::HandoffComplete&) {}
  void operator()(const ev::AgentFailed& e) {
    (void)co.session_failed(e.agent);
    // The agent stops being active even when the coordinator kept it.
    if (state.active_agent == e.agent) state.active_agent.clear();
  }
};

}  // namespace

std::string network_classify_fn(const NetworkRequest& request) {
  if (const auto* run = std::get_if<rq::AgentRequest>(&request)) return kAgentRequestKey + run->agent;
  return "CollectAgentResult:" + std::get<rq::CollectAgentResult>(request).agent;
}

std::optional<std::string> network_classify_result_fn(const NetworkEvent& event) {
  if (const auto* done = std::get_if<ev::DelegationComplete>(&event)) {
    return kAgentRequestKey + done->child;
  }
  if (const auto* done = std::get_if<ev::HandoffComplete>(&event)) {
    return kAgentRequestKey + done->dst;
  }
  return std::nullopt;
}

NetworkState CoordinatorFold::project(NetworkState state, const NetworkEvent& event) const {
  project_in_place(state, event);
  return state;
}

void CoordinatorFold::project_in_place(NetworkState& state, const NetworkEvent& event) const {
  std::visit(Project{state}, event);
}

std::vector<NetworkRequest> CoordinatorFold::generate(const NetworkState&,
                                                      const NetworkEvent& event) const {
  if (const auto* e = std::get_if<ev::DelegationRequested>(&event)) {
    return {rq::AgentRequest{e->child}};
  }
  if (const auto* e = std::get_if<ev::HandoffRequested>(&event)) return {rq::AgentRequest{e->dst}};
  return {};
}

ConnectionMap network_boot(const NetworkConfig& config) {
  // Each route adds its target's connection to the one map being built
  // (what applying AddConnection to a copy per route gives, without the
  // copies): O(log n) per route.
  ConnectionMap connections;
  auto add = [&](const kernel::AgentPair& pair) {
    connections.insert_or_assign(
        pair.second,
        kernel::ConnectionDef{pair.second, "AgentRequest", "AgentResult", "", "agent", false});
  };
  for (const auto& pair : config.delegation_routes) add(pair);
  for (const auto& pair : config.handoff_routes) add(pair);
  return connections;
}

kernel::RoutingConfig network_derive_routing(const ConnectionMap& connections) {
  kernel::RoutingConfig routing;
  for (const auto& [name, c] : connections) {
    routing.dispatch_rules.push_back({c.request_type, c.result_type});
    if (c.needs_check && !c.check_source.empty()) {
      routing.outbound_checks.push_back({c.request_type, c.check_source});
    }
  }
  return routing;
}

Result<NetworkSession, NetworkError> create_network_interpreter_session(
    const NetworkConfig& config) {
  ConnectionMap connections = network_boot(config);
  kernel::RoutingConfig routing = network_derive_routing(connections);
  CoordinatorFold fold{config.outbound_checks, config.inbound_checks, std::move(connections)};

  Coordinator co;
  if (!config.entry_point.empty()) (void)co.spawn_session(config.entry_point);
  for (const auto& [src, dst] : config.handoff_routes) {
    if (co.session(src) == nullptr) (void)co.spawn_session(src);
    if (co.session(dst) == nullptr) (void)co.spawn_session(dst);
    if (auto added = co.add_route(Route{src, dst, "HandoffRequest", "HandoffResult"}); !added) {
      return std::unexpected(NetworkError::from(std::move(added.error())));
    }
  }
  // A delegation route with a missing end waits for DelegationRequested,
  // which creates the child and its route.
  for (const auto& [src, dst] : config.delegation_routes) {
    if (co.session(src) == nullptr || co.session(dst) == nullptr) continue;
    (void)co.add_route(Route{src, dst, "DelegationRequest", "DelegationResult"});
  }

  NetworkSession session{std::move(fold), std::move(routing), {}, {}, {}, 0};
  session.state = NetworkState{config.entry_point, std::move(co)};
  return session;
}

Result<NetworkSession, NetworkError> from_config(NetworkConfig config) {
  return create_network_interpreter_session(config);
}

namespace {

// The network fold with its projection left out, run on an empty state: it
// gives a turn's requests and pending keys.
struct RequestsOnly {
  using State = NetworkState;
  using Request = NetworkRequest;
  using Event = NetworkEvent;
  using DispatchResult = NetworkDispatchResult;

  const CoordinatorFold& fold;

  std::string event_tag(const Event& event) const { return fold.event_tag(event); }
  std::string classify_request(const Request& request) const {
    return fold.classify_request(request);
  }
  State project(State state, const Event&) const { return state; }
  std::vector<Request> generate(const State& state, const Event& event) const {
    return fold.generate(state, event);
  }
};

static_assert(inner_fold::DomainFold<RequestsOnly>);

}  // namespace

NetworkTurn::NetworkTurn(NetworkSession& session, NetworkEvent event)
    : session_(session),
      tag_(session.fold.event_tag(event)),
      released_(network_classify_result_fn(event).value_or(std::string())),
      previous_active_(session.state.active_agent),
      journal_(session.state.coordinator) {
  inner_fold::reserve_one_more(session.event_log);
  // Everything the turn hands out is worked out before the coordinator is
  // written: `generate` reads the event alone. The pending list is only
  // read; the commit applies the turn's change to it.
  auto tree = generic_session_tree::build_turn_tree(
      RequestsOnly{session.fold}, session.routing, network_classify_result_fn, NetworkState{},
      NetworkEvent(event), {}, inner_fold::Kept<NetworkState>{nullptr, nullptr, &session.pending});
  auto walked = unified_session::flatten_walk(std::move(tree), {});
  requests_ = std::move(walked.requests);
  fresh_ = std::move(walked.pending);
  inner_fold::make_room_for(session.pending, fresh_);
  try {
    session.fold.project_in_place(session.state, event);
  } catch (...) {
    // The journal member undoes the coordinator's writes as it dies.
    session.state.active_agent.swap(previous_active_);
    throw;
  }
}

NetworkTurn::~NetworkTurn() {
  if (committed_) return;
  journal_.rollback();
  session_.state.active_agent.swap(previous_active_);
}

void NetworkTurn::commit() noexcept {
  journal_.commit();
  inner_fold::apply_pending(session_.pending, released_, fresh_);
  ++session_.events_processed;
  session_.event_log.push_back(std::move(tag_));  // room made by the constructor
  committed_ = true;
}

unified_session::FoldResult<NetworkRequest> fold_network_event(NetworkSession& session,
                                                               NetworkEvent event) {
  NetworkTurn turn(session, std::move(event));
  unified_session::FoldResult<NetworkRequest> result{turn.take_requests()};
  turn.commit();
  return result;
}

}  // namespace vostrel::coordinator_fold
