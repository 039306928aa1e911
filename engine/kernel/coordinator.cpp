#include "engine/kernel/coordinator.h"

#include "engine/kernel/check.h"

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

// --- journal ------------------------------------------------------------------

CoordinatorJournal::CoordinatorJournal(Coordinator& co) noexcept
    : co_(&co),
      outer_(co.attached_.journal),
      root_(outer_ != nullptr ? outer_->root_ : this),
      mark_(root_->entries_.size()) {  // after entries_, which is declared first
  if (outer_ == nullptr) entries_ = std::move(co.attached_.spare_records);
  co.attached_.journal = this;
}

CoordinatorJournal::~CoordinatorJournal() { rollback(); }

void CoordinatorJournal::room(std::size_t n) {
  std::vector<Entry>& records = root_->entries_;
  if (records.capacity() - records.size() < n) {
    records.reserve(std::max(records.size() + n, 2 * records.size()));
  }
}

CoordinatorJournal::Entry& CoordinatorJournal::add(Entry::Op op) noexcept {
  std::vector<Entry>& records = root_->entries_;
  VOSTREL_CHECK(records.size() < records.capacity(),
                "an operation makes room for its records before it writes");
  Entry& e = records.emplace_back();
  e.op = op;
  return e;
}

void CoordinatorJournal::detach() noexcept {
  VOSTREL_CHECK(co_->attached_.journal == this, "nested journals end innermost first");
  co_->attached_.journal = outer_;
  if (outer_ == nullptr) {
    entries_.clear();
    co_->attached_.spare_records = std::move(entries_);
  }
  co_ = nullptr;
}

void CoordinatorJournal::commit() noexcept {
  if (co_ != nullptr) detach();
}

void CoordinatorJournal::rollback() noexcept {
  if (co_ == nullptr) return;
  Coordinator& co = *co_;
  std::vector<Entry>& records = root_->entries_;
  using Op = Entry::Op;
  while (records.size() > mark_) {
    Entry& e = records.back();
    switch (e.op) {
      case Op::Fields:
        e.session->step_count = e.fields.step_count;
        e.session->event_count = e.fields.event_count;
        e.session->status = e.fields.status;
        break;
      case Op::Replaced:
        *e.session = std::move(e.fields);
        break;
      case Op::SessionAdded:
        co.sessions_.erase(co.sessions_.find(std::string_view(*e.key)));
        break;
      case Op::SessionRemoved:
        co.sessions_.insert(std::move(e.session_node));
        break;
      case Op::WaitAdded:
        e.session->waiting_on.erase(e.session->waiting_on.find(std::string_view(*e.key)));
        break;
      case Op::WaitRemoved:
        e.session->waiting_on.insert(std::move(e.id_node));
        break;
      case Op::RouteAdded:
        co.routes_.erase(co.routes_.find(*e.route));
        break;
      case Op::RouteRemoved:
        co.routes_.insert(std::move(e.route_node));
        break;
      case Op::EdgeAdded:
        co.delegations_.erase(co.delegations_.find(*e.edge));
        break;
      case Op::EdgeRemoved:
        co.delegations_.insert(std::move(e.edge_node));
        break;
    }
    records.pop_back();
  }
  detach();
}

void Coordinator::reserve_records(std::size_t n) {
  if (attached_.journal != nullptr) attached_.journal->room(n);
}

void Coordinator::note_fields(CoordinatedSession& s) noexcept {
  if (attached_.journal == nullptr) return;
  auto& e = attached_.journal->add(CoordinatorJournal::Entry::Op::Fields);
  e.session = &s;
  e.fields.step_count = s.step_count;
  e.fields.event_count = s.event_count;
  e.fields.status = s.status;
}

void Coordinator::note_replaced(CoordinatedSession& s) noexcept {
  if (attached_.journal == nullptr) return;
  auto& e = attached_.journal->add(CoordinatorJournal::Entry::Op::Replaced);
  e.session = &s;
  e.fields = std::move(s);
}

void Coordinator::add_session(SessionMap::node_type node) noexcept {
  auto added = sessions_.insert(std::move(node));
  if (attached_.journal == nullptr || !added.inserted) return;
  attached_.journal->add(CoordinatorJournal::Entry::Op::SessionAdded).key = &added.position->first;
}

void Coordinator::erase_session(SessionMap::iterator it) noexcept {
  if (attached_.journal == nullptr) {
    sessions_.erase(it);
    return;
  }
  attached_.journal->add(CoordinatorJournal::Entry::Op::SessionRemoved).session_node =
      sessions_.extract(it);
}

void Coordinator::add_waiting(CoordinatedSession& s, IdSet::node_type node) noexcept {
  auto added = s.waiting_on.insert(std::move(node));
  if (attached_.journal == nullptr || !added.inserted) return;
  auto& e = attached_.journal->add(CoordinatorJournal::Entry::Op::WaitAdded);
  e.session = &s;
  e.key = &*added.position;
}

void Coordinator::erase_waiting(CoordinatedSession& s, IdSet::iterator it) noexcept {
  if (attached_.journal == nullptr) {
    s.waiting_on.erase(it);
    return;
  }
  auto& e = attached_.journal->add(CoordinatorJournal::Entry::Op::WaitRemoved);
  e.session = &s;
  e.id_node = s.waiting_on.extract(it);
}

void Coordinator::add_edge(std::set<DelegationEdge>::node_type node) noexcept {
  auto added = delegations_.insert(std::move(node));
  if (attached_.journal == nullptr || !added.inserted) return;
  attached_.journal->add(CoordinatorJournal::Entry::Op::EdgeAdded).edge = &*added.position;
}

void Coordinator::erase_edge(std::set<DelegationEdge>::iterator it) noexcept {
  if (attached_.journal == nullptr) {
    delegations_.erase(it);
    return;
  }
  attached_.journal->add(CoordinatorJournal::Entry::Op::EdgeRemoved).edge_node =
      delegations_.extract(it);
}

void Coordinator::erase_route(std::set<Route>::iterator it) noexcept {
  if (attached_.journal == nullptr) {
    routes_.erase(it);
    return;
  }
  attached_.journal->add(CoordinatorJournal::Entry::Op::RouteRemoved).route_node =
      routes_.extract(it);
}

namespace {

bool touches(const Route& r, std::string_view id) { return r.src == id || r.dst == id; }
bool touches(const DelegationEdge& e, std::string_view id) {
  return e.parent == id || e.child == id;
}

// Hands every element of `set` that touches `id` to `erase`.
template <class Set, class Erase>
void erase_touching(Set& set, std::string_view id, Erase erase) {
  for (auto it = set.begin(); it != set.end();) {
    auto next = std::next(it);
    if (touches(*it, id)) erase(it);
    it = next;
  }
}

}  // namespace

std::size_t Coordinator::records_to_remove(std::string_view id, bool edges) const {
  if (attached_.journal == nullptr) return 0;
  auto touching = [id](const auto& x) { return touches(x, id); };
  std::size_t n = static_cast<std::size_t>(std::ranges::count_if(routes_, touching));
  if (edges) n += static_cast<std::size_t>(std::ranges::count_if(delegations_, touching));
  return n;
}

void Coordinator::remove_routes_of(std::string_view id) noexcept {
  erase_touching(routes_, id, [this](auto it) { erase_route(it); });
}

void Coordinator::remove_edges_of(std::string_view id) noexcept {
  erase_touching(delegations_, id, [this](auto it) { erase_edge(it); });
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

CoordResult<Effect> Coordinator::spawn_session(std::string_view id) {
  if (sessions_.contains(id)) return refuse(K::SessionExists, id);
  auto node = make_node<SessionMap>(std::string(id), CoordinatedSession{});
  Effect done = effect::CreateSession{std::string(id)};
  reserve_records(1);
  add_session(std::move(node));
  return done;
}

CoordResult<Effect> Coordinator::fork_session(std::string_view parent, std::string_view child) {
  if (parent == child) return refuse(K::SelfReference);
  const CoordinatedSession* source = session(parent);
  if (source == nullptr) return refuse(K::SessionNotFound, parent);
  if (sessions_.contains(child)) return refuse(K::SessionExists, child);
  std::uint64_t count = source->event_count;
  CoordinatedSession fresh;
  fresh.event_count = count;
  auto node = make_node<SessionMap>(std::string(child), std::move(fresh));
  Effect done = effect::ForkSession{std::string(parent), std::string(child), count};
  reserve_records(1);
  add_session(std::move(node));
  return done;
}

CoordResult<void> Coordinator::start_processing(std::string_view id) {
  CoordinatedSession* s = find(id);
  if (s == nullptr) return refuse(K::SessionNotFound, id);
  if (s->status != SessionStatus::Idle) return refuse(K::SessionNotIdle, id);
  reserve_records(1);
  note_fields(*s);
  s->status = SessionStatus::Processing;
  return {};
}

CoordResult<void> Coordinator::process_step(std::string_view id) {
  CoordinatedSession* s = find(id);
  if (s == nullptr) return refuse(K::SessionNotFound, id);
  if (s->status != SessionStatus::Processing) return refuse(K::SessionNotProcessing, id);
  if (s->step_count >= kMaxSteps) return refuse(K::MaxStepsReached, id);
  reserve_records(1);
  note_fields(*s);
  ++s->step_count;
  ++s->event_count;
  return {};
}

CoordResult<void> Coordinator::finish_session(std::string_view id) {
  CoordinatedSession* s = find(id);
  if (s == nullptr) return refuse(K::SessionNotFound, id);
  if (s->status != SessionStatus::Processing) return refuse(K::SessionNotProcessing, id);
  if (!s->waiting_on.empty()) return refuse(K::StillWaiting, id);
  reserve_records(1);
  note_fields(*s);
  s->status = SessionStatus::Done;
  return {};
}

CoordResult<void> Coordinator::reset_session(std::string_view id) {
  CoordinatedSession* s = find(id);
  if (s == nullptr) return refuse(K::SessionNotFound, id);
  if (s->status != SessionStatus::Done) return refuse(K::SessionNotDone, id);
  if (!s->waiting_on.empty()) return refuse(K::StillWaiting, id);
  if (has_edge_to(id)) return refuse(K::HasIncomingDelegation, id);
  reserve_records(1);
  note_fields(*s);
  s->status = SessionStatus::Idle;
  s->step_count = 0;
  return {};
}

CoordResult<Effect> Coordinator::destroy_session(std::string_view id) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return refuse(K::SessionNotFound, id);
  if (it->second.status != SessionStatus::Idle) return refuse(K::SessionNotIdle, id);
  if (has_edge_from(id) || has_edge_to(id)) return refuse(K::HasDelegationEdges, id);
  Effect done = effect::DestroySession{it->first};
  // The id may view the key that goes with the session: use the copy.
  const std::string& gone = std::get<effect::DestroySession>(done).id;
  reserve_records(1 + records_to_remove(gone, false));
  erase_session(it);
  remove_routes_of(gone);
  return done;
}

CoordResult<void> Coordinator::add_route(Route route) {
  if (!sessions_.contains(route.src)) return refuse(K::SessionNotFound, route.src);
  if (!sessions_.contains(route.dst)) return refuse(K::SessionNotFound, route.dst);
  if (route.src == route.dst) return refuse(K::SelfReference);
  reserve_records(1);
  auto [it, inserted] = routes_.insert(std::move(route));
  if (inserted && attached_.journal != nullptr) {
    attached_.journal->add(CoordinatorJournal::Entry::Op::RouteAdded).route = &*it;
  }
  return {};
}

CoordResult<Effect> Coordinator::delegate_to(std::string_view parent, std::string_view child,
                                             std::string_view event_tag, Env request_data) {
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
  reserve_records(4);
  note_fields(*p);
  note_fields(*c);
  p->status = SessionStatus::WaitingDelegate;
  add_waiting(*p, std::move(waiting));
  c->status = SessionStatus::Processing;
  ++c->event_count;
  add_edge(std::move(edge));
  return done;
}

bool Coordinator::can_reach(std::string_view start, std::string_view target) const {
  return can_reach_in(sessions_, start, target);
}

CoordResult<Effect> Coordinator::complete_delegation(std::string_view parent,
                                                     std::string_view child) {
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
  const auto edge = delegations_.find(DelegationEdge{std::string(parent), std::string(child)});
  Effect done = effect::CollectAgentResult{std::string(parent), std::string(child),
                                           std::move(result_type)};
  reserve_records(4);

  note_fields(*p);
  note_fields(*c);
  erase_waiting(*p, p->waiting_on.find(child));
  ++p->event_count;
  if (p->waiting_on.empty()) p->status = SessionStatus::Processing;
  c->status = SessionStatus::Idle;
  c->step_count = 0;
  if (edge != delegations_.end()) erase_edge(edge);
  return done;
}

CoordResult<void> Coordinator::cancel_delegation(std::string_view parent, std::string_view child) {
  CoordinatedSession* p = find(parent);
  if (p == nullptr) return refuse(K::SessionNotFound, parent);
  if (p->status != SessionStatus::WaitingDelegate) return refuse(K::SessionNotActive, parent);
  if (!p->waiting_on.contains(child)) return refuse(K::NoDelegationEdge, parent, child);
  const auto edge = delegations_.find(DelegationEdge{std::string(parent), std::string(child)});
  if (edge == delegations_.end()) return refuse(K::NoDelegationEdge, parent, child);
  if (has_edge_from(child)) return refuse(K::HasOutgoingEdges, child);

  reserve_records(4);
  note_fields(*p);
  erase_waiting(*p, p->waiting_on.find(child));
  if (p->waiting_on.empty()) p->status = SessionStatus::Processing;
  // The edge's presence and the invariants make the child a live session.
  if (CoordinatedSession* c = find(child)) {
    note_replaced(*c);
    *c = CoordinatedSession{};
  }
  erase_edge(edge);
  return {};
}

CoordResult<Effect> Coordinator::session_failed(std::string_view id) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return refuse(K::SessionNotFound, id);
  if (has_edge_from(id)) return refuse(K::HasOutgoingEdges, id);
  Effect done = effect::DestroySession{it->first};
  // The id may view a key that goes below: use the copy.
  const std::string& gone = std::get<effect::DestroySession>(done).id;
  std::size_t waiting = 0;
  for (const auto& [name, other] : sessions_) {
    if (name != gone && other.waiting_on.contains(gone)) ++waiting;
  }
  reserve_records(2 * waiting + 1 + records_to_remove(gone, true));

  for (auto& [name, other] : sessions_) {
    if (name == gone) continue;
    auto waited = other.waiting_on.find(gone);
    if (waited == other.waiting_on.end()) continue;
    note_fields(other);
    erase_waiting(other, waited);
    if (other.waiting_on.empty() && other.status == SessionStatus::WaitingDelegate) {
      other.status = SessionStatus::Processing;
    }
  }
  erase_session(it);
  remove_routes_of(gone);
  remove_edges_of(gone);
  return done;
}

}  // namespace vostrel::kernel
