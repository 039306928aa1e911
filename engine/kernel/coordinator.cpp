#include "engine/kernel/coordinator.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace vostrel::kernel {

namespace {

using K = CoordinatorError::Kind;

std::unexpected<CoordinatorError> refuse(K kind, std::string_view first = {},
                                         std::string_view second = {}) {
  return std::unexpected(CoordinatorError{kind, std::string(first), std::string(second)});
}

}  // namespace

std::string_view session_status_text(SessionStatus status) noexcept {
  switch (status) {
    case SessionStatus::Idle: return "idle";
    case SessionStatus::Processing: return "processing";
    case SessionStatus::WaitingDelegate: return "waiting_delegate";
    case SessionStatus::Done: return "done";
  }
  return "idle";
}

std::string CoordinatorError::display() const {
  switch (kind) {
    case K::SessionExists: return "session already exists: " + first;
    case K::SessionNotFound: return "session not found: " + first;
    case K::SessionNotIdle: return "session not idle: " + first;
    case K::SessionNotProcessing: return "session not processing: " + first;
    case K::SessionNotDone: return "session not done: " + first;
    case K::SessionNotActive: return "session not processing or waiting delegate: " + first;
    case K::MaxStepsReached: return "max steps reached: " + first;
    case K::StillWaiting: return "session still waiting on others: " + first;
    case K::NoRoute: return "no route from " + first + " to " + second;
    case K::Deadlock: return "dispatch " + first + "\u2192" + second + " would create deadlock";
    case K::HasDelegationEdges: return "session has delegation edges: " + first;
    case K::HasOutgoingEdges: return "session has outgoing edges: " + first;
    case K::NoDelegationEdge: return "no delegation edge from " + first + " to " + second;
    case K::HasIncomingDelegation: return "session has incoming delegation: " + first;
    case K::SelfReference: return "cannot reference self";
  }
  return {};
}

bool can_reach_in(const SessionMap& sessions, std::string_view start, std::string_view target) {
  auto origin = sessions.find(start);
  if (origin == sessions.end()) return false;
  // Pushed in ascending order, so the greatest name is explored first.
  std::vector<std::string_view> stack(origin->second.waiting_on.begin(),
                                      origin->second.waiting_on.end());
  std::set<std::string_view> visited;
  while (!stack.empty()) {
    std::string_view name = stack.back();
    stack.pop_back();
    if (name == target) return true;
    if (!visited.insert(name).second) continue;
    auto node = sessions.find(name);
    if (node == sessions.end()) continue;
    for (const std::string& next : node->second.waiting_on) {
      if (!visited.contains(std::string_view(next))) stack.push_back(next);
    }
  }
  return false;
}

CoordinatedSession* Coordinator::find(std::string_view id) {
  auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : &it->second;
}

const CoordinatedSession* Coordinator::session(std::string_view id) const {
  auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : &it->second;
}

std::set<Route>::const_iterator Coordinator::first_route(std::string_view src,
                                                         std::string_view dst) const {
  // Routes are ordered by src, then dst, then the message types, so the
  // routes of one pair form a run that starts at the empty message types.
  auto it = routes_.lower_bound(Route{std::string(src), std::string(dst), {}, {}});
  if (it == routes_.end() || it->src != src || it->dst != dst) return routes_.end();
  return it;
}

bool Coordinator::has_route(std::string_view src, std::string_view dst) const {
  return first_route(src, dst) != routes_.end();
}

bool Coordinator::has_edge_from(std::string_view parent) const {
  return std::ranges::any_of(delegations_,
                             [&](const DelegationEdge& e) { return e.parent == parent; });
}

bool Coordinator::has_edge_to(std::string_view child) const {
  return std::ranges::any_of(delegations_,
                             [&](const DelegationEdge& e) { return e.child == child; });
}

void Coordinator::remove_routes_of(std::string_view id) {
  std::erase_if(routes_, [&](const Route& r) { return r.src == id || r.dst == id; });
}

namespace {

// A map or set node made ahead of the write that links it in, which then
// cannot fail.
template <class Container, class... Args>
typename Container::node_type make_node(Args&&... args) {
  Container one;
  one.emplace(std::forward<Args>(args)...);
  return one.extract(one.begin());
}

}  // namespace

CoordResult<Effect> Coordinator::spawn_session(std::string_view id, EffectHook hook) {
  if (sessions_.contains(id)) return refuse(K::SessionExists, id);
  auto node = make_node<SessionMap>(std::string(id), CoordinatedSession{});
  Effect done = effect::CreateSession{std::string(id)};
  hook(done);
  sessions_.insert(std::move(node));
  return done;
}

CoordResult<Effect> Coordinator::fork_session(std::string_view parent, std::string_view child,
                                              EffectHook hook) {
  if (parent == child) return refuse(K::SelfReference);
  const CoordinatedSession* source = session(parent);
  if (source == nullptr) return refuse(K::SessionNotFound, parent);
  if (sessions_.contains(child)) return refuse(K::SessionExists, child);
  std::uint64_t count = source->event_count;
  CoordinatedSession fresh;
  fresh.event_count = count;
  auto node = make_node<SessionMap>(std::string(child), std::move(fresh));
  Effect done = effect::ForkSession{std::string(parent), std::string(child), count};
  hook(done);
  sessions_.insert(std::move(node));
  return done;
}

CoordResult<void> Coordinator::start_processing(std::string_view id) {
  CoordinatedSession* s = find(id);
  if (s == nullptr) return refuse(K::SessionNotFound, id);
  if (s->status != SessionStatus::Idle) return refuse(K::SessionNotIdle, id);
  s->status = SessionStatus::Processing;
  return {};
}

CoordResult<void> Coordinator::process_step(std::string_view id) {
  CoordinatedSession* s = find(id);
  if (s == nullptr) return refuse(K::SessionNotFound, id);
  if (s->status != SessionStatus::Processing) return refuse(K::SessionNotProcessing, id);
  if (s->step_count >= kMaxSteps) return refuse(K::MaxStepsReached, id);
  ++s->step_count;
  ++s->event_count;
  return {};
}

CoordResult<void> Coordinator::finish_session(std::string_view id) {
  CoordinatedSession* s = find(id);
  if (s == nullptr) return refuse(K::SessionNotFound, id);
  if (s->status != SessionStatus::Processing) return refuse(K::SessionNotProcessing, id);
  if (!s->waiting_on.empty()) return refuse(K::StillWaiting, id);
  s->status = SessionStatus::Done;
  return {};
}

CoordResult<void> Coordinator::reset_session(std::string_view id) {
  CoordinatedSession* s = find(id);
  if (s == nullptr) return refuse(K::SessionNotFound, id);
  if (s->status != SessionStatus::Done) return refuse(K::SessionNotDone, id);
  if (!s->waiting_on.empty()) return refuse(K::StillWaiting, id);
  if (has_edge_to(id)) return refuse(K::HasIncomingDelegation, id);
  s->status = SessionStatus::Idle;
  s->step_count = 0;
  return {};
}

CoordResult<Effect> Coordinator::destroy_session(std::string_view id, EffectHook hook) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return refuse(K::SessionNotFound, id);
  if (it->second.status != SessionStatus::Idle) return refuse(K::SessionNotIdle, id);
  if (has_edge_from(id) || has_edge_to(id)) return refuse(K::HasDelegationEdges, id);
  Effect done = effect::DestroySession{it->first};
  hook(done);
  // The id may view the key that goes with the session: use the copy.
  const std::string& gone = std::get<effect::DestroySession>(done).id;
  sessions_.erase(it);
  remove_routes_of(gone);
  return done;
}

CoordResult<void> Coordinator::add_route(Route route) {
  if (!sessions_.contains(route.src)) return refuse(K::SessionNotFound, route.src);
  if (!sessions_.contains(route.dst)) return refuse(K::SessionNotFound, route.dst);
  if (route.src == route.dst) return refuse(K::SelfReference);
  routes_.insert(std::move(route));
  return {};
}

CoordResult<Effect> Coordinator::delegate_to(std::string_view parent, std::string_view child,
                                             std::string_view event_tag, Env request_data,
                                             EffectHook hook) {
  if (parent == child) return refuse(K::SelfReference);
  if (!has_route(parent, child)) return refuse(K::NoRoute, parent, child);
  CoordinatedSession* p = find(parent);
  if (p == nullptr) return refuse(K::SessionNotFound, parent);
  if (p->status != SessionStatus::Processing && p->status != SessionStatus::WaitingDelegate) {
    return refuse(K::SessionNotActive, parent);
  }
  CoordinatedSession* c = find(child);
  if (c == nullptr) return refuse(K::SessionNotFound, child);
  if (c->status != SessionStatus::Idle) return refuse(K::SessionNotIdle, child);
  if (can_reach(child, parent)) return refuse(K::Deadlock, parent, child);

  auto waiting = make_node<IdSet>(child);
  auto edge = make_node<std::set<DelegationEdge>>(std::string(parent), std::string(child));
  Effect done =
      effect::AgentRequest{std::string(child), std::string(event_tag), std::move(request_data)};
  hook(done);
  p->status = SessionStatus::WaitingDelegate;
  p->waiting_on.insert(std::move(waiting));
  c->status = SessionStatus::Processing;
  ++c->event_count;
  delegations_.insert(std::move(edge));
  return done;
}

bool Coordinator::can_reach(std::string_view start, std::string_view target) const {
  return can_reach_in(sessions_, start, target);
}

CoordResult<Effect> Coordinator::complete_delegation(std::string_view parent,
                                                     std::string_view child, EffectHook hook) {
  CoordinatedSession* p = find(parent);
  if (p == nullptr) return refuse(K::SessionNotFound, parent);
  if (p->status != SessionStatus::WaitingDelegate) return refuse(K::SessionNotActive, parent);
  if (!p->waiting_on.contains(child)) return refuse(K::NoDelegationEdge, parent, child);
  CoordinatedSession* c = find(child);
  if (c == nullptr) return refuse(K::SessionNotFound, child);
  if (c->status != SessionStatus::Done) return refuse(K::SessionNotDone, child);

  // Routes are ordered by src then dst, so the first match is the one whose
  // message types come first.
  std::string result_type;
  if (auto route = first_route(parent, child); route != routes_.end()) {
    result_type = route->result_type;
  }
  DelegationEdge edge{std::string(parent), std::string(child)};
  Effect done = effect::CollectAgentResult{std::string(parent), std::string(child),
                                           std::move(result_type)};
  hook(done);

  p->waiting_on.erase(p->waiting_on.find(child));
  ++p->event_count;
  if (p->waiting_on.empty()) p->status = SessionStatus::Processing;
  c->status = SessionStatus::Idle;
  c->step_count = 0;
  delegations_.erase(edge);
  return done;
}

CoordResult<void> Coordinator::cancel_delegation(std::string_view parent, std::string_view child) {
  CoordinatedSession* p = find(parent);
  if (p == nullptr) return refuse(K::SessionNotFound, parent);
  if (p->status != SessionStatus::WaitingDelegate) return refuse(K::SessionNotActive, parent);
  if (!p->waiting_on.contains(child)) return refuse(K::NoDelegationEdge, parent, child);
  DelegationEdge edge{std::string(parent), std::string(child)};
  if (!delegations_.contains(edge)) return refuse(K::NoDelegationEdge, parent, child);
  if (has_edge_from(child)) return refuse(K::HasOutgoingEdges, child);

  p->waiting_on.erase(p->waiting_on.find(child));
  if (p->waiting_on.empty()) p->status = SessionStatus::Processing;
  // The edge's presence and the invariants make the child a live session.
  if (CoordinatedSession* c = find(child)) *c = CoordinatedSession{};
  delegations_.erase(edge);
  return {};
}

CoordResult<Effect> Coordinator::session_failed(std::string_view id, EffectHook hook) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return refuse(K::SessionNotFound, id);
  if (has_edge_from(id)) return refuse(K::HasOutgoingEdges, id);
  Effect done = effect::DestroySession{it->first};
  hook(done);
  // The id may view a key that goes below: use the copy.
  const std::string& gone = std::get<effect::DestroySession>(done).id;

  for (auto& [name, other] : sessions_) {
    if (name == gone) continue;
    auto waited = other.waiting_on.find(gone);
    if (waited == other.waiting_on.end()) continue;
    other.waiting_on.erase(waited);
    if (other.waiting_on.empty() && other.status == SessionStatus::WaitingDelegate) {
      other.status = SessionStatus::Processing;
    }
  }
  sessions_.erase(it);
  remove_routes_of(gone);
  std::erase_if(delegations_,
                [&](const DelegationEdge& e) { return e.parent == gone || e.child == gone; });
  return done;
}

}  // namespace vostrel::kernel
