// The engine's hot path: one event folded through the six standard
// transducers over a state holding the whole conversation history, beside
// one deep copy of that history (what a fold that copied the environment per
// scope would pay several times per event).
//
//   bench_engine --benchmark_filter=/1000$
//
// The ratio (exec_session time) / (deep copy time) at 1,000 and 10,000
// messages is the figure of merit; a fold whose cost grows with the history
// shows up as a ratio near or above 1.
#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/kernel/value.h"
#include "engine/kernel/vm.h"
#include "engine/loader.h"
#include "engine/stdlib.h"

namespace {

using vostrel::kernel::Env;
using vostrel::kernel::List;
using vostrel::kernel::Map;
using vostrel::kernel::TransducerDef;
using vostrel::kernel::Value;

Value str(std::string s) { return Value::str(std::move(s)); }

Value tool_call(const std::string& id) {
  return Value::map(Map{{"arguments", str(R"({"query": "weather in Lisbon", "days": 3})")},
                        {"id", str(id)},
                        {"name", str("search")}});
}

// A conversation of `n` messages in the shapes the standard library records:
// a user message, an assistant message with one tool call, its tool result.
Value history(std::size_t n) {
  List messages;
  messages.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::string id = "call_" + std::to_string(i);
    switch (i % 3) {
      case 0:
        messages.push_back(Value::map(
            Map{{"parts", Value::list({str("Please look up the forecast and summarise it, " + id)})},
                {"role", str("user")},
                {"tool_calls", Value::list({})}}));
        break;
      case 1:
        messages.push_back(Value::map(Map{{"parts", Value::list({str("Let me check that.")})},
                                          {"role", str("assistant")},
                                          {"tool_calls", Value::list({tool_call(id)})}}));
        break;
      default:
        messages.push_back(Value::map(
            Map{{"content", str("Sunny, 24 degrees, light wind from the north-west; " + id)},
                {"is_error", Value::boolean(false)},
                {"name", str("search")},
                {"role", str("tool")},
                {"tool_call_id", str(id)}}));
    }
  }
  return Value::list(std::move(messages));
}

// A copy that shares nothing with its source.
Value deep_copy(const Value& v) {
  switch (v.kind()) {
    case vostrel::kernel::Kind::Str:
      return Value::str(v.as_str());
    case vostrel::kernel::Kind::List: {
      List items;
      items.reserve(v.as_list().size());
      for (const Value& item : v.as_list()) items.push_back(deep_copy(item));
      return Value::list(std::move(items));
    }
    case vostrel::kernel::Kind::Map: {
      Map entries;
      for (const auto& [k, item] : v.as_map()) entries.emplace_hint(entries.end(), k, deep_copy(item));
      return Value::map(std::move(entries));
    }
    default:
      return v;
  }
}

struct Agent {
  std::vector<TransducerDef> transducers = vostrel::stdlib::stdlib();
  Env state;

  explicit Agent(std::size_t n) : state(vostrel::loader::init_env(transducers)) {
    state["messages"] = history(n);
  }

  std::vector<Value> fold(std::string_view tag, const Env& data) {
    auto [effects, next] = vostrel::kernel::vm::exec_session(transducers, std::move(state), tag, data);
    state = std::move(next);
    return effects;
  }

  // Undoes the one message an event appended, so that every iteration sees
  // the same history (in place: the state holds the list alone).
  void drop_last_message() { state["messages"].list_mut().pop_back(); }
};

Env llm_response() {
  return Env{{"input_tokens", Value::integer(1200)},
             {"output_tokens", Value::integer(80)},
             {"parts", Value::list({str("I will look up both cities.")})},
             {"role", str("assistant")},
             {"tool_calls", Value::list({tool_call("call_a"), tool_call("call_b")})}};
}

Env tool_result() {
  return Env{{"content", str("Cloudy, 18 degrees.")},
             {"is_error", Value::boolean(false)},
             {"name", str("search")},
             {"tool_call_id", str("call_a")}};
}

void BM_ExecSession_LlmResponse(benchmark::State& st) {
  Agent agent(static_cast<std::size_t>(st.range(0)));
  const Env event = llm_response();
  for (auto _ : st) {
    std::vector<Value> effects = agent.fold("LlmResponse", event);
    benchmark::DoNotOptimize(effects.data());
    effects.clear();
    agent.drop_last_message();
  }
}

void BM_ExecSession_ToolResult(benchmark::State& st) {
  Agent agent(static_cast<std::size_t>(st.range(0)));
  const Env event = tool_result();
  for (auto _ : st) {
    // The last outstanding tool call: the result also asks the model again,
    // with the whole history as its context.
    agent.state["pending_tools"] = Value::integer(1);
    std::vector<Value> effects = agent.fold("ToolResult", event);
    benchmark::DoNotOptimize(effects.data());
    effects.clear();
    agent.drop_last_message();
  }
}

void BM_DeepCopyHistory(benchmark::State& st) {
  const Value h = history(static_cast<std::size_t>(st.range(0)));
  for (auto _ : st) {
    Value copy = deep_copy(h);
    benchmark::DoNotOptimize(&copy);
  }
}

BENCHMARK(BM_ExecSession_LlmResponse)->Arg(10)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ExecSession_ToolResult)->Arg(10)->Arg(1000)->Arg(10000);
BENCHMARK(BM_DeepCopyHistory)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
