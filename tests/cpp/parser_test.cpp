#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "counting_interrupter.h"
#include "qel/api.h"
#include "qel/canonical.h"
#include "qel/error.h"
#include "qel/syntax_tree.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/parser.h"

namespace qel {
namespace {

// A valid contract with one section per line; each section's inside can be
// replaced. Field texts start at these columns: Identity 14 (line 2),
// PurposeStatement 22 (line 3), DataSemantics 19 (line 4),
// BehavioralSemantics 25 (line 5), ExecutionConstraints 26 (line 6),
// HumanMachineContract 26 (line 7); the closing brace is on line 8.
struct Sections {
  std::string identity =
      "stable_id: \"demo\" version: 1 created_timestamp: 2026-01-15T10:30:00Z "
      "owner: \"team\" semantic_hash: \"abc\"";
  std::string purpose =
      "narrative: \"n\" intent_source: \"i\" confidence_level: 0.5";
  std::string data = "state: { count: Integer = 0 } invariants: [\"count >= 0\"]";
  std::string behavior =
      "operations: [ { name: \"inc\" precondition: \"count >= 0\" "
      "parameters: { count: Integer } postcondition: \"count >= 0\" "
      "side_effects: [] idempotence: \"no\" } ]";
  std::string constraints =
      "trigger_types: [\"manual\"] resource_limits: { max_memory_bytes: 1024 "
      "computation_timeout_ms: 100 max_state_size_bytes: 512 } "
      "external_permissions: [] sandbox_mode: \"full_isolation\"";
  std::string human =
      "system_commitments: [] system_refusals: [] user_obligations: []";
  std::string after;  // after the contract's closing brace
};

std::string build(const Sections& s) {
  return "Contract {\n  Identity { " + s.identity + " }\n  PurposeStatement { " +
         s.purpose + " }\n  DataSemantics { " + s.data +
         " }\n  BehavioralSemantics { " + s.behavior +
         " }\n  ExecutionConstraints { " + s.constraints +
         " }\n  HumanMachineContract { " + s.human + " }\n}" + s.after;
}

std::string outcome(std::string_view text) {
  Result<SyntaxTree> tree = parse_tree(text);
  return tree.ok() ? "ok" : tree.error().to_string();
}

// A text and its tree, which refers to it.
class Parsed {
 public:
  explicit Parsed(std::string text)
      : text_(std::make_unique<std::string>(std::move(text))) {
    Result<SyntaxTree> tree = parse_tree(*text_);
    EXPECT_TRUE(tree.ok()) << tree.error().to_string();
    if (tree.ok()) tree_ = std::move(tree).value();
  }
  bool ok() const { return tree_.node_count() > 0; }
  const SyntaxTree& tree() const { return tree_; }
  syntax::ContractNode contract() const { return tree_.contract(); }

 private:
  std::unique_ptr<std::string> text_;  // never moves, so the tree's views stay
  SyntaxTree tree_;
};

Parsed parse_ok(std::string text) { return Parsed(std::move(text)); }

std::string model_json(const Parsed& parsed) {
  std::string out;
  write_contract_json(lower_contract(parsed.tree()), out);
  return out;
}

template <typename Edit>
std::string with(Edit edit) {
  Sections s;
  edit(s);
  return build(s);
}

struct ParseCase {
  const char* name;
  std::string text;
  std::string expected;  // "ok" or the error's text form
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParserTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParserTest, Outcome) {
  EXPECT_EQ(outcome(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Contract, ParserTest,
    ::testing::Values(
        ParseCase{"valid", build({}), "ok"},
        ParseCase{"empty", "", "Parse error: Expected Contract, found Eof at 1:1"},
        ParseCase{"keyword_only", "Contract",
                  "Parse error: Expected LBrace, found Eof at 1:9"},
        ParseCase{"lowercase", "contract {",
                  "Parse error: Expected Contract, found Identifier(\"contract\") "
                  "at 1:1"},
        ParseCase{"brace_first", "{", "Parse error: Expected Contract, found LBrace at 1:1"},
        ParseCase{"section_missing", "Contract {\n  PurposeStatement {",
                  "Parse error: Expected Identity, found PurposeStatement at 2:3"},
        ParseCase{"identity_no_brace", "Contract {\n  Identity",
                  "Parse error: Expected LBrace, found Eof at 2:11"},
        ParseCase{"identity_at_end", "Contract { Identity { ",
                  "Parse error: Expected field name identifier, found Eof at 1:23"},
        ParseCase{"comma_between_sections",
                  "Contract { Identity { stable_id: \"s\" version: 1 "
                  "created_timestamp: \"t\" owner: \"o\" semantic_hash: \"h\" }, "
                  "PurposeStatement { } }",
                  "Parse error: Expected PurposeStatement, found Comma at 1:103"},
        ParseCase{"extensions_inside",
                  with([](Sections& s) { s.human += " } Extensions {"; }),
                  "Parse error: Expected RBrace, found Extensions at 7:92"},
        ParseCase{"text_after_is_ignored",
                  with([](Sections& s) { s.after = " garbage { [ 1 2 Contract"; }),
                  "ok"},
        ParseCase{"second_extensions_ignored",
                  with([](Sections& s) { s.after = "\nExtensions { } Extensions {"; }),
                  "ok"},
        ParseCase{"lexical_error_after_contract",
                  with([](Sections& s) { s.after = "\n%"; }),
                  "Parse error: Unexpected character '%' at 9:1"},
        ParseCase{"lexical_error_after_extensions",
                  with([](Sections& s) { s.after = "\nExtensions { } \"open"; }),
                  "Parse error: Unterminated string starting at 9:16"},
        ParseCase{"lexical_error_wins_over_earlier_grammar_error",
                  with([](Sections& s) {
                    s.identity = "bogus: 1";
                    s.after = " %";
                  }),
                  "Parse error: Unexpected character '%' at 8:3"},
        ParseCase{"lexical_error_wins_over_missing_brace", "Contract\n{ {\n  1.2.3",
                  "Parse error: Invalid float '1.2.3' at 3:3"},
        ParseCase{"invalid_utf8_after_contract",
                  with([](Sections& s) { s.after = "\xFF"; }),
                  "Parse error: Invalid UTF-8 at 8:2"}));

INSTANTIATE_TEST_SUITE_P(
    Identity, ParserTest,
    ::testing::Values(
        ParseCase{"missing_owner",
                  with([](Sections& s) {
                    s.identity = "stable_id: \"demo\" version: 1 created_timestamp: "
                                 "\"t\" semantic_hash: \"abc\"";
                  }),
                  "Parse error: Missing required field 'owner' in Identity at 2:3"},
        ParseCase{"missing_owner_and_stable_id",
                  with([](Sections& s) {
                    s.identity = "version: 1 created_timestamp: \"t\" "
                                 "semantic_hash: \"abc\"";
                  }),
                  "Parse error: Missing required field 'stable_id' in Identity at "
                  "2:3"},
        ParseCase{"empty", with([](Sections& s) { s.identity = ""; }),
                  "Parse error: Missing required field 'stable_id' in Identity at "
                  "2:3"},
        ParseCase{"quoted_version",
                  with([](Sections& s) {
                    s.identity = "stable_id: \"demo\" version: \"1\"";
                  }),
                  "Parse error: Expected integer literal, found StringLiteral(\"1\") "
                  "at 2:41"},
        ParseCase{"float_version",
                  with([](Sections& s) { s.identity = "version: 1.0"; }),
                  "Parse error: Expected integer literal, found FloatLiteral(1.0) at "
                  "2:23"},
        ParseCase{"no_colon", with([](Sections& s) { s.identity = "owner \"x\""; }),
                  "Parse error: Expected Colon, found StringLiteral(\"x\") at 2:20"},
        ParseCase{"unknown_field_without_colon",
                  with([](Sections& s) { s.identity = "bogus \"x\""; }),
                  "Parse error: Unknown field 'bogus' in Identity at 2:14"},
        ParseCase{"near_name", with([](Sections& s) { s.identity = "versions: 1"; }),
                  "Parse error: Unknown field 'versions' in Identity at 2:14"},
        ParseCase{"keyword_as_name",
                  with([](Sections& s) { s.identity = "Integer: 1"; }),
                  "Parse error: Expected field name identifier, found IntegerType "
                  "at 2:14"},
        ParseCase{"string_as_name",
                  with([](Sections& s) { s.identity = "\"owner\": \"x\""; }),
                  "Parse error: Expected field name identifier, found "
                  "StringLiteral(\"owner\") at 2:14"},
        ParseCase{"two_commas",
                  with([](Sections& s) { s.identity = "stable_id: \"demo\",, x"; }),
                  "Parse error: Expected field name identifier, found Comma at "
                  "2:32"},
        ParseCase{"identifier_as_text",
                  with([](Sections& s) { s.identity = "stable_id: demo"; }),
                  "Parse error: Expected string literal, found Identifier(\"demo\") "
                  "at 2:25"},
        ParseCase{"commas_and_trailing_comma",
                  with([](Sections& s) {
                    s.identity = "semantic_hash: \"abc\", owner: \"team\", "
                                 "version: 1, stable_id: \"demo\", "
                                 "created_timestamp: 2026-01-15T10:30:00Z,";
                  }),
                  "ok"}));

INSTANTIATE_TEST_SUITE_P(
    PurposeStatement, ParserTest,
    ::testing::Values(
        ParseCase{"integer_confidence",
                  with([](Sections& s) { s.purpose = "confidence_level: 1"; }),
                  "Parse error: Expected float literal, found IntegerLiteral(1) at "
                  "3:40"},
        ParseCase{"string_confidence",
                  with([](Sections& s) { s.purpose = "confidence_level: \"0.5\""; }),
                  "Parse error: Expected float literal, found StringLiteral(\"0.5\") "
                  "at 3:40"},
        ParseCase{"just_above_one",
                  with([](Sections& s) { s.purpose = "confidence_level: 1.01"; }),
                  "Parse error: confidence_level must be in [0.0, 1.0], found 1.01 at "
                  "3:40"},
        ParseCase{"whole_value",
                  with([](Sections& s) { s.purpose = "confidence_level: 2.0"; }),
                  "Parse error: confidence_level must be in [0.0, 1.0], found 2 at "
                  "3:40"},
        ParseCase{"large_value",
                  with([](Sections& s) { s.purpose = "confidence_level: 1000000.0"; }),
                  "Parse error: confidence_level must be in [0.0, 1.0], found 1000000 "
                  "at 3:40"},
        ParseCase{"fraction_above_one",
                  with([](Sections& s) { s.purpose = "confidence_level: 1.5"; }),
                  "Parse error: confidence_level must be in [0.0, 1.0], found 1.5 at "
                  "3:40"},
        ParseCase{"infinite",
                  with([](Sections& s) {
                    s.purpose = "confidence_level: 1" + std::string(400, '0') + ".0";
                  }),
                  "Parse error: confidence_level must be in [0.0, 1.0], found inf at "
                  "3:40"},
        ParseCase{"one_accepted",
                  with([](Sections& s) {
                    s.purpose = "confidence_level: 1.0 narrative: \"n\" "
                                "intent_source: \"i\"";
                  }),
                  "ok"},
        ParseCase{"zero_accepted",
                  with([](Sections& s) {
                    s.purpose = "confidence_level: 0.0 narrative: \"n\" "
                                "intent_source: \"i\"";
                  }),
                  "ok"},
        ParseCase{"missing_intent_source",
                  with([](Sections& s) {
                    s.purpose = "narrative: \"n\" confidence_level: 0.5";
                  }),
                  "Parse error: Missing required field 'intent_source' in "
                  "PurposeStatement at 3:3"},
        ParseCase{"unknown",
                  with([](Sections& s) { s.purpose = "confidence: 0.5"; }),
                  "Parse error: Unknown field 'confidence' in PurposeStatement at "
                  "3:22"}));

INSTANTIATE_TEST_SUITE_P(
    DataSemantics, ParserTest,
    ::testing::Values(
        ParseCase{"missing_invariants",
                  with([](Sections& s) { s.data = "state: { }"; }),
                  "Parse error: Missing required field 'invariants' in DataSemantics "
                  "at 4:3"},
        ParseCase{"unknown", with([](Sections& s) { s.data = "states: { }"; }),
                  "Parse error: Unknown field 'states' in DataSemantics at 4:19"},
        ParseCase{"state_not_block",
                  with([](Sections& s) { s.data = "state: [] invariants: []"; }),
                  "Parse error: Expected LBrace, found LBracket at 4:26"},
        ParseCase{"invariants_not_list",
                  with([](Sections& s) { s.data = "invariants: \"x\""; }),
                  "Parse error: Expected LBracket, found StringLiteral(\"x\") at 4:31"},
        ParseCase{"list_only_comma",
                  with([](Sections& s) { s.data = "invariants: [,]"; }),
                  "Parse error: Expected string literal, found Comma at 4:32"},
        ParseCase{"list_integer",
                  with([](Sections& s) { s.data = "invariants: [1]"; }),
                  "Parse error: Expected string literal, found IntegerLiteral(1) at "
                  "4:32"},
        ParseCase{"list_without_comma",
                  with([](Sections& s) { s.data = "invariants: [\"a\" \"b\"]"; }),
                  "Parse error: Expected RBracket, found StringLiteral(\"b\") at 4:36"},
        ParseCase{"list_trailing_comma",
                  with([](Sections& s) {
                    s.data = "invariants: [\"a\",] state: { }";
                  }),
                  "ok"},
        ParseCase{"quoted_field_name",
                  with([](Sections& s) {
                    s.data = "state: { \"x\": Integer } invariants: []";
                  }),
                  "Parse error: Expected field name, found StringLiteral(\"x\") at "
                  "4:28"},
        ParseCase{"state_at_end", "Contract { Identity { stable_id: \"s\" version: 1 "
                                  "created_timestamp: \"t\" owner: \"o\" "
                                  "semantic_hash: \"h\" } PurposeStatement { "
                                  "narrative: \"n\" intent_source: \"i\" "
                                  "confidence_level: 0.5 } DataSemantics { state: {",
                  "Parse error: Expected field name, found Eof at 1:205"}));

// Type expressions and defaults inside the state block: the state's first
// field name is at 4:28, its type at 4:31.
std::string state_field(std::string field) {
  return with([&field](Sections& s) {
    s.data = "state: { " + field + " } invariants: []";
  });
}

INSTANTIATE_TEST_SUITE_P(
    Types, ParserTest,
    ::testing::Values(
        ParseCase{"lowercase_type", state_field("x: string"),
                  "Parse error: Expected type expression, found "
                  "Identifier(\"string\") at 4:31"},
        ParseCase{"map_without_comma", state_field("x: Map<String Integer>"),
                  "Parse error: Expected Comma, found IntegerType at 4:42"},
        ParseCase{"extra_angle", state_field("x: Array<Integer>>"),
                  "Parse error: Expected field name, found RAngle at 4:45"},
        ParseCase{"map_not_closed", state_field("x: Map<String, Integer"),
                  "Parse error: Expected RAngle, found RBrace at 4:51"},
        ParseCase{"array_without_angle", state_field("x: Array Integer"),
                  "Parse error: Expected LAngle, found IntegerType at 4:37"},
        ParseCase{"object_with_bracket", state_field("x: Object [ ]"),
                  "Parse error: Expected LBrace, found LBracket at 4:38"},
        ParseCase{"object_field_not_identifier", state_field("x: Object { 1 }"),
                  "Parse error: Expected field name, found IntegerLiteral(1) at "
                  "4:40"},
        ParseCase{"enum_without_comma", state_field("x: Enum [\"a\" \"b\"]"),
                  "Parse error: Expected RBracket, found StringLiteral(\"b\") at "
                  "4:41"},
        ParseCase{"enum_identifier", state_field("x: Enum [a]"),
                  "Parse error: Expected string literal, found Identifier(\"a\") at "
                  "4:37"},
        ParseCase{"enum_only_comma", state_field("x: Enum [,]"),
                  "Parse error: Expected string literal, found Comma at 4:37"},
        ParseCase{"enum_brace", state_field("x: Enum { }"),
                  "Parse error: Expected LBracket, found LBrace at 4:36"},
        ParseCase{"no_type", state_field("x: = 1"),
                  "Parse error: Expected type expression, found Equals at 4:31"},
        ParseCase{"no_colon", state_field("x Integer"),
                  "Parse error: Expected Colon, found IntegerType at 4:30"},
        ParseCase{"accepted_shapes",
                  state_field("a: Enum [] b: Enum [\"a\", \"b\",] c: Object { } "
                              "d: Map<Float, Boolean>, e: Map<Array<UUID>, "
                              "Object { x: ISO8601 = 2024-01-15T10:30:00Z }>"),
                  "ok"}));

INSTANTIATE_TEST_SUITE_P(
    Literals, ParserTest,
    ::testing::Values(
        ParseCase{"word", state_field("x: Boolean = yes"),
                  "Parse error: Expected literal value, found Identifier(\"yes\") at "
                  "4:41"},
        ParseCase{"only_comma", state_field("x: Integer = [,]"),
                  "Parse error: Expected literal value, found Comma at 4:42"},
        ParseCase{"missing_comma", state_field("x: Integer = [1 2]"),
                  "Parse error: Expected RBracket, found IntegerLiteral(2) at 4:44"},
        ParseCase{"brace", state_field("x: Integer ="),
                  "Parse error: Expected literal value, found RBrace at 4:41"},
        ParseCase{"type_keyword", state_field("x: Integer = Integer"),
                  "Parse error: Expected literal value, found IntegerType at 4:41"},
        ParseCase{"negative", state_field("x: Integer = -1"),
                  "Parse error: Unexpected character '-' at 4:41"},
        ParseCase{"accepted_shapes",
                  state_field("a: Array<Integer> = [] b: String = [1, \"a\", "
                              "[true], 1.5,] c: ISO8601 = 2024-01-15T10:30:00Z"),
                  "ok"}));

INSTANTIATE_TEST_SUITE_P(
    BehavioralSemantics, ParserTest,
    ::testing::Values(
        ParseCase{"other_field", with([](Sections& s) { s.behavior = "ops: []"; }),
                  "Parse error: Expected field 'operations', found "
                  "Identifier(\"ops\") at 5:25"},
        ParseCase{"no_colon", with([](Sections& s) { s.behavior = "operations []"; }),
                  "Parse error: Expected Colon, found LBracket at 5:36"},
        ParseCase{"not_a_list",
                  with([](Sections& s) { s.behavior = "operations: { }"; }),
                  "Parse error: Expected LBracket, found LBrace at 5:37"},
        ParseCase{"second_field",
                  with([](Sections& s) { s.behavior = "operations: [] extra: 1"; }),
                  "Parse error: Expected RBrace, found Identifier(\"extra\") at 5:40"},
        ParseCase{"trailing_comma",
                  with([](Sections& s) { s.behavior = "operations: [],"; }), "ok"},
        ParseCase{"two_trailing_commas",
                  with([](Sections& s) { s.behavior = "operations: [],,"; }),
                  "Parse error: Expected RBrace, found Comma at 5:40"},
        ParseCase{"empty_operation",
                  with([](Sections& s) { s.behavior = "operations: [ {} ]"; }),
                  "Parse error: Missing required field 'name' in operation at 5:39"},
        ParseCase{"unknown_operation_field",
                  with([](Sections& s) {
                    s.behavior = "operations: [ { name: \"a\" bogus: 1 } ]";
                  }),
                  "Parse error: Unknown field 'bogus' in operation at 5:51"},
        ParseCase{"operation_not_braced",
                  with([](Sections& s) { s.behavior = "operations: [ 1 ]"; }),
                  "Parse error: Expected LBrace, found IntegerLiteral(1) at 5:39"},
        ParseCase{"operations_without_commas",
                  with([](Sections& s) {
                    const std::string op =
                        "{ name: \"a\" precondition: \"p\" parameters: { } "
                        "postcondition: \"q\" side_effects: [] idempotence: \"i\" }";
                    s.behavior = "operations: [" + op + op + ", " + op + ",]";
                  }),
                  "ok"}));

INSTANTIATE_TEST_SUITE_P(
    ExecutionConstraints, ParserTest,
    ::testing::Values(
        ParseCase{"empty", with([](Sections& s) { s.constraints = ""; }),
                  "Parse error: Missing required field 'trigger_types' in "
                  "ExecutionConstraints at 6:3"},
        ParseCase{"limits_without_timeout",
                  with([](Sections& s) {
                    s.constraints = "resource_limits: { max_memory_bytes: 1 "
                                    "max_state_size_bytes: 1 }";
                  }),
                  "Parse error: Missing required field 'computation_timeout_ms' in "
                  "resource_limits at 6:43"},
        ParseCase{"limits_without_two",
                  with([](Sections& s) {
                    s.constraints = "resource_limits: { max_state_size_bytes: 1 }";
                  }),
                  "Parse error: Missing required field 'max_memory_bytes' in "
                  "resource_limits at 6:43"},
        ParseCase{"unknown_limit",
                  with([](Sections& s) {
                    s.constraints = "resource_limits: { cpu: 1 }";
                  }),
                  "Parse error: Unknown field 'cpu' in resource_limits at 6:45"},
        ParseCase{"quoted_limit",
                  with([](Sections& s) {
                    s.constraints = "resource_limits: { max_memory_bytes: \"1\" }";
                  }),
                  "Parse error: Expected integer literal, found StringLiteral(\"1\") "
                  "at 6:63"},
        ParseCase{"limits_not_block",
                  with([](Sections& s) { s.constraints = "resource_limits: 5"; }),
                  "Parse error: Expected LBrace, found IntegerLiteral(5) at 6:43"},
        ParseCase{"limits_two_commas",
                  with([](Sections& s) {
                    s.constraints = "resource_limits: { max_memory_bytes: 1,, }";
                  }),
                  "Parse error: Expected field name identifier, found Comma at 6:65"},
        // A second block replaces the first entirely, so it must be complete.
        ParseCase{"second_limits_block_incomplete",
                  with([](Sections& s) {
                    s.constraints +=
                        " resource_limits: { max_memory_bytes: 1 "
                        "computation_timeout_ms: 2 }";
                  }),
                  "Parse error: Missing required field 'max_state_size_bytes' in "
                  "resource_limits at 6:223"},
        ParseCase{"zero_limits_parse",
                  with([](Sections& s) {
                    s.constraints =
                        "sandbox_mode: \"anything\" trigger_types: [\"x\",] "
                        "external_permissions: [] resource_limits: { "
                        "max_state_size_bytes: 0, computation_timeout_ms: 0, "
                        "max_memory_bytes: 0, },";
                  }),
                  "ok"},
        ParseCase{"sandbox_integer",
                  with([](Sections& s) { s.constraints = "sandbox_mode: 1"; }),
                  "Parse error: Expected string literal, found IntegerLiteral(1) at "
                  "6:40"},
        ParseCase{"unknown",
                  with([](Sections& s) { s.constraints = "mode: \"x\""; }),
                  "Parse error: Unknown field 'mode' in ExecutionConstraints at 6:26"},
        ParseCase{"keyword_name",
                  with([](Sections& s) { s.constraints = "Map: 1"; }),
                  "Parse error: Expected field name identifier, found MapType at "
                  "6:26"}));

INSTANTIATE_TEST_SUITE_P(
    HumanMachineContract, ParserTest,
    ::testing::Values(
        ParseCase{"empty", with([](Sections& s) { s.human = ""; }),
                  "Parse error: Missing required field 'system_commitments' in "
                  "HumanMachineContract at 7:3"},
        ParseCase{"missing_last",
                  with([](Sections& s) {
                    s.human = "system_refusals: [] system_commitments: []";
                  }),
                  "Parse error: Missing required field 'user_obligations' in "
                  "HumanMachineContract at 7:3"},
        ParseCase{"unknown", with([](Sections& s) { s.human = "commitments: []"; }),
                  "Parse error: Unknown field 'commitments' in HumanMachineContract "
                  "at 7:26"},
        ParseCase{"not_a_list",
                  with([](Sections& s) { s.human = "system_commitments: \"x\""; }),
                  "Parse error: Expected LBracket, found StringLiteral(\"x\") at "
                  "7:46"}));

// The Extensions section starts on line 9; its inside at column 14.
std::string extensions(std::string inside) {
  return with([&inside](Sections& s) { s.after = "\nExtensions { " + inside; });
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, ParserTest,
    ::testing::Values(
        ParseCase{"empty", extensions("}"), "ok"},
        ParseCase{"fields", extensions("sys { a: 1, b: [1, \"x\"] c: 0.5 } other { } }"),
                  "ok"},
        ParseCase{"string_system_name", extensions("\"x\" { } }"),
                  "Parse error: Expected system extension name, found "
                  "StringLiteral(\"x\") at 9:14"},
        ParseCase{"string_field_name", extensions("sys { \"f\": 1 } }"),
                  "Parse error: Expected field name, found StringLiteral(\"f\") at "
                  "9:20"},
        ParseCase{"comma_between_systems", extensions("sys { }, other { } }"),
                  "Parse error: Expected system extension name, found Comma at 9:21"},
        ParseCase{"two_commas_after_field", extensions("sys { f: 1,, } }"),
                  "Parse error: Expected field name, found Comma at 9:25"},
        ParseCase{"field_without_colon", extensions("sys { f 1 } }"),
                  "Parse error: Expected Colon, found IntegerLiteral(1) at 9:22"},
        ParseCase{"field_without_value", extensions("sys { f: } }"),
                  "Parse error: Expected literal value, found RBrace at 9:23"},
        ParseCase{"system_with_bracket", extensions("sys [ ] }"),
                  "Parse error: Expected LBrace, found LBracket at 9:18"},
        ParseCase{"unclosed", extensions(""),
                  "Parse error: Expected system extension name, found Eof at 9:14"},
        ParseCase{"keyword_only",
                  with([](Sections& s) { s.after = "\nExtensions"; }),
                  "Parse error: Expected LBrace, found Eof at 9:11"}));

// Every required field of every block, dropped one at a time, is reported
// by name at the block's position; dropping two reports the earlier one.
struct Block {
  const char* where;
  std::vector<std::pair<std::string, std::string>> fields;  // name, value
  std::string position;
  void (*place)(Sections&, const std::string&);
};

std::string join(const std::vector<std::pair<std::string, std::string>>& fields,
                 std::size_t skip_a, std::size_t skip_b) {
  std::string out;
  // Written in reverse so that check order, not writing order, decides.
  for (std::size_t i = fields.size(); i-- > 0;) {
    if (i == skip_a || i == skip_b) continue;
    out += fields[i].first + ": " + fields[i].second + " ";
  }
  return out;
}

TEST(ParserRequiredFields, EachMissingFieldIsNamed) {
  const std::vector<Block> blocks = {
      {"Identity",
       {{"stable_id", "\"s\""}, {"version", "1"}, {"created_timestamp", "\"t\""},
        {"owner", "\"o\""}, {"semantic_hash", "\"h\""}},
       "2:3",
       [](Sections& s, const std::string& f) { s.identity = f; }},
      {"PurposeStatement",
       {{"narrative", "\"n\""}, {"intent_source", "\"i\""},
        {"confidence_level", "0.5"}},
       "3:3",
       [](Sections& s, const std::string& f) { s.purpose = f; }},
      {"DataSemantics",
       {{"state", "{ }"}, {"invariants", "[]"}},
       "4:3",
       [](Sections& s, const std::string& f) { s.data = f; }},
      {"operation",
       {{"name", "\"n\""}, {"precondition", "\"p\""}, {"parameters", "{ }"},
        {"postcondition", "\"q\""}, {"side_effects", "[]"},
        {"idempotence", "\"i\""}},
       "5:39",
       [](Sections& s, const std::string& f) {
         s.behavior = "operations: [ { " + f + "} ]";
       }},
      {"ExecutionConstraints",
       {{"trigger_types", "[]"},
        {"resource_limits",
         "{ max_memory_bytes: 1 computation_timeout_ms: 1 "
         "max_state_size_bytes: 1 }"},
        {"external_permissions", "[]"}, {"sandbox_mode", "\"m\""}},
       "6:3",
       [](Sections& s, const std::string& f) { s.constraints = f; }},
      {"resource_limits",
       {{"max_memory_bytes", "1"}, {"computation_timeout_ms", "1"},
        {"max_state_size_bytes", "1"}},
       "6:43",
       [](Sections& s, const std::string& f) {
         s.constraints = "resource_limits: { " + f +
                         "} trigger_types: [] external_permissions: [] "
                         "sandbox_mode: \"m\"";
       }},
      {"HumanMachineContract",
       {{"system_commitments", "[]"}, {"system_refusals", "[]"},
        {"user_obligations", "[]"}},
       "7:3",
       [](Sections& s, const std::string& f) { s.human = f; }},
  };
  const std::size_t kNone = static_cast<std::size_t>(-1);
  for (const Block& block : blocks) {
    Sections complete;
    block.place(complete, join(block.fields, kNone, kNone));
    EXPECT_EQ(outcome(build(complete)), "ok") << block.where;
    for (std::size_t i = 0; i < block.fields.size(); ++i) {
      const std::string expected = "Parse error: Missing required field '" +
                                   block.fields[i].first + "' in " + block.where +
                                   " at " + block.position;
      Sections one;
      block.place(one, join(block.fields, i, kNone));
      EXPECT_EQ(outcome(build(one)), expected);
      for (std::size_t j = i + 1; j < block.fields.size(); ++j) {
        Sections two;
        block.place(two, join(block.fields, i, j));
        EXPECT_EQ(outcome(build(two)), expected);
      }
    }
  }
}

// ---- Nesting ----------------------------------------------------------------

std::string repeat(std::string_view part, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += part;
  return out;
}

std::string too_deep_at(std::size_t line, std::size_t column) {
  return "Parse error: Nesting too deep (maximum 128 levels) at " +
         std::to_string(line) + ":" + std::to_string(column);
}

TEST(ParserNesting, ArrayTypes) {
  // Integer inside n Array<...> is at level n + 1.
  const std::string prefix = "x: ";
  const std::string ok_type = repeat("Array<", 127) + "Integer" + repeat(">", 127);
  EXPECT_EQ(outcome(state_field(prefix + ok_type)), "ok");
  const std::string deep_type = repeat("Array<", 128) + "Integer" + repeat(">", 128);
  EXPECT_EQ(outcome(state_field(prefix + deep_type)), too_deep_at(4, 31 + 6 * 128));
}

TEST(ParserNesting, MapValuesAndObjectFields) {
  EXPECT_EQ(outcome(state_field("x: " + repeat("Map<String, ", 127) + "Integer" +
                                repeat(">", 127))),
            "ok");
  EXPECT_EQ(outcome(state_field("x: " + repeat("Map<String, ", 128) + "Integer" +
                                repeat(">", 128))),
            // The innermost map's key is the first type at level 129.
            too_deep_at(4, 31 + 12 * 127 + 4));
  // A map key is one level deeper too.
  EXPECT_EQ(outcome(state_field("x: " + repeat("Map<", 128) + "Integer" +
                                repeat(", String>", 128))),
            too_deep_at(4, 31 + 4 * 128));
  EXPECT_EQ(outcome(state_field("x: " + repeat("Object { a: ", 127) + "Integer" +
                                repeat(" }", 127))),
            "ok");
  EXPECT_EQ(outcome(state_field("x: " + repeat("Object { a: ", 128) + "Integer" +
                                repeat(" }", 128))),
            too_deep_at(4, 31 + 12 * 128));
}

TEST(ParserNesting, LiteralArrays) {
  // The default starts at 4:41 and is at level 1.
  const std::string prefix = "x: Integer = ";
  EXPECT_EQ(outcome(state_field(prefix + repeat("[", 128) + repeat("]", 128))), "ok");
  EXPECT_EQ(outcome(state_field(prefix + repeat("[", 129) + repeat("]", 129))),
            too_deep_at(4, 41 + 128));
  // Elements after the first count alike.
  EXPECT_EQ(outcome(state_field(prefix + "[1, " + repeat("[", 128) +
                                repeat("]", 128) + "]")),
            too_deep_at(4, 45 + 127));
  // An object field's default is one level below the object; the first
  // bracket of this default is at 4:53.
  const std::string object = "x: Object { a: Integer = ";
  EXPECT_EQ(outcome(state_field(object + repeat("[", 127) + repeat("]", 127) + " }")),
            "ok");
  EXPECT_EQ(outcome(state_field(object + repeat("[", 128) + repeat("]", 128) + " }")),
            too_deep_at(4, 53 + 127));
}

TEST(ParserNesting, ParametersAndExtensions) {
  const std::string deep = repeat("Array<", 128) + "Integer" + repeat(">", 128);
  EXPECT_EQ(outcome(with([&](Sections& s) {
              s.behavior = "operations: [ { parameters: { p: " + deep + " } } ]";
            })),
            too_deep_at(5, 58 + 6 * 128));
  // Extension values start at level 1: the value is at 9:21.
  EXPECT_EQ(outcome(extensions("s { f: " + repeat("[", 128) + repeat("]", 128) + " } }")),
            "ok");
  EXPECT_EQ(outcome(extensions("s { f: " + repeat("[", 129) + repeat("]", 129) + " } }")),
            too_deep_at(9, 21 + 128));
}

TEST(ParserNesting, DeepTreesPrintAndLower) {
  const std::string type = repeat("Array<", 127) + "Integer" + repeat(">", 127);
  const Parsed parsed = parse_ok(state_field("x: " + type + " = " +
                                             repeat("[", 128) + repeat("]", 128)));
  ASSERT_TRUE(parsed.ok());
  const syntax::StateFields state = parsed.contract().data_semantics().state();
  ASSERT_EQ(state.size(), 1u);
  EXPECT_EQ((*state.begin()).type().text(), type);
  const Contract model = lower_contract(parsed.tree());
  const Json* member = model.data_semantics.state.find("x");
  ASSERT_NE(member, nullptr);
  const Json* value = member->find("default");
  ASSERT_NE(value, nullptr);
  int depth = 0;
  while (value->is_array() && !value->as_array().empty()) {
    value = &value->as_array()[0];
    ++depth;
  }
  EXPECT_TRUE(value->is_array());
  EXPECT_EQ(depth, 127);
}

// ---- Trees ------------------------------------------------------------------

TEST(ParserTree, SpansOfNodes) {
  const Parsed parsed = parse_ok("// leading comment\n" + build({}));
  ASSERT_TRUE(parsed.ok());
  const syntax::ContractNode c = parsed.contract();
  EXPECT_EQ(c.span(), (Span{2, 1, 19}));
  EXPECT_EQ(c.identity().span().to_string(), "3:3");
  EXPECT_EQ(c.identity().stable_id().span().to_string(), "3:25");
  EXPECT_EQ(c.identity().version().span().to_string(), "3:41");
  EXPECT_EQ(c.purpose_statement().span().to_string(), "4:3");
  EXPECT_EQ(c.purpose_statement().confidence_level().span().to_string(), "4:74");
  EXPECT_EQ(c.data_semantics().span().to_string(), "5:3");
  const syntax::StateField count = *c.data_semantics().state().begin();
  EXPECT_EQ(count.span().to_string(), "5:28");
  EXPECT_EQ(count.name_span(), count.span());
  EXPECT_EQ(count.type().span().to_string(), "5:35");
  EXPECT_EQ(count.default_value()->span().to_string(), "5:45");
  EXPECT_EQ((*c.data_semantics().invariants().begin()).span().to_string(), "5:62");
  EXPECT_EQ(c.behavioral_semantics().span().to_string(), "6:3");
  EXPECT_EQ((*c.behavioral_semantics().operations().begin()).span().to_string(),
            "6:39");
  EXPECT_EQ(c.execution_constraints().span().to_string(), "7:3");
  EXPECT_EQ(c.execution_constraints().resource_limits().span().to_string(),
            "7:69");
  EXPECT_EQ(c.human_machine_contract().span().to_string(), "8:3");
  EXPECT_FALSE(c.extensions().has_value());
}

TEST(ParserTree, ExtensionsAreKeptInOrder) {
  const Parsed parsed = parse_ok(
      extensions("wms { site: \"DUS\", zones: [\"a\", [1]] site: 2 } empty { } }"));
  ASSERT_TRUE(parsed.ok());
  const std::optional<syntax::Extensions> ext = parsed.contract().extensions();
  ASSERT_TRUE(ext.has_value());
  EXPECT_EQ(ext->span().to_string(), "9:1");
  ASSERT_EQ(ext->systems().size(), 2u);
  const syntax::SystemExtension wms = *ext->systems().begin();
  EXPECT_EQ(wms.name(), "wms");
  EXPECT_EQ(wms.span().to_string(), "9:14");
  std::vector<syntax::CustomField> fields(wms.fields().begin(),
                                          wms.fields().end());
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0].name(), "site");
  EXPECT_EQ(fields[0].value().text(), "DUS");
  EXPECT_EQ(fields[1].value().kind(), syntax::Literal::Kind::kArray);
  EXPECT_EQ(fields[1].value().span().to_string(), "9:40");
  EXPECT_EQ(fields[2].name(), "site");
  EXPECT_EQ(fields[2].value().integer(), 2);
  const syntax::SystemExtension empty = *++ext->systems().begin();
  EXPECT_EQ(empty.name(), "empty");
  EXPECT_TRUE(empty.fields().empty());
}

TEST(ParserTree, LastFieldWins) {
  const Parsed parsed = parse_ok(with([](Sections& s) {
    s.identity += " owner: \"second\"";
    s.constraints += " trigger_types: [\"b\", \"c\"]";
    s.data += " state: { y: String }";
  }));
  ASSERT_TRUE(parsed.ok());
  const syntax::ContractNode c = parsed.contract();
  EXPECT_EQ(c.identity().owner().text(), "second");
  const syntax::TextList triggers = c.execution_constraints().trigger_types();
  ASSERT_EQ(triggers.size(), 2u);
  EXPECT_EQ((*triggers.begin()).text(), "b");
  const syntax::StateFields state = c.data_semantics().state();
  ASSERT_EQ(state.size(), 1u);
  EXPECT_EQ((*state.begin()).name(), "y");
}

TEST(ParserTree, FieldOrderAndCommasDoNotMatter) {
  const std::string reference = model_json(parse_ok(build({})));
  const std::vector<Sections> variants = [] {
    std::vector<Sections> v(3);
    v[0].identity =
        "semantic_hash: \"abc\", owner: \"team\", created_timestamp: "
        "2026-01-15T10:30:00Z, version: 1, stable_id: \"demo\",";
    v[1].purpose = "confidence_level: 0.5, intent_source: \"i\" narrative: \"n\",";
    v[2].constraints =
        "sandbox_mode: \"full_isolation\", external_permissions: [], "
        "resource_limits: { max_state_size_bytes: 512, computation_timeout_ms: "
        "100, max_memory_bytes: 1024, }, trigger_types: [\"manual\",],";
    return v;
  }();
  for (const Sections& s : variants) {
    EXPECT_EQ(model_json(parse_ok(build(s))), reference);
  }
}

TEST(ParserTree, RepeatedNamesAreKept) {
  const Parsed parsed =
      parse_ok(state_field("x: Integer, x: String y: Enum [\"a\", \"a\"]"));
  ASSERT_TRUE(parsed.ok());
  const syntax::StateFields fields = parsed.contract().data_semantics().state();
  const std::vector<syntax::StateField> state(fields.begin(), fields.end());
  ASSERT_EQ(state.size(), 3u);
  EXPECT_EQ(state[0].name(), "x");
  EXPECT_EQ(state[1].name(), "x");
  EXPECT_EQ(state[1].type().text(), "String");
  EXPECT_EQ(state[2].type().variants().size(), 2u);
}

// A compact rendering of a literal for comparisons.
std::string show(const syntax::Literal& v) {
  switch (v.kind()) {
    case syntax::Literal::Kind::kString:
      return "S(" + std::string(v.text()) + ")";
    case syntax::Literal::Kind::kInteger:
      return "I(" + std::to_string(v.integer()) + ")";
    case syntax::Literal::Kind::kFloat:
      return "F(" + format_double(v.number(), FloatStyle::kJson) + ")";
    case syntax::Literal::Kind::kBoolean:
      return v.boolean() ? "B(true)" : "B(false)";
    case syntax::Literal::Kind::kArray: {
      std::string out = "A[";
      bool first = true;
      for (const syntax::Literal e : v.elements()) {
        if (!first) out += ",";
        first = false;
        out += show(e);
      }
      return out + "]";
    }
  }
  return "?";
}

struct ShapeCase {
  const char* name;
  std::string field;   // one state field
  std::string type;    // its type's text form
  std::string literal;  // its default, shown, or "-" when absent
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class ParserShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ParserShapeTest, TypeTextAndDefault) {
  const Parsed parsed = parse_ok(state_field(GetParam().field));
  ASSERT_TRUE(parsed.ok());
  const syntax::StateFields state = parsed.contract().data_semantics().state();
  ASSERT_EQ(state.size(), 1u);
  const syntax::StateField f = *state.begin();
  EXPECT_EQ(f.type().text(), GetParam().type);
  const std::optional<syntax::Literal> d = f.default_value();
  EXPECT_EQ(d ? show(*d) : "-", GetParam().literal);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ParserShapeTest,
    ::testing::Values(
        ShapeCase{"primitives", "x: UUID", "UUID", "-"},
        ShapeCase{"iso", "x: ISO8601", "ISO8601", "-"},
        ShapeCase{"nested", "x: Array<Map<String, Array<Integer>>>",
                  "Array<Map<String, Array<Integer>>>", "-"},
        ShapeCase{"map_spacing", "x: Map<Float,Boolean>", "Map<Float, Boolean>", "-"},
        ShapeCase{"empty_object", "x: Object { }", "Object {  }", "-"},
        ShapeCase{"object_defaults_hidden",
                  "x: Object { a: Integer = 1 b: Array<String> }",
                  "Object { a: Integer, b: Array<String> }", "-"},
        ShapeCase{"empty_enum", "x: Enum []", "Enum []", "-"},
        ShapeCase{"enum", "x: Enum [\"low\", \"high\",]", "Enum [\"low\", \"high\"]", "-"},
        ShapeCase{"enum_quote_unescaped", "x: Enum [\"a\\\"b\"]", "Enum [\"a\"b\"]", "-"},
        ShapeCase{"mixed_array", "x: Array<String> = [1, \"a\", [true]]",
                  "Array<String>", "A[I(1),S(a),A[B(true)]]"},
        ShapeCase{"empty_array", "x: Array<String> = []", "Array<String>", "A[]"},
        ShapeCase{"trailing_comma", "x: Array<Float> = [1.5, 2.,]", "Array<Float>",
                  "A[F(1.5),F(2.0)]"},
        ShapeCase{"bare_timestamp", "x: ISO8601 = 2024-01-15T10:30:00Z", "ISO8601",
                  "S(2024-01-15T10:30:00Z)"},
        ShapeCase{"escaped_string", "x: String = \"a\\tb\"", "String", "S(a\tb)"},
        ShapeCase{"boolean", "x: Boolean = false", "Boolean", "B(false)"}));

TEST(ParserTree, ObjectKeepsFieldDefaultsAndMapParts) {
  const Parsed parsed = parse_ok(state_field(
      "x: Object { a: Integer = 5 m: Map<String, Array<Integer>> }"));
  ASSERT_TRUE(parsed.ok());
  const syntax::Type object =
      (*parsed.contract().data_semantics().state().begin()).type();
  ASSERT_EQ(object.kind(), syntax::Type::Kind::kObject);
  EXPECT_EQ(object.span().to_string(), "4:31");
  const std::vector<syntax::StateField> fields(object.fields().begin(),
                                               object.fields().end());
  ASSERT_EQ(fields.size(), 2u);
  ASSERT_TRUE(fields[0].default_value().has_value());
  EXPECT_EQ(show(*fields[0].default_value()), "I(5)");
  const syntax::Type map = fields[1].type();
  ASSERT_EQ(map.kind(), syntax::Type::Kind::kMap);
  EXPECT_EQ(map.span().to_string(), "4:58");
  EXPECT_EQ(map.key().kind(), syntax::Type::Kind::kPrimitive);
  EXPECT_EQ(map.key().primitive(), syntax::PrimitiveKind::kString);
  EXPECT_EQ(map.value().kind(), syntax::Type::Kind::kArray);
  EXPECT_EQ(map.value().element().primitive(), syntax::PrimitiveKind::kInteger);
  EXPECT_EQ(map.value().element().span().to_string(), "4:76");
}


// ---- Interruption -------------------------------------------------------------

// Every text pipeline asks while it parses: stopped, each ends with
// Error::interrupted() and asks nothing more; never stopped, each gives
// what it gives without an interrupter.
TEST(ParseTree, TextPipelinesStopWhenAsked) {
  Sections s;
  s.data = "state: {";
  for (int i = 0; i < 100000; ++i) s.data += " f" + std::to_string(i) + ": Integer";
  s.data += " } invariants: []";
  const std::string text = build(s);
  using Pipeline = std::string (*)(std::string_view, const Interrupter&);
  const std::vector<std::pair<const char*, Pipeline>> pipelines = {
      {"tree", [](std::string_view t, const Interrupter& i) {
         Result<SyntaxTree> r = parse_tree(t, i);
         return r.ok() ? std::string("ok") : r.error().to_string();
       }},
      {"normalize", [](std::string_view t, const Interrupter& i) {
         Result<std::string> r = normalize(t, i);
         return r.ok() ? r.value() : r.error().to_string();
       }},
      {"semantic_hash", [](std::string_view t, const Interrupter& i) {
         Result<std::string> r = semantic_hash(t, i);
         return r.ok() ? r.value() : r.error().to_string();
       }},
      {"verify", [](std::string_view t, const Interrupter& i) {
         Result<std::string> r = verify_json(t, i);
         return r.ok() ? r.value() : r.error().to_string();
       }},
      {"contract json", [](std::string_view t, const Interrupter& i) {
         std::string out;
         std::optional<Error> error;
         {
           StringOutput output(out);
           error = parse_contract_json(t, output, i);
         }
         return error ? error->to_string() : out;
       }},
      {"execute", [](std::string_view t, const Interrupter& i) {
         std::string out;
         std::optional<Error> error;
         {
           StringOutput output(out);
           error = execute_json(t, "[]", output, i);
         }
         return error ? error->to_string() : out;
       }},
  };
  for (const auto& [name, run] : pipelines) {
    SCOPED_TRACE(name);
    CountingInterrupter never;
    EXPECT_EQ(run(text, never.interrupter()), run(text, Interrupter{}));
    EXPECT_GE(never.asked, 4u);  // 300,000 tokens and 100,000 nodes
    CountingInterrupter stopping;
    stopping.stop_at = 2;
    EXPECT_EQ(run(text, stopping.interrupter()), "Interrupted");
    EXPECT_EQ(stopping.asked, 2u);
  }
}

}  // namespace
}  // namespace qel
