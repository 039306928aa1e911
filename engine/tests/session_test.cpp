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

// The values a snapshot must carry through both forms unchanged.
Snapshot tricky_snapshot() {
  Value nested = vmap({{"outer", vmap({{"inner", Value::list({Value::none(), vstr("q\"uote")})}})},
                       {"b", Value::integer(-129)}});
  return Snapshot{{"ToolRequest:c1", "", "a\"b"},
                  {{"nothing", Value::none()}, {"quote", vstr("say \"hi\"\n")}, {"deep", nested},
                   {"flag", Value::boolean(false)}},
                  18446744073709551615u};
}

TEST(SnapshotForms, JsonIsCompactInFieldOrderAndRoundTrips) {
  EXPECT_EQ(*snapshot_to_json({}), R"({"pending":[],"vm_env":{},"event_count":0})");
  Snapshot snap{{"ToolRequest", "x\"y"}, {{"b", Value::none()}, {"a", Value::integer(3)}}, 7};
  EXPECT_EQ(*snapshot_to_json(snap),
            R"({"pending":["ToolRequest","x\"y"],"vm_env":{"a":{"type":"Int","value":3},)"
            R"("b":{"type":"None"}},"event_count":7})");
  EXPECT_EQ(snapshot_from_json(*snapshot_to_json(tricky_snapshot())), tricky_snapshot());
}

TEST(SnapshotForms, JsonReaderFormsAndErrors) {
  Snapshot expected{{"x"}, {{"x", Value::none()}}, 3};
  EXPECT_EQ(snapshot_from_json(
                R"( {"extra":[1,{}],"event_count":3,"vm_env":{"x":{"type":"None"}},"pending":["x"]} )"
                "\n"),
            expected);
  EXPECT_EQ(snapshot_from_json(R"([["x"],{"x":["None"]},3])"), expected);
  struct Case {
    std::string_view text, error;
  };
  const Case cases[] = {
      {R"({"pending":[],"vm_env":{}})", "missing field `event_count` at line 1 column 26"},
      {R"({"pending":[],"vm_env":{},"event_count":-1})",
       "invalid value: integer `-1`, expected u64 at line 1 column 42"},
      {R"({"pending":[],"vm_env":{},"event_count":18446744073709551616})",
       "invalid type: floating point `18446744073709552000`, expected u64 at line 1 column 60"},
      {R"({"pending":[],"pending":[]})", "duplicate field `pending` at line 1 column 23"},
      {R"([[],{}])", "invalid length 2, expected struct Snapshot with 3 elements at line 1 column 7"},
      {R"([[],{},0,0])", "trailing characters at line 1 column 10"},
      {"null", "invalid type: null, expected struct Snapshot at line 1 column 4"},
      {R"({"pending":[],"vm_env":{},"event_count":0} 1)", "trailing characters at line 1 column 44"},
  };
  for (const Case& c : cases) {
    auto read = snapshot_from_json(c.text);
    ASSERT_FALSE(read.has_value()) << c.text;
    EXPECT_EQ(read.error(), c.error) << c.text;
  }
  // At most 127 arrays and objects open at once, the snapshot's own included.
  auto nested_list = [](int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
      open += R"(["List",[)";
      close += "]]";
    }
    return R"({"pending":[],"vm_env":{"v":)" + open + R"(["None"])" + close + R"(},"event_count":0})";
  };
  EXPECT_TRUE(snapshot_from_json(nested_list(62)).has_value());
  auto too_deep = snapshot_from_json(nested_list(63));
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_TRUE(too_deep.error().starts_with("recursion limit exceeded at line 1 column ")) << too_deep.error();
}

TEST(SnapshotForms, MessagePackIsAnArrayOfThreeAndRoundTrips) {
  using namespace std::string_literals;
  EXPECT_EQ(*snapshot_to_msgpack({}), "\x93\x90\x80\x00"s);
  Snapshot snap{{"x"}, {{"x", Value::none()}}, 3};
  EXPECT_EQ(*snapshot_to_msgpack(snap), "\x93\x91\xa1x\x81\xa1x\x91\xa4None\x03"s);
  std::string bytes = *snapshot_to_msgpack(tricky_snapshot());
  EXPECT_TRUE(bytes.ends_with("\xcf\xff\xff\xff\xff\xff\xff\xff\xff"s));
  EXPECT_EQ(snapshot_from_msgpack(bytes), tricky_snapshot());
  // Bytes after the first value are not looked at.
  EXPECT_EQ(snapshot_from_msgpack(bytes + "\xc1\xff\x93"s), tricky_snapshot());
  // The map form, keys as strings or binary, unknown keys skipped.
  EXPECT_EQ(snapshot_from_msgpack("\x84\xa5""extra\xc0\xc4\x07pending\x91\xa1x"
                                  "\xa6vm_env\x81\xa1x\x91\xa4None\xab""event_count\x03"s),
            snap);
}

TEST(SnapshotForms, MessagePackReaderErrors) {
  using namespace std::string_literals;
  struct Case {
    std::string bytes;
    std::string_view error;
  };
  const Case cases[] = {
      {"\x92\x90\x80"s, "invalid length 2, expected struct Snapshot with 3 elements"},
      {"\x94\x90\x80\x00\x00"s, "array had incorrect length, expected 3"},
      {"\x93\x90\x80\xff"s, "invalid value: integer `-1`, expected u64"},
      {"\x82\xa7pending\x90\xa6vm_env\x80"s, "missing field `event_count`"},
      {"\xc2"s, "invalid type: boolean `false`, expected struct Snapshot"},
      {"\x93\x90"s, "IO error while reading marker: failed to fill whole buffer"},
  };
  for (const Case& c : cases) {
    auto read = snapshot_from_msgpack(c.bytes);
    ASSERT_FALSE(read.has_value()) << c.error;
    EXPECT_EQ(read.error(), c.error);
  }
  // At most 1023 arrays and maps open at once, the snapshot's own included.
  auto nested_list = [](int depth) {
    std::string bytes = "\x93\x90\x81\xa1v"s;
    for (int i = 0; i < depth; ++i) bytes += "\x92\xa4List\x91"s;
    bytes += "\x92\xa4List\x90\x00"s;
    return bytes;
  };
  EXPECT_TRUE(snapshot_from_msgpack(nested_list(509)).has_value());
  auto too_deep = snapshot_from_msgpack(nested_list(510));
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_EQ(too_deep.error(), "depth limit exceeded");
}

}  // namespace
}  // namespace vostrel::session
