#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/kernel/coordinator.h"
#include "engine/tests/coordinator_checks.h"

namespace vostrel::kernel {
namespace {

using testing::expect_refused;
using testing::invariant_violation;

// Sessions p, c, d with routes p->c and p->d, p processing.
Coordinator parent_with_two_children() {
  Coordinator co;
  for (const char* id : {"p", "c", "d"}) EXPECT_TRUE(co.spawn_session(id).has_value());
  EXPECT_TRUE(co.add_route({"p", "c", "Task", "TaskResult"}).has_value());
  EXPECT_TRUE(co.add_route({"p", "d", "Task", "TaskResult"}).has_value());
  EXPECT_TRUE(co.start_processing("p").has_value());
  return co;
}

void finish(Coordinator& co, std::string_view id) {
  ASSERT_TRUE(co.finish_session(id).has_value()) << id;
}

TEST(Delegation, DelegateOpensEdgeAndStartsChild) {
  Coordinator co = parent_with_two_children();
  Env data{{"k", Value::integer(1)}};
  auto sent = co.delegate_to("p", "c", "Task", data);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(*sent, Effect(effect::AgentRequest{"c", "Task", data}));

  const CoordinatedSession& p = *co.session("p");
  EXPECT_EQ(p.status, SessionStatus::WaitingDelegate);
  EXPECT_EQ(p.waiting_on, (IdSet{"c"}));
  EXPECT_EQ(p.event_count, 0u);
  const CoordinatedSession& c = *co.session("c");
  EXPECT_EQ(c.status, SessionStatus::Processing);
  EXPECT_EQ(c.event_count, 1u);
  EXPECT_EQ(c.step_count, 0u);
  EXPECT_EQ(co.delegations(), (std::set<DelegationEdge>{{"p", "c"}}));

  // A waiting parent may delegate further.
  ASSERT_TRUE(co.delegate_to("p", "d", "Task", {}).has_value());
  EXPECT_EQ(co.session("p")->waiting_on, (IdSet{"c", "d"}));
  EXPECT_EQ(invariant_violation(co), "");
}

TEST(Delegation, DelegateRefusalOrder) {
  Coordinator co = parent_with_two_children();
  // Self reference, then the route, before anyone's existence is looked at.
  expect_refused(co, [](Coordinator& k) { return k.delegate_to("x", "x", "T", {}); },
                 "cannot reference self");
  expect_refused(co, [](Coordinator& k) { return k.delegate_to("x", "y", "T", {}); },
                 "no route from x to y");
  expect_refused(co, [](Coordinator& k) { return k.delegate_to("c", "p", "T", {}); },
                 "no route from c to p");

  ASSERT_TRUE(co.add_route({"c", "d", "", ""}).has_value());
  expect_refused(co, [](Coordinator& k) { return k.delegate_to("c", "d", "T", {}); },
                 "session not processing or waiting delegate: c");

  // The child must be idle: processing ...
  ASSERT_TRUE(co.start_processing("c").has_value());
  expect_refused(co, [](Coordinator& k) { return k.delegate_to("p", "c", "T", {}); },
                 "session not idle: c");
  // ... or done.
  finish(co, "c");
  expect_refused(co, [](Coordinator& k) { return k.delegate_to("p", "c", "T", {}); },
                 "session not idle: c");
  // A done parent is not active either.
  ASSERT_TRUE(co.add_route({"c", "p", "", ""}).has_value());
  ASSERT_TRUE(co.reset_session("c").has_value());
  expect_refused(co, [](Coordinator& k) { return k.delegate_to("c", "d", "T", {}); },
                 "session not processing or waiting delegate: c");
}

TEST(Delegation, CompleteCollectsChild) {
  Coordinator co = parent_with_two_children();
  ASSERT_TRUE(co.delegate_to("p", "c", "Task", {}).has_value());
  ASSERT_TRUE(co.delegate_to("p", "d", "Task", {}).has_value());

  expect_refused(co, [](Coordinator& k) { return k.complete_delegation("p", "c"); },
                 "session not done: c");
  ASSERT_TRUE(co.process_step("c").has_value());
  finish(co, "c");
  auto got = co.complete_delegation("p", "c");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, Effect(effect::CollectAgentResult{"p", "c", "TaskResult"}));
  EXPECT_EQ(co.session("p")->status, SessionStatus::WaitingDelegate);
  EXPECT_EQ(co.session("p")->event_count, 1u);
  CoordinatedSession child = *co.session("c");
  EXPECT_EQ(child.status, SessionStatus::Idle);
  EXPECT_EQ(child.step_count, 0u);
  EXPECT_EQ(child.event_count, 2u);  // the request and the step

  finish(co, "d");
  ASSERT_TRUE(co.complete_delegation("p", "d").has_value());
  EXPECT_EQ(co.session("p")->status, SessionStatus::Processing);
  EXPECT_EQ(co.session("p")->event_count, 2u);
  EXPECT_TRUE(co.delegations().empty());
  EXPECT_EQ(invariant_violation(co), "");

  // The collected child is reusable.
  EXPECT_TRUE(co.delegate_to("p", "c", "Task", {}).has_value());
}

TEST(Delegation, CompleteReportsFirstRouteInOrder) {
  Coordinator co;
  for (const char* id : {"p", "c"}) ASSERT_TRUE(co.spawn_session(id).has_value());
  ASSERT_TRUE(co.add_route({"p", "c", "Zed", "A"}).has_value());
  ASSERT_TRUE(co.add_route({"p", "c", "Ask", "Z2"}).has_value());
  ASSERT_TRUE(co.add_route({"p", "c", "Ask", "Z1"}).has_value());
  ASSERT_TRUE(co.start_processing("p").has_value());
  ASSERT_TRUE(co.delegate_to("p", "c", "anything", {}).has_value());
  finish(co, "c");
  auto got = co.complete_delegation("p", "c");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(std::get<effect::CollectAgentResult>(*got).result_type, "Z1");
}

TEST(Delegation, CompleteAndCancelRefusalOrder) {
  Coordinator co = parent_with_two_children();
  auto both = [&](const char* parent, const char* child, const std::string& text) {
    expect_refused(co, [&](Coordinator& k) { return k.complete_delegation(parent, child); }, text);
    expect_refused(co, [&](Coordinator& k) { return k.cancel_delegation(parent, child); }, text);
  };
  both("x", "c", "session not found: x");
  both("p", "c", "session not processing or waiting delegate: p");
  ASSERT_TRUE(co.delegate_to("p", "c", "Task", {}).has_value());
  expect_refused(co, [](Coordinator& k) { return k.complete_delegation("p", "d"); },
                 "no delegation edge from p to d");
  expect_refused(co, [](Coordinator& k) { return k.cancel_delegation("p", "d"); },
                 "no delegation edge from p to d");

  // A child that delegated further cannot be cancelled.
  ASSERT_TRUE(co.spawn_session("g").has_value());
  ASSERT_TRUE(co.add_route({"c", "g", "", ""}).has_value());
  ASSERT_TRUE(co.delegate_to("c", "g", "Sub", {}).has_value());
  expect_refused(co, [](Coordinator& k) { return k.cancel_delegation("p", "c"); },
                 "session has outgoing edges: c");
  EXPECT_EQ(invariant_violation(co), "");
}

TEST(Delegation, CancelGivesChildFreshRecord) {
  Coordinator co = parent_with_two_children();
  ASSERT_TRUE(co.delegate_to("p", "c", "Task", {}).has_value());
  ASSERT_TRUE(co.delegate_to("p", "d", "Task", {}).has_value());
  ASSERT_TRUE(co.process_step("c").has_value());
  finish(co, "c");

  ASSERT_TRUE(co.cancel_delegation("p", "c").has_value());
  EXPECT_EQ(*co.session("c"), CoordinatedSession{});
  EXPECT_EQ(co.session("p")->status, SessionStatus::WaitingDelegate);
  EXPECT_EQ(co.session("p")->event_count, 0u);
  expect_refused(co, [](Coordinator& k) { return k.complete_delegation("p", "c"); },
                 "no delegation edge from p to c");

  ASSERT_TRUE(co.cancel_delegation("p", "d").has_value());
  EXPECT_EQ(co.session("p")->status, SessionStatus::Processing);
  EXPECT_TRUE(co.delegations().empty());
  EXPECT_EQ(invariant_violation(co), "");
}

TEST(Delegation, SessionFailed) {
  Coordinator co = parent_with_two_children();
  ASSERT_TRUE(co.delegate_to("p", "c", "Task", {}).has_value());
  ASSERT_TRUE(co.delegate_to("p", "d", "Task", {}).has_value());
  ASSERT_TRUE(co.add_route({"c", "d", "", ""}).has_value());

  expect_refused(co, [](Coordinator& k) { return k.session_failed("x"); }, "session not found: x");
  expect_refused(co, [](Coordinator& k) { return k.session_failed("p"); },
                 "session has outgoing edges: p");

  auto gone = co.session_failed("c");
  ASSERT_TRUE(gone.has_value());
  EXPECT_EQ(*gone, Effect(effect::DestroySession{"c"}));
  EXPECT_EQ(co.session("c"), nullptr);
  EXPECT_EQ(co.session("p")->waiting_on, (IdSet{"d"}));
  EXPECT_EQ(co.session("p")->status, SessionStatus::WaitingDelegate);
  EXPECT_EQ(co.routes(), (std::set<Route>{{"p", "d", "Task", "TaskResult"}}));
  EXPECT_EQ(co.delegations(), (std::set<DelegationEdge>{{"p", "d"}}));

  // A failing child in any status goes; its parent resumes when it awaits nobody else.
  finish(co, "d");
  ASSERT_TRUE(co.session_failed("d").has_value());
  EXPECT_EQ(co.session("p")->status, SessionStatus::Processing);
  EXPECT_EQ(co.session("p")->event_count, 0u);
  EXPECT_TRUE(co.delegations().empty());
  EXPECT_TRUE(co.routes().empty());
  EXPECT_EQ(invariant_violation(co), "");

  // Idle, processing and done sessions alike.
  ASSERT_TRUE(co.session_failed("p").has_value());
  EXPECT_TRUE(co.sessions().empty());
}

TEST(Delegation, ResetAndFinishGuardedByDelegation) {
  Coordinator co = parent_with_two_children();
  ASSERT_TRUE(co.delegate_to("p", "c", "Task", {}).has_value());
  expect_refused(co, [](Coordinator& k) { return k.finish_session("p"); },
                 "session not processing: p");
  finish(co, "c");
  expect_refused(co, [](Coordinator& k) { return k.reset_session("c"); },
                 "session has incoming delegation: c");
  expect_refused(co, [](Coordinator& k) { return k.destroy_session("c"); },
                 "session not idle: c");
  ASSERT_TRUE(co.complete_delegation("p", "c").has_value());
  ASSERT_TRUE(co.delegate_to("p", "c", "Task", {}).has_value());
  // A parent that has its children back finishes normally.
  finish(co, "c");
  ASSERT_TRUE(co.complete_delegation("p", "c").has_value());
  finish(co, "p");
}

TEST(Delegation, CanReachThroughWaiting) {
  Coordinator co;
  for (const char* id : {"a", "b", "c", "z"}) ASSERT_TRUE(co.spawn_session(id).has_value());
  ASSERT_TRUE(co.add_route({"a", "b", "", ""}).has_value());
  ASSERT_TRUE(co.add_route({"b", "c", "", ""}).has_value());
  ASSERT_TRUE(co.start_processing("a").has_value());
  ASSERT_TRUE(co.delegate_to("a", "b", "T", {}).has_value());
  ASSERT_TRUE(co.delegate_to("b", "c", "T", {}).has_value());
  EXPECT_TRUE(co.can_reach("a", "b"));
  EXPECT_TRUE(co.can_reach("a", "c"));
  EXPECT_FALSE(co.can_reach("c", "a"));
  EXPECT_FALSE(co.can_reach("a", "a"));
  EXPECT_FALSE(co.can_reach("z", "z"));
  EXPECT_FALSE(co.can_reach("missing", "a"));
  EXPECT_FALSE(co.can_reach("a", "z"));
}

TEST(Delegation, CanReachSearchOverHandBuiltGraphs) {
  // Cycles and dangling names cannot arise through the operations, but the
  // search must still end on them and answer as the links say.
  auto waiting = [](std::initializer_list<const char*> names) {
    CoordinatedSession s;
    s.status = SessionStatus::WaitingDelegate;
    for (const char* n : names) s.waiting_on.emplace(n);
    return s;
  };
  SessionMap cycle{{"a", waiting({"b"})}, {"b", waiting({"c"})}, {"c", waiting({"a"})}};
  EXPECT_TRUE(can_reach_in(cycle, "a", "a"));
  EXPECT_TRUE(can_reach_in(cycle, "b", "a"));
  EXPECT_FALSE(can_reach_in(cycle, "a", "x"));

  SessionMap self{{"a", waiting({"a"})}};
  EXPECT_TRUE(can_reach_in(self, "a", "a"));

  // "ghost" is no session: it can still be the target, but leads nowhere.
  SessionMap dangling{{"a", waiting({"ghost", "b"})}, {"b", waiting({"b"})}};
  EXPECT_TRUE(can_reach_in(dangling, "a", "ghost"));
  EXPECT_FALSE(can_reach_in(dangling, "a", "a"));
  EXPECT_FALSE(can_reach_in(dangling, "ghost", "a"));

  SessionMap diamond{{"a", waiting({"b", "c"})}, {"b", waiting({"d"})}, {"c", waiting({"d"})},
                     {"d", CoordinatedSession{}}};
  EXPECT_TRUE(can_reach_in(diamond, "a", "d"));
  EXPECT_FALSE(can_reach_in(diamond, "d", "a"));
}

// Random walks over a small id pool: after every call the invariants hold,
// and every refused call left the coordinator exactly as it was. Delegation
// calls take their two names from an existing route or edge half the time,
// so that the walk gets past the route checks often enough to go deep.
TEST(Delegation, RandomSequencesKeepInvariants) {
  const std::array<std::string, 5> ids = {"", "a", "b", "c", "d"};
  // Weights of operations 0..12 (12: the readers).
  const std::array<int, 13> weights = {4, 2, 8, 4, 6, 6, 1, 4, 12, 8, 2, 1, 2};
  for (std::uint32_t seed : {1u, 7u, 42u, 2024u}) {
    std::mt19937 rng(seed);
    auto pick = [&]() -> std::string { return ids[rng() % ids.size()]; };
    auto pick_op = [&] {
      int total = 0;
      for (int w : weights) total += w;
      int roll = static_cast<int>(rng() % static_cast<unsigned>(total));
      int op = 0;
      while (roll >= weights[op]) roll -= weights[op++];
      return op;
    };
    Coordinator co;
    std::array<int, 13> successes{};
    for (int step = 0; step < 3000; ++step) {
      const int op = pick_op();
      std::string x = pick();
      std::string y = pick();
      if (op == 8 && !co.routes().empty() && rng() % 2) {
        auto it = std::next(co.routes().begin(), rng() % co.routes().size());
        x = it->src, y = it->dst;
      }
      if ((op == 9 || op == 10) && !co.delegations().empty() && rng() % 2) {
        auto it = std::next(co.delegations().begin(), rng() % co.delegations().size());
        x = it->parent, y = it->child;
      }
      const Coordinator before = co;
      bool ok = false;
      switch (op) {
        case 0: ok = co.spawn_session(x).has_value(); break;
        case 1: ok = co.fork_session(x, y).has_value(); break;
        case 2: ok = co.start_processing(x).has_value(); break;
        case 3: ok = co.process_step(x).has_value(); break;
        case 4: ok = co.finish_session(x).has_value(); break;
        case 5: ok = co.reset_session(x).has_value(); break;
        case 6: ok = co.destroy_session(x).has_value(); break;
        case 7: ok = co.add_route({x, y, "Req", rng() % 2 ? "Res" : "Alt"}).has_value(); break;
        case 8: ok = co.delegate_to(x, y, "Task", {}).has_value(); break;
        case 9: ok = co.complete_delegation(x, y).has_value(); break;
        case 10: ok = co.cancel_delegation(x, y).has_value(); break;
        case 11: ok = co.session_failed(x).has_value(); break;
        default: {
          (void)co.can_reach(x, y);
          (void)co.session(x);
          ok = true;
          ASSERT_TRUE(co == before) << "a reader changed the coordinator";
        }
      }
      if (ok) {
        ++successes[op];
      } else {
        ASSERT_TRUE(co == before) << "seed " << seed << " step " << step << " op " << op;
      }
      ASSERT_EQ(invariant_violation(co), "") << "seed " << seed << " step " << step << " op " << op;
    }
    for (int op = 0; op < 12; ++op) EXPECT_GT(successes[op], 2) << "seed " << seed << " op " << op;
  }
}

}  // namespace
}  // namespace vostrel::kernel
