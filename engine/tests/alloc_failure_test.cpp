// Every engine operation is all or nothing when memory runs out: each one is
// run with its n-th allocation failing (and every later one: unwinding may
// not allocate either), for n = 1, 2, ... until it completes. After each
// failure the object must be exactly as before; the run that completes must
// give what a run without failures gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "alloc_failure_hook.h"
#include "engine/agent_session.h"
#include "engine/coordinator_fold.h"
#include "engine/kernel/coordinator.h"
#include "engine/session.h"
#include "engine/stdlib.h"
#include "kernel_builders.h"

namespace vostrel {
namespace {

using kernel::Env;
using kernel::Value;
using namespace kernel::build;

// The sweep: `make()` builds a fresh object, `op(object)` runs the operation
// and returns its result, `look(object)` an independent picture of the
// object (one that shares no payload with it, so that taking it does not
// change how the operation writes). Returns the number of failing runs.
template <class Make, class Op, class Look>
std::size_t sweep(Make make, Op op, Look look) {
  auto reference = make();
  const auto expected_result = op(reference);
  const auto expected = look(reference);
  auto object = make();
  const auto before = look(object);
  for (std::size_t n = 1;; ++n) {
    std::optional<decltype(op(object))> result;
    try {
      test::alloc::FailFrom failing(n);
      result.emplace(op(object));
    } catch (const std::bad_alloc&) {
    }
    if (result) {
      EXPECT_EQ(*result, expected_result);
      EXPECT_EQ(look(object), expected);
      std::printf("    completed at allocation %zu\n", n);
      return n - 1;
    }
    EXPECT_EQ(look(object), before) << "allocation " << n << " failed";
    if (testing::Test::HasFailure()) return n;
  }
}

kernel::SessionConfig agent_config() {
  kernel::SessionConfig c;
  c.topology.dispatch_rules = {{"LlmRequest", "LlmResponse"}, {"ToolRequest", "ToolResult"}};
  c.topology.outbound_checks = {{"ToolRequest", "tool-guard"}};
  return c;
}

Value tool_call(const std::string& id) {
  return M({{"arguments", S("{}")}, {"id", S(id)}, {"name", S("search")}});
}

Env llm_response(std::vector<Value> calls) {
  return {{"role", S("assistant")},
          {"parts", L({S("looking")})},
          {"tool_calls", L(std::move(calls))},
          {"input_tokens", I(120)},
          {"output_tokens", I(7)}};
}

Env tool_result(const std::string& id) {
  return {{"tool_call_id", S(id)},
          {"name", S("search")},
          {"content", S("r-" + id)},
          {"is_error", B(false)}};
}

// An agent of the standard transducers some turns into a conversation; its
// history is held by its state alone unless `share` keeps a snapshot.
struct Agent {
  agent_session::Session session;
  std::optional<session::Snapshot> kept;
};

Agent agent(bool share) {
  Agent a{agent_session::create(stdlib::stdlib(), agent_config()), std::nullopt};
  auto [tag, data] = stdlib::session_init({S("earlier")});
  agent_session::fold_event(a.session, tag, data);
  for (int i = 0; i < 4; ++i) {
    const std::string id = "c" + std::to_string(i);
    agent_session::fold_event(a.session, "UserMessage", {{"parts", L({S("hi " + id)})}});
    agent_session::fold_event(a.session, "LlmResponse", llm_response({tool_call(id)}));
    agent_session::fold_event(a.session, "ToolResult", tool_result(id));
  }
  if (share) a.kept = agent_session::snapshot(a.session);
  return a;
}

std::string look_agent(const Agent& a) {
  std::string out = *session::snapshot_to_json(agent_session::snapshot(a.session));
  for (const std::string& tag : a.session.event_log) out += " " + tag;
  return out;
}

TEST(AllocationFailure, AgentFoldOfTheStandardTransducers) {
  std::size_t total = 0;
  for (bool share : {false, true}) {
    auto folds = [](const char* tag, Env data) {
      return [tag, data](Agent& a) { return agent_session::fold_event(a.session, tag, data); };
    };
    auto make = [share] { return agent(share); };
    total += sweep(make, folds("LlmResponse", llm_response({tool_call("x"), tool_call("y")})),
                   look_agent);
    total += sweep(make, folds("ToolResult", tool_result("c3")), look_agent);
    total += sweep(make, folds("UserMessage", {{"parts", L({S("again")})}}), look_agent);
    total += sweep(
        make,
        [](Agent& a) {
          agent_session::skip_inbound(a.session, "ToolResult");
          return 0;
        },
        look_agent);
  }
  // Each sweep met failures at many points of its turn (fewer since a turn
  // folds the state in place instead of a copy of its slot map).
  EXPECT_GT(total, 150u);
}

// Keeping the old state costs no copy of the history: a fold appends to a
// history that nothing else holds in place (the same list grows), and copies
// one that a snapshot shares, which keeps its own.
TEST(AllocationFailure, FoldsGrowAnUnsharedHistoryInPlace) {
  for (bool share : {false, true}) {
    Agent a = agent(share);
    const kernel::List* before = &a.session.state.at("messages").as_list();
    const std::size_t length = before->size();
    agent_session::fold_event(a.session, "UserMessage", {{"parts", L({S("more")})}});
    const kernel::List& after = a.session.state.at("messages").as_list();
    EXPECT_EQ(after.size(), length + 1);
    EXPECT_EQ(&after == before, !share);
    if (share) {
      EXPECT_EQ(a.kept->vm_env.at("messages").as_list().size(), length);
    }
  }
}

// What a committed turn handed over stays as it was whatever later turns
// do, dropped ones included: the request's context shares the history that
// the next turn would grow in place, so that turn copies it instead.
TEST(AllocationFailure, WhatATurnHandsOverStaysAsItWas) {
  Agent a = agent(false);
  agent_session::fold_event(a.session, "LlmResponse", llm_response({}));
  agent_session::Requests sent =
      agent_session::fold_event(a.session, "UserMessage", {{"parts", L({S("more")})}});
  ASSERT_EQ(sent.size(), 1u);
  const Value& request = std::get<unified_session::Dispatch<Value>>(sent[0]).request;
  const std::size_t length = request.as_map().at("context").as_list().size();
  const std::string before = look_agent(a);
  {
    auto dropped = agent_session::prepare_fold(a.session, "UserMessage", {{"parts", L({S("x")})}});
    EXPECT_EQ(dropped.output().size(), 0u);  // the LlmRequest is still pending
  }
  EXPECT_EQ(look_agent(a), before);
  agent_session::fold_event(a.session, "LlmResponse", llm_response({}));
  EXPECT_EQ(request.as_map().at("context").as_list().size(), length);
}

// Map and list slots written in place through every kind of write the fold
// logs (an entry removed, replaced and added, an item appended), with more
// allocations after each.
TEST(AllocationFailure, AgentFoldWritingSlotsInPlace) {
  kernel::TransducerDef t{"maps", {{"m", M({{"old", S("o")}, {"keep", I(1)}})}, {"log", L()}}, {}};
  t.rules.push_back(rule(
      "W", lit_b(true),
      {upd("m", mdel(ref("m"), lit_s("old"))), upd("m", mput(ref("m"), lit_s("keep"), ref("v"))),
       upd("m", mput(ref("m"), ref("v"), lit_i(1))), upd("log", lappend(ref("log"), ref("v"))),
       upd("m", mput(ref("m"), lit_s("old"), ref("v")))},
      {rec({{"type", lit_s("Wrote")}, {"m", ref("m")}, {"log", ref("log")}})}));
  auto make = [&t] {
    Agent a{agent_session::create({t}, kernel::SessionConfig{}), std::nullopt};
    agent_session::fold_event(a.session, "W", {{"v", S("first")}});
    return a;
  };
  auto op = [](Agent& a) {
    return agent_session::fold_event(a.session, "W", {{"v", S("second")}});
  };
  // The writes are made in place: the slots keep their payloads.
  Agent a = make();
  const kernel::Map* m = &a.session.state.at("m").as_map();
  const kernel::List* log = &a.session.state.at("log").as_list();
  op(a);
  EXPECT_EQ(&a.session.state.at("m").as_map(), m);
  EXPECT_EQ(&a.session.state.at("log").as_list(), log);
  EXPECT_EQ(a.session.state.at("m"),
            M({{"first", I(1)}, {"keep", S("second")}, {"old", S("second")}, {"second", I(1)}}));
  EXPECT_GT(sweep(make, op, look_agent), 10u);
}

TEST(AllocationFailure, PlainStep) {
  auto make = [] {
    session::SessionState s = session::create(stdlib::stdlib(), agent_config());
    std::vector<kernel::TransducerDef> ts = stdlib::stdlib();
    auto [tag, data] = stdlib::session_init({});
    s.process(ts, tag, data);
    s.process(ts, "UserMessage", {{"parts", L({S("hi")})}});
    return std::pair{std::move(s), std::move(ts)};
  };
  auto look = [](const auto& p) { return *session::snapshot_to_json(p.first.snapshot()); };
  // As a host does: the result is read before the step is applied.
  auto step = [](auto& p) {
    auto turn =
        p.first.prepare(p.second, "LlmResponse", llm_response({tool_call("a"), tool_call("b")}));
    const agent_fold::TurnResult& r = turn.output();
    auto result = std::tuple{r.actions, r.vm_env, r.inbound_check, r.pending};
    turn.commit();
    return result;
  };
  EXPECT_GT(sweep(make, step, look), 50u);
}

using coordinator_fold::NetworkSession;
namespace ev = kernel::network_event;

NetworkSession network() {
  auto made = coordinator_fold::from_config({{"main", "helper"},
                                             {{"main", "helper"}, {"main", "spare"}},
                                             {{"main", "desk"}},
                                             "main",
                                             {},
                                             {}});
  NetworkSession s = std::move(*made);
  coordinator_fold::fold_network_event(s, ev::UserMessage{"hello"});
  coordinator_fold::fold_network_event(s, ev::RegisterAgent{"helper"});
  return s;
}

auto look_network(const NetworkSession& s) {
  return std::tuple{s.state, s.pending, s.event_log, s.events_processed};
}

TEST(AllocationFailure, NetworkFold) {
  // A delegation to a new child and to a registered one, one whose parent
  // is not active (the child made for it is destroyed again), a failure
  // that ends the active agent, a registration and a refused handoff.
  const std::vector<kernel::NetworkEvent> events = {ev::DelegationRequested{"main", "fresh"},
                                                    ev::DelegationRequested{"main", "helper"},
                                                    ev::DelegationRequested{"desk", "fresh"},
                                                    ev::AgentFailed{"main"},
                                                    ev::RegisterAgent{"other"},
                                                    ev::HandoffRequested{"main", "desk"}};
  std::size_t total = 0;
  for (const kernel::NetworkEvent& e : events) {
    total += sweep(
        network,
        [&e](NetworkSession& s) { return coordinator_fold::fold_network_event(s, e).requests; },
        look_network);
  }
  // A delegation that completes, on a session where it is open.
  auto delegating = [] {
    NetworkSession s = network();
    coordinator_fold::fold_network_event(s, ev::DelegationRequested{"main", "fresh"});
    coordinator_fold::fold_network_event(s, ev::StartAgent{"fresh"});
    coordinator_fold::fold_network_event(s, ev::AgentDone{"fresh"});
    return s;
  };
  total += sweep(
      delegating,
      [](NetworkSession& s) {
        return coordinator_fold::fold_network_event(s, ev::DelegationComplete{"main", "fresh"})
            .requests;
      },
      look_network);
  // A handoff that goes through: the active agent changes.
  auto done = [] {
    NetworkSession s = network();
    coordinator_fold::fold_network_event(s, ev::AgentDone{"main"});
    return s;
  };
  total += sweep(
      done,
      [](NetworkSession& s) {
        return coordinator_fold::fold_network_event(s, ev::HandoffRequested{"main", "desk"})
            .requests;
      },
      look_network);
  NetworkSession handed = done();
  coordinator_fold::fold_network_event(handed, ev::HandoffRequested{"main", "desk"});
  EXPECT_EQ(handed.state.active_agent, "desk");
  EXPECT_GT(total, 50u);
}

// Ids too long to be stored inline, so that each copy of one allocates.
constexpr const char* kParent = "planner-session-with-a-long-id";
constexpr const char* kChild = "researcher-session-with-a-long-id";
constexpr const char* kBusy = "writer-session-with-a-long-id";
constexpr const char* kNewcomer = "reviewer-session-with-a-long-id";
constexpr const char* kFork = "forked-session-with-a-long-id";

TEST(AllocationFailure, CoordinatorOperations) {
  using kernel::Coordinator;
  auto make = [] {
    Coordinator co;
    for (const char* id : {kParent, kChild, kBusy}) (void)co.spawn_session(id);
    (void)co.add_route({kParent, kChild, "Ask", "Answer"});
    (void)co.add_route({kParent, kBusy, "Ask", "Answer"});
    (void)co.start_processing(kParent);
    (void)co.delegate_to(kParent, kBusy, "Ask", {});
    return co;
  };
  auto look = [](const Coordinator& co) { return co; };
  std::size_t total = 0;
  total += sweep(
      make, [](Coordinator& co) { return co.spawn_session(kNewcomer); }, look);
  total += sweep(
      make, [](Coordinator& co) { return co.fork_session(kParent, kFork); }, look);
  total += sweep(
      make,
      [](Coordinator& co) {
        return co.delegate_to(kParent, kChild, "Ask", {{"q", S("what")}});
      },
      look);
  auto finished = [&make] {
    Coordinator co = make();
    (void)co.finish_session(kBusy);
    return co;
  };
  total += sweep(
      finished, [](Coordinator& co) { return co.complete_delegation(kParent, kBusy); }, look);
  total += sweep(
      make, [](Coordinator& co) { return co.session_failed(kBusy); }, look);
  total += sweep(
      make, [](Coordinator& co) { return co.destroy_session(kChild); }, look);
  total += sweep(
      make,
      [](Coordinator& co) {
        return co.add_route({kChild, kBusy, "Ask", "Answer"});
      },
      look);
  // A refusal builds its message: that may fail too, and changes nothing.
  total += sweep(
      make, [](Coordinator& co) { return co.spawn_session(kParent); }, look);
  EXPECT_GT(total, 20u);
}

// A journal makes a sequence of operations all or nothing: the sequence
// fails at each of its allocations in turn and is undone whole, and undoing
// it without a failure gives the coordinator back as well.
TEST(AllocationFailure, CoordinatorJournalUndoesSequences) {
  using kernel::Coordinator;
  auto make = [] {
    Coordinator co;
    for (const char* id : {kParent, kChild, kBusy}) (void)co.spawn_session(id);
    (void)co.add_route({kParent, kBusy, "Ask", "Answer"});
    (void)co.start_processing(kParent);
    (void)co.delegate_to(kParent, kBusy, "Ask", {});
    return co;
  };
  // Every kind of write: sessions made and removed, counters, waiting
  // lists, routes and edges added and removed, a record replaced.
  auto sequence = [](Coordinator& co) {
    std::vector<bool> done;
    auto ok = [&done](const auto& result) { done.push_back(result.has_value()); };
    ok(co.spawn_session(kNewcomer));
    ok(co.fork_session(kParent, kFork));
    ok(co.add_route({kParent, kChild, "Ask", "Answer"}));
    ok(co.add_route({kParent, kNewcomer, "Ask", "Answer"}));
    ok(co.delegate_to(kParent, kChild, "Ask", {{"q", S("what")}}));
    ok(co.process_step(kChild));
    ok(co.finish_session(kChild));
    ok(co.complete_delegation(kParent, kChild));
    ok(co.cancel_delegation(kParent, kBusy));
    ok(co.delegate_to(kParent, kNewcomer, "Ask", {}));
    ok(co.session_failed(kNewcomer));
    ok(co.destroy_session(kFork));
    ok(co.destroy_session(kChild));
    return done;
  };
  auto journaled = [&sequence](Coordinator& co) {
    kernel::CoordinatorJournal journal(co);
    std::vector<bool> done = sequence(co);
    journal.commit();
    return done;
  };
  Coordinator plain = make();
  const std::vector<bool> done = sequence(plain);
  EXPECT_EQ(done, std::vector<bool>(done.size(), true));
  Coordinator undone = make();
  {
    kernel::CoordinatorJournal journal(undone);
    sequence(undone);
    EXPECT_EQ(undone, plain);
  }
  EXPECT_EQ(undone, make());
  auto look = [](const Coordinator& co) { return co; };
  EXPECT_GT(sweep(make, journaled, look), 30u);
}

// Freeing allocates nothing: with every allocation failing, a value nested
// a million levels deep and a wide one (lists and maps) are freed.
TEST(AllocationFailure, FreeingNeedsNoMemory) {
  Value deep = L();
  for (int i = 0; i < 1'000'000; ++i)
    deep = i % 2 ? L({std::move(deep), S("x")}) : M({{"k", std::move(deep)}});
  kernel::List items(200'000, M({{"a", L({S("shared")})}}));
  for (std::size_t i = 0; i < items.size(); i += 3) items[i] = L({S(std::to_string(i)), L()});
  Value wide = L(std::move(items));
  {
    test::alloc::FailFrom failing(1);
    deep = Value();
    wide = Value();
  }
  EXPECT_TRUE(deep.is_none() && wide.is_none());
}

}  // namespace
}  // namespace vostrel
