// The verification driver on hand-built trees (each check, its message,
// severity, kind and position, and the order across checks), the result's
// queries and the verification JSON.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "qel/ast.h"
#include "qel/verifier.h"
#include "verifier_test_trees.h"

namespace qel {
namespace {

using namespace qel::testing_trees;  // NOLINT: test-only builders

constexpr DiagnosticKind kType = DiagnosticKind::kType;
constexpr DiagnosticKind kInvariant = DiagnosticKind::kInvariant;
constexpr DiagnosticKind kDeterminism = DiagnosticKind::kDeterminism;
constexpr DiagnosticKind kCoherence = DiagnosticKind::kCoherence;

Expected err(DiagnosticKind kind, std::string message, Span span) {
  return Expected{Severity::kError, kind, std::move(message), span};
}

Expected warn(DiagnosticKind kind, std::string message, Span span) {
  return Expected{Severity::kWarning, kind, std::move(message), span};
}

TEST(VerifierDriver, CleanContractHasNoFindings) {
  const VerificationResult result = verify(clean_contract());
  EXPECT_TRUE(result.diagnostics().empty());
  EXPECT_TRUE(result.is_valid());
}

// ---- One check at a time ----------------------------------------------------

struct RowCase {
  const char* name;
  // Changes the clean contract and returns what verify must report.
  std::vector<Expected> (*apply)(ContractNode&);
};

class VerifierRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(VerifierRowTest, Reports) {
  ContractNode tree = clean_contract();
  const std::vector<Expected> expected = GetParam().apply(tree);
  EXPECT_EQ(summarize(verify(tree)), expected);
}

std::vector<Expected> stable_id_error(ContractNode& c, const char* id) {
  c.identity.stable_id.value = id;
  return {err(kType,
              std::string("stable_id '") + id +
                  "' does not match required pattern "
                  "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]",
              c.identity.stable_id.span)};
}

std::vector<Expected> confidence_error(ContractNode& c, double value,
                                       const char* shown) {
  c.purpose_statement.confidence_level.value = value;
  return {err(kType,
              std::string("confidence_level must be in range [0.0, 1.0], "
                          "found ") +
                  shown,
              c.purpose_statement.confidence_level.span)};
}

std::string repeat(const char* unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const char* const kSandboxAllowed = "full_isolation, restricted, none";
const char* const kTriggerAllowed = "manual, time_based, event_based";

INSTANTIATE_TEST_SUITE_P(
    VerifierDriver, VerifierRowTest,
    ::testing::Values(
        // Identity.
        RowCase{"negative_version",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.version.value = -7;
                  return {err(kType, "version must be non-negative, found -7",
                              c.identity.version.span)};
                }},
        RowCase{"version_zero",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.version.value = 0;
                  return {};
                }},
        RowCase{"version_at_32_bit_limit",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.version.value = 4294967295;
                  return {};
                }},
        RowCase{"version_above_32_bits",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.version.value = 4294967296;
                  return {err(kType,
                              "version must be at most 4294967295, found "
                              "4294967296",
                              c.identity.version.span)};
                }},
        RowCase{"version_limit_before_stable_id",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.version.value = 9223372036854775807;
                  c.identity.stable_id.value = "A";
                  return {err(kType,
                              "version must be at most 4294967295, found "
                              "9223372036854775807",
                              c.identity.version.span),
                          err(kType,
                              "stable_id 'A' does not match required pattern "
                              "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]",
                              c.identity.stable_id.span)};
                }},
        RowCase{"stable_id_one_char",
                [](ContractNode& c) { return stable_id_error(c, "a"); }},
        RowCase{"stable_id_33_chars",
                [](ContractNode& c) {
                  return stable_id_error(
                      c, "abcdefghijabcdefghijabcdefghijabc");
                }},
        RowCase{"stable_id_32_chars",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.stable_id.value =
                      "abcdefghij-bcdefghij0123456789xy";
                  return {};
                }},
        RowCase{"stable_id_upper_case",
                [](ContractNode& c) { return stable_id_error(c, "Ledger"); }},
        RowCase{"stable_id_leading_hyphen",
                [](ContractNode& c) { return stable_id_error(c, "-ledger"); }},
        RowCase{"stable_id_trailing_hyphen",
                [](ContractNode& c) { return stable_id_error(c, "ledger-"); }},
        RowCase{"stable_id_underscore",
                [](ContractNode& c) { return stable_id_error(c, "led_ger"); }},
        RowCase{"stable_id_empty",
                [](ContractNode& c) { return stable_id_error(c, ""); }},
        RowCase{"stable_id_non_ascii",
                [](ContractNode& c) {
                  return stable_id_error(c, "caf\xC3\xA9");
                }},
        RowCase{"stable_id_two_chars",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.stable_id.value = "ab";
                  return {};
                }},
        RowCase{"stable_id_inner_hyphen",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.stable_id.value = "a-b";
                  return {};
                }},
        RowCase{"stable_id_digits",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.stable_id.value = "0--9";
                  return {};
                }},
        RowCase{"hash_mixed_case_hex",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.semantic_hash.value = "a1B2";
                  return {};
                }},
        RowCase{"hash_empty",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.semantic_hash.value = "";
                  return {};
                }},
        RowCase{"hash_bad_once",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.identity.semantic_hash.value = "ggzz-00";
                  return {err(kType,
                              "semantic_hash 'ggzz-00' is not valid hexadecimal",
                              c.identity.semantic_hash.span)};
                }},
        // Purpose.
        RowCase{"confidence_above",
                [](ContractNode& c) { return confidence_error(c, 1.5, "1.5"); }},
        RowCase{"confidence_whole",
                [](ContractNode& c) { return confidence_error(c, 2.0, "2"); }},
        RowCase{"confidence_negative",
                [](ContractNode& c) {
                  return confidence_error(c, -0.25, "-0.25");
                }},
        RowCase{"confidence_nan",
                [](ContractNode& c) { return confidence_error(c, kNaN, "NaN"); }},
        RowCase{"confidence_inf",
                [](ContractNode& c) { return confidence_error(c, kInf, "inf"); }},
        RowCase{"confidence_large_no_exponent",
                [](ContractNode& c) {
                  return confidence_error(c, 1e21, "1000000000000000000000");
                }},
        RowCase{"confidence_tiny_no_exponent",
                [](ContractNode& c) {
                  return confidence_error(c, -1e-7, "-0.0000001");
                }},
        RowCase{"confidence_bounds",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.purpose_statement.confidence_level.value = 1.0;
                  return {};
                }},
        RowCase{"confidence_zero",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.purpose_statement.confidence_level.value = 0.0;
                  return {};
                }},
        RowCase{"narrative_500",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.purpose_statement.narrative.value = repeat("x", 500);
                  return {};
                }},
        RowCase{"narrative_501",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.purpose_statement.narrative.value = repeat("x", 501);
                  return {warn(kType,
                               "narrative exceeds recommended 500 character "
                               "limit (501 chars)",
                               c.purpose_statement.narrative.span)};
                }},
        RowCase{"narrative_300_chars_600_bytes",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.purpose_statement.narrative.value = repeat("\xC3\xA9", 300);
                  return {};
                }},
        RowCase{"narrative_counts_characters",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.purpose_statement.narrative.value =
                      repeat("\xF0\x9F\x99\x82", 600);
                  return {warn(kType,
                               "narrative exceeds recommended 500 character "
                               "limit (600 chars)",
                               c.purpose_statement.narrative.span)};
                }},
        // Types of state fields, then of parameters.
        RowCase{"state_and_parameter_types",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.data_semantics.state.push_back(field(
                      "rates",
                      map_of(prim(PrimitiveType::kFloat),
                             prim(PrimitiveType::kString))));
                  c.behavioral_semantics.operations[0].parameters.push_back(
                      field("n", prim(PrimitiveType::kInteger),
                            float_lit(0.5)));
                  c.data_semantics.state.push_back(
                      field("tags", enum_of({})));
                  const auto& state = c.data_semantics.state;
                  return {
                      err(kType,
                          "Float cannot be used as Map key type "
                          "(non-deterministic equality)",
                          state[2].type.span),
                      err(kType, "Enum type must have at least one variant",
                          state[3].type.span),
                      err(kType,
                          "default value for 'n' has type Float, expected "
                          "Integer",
                          c.behavioral_semantics.operations[0]
                              .parameters[1]
                              .default_value->span)};
                }},
        RowCase{"state_default_after_own_type",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.data_semantics.state[0] =
                      field("balance", enum_of({"a", "a"}), int_lit(1));
                  const StateFieldNode& f = c.data_semantics.state[0];
                  return {err(kType, "duplicate Enum variant 'a'",
                              f.type.variants[1].span),
                          err(kType,
                              "default value for 'balance' has type Integer, "
                              "expected Enum",
                              f.default_value->span)};
                }},
        // Resource limits.
        RowCase{"all_limits_zero",
                [](ContractNode& c) -> std::vector<Expected> {
                  auto& l = c.execution_constraints.resource_limits;
                  l.max_memory_bytes.value = 0;
                  l.computation_timeout_ms.value = 0;
                  l.max_state_size_bytes.value = 0;
                  return {
                      err(kType, "max_memory_bytes must be positive, found 0",
                          l.max_memory_bytes.span),
                      err(kType,
                          "computation_timeout_ms must be positive, found 0",
                          l.computation_timeout_ms.span),
                      err(kType,
                          "max_state_size_bytes must be positive, found 0",
                          l.max_state_size_bytes.span)};
                }},
        RowCase{"negative_limit",
                [](ContractNode& c) -> std::vector<Expected> {
                  auto& l = c.execution_constraints.resource_limits;
                  l.computation_timeout_ms.value = -5;
                  return {err(kType,
                              "computation_timeout_ms must be positive, found "
                              "-5",
                              l.computation_timeout_ms.span)};
                }},
        RowCase{"limit_one_passes",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.execution_constraints.resource_limits.max_state_size_bytes
                      .value = 1;
                  return {};
                }},
        // Invariants.
        RowCase{"invariant_of_stop_words_and_numbers",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.data_semantics.invariants.push_back(
                      text("0 < 1 and true"));
                  const SpannedText& inv = c.data_semantics.invariants[1];
                  return {warn(kInvariant,
                               "invariant '0 < 1 and true' does not reference "
                               "any declared state fields",
                               inv.span)};
                }},
        RowCase{"invariant_names_are_case_sensitive",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.data_semantics.invariants[0].value = "Balance >= 0";
                  return {warn(kInvariant,
                               "invariant 'Balance >= 0' does not reference "
                               "any declared state fields",
                               c.data_semantics.invariants[0].span)};
                }},
        RowCase{"invariant_any_field_suffices",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.data_semantics.invariants[0].value =
                      "limit_x > 0 or owner_id";
                  return {};
                }},
        RowCase{"invariant_without_identifiers",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.data_semantics.invariants[0].value = "1 + 1 == 2";
                  return {warn(kInvariant,
                               "invariant '1 + 1 == 2' does not reference "
                               "any declared state fields",
                               c.data_semantics.invariants[0].span)};
                }},
        RowCase{"empty_invariant_not_reported",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.data_semantics.invariants[0].value = "";
                  return {};
                }},
        RowCase{"no_state_no_invariant_reports",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.data_semantics.state.clear();
                  c.data_semantics.invariants[0].value = "0 < 1";
                  // The deposit operation's postcondition names balance
                  // only, which has no underscore: no reference warning.
                  return {};
                }},
        RowCase{"invariant_repeated_three_times",
                [](ContractNode& c) -> std::vector<Expected> {
                  auto& invs = c.data_semantics.invariants;
                  invs[0].value = "rand(x) > 1";
                  invs.push_back(text("rand(x) > 1"));
                  invs.push_back(text("rand(x) > 1"));
                  const std::string no_ref =
                      "invariant 'rand(x) > 1' does not reference any "
                      "declared state fields";
                  const std::string det =
                      "random function call detected in invariant: text "
                      "contains 'rand('";
                  return {warn(kInvariant, no_ref, invs[0].span),
                          warn(kInvariant, no_ref, invs[1].span),
                          warn(kInvariant, no_ref, invs[2].span),
                          warn(kInvariant, "duplicate invariant: 'rand(x) > 1'",
                               invs[1].span),
                          warn(kInvariant, "duplicate invariant: 'rand(x) > 1'",
                               invs[2].span),
                          err(kDeterminism, det, invs[0].span),
                          err(kDeterminism, det, invs[1].span),
                          err(kDeterminism, det, invs[2].span)};
                }},
        // Determinism: operations' texts in order, then invariants.
        RowCase{"determinism_contexts",
                [](ContractNode& c) -> std::vector<Expected> {
                  OperationNode& op = c.behavioral_semantics.operations[0];
                  op.name.value = "draw";
                  op.precondition.value = "socket open";
                  op.postcondition.value = "amount == Math.random()";
                  op.side_effects.push_back(text("log(Date.now())"));
                  op.idempotence.value = "uses HashSet";
                  c.data_semantics.invariants.push_back(
                      text("balance < fetch(limit)"));
                  return {
                      err(kDeterminism,
                          "external I/O detected in operation 'draw' "
                          "precondition: text contains 'socket'",
                          op.precondition.span),
                      err(kDeterminism,
                          "randomness usage detected in operation 'draw' "
                          "postcondition: text contains 'random'",
                          op.postcondition.span),
                      err(kDeterminism,
                          "random function call detected in operation 'draw' "
                          "postcondition: text contains 'Math.random'",
                          op.postcondition.span),
                      err(kDeterminism,
                          "system time access detected in operation 'draw' "
                          "side_effect: text contains 'now()'",
                          op.side_effects[1].span),
                      err(kDeterminism,
                          "system time access detected in operation 'draw' "
                          "side_effect: text contains 'Date.now'",
                          op.side_effects[1].span),
                      err(kDeterminism,
                          "non-deterministic hash iteration detected in "
                          "operation 'draw' idempotence: text contains "
                          "'HashSet'",
                          op.idempotence.span),
                      err(kDeterminism,
                          "external I/O detected in invariant: text contains "
                          "'fetch('",
                          c.data_semantics.invariants[1].span)};
                }},
        RowCase{"narrative_and_other_texts_not_scanned",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.purpose_statement.narrative.value = "random socket";
                  c.purpose_statement.intent_source.value = "rand(";
                  c.identity.owner.value = "HashMap";
                  c.human_machine_contract.system_refusals.push_back(
                      text("no read_file"));
                  c.execution_constraints.external_permissions.push_back(
                      text("network_call"));
                  c.data_semantics.state.push_back(
                      field("random_seed", prim(PrimitiveType::kInteger),
                            str_lit("now()")));
                  ExtensionsNode ext;
                  SystemExtensionNode sys;
                  sys.name = text("current_time");
                  sys.span = sys.name.span;
                  ext.systems.push_back(std::move(sys));
                  c.extensions = std::move(ext);
                  // Only the default's type is judged.
                  return {err(kType,
                              "default value for 'random_seed' has type "
                              "String, expected Integer",
                              c.data_semantics.state[2].default_value->span)};
                }},
        // Coherence.
        RowCase{"duplicate_operations",
                [](ContractNode& c) -> std::vector<Expected> {
                  auto& ops = c.behavioral_semantics.operations;
                  ops[0].name.value = "transfer";
                  ops[0].precondition.value = "new_total > 0";
                  ops.push_back(operation("transfer", "new_total > 0",
                                          "random_x"));
                  return {
                      err(kDeterminism,
                          "randomness usage detected in operation 'transfer' "
                          "postcondition: text contains 'random'",
                          ops[1].postcondition.span),
                      err(kCoherence, "duplicate operation name 'transfer'",
                          ops[1].name.span),
                      warn(kCoherence,
                           "precondition of 'transfer' references unknown "
                           "field 'new_total'",
                           ops[0].precondition.span),
                      warn(kCoherence,
                           "precondition of 'transfer' references unknown "
                           "field 'new_total'",
                           ops[1].precondition.span),
                      warn(kCoherence,
                           "postcondition of 'transfer' references unknown "
                           "field 'random_x'",
                           ops[1].postcondition.span)};
                }},
        RowCase{"duplicate_state_fields",
                [](ContractNode& c) -> std::vector<Expected> {
                  auto& state = c.data_semantics.state;
                  state.push_back(field("balance", prim(PrimitiveType::kFloat)));
                  state.push_back(field("balance", prim(PrimitiveType::kString)));
                  return {err(kCoherence,
                              "duplicate state field name 'balance'",
                              state[2].name.span),
                          err(kCoherence,
                              "duplicate state field name 'balance'",
                              state[3].name.span)};
                }},
        RowCase{"sandbox_mode_wrong_case",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.execution_constraints.sandbox_mode.value = "Full_Isolation";
                  return {warn(kCoherence,
                               std::string("unrecognized sandbox_mode "
                                           "'Full_Isolation', expected one "
                                           "of: ") +
                                   kSandboxAllowed,
                               c.execution_constraints.sandbox_mode.span)};
                }},
        RowCase{"sandbox_modes_allowed",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.execution_constraints.sandbox_mode.value = "none";
                  c.execution_constraints.trigger_types.push_back(
                      text("time_based"));
                  c.execution_constraints.trigger_types.push_back(
                      text("event_based"));
                  return {};
                }},
        RowCase{"sandbox_restricted",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.execution_constraints.sandbox_mode.value = "restricted";
                  return {};
                }},
        RowCase{"trigger_types_each_entry",
                [](ContractNode& c) -> std::vector<Expected> {
                  auto& triggers = c.execution_constraints.trigger_types;
                  triggers.push_back(text("cron"));
                  triggers.push_back(text("cron"));
                  const std::string msg =
                      std::string("unrecognized trigger_type 'cron', "
                                  "expected one of: ") +
                      kTriggerAllowed;
                  return {warn(kCoherence, msg, triggers[1].span),
                          warn(kCoherence, msg, triggers[2].span)};
                }},
        RowCase{"sandbox_before_triggers",
                [](ContractNode& c) -> std::vector<Expected> {
                  auto& ec = c.execution_constraints;
                  ec.trigger_types[0].value = "Manual";
                  ec.sandbox_mode.value = "";
                  return {
                      warn(kCoherence,
                           std::string("unrecognized sandbox_mode '', "
                                       "expected one of: ") +
                               kSandboxAllowed,
                           ec.sandbox_mode.span),
                      warn(kCoherence,
                           std::string("unrecognized trigger_type 'Manual', "
                                       "expected one of: ") +
                               kTriggerAllowed,
                           ec.trigger_types[0].span)};
                }},
        RowCase{"references_known_and_unknown",
                [](ContractNode& c) -> std::vector<Expected> {
                  std::vector<StateFieldNode> params;
                  params.push_back(
                      field("amount_due", prim(PrimitiveType::kInteger)));
                  auto& ops = c.behavioral_semantics.operations;
                  ops.push_back(operation(
                      "pay", "amount_due > 0 and balance > amount_due",
                      "new_total == balance - amount_due and new_total >= 0 "
                      "and Total_Sum > total and owner_id",
                      std::move(params)));
                  return {warn(kCoherence,
                               "postcondition of 'pay' references unknown "
                               "field 'new_total'",
                               ops[1].postcondition.span),
                          warn(kCoherence,
                               "postcondition of 'pay' references unknown "
                               "field 'new_total'",
                               ops[1].postcondition.span)};
                }},
        RowCase{"references_precondition_first",
                [](ContractNode& c) -> std::vector<Expected> {
                  OperationNode& op = c.behavioral_semantics.operations[0];
                  op.precondition.value = "b_1 > a_2";
                  op.postcondition.value = "c_3 > 0";
                  auto msg = [](const char* which, const char* id) {
                    return std::string(which) + " of 'deposit' references " +
                           "unknown field '" + id + "'";
                  };
                  return {warn(kCoherence, msg("precondition", "b_1"),
                               op.precondition.span),
                          warn(kCoherence, msg("precondition", "a_2"),
                               op.precondition.span),
                          warn(kCoherence, msg("postcondition", "c_3"),
                               op.postcondition.span)};
                }},
        RowCase{"references_other_operations_parameters_unknown",
                [](ContractNode& c) -> std::vector<Expected> {
                  std::vector<StateFieldNode> params;
                  params.push_back(
                      field("fee_rate", prim(PrimitiveType::kFloat)));
                  auto& ops = c.behavioral_semantics.operations;
                  ops.push_back(operation("charge", "fee_rate > 0", "x",
                                          std::move(params)));
                  ops[0].postcondition.value = "fee_rate == 0";
                  return {warn(kCoherence,
                               "postcondition of 'deposit' references unknown "
                               "field 'fee_rate'",
                               ops[0].postcondition.span)};
                }},
        RowCase{"references_side_effects_not_checked",
                [](ContractNode& c) -> std::vector<Expected> {
                  OperationNode& op = c.behavioral_semantics.operations[0];
                  op.side_effects.push_back(text("audit_log appended"));
                  op.idempotence.value = "per_request_id";
                  c.data_semantics.invariants[0].value = "balance >= min_x";
                  return {};
                }},
        RowCase{"duplicate_extensions",
                [](ContractNode& c) -> std::vector<Expected> {
                  ExtensionsNode ext;
                  for (const char* name : {"audit", "metrics", "audit"}) {
                    SystemExtensionNode sys;
                    sys.name = text(name);
                    sys.span = sys.name.span;
                    ext.systems.push_back(std::move(sys));
                  }
                  c.extensions = std::move(ext);
                  return {err(kCoherence,
                              "duplicate extension namespace 'audit'",
                              c.extensions->systems[2].name.span)};
                }},
        RowCase{"empty_extensions",
                [](ContractNode& c) -> std::vector<Expected> {
                  c.extensions = ExtensionsNode{};
                  return {};
                }}),
    [](const ::testing::TestParamInfo<RowCase>& info) {
      return std::string(info.param.name);
    });

// ---- Order across checks -------------------------------------------------------

// A contract that trips every check once; the findings must come out in the
// fixed order of the checks, not in source order.
TEST(VerifierDriver, FindingsFollowCheckOrder) {
  ContractNode c = clean_contract();
  // Written in reverse order of the checks on purpose.
  ExtensionsNode ext;
  for (const char* name : {"x", "x"}) {
    SystemExtensionNode sys;
    sys.name = text(name);
    sys.span = sys.name.span;
    ext.systems.push_back(std::move(sys));
  }
  c.extensions = std::move(ext);
  c.execution_constraints.trigger_types[0].value = "cron";
  c.execution_constraints.sandbox_mode.value = "open";
  c.data_semantics.state.push_back(
      field("balance", prim(PrimitiveType::kInteger)));
  auto& ops = c.behavioral_semantics.operations;
  ops.push_back(operation("deposit", "unknown_field", "now()"));
  c.data_semantics.invariants.push_back(text("balance >= 0"));
  c.data_semantics.invariants.push_back(text("7 > 3"));
  c.execution_constraints.resource_limits.max_memory_bytes.value = 0;
  ops[0].parameters[0].default_value = bool_lit(true);
  c.data_semantics.state[0].default_value = str_lit("zero");
  c.purpose_statement.narrative.value = repeat("n", 501);
  c.purpose_statement.confidence_level.value = 3.5;
  c.identity.semantic_hash.value = "xyz";
  c.identity.stable_id.value = "X";
  c.identity.version.value = -1;

  const std::vector<std::pair<DiagnosticKind, std::string>> expected = {
      {kType, "version must be non-negative, found -1"},
      {kType,
       "stable_id 'X' does not match required pattern "
       "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]"},
      {kType, "semantic_hash 'xyz' is not valid hexadecimal"},
      {kType, "confidence_level must be in range [0.0, 1.0], found 3.5"},
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
  const VerificationResult result = verify(c);
  std::vector<std::pair<DiagnosticKind, std::string>> actual;
  for (const Diagnostic& d : result.diagnostics()) {
    actual.emplace_back(d.kind, d.message);
    EXPECT_TRUE(d.span.has_value());
  }
  EXPECT_EQ(actual, expected);
  EXPECT_FALSE(result.is_valid());
  EXPECT_EQ(result.warnings().size(), 6u);
  EXPECT_EQ(result.errors().size(), 11u);
}

TEST(VerifierDriver, WarningsOnlyIsValid) {
  ContractNode c = clean_contract();
  c.execution_constraints.sandbox_mode.value = "Full_Isolation";
  c.data_semantics.invariants.push_back(text("balance >= 0"));
  const VerificationResult result = verify(c);
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
