// A transducer read from fuzzed JSON, run over a few fuzzed events.
//
// Input: the definition's JSON text, then up to four events, each after a
// NUL byte: the event tag, optionally followed by 0x01 and the event data as
// an Env in JSON (data that does not read is taken as empty). A tag "#k"
// stands for the `on` of rule k (modulo the rule count) of all the rules
// run, so that mutations reach the rules without having to spell their tags.
// The definition runs after the six standard transducers, over one
// environment, as in a session.
//
// Evaluation is total: it must return whatever the definition, and what it
// returns must write and read back. Inputs whose worst-case cost exceeds a
// budget (see eval_bound.h) are skipped.
#include "engine/kernel/types_io.h"
#include "engine/kernel/value_io.h"
#include "engine/kernel/vm.h"
#include "engine/stdlib.h"
#include "eval_bound.h"
#include "fuzz_support.h"

namespace {

using namespace vostrel;

constexpr std::uint64_t kBudget = 4'000'000;
constexpr std::size_t kMaxEvents = 4;

struct Event {
  std::string tag;
  kernel::Env data;
};

std::string tag_of(std::string_view spec, const std::vector<kernel::TransducerDef>& ts) {
  std::vector<const std::string*> tags;
  for (const auto& t : ts)
    for (const auto& r : t.rules) tags.push_back(&r.on);
  if (spec.size() >= 2 && spec[0] == '#' && !tags.empty()) {
    std::size_t k = 0;
    for (char c : spec.substr(1)) k = k * 10 + static_cast<unsigned char>(c) % 10;
    // The fuzzed definition's rules come last; count from there.
    return *tags[tags.size() - 1 - k % tags.size()];
  }
  return std::string(spec);
}

// What evaluation built writes in both forms and reads back equal, or is
// refused with the writer's own text exactly where the reader would refuse it.
void check_writes(const kernel::Value& v) {
  const std::size_t nesting = fuzz::value_nesting(v);
  auto json = kernel::to_json(v);
  fuzz::check(json.has_value() == (nesting <= fuzz::kJsonNesting),
              "the JSON writer's refusal does not match the reader's limit");
  if (json) {
    auto back = kernel::value_from_json(*json);
    fuzz::check(back && *back == v, "an evaluated value does not read back from JSON", *json);
  } else {
    fuzz::check(json.error() == kernel::kJsonTooDeep, "wrong JSON refusal", json.error());
  }
  auto msgpack = kernel::to_msgpack(v);
  fuzz::check(msgpack.has_value() == (nesting <= fuzz::kMsgpackNesting),
              "the MessagePack writer's refusal does not match the reader's limit");
  if (msgpack) {
    auto back = kernel::value_from_msgpack(*msgpack);
    fuzz::check(back && *back == v, "an evaluated value does not read back from MessagePack");
  } else {
    fuzz::check(msgpack.error() == kernel::kMsgpackTooDeep, "wrong MessagePack refusal",
                msgpack.error());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = fuzz::split(fuzz::as_text(data, size), '\0');
  auto def = kernel::transducer_from_json(parts[0]);
  if (!def) return 0;
  static const std::vector<kernel::TransducerDef> standard = stdlib::stdlib();
  std::vector<kernel::TransducerDef> ts = standard;
  ts.push_back(*def);

  std::vector<Event> events;
  for (std::size_t i = 1; i < parts.size() && events.size() < kMaxEvents; ++i) {
    const std::size_t sep = parts[i].find('\x01');
    Event e{tag_of(parts[i].substr(0, sep), ts), {}};
    if (sep != std::string_view::npos) {
      if (auto env = kernel::env_from_json(parts[i].substr(sep + 1))) e.data = std::move(*env);
    }
    events.push_back(std::move(e));
  }

  kernel::Env env;
  std::map<std::string, std::uint64_t> slot_sizes;
  for (const auto& t : ts) {
    for (const auto& slot : t.slots) {
      env.insert_or_assign(slot.name, slot.initial);
      slot_sizes[slot.name] = fuzz::EvalBound::size_of(slot.initial);
    }
  }
  fuzz::EvalBound bound(kBudget);
  for (const auto& e : events) bound.run(ts, slot_sizes, e.tag, e.data);
  if (bound.over()) return 0;

  for (const auto& e : events) {
    auto [effects, next] = kernel::vm::exec_session(ts, std::move(env), e.tag, e.data);
    for (const auto& v : effects) check_writes(v);
    env = std::move(next);
  }
  for (const auto& [name, v] : env) check_writes(v);
  return 0;
}
