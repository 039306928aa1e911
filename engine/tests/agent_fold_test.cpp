#include "engine/agent_fold.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/tests/transducer_builders.h"

namespace vostrel::agent_fold {
namespace {

using kernel::Map;
using test::emitter;
using test::vmap;
using test::vstr;
using Keys = std::vector<std::string>;

const Value kTool1 = vmap({{"type", vstr("ToolRequest")}, {"key", vstr("ToolRequest:c1")}});
const Value kTool2 = vmap({{"type", vstr("ToolRequest")}, {"key", vstr("ToolRequest:c2")}});

std::string show(const std::vector<RequestAction>& actions) {
  std::string out;
  for (const RequestAction& a : actions) {
    if (auto* c = std::get_if<unified_session::CheckThenDispatch<Value>>(&a)) {
      out += "check(" + c->check_source + ")";
    }
    out += agent_classify_fn(std::visit([](const auto& x) { return x.request; }, a)) + " ";
  }
  return out;
}

TEST(AgentClassify, LiveRoadKeys) {
  struct Case {
    Value request;
    std::string key;
  };
  const Case cases[] = {
      {vstr("LlmRequest"), "LlmRequest"},
      {vstr(""), ""},
      {kTool1, "ToolRequest:c1"},
      {vmap({{"type", vstr("ToolRequest")}, {"key", vstr("")}}), "ToolRequest"},
      {vmap({{"type", vstr("ToolRequest")}, {"key", Value::integer(3)}}), "ToolRequest"},
      {vmap({{"type", vstr("")}}), ""},
      {vmap({{"key", vstr("K")}}), "K"},
      {vmap({{"type", Value::integer(1)}}), ""},
      {vmap({}), ""},
      {Value::integer(7), ""},
      {Value::list({vstr("x")}), ""},
      {Value::none(), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(agent_classify_fn(c.request), c.key);
}

TEST(AgentClassify, ResultClassifierPrefersTheKeyHint) {
  auto classify = agent_classify_result_fn({{"LlmRequest", "LlmResponse"}, {"Other", "LlmResponse"}});
  EXPECT_EQ(classify({"LlmResponse", {}}), std::optional<std::string>("LlmRequest"));
  EXPECT_EQ(classify({"LlmResponse", {{"key", vstr("")}}}), std::optional<std::string>("LlmRequest"));
  EXPECT_EQ(classify({"LlmResponse", {{"key", Value::integer(1)}}}),
            std::optional<std::string>("LlmRequest"));
  EXPECT_EQ(classify({"Unrouted", {{"key", vstr("ToolRequest:c1")}}}),
            std::optional<std::string>("ToolRequest:c1"));
  EXPECT_EQ(classify({"Unrouted", {}}), std::nullopt);
}

TEST(OneShotRoad, EveryEmittedRequestIsAnActionNoKeys) {
  RoutingConfig routing;
  routing.outbound_checks = {{"ToolRequest", "guard"}};
  routing.inbound_checks = {{"Go", "ignored"}};
  std::vector<TransducerDef> ts = {emitter(
      "t", {{"Go",
             {vstr("ToolRequest:1"), kTool1, Value::integer(1), Value::list({}),
              vmap({{"key", vstr("k")}}), vmap({{"type", Value::integer(2)}}), vstr("ToolRequest"),
              Value::none()}}})};
  FoldResult r = fold_event(routing, ts, {}, "Go", {});
  // The one-shot road checks the whole type: "ToolRequest:1" is not cut.
  EXPECT_EQ(show(r.actions), "ToolRequest:1 check(guard)ToolRequest:c1 check(guard)ToolRequest ");
  // Nothing is remembered between folds: the same requests come again.
  FoldResult again = fold_event(routing, ts, r.vm_env, "Go", {});
  EXPECT_EQ(show(again.actions), show(r.actions));
  EXPECT_TRUE(fold_event(routing, ts, {}, "Other", {}).actions.empty());
}

TEST(StepRoad, KeysByTypeAndReleasesByDispatchRule) {
  RoutingConfig routing;
  routing.dispatch_rules = {{"ToolRequest", "ToolResult"}, {"Second", "ToolResult"}};
  routing.inbound_checks = {{"ToolResult", "topology-only"}};
  std::vector<InboundCheckDef> defs = {{"Go", "gate"}};
  std::vector<TransducerDef> ts = {emitter("t", {{"Go", {kTool1, kTool2, vstr("LlmRequest")}},
                                                 {"ToolResult", {kTool1}},
                                                 {"Hint", {}}})};

  TurnResult go = turn_step(routing, defs, ts, {}, "Go", {}, {"LlmRequest"});
  // Both tool requests pass and both record their type; LlmRequest is gated.
  EXPECT_EQ(show(go.actions), "ToolRequest:c1 ToolRequest:c2 ");
  EXPECT_EQ(go.pending, (Keys{"LlmRequest", "ToolRequest", "ToolRequest"}));
  EXPECT_EQ(go.inbound_check, std::optional<std::string>("gate"));

  // The data's "key" plays no part here, and a topology-only inbound rule is
  // not reported.
  TurnResult hint =
      turn_step(routing, defs, ts, {}, "Hint", {{"key", vstr("LlmRequest")}}, go.pending);
  EXPECT_EQ(hint.pending, go.pending);
  TurnResult result = turn_step(routing, defs, ts, {}, "ToolResult", {}, go.pending);
  EXPECT_EQ(result.inbound_check, std::nullopt);
  // One result clears every copy of the type; the request it emits is sent.
  EXPECT_EQ(show(result.actions), "ToolRequest:c1 ");
  EXPECT_EQ(result.pending, (Keys{"LlmRequest", "ToolRequest"}));
}

TEST(LiveRoad, KeysDifferFromTheStepRoad) {
  RoutingConfig routing;
  routing.dispatch_rules = {{"ToolRequest", "ToolResult"}};
  routing.outbound_checks = {{"ToolRequest", "guard"}, {"ToolRequest:c1", "whole-key"}};
  std::vector<TransducerDef> ts = {
      emitter("t", {{"Go", {kTool1, kTool2, kTool1}}, {"Done", {}}})};
  AgentSession live{AgentFold{ts}, routing, {}, {}, {}, 0};
  auto classify = [&] { return agent_classify_result_fn(live.routing.dispatch_rules); };

  unified_session::FoldResult<Value> r = live.fold_event({"Go", {}}, classify());
  ASSERT_EQ(r.requests.size(), 3u);
  // Cut at the first ':' on this road, so the "ToolRequest" rule applies.
  for (const auto& req : r.requests) {
    auto* c = std::get_if<unified_session::CheckThenDispatch<Value>>(&req);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->check_source, "guard");
  }
  EXPECT_EQ(live.pending, (Keys{"ToolRequest:c1", "ToolRequest:c2"}));
  TurnResult step = turn_step(routing, {}, ts, {}, "Go", {}, {});
  EXPECT_EQ(step.pending, (Keys{"ToolRequest", "ToolRequest", "ToolRequest"}));

  // The key hint releases one call on the live road even with no rule for
  // the tag; the step road keeps its pending list.
  live.fold_event({"Done", {{"key", vstr("ToolRequest:c1")}}}, classify());
  EXPECT_EQ(live.pending, (Keys{"ToolRequest:c2"}));
  EXPECT_EQ(turn_step(routing, {}, ts, {}, "Done", {{"key", vstr("ToolRequest")}}, step.pending)
                .pending,
            step.pending);
  EXPECT_EQ(live.event_log, (Keys{"Go", "Done"}));
  EXPECT_EQ(live.events_processed, 2u);
}

TEST(LiveRoad, StateFollowsTheTransducers) {
  std::vector<TransducerDef> ts = {test::setter("t", "Set", "x", "v")};
  AgentSession live{AgentFold{ts}, {}, {}, {}, {{"x", Value::integer(0)}}, 0};
  live.fold_event({"Set", {{"v", vstr("new")}}}, agent_classify_result_fn({}));
  EXPECT_EQ(live.state, (Env{{"x", vstr("new")}}));
  live.skip_inbound({"Set", {{"v", vstr("rejected")}}});
  EXPECT_EQ(live.state, (Env{{"x", vstr("new")}}));
  EXPECT_EQ(live.event_log, (Keys{"Set", "Set:rejected"}));
}

TEST(Sources, ResolveAndDerive) {
  std::vector<SourceRegistration> sources = {
      {"llm", {{"LlmRequest", "LlmResponse"}}},
      {"tools", {{"ToolRequest", "ToolResult"}, {"LlmRequest", "Other"}}},
  };
  EXPECT_EQ(resolve_source(sources, "LlmRequest"), std::optional<std::string>("llm"));
  EXPECT_EQ(resolve_source(sources, "ToolRequest"), std::optional<std::string>("tools"));
  EXPECT_EQ(resolve_source(sources, "ToolRequest:c1"), std::nullopt);
  EXPECT_EQ(resolve_source({}, "LlmRequest"), std::nullopt);

  RoutingConfig plain = derive_routing_from_sources(sources, {});
  EXPECT_EQ(plain.dispatch_rules,
            (std::vector<DispatchRule>{{"LlmRequest", "LlmResponse"},
                                       {"ToolRequest", "ToolResult"},
                                       {"LlmRequest", "Other"}}));
  EXPECT_TRUE(plain.outbound_checks.empty());
  EXPECT_TRUE(plain.inbound_checks.empty());

  RoutingConfig checked = derive_routing_from_sources(
      sources, {{"LlmRequest", "first"}, {"LlmRequest", "second"}, {"Unused", "x"}});
  EXPECT_EQ(checked.outbound_checks,
            (std::vector<kernel::OutboundCheckRule>{{"LlmRequest", "first"}, {"LlmRequest", "first"}}));

  EXPECT_EQ(derive_inbound_checks({{"ToolResult", "guard"}, {"", ""}}),
            (std::vector<InboundCheckDef>{{"ToolResult", "guard"}, {"", ""}}));
}

}  // namespace
}  // namespace vostrel::agent_fold
