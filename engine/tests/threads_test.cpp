// Definitions, environments and expressions read by many threads at once.
//
// Values share their payloads between copies, so a literal of a shared
// expression, a slot of a shared environment or a field of a shared event
// hands the same payload to every thread that reads it. Each thread here
// checks its own results against those of a single-threaded run; the
// thread-sanitizer build reports any unsynchronised access on the way.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/kernel/vm.h"
#include "engine/loader.h"
#include "engine/stdlib.h"
#include "engine/tests/kernel_builders.h"

namespace vostrel::kernel {
namespace {

using namespace build;

constexpr int kThreads = 8;

// Runs `work(thread index)` on kThreads threads released together and
// returns the number of failed checks they counted.
int run_together(int rounds, const std::function<bool(int)>& work) {
  std::atomic<int> failures{0};
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int r = 0; r < rounds; ++r) {
        if (!work(t)) failures.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  return failures.load();
}

Value tool_call(const std::string& id) {
  return M({{"arguments", S("{\"q\": 1}")}, {"id", S(id)}, {"name", S("search")}});
}

struct Event {
  std::string tag;
  Env data;
};

// A turn with two tool calls over a history that the environment already
// holds: every event reads it, and the ones that append write through it.
std::vector<Event> conversation() {
  const auto result = [](const std::string& id) {
    return Env{{"tool_call_id", S(id)}, {"name", S("search")}, {"content", S("r-" + id)},
               {"is_error", B(false)}};
  };
  return {
      {"UserMessage", {{"parts", L({S("what is the weather?")})}}},
      {"LlmResponse",
       {{"role", S("assistant")}, {"parts", L({S("checking")})},
        {"tool_calls", L({tool_call("c1"), tool_call("c2")})}, {"input_tokens", I(900)},
        {"output_tokens", I(12)}}},
      {"ToolResult", result("c1")},
      {"ToolResult", result("c2")},
      {"MemoryBlockUpdated", {{"name", S("notes")}, {"content", S("sunny")}}},
      {"LlmResponse", {{"role", S("assistant")}, {"parts", L({S("sunny")})}, {"input_tokens", I(950)}}},
  };
}

TEST(Threads, StandardTransducersOverOneDefinitionListAndOneEnvironment) {
  const std::vector<TransducerDef> defs = stdlib::stdlib();
  const std::vector<Event> events = conversation();
  Env shared = loader::init_env(defs);
  {
    std::vector<Value> context;
    for (int i = 0; i < 40; ++i) context.push_back(M({{"role", S("user")}, {"parts", L({S("m" + std::to_string(i))})}}));
    auto [tag, data] = stdlib::session_init(std::move(context));
    shared = vm::exec_session(defs, std::move(shared), tag, data).second;
  }

  // The single-threaded run: the effects of every event and the last state.
  std::vector<std::vector<Value>> expected;
  Env last = shared;
  for (const Event& e : events) {
    auto [effects, next] = vm::exec_session(defs, std::move(last), e.tag, e.data);
    expected.push_back(std::move(effects));
    last = std::move(next);
  }
  ASSERT_EQ(expected[0].size(), 1u);  // the model is asked
  ASSERT_EQ(expected[1].size(), 2u);  // two tool requests
  ASSERT_EQ(last.at("messages").as_list().size(), 45u);
  ASSERT_NE(last, shared);

  const Env original = shared;
  const int failures = run_together(150, [&](int) {
    bool ok = true;
    Env env = shared;
    for (std::size_t i = 0; i < events.size(); ++i) {
      auto [effects, next] = vm::exec_session(defs, std::move(env), events[i].tag, events[i].data);
      ok = ok && effects == expected[i];
      env = std::move(next);
    }
    return ok && env == last;
  });
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(shared, original);
}

TEST(Threads, OneExpressionWithListAndMapLiterals) {
  const Value items = L({S("a"), M({{"k", L({I(1), I(2)})}})});
  const Value table = M({{"a", L({I(1)})}, {"b", M({{"c", S("d")}})}});
  // A record of results built from the literals: appended, put, deleted,
  // folded and bound by name, so every evaluation copies, writes and drops
  // the literals' payloads.
  const Expr expr = rec({
      {"appended", lappend(lit(items), ref("item"))},
      {"put", mput(lit(table), lit_s("e"), ref("list"))},
      {"deleted", mdel(lit(table), lit_s("a"))},
      {"keys", mkeys(lit(table))},
      {"folded", fold(lit(L({I(1), I(2), I(3)})), lit(L()), "acc", "x",
                      lappend(ref("acc"), lit(table)))},
      {"bound", let("t", lit(table), mget(ref("t"), lit_s("b")))},
  });
  const Env env{{"item", S("z")}, {"list", L({S("shared"), M({{"m", I(5)}})})}};

  const Value expected = M({
      {"appended", L({S("a"), M({{"k", L({I(1), I(2)})}}), S("z")})},
      {"bound", M({{"c", S("d")}})},
      {"deleted", M({{"b", M({{"c", S("d")}})}})},
      {"folded", L({table, table, table})},
      {"keys", L({S("a"), S("b")})},
      {"put", M({{"a", L({I(1)})}, {"b", M({{"c", S("d")}})}, {"e", env.at("list")}})},
  });
  ASSERT_EQ(vm::eval(env, expr), expected);

  const int failures = run_together(2000, [&](int t) {
    Value v = vm::eval(env, expr);
    if (v != expected) return false;
    // Writing to a result must never reach the literals or the environment.
    v.map_mut()["put"].map_mut()["e"].list_mut().push_back(I(t));
    v.map_mut()["appended"].list_mut().clear();
    return v.as_map().at("put").as_map().at("e").as_list().size() == 3;
  });
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(vm::eval(env, expr), expected);
}

}  // namespace
}  // namespace vostrel::kernel
