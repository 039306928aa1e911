// One turn of a folding session as a chain of nodes. Every node but the last
// holds a one-shot continuation that takes the host's verdict and yields the
// rest of the chain, so a host could approve, reject or replace each checked
// request (and the event itself) before anything is dispatched. The session
// (unified_session.h) walks the chain at once, approving everything.
//
// Continuations own the remaining requests, the state and the turn's keys,
// and hand them on by move: walking a turn never copies the state per node.
// They borrow the domain fold, the routing (the transducer list is too large
// to copy for every turn) and the session's pending list, which a turn only
// reads, so whoever builds a tree keeps all three alive until the tree is
// walked or dropped.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/inner_fold.h"
#include "engine/kernel/routing.h"

namespace vostrel::generic_session_tree {

using inner_fold::Approve;
using inner_fold::DomainFold;
using inner_fold::Reject;
using inner_fold::Replace;

// What a turn leaves behind: its state, and the change it makes to the
// session's pending list (inner_fold::apply_pending).
template <class State>
struct TurnOutput {
  State state;
  std::optional<std::string> released;  // the key the folded event answers
  std::vector<std::string> fresh;       // the keys to append, each once
};

// The key that an event answers; none (or empty) when it answers nothing.
template <class Event>
using ResultClassifier = std::function<std::optional<std::string>(const Event&)>;

template <class State, class Request, class Event, class V>
struct SessionTree {
  using Next = std::move_only_function<SessionTree(V)>;

  struct NoRequests {
    TurnOutput<State> output;
  };
  struct Dispatch {
    Request request;
    Next next;
  };
  struct Done {
    TurnOutput<State> output;
  };
  struct Check {
    std::string check_source;
    Request request;
    Next next;
  };
  struct InboundCheck {
    std::string check_source;
    Event event;
    Next next;
  };

  std::variant<NoRequests, Dispatch, Done, Check, InboundCheck> node;
};

template <DomainFold F>
using TreeOf = SessionTree<typename F::State, typename F::Request, typename F::Event,
                           typename F::DispatchResult>;

// A request that passed the gate, with its outbound check if it has one.
template <class Request>
struct DispatchItem {
  Request request;
  bool needs_check = false;
  std::optional<std::string> check_source;
};

namespace detail {

// What follows the node of `items[at]`: the remaining items and what the
// turn leaves, handed on by move. The items travel whole with an index, so a
// long turn stays linear.
template <class State, class Request, class Event, class V>
struct Rest {
  std::vector<DispatchItem<Request>> items;
  std::size_t at;
  TurnOutput<State> output;

  Request& current() { return items[at].request; }
  SessionTree<State, Request, Event, V> operator()();
};

template <class State, class Request, class Event, class V>
SessionTree<State, Request, Event, V> dispatch_from(Rest<State, Request, Event, V> rest) {
  using Tree = SessionTree<State, Request, Event, V>;
  if (rest.at >= rest.items.size()) {
    return Tree{typename Tree::Done{std::move(rest.output)}};
  }
  DispatchItem<Request>& item = rest.items[rest.at];
  if (!item.needs_check) {
    // Nothing reads this item again: its request moves into the node, and
    // the node's continuation ignores its verdict.
    Request request = std::move(item.request);
    return Tree{typename Tree::Dispatch{
        std::move(request), [rest = std::move(rest)](V) mutable { return rest(); }}};
  }
  std::string source = item.check_source.value_or(std::string());
  Request shown = item.request;
  return Tree{typename Tree::Check{
      std::move(source), std::move(shown),
      [rest = std::move(rest)](V verdict) mutable -> Tree {
        auto dispatch_then_rest = [&rest](Request sent) {
          return Tree{typename Tree::Dispatch{
              std::move(sent), [rest = std::move(rest)](V) mutable { return rest(); }}};
        };
        switch (verdict.index()) {
          case 0:
            return dispatch_then_rest(std::move(rest.current()));
          case 2:
            return dispatch_then_rest(std::move(std::get<2>(verdict).with));
          default:
            // Rejected, or answered with an event where a request was asked
            // for: the request is not sent. Its pending key stays recorded.
            return rest();
        }
      }}};
}

template <class State, class Request, class Event, class V>
SessionTree<State, Request, Event, V> Rest<State, Request, Event, V>::operator()() {
  ++at;
  return dispatch_from(std::move(*this));
}

}  // namespace detail

// `items` (requests with their checks) in order, each as a Dispatch or a
// Check node, ending in Done with `output`.
template <class State, class Request, class Event, class V>
SessionTree<State, Request, Event, V> dispatch_with_checks(std::vector<DispatchItem<Request>> items,
                                                           TurnOutput<State> output) {
  return detail::dispatch_from(
      detail::Rest<State, Request, Event, V>{std::move(items), 0, std::move(output)});
}

// The turn proper: release the key the event answers, fold, key each
// request, drop those whose key is still pending, record the fresh keys and
// mark the requests whose request type has an outbound check. `pending` is
// the session's list, read as it is once the released key is gone.
template <DomainFold F>
TreeOf<F> build_inner_turn(const F& fold, const kernel::RoutingConfig& routing,
                           const ResultClassifier<typename F::Event>& classify_result,
                           typename F::State state, const typename F::Event& event,
                           const std::vector<std::string>& pending) {
  using Tree = TreeOf<F>;
  using Request = typename F::Request;
  std::optional<std::string> released = classify_result(event);
  if (released && released->empty()) released.reset();  // an empty key answers nothing
  auto is_pending = [&](const std::string& key) {
    return key != released && inner_fold::contains_key(pending, key);
  };
  auto [requests, folded] = inner_fold::run_fold(fold, std::move(state), event);

  std::vector<std::string> keys;
  keys.reserve(requests.size());
  for (const Request& request : requests) keys.push_back(std::string(fold.classify_request(request)));

  std::vector<std::string> fresh = inner_fold::gate_by_key(keys, is_pending);
  // A request is kept exactly when its key was not pending after the
  // release, which is what membership in `fresh` says.
  std::vector<DispatchItem<Request>> items;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (is_pending(keys[i])) continue;
    std::string_view type = inner_fold::request_type_of(keys[i]);
    items.push_back(DispatchItem<Request>{std::move(requests[i]),
                                          kernel::needs_outbound_check(routing, type),
                                          kernel::outbound_check_source(routing, type)});
  }
  TurnOutput<typename F::State> output{std::move(folded), std::move(released),
                                       inner_fold::add_key_pending({}, fresh)};
  if (items.empty()) return Tree{typename Tree::NoRequests{std::move(output)}};
  return dispatch_with_checks<typename F::State, Request, typename F::Event,
                              typename F::DispatchResult>(std::move(items), std::move(output));
}

// An InboundCheck node in front of the inner turn when the event's tag has
// an inbound check, the inner turn itself otherwise.
template <DomainFold F>
TreeOf<F> build_turn_tree(const F& fold, const kernel::RoutingConfig& routing,
                          ResultClassifier<typename F::Event> classify_result,
                          typename F::State state, typename F::Event event,
                          const std::vector<std::string>& pending) {
  using Tree = TreeOf<F>;
  using V = typename F::DispatchResult;
  std::optional<std::string> source = kernel::needs_inbound_check(routing, fold.event_tag(event));
  if (!source) return build_inner_turn(fold, routing, classify_result, std::move(state), event, pending);
  typename F::Event shown = event;
  return Tree{typename Tree::InboundCheck{
      std::move(*source), std::move(shown),
      [&fold, &routing, &pending, classify_result = std::move(classify_result),
       state = std::move(state), event = std::move(event)](V verdict) mutable -> Tree {
        switch (verdict.index()) {
          case 0:
            return build_inner_turn(fold, routing, classify_result, std::move(state), event,
                                    pending);
          case 3:
            return build_inner_turn(fold, routing, classify_result, std::move(state),
                                    std::get<3>(verdict).with, pending);
          default:
            // Rejected, or answered with a request where an event was asked
            // for: nothing is folded, nothing released.
            return Tree{typename Tree::NoRequests{TurnOutput<typename F::State>{std::move(state), {}, {}}}};
        }
      }}};
}

}  // namespace vostrel::generic_session_tree
