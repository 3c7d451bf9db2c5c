// The verification driver on contract texts: each check, its message,
// severity, kind and position, and the order across checks; the result's
// queries and the verification JSON.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "qel/parser.h"
#include "qel/verifier.h"
#include "verifier_test_texts.h"

namespace qel {
namespace {

using testing_texts::compare;
using testing_texts::Edits;
using testing_texts::edited;
using testing_texts::Finding;
using testing_texts::kClean;

constexpr DiagnosticKind kType = DiagnosticKind::kType;
constexpr DiagnosticKind kInvariant = DiagnosticKind::kInvariant;
constexpr DiagnosticKind kDeterminism = DiagnosticKind::kDeterminism;
constexpr DiagnosticKind kCoherence = DiagnosticKind::kCoherence;

const char kSandboxAllowed[] = "full_isolation, restricted, none";
const char kTriggerAllowed[] = "manual, time_based, event_based";
const char kStableIdRule[] =
    "' does not match required pattern [a-z0-9][a-z0-9-]{0,30}[a-z0-9]";

std::string repeat(const char* unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

// A second operation, inserted after the first.
std::pair<std::string, std::string> add_operation(const std::string& op) {
  return {"    ]\n  }\n  ExecutionConstraints",
          "      " + op + "\n    ]\n  }\n  ExecutionConstraints"};
}

std::pair<std::string, std::string> add_extensions(const std::string& ext) {
  return {"  }\n}\n", "  }\n}\n" + ext + "\n"};
}

TEST(VerifierDriver, CleanContractHasNoFindings) {
  const auto [got, want] = compare(kClean, {});
  EXPECT_EQ(got, want);
}

// ---- One check at a time ----------------------------------------------------

struct RowCase {
  std::string name;
  Edits edits;  // applied to the clean contract
  std::vector<Finding> expected;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

class VerifierRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(VerifierRowTest, Reports) {
  const std::string text = edited(kClean, GetParam().edits);
  const auto [got, want] = compare(text, GetParam().expected);
  EXPECT_EQ(got, want);
}

RowCase bad_stable_id(const char* name, const std::string& id) {
  return RowCase{name,
                 {{"\"payment-ledger\"", "\"" + id + "\""}},
                 {{"E type", "stable_id '" + id + kStableIdRule, "\"" + id}}};
}

RowCase good_stable_id(const char* name, const std::string& id) {
  return RowCase{name, {{"\"payment-ledger\"", "\"" + id + "\""}}, {}};
}

const std::string kInvalidRef = "' references unknown field '";

INSTANTIATE_TEST_SUITE_P(
    VerifierDriver, VerifierRowTest,
    ::testing::Values(
        // Identity.
        RowCase{"version_zero", {{"version: 3", "version: 0"}}, {}},
        RowCase{"version_at_32_bit_limit",
                {{"version: 3", "version: 4294967295"}}, {}},
        RowCase{"version_above_32_bits",
                {{"version: 3", "version: 4294967296"}},
                {{"E type", "version must be at most 4294967295, found 4294967296",
                  "4294967296"}}},
        RowCase{"version_limit_before_stable_id",
                {{"version: 3", "version: 9223372036854775807"},
                 {"\"payment-ledger\"", "\"A\""}},
                {{"E type",
                  "version must be at most 4294967295, found 9223372036854775807",
                  "9223372036854775807"},
                 {"E type", std::string("stable_id 'A") + kStableIdRule, "\"A\""}}},
        bad_stable_id("stable_id_one_char", "a"),
        bad_stable_id("stable_id_33_chars", "abcdefghijabcdefghijabcdefghijabc"),
        good_stable_id("stable_id_32_chars", "abcdefghij-bcdefghij0123456789xy"),
        bad_stable_id("stable_id_upper_case", "Ledger"),
        bad_stable_id("stable_id_leading_hyphen", "-ledger"),
        bad_stable_id("stable_id_trailing_hyphen", "ledger-"),
        bad_stable_id("stable_id_underscore", "led_ger"),
        bad_stable_id("stable_id_empty", ""),
        bad_stable_id("stable_id_non_ascii", "caf\xC3\xA9"),
        RowCase{"stable_id_read_as_decoded",
                {{"\"payment-ledger\"", "\"a\\\"b\""}},
                {{"E type", std::string("stable_id 'a\"b") + kStableIdRule,
                  "\"a\\"}}},
        good_stable_id("stable_id_two_chars", "ab"),
        good_stable_id("stable_id_inner_hyphen", "a-b"),
        good_stable_id("stable_id_digits", "0--9"),
        RowCase{"hash_mixed_case_hex", {{"\"00ff\"", "\"a1B2\""}}, {}},
        RowCase{"hash_empty", {{"\"00ff\"", "\"\""}}, {}},
        RowCase{"hash_bad_once",
                {{"\"00ff\"", "\"ggzz-00\""}},
                {{"E type", "semantic_hash 'ggzz-00' is not valid hexadecimal",
                  "\"ggzz-00\""}}},
        RowCase{"hash_bare_timestamp",
                {{"\"00ff\"", "2024-01-15T10:30:00Z"}},
                {{"E type",
                  "semantic_hash '2024-01-15T10:30:00Z' is not valid hexadecimal",
                  "2024-01-15T10:30:00Z", 2}}},
        // Purpose: the parser refuses a confidence outside [0, 1].
        RowCase{"confidence_bounds",
                {{"confidence_level: 0.9", "confidence_level: 1.0"}}, {}},
        RowCase{"confidence_zero",
                {{"confidence_level: 0.9", "confidence_level: 0."}}, {}},
        RowCase{"narrative_500",
                {{"\"Keeps a balance\"", "\"" + repeat("x", 500) + "\""}}, {}},
        RowCase{"narrative_501",
                {{"\"Keeps a balance\"", "\"" + repeat("x", 501) + "\""}},
                {{"W type",
                  "narrative exceeds recommended 500 character limit (501 chars)",
                  "\"xxx"}}},
        RowCase{"narrative_escapes_count_once",
                {{"\"Keeps a balance\"", "\"" + repeat("\\\"", 501) + "\""}},
                {{"W type",
                  "narrative exceeds recommended 500 character limit (501 chars)",
                  "\"\\\"\\\""}}},
        RowCase{"narrative_300_chars_600_bytes",
                {{"\"Keeps a balance\"", "\"" + repeat("\xC3\xA9", 300) + "\""}},
                {}},
        RowCase{"narrative_counts_characters",
                {{"\"Keeps a balance\"",
                  "\"" + repeat("\xF0\x9F\x99\x82", 600) + "\""}},
                {{"W type",
                  "narrative exceeds recommended 500 character limit (600 chars)",
                  "\"\xF0\x9F\x99\x82"}}},
        // Types of state fields, then of parameters.
        RowCase{"state_and_parameter_types",
                {{"owner_id: String }",
                  "owner_id: String, rates: Map<Float, String>, tags: Enum [] }"},
                 {"{ amount: Integer }", "{ amount: Integer, n: Integer = 0.5 }"}},
                {{"E type",
                  "Float cannot be used as Map key type (non-deterministic "
                  "equality)",
                  "Map<"},
                 {"E type", "Enum type must have at least one variant", "Enum"},
                 {"E type", "default value for 'n' has type Float, expected Integer",
                  "0.5"}}},
        RowCase{"state_default_after_own_type",
                {{"balance: Integer = 0", "balance: Enum [\"a\", \"a\"] = 1"}},
                {{"E type", "duplicate Enum variant 'a'", "\"a\"", 2},
                 {"E type",
                  "default value for 'balance' has type Integer, expected Enum",
                  "= |1"}}},
        // Resource limits.
        RowCase{"all_limits_zero",
                {{"max_memory_bytes: 1024", "max_memory_bytes: 0"},
                 {"computation_timeout_ms: 100", "computation_timeout_ms: 0"},
                 {"max_state_size_bytes: 4096", "max_state_size_bytes: 0"}},
                {{"E type", "max_memory_bytes must be positive, found 0",
                  "max_memory_bytes: |0"},
                 {"E type", "computation_timeout_ms must be positive, found 0",
                  "computation_timeout_ms: |0"},
                 {"E type", "max_state_size_bytes must be positive, found 0",
                  "max_state_size_bytes: |0"}}},
        RowCase{"limit_one_passes",
                {{"max_state_size_bytes: 4096", "max_state_size_bytes: 1"}}, {}},
        // Invariants.
        RowCase{"invariant_of_stop_words_and_numbers",
                {{"[\"balance >= 0\"]", "[\"balance >= 0\", \"0 < 1 and true\"]"}},
                {{"W invariant",
                  "invariant '0 < 1 and true' does not reference any declared "
                  "state fields",
                  "\"0 < 1"}}},
        RowCase{"invariant_names_are_case_sensitive",
                {{"\"balance >= 0\"", "\"Balance >= 0\""}},
                {{"W invariant",
                  "invariant 'Balance >= 0' does not reference any declared "
                  "state fields",
                  "\"Balance"}}},
        RowCase{"invariant_any_field_suffices",
                {{"\"balance >= 0\"", "\"limit_x > 0 or owner_id\""}}, {}},
        RowCase{"invariant_without_identifiers",
                {{"\"balance >= 0\"", "\"1 + 1 == 2\""}},
                {{"W invariant",
                  "invariant '1 + 1 == 2' does not reference any declared "
                  "state fields",
                  "\"1 + 1"}}},
        RowCase{"empty_invariant_not_reported",
                {{"\"balance >= 0\"", "\"\""}}, {}},
        // The postcondition names balance only, which has no underscore:
        // no reference warning either.
        RowCase{"no_state_no_invariant_reports",
                {{"{ balance: Integer = 0, owner_id: String }", "{}"},
                 {"\"balance >= 0\"", "\"0 < 1\""}},
                {}},
        RowCase{"invariant_repeated_three_times",
                {{"[\"balance >= 0\"]",
                  "[\"rand(x) > 1\", \"rand(x) > 1\", \"rand(x) > 1\"]"}},
                {{"W invariant",
                  "invariant 'rand(x) > 1' does not reference any declared "
                  "state fields",
                  "\"rand", 1},
                 {"W invariant",
                  "invariant 'rand(x) > 1' does not reference any declared "
                  "state fields",
                  "\"rand", 2},
                 {"W invariant",
                  "invariant 'rand(x) > 1' does not reference any declared "
                  "state fields",
                  "\"rand", 3},
                 {"W invariant", "duplicate invariant: 'rand(x) > 1'", "\"rand", 2},
                 {"W invariant", "duplicate invariant: 'rand(x) > 1'", "\"rand", 3},
                 {"E determinism",
                  "random function call detected in invariant: text contains "
                  "'rand('",
                  "\"rand", 1},
                 {"E determinism",
                  "random function call detected in invariant: text contains "
                  "'rand('",
                  "\"rand", 2},
                 {"E determinism",
                  "random function call detected in invariant: text contains "
                  "'rand('",
                  "\"rand", 3}}},
        // Determinism: operations' texts in order, then invariants.
        RowCase{"determinism_contexts",
                {{"\"deposit\"", "\"draw\""},
                 {"\"amount > 0\"", "\"socket open\""},
                 {"\"balance == balance + amount\"", "\"amount == Math.random()\""},
                 {"[\"balance updated\"]",
                  "[\"balance updated\", \"log(Date.now())\"]"},
                 {"\"not idempotent\"", "\"uses HashSet\""},
                 {"[\"balance >= 0\"]",
                  "[\"balance >= 0\", \"balance < fetch(limit)\"]"}},
                {{"E determinism",
                  "external I/O detected in operation 'draw' precondition: "
                  "text contains 'socket'",
                  "\"socket"},
                 {"E determinism",
                  "randomness usage detected in operation 'draw' postcondition: "
                  "text contains 'random'",
                  "\"amount =="},
                 {"E determinism",
                  "random function call detected in operation 'draw' "
                  "postcondition: text contains 'Math.random'",
                  "\"amount =="},
                 {"E determinism",
                  "system time access detected in operation 'draw' "
                  "side_effect: text contains 'now()'",
                  "\"log("},
                 {"E determinism",
                  "system time access detected in operation 'draw' "
                  "side_effect: text contains 'Date.now'",
                  "\"log("},
                 {"E determinism",
                  "non-deterministic hash iteration detected in operation "
                  "'draw' idempotence: text contains 'HashSet'",
                  "\"uses"},
                 {"E determinism",
                  "external I/O detected in invariant: text contains 'fetch('",
                  "\"balance < fetch"}}},
        RowCase{"narrative_and_other_texts_not_scanned",
                {{"\"Keeps a balance\"", "\"random socket\""},
                 {"\"finance team\"", "\"rand(\""},
                 {"\"treasury\"", "\"HashMap\""},
                 {"system_refusals: []", "system_refusals: [\"no read_file\"]"},
                 {"external_permissions: []",
                  "external_permissions: [\"network_call\"]"},
                 {"owner_id: String }",
                  "owner_id: String, random_seed: Integer = \"now()\" }"},
                 add_extensions("Extensions { current_time { } }")},
                // Only the default's type is judged.
                {{"E type",
                  "default value for 'random_seed' has type String, expected "
                  "Integer",
                  "\"now()\""}}},
        // Coherence.
        RowCase{"duplicate_operations",
                {{"\"deposit\"", "\"transfer\""},
                 {"\"amount > 0\"", "\"new_total > 0\""},
                 add_operation("{ name: \"transfer\" precondition: \"new_total > "
                               "0\" parameters: {} postcondition: \"random_x\" "
                               "side_effects: [] idempotence: \"idempotent\" }")},
                {{"E determinism",
                  "randomness usage detected in operation 'transfer' "
                  "postcondition: text contains 'random'",
                  "\"random_x\""},
                 {"E coherence", "duplicate operation name 'transfer'",
                  "\"transfer\"", 2},
                 {"W coherence",
                  "precondition of 'transfer" + kInvalidRef + "new_total'",
                  "\"new_total", 1},
                 {"W coherence",
                  "precondition of 'transfer" + kInvalidRef + "new_total'",
                  "\"new_total", 2},
                 {"W coherence",
                  "postcondition of 'transfer" + kInvalidRef + "random_x'",
                  "\"random_x\""}}},
        RowCase{"duplicate_state_fields",
                {{"owner_id: String }",
                  "owner_id: String, balance: Float, balance: String }"}},
                {{"E coherence", "duplicate state field name 'balance'",
                  "balance: F"},
                 {"E coherence", "duplicate state field name 'balance'",
                  "balance: S"}}},
        RowCase{"sandbox_mode_wrong_case",
                {{"\"full_isolation\"", "\"Full_Isolation\""}},
                {{"W coherence",
                  std::string("unrecognized sandbox_mode 'Full_Isolation', "
                              "expected one of: ") +
                      kSandboxAllowed,
                  "\"Full_Isolation\""}}},
        RowCase{"sandbox_modes_allowed",
                {{"\"full_isolation\"", "\"none\""},
                 {"[\"manual\"]", "[\"manual\", \"time_based\", \"event_based\"]"}},
                {}},
        RowCase{"sandbox_restricted", {{"\"full_isolation\"", "\"restricted\""}},
                {}},
        RowCase{"trigger_types_each_entry",
                {{"[\"manual\"]", "[\"manual\", \"cron\", \"cron\"]"}},
                {{"W coherence",
                  std::string("unrecognized trigger_type 'cron', expected one "
                              "of: ") +
                      kTriggerAllowed,
                  "\"cron\"", 1},
                 {"W coherence",
                  std::string("unrecognized trigger_type 'cron', expected one "
                              "of: ") +
                      kTriggerAllowed,
                  "\"cron\"", 2}}},
        RowCase{"sandbox_before_triggers",
                {{"[\"manual\"]", "[\"Manual\"]"}, {"\"full_isolation\"", "\"\""}},
                {{"W coherence",
                  std::string("unrecognized sandbox_mode '', expected one of: ") +
                      kSandboxAllowed,
                  "\"\""},
                 {"W coherence",
                  std::string("unrecognized trigger_type 'Manual', expected one "
                              "of: ") +
                      kTriggerAllowed,
                  "\"Manual\""}}},
        RowCase{"references_known_and_unknown",
                {add_operation(
                    "{ name: \"pay\" precondition: \"amount_due > 0 and balance > "
                    "amount_due\" parameters: { amount_due: Integer } "
                    "postcondition: \"new_total == balance - amount_due and "
                    "new_total >= 0 and Total_Sum > total and owner_id\" "
                    "side_effects: [] idempotence: \"no\" }")},
                {{"W coherence", "postcondition of 'pay" + kInvalidRef + "new_total'",
                  "\"new_total"},
                 {"W coherence", "postcondition of 'pay" + kInvalidRef + "new_total'",
                  "\"new_total"}}},
        RowCase{"references_precondition_first",
                {{"\"amount > 0\"", "\"b_1 > a_2\""},
                 {"\"balance == balance + amount\"", "\"c_3 > 0\""}},
                {{"W coherence", "precondition of 'deposit" + kInvalidRef + "b_1'",
                  "\"b_1"},
                 {"W coherence", "precondition of 'deposit" + kInvalidRef + "a_2'",
                  "\"b_1"},
                 {"W coherence", "postcondition of 'deposit" + kInvalidRef + "c_3'",
                  "\"c_3"}}},
        RowCase{"references_other_operations_parameters_unknown",
                {{"\"balance == balance + amount\"", "\"fee_rate == 0\""},
                 add_operation("{ name: \"charge\" precondition: \"fee_rate > 0\" "
                               "parameters: { fee_rate: Float } postcondition: "
                               "\"x\" side_effects: [] idempotence: \"no\" }")},
                {{"W coherence",
                  "postcondition of 'deposit" + kInvalidRef + "fee_rate'",
                  "\"fee_rate =="}}},
        RowCase{"references_side_effects_not_checked",
                {{"[\"balance updated\"]",
                  "[\"balance updated\", \"audit_log appended\"]"},
                 {"\"not idempotent\"", "\"per_request_id\""},
                 {"\"balance >= 0\"", "\"balance >= min_x\""}},
                {}},
        RowCase{"duplicate_extensions",
                {add_extensions("Extensions { audit { } metrics { } audit { } }")},
                {{"E coherence", "duplicate extension namespace 'audit'", "audit",
                  2}}},
        RowCase{"empty_extensions", {add_extensions("Extensions { }")}, {}}),
    [](const ::testing::TestParamInfo<RowCase>& info) {
      return info.param.name;
    });

// ---- Order across checks -------------------------------------------------------

// A contract that trips every check once; the findings must come out in the
// fixed order of the checks, not in source order.
TEST(VerifierDriver, FindingsFollowCheckOrder) {
  const std::string text = edited(
      kClean,
      {{"version: 3", "version: 4294967296"},
       {"\"payment-ledger\"", "\"X\""},
       {"\"00ff\"", "\"xyz\""},
       {"\"Keeps a balance\"", "\"" + repeat("n", 501) + "\""},
       {"balance: Integer = 0, owner_id: String }",
        "balance: Integer = \"zero\", owner_id: String, balance: Integer }"},
       {"[\"balance >= 0\"]", "[\"balance >= 0\", \"balance >= 0\", \"7 > 3\"]"},
       {"{ amount: Integer }", "{ amount: Integer = true }"},
       add_operation("{ name: \"deposit\" precondition: \"unknown_field\" "
                     "parameters: {} postcondition: \"now()\" side_effects: [] "
                     "idempotence: \"x\" }"),
       {"[\"manual\"]", "[\"cron\"]"},
       {"max_memory_bytes: 1024", "max_memory_bytes: 0"},
       {"\"full_isolation\"", "\"open\""},
       add_extensions("Extensions { x { } x { } }")});
  const std::vector<std::pair<DiagnosticKind, std::string>> expected = {
      {kType, "version must be at most 4294967295, found 4294967296"},
      {kType, std::string("stable_id 'X") + kStableIdRule},
      {kType, "semantic_hash 'xyz' is not valid hexadecimal"},
      {kType, "narrative exceeds recommended 500 character limit (501 chars)"},
      {kType, "default value for 'balance' has type String, expected Integer"},
      {kType, "default value for 'amount' has type Boolean, expected Integer"},
      {kType, "max_memory_bytes must be positive, found 0"},
      {kInvariant,
       "invariant '7 > 3' does not reference any declared state fields"},
      {kInvariant, "duplicate invariant: 'balance >= 0'"},
      {kDeterminism,
       "system time access detected in operation 'deposit' postcondition: "
       "text contains 'now()'"},
      {kCoherence, "duplicate operation name 'deposit'"},
      {kCoherence, "duplicate state field name 'balance'"},
      {kCoherence,
       "unrecognized sandbox_mode 'open', expected one of: full_isolation, "
       "restricted, none"},
      {kCoherence,
       "unrecognized trigger_type 'cron', expected one of: manual, "
       "time_based, event_based"},
      {kCoherence,
       "precondition of 'deposit' references unknown field 'unknown_field'"},
      {kCoherence, "duplicate extension namespace 'x'"},
  };
  const Result<SyntaxTree> tree = parse_tree(text);
  ASSERT_TRUE(tree.ok()) << tree.error().to_string();
  const VerificationResult result = verify(*tree);
  std::vector<std::pair<DiagnosticKind, std::string>> actual;
  for (const Diagnostic& d : result.diagnostics()) {
    actual.emplace_back(d.kind, d.message);
    EXPECT_TRUE(d.span.has_value());
  }
  EXPECT_EQ(actual, expected);
  EXPECT_FALSE(result.is_valid());
  EXPECT_EQ(result.warnings().size(), 6u);
  EXPECT_EQ(result.errors().size(), 10u);
}

TEST(VerifierDriver, WarningsOnlyIsValid) {
  const std::string text =
      edited(kClean, {{"\"full_isolation\"", "\"Full_Isolation\""},
                      {"[\"balance >= 0\"]", "[\"balance >= 0\", \"balance >= 0\"]"}});
  const Result<SyntaxTree> tree = parse_tree(text);
  ASSERT_TRUE(tree.ok());
  const VerificationResult result = verify(*tree);
  EXPECT_EQ(result.warnings().size(), 2u);
  EXPECT_TRUE(result.errors().empty());
  EXPECT_TRUE(result.is_valid());
}

// ---- Result queries ---------------------------------------------------------------

Diagnostic make(Severity severity, DiagnosticKind kind, std::string message) {
  return Diagnostic{severity, kind, std::move(message), Span{1, 1, 0}};
}

TEST(VerificationResultTest, ErrorsAndWarningsKeepListOrder) {
  VerificationResult r;
  r.add(make(Severity::kWarning, kCoherence, "w1"));
  r.add(make(Severity::kError, kType, "e1"));
  r.add(make(Severity::kWarning, kInvariant, "w2"));
  const auto errors = r.errors();
  const auto warnings = r.warnings();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]->message, "e1");
  EXPECT_EQ(errors[0], &r.diagnostics()[1]);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0]->message, "w1");
  EXPECT_EQ(warnings[1]->message, "w2");
  EXPECT_FALSE(r.is_valid());
}

TEST(VerificationResultTest, EmptyAndWarningOnlyAreValid) {
  VerificationResult r;
  EXPECT_TRUE(r.is_valid());
  r.add(make(Severity::kWarning, kType, "w"));
  EXPECT_TRUE(r.is_valid());
  r.add(make(Severity::kError, kDeterminism, "e"));
  EXPECT_FALSE(r.is_valid());
}

TEST(VerificationResultTest, KindNames) {
  EXPECT_STREQ(diagnostic_kind_name(kType), "type");
  EXPECT_STREQ(diagnostic_kind_name(kInvariant), "invariant");
  EXPECT_STREQ(diagnostic_kind_name(kDeterminism), "determinism");
  EXPECT_STREQ(diagnostic_kind_name(kCoherence), "coherence");
}

// ---- Verification JSON -------------------------------------------------------------

struct JsonCase {
  const char* name;
  std::vector<Diagnostic> diagnostics;
  const char* expected;
};

class VerificationJsonTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(VerificationJsonTest, Renders) {
  VerificationResult r;
  for (const Diagnostic& d : GetParam().diagnostics) r.add(d);
  std::string out;
  write_verification_json(r, out);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    VerificationJson, VerificationJsonTest,
    ::testing::Values(
        JsonCase{"empty",
                 {},
                 "{\n"
                 "  \"errors\": [],\n"
                 "  \"valid\": true,\n"
                 "  \"warnings\": []\n"
                 "}"},
        JsonCase{"warnings_only",
                 {make(Severity::kWarning, kCoherence,
                       "unrecognized sandbox_mode 'x'"),
                  make(Severity::kWarning, kInvariant, "duplicate invariant: 'a'")},
                 "{\n"
                 "  \"errors\": [],\n"
                 "  \"valid\": true,\n"
                 "  \"warnings\": [\n"
                 "    {\n"
                 "      \"kind\": \"coherence\",\n"
                 "      \"message\": \"unrecognized sandbox_mode 'x'\",\n"
                 "      \"severity\": \"warning\"\n"
                 "    },\n"
                 "    {\n"
                 "      \"kind\": \"invariant\",\n"
                 "      \"message\": \"duplicate invariant: 'a'\",\n"
                 "      \"severity\": \"warning\"\n"
                 "    }\n"
                 "  ]\n"
                 "}"},
        JsonCase{"interleaved",
                 {make(Severity::kWarning, kType, "w1"),
                  make(Severity::kError, kDeterminism, "e1"),
                  make(Severity::kWarning, kCoherence, "w2"),
                  make(Severity::kError, kType, "e2")},
                 "{\n"
                 "  \"errors\": [\n"
                 "    {\n"
                 "      \"kind\": \"determinism\",\n"
                 "      \"message\": \"e1\",\n"
                 "      \"severity\": \"error\"\n"
                 "    },\n"
                 "    {\n"
                 "      \"kind\": \"type\",\n"
                 "      \"message\": \"e2\",\n"
                 "      \"severity\": \"error\"\n"
                 "    }\n"
                 "  ],\n"
                 "  \"valid\": false,\n"
                 "  \"warnings\": [\n"
                 "    {\n"
                 "      \"kind\": \"type\",\n"
                 "      \"message\": \"w1\",\n"
                 "      \"severity\": \"warning\"\n"
                 "    },\n"
                 "    {\n"
                 "      \"kind\": \"coherence\",\n"
                 "      \"message\": \"w2\",\n"
                 "      \"severity\": \"warning\"\n"
                 "    }\n"
                 "  ]\n"
                 "}"},
        JsonCase{"escapes",
                 {make(Severity::kError, kInvariant,
                       "say \"hi\"\nback\\slash\ttab\x01 caf\xC3\xA9")},
                 "{\n"
                 "  \"errors\": [\n"
                 "    {\n"
                 "      \"kind\": \"invariant\",\n"
                 "      \"message\": \"say \\\"hi\\\"\\nback\\\\slash\\ttab"
                 "\\u0001 caf\xC3\xA9\",\n"
                 "      \"severity\": \"error\"\n"
                 "    }\n"
                 "  ],\n"
                 "  \"valid\": false,\n"
                 "  \"warnings\": []\n"
                 "}"}),
    [](const ::testing::TestParamInfo<JsonCase>& info) {
      return std::string(info.param.name);
    });

TEST(VerificationJson, AppendsToExistingText) {
  std::string out = "prefix:";
  write_verification_json(VerificationResult{}, out);
  EXPECT_EQ(out,
            "prefix:{\n  \"errors\": [],\n  \"valid\": true,\n"
            "  \"warnings\": []\n}");
}

}  // namespace
}  // namespace qel
