// The contract between the event-folding session and its domain (agents over
// transducers, networks over the coordinator), and the pending-key arithmetic
// that every turn performs.
//
// A domain fold is bound at compile time: the session is a template over it,
// so no turn pays for virtual dispatch.
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/kernel/value.h"

namespace vostrel::inner_fold {

// The verdict a host may give a node of the turn tree. A replacement carries
// a request (for a checked request) or an event (for an inbound check); which
// of the two a node accepts is told by the node (generic_session_tree.h).
struct Approve {};
struct Reject {};
template <class T>
struct Replace {
  T with;
};
// Alternatives by index: 0 approve, 1 reject, 2 replacement request, 3
// replacement event (indices, so that a domain whose requests and events share
// one type still works).
template <class Request, class Event>
using Verdict = std::variant<Approve, Reject, Replace<Request>, Replace<Event>>;

template <class F>
using FoldOutput = std::pair<std::vector<typename F::Request>, typename F::State>;

// The pending list after a turn: every entry equal to `released` (when
// given) removed, `fresh` appended. Allocates nothing when `make_room_for`
// was called with the same `fresh` first.
void make_room_for(std::vector<std::string>& pending, const std::vector<std::string>& fresh);
void apply_pending(std::vector<std::string>& pending, const std::optional<std::string>& released,
                   std::vector<std::string>& fresh) noexcept;
// The same on a list of one's own, `fresh` copied.
std::vector<std::string> pending_after(std::vector<std::string> pending,
                                       const std::optional<std::string>& released,
                                       const std::vector<std::string>& fresh);

// A domain whose turns the session does not prepare: its state is neither
// to be copied per turn nor undone through an UndoLog (the network's
// coordinator, written in place under its own journal).
template <class F>
concept PreparesOwnTurns = requires { requires F::prepares_own_turns; };

// A domain that can fold on the session's state itself, every write through
// the turn's log (kernel::UndoLog), so that a turn copies no state.
template <class F>
concept HasInPlaceFold = requires(const F& f, typename F::State& s, const typename F::Event& e,
                                  kernel::UndoLog& log) {
  { f.fold_in_place(s, e, log) } -> std::same_as<std::vector<typename F::Request>>;
};

// A domain that folds in one go (the agent runs its transducers once).
template <class F>
concept HasOwnFold = requires(const F& f, typename F::State s, const typename F::Event& e) {
  { f.fold(std::move(s), e) } -> std::same_as<FoldOutput<F>>;
};

template <class F>
concept HasProject = requires(const F& f, typename F::State s, const typename F::Event& e) {
  { f.project(std::move(s), e) } -> std::same_as<typename F::State>;
};

// A domain that projects the event into its state, then derives requests
// from the projected state.
template <class F>
concept HasProjectGenerate =
    HasProject<F> && requires(const F& f, const typename F::State& s, const typename F::Event& e) {
      { f.generate(s, e) } -> std::same_as<std::vector<typename F::Request>>;
    };

// A domain whose requests depend on the event alone, whatever the projection
// does (the network): its requests can be known without its state.
template <class F>
concept HasEventRequests = HasProject<F> && requires(const F& f, const typename F::Event& e) {
  { f.generate(e) } -> std::same_as<std::vector<typename F::Request>>;
};

template <class F>
concept DomainFold =
    std::move_constructible<typename F::State> && std::copy_constructible<typename F::Request> &&
    std::copy_constructible<typename F::Event> &&
    std::same_as<typename F::DispatchResult, Verdict<typename F::Request, typename F::Event>> &&
    requires(const F& f, const typename F::Event& e, const typename F::Request& r) {
      // The tag that is logged and looked up among the inbound checks.
      { f.event_tag(e) } -> std::convertible_to<std::string>;
      // The request classifier: the pending key of one request.
      { f.classify_request(r) } -> std::convertible_to<std::string>;
    } && (HasOwnFold<F> || HasProjectGenerate<F> || HasEventRequests<F>);

// The domain's fold; without one of its own, project then generate (from the
// projected state, or from the event alone).
template <DomainFold F>
FoldOutput<F> run_fold(const F& fold, typename F::State state, const typename F::Event& event) {
  if constexpr (HasOwnFold<F>) {
    return fold.fold(std::move(state), event);
  } else if constexpr (HasEventRequests<F>) {
    std::vector<typename F::Request> requests = fold.generate(event);
    return {std::move(requests), fold.project(std::move(state), event)};
  } else {
    typename F::State projected = fold.project(std::move(state), event);
    std::vector<typename F::Request> requests = fold.generate(projected, event);
    return {std::move(requests), std::move(projected)};
  }
}

// The request type of a pending key: its text up to the first ':'.
std::string_view request_type_of(std::string_view key);

// Every entry equal to `key` removed, order kept.
std::vector<std::string> clear_key_pending(std::vector<std::string> pending, std::string_view key);

// The keys that are not pending, in order; repeats among `keys` stay.
std::vector<std::string> gate_by_key(const std::vector<std::string>& keys,
                                     const std::vector<std::string>& pending);
// The same with pending-ness asked of `is_pending`.
template <class IsPending>
  requires std::predicate<IsPending&, const std::string&>
std::vector<std::string> gate_by_key(const std::vector<std::string>& keys, IsPending&& is_pending) {
  std::vector<std::string> fresh;
  for (const std::string& key : keys) {
    if (!is_pending(key)) fresh.push_back(key);
  }
  return fresh;
}

// `pending` with each key appended that the list does not hold yet, so a key
// repeated within `keys` is added once.
std::vector<std::string> add_key_pending(std::vector<std::string> pending,
                                         const std::vector<std::string>& keys);

bool contains_key(const std::vector<std::string>& list, std::string_view key);

// Makes room for one more element, growing geometrically, so that a later
// push_back cannot fail: a commit that must not throw appends into it.
template <class T>
void reserve_one_more(std::vector<T>& items) {
  if (items.size() == items.capacity()) items.reserve(items.empty() ? 8 : 2 * items.size());
}

}  // namespace vostrel::inner_fold
