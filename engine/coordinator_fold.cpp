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

void handoff_requested(Coordinator& co, std::string& active_agent,
                       const ev::HandoffRequested& e) {
  const kernel::CoordinatedSession* source = co.session(e.src);
  if (source == nullptr || source->status != SessionStatus::Done) return;
  // What succeeded stays when a later step is refused.
  if (!co.reset_session(e.src)) return;
  if (!co.start_processing(e.dst)) return;
  active_agent = e.dst;
}

struct Project {
  Coordinator& co;
  std::string& active_agent;

  void operator()(const ev::UserMessage&) { (void)co.start_processing(active_agent); }
  void operator()(const ev::RegisterAgent& e) { (void)co.spawn_session(e.agent); }
  void operator()(const ev::StartAgent& e) { (void)co.start_processing(e.agent); }
  void operator()(const ev::AgentDone& e) { (void)co.finish_session(e.agent); }
  void operator()(const ev::ResetAgent& e) { (void)co.reset_session(e.agent); }
  void operator()(const ev::DelegationRequested& e) { delegation_requested(co, e); }
  void operator()(const ev::DelegationComplete& e) { delegation_complete(co, e); }
  void operator()(const ev::DelegationFailed& e) { (void)co.session_failed(e.child); }
  void operator()(const ev::HandoffRequested& e) { handoff_requested(co, active_agent, e); }
  void operator()(const ev::HandoffComplete&) {}
  void operator()(const ev::AgentFailed& e) {
    (void)co.session_failed(e.agent);
    // The agent stops being active even when the coordinator kept it.
    if (active_agent == e.agent) active_agent.clear();
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
  project_into(state.coordinator, state.active_agent, event);
  return state;
}

void CoordinatorFold::project_into(Coordinator& co, std::string& active_agent,
                                   const NetworkEvent& event) const {
  std::visit(Project{co, active_agent}, event);
}

std::vector<NetworkRequest> CoordinatorFold::generate(const NetworkEvent& event) const {
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

// The network fold as a turn runs it: the projection writes the session's
// coordinator in place (under the turn's journal), so the state the turn
// carries is the active agent alone.
struct InPlace {
  using State = std::string;
  using Request = NetworkRequest;
  using Event = NetworkEvent;
  using DispatchResult = NetworkDispatchResult;

  const CoordinatorFold& fold;
  Coordinator& co;

  std::string event_tag(const Event& event) const { return fold.event_tag(event); }
  std::string classify_request(const Request& request) const {
    return fold.classify_request(request);
  }
  State project(State active_agent, const Event& event) const {
    fold.project_into(co, active_agent, event);
    return active_agent;
  }
  std::vector<Request> generate(const Event& event) const { return fold.generate(event); }
};

static_assert(inner_fold::DomainFold<InPlace>);

}  // namespace

NetworkTurn prepare_network_turn(NetworkSession& session, NetworkEvent event) {
  NetworkState& state = session.state;
  return NetworkTurn(
      &state.active_agent, session.books(),
      [&](kernel::CoordinatorJournal&) {
        std::string tag = session.fold.event_tag(event);
        const InPlace fold{session.fold, state.coordinator};
        auto tree = generic_session_tree::build_turn_tree(
            fold, session.routing, network_classify_result_fn, std::string(state.active_agent),
            std::move(event), session.pending);
        return unified_session::prepared_from(unified_session::flatten_walk(std::move(tree)),
                                              std::move(tag));
      },
      state.coordinator);
}

unified_session::FoldResult<NetworkRequest> fold_network_event(NetworkSession& session,
                                                               NetworkEvent event) {
  return {prepare_network_turn(session, std::move(event)).commit()};
}

}  // namespace vostrel::coordinator_fold
