#include "engine/agent_fold.h"

#include <utility>

#include "engine/kernel/vm.h"

namespace vostrel::agent_fold {

namespace {

const std::string* str_entry(const Value& map, std::string_view name) {
  const kernel::Map* entries = map.if_map();
  if (entries == nullptr) return nullptr;
  auto it = entries->find(name);
  return it == entries->end() ? nullptr : it->second.if_str();
}

std::vector<RequestAction> actions_of(const RoutingConfig& routing, std::vector<Value> outputs) {
  std::vector<RequestAction> actions;
  actions.reserve(outputs.size());
  for (Value& output : outputs) {
    if (std::optional<RequestAction> action = request_action(routing, std::move(output))) {
      actions.push_back(std::move(*action));
    }
  }
  return actions;
}

const Value& request_of(const RequestAction& action) {
  return std::visit([](const auto& a) -> const Value& { return a.request; }, action);
}

}  // namespace

std::string agent_classify_fn(const Value& request) {
  if (const std::string* s = request.if_str()) return *s;
  if (const std::string* key = str_entry(request, "key"); key != nullptr && !key->empty()) {
    return *key;
  }
  if (const std::string* type = str_entry(request, "type")) return *type;
  return {};
}

generic_session_tree::ResultClassifier<AgentEvent> agent_classify_result_fn(
    std::vector<DispatchRule> rules) {
  return [rules = std::move(rules)](const AgentEvent& event) -> std::optional<std::string> {
    std::string_view explicit_key;
    if (auto it = event.data.find("key"); it != event.data.end()) {
      if (const std::string* key = it->second.if_str()) explicit_key = *key;
    }
    std::string key = kernel::classify_result(rules, event.tag, explicit_key);
    if (key.empty()) return std::nullopt;
    return key;
  };
}

inner_fold::FoldOutput<AgentFold> AgentFold::fold(Env state, const AgentEvent& event) const {
  return kernel::vm::exec_session(transducers, std::move(state), event.tag, event.data);
}

std::vector<Value> AgentFold::fold_in_place(Env& state, const AgentEvent& event,
                                            kernel::UndoLog& log) const {
  return kernel::vm::exec_session_in_place(transducers, state, event.tag, event.data, &log);
}

std::optional<std::string> request_type_of(const Value& request) {
  if (const std::string* s = request.if_str()) return *s;
  if (const std::string* type = str_entry(request, "type")) return *type;
  return std::nullopt;
}

std::optional<std::string> extract_request_type(const RequestAction& action) {
  return request_type_of(request_of(action));
}

std::optional<RequestAction> request_action(const RoutingConfig& routing, Value emitted) {
  std::optional<std::string> type = request_type_of(emitted);
  if (!type) return std::nullopt;
  if (kernel::needs_outbound_check(routing, *type)) {
    return RequestAction{unified_session::CheckThenDispatch<Value>{
        kernel::outbound_check_source(routing, *type).value_or(std::string()),
        std::move(emitted)}};
  }
  return RequestAction{unified_session::Dispatch<Value>{std::move(emitted)}};
}

std::vector<RequestAction> gate_requests(std::vector<RequestAction> actions,
                                         const std::vector<std::string>& pending) {
  return gate_requests(std::move(actions), [&pending](const std::string& type) {
    return inner_fold::contains_key(pending, type);
  });
}

FoldResult fold_event(const RoutingConfig& routing, const std::vector<TransducerDef>& transducers,
                      Env env, std::string_view tag, const Env& data) {
  auto [outputs, env1] = kernel::vm::exec_session(transducers, std::move(env), tag, data);
  return FoldResult{actions_of(routing, std::move(outputs)), std::move(env1)};
}

OneShotTurn prepare_one_shot(const RoutingConfig& routing,
                             const std::vector<TransducerDef>& transducers, Env& env,
                             std::string_view tag, const Env& data) {
  return OneShotTurn(nullptr, {}, [&](kernel::UndoLog& log) {
    std::vector<Value> outputs = kernel::vm::exec_session_in_place(transducers, env, tag, data, &log);
    // The result holds its own copy of the environment (the values are
    // shared: this copies map nodes, not payloads).
    return turn::Prepared<turn::InPlace, FoldResult>{
        {}, FoldResult{actions_of(routing, std::move(outputs)), Env(env)}, std::nullopt, {}, {}};
  });
}

StepChange step_change(const RoutingConfig& routing,
                       const std::vector<InboundCheckDef>& inbound_checks,
                       const std::vector<TransducerDef>& transducers, Env& env,
                       std::string_view tag, const Env& data,
                       const std::vector<std::string>& pending, kernel::UndoLog* undo) {
  StepChange step;
  // Reported only: the event is folded whatever the check would say. The
  // topology's inbound rules play no part on this road.
  for (const InboundCheckDef& def : inbound_checks) {
    if (def.intercept == tag) {
      step.inbound_check = def.check_source;
      break;
    }
  }
  // Released by the first dispatch rule of the tag only; unlike the live
  // road, the event data's "key" plays no part.
  for (const DispatchRule& rule : routing.dispatch_rules) {
    if (rule.result_type == tag) {
      step.released = rule.request_type;
      break;
    }
  }
  auto is_pending = [&](const std::string& type) {
    return type != step.released && inner_fold::contains_key(pending, type);
  };
  std::vector<Value> outputs = kernel::vm::exec_session_in_place(transducers, env, tag, data, undo);
  step.actions = gate_requests(actions_of(routing, std::move(outputs)), is_pending);
  // Every surviving type is recorded, once per action: two requests of one
  // type in one step leave that type pending twice.
  for (const RequestAction& action : step.actions) {
    if (std::optional<std::string> type = extract_request_type(action)) {
      step.fresh.push_back(std::move(*type));
    }
  }
  return step;
}

TurnResult turn_step(const RoutingConfig& routing,
                     const std::vector<InboundCheckDef>& inbound_checks,
                     const std::vector<TransducerDef>& transducers, Env env, std::string_view tag,
                     const Env& data, std::vector<std::string> pending) {
  StepChange step =
      step_change(routing, inbound_checks, transducers, env, tag, data, pending, nullptr);
  return TurnResult{std::move(step.actions), std::move(env), std::move(step.inbound_check),
                    inner_fold::pending_after(std::move(pending), step.released, step.fresh)};
}

std::optional<std::string> resolve_source(const std::vector<SourceRegistration>& sources,
                                          std::string_view request_type) {
  for (const SourceRegistration& source : sources) {
    for (const SourcePair& pair : source.pairs) {
      if (pair.request_type == request_type) return source.source_id;
    }
  }
  return std::nullopt;
}

RoutingConfig derive_routing_from_sources(const std::vector<SourceRegistration>& sources,
                                          const std::vector<OutboundCheckDef>& outbound) {
  RoutingConfig routing;
  for (const SourceRegistration& source : sources) {
    for (const SourcePair& pair : source.pairs) {
      routing.dispatch_rules.push_back(DispatchRule{pair.request_type, pair.result_type});
      for (const OutboundCheckDef& check : outbound) {
        if (check.request_type == pair.request_type) {
          routing.outbound_checks.push_back(
              kernel::OutboundCheckRule{pair.request_type, check.check_source});
          break;
        }
      }
    }
  }
  return routing;
}

std::vector<InboundCheckDef> derive_inbound_checks(const std::vector<ResultCheckDef>& definitions) {
  std::vector<InboundCheckDef> checks;
  checks.reserve(definitions.size());
  for (const ResultCheckDef& def : definitions) {
    checks.push_back(InboundCheckDef{def.result_type, def.check_source});
  }
  return checks;
}

}  // namespace vostrel::agent_fold
