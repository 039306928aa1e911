#include "engine/kernel/routing.h"

#include <gtest/gtest.h>

namespace vostrel::kernel {
namespace {

TEST(RoutingLookups, FirstMatchByExactBytes) {
  std::vector<DispatchRule> rules = {{"LlmRequest", "LlmResponse"}, {"Second", "LlmResponse"},
                                     {"ToolRequest", "ToolResult"}};
  EXPECT_EQ(classify_result(rules, "LlmResponse", ""), "LlmRequest");
  EXPECT_EQ(classify_result(rules, "LlmResponse", "Explicit:1"), "Explicit:1");
  EXPECT_EQ(classify_result(rules, "Nothing", "Explicit"), "Explicit");
  EXPECT_EQ(classify_result(rules, "Nothing", ""), "");
  EXPECT_EQ(classify_result(rules, "llmresponse", ""), "");

  RoutingConfig routing;
  routing.inbound_checks = {{"ToolResult", ""}, {"ToolResult", "later"}};
  routing.outbound_checks = {{"ToolRequest:1", "exact"}, {"LlmRequest", "guard"},
                             {"LlmRequest", "other"}};
  EXPECT_EQ(needs_inbound_check(routing, "ToolResult"), std::optional<std::string>(""));
  EXPECT_EQ(needs_inbound_check(routing, "ToolResult:x"), std::nullopt);
  EXPECT_FALSE(needs_outbound_check(routing, "ToolRequest"));
  EXPECT_TRUE(needs_outbound_check(routing, "ToolRequest:1"));
  EXPECT_FALSE(needs_outbound_check(RoutingConfig{{}, {{"ToolRequest", "g"}}, {}}, "ToolRequest:1"));
  EXPECT_EQ(outbound_check_source(routing, "LlmRequest"), std::optional<std::string>("guard"));
  EXPECT_EQ(outbound_check_source(routing, "Llm"), std::nullopt);
}

TEST(RoutingLookups, InboundDefsFollowTheTopologysRules) {
  SessionConfig config;
  config.topology.inbound_checks = {{"A", "topology"}};
  config.inbound_checks = {{"A", "def"}, {"B", "def-b"}};
  RoutingConfig routing = routing_with_inbound_defs(config);
  EXPECT_EQ(routing.inbound_checks,
            (std::vector<InboundCheckRule>{{"A", "topology"}, {"A", "def"}, {"B", "def-b"}}));
  EXPECT_EQ(needs_inbound_check(routing, "A"), std::optional<std::string>("topology"));
  EXPECT_EQ(needs_inbound_check(routing, "B"), std::optional<std::string>("def-b"));
}

TEST(RoutingJson, WritesCompactInDeclarationOrderAndReadsBack) {
  EXPECT_EQ(routing_to_json({}), R"({"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]})");
  RoutingConfig routing{{{"Llm\"Request", "LlmResponse"}, {"", ""}},
                        {{"ToolRequest", "gu\\ard/\x01"}},
                        {{"Tool\nResult", "\xc3\xa9"}}};
  std::string text = routing_to_json(routing);
  EXPECT_EQ(text,
            R"({"dispatch_rules":[{"request_type":"Llm\"Request","result_type":"LlmResponse"},)"
            R"({"request_type":"","result_type":""}],)"
            R"("outbound_checks":[{"request_type":"ToolRequest","check_source":"gu\\ard/\u0001"}],)"
            R"("inbound_checks":[{"result_type":"Tool\nResult","check_source":"é"}]})");
  EXPECT_EQ(routing_from_json(text), routing);
  std::string appended = "x";
  write_routing_json(routing, appended);
  EXPECT_EQ(appended, "x" + text);

  std::vector<InboundCheckDef> defs{{"ToolResult", "c"}, {"A\"", ""}};
  EXPECT_EQ(inbound_checks_to_json({}), "[]");
  EXPECT_EQ(inbound_checks_to_json(defs),
            R"([{"intercept":"ToolResult","check_source":"c"},{"intercept":"A\"","check_source":""}])");
  EXPECT_EQ(inbound_checks_from_json(inbound_checks_to_json(defs)), defs);
}

TEST(RoutingJson, ReaderFormsAndErrors) {
  EXPECT_EQ(routing_from_json(
                R"({"inbound_checks":[],"dispatch_rules":[],"outbound_checks":[],"extra":1})"),
            RoutingConfig{});
  EXPECT_EQ(routing_from_json(" [[],[],[]] \n"), RoutingConfig{});
  EXPECT_EQ(routing_from_json(R"([[["A","B"]],[{"check_source":"c","request_type":"A"}],[]])"),
            (RoutingConfig{{{"A", "B"}}, {{"A", "c"}}, {}}));
  struct Case {
    std::string_view text, error;
  };
  const Case cases[] = {
      {R"({"dispatch_rules":[],"outbound_checks":[]})",
       "missing field `inbound_checks` at line 1 column 42"},
      {R"({"dispatch_rules":[],"dispatch_rules":[]})",
       "duplicate field `dispatch_rules` at line 1 column 37"},
      {"[[],[]]", "invalid length 2, expected struct RoutingConfig with 3 elements at line 1 column 7"},
      {"[[],[],[],[]]", "trailing characters at line 1 column 11"},
      {"true", "invalid type: boolean `true`, expected struct RoutingConfig at line 1 column 4"},
      {R"({"dispatch_rules":[["A"]],"outbound_checks":[],"inbound_checks":[]})",
       "invalid length 1, expected struct DispatchRule with 2 elements at line 1 column 24"},
      {R"({"dispatch_rules":[],"outbound_checks":[5],"inbound_checks":[]})",
       "invalid type: integer `5`, expected struct OutboundCheckRule at line 1 column 41"},
      {R"({"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[{"result_type":"A"}]})",
       "missing field `check_source` at line 1 column 79"},
      {"[[],[],[]] x", "trailing characters at line 1 column 12"},
  };
  for (const Case& c : cases) {
    auto read = routing_from_json(c.text);
    ASSERT_FALSE(read.has_value()) << c.text;
    EXPECT_EQ(read.error(), c.error) << c.text;
  }
  const Case check_cases[] = {
      {"{}", "invalid type: map, expected a sequence at line 1 column 0"},
      {R"([["A"]])", "invalid length 1, expected struct InboundCheckDef with 2 elements at line 1 column 6"},
      {"[1]", "invalid type: integer `1`, expected struct InboundCheckDef at line 1 column 2"},
      {R"([{"intercept":"A"}])", "missing field `check_source` at line 1 column 18"},
  };
  for (const Case& c : check_cases) {
    auto read = inbound_checks_from_json(c.text);
    ASSERT_FALSE(read.has_value()) << c.text;
    EXPECT_EQ(read.error(), c.error) << c.text;
  }
  EXPECT_EQ(inbound_checks_from_json(R"([["A","B"],{"x":[1],"check_source":"d","intercept":"C"}])"),
            (std::vector<InboundCheckDef>{{"A", "B"}, {"C", "d"}}));
}

}  // namespace
}  // namespace vostrel::kernel
