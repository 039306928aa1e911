// The event-folding session: one event per call through one turn, with
// pending-key gating and outbound-check marking. Written once over a domain
// fold and used for agents (agent_fold.h) and networks (coordinator_fold.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "engine/generic_session_tree.h"
#include "engine/inner_fold.h"
#include "engine/kernel/routing.h"
#include "engine/kernel/value.h"

namespace vostrel::unified_session {

using generic_session_tree::ResultClassifier;
using generic_session_tree::TreeOf;
using inner_fold::DomainFold;

template <class R>
struct Dispatch {
  R request;
  friend bool operator==(const Dispatch&, const Dispatch&) = default;
};
template <class R>
struct CheckThenDispatch {
  std::string check_source;
  R request;
  friend bool operator==(const CheckThenDispatch&, const CheckThenDispatch&) = default;
};
// A request of a turn: to be sent at once, or once the named check approves.
template <class R>
using ClassifiedRequest = std::variant<Dispatch<R>, CheckThenDispatch<R>>;

template <class R>
struct FoldResult {
  std::vector<ClassifiedRequest<R>> requests;
};

// The answer to "does this event need an inbound check first?".
template <class Event>
struct CheckInfo {
  std::string event_tag;
  std::string check_source;
  Event event;
};

template <class State, class Request>
struct Walked {
  State state;
  std::vector<std::string> pending;
  std::vector<ClassifiedRequest<Request>> requests;
};

// Walks a turn approving every check, appending its requests to `acc`. A
// checked request comes out once, as CheckThenDispatch: the Dispatch node
// that its approval yields is passed over. Iterative: a turn with many
// requests is a long chain, not a deep one.
namespace detail {

// One step of the walk from a node that is not an end.
template <class State, class Request, class Event, class V>
generic_session_tree::SessionTree<State, Request, Event, V> walk_step(
    generic_session_tree::SessionTree<State, Request, Event, V>& tree,
    std::vector<ClassifiedRequest<Request>>& acc) {
  using Tree = generic_session_tree::SessionTree<State, Request, Event, V>;
  // Every check is approved; nodes that ignore their verdict get the same.
  const V approve{inner_fold::Approve{}};
  if (auto* d = std::get_if<typename Tree::Dispatch>(&tree.node)) {
    acc.push_back(Dispatch<Request>{std::move(d->request)});
    return d->next(approve);
  }
  if (auto* c = std::get_if<typename Tree::Check>(&tree.node)) {
    acc.push_back(CheckThenDispatch<Request>{std::move(c->check_source), std::move(c->request)});
    Tree approved = c->next(approve);
    if (auto* sent = std::get_if<typename Tree::Dispatch>(&approved.node)) return sent->next(approve);
    return approved;
  }
  return std::get<typename Tree::InboundCheck>(tree.node).next(approve);
}

}  // namespace detail

// Walks a turn approving every check and appends its requests to `acc`. A
// checked request comes out once, as CheckThenDispatch: the Dispatch node
// that its approval yields is passed over. Iterative: a turn with many
// requests is a long chain, never a deep call stack.
template <class State, class Request, class Event, class V>
Walked<State, Request> flatten_walk(generic_session_tree::SessionTree<State, Request, Event, V> tree,
                                    std::vector<ClassifiedRequest<Request>> acc) {
  using Tree = generic_session_tree::SessionTree<State, Request, Event, V>;
  for (;;) {
    if (auto* end = std::get_if<typename Tree::NoRequests>(&tree.node)) {
      return {std::move(end->output.state), std::move(end->output.pending), std::move(acc)};
    }
    if (auto* end = std::get_if<typename Tree::Done>(&tree.node)) {
      return {std::move(end->output.state), std::move(end->output.pending), std::move(acc)};
    }
    Tree next = detail::walk_step(tree, acc);
    tree = std::move(next);
  }
}

template <DomainFold F>
struct Session {
  using State = typename F::State;
  using Request = typename F::Request;
  using Event = typename F::Event;

  F fold;
  kernel::RoutingConfig routing;
  std::vector<std::string> pending;
  std::vector<std::string> event_log;
  State state;
  std::uint64_t events_processed = 0;

  // A turn computed but not applied. Until `commit` the session is as it
  // was before the turn; a turn dropped without commit puts back what its
  // fold wrote in place (see kernel::UndoLog), so a failure anywhere before
  // the commit, converting the requests for the host included, loses
  // nothing.
  struct Turn {
    State state;
    std::string released;            // the pending key the event answers, or empty
    std::vector<std::string> fresh;  // the keys the turn makes pending
    std::vector<ClassifiedRequest<Request>> requests;
    std::string tag;
    kernel::UndoLog undo;
  };

  // One turn, every check approved, on a copy of the state; the pending
  // list is only read. The copy shares the state's payloads, and a payload
  // only the two share is grown in place through the turn's log, so a
  // history that grows by one message per event is not duplicated.
  Turn prepare(Event event, ResultClassifier<Event> classify_result) {
    kernel::UndoLog undo;
    std::string tag = fold.event_tag(event);
    std::string released = classify_result(event).value_or(std::string());
    inner_fold::reserve_one_more(event_log);
    auto tree = generic_session_tree::build_turn_tree(
        fold, routing, std::move(classify_result), State(state), std::move(event), {},
        inner_fold::Kept<State>{&state, &undo, &pending});
    Walked<State, Request> walked = flatten_walk(std::move(tree), {});
    inner_fold::make_room_for(pending, walked.pending);
    return Turn{std::move(walked.state), std::move(released), std::move(walked.pending),
                std::move(walked.requests), std::move(tag), std::move(undo)};
  }

  // Applies a turn of `prepare`; allocates nothing.
  void commit(Turn& turn) noexcept {
    turn.undo.commit();
    state = std::move(turn.state);
    inner_fold::apply_pending(pending, turn.released, turn.fresh);
    ++events_processed;
    event_log.push_back(std::move(turn.tag));  // room made by prepare
  }

  FoldResult<Request> fold_event(Event event, ResultClassifier<Event> classify_result) {
    Turn turn = prepare(std::move(event), std::move(classify_result));
    FoldResult<Request> result{std::move(turn.requests)};
    commit(turn);
    return result;
  }

  // The host's inbound check rejected the event: it is counted and logged,
  // and nothing else changes.
  void skip_inbound(const Event& event) {
    event_log.push_back(std::string(fold.event_tag(event)) + ":rejected");
    ++events_processed;
  }

  std::optional<CheckInfo<Event>> check_inbound(Event event) const {
    std::string tag = fold.event_tag(event);
    std::optional<std::string> source = kernel::needs_inbound_check(routing, tag);
    if (!source) return std::nullopt;
    return CheckInfo<Event>{std::move(tag), std::move(*source), std::move(event)};
  }
};

}  // namespace vostrel::unified_session
