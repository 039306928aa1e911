// Throughput of the two value codecs on a snapshot-like document: an Env
// whose bulk is a conversation history of 10,000 messages (maps of strings),
// read and written in JSON and in MessagePack. A plain byte scan over the
// same texts gives the floor to compare against.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "engine/kernel/value_io.h"

namespace {

using vostrel::kernel::Env;
using vostrel::kernel::List;
using vostrel::kernel::Map;
using vostrel::kernel::Value;

Env snapshot_env(int messages) {
  List history;
  history.reserve(static_cast<std::size_t>(messages));
  for (int i = 0; i < messages; ++i) {
    Map m;
    m.emplace("role", Value::str(i % 2 ? "assistant" : "user"));
    m.emplace("content", Value::str("Message " + std::to_string(i) +
                                    ": the quick brown fox jumps over the lazy dog, "
                                    "then asks for the \"weather\" in Zürich.\n"));
    if (i % 5 == 0) {
      Map call;
      call.emplace("id", Value::str("call_" + std::to_string(i)));
      call.emplace("name", Value::str("get_weather"));
      call.emplace("input", Value::map(Map{{"city", Value::str("Zürich")}, {"days", Value::integer(3)}}));
      m.emplace("tool_calls", Value::list(List{Value::map(std::move(call))}));
    }
    history.push_back(Value::map(std::move(m)));
  }
  Env env;
  env.emplace("messages", Value::list(std::move(history)));
  env.emplace("input_tokens", Value::integer(123456));
  env.emplace("output_tokens", Value::integer(789));
  env.emplace("pending_summary", Value::boolean(false));
  env.emplace("summary", Value::none());
  return env;
}

const Env& document() {
  static const Env env = snapshot_env(10'000);
  return env;
}

const std::string& json_text() {
  static const std::string text = *vostrel::kernel::to_json(document());
  return text;
}

const std::string& msgpack_bytes() {
  static const std::string bytes = *vostrel::kernel::to_msgpack(document());
  return bytes;
}

// Touches every byte once, with a data dependency so nothing is skipped.
std::uint64_t scan(const std::string& s) {
  std::uint64_t h = 0;
  for (unsigned char c : s) h = h * 31 + c;
  return h;
}

void BM_ByteScanJson(benchmark::State& state) {
  const std::string& text = json_text();
  for (auto _ : state) benchmark::DoNotOptimize(scan(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_JsonRead(benchmark::State& state) {
  const std::string& text = json_text();
  for (auto _ : state) {
    auto env = vostrel::kernel::env_from_json(text);
    if (!env) state.SkipWithError(env.error().c_str());
    benchmark::DoNotOptimize(env);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_JsonWrite(benchmark::State& state) {
  const Env& env = document();
  std::size_t size = 0;
  for (auto _ : state) {
    std::string out;
    vostrel::kernel::write_json(env, out);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void BM_ByteScanMsgpack(benchmark::State& state) {
  const std::string& bytes = msgpack_bytes();
  for (auto _ : state) benchmark::DoNotOptimize(scan(bytes));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void BM_MsgpackRead(benchmark::State& state) {
  const std::string& bytes = msgpack_bytes();
  for (auto _ : state) {
    auto env = vostrel::kernel::env_from_msgpack(bytes);
    if (!env) state.SkipWithError(env.error().c_str());
    benchmark::DoNotOptimize(env);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void BM_MsgpackWrite(benchmark::State& state) {
  const Env& env = document();
  std::size_t size = 0;
  for (auto _ : state) {
    std::string out;
    vostrel::kernel::write_msgpack(env, out);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

BENCHMARK(BM_ByteScanJson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ByteScanMsgpack)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MsgpackRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MsgpackWrite)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
