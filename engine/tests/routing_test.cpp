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

}  // namespace
}  // namespace vostrel::kernel
