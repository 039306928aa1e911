// Running an agent's transducers over its events and turning what they emit
// into requests for the host.
//
// Three roads share the transducers and the rule engine but key requests
// differently, on purpose; a session rebuilt through one road can therefore
// hold other pending keys than a live session fed the same events:
//
//  - live road (`AgentFold` inside unified_session::Session): a request map
//    is keyed by its "key", else its "type"; an event releases the key named
//    by its data's "key" or by the dispatch rules; inbound checks come from
//    the session's routing.
//  - step road (`turn_step`, used by plain sessions, replay and resume): keyed
//    by "type" only; keys are released only through the dispatch rules, and a
//    type emitted twice in one step is recorded twice; inbound checks come
//    from the InboundCheckDef list alone, and are only reported.
//  - one-shot road (`fold_event`): no keys, no gating, no inbound checks.
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/generic_session_tree.h"
#include "engine/inner_fold.h"
#include "engine/kernel/routing.h"
#include "engine/kernel/types.h"
#include "engine/kernel/value.h"
#include "engine/turn.h"
#include "engine/unified_session.h"

namespace vostrel::agent_fold {

using kernel::DispatchRule;
using kernel::Env;
using kernel::InboundCheckDef;
using kernel::RoutingConfig;
using kernel::TransducerDef;
using kernel::Value;

struct AgentEvent {
  std::string tag;
  Env data;
};

// At a Check node a replacement is a request Value, at an InboundCheck node
// an AgentEvent.
using AgentDispatchResult = inner_fold::Verdict<Value, AgentEvent>;

// Live road: a request's pending key.
std::string agent_classify_fn(const Value& request);

// Live road: the key an event answers (its data's non-empty "key", else the
// request type of the first dispatch rule for its tag). Owns its rules.
generic_session_tree::ResultClassifier<AgentEvent> agent_classify_result_fn(
    std::vector<DispatchRule> rules);

// The domain fold of the live road.
struct AgentFold {
  using State = Env;
  using Request = Value;
  using Event = AgentEvent;
  using DispatchResult = AgentDispatchResult;

  std::vector<TransducerDef> transducers;

  std::string event_tag(const AgentEvent& event) const { return event.tag; }
  std::string classify_request(const Value& request) const { return agent_classify_fn(request); }
  inner_fold::FoldOutput<AgentFold> fold(Env state, const AgentEvent& event) const;
  // The same on `state` in place, every write through `log`.
  std::vector<Value> fold_in_place(Env& state, const AgentEvent& event,
                                   kernel::UndoLog& log) const;
};

using AgentSession = unified_session::Session<AgentFold>;

// A request of the step and one-shot roads: same shape as the live road's.
using RequestAction = unified_session::ClassifiedRequest<Value>;

// Step and one-shot roads: a Str request is its own type, a Map's is its
// "type" when that is a Str; anything else has none.
std::optional<std::string> request_type_of(const Value& request);
std::optional<std::string> extract_request_type(const RequestAction& action);

// The action for one emitted value, none for a value without a request type.
// The outbound check is looked up by the whole type, not cut at ':'.
std::optional<RequestAction> request_action(const RoutingConfig& routing, Value emitted);

// The actions whose request type is not pending; actions without one stay.
std::vector<RequestAction> gate_requests(std::vector<RequestAction> actions,
                                         const std::vector<std::string>& pending);
// The same with pending-ness asked of `is_pending`.
template <class IsPending>
  requires std::predicate<IsPending&, const std::string&>
std::vector<RequestAction> gate_requests(std::vector<RequestAction> actions,
                                         IsPending&& is_pending) {
  std::erase_if(actions, [&is_pending](const RequestAction& action) {
    std::optional<std::string> type = extract_request_type(action);
    return type && is_pending(*type);
  });
  return actions;
}

// Result of the one-shot road.
struct FoldResult {
  std::vector<RequestAction> actions;
  Env vm_env;
};

FoldResult fold_event(const RoutingConfig& routing, const std::vector<TransducerDef>& transducers,
                      Env env, std::string_view tag, const Env& data);

// The one-shot road as a turn over the environment a host keeps, folded in
// place; the commit hands the result over.
using OneShotTurn = turn::Turn<turn::InPlace, FoldResult>;
OneShotTurn prepare_one_shot(const RoutingConfig& routing,
                             const std::vector<TransducerDef>& transducers, Env& env,
                             std::string_view tag, const Env& data);

// Result of one step of the step road.
struct TurnResult {
  std::vector<RequestAction> actions;
  Env vm_env;
  std::optional<std::string> inbound_check;
  std::vector<std::string> pending;
};

TurnResult turn_step(const RoutingConfig& routing,
                     const std::vector<InboundCheckDef>& inbound_checks,
                     const std::vector<TransducerDef>& transducers, Env env, std::string_view tag,
                     const Env& data, std::vector<std::string> pending);

// A step of the step road on `env` in place (every write through `undo`,
// when given), with the change it makes to `pending` (which it only reads)
// in place of the new list: `turn_step` is this followed by
// inner_fold::pending_after.
struct StepChange {
  std::vector<RequestAction> actions;
  std::optional<std::string> inbound_check;
  std::optional<std::string> released;  // every entry of it leaves the pending list
  std::vector<std::string> fresh;       // appended, repeats included
};
StepChange step_change(const RoutingConfig& routing,
                       const std::vector<InboundCheckDef>& inbound_checks,
                       const std::vector<TransducerDef>& transducers, Env& env,
                       std::string_view tag, const Env& data,
                       const std::vector<std::string>& pending, kernel::UndoLog* undo);

// A source that answers the given request types.
struct SourcePair {
  std::string request_type;
  std::string result_type;
  friend bool operator==(const SourcePair&, const SourcePair&) = default;
};
struct SourceRegistration {
  std::string source_id;
  std::vector<SourcePair> pairs;
  friend bool operator==(const SourceRegistration&, const SourceRegistration&) = default;
};
// Requests of `request_type` must pass `check_source`.
struct OutboundCheckDef {
  std::string request_type;
  std::string check_source;
  friend bool operator==(const OutboundCheckDef&, const OutboundCheckDef&) = default;
};
// Events tagged `result_type` must pass `check_source`.
struct ResultCheckDef {
  std::string result_type;
  std::string check_source;
  friend bool operator==(const ResultCheckDef&, const ResultCheckDef&) = default;
};

std::optional<std::string> resolve_source(const std::vector<SourceRegistration>& sources,
                                          std::string_view request_type);

RoutingConfig derive_routing_from_sources(const std::vector<SourceRegistration>& sources,
                                          const std::vector<OutboundCheckDef>& outbound);

std::vector<InboundCheckDef> derive_inbound_checks(const std::vector<ResultCheckDef>& definitions);

}  // namespace vostrel::agent_fold
