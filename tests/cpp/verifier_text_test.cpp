// The verifier on parsed contract texts: where each finding points, and the
// verify_json entry point from text to verdict.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "qel/api.h"
#include "qel/parser.h"
#include "qel/verifier.h"

namespace qel {
namespace {

// Line numbers below count from the "Contract" line as line 1.
constexpr const char* kFaulty =
    "Contract {\n"
    "  Identity {\n"
    "    stable_id: \"Bad_Id\"\n"
    "    version: 4294967296\n"
    "    created_timestamp: 2024-01-15T10:30:00Z\n"
    "    owner: \"o\"\n"
    "    semantic_hash: \"xyz\"\n"
    "  }\n"
    "  PurposeStatement {\n"
    "    narrative: \"n\"\n"
    "    intent_source: \"i\"\n"
    "    confidence_level: 0.5\n"
    "  }\n"
    "  DataSemantics {\n"
    "    state: { count: Integer = 1.5, m: Map<Float, Enum []>, count: String }\n"
    "    invariants: [\"count >= 0\", \"1 < 2\", \"count >= 0\"]\n"
    "  }\n"
    "  BehavioralSemantics {\n"
    "    operations: [\n"
    "      { name: \"go\" precondition: \"new_val > 0\" parameters: { }\n"
    "        postcondition: \"count > 0\" side_effects: [\"x\", \"at Date.now\"]\n"
    "        idempotence: \"yes\" }\n"
    "      { name: \"go\" precondition: \"\" parameters: { p: Integer = [] }\n"
    "        postcondition: \"\" side_effects: [] idempotence: \"\" }\n"
    "    ]\n"
    "  }\n"
    "  ExecutionConstraints {\n"
    "    trigger_types: [\"manual\", \"cron\"]\n"
    "    resource_limits: { max_memory_bytes: 0, computation_timeout_ms: 1,\n"
    "                       max_state_size_bytes: 0 }\n"
    "    external_permissions: []\n"
    "    sandbox_mode: \"Open\"\n"
    "  }\n"
    "  HumanMachineContract {\n"
    "    system_commitments: [] system_refusals: [] user_obligations: []\n"
    "  }\n"
    "}\n"
    "Extensions { a { } b { } a { k: 1 } }\n";

TEST(VerifierText, FindingsPointAtTheirValues) {
  const Result<SyntaxTree> tree = parse_tree(kFaulty);
  ASSERT_TRUE(tree.ok()) << tree.error().to_string();
  const VerificationResult result = verify(*tree);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"version must be at most 4294967295, found 4294967296", "4:14"},
      {"stable_id 'Bad_Id' does not match required pattern "
       "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]",
       "3:16"},
      {"semantic_hash 'xyz' is not valid hexadecimal", "7:20"},
      {"default value for 'count' has type Float, expected Integer", "15:31"},
      {"Enum type must have at least one variant", "15:50"},
      {"Float cannot be used as Map key type (non-deterministic equality)",
       "15:39"},
      {"default value for 'p' has type Array, expected Integer", "23:64"},
      {"max_memory_bytes must be positive, found 0", "29:42"},
      {"max_state_size_bytes must be positive, found 0", "30:46"},
      {"invariant '1 < 2' does not reference any declared state fields",
       "16:32"},
      {"duplicate invariant: 'count >= 0'", "16:41"},
      {"system time access detected in operation 'go' side_effect: text "
       "contains 'Date.now'",
       "21:56"},
      {"duplicate operation name 'go'", "23:15"},
      {"duplicate state field name 'count'", "15:60"},
      {"unrecognized sandbox_mode 'Open', expected one of: full_isolation, "
       "restricted, none",
       "32:19"},
      {"unrecognized trigger_type 'cron', expected one of: manual, "
       "time_based, event_based",
       "28:31"},
      {"precondition of 'go' references unknown field 'new_val'", "20:34"},
      {"duplicate extension namespace 'a'", "38:26"},
  };
  std::vector<std::pair<std::string, std::string>> actual;
  for (const Diagnostic& d : result.diagnostics()) {
    ASSERT_TRUE(d.span.has_value());
    actual.emplace_back(d.message, d.span->to_string());
  }
  EXPECT_EQ(actual, expected);
}

struct TextCase {
  const char* name;
  std::string text;
  const char* expected;
};

class VerifyJsonTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(VerifyJsonTest, Renders) {
  const Result<std::string> out = verify_json(GetParam().text);
  ASSERT_TRUE(out.ok()) << out.error().to_string();
  EXPECT_EQ(*out, GetParam().expected);
}

std::string minimal(const std::string& sandbox, const std::string& invariant) {
  return "Contract { Identity { stable_id: \"ab\" version: 1 "
         "created_timestamp: \"t\" owner: \"o\" semantic_hash: \"\" } "
         "PurposeStatement { narrative: \"\" intent_source: \"\" "
         "confidence_level: 0.0 } "
         "DataSemantics { state: { total: Integer } invariants: [\"" +
         invariant +
         "\"] } BehavioralSemantics { operations: [] } "
         "ExecutionConstraints { trigger_types: [] resource_limits: { "
         "max_memory_bytes: 1 computation_timeout_ms: 1 "
         "max_state_size_bytes: 1 } external_permissions: [] sandbox_mode: "
         "\"" +
         sandbox +
         "\" } HumanMachineContract { system_commitments: [] "
         "system_refusals: [] user_obligations: [] } }";
}

INSTANTIATE_TEST_SUITE_P(
    VerifierText, VerifyJsonTest,
    ::testing::Values(
        TextCase{"clean", minimal("restricted", "total >= 0"),
                 "{\n  \"errors\": [],\n  \"valid\": true,\n"
                 "  \"warnings\": []\n}"},
        TextCase{"warning_only", minimal("none ", "total >= 0"),
                 "{\n"
                 "  \"errors\": [],\n"
                 "  \"valid\": true,\n"
                 "  \"warnings\": [\n"
                 "    {\n"
                 "      \"kind\": \"coherence\",\n"
                 "      \"message\": \"unrecognized sandbox_mode 'none ', "
                 "expected one of: full_isolation, restricted, none\",\n"
                 "      \"severity\": \"warning\"\n"
                 "    }\n"
                 "  ]\n"
                 "}"},
        TextCase{"escaped_quote_in_invariant",
                 minimal("none", "x != \\\"rand(\\\""),
                 "{\n"
                 "  \"errors\": [\n"
                 "    {\n"
                 "      \"kind\": \"determinism\",\n"
                 "      \"message\": \"random function call detected in "
                 "invariant: text contains 'rand('\",\n"
                 "      \"severity\": \"error\"\n"
                 "    }\n"
                 "  ],\n"
                 "  \"valid\": false,\n"
                 "  \"warnings\": [\n"
                 "    {\n"
                 "      \"kind\": \"invariant\",\n"
                 "      \"message\": \"invariant 'x != \\\"rand(\\\"' does "
                 "not reference any declared state fields\",\n"
                 "      \"severity\": \"warning\"\n"
                 "    }\n"
                 "  ]\n"
                 "}"},
        TextCase{"invariant_without_fields", minimal("none", "x\\ty\\n"),
                 "{\n"
                 "  \"errors\": [],\n"
                 "  \"valid\": true,\n"
                 "  \"warnings\": [\n"
                 "    {\n"
                 "      \"kind\": \"invariant\",\n"
                 "      \"message\": \"invariant 'x\\ty\\n' does not "
                 "reference any declared state fields\",\n"
                 "      \"severity\": \"warning\"\n"
                 "    }\n"
                 "  ]\n"
                 "}"}),
    [](const ::testing::TestParamInfo<TextCase>& info) {
      return std::string(info.param.name);
    });

TEST(VerifierText, UnparsableTextIsAnError) {
  const Result<std::string> out = verify_json("Contract {");
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().to_string(),
            "Parse error: Expected Identity, found Eof at 1:11");
}

}  // namespace
}  // namespace qel
