#include "engine/session.h"

#include <gtest/gtest.h>

#include "engine/tests/transducer_builders.h"

namespace vostrel::session {
namespace {

using kernel::Value;
using test::vmap;
using test::vstr;
using Keys = std::vector<std::string>;

struct Fixture {
  std::vector<TransducerDef> transducers = {
      test::setter("memory", "Set", "x", "v"),
      test::emitter("requests", {{"Ask", {vmap({{"type", vstr("LlmRequest")}}), vstr("ToolRequest")}},
                                 {"Set", {vstr("ToolRequest")}}}),
  };
  SessionConfig config = [] {
    SessionConfig c;
    c.topology.dispatch_rules = {{"LlmRequest", "LlmResponse"}};
    c.topology.outbound_checks = {{"ToolRequest", "guard"}};
    c.inbound_checks = {{"Set", "gate"}};
    return c;
  }();
  EventLog log = {
      {"Ask", {}},
      {"Set", {{"v", vstr("one")}}},
      {"LlmResponse", {}},
      {"Ask", {}},
      {"Set", {{"v", vmap({{"q", vstr("a\"b")}, {"n", Value::none()}})}}},
  };
};

TEST(PlainSession, ProcessStepsThroughTheStepRoad) {
  Fixture f;
  SessionState s = create(f.transducers, f.config);
  EXPECT_EQ(s.vm_env, (Env{{"x", Value::integer(0)}}));
  EXPECT_TRUE(s.pending.empty());

  TurnResult ask = s.process(f.transducers, "Ask", {});
  ASSERT_EQ(ask.actions.size(), 2u);
  EXPECT_TRUE(std::holds_alternative<unified_session::CheckThenDispatch<Value>>(ask.actions[1]));
  EXPECT_EQ(ask.inbound_check, std::nullopt);
  EXPECT_EQ(s.pending, (Keys{"LlmRequest", "ToolRequest"}));

  TurnResult set = s.process(f.transducers, "Set", {{"v", vstr("one")}});
  EXPECT_EQ(set.inbound_check, std::optional<std::string>("gate"));
  EXPECT_TRUE(set.actions.empty());  // ToolRequest is pending
  EXPECT_EQ(s.vm_env, (Env{{"x", vstr("one")}}));
  EXPECT_EQ(s.event_count, 2u);
  EXPECT_EQ(set.vm_env, s.vm_env);
  EXPECT_EQ(set.pending, s.pending);

  Snapshot snap = s.snapshot();
  EXPECT_EQ(snap, (Snapshot{{"LlmRequest", "ToolRequest"}, {{"x", vstr("one")}}, 2}));
}

TEST(PlainSession, ReplayAndResumeAgreeWithStepping) {
  Fixture f;
  SessionState stepped = create(f.transducers, f.config);
  std::vector<Snapshot> after;  // after[k]: the snapshot after k events
  after.push_back(stepped.snapshot());
  for (const auto& [tag, data] : f.log) {
    stepped.process(f.transducers, tag, data);
    after.push_back(stepped.snapshot());
  }
  SessionState replayed = replay(f.transducers, f.config, f.log);
  EXPECT_EQ(replayed, stepped);
  EXPECT_EQ(replay(f.transducers, f.config, {}), create(f.transducers, f.config));

  for (std::size_t k = 0; k <= f.log.size(); ++k) {
    EventLog rest(f.log.begin() + static_cast<std::ptrdiff_t>(k), f.log.end());
    EXPECT_EQ(resume(after[k], f.config, f.transducers, rest), stepped) << "k = " << k;
  }
  // An empty log gives the snapshot's contents; the initial slots play no part.
  Snapshot odd{{"A", "A"}, {{"other", Value::boolean(true)}}, 41};
  SessionState resumed = resume(odd, f.config, f.transducers, {});
  EXPECT_EQ(resumed, (SessionState{f.config, {"A", "A"}, {{"other", Value::boolean(true)}}, 41}));
}

}  // namespace
}  // namespace vostrel::session
