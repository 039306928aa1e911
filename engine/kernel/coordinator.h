// The state machine of a network of agent sessions.
//
// The coordinator runs no work itself: it records which sessions exist, where
// each one is in its lifecycle, how many processing steps it took, which
// routes connect sessions and which delegations are open, and it refuses
// every transition the lifecycle forbids. A successful structural operation
// returns an `Effect` telling the host what to do; a refused one returns a
// `CoordinatorError` and leaves the coordinator exactly as it was: every
// operation checks all its preconditions, in a fixed order, before it writes.
// Running out of memory is no different: an operation allocates all it needs
// before its first write, so one that throws has changed nothing, and a
// CoordinatorJournal makes a whole sequence of operations undoable.
//
// Kept by every operation:
//  - an edge (p, c) is in `delegations` exactly when c is in p's `waiting_on`;
//  - a session whose `waiting_on` is not empty is `WaitingDelegate`;
//  - every end of a route and of an edge names a live session.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/kernel/value.h"
#include "engine/result.h"

namespace vostrel::kernel {

// Ids are plain byte strings; none is validated, the empty id included.
using IdSet = std::set<std::string, std::less<>>;

enum class SessionStatus : std::uint8_t { Idle = 0, Processing = 1, WaitingDelegate = 2, Done = 3 };

// "idle", "processing", "waiting_delegate", "done".
std::string_view session_status_text(SessionStatus status) noexcept;

struct CoordinatedSession {
  std::uint64_t step_count = 0;  // since creation or the last reset
  IdSet waiting_on;              // children whose delegated work is awaited
  std::uint64_t event_count = 0;
  SessionStatus status = SessionStatus::Idle;

  friend bool operator==(const CoordinatedSession&, const CoordinatedSession&) = default;
};

using SessionMap = std::map<std::string, CoordinatedSession, std::less<>>;

// `src` may delegate to `dst`. Only `complete_delegation` reads the message
// types (it reports `result_type`); otherwise they travel for the host.
struct Route {
  std::string src;
  std::string dst;
  std::string request_type;
  std::string result_type;

  friend auto operator<=>(const Route&, const Route&) = default;
  friend bool operator==(const Route&, const Route&) = default;
};

// Open while `parent` awaits delegated work from `child`.
struct DelegationEdge {
  std::string parent;
  std::string child;

  friend auto operator<=>(const DelegationEdge&, const DelegationEdge&) = default;
  friend bool operator==(const DelegationEdge&, const DelegationEdge&) = default;
};

namespace effect {
struct CreateSession {
  std::string id;
  friend bool operator==(const CreateSession&, const CreateSession&) = default;
};
struct ForkSession {
  std::string parent;
  std::string child;
  std::uint64_t parent_event_count = 0;
  friend bool operator==(const ForkSession&, const ForkSession&) = default;
};
struct DestroySession {
  std::string id;
  friend bool operator==(const DestroySession&, const DestroySession&) = default;
};
struct AgentRequest {
  std::string session;  // the child that must now run
  std::string event_tag;
  Env request_data;
  friend bool operator==(const AgentRequest&, const AgentRequest&) = default;
};
struct CollectAgentResult {
  std::string parent;
  std::string child;
  std::string result_type;
  friend bool operator==(const CollectAgentResult&, const CollectAgentResult&) = default;
};
}  // namespace effect

using Effect = std::variant<effect::CreateSession, effect::ForkSession, effect::DestroySession,
                            effect::AgentRequest, effect::CollectAgentResult>;

struct CoordinatorError {
  enum class Kind : std::uint8_t {
    SessionExists,
    SessionNotFound,
    SessionNotIdle,
    SessionNotProcessing,
    SessionNotDone,
    SessionNotActive,
    MaxStepsReached,
    StillWaiting,
    NoRoute,
    Deadlock,
    HasDelegationEdges,
    HasOutgoingEdges,
    NoDelegationEdge,
    HasIncomingDelegation,
    SelfReference,
  };

  Kind kind;
  // The id for one-name kinds; the parent (or route source) for two-name
  // kinds, whose child (or route target) is `second`. Unused fields are empty.
  std::string first;
  std::string second;

  // The user-facing message, e.g. "session not found: a".
  std::string display() const;

  friend bool operator==(const CoordinatorError&, const CoordinatorError&) = default;
};

template <class T>
using CoordResult = Result<T, CoordinatorError>;

// Depth-first search along `waiting_on` links from the names `start` waits
// on; `start` itself is neither compared nor marked, so a session reaches
// itself only through a cycle. Missing names end their branch.
bool can_reach_in(const SessionMap& sessions, std::string_view start, std::string_view target);

class Coordinator;

// Records the writes of every operation run on one coordinator while it is
// attached, so that `rollback` can undo them all without allocating: a
// sequence of operations then becomes all or nothing, at the cost of the
// records, not of a copy of the coordinator. Rolls back when it dies
// uncommitted. The coordinator must outlive it and must not be moved.
//
// A journal made while another is attached nests in it like a savepoint:
// its rollback undoes what was done since it began, and its commit leaves
// those writes to the journal it nests in, to keep or undo with the rest.
// Nested journals end innermost first.
class CoordinatorJournal {
 public:
  explicit CoordinatorJournal(Coordinator& co) noexcept;
  CoordinatorJournal(const CoordinatorJournal&) = delete;
  CoordinatorJournal& operator=(const CoordinatorJournal&) = delete;
  ~CoordinatorJournal();

  // Undoes every write recorded since this journal began, last first, and
  // detaches.
  void rollback() noexcept;
  // Keeps the writes (an outermost journal) or hands them to the journal
  // this one nests in, and detaches.
  void commit() noexcept;

 private:
  friend class Coordinator;
  struct Entry {
    enum class Op : std::uint8_t {
      Fields,          // `session`'s counters and status were `fields`
      SessionAdded,    // `key` was added to the sessions
      SessionRemoved,  // `session_node` was taken out
      Replaced,        // `session` was `fields` (waiting_on included)
      WaitAdded,       // `key` was added to `session`'s waiting_on
      WaitRemoved,     // `id_node` was taken out of `session`'s waiting_on
      RouteAdded,      // `route` was added
      RouteRemoved,    // `route_node` was taken out
      EdgeAdded,       // `edge` was added
      EdgeRemoved,     // `edge_node` was taken out
    } op;
    CoordinatedSession* session = nullptr;
    CoordinatedSession fields;
    const std::string* key = nullptr;
    const Route* route = nullptr;
    const DelegationEdge* edge = nullptr;
    SessionMap::node_type session_node;
    IdSet::node_type id_node;
    std::set<Route>::node_type route_node;
    std::set<DelegationEdge>::node_type edge_node;
  };

  // Room for `n` more records, made before an operation writes; `add`
  // takes one of them.
  void room(std::size_t n);
  Entry& add(Entry::Op op) noexcept;
  // Detaches, handing the coordinator back to the journal this one nests in
  // (an outermost journal leaves the storage of its records to the next).
  void detach() noexcept;

  Coordinator* co_;
  CoordinatorJournal* outer_;  // the journal this one nests in, or null
  CoordinatorJournal* root_;   // the outermost journal, which holds the records
  std::vector<Entry> entries_;  // used by the outermost journal only
  std::size_t mark_;            // the records there were when this journal began
};

class Coordinator {
 public:
  // Sessions and routes.
  CoordResult<Effect> spawn_session(std::string_view id);
  CoordResult<Effect> fork_session(std::string_view parent, std::string_view child);
  CoordResult<void> start_processing(std::string_view id);
  CoordResult<void> process_step(std::string_view id);
  CoordResult<void> finish_session(std::string_view id);
  CoordResult<void> reset_session(std::string_view id);
  CoordResult<Effect> destroy_session(std::string_view id);
  CoordResult<void> add_route(Route route);
  const CoordinatedSession* session(std::string_view id) const;

  // Delegation.
  CoordResult<Effect> delegate_to(std::string_view parent, std::string_view child,
                                  std::string_view event_tag, Env request_data);
  bool can_reach(std::string_view start, std::string_view target) const;
  CoordResult<Effect> complete_delegation(std::string_view parent, std::string_view child);
  CoordResult<void> cancel_delegation(std::string_view parent, std::string_view child);
  CoordResult<Effect> session_failed(std::string_view id);

  // Read access, in key order.
  const SessionMap& sessions() const noexcept { return sessions_; }
  const std::set<Route>& routes() const noexcept { return routes_; }
  const std::set<DelegationEdge>& delegations() const noexcept { return delegations_; }

  friend bool operator==(const Coordinator& a, const Coordinator& b) {
    return a.sessions_ == b.sessions_ && a.routes_ == b.routes_ &&
           a.delegations_ == b.delegations_;
  }

  // Steps a session may take between resets; the next one is refused.
  static constexpr std::uint64_t kMaxSteps = 10;

 private:
  friend class CoordinatorJournal;

  // The innermost journal attached to this coordinator, and the storage of
  // the last outermost journal's records, which the next one takes over, so
  // that a journal per operation allocates nothing once its room has grown.
  // A copy has neither.
  struct Attached {
    CoordinatorJournal* journal = nullptr;
    std::vector<CoordinatorJournal::Entry> spare_records;
    Attached() = default;
    Attached(const Attached&) noexcept {}
    Attached& operator=(const Attached&) noexcept { return *this; }
  };

  // Journal helpers: each records what it is about to change when a journal
  // is attached (its room made by the operation first), then changes it.
  void reserve_records(std::size_t n);
  void note_fields(CoordinatedSession& s) noexcept;
  void note_replaced(CoordinatedSession& s) noexcept;
  void add_session(SessionMap::node_type node) noexcept;
  void erase_session(SessionMap::iterator it) noexcept;
  void add_waiting(CoordinatedSession& s, IdSet::node_type node) noexcept;
  void erase_waiting(CoordinatedSession& s, IdSet::iterator it) noexcept;
  void add_edge(std::set<DelegationEdge>::node_type node) noexcept;
  void erase_edge(std::set<DelegationEdge>::iterator it) noexcept;
  void erase_route(std::set<Route>::iterator it) noexcept;
  // The records removing the routes (and the edges) of `id` takes; none
  // without a journal. The caller makes room for them before it writes.
  std::size_t records_to_remove(std::string_view id, bool edges) const;
  // Remove the routes or the edges of `id`, into the room made for their
  // records (records_to_remove).
  void remove_routes_of(std::string_view id) noexcept;
  void remove_edges_of(std::string_view id) noexcept;

  CoordinatedSession* find(std::string_view id);
  // The first route from `src` to `dst` in order, or routes_.end().
  std::set<Route>::const_iterator first_route(std::string_view src, std::string_view dst) const;
  bool has_route(std::string_view src, std::string_view dst) const;
  bool has_edge_from(std::string_view parent) const;
  bool has_edge_to(std::string_view child) const;

  SessionMap sessions_;
  std::set<Route> routes_;
  std::set<DelegationEdge> delegations_;
  Attached attached_;
};

}  // namespace vostrel::kernel
