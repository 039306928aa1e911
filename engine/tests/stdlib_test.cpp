#include "engine/stdlib.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/kernel/expand_io.h"
#include "engine/kernel/types_io.h"
#include "engine/kernel/vm.h"
#include "engine/loader.h"
#include "engine/tests/expr_text.h"
#include "engine/tests/kernel_builders.h"

namespace vostrel::kernel {
namespace {

using namespace build;
using namespace std::literals;
using testing::text;

std::string library_text(const std::vector<TransducerDef>& ts) {
  std::string out;
  for (const TransducerDef& t : ts) out += text(t) + "\n";
  return out;
}

TEST(Stdlib, SixExpandedDefinitionsAfreshOnEveryCall) {
  const auto first = stdlib::stdlib();
  const auto second = stdlib::stdlib();
  std::vector<std::string> names;
  for (const auto& t : first) names.push_back(t.name);
  EXPECT_EQ(names, (std::vector<std::string>{"messages", "blocks", "usage", "call_llm",
                                             "execute_tool", "summary"}));
  EXPECT_EQ(library_text(first), library_text(second));
  EXPECT_EQ(library_text(first).find("Macro"), std::string::npos);
  EXPECT_TRUE(loader::validate_session(first).empty());
  // The `or` of rule 3 of `messages`, with the `len` fold in place of the call.
  EXPECT_EQ(text(first[0].rules[2].guard),
            "IfElse(Gt(LFold(Ref(parts), Lit({\"type\":\"Int\",\"value\":0}), __len_acc, "
            "__len_item, Add(Ref(__len_acc), Lit({\"type\":\"Int\",\"value\":1})), TMap), "
            "Lit({\"type\":\"Int\",\"value\":0})), Lit({\"type\":\"Bool\",\"value\":true}), "
            "Gt(LFold(Ref(tool_calls), Lit({\"type\":\"Int\",\"value\":0}), __len_acc, "
            "__len_item, Add(Ref(__len_acc), Lit({\"type\":\"Int\",\"value\":1})), TMap), "
            "Lit({\"type\":\"Int\",\"value\":0})))");
}

TEST(Stdlib, EmbeddedDataIsTheReadableSourceEncoded) {
  std::ifstream in(VOSTREL_SOURCE_DIR "/engine/data/stdlib.json");
  std::stringstream source;
  source << in.rdbuf();
  auto from_source = codec::from_json<std::vector<TransducerDef>>(source.str());
  ASSERT_TRUE(from_source) << from_source.error();
  auto embedded = transducers_from_msgpack(stdlib::stdlib_msgpack());
  ASSERT_TRUE(embedded) << embedded.error();
  EXPECT_EQ(library_text(*embedded), library_text(*from_source));
  const std::string_view bytes = stdlib::stdlib_msgpack();
  // An array of six maps whose keys stand in byte order.
  EXPECT_TRUE(bytes.starts_with("\x96\x83\xa4name\xa8messages\xa5rules"));
  // Shortest integers: 100000 as a 32-bit unsigned, -1 as a negative fixint.
  EXPECT_NE(bytes.find("\xa5value\xce\x00\x01\x86\xa0"sv), std::string_view::npos);
  EXPECT_NE(bytes.find("\xa5value\xff"), std::string_view::npos);
  auto macros = expand::macros_from_json(stdlib::std_macros_json());
  ASSERT_TRUE(macros) << macros.error();
  std::vector<std::string> names;
  for (const auto& m : *macros) names.push_back(m.name + (m.bindings.empty() ? "" : "*"));
  EXPECT_EQ(names, (std::vector<std::string>{"lt", "and", "or", "not", "len", "concat", "msize",
                                             "filter*", "slice"}));
}

TEST(Stdlib, FaultyDataStopTheCallWithTheirTexts) {
  const auto fault = [](std::string_view msgpack, std::string_view json) -> std::string {
    try {
      stdlib::load(msgpack, json);
      return "no fault";
    } catch (const stdlib::StdlibFault& f) {
      return f.what();
    }
  };
  EXPECT_EQ(fault("\xc0", stdlib::std_macros_json()),
            "stdlib.msgpack is generated at build time and must be valid");
  EXPECT_EQ(fault(stdlib::stdlib_msgpack(), "[{}]"), "std_macros.json must be valid");
  EXPECT_EQ(fault(stdlib::stdlib_msgpack(), "[]"), "stdlib transducers must expand without errors");
  EXPECT_EQ(fault("\x90", "[]"), "no fault");
}

// The standard macros, expanded with the whole table and evaluated.
class StdMacros : public ::testing::Test {
 protected:
  expand::MacroTable table = expand::build_macro_table(*expand::macros_from_json(
      stdlib::std_macros_json()));

  Value run(std::string name, std::vector<Expr> args, const Env& env = {}) {
    auto e = expand::expand_expr(table, macro(std::move(name), std::move(args)), table.size() + 1);
    EXPECT_TRUE(e) << (e ? "" : expand::debug_string(e.error()));
    return e ? vm::eval(env, *e) : S("expansion failed");
  }
};

TEST_F(StdMacros, ResultsOfEachMacro) {
  const Expr list1234 = lit(L({I(10), I(20), I(30), I(40)}));
  struct Case {
    const char* what;
    std::string name;
    std::vector<Expr> args;
    Value expected;
  };
  const Case cases[] = {
      {"lt 1 2", "lt", {lit_i(1), lit_i(2)}, B(true)},
      {"lt 2 2", "lt", {lit_i(2), lit_i(2)}, B(false)},
      {"lt str", "lt", {lit_s("a"), lit_i(1)}, N()},
      {"and true 5", "and", {lit_b(true), lit_i(5)}, I(5)},
      {"and false skips", "and", {lit_b(false), ref("unbound")}, B(false)},
      {"and non-bool", "and", {lit_i(1), lit_b(true)}, N()},
      {"or false x", "or", {lit_b(false), lit_s("x")}, S("x")},
      {"or true", "or", {lit_b(true), lit_i(5)}, B(true)},
      {"not 0", "not", {lit_i(0)}, N()},
      {"not true", "not", {lit_b(true)}, B(false)},
      {"len []", "len", {lit(L())}, I(0)},
      {"len strings", "len", {lit(L({S("a"), S("b"), S("c")}))}, I(3)},
      {"len map", "len", {lit(M())}, N()},
      {"msize {}", "msize", {lit(M())}, I(0)},
      {"msize map", "msize", {lit(M({{"a", I(1)}, {"b", I(2)}}))}, I(2)},
      {"msize list", "msize", {lit(L())}, N()},
      {"concat", "concat", {lit(L({I(1), I(2)})), lit(L({I(3)}))}, L({I(1), I(2), I(3)})},
      {"concat 7 []", "concat", {lit_i(7), lit(L())}, I(7)},
      {"concat 7 [3]", "concat", {lit_i(7), lit(L({I(3)}))}, N()},
      {"filter", "filter", {lit(L({I(1), I(2), I(3)})), gt(ref("__filter_item"), lit_i(1))},
       L({I(2), I(3)})},
      {"filter non-bool", "filter",
       {lit(L({I(1), I(2)})), if_else(gt(ref("__filter_item"), lit_i(1)), lit_i(0), lit_b(true))},
       N()},
      {"filter non-list", "filter", {lit_i(1), lit_b(true)}, N()},
      {"slice 1 3", "slice", {list1234, lit_i(1), lit_i(3)}, L({I(20), I(30)})},
      {"slice 3 1", "slice", {list1234, lit_i(3), lit_i(1)}, L()},
      {"slice -5 2", "slice", {list1234, lit_i(-5), lit_i(2)}, L({I(10), I(20)})},
      {"slice 2 100", "slice", {list1234, lit_i(2), lit_i(100)}, L({I(30), I(40)})},
      {"slice []", "slice", {lit(L()), lit_s("x"), lit_b(true)}, L()},
      {"slice str start", "slice", {list1234, lit_s("x"), lit_i(2)}, N()},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.name, c.args), c.expected) << c.what;
  // A predicate sees the event and slot names beside the item.
  EXPECT_EQ(run("filter", {lit(L({I(1), I(5)})), gt(ref("__filter_item"), ref("min"))},
                {{"min", I(2)}}),
            L({I(5)}));
}

// An agent running the six standard transducers, one event at a time.
class StdAgent : public ::testing::Test {
 protected:
  std::vector<TransducerDef> ts = stdlib::stdlib();
  Env env = loader::init_env(ts);

  std::vector<Value> fold(std::string_view tag, Env data = {}) {
    auto [effects, out] = vm::exec_session(ts, std::move(env), tag, data);
    env = std::move(out);
    return effects;
  }
  std::vector<Value> boot(std::vector<Value> context = {}) {
    auto [tag, data] = stdlib::session_init(std::move(context));
    return fold(tag, data);
  }
  const Value& history() const { return env.at("messages"); }
};

Value llm_request(Value context) { return M({{"context", std::move(context)}, {"type", S("LlmRequest")}}); }
Value tool_call(std::string id) {
  return M({{"arguments", S("{}")}, {"id", S(id)}, {"name", S("search")}});
}
Value tool_request(std::string id) {
  return M({{"arguments", S("{}")}, {"key", S("ToolRequest:" + id)}, {"name", S("search")},
            {"tool_call_id", S(id)}, {"type", S("ToolRequest")}});
}

TEST_F(StdAgent, FirstEnvironmentAndSessionInit) {
  EXPECT_EQ(env, (Env{{"input_tokens", I(0)}, {"mblocks", M()}, {"messages", L()},
                      {"output_tokens", I(0)}, {"pending_tools", I(0)}, {"sblocks", L()}}));
  auto [tag, data] = stdlib::session_init({});
  EXPECT_EQ(tag, "SessionInit");
  EXPECT_EQ(data, (Env{{"context", L()}}));
  EXPECT_TRUE(boot({S("earlier")}).empty());
  EXPECT_EQ(history(), L({S("earlier")}));
  // A context that is not a List becomes the history; appends then give None.
  fold("SessionInit", {{"context", I(3)}});
  EXPECT_EQ(history(), I(3));
  fold("UserMessage", {{"parts", L({S("hi")})}});
  EXPECT_EQ(history(), N());
  boot();
  EXPECT_EQ(history(), L());
}

TEST_F(StdAgent, ConversationWithTwoToolCalls) {
  boot();
  const Value user = M({{"parts", L({S("hi")})}, {"role", S("user")}, {"tool_calls", L()}});
  EXPECT_EQ(fold("UserMessage", {{"parts", L({S("hi")})}}), (std::vector{llm_request(L({user}))}));
  EXPECT_EQ(history(), L({user}));

  const Value calls = L({tool_call("c1"), tool_call("c2")});
  auto effects = fold("LlmResponse", {{"role", S("assistant")}, {"parts", L({S("x")})},
                                      {"tool_calls", calls}, {"input_tokens", I(150000)},
                                      {"output_tokens", I(7)}});
  const Value assistant = M({{"parts", L({S("x")})}, {"role", S("assistant")}, {"tool_calls", calls}});
  // Tool requests in tool-call order, then the summary request; no LlmRequest.
  EXPECT_EQ(effects, (std::vector{tool_request("c1"), tool_request("c2"),
                                  M({{"messages", L({user, assistant})},
                                     {"type", S("SummaryRequest")}})}));
  EXPECT_EQ(env.at("pending_tools"), I(2));
  EXPECT_EQ(env.at("input_tokens"), I(150000));
  EXPECT_EQ(env.at("output_tokens"), I(7));

  const auto result = [](std::string id) {
    return Env{{"tool_call_id", S(id)}, {"name", S("search")}, {"content", S("r-" + id)},
               {"is_error", B(false)}};
  };
  const auto record = [](std::string id) {
    return M({{"content", S("r-" + id)}, {"is_error", B(false)}, {"name", S("search")},
              {"role", S("tool")}, {"tool_call_id", S(id)}});
  };
  EXPECT_TRUE(fold("ToolResult", result("c1")).empty());
  EXPECT_EQ(env.at("pending_tools"), I(1));
  EXPECT_EQ(fold("ToolResult", result("c2")),
            (std::vector{llm_request(L({user, assistant, record("c1"), record("c2")}))}));
  EXPECT_EQ(env.at("pending_tools"), I(0));
  // An answer without tool calls is recorded and asks for nothing.
  EXPECT_TRUE(fold("LlmResponse", {{"role", S("assistant")}, {"parts", L({S("done")})},
                                   {"input_tokens", I(10)}})
                  .empty());
  EXPECT_EQ(history().as_list().size(), 5u);
}

TEST_F(StdAgent, ResponsesThatAppendNothingOrReadOddToolCalls) {
  boot();
  // No "parts": nothing is appended, but the tool call is counted and requested.
  auto effects = fold("LlmResponse", {{"role", S("assistant")}, {"tool_calls", L({tool_call("c1")})}});
  EXPECT_EQ(history(), L());
  EXPECT_EQ(env.at("pending_tools"), I(1));
  EXPECT_EQ(effects, (std::vector{tool_request("c1")}));
  // Empty parts with tool calls is appended; arguments that are no string give None,
  // a missing id None for both the key and the id.
  const Value odd = L({M({{"id", S("c2")}, {"name", S("n")}, {"arguments", M({{"q", I(1)}})}}),
                       M({{"name", S("n")}, {"arguments", S("a")}})});
  effects = fold("LlmResponse", {{"role", S("assistant")}, {"parts", L()}, {"tool_calls", odd}});
  EXPECT_EQ(history().as_list().size(), 1u);
  EXPECT_EQ(effects, (std::vector{
                         M({{"arguments", N()}, {"key", S("ToolRequest:c2")}, {"name", S("n")},
                            {"tool_call_id", S("c2")}, {"type", S("ToolRequest")}}),
                         M({{"arguments", S("a")}, {"key", N()}, {"name", S("n")},
                            {"tool_call_id", N()}, {"type", S("ToolRequest")}})}));
  // Empty parts and no tool calls: nothing; "parts" not a List: nothing whatever the calls.
  fold("LlmResponse", {{"role", S("assistant")}, {"parts", L()}, {"tool_calls", L()}});
  fold("LlmResponse", {{"role", S("assistant")}, {"parts", S("x")}, {"tool_calls", odd}});
  EXPECT_EQ(history().as_list().size(), 1u);
  // A user-role response asks the model again and leaves the usage alone.
  EXPECT_EQ(fold("LlmResponse", {{"role", S("user")}, {"input_tokens", I(1)}}).size(), 1u);
  EXPECT_EQ(env.at("input_tokens"), I(0));
}

TEST_F(StdAgent, StreamedContentToolCallsAndDelegations) {
  boot();
  EXPECT_TRUE(fold("LlmContent", {{"content", S("partial")}}).empty());
  auto effects = fold("LlmToolCall", {{"id", I(9)}, {"name", S("n")}, {"arguments", M()}});
  // Taken as they are; a non-string id gives None for the key.
  EXPECT_EQ(effects, (std::vector{M({{"arguments", M()}, {"key", N()}, {"name", S("n")},
                                     {"tool_call_id", I(9)}, {"type", S("ToolRequest")}})}));
  EXPECT_EQ(env.at("pending_tools"), I(1));
  const Value history_now = L({
      M({{"content", S("partial")}, {"role", S("assistant")}}),
      M({{"role", S("assistant")},
         {"tool_call", M({{"arguments", M()}, {"id", I(9)}, {"name", S("n")}})}}),
  });
  EXPECT_EQ(history(), history_now);
  effects = fold("DelegationResult", {{"tool_call_id", S("d")}, {"content", S("c")}});
  const Value delegated = M({{"content", S("c")}, {"role", S("tool")}, {"tool_call_id", S("d")}});
  EXPECT_EQ(effects, (std::vector{llm_request(L({history_now.as_list()[0],
                                                 history_now.as_list()[1], delegated}))}));
}

TEST_F(StdAgent, ToolResultAtZeroGoesNegative) {
  boot();
  EXPECT_TRUE(fold("ToolResult", {{"tool_call_id", S("x")}}).empty());
  EXPECT_EQ(env.at("pending_tools"), I(-1));
  EXPECT_EQ(history(), L({M({{"content", N()}, {"is_error", N()}, {"name", N()},
                             {"role", S("tool")}, {"tool_call_id", S("x")}})}));
}

TEST_F(StdAgent, UsageAndSummaryThreshold) {
  boot();
  fold("LlmResponse", {{"role", S("assistant")}, {"input_tokens", I(5)}, {"output_tokens", I(6)}});
  fold("LlmResponse", {{"role", S("assistant")}, {"input_tokens", I(9)}});
  EXPECT_EQ(env.at("input_tokens"), I(9));
  EXPECT_EQ(env.at("output_tokens"), I(6));
  EXPECT_TRUE(fold("LlmResponse", {{"role", S("assistant")}, {"input_tokens", I(100000)}}).empty());
  auto effects = fold("LlmResponse", {{"role", S("assistant")}, {"input_tokens", I(100001)}});
  EXPECT_EQ(effects, (std::vector{M({{"messages", L()}, {"type", S("SummaryRequest")}})}));
  // Without the field the slot (now 100001) is read.
  EXPECT_EQ(fold("LlmResponse", {{"role", S("assistant")}}).size(), 1u);
  EXPECT_TRUE(fold("LlmResponse", {{"role", S("assistant")}, {"input_tokens", S("many")}}).empty());
  fold("SummaryResult", {{"from_idx", I(0)}, {"to_idx", I(3)}, {"summary", S("s")}});
  EXPECT_EQ(env.at("sblocks"),
            L({M({{"from_idx", I(0)}, {"summary", S("s")}, {"to_idx", I(3)}})}));
}

TEST_F(StdAgent, MemoryBlocks) {
  boot();
  fold("MemoryBlockUpdated", {{"name", S("a")}, {"content", S("x")}});
  fold("MemoryBlockUpdated", {{"name", S("b")}, {"content", S("y")}});
  fold("MemoryBlockUpdated", {{"name", S("a")}, {"content", S("")}});
  fold("MemoryBlockUpdated", {{"name", S("zz")}, {"content", S("")}});
  EXPECT_EQ(env.at("mblocks"), M({{"b", S("y")}}));
  fold("MemoryBlockUpdated", {{"name", S("c")}});
  EXPECT_EQ(env.at("mblocks"), M({{"b", S("y")}, {"c", N()}}));
  // A name that is no string spoils the slot for good.
  fold("MemoryBlockUpdated", {{"name", I(1)}, {"content", S("v")}});
  EXPECT_EQ(env.at("mblocks"), N());
  fold("MemoryBlockUpdated", {{"name", S("d")}, {"content", S("v")}});
  EXPECT_EQ(env.at("mblocks"), N());
}

}  // namespace
}  // namespace vostrel::kernel
