// The event-folding session: one event per call through one turn, with
// pending-key gating and outbound-check marking. Written once over a domain
// fold and used for agents (agent_fold.h) and networks (coordinator_fold.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "engine/generic_session_tree.h"
#include "engine/inner_fold.h"
#include "engine/kernel/routing.h"
#include "engine/kernel/value.h"
#include "engine/turn.h"

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
  generic_session_tree::TurnOutput<State> output;
  std::vector<ClassifiedRequest<Request>> requests;
};

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

// Walks a turn approving every check and gathers its requests. A checked
// request comes out once, as CheckThenDispatch: the Dispatch node that its
// approval yields is passed over. Iterative: a turn with many requests is a
// long chain, never a deep call stack.
template <class State, class Request, class Event, class V>
Walked<State, Request> flatten_walk(generic_session_tree::SessionTree<State, Request, Event, V> tree) {
  using Tree = generic_session_tree::SessionTree<State, Request, Event, V>;
  std::vector<ClassifiedRequest<Request>> acc;
  for (;;) {
    if (auto* end = std::get_if<typename Tree::NoRequests>(&tree.node)) {
      return {std::move(end->output), std::move(acc)};
    }
    if (auto* end = std::get_if<typename Tree::Done>(&tree.node)) {
      return {std::move(end->output), std::move(acc)};
    }
    Tree next = detail::walk_step(tree, acc);
    tree = std::move(next);
  }
}

// A walked turn as its commit wants it, with the event's tag.
template <class State, class Request>
turn::Prepared<State, std::vector<ClassifiedRequest<Request>>> prepared_from(
    Walked<State, Request> walked, std::string tag) {
  return {std::move(walked.output.state), std::move(walked.requests),
          std::move(walked.output.released), std::move(walked.output.fresh), std::move(tag)};
}

// A fold that folds in place, seen as a domain whose state is the session's
// own: the turn tree carries no state, and the fold writes `state` through
// `log`.
template <class F>
struct FoldedInPlace {
  using State = turn::InPlace;
  using Request = typename F::Request;
  using Event = typename F::Event;
  using DispatchResult = typename F::DispatchResult;

  const F& domain;
  typename F::State& state;
  kernel::UndoLog& log;

  std::string event_tag(const Event& event) const { return domain.event_tag(event); }
  std::string classify_request(const Request& request) const {
    return domain.classify_request(request);
  }
  inner_fold::FoldOutput<FoldedInPlace> fold(State, const Event& event) const {
    return {domain.fold_in_place(state, event, log), {}};
  }
};

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

  using Requests = std::vector<ClassifiedRequest<Request>>;
  using Turn = turn::Turn<std::conditional_t<inner_fold::HasInPlaceFold<F>, turn::InPlace, State>,
                          Requests>;

  // One turn (turn.h), every check approved. A fold that can fold in place
  // writes the state itself through the turn's log, which grows a payload
  // only the state holds (a history that grows by one message per event)
  // and copies nothing else; another folds a copy of the state, which the
  // commit puts in place. A fold that prepares its own turns has none here.
  Turn prepare(Event event, ResultClassifier<Event> classify_result)
    requires(!inner_fold::PreparesOwnTurns<F>)
  {
    if constexpr (inner_fold::HasInPlaceFold<F>) {
      return Turn(nullptr, books(), [&](kernel::UndoLog& log) {
        return walk(FoldedInPlace<F>{fold, state, log}, std::move(event), std::move(classify_result));
      });
    } else {
      return Turn(&state, books(), [&](kernel::UndoLog&) {
        return walk(fold, std::move(event), std::move(classify_result), State(state));
      });
    }
  }

  FoldResult<Request> fold_event(Event event, ResultClassifier<Event> classify_result)
    requires(!inner_fold::PreparesOwnTurns<F>)
  {
    return {prepare(std::move(event), std::move(classify_result)).commit()};
  }

  // What a turn advances when it commits.
  turn::Books books() { return {&pending, &event_log, &events_processed}; }

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

 private:
  // Builds and walks the turn of `event` over `folding` (this fold, or a
  // view of it), starting from `start`.
  template <class G, class... Start>
  auto walk(const G& folding, Event event, ResultClassifier<Event> classify_result,
            Start... start) {
    std::string tag = fold.event_tag(event);
    auto tree = generic_session_tree::build_turn_tree(folding, routing, std::move(classify_result),
                                                      typename G::State(std::move(start)...),
                                                      std::move(event), pending);
    return prepared_from(flatten_walk(std::move(tree)), std::move(tag));
  }
};

}  // namespace vostrel::unified_session
