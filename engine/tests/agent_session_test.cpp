#include "engine/agent_session.h"

#include <gtest/gtest.h>

#include "engine/tests/transducer_builders.h"

namespace vostrel::agent_session {
namespace {

using kernel::Env;
using kernel::Value;
using test::vmap;
using test::vstr;
using Keys = std::vector<std::string>;

struct Fixture {
  std::vector<kernel::TransducerDef> transducers = {
      test::setter("memory", "Set", "x", "v"),
      test::emitter("requests",
                    {{"Ask",
                      {vmap({{"type", vstr("ToolRequest")}, {"key", vstr("ToolRequest:1")}}),
                       vmap({{"type", vstr("ToolRequest")}, {"key", vstr("ToolRequest:2")}}),
                       vstr("LlmRequest")}}}),
  };
  kernel::SessionConfig config = [] {
    kernel::SessionConfig c;
    c.topology.dispatch_rules = {{"LlmRequest", "LlmResponse"}, {"ToolRequest", "ToolResult"}};
    c.topology.outbound_checks = {{"ToolRequest", "guard"}};
    c.topology.inbound_checks = {{"Set", "from_topology"}};
    c.inbound_checks = {{"Set", "from_defs"}, {"Other", "other_gate"}};
    return c;
  }();
};

TEST(AgentSession, CreateAppendsTheInboundDefsAfterTheTopology) {
  Fixture f;
  Session s = create(f.transducers, f.config);
  EXPECT_EQ(s.state, (Env{{"x", Value::integer(0)}}));
  EXPECT_EQ(s.routing.inbound_checks,
            (std::vector<kernel::InboundCheckRule>{
                {"Set", "from_topology"}, {"Set", "from_defs"}, {"Other", "other_gate"}}));
  EXPECT_EQ(check_inbound(s, "Set"), std::optional<std::string>("from_topology"));
  EXPECT_EQ(check_inbound(s, "Other"), std::optional<std::string>("other_gate"));
  EXPECT_EQ(check_inbound(s, "Ask"), std::nullopt);
  EXPECT_EQ(s.events_processed, 0u);
}

TEST(AgentSession, LiveRoadKeysByKeyAndGates) {
  Fixture f;
  Session s = create(f.transducers, f.config);
  Requests first = fold_event(s, "Ask", {});
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<unified_session::CheckThenDispatch<Value>>(first[0]));
  EXPECT_TRUE(std::holds_alternative<unified_session::Dispatch<Value>>(first[2]));
  EXPECT_EQ(s.pending, (Keys{"ToolRequest:1", "ToolRequest:2", "LlmRequest"}));

  // Everything is still pending: the same event yields nothing.
  EXPECT_TRUE(fold_event(s, "Ask", {}).empty());
  // An explicit key clears exactly that key.
  fold_event(s, "ToolResult", {{"key", vstr("ToolRequest:2")}});
  EXPECT_EQ(s.pending, (Keys{"ToolRequest:1", "LlmRequest"}));
  EXPECT_EQ(s.event_log, (Keys{"Ask", "Ask", "ToolResult"}));
  EXPECT_EQ(s.events_processed, 3u);
}

TEST(AgentSession, SkipAndCancelTouchOnlyTheirFields) {
  Fixture f;
  Session s = create(f.transducers, f.config);
  fold_event(s, "Ask", {});
  Env state = s.state;
  skip_inbound(s, "Set");
  EXPECT_EQ(s.event_log, (Keys{"Ask", "Set:rejected"}));
  EXPECT_EQ(s.events_processed, 2u);
  EXPECT_EQ(s.state, state);

  cancel_request(s, "ToolRequest");  // not a key: nothing removed
  EXPECT_EQ(s.pending.size(), 3u);
  cancel_request(s, "ToolRequest:1");
  EXPECT_EQ(s.pending, (Keys{"ToolRequest:2", "LlmRequest"}));
  EXPECT_EQ(s.events_processed, 2u);
}

TEST(AgentSession, ResumeFoldsOnTheStepRoad) {
  Fixture f;
  session::EventLog log = {{"Ask", {}}, {"Set", {{"v", vstr("one")}}}};
  Session s = resume(f.transducers, f.config, log);
  // The step road keys by type: both tool requests record "ToolRequest".
  EXPECT_EQ(s.pending, (Keys{"ToolRequest", "ToolRequest", "LlmRequest"}));
  EXPECT_EQ(s.state, (Env{{"x", vstr("one")}}));
  EXPECT_EQ(s.event_log, (Keys{"Ask", "Set"}));
  EXPECT_EQ(s.events_processed, 2u);
  cancel_request(s, "ToolRequest");
  EXPECT_EQ(s.pending, (Keys{"LlmRequest"}));

  // The routing is the live one, inbound definitions included.
  EXPECT_EQ(check_inbound(s, "Other"), std::optional<std::string>("other_gate"));
  EXPECT_EQ(resume(f.transducers, f.config, {}).state, create(f.transducers, f.config).state);
}

TEST(AgentSession, ResumeFromSnapshotContinuesTheCount) {
  Fixture f;
  Session live = create(f.transducers, f.config);
  fold_event(live, "Set", {{"v", Value::integer(5)}});
  session::Snapshot snap = snapshot(live);
  EXPECT_EQ(snap, (session::Snapshot{{}, {{"x", Value::integer(5)}}, 1}));

  Session s = resume_from_snapshot(f.transducers, f.config, snap, {{"Ask", {}}});
  EXPECT_EQ(s.events_processed, 2u);
  EXPECT_EQ(s.event_log, (Keys{"Ask"}));
  EXPECT_EQ(s.state, (Env{{"x", Value::integer(5)}}));
  EXPECT_EQ(s.pending, (Keys{"ToolRequest", "ToolRequest", "LlmRequest"}));
}

}  // namespace
}  // namespace vostrel::agent_session
