#include "engine/kernel/coordinator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/tests/coordinator_checks.h"

namespace vostrel::kernel {
namespace {

using testing::expect_refused;

Coordinator with_sessions(std::initializer_list<const char*> ids) {
  Coordinator c;
  for (const char* id : ids) EXPECT_TRUE(c.spawn_session(id).has_value());
  return c;
}

TEST(CoordinatorError, DisplayTexts) {
  using K = CoordinatorError::Kind;
  const std::vector<std::pair<CoordinatorError, std::string>> cases = {
      {{K::SessionExists, "a", ""}, "session already exists: a"},
      {{K::SessionNotFound, "a", ""}, "session not found: a"},
      {{K::SessionNotIdle, "a", ""}, "session not idle: a"},
      {{K::SessionNotProcessing, "a", ""}, "session not processing: a"},
      {{K::SessionNotDone, "a", ""}, "session not done: a"},
      {{K::SessionNotActive, "a", ""}, "session not processing or waiting delegate: a"},
      {{K::MaxStepsReached, "a", ""}, "max steps reached: a"},
      {{K::StillWaiting, "a", ""}, "session still waiting on others: a"},
      {{K::NoRoute, "p", "c"}, "no route from p to c"},
      {{K::Deadlock, "p", "c"}, "dispatch p\xE2\x86\x92" "c would create deadlock"},
      {{K::HasDelegationEdges, "a", ""}, "session has delegation edges: a"},
      {{K::HasOutgoingEdges, "a", ""}, "session has outgoing edges: a"},
      {{K::NoDelegationEdge, "p", "c"}, "no delegation edge from p to c"},
      {{K::HasIncomingDelegation, "a", ""}, "session has incoming delegation: a"},
      {{K::SelfReference, "", ""}, "cannot reference self"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.display(), text);
  // Names are inserted as given, without quoting or escaping.
  EXPECT_EQ((CoordinatorError{K::NoRoute, "a:b", "\"c\""}).display(), "no route from a:b to \"c\"");
}

TEST(SessionStatus, Texts) {
  EXPECT_EQ(session_status_text(SessionStatus::Idle), "idle");
  EXPECT_EQ(session_status_text(SessionStatus::Processing), "processing");
  EXPECT_EQ(session_status_text(SessionStatus::WaitingDelegate), "waiting_delegate");
  EXPECT_EQ(session_status_text(SessionStatus::Done), "done");
}

TEST(Coordinator, SpawnCreatesIdleRecord) {
  Coordinator c;
  auto made = c.spawn_session("a");
  ASSERT_TRUE(made.has_value());
  EXPECT_EQ(*made, Effect(effect::CreateSession{"a"}));
  ASSERT_NE(c.session("a"), nullptr);
  EXPECT_EQ(*c.session("a"), CoordinatedSession{});
  EXPECT_EQ(c.session("b"), nullptr);
  expect_refused(c, [](Coordinator& k) { return k.spawn_session("a"); },
                 "session already exists: a");
  EXPECT_EQ(c.sessions().size(), 1u);

  // The empty id is an ordinary id.
  ASSERT_TRUE(c.spawn_session("").has_value());
  expect_refused(c, [](Coordinator& k) { return k.spawn_session(""); },
                 "session already exists: ");
}

TEST(Coordinator, SessionsListInByteOrder) {
  Coordinator c = with_sessions({"b", "a", "B", "ab"});
  std::string order;
  for (const auto& [id, s] : c.sessions()) order += id + ",";
  EXPECT_EQ(order, "B,a,ab,b,");
}

TEST(Coordinator, ForkCopiesEventCountOnly) {
  Coordinator c = with_sessions({"p"});
  ASSERT_TRUE(c.start_processing("p").has_value());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.process_step("p").has_value());
  const CoordinatedSession parent = *c.session("p");

  // The parent's status is not consulted: it is processing here.
  auto forked = c.fork_session("p", "q");
  ASSERT_TRUE(forked.has_value());
  EXPECT_EQ(*forked, Effect(effect::ForkSession{"p", "q", 3}));
  EXPECT_EQ(*c.session("p"), parent);
  CoordinatedSession expected;
  expected.event_count = 3;
  EXPECT_EQ(*c.session("q"), expected);
}

TEST(Coordinator, ForkRefusalOrder) {
  Coordinator c = with_sessions({"a", "b"});
  // Self reference comes first, even for a session that does not exist.
  expect_refused(c, [](Coordinator& k) { return k.fork_session("x", "x"); },
                 "cannot reference self");
  expect_refused(c, [](Coordinator& k) { return k.fork_session("a", "a"); },
                 "cannot reference self");
  // A missing parent is reported before an existing child.
  expect_refused(c, [](Coordinator& k) { return k.fork_session("x", "b"); },
                 "session not found: x");
  expect_refused(c, [](Coordinator& k) { return k.fork_session("a", "b"); },
                 "session already exists: b");
}

TEST(Coordinator, ExactlyTenSteps) {
  Coordinator c = with_sessions({"a"});
  ASSERT_TRUE(c.start_processing("a").has_value());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(c.process_step("a").has_value()) << i;
  expect_refused(c, [](Coordinator& k) { return k.process_step("a"); }, "max steps reached: a");
  EXPECT_EQ(c.session("a")->step_count, 10u);
  EXPECT_EQ(c.session("a")->event_count, 10u);

  // Only a reset brings the count back; the event count survives it.
  ASSERT_TRUE(c.finish_session("a").has_value());
  ASSERT_TRUE(c.reset_session("a").has_value());
  EXPECT_EQ(c.session("a")->step_count, 0u);
  EXPECT_EQ(c.session("a")->event_count, 10u);
  EXPECT_EQ(c.session("a")->status, SessionStatus::Idle);
  ASSERT_TRUE(c.start_processing("a").has_value());
  EXPECT_TRUE(c.process_step("a").has_value());
}

TEST(Coordinator, LifecycleRefusals) {
  Coordinator c = with_sessions({"idle", "proc", "done"});
  ASSERT_TRUE(c.start_processing("proc").has_value());
  ASSERT_TRUE(c.start_processing("done").has_value());
  ASSERT_TRUE(c.finish_session("done").has_value());
  EXPECT_EQ(c.session("done")->status, SessionStatus::Done);

  using Op = CoordResult<void> (Coordinator::*)(std::string_view);
  struct Case {
    Op op;
    const char* id;
    const char* text;
  };
  const std::vector<Case> cases = {
      {&Coordinator::start_processing, "x", "session not found: x"},
      {&Coordinator::start_processing, "proc", "session not idle: proc"},
      {&Coordinator::start_processing, "done", "session not idle: done"},
      {&Coordinator::process_step, "x", "session not found: x"},
      {&Coordinator::process_step, "idle", "session not processing: idle"},
      {&Coordinator::process_step, "done", "session not processing: done"},
      {&Coordinator::finish_session, "x", "session not found: x"},
      {&Coordinator::finish_session, "idle", "session not processing: idle"},
      {&Coordinator::finish_session, "done", "session not processing: done"},
      {&Coordinator::reset_session, "x", "session not found: x"},
      {&Coordinator::reset_session, "idle", "session not done: idle"},
      {&Coordinator::reset_session, "proc", "session not done: proc"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    expect_refused(c, [&](Coordinator& co) { return (co.*k.op)(k.id); }, k.text);
  }
  expect_refused(c, [](Coordinator& k) { return k.destroy_session("x"); }, "session not found: x");
  expect_refused(c, [](Coordinator& k) { return k.destroy_session("proc"); },
                 "session not idle: proc");
  expect_refused(c, [](Coordinator& k) { return k.destroy_session("done"); },
                 "session not idle: done");
}

TEST(Coordinator, DestroyRemovesOnlyItsRoutes) {
  Coordinator c = with_sessions({"a", "b", "c"});
  for (auto [s, d] : {std::pair{"a", "b"}, {"b", "a"}, {"b", "c"}, {"c", "a"}}) {
    ASSERT_TRUE(c.add_route(Route{s, d, "Req", "Res"}).has_value());
  }
  auto gone = c.destroy_session("a");
  ASSERT_TRUE(gone.has_value());
  EXPECT_EQ(*gone, Effect(effect::DestroySession{"a"}));
  EXPECT_EQ(c.session("a"), nullptr);
  EXPECT_EQ(c.routes(), (std::set<Route>{{"b", "c", "Req", "Res"}}));
  EXPECT_EQ(testing::invariant_violation(c), "");
}

TEST(Coordinator, AddRouteRefusalOrderAndSetSemantics) {
  Coordinator c = with_sessions({"a", "b"});
  expect_refused(c, [](Coordinator& k) { return k.add_route({"x", "y", "", ""}); },
                 "session not found: x");
  expect_refused(c, [](Coordinator& k) { return k.add_route({"a", "y", "", ""}); },
                 "session not found: y");
  expect_refused(c, [](Coordinator& k) { return k.add_route({"x", "x", "", ""}); },
                 "session not found: x");
  expect_refused(c, [](Coordinator& k) { return k.add_route({"a", "a", "", ""}); },
                 "cannot reference self");

  ASSERT_TRUE(c.add_route({"a", "b", "Req", "Res"}).has_value());
  ASSERT_TRUE(c.add_route({"a", "b", "Req", "Res"}).has_value());
  EXPECT_EQ(c.routes().size(), 1u);
  // Routes differing only in message types coexist, ordered by every field.
  ASSERT_TRUE(c.add_route({"a", "b", "Req", "Other"}).has_value());
  ASSERT_TRUE(c.add_route({"a", "b", "Ask", "Res"}).has_value());
  std::vector<Route> listed(c.routes().begin(), c.routes().end());
  EXPECT_EQ(listed, (std::vector<Route>{
                        {"a", "b", "Ask", "Res"}, {"a", "b", "Req", "Other"}, {"a", "b", "Req", "Res"}}));
}

// A journal made while another is attached nests in it like a savepoint:
// what a committed inner journal kept goes with the outer one's rollback,
// and an inner rollback undoes only what came after the inner one began.
TEST(CoordinatorJournal, NestsLikeASavepoint) {
  auto ids = [](const Coordinator& co) {
    std::vector<std::string> out;
    for (const auto& [id, s] : co.sessions()) out.push_back(id);
    return out;
  };
  for (bool keep_outer : {false, true}) {
    Coordinator co = with_sessions({"a"});
    {
      CoordinatorJournal outer(co);
      ASSERT_TRUE(co.spawn_session("b").has_value());
      {
        CoordinatorJournal inner(co);
        ASSERT_TRUE(co.spawn_session("c").has_value());
        inner.commit();
      }
      {
        CoordinatorJournal inner(co);
        ASSERT_TRUE(co.spawn_session("x").has_value());
        ASSERT_TRUE(co.add_route({"a", "b", "Ask", "Answer"}).has_value());
      }  // rolled back
      ASSERT_TRUE(co.spawn_session("d").has_value());
      EXPECT_EQ(ids(co), (std::vector<std::string>{"a", "b", "c", "d"}));
      EXPECT_TRUE(co.routes().empty());
      if (keep_outer) outer.commit();
    }
    EXPECT_EQ(ids(co), keep_outer ? (std::vector<std::string>{"a", "b", "c", "d"})
                                   : (std::vector<std::string>{"a"}));
    // Nothing stays attached: later writes are not undone by anyone.
    ASSERT_TRUE(co.spawn_session("e").has_value());
    EXPECT_TRUE(co.session("e") != nullptr);
  }
}

}  // namespace
}  // namespace vostrel::kernel
