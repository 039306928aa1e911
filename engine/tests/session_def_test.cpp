#include "engine/session_def.h"

#include <gtest/gtest.h>

#include "engine/routing_inputs.h"

namespace vostrel::session_def {
namespace {

using Kind = ValidationError::Kind;
using kernel::DispatchRule;
using kernel::InboundCheckDef;
using kernel::InboundCheckRule;
using kernel::OutboundCheckRule;

SessionDef read(std::string_view text) {
  auto def = from_json(text);
  EXPECT_TRUE(def.has_value()) << def.error();
  return def.value_or(SessionDef{});
}

std::vector<std::string> texts(const std::vector<ValidationError>& errors) {
  std::vector<std::string> out;
  for (const auto& e : errors) out.push_back(e.display());
  return out;
}

ConnectionSpec connection(std::string id, std::vector<SourcePairDef> pairs,
                          std::vector<CheckDef> checks = {}) {
  return ConnectionSpec{std::move(id), std::move(pairs), std::move(checks)};
}

TEST(SessionDefRead, BothFormsAndTheLastOfARepeatedConfigKey) {
  SessionDef def = read(R"({"config":{"b":"2","a":"1","a":"x"},"name":"n","extra":[1,{}],
    "transducers":["messages"],
    "connections":[["llm",[["LlmRequest","LlmResponse"]],[{"intercept":"LlmRequest",
      "direction":"outbound","check_source":"llm","more":null}]]]})");
  EXPECT_EQ(def, (SessionDef{
                     "n",
                     {"messages"},
                     {connection("llm", {{"LlmRequest", "LlmResponse"}},
                                 {{"LlmRequest", "outbound", "llm"}})},
                     {{"a", "x"}, {"b", "2"}},
                 }));
}

TEST(SessionDefRead, ErrorsKeepTheReadersWordingAndPosition) {
  struct Case {
    std::string_view text, error;
  };
  const Case cases[] = {
      {R"({"name":"s","transducers":[],"connections":[]})",
       "missing field `config` at line 1 column 46"},
      {R"({"name":"s","transducers":[],"connections":[],"config":{"k":5}})",
       "invalid type: integer `5`, expected a string at line 1 column 61"},
      {R"(["s",[],[]])", "invalid length 3, expected struct SessionDef with 4 elements at line 1 column 11"},
      {R"({"name":"s","transducers":[],"connections":[5],"config":{}})",
       "invalid type: integer `5`, expected struct ConnectionSpec at line 1 column 45"},
      {R"({"name":"s","name":"t"})", "duplicate field `name` at line 1 column 18"},
      {R"(["s",[],[],{}] x)", "trailing characters at line 1 column 16"},
  };
  for (const Case& c : cases) {
    auto def = from_json(c.text);
    ASSERT_FALSE(def.has_value()) << c.text;
    EXPECT_EQ(def.error(), c.error) << c.text;
  }
}

TEST(SessionDefLoad, EmptyDefinitionLoadsEmptyAndIsSound) {
  SessionDef def = read(R"({"name":"s","transducers":[],"connections":[],"config":{}})");
  EXPECT_EQ(load(def), LoadResult{});
  EXPECT_TRUE(validate(def).empty());
  EXPECT_TRUE(validate_strict(def).has_value());
}

TEST(SessionDefLoad, RulesFollowConnectionsPairsAndChecks) {
  SessionDef def{
      "n",
      {"call_llm", "nothing"},
      {
          connection("tools", {{"ToolRequest", "ToolResult"}, {"Other", "OtherResult"}},
                     {{"ToolResult", "inbound", "guard"},
                      {"ToolRequest", "outbound", "first"},
                      {"ToolRequest", "outbound", "second"},
                      {"ToolRequest", "Outbound", "ignored"},
                      {"Nowhere", "outbound", "ignored"},
                      {"Event", "inbound", "late"}}),
          connection("llm", {{"ToolRequest", "LlmResponse"}}),
          connection("tools", {}, {{"X", "inbound", "again"}}),
      },
      {{"k", "v"}},
  };
  LoadResult loaded = load(def);
  const kernel::RoutingConfig& topology = loaded.session_config.topology;
  EXPECT_EQ(topology.dispatch_rules,
            (std::vector<DispatchRule>{{"ToolRequest", "ToolResult"},
                                       {"Other", "OtherResult"},
                                       {"ToolRequest", "LlmResponse"}}));
  EXPECT_EQ(topology.outbound_checks, (std::vector<OutboundCheckRule>{{"ToolRequest", "first"}}));
  EXPECT_EQ(topology.inbound_checks, (std::vector<InboundCheckRule>{
                                         {"ToolResult", "guard"}, {"Event", "late"}, {"X", "again"}}));
  EXPECT_EQ(loaded.session_config.inbound_checks,
            (std::vector<InboundCheckDef>{{"ToolResult", "guard"}, {"Event", "late"}, {"X", "again"}}));
  EXPECT_EQ(loaded.source_ids, (std::set<std::string>{"llm", "tools"}));
  EXPECT_EQ(loaded.transducer_names, (std::vector<std::string>{"call_llm", "nothing"}));
  EXPECT_EQ(loaded.config, (std::map<std::string, std::string>{{"k", "v"}}));
}

TEST(SessionDefValidate, DisplayTexts) {
  struct Case {
    ValidationError error;
    std::string_view text;
  };
  const Case cases[] = {
      {{Kind::CheckSourceNotFound, "g", "c"}, "check_source 'g' not found (connection 'c')"},
      {{Kind::DuplicateSourceId, "c", ""}, "duplicate source_id: c"},
      {{Kind::DuplicateRequestType, "R", ""}, "duplicate request_type: R"},
      {{Kind::UnknownTransducer, "x y", ""}, "unknown transducer: x y"},
      {{Kind::InvalidCheckDirection, "Out", "c"}, "invalid check direction 'Out' (connection 'c')"},
      {{Kind::CheckInterceptNotInPairs, "I", "c"}, "check intercept 'I' not in connection 'c' pairs"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.display(), c.text);
}

TEST(SessionDefValidate, ErrorsFollowTheStepsNotTheDocument) {
  SessionDef def{
      "n",
      {"nope", "call_llm", "call_llm", "summary "},
      {
          connection("a", {{"ToolRequest", "ToolResult"}},
                     {{"ToolResult", "inbound", "a"},       // sound: own result type, own source
                      {"ToolRequest", "Outbound", "zz"},    // direction and source
                      {"LlmRequest", "outbound", "b"}}),    // intercept only in connection b
          connection("b", {{"ToolRequest", "Other"}, {"LlmRequest", "LlmResponse"}}),
          connection("a", {{"ToolRequest", "Third"}}, {{"Nope", "sideways", "nowhere"}}),
          connection("a", {}),
      },
      {},
  };
  EXPECT_EQ(texts(validate(def)), (std::vector<std::string>{
                                      "duplicate source_id: a",
                                      "duplicate source_id: a",
                                      "duplicate request_type: ToolRequest",
                                      "duplicate request_type: ToolRequest",
                                      "unknown transducer: nope",
                                      "unknown transducer: summary ",
                                      "invalid check direction 'Outbound' (connection 'a')",
                                      "check_source 'zz' not found (connection 'a')",
                                      "check intercept 'LlmRequest' not in connection 'a' pairs",
                                      "invalid check direction 'sideways' (connection 'a')",
                                      "check_source 'nowhere' not found (connection 'a')",
                                      "check intercept 'Nope' not in connection 'a' pairs",
                                  }));
  auto strict = validate_strict(def);
  ASSERT_FALSE(strict.has_value());
  EXPECT_EQ(strict.error(), (ValidationError{Kind::DuplicateSourceId, "a", ""}));
}

TEST(SessionDefValidate, StrictReturnsTheFirstOfAnyStep) {
  SessionDef def{"n", {"summary", "x"}, {connection("a", {}, {{"i", "inbound", "a"}})}, {}};
  auto strict = validate_strict(def);
  ASSERT_FALSE(strict.has_value());
  EXPECT_EQ(strict.error().display(), "unknown transducer: x");
}

}  // namespace
}  // namespace vostrel::session_def

namespace vostrel::routing_inputs {
namespace {

TEST(RoutingInputs, ConvertInOrderWithResultTypeAsIntercept) {
  auto sources = sources_from_json(
      R"([{"source_id":"llm","pairs":[["LlmRequest","LlmResponse"]]},["tools",[]]])");
  ASSERT_TRUE(sources.has_value()) << sources.error();
  EXPECT_EQ(*sources, (std::vector<agent_fold::SourceRegistration>{
                          {"llm", {{"LlmRequest", "LlmResponse"}}}, {"tools", {}}}));
  auto outbound = outbound_checks_from_json(R"([["A","x"],{"check_source":"y","request_type":"B"}])");
  ASSERT_TRUE(outbound.has_value()) << outbound.error();
  EXPECT_EQ(*outbound, (std::vector<agent_fold::OutboundCheckDef>{{"A", "x"}, {"B", "y"}}));
  auto inbound = inbound_checks_from_json(R"([{"result_type":"R","check_source":"g"}])");
  ASSERT_TRUE(inbound.has_value()) << inbound.error();
  EXPECT_EQ(agent_fold::derive_inbound_checks(*inbound),
            (std::vector<kernel::InboundCheckDef>{{"R", "g"}}));
}

TEST(RoutingInputs, ErrorsNameTheInputRecords) {
  EXPECT_EQ(sources_from_json("{}").error(),
            "invalid type: map, expected a sequence at line 1 column 0");
  EXPECT_EQ(sources_from_json(R"([["s",[["A"]]]])").error(),
            "invalid length 1, expected struct SourcePairInput with 2 elements at line 1 column 12");
  EXPECT_EQ(sources_from_json(R"([["s"]])").error(),
            "invalid length 1, expected struct SourceRegistrationInput with 2 elements at line 1 "
            "column 6");
  EXPECT_EQ(outbound_checks_from_json(R"([{"request_type":"A"}])").error(),
            "missing field `check_source` at line 1 column 21");
  EXPECT_EQ(inbound_checks_from_json("[[]]").error(),
            "invalid length 0, expected struct InboundCheckInput with 2 elements at line 1 column 3");
}

}  // namespace
}  // namespace vostrel::routing_inputs
