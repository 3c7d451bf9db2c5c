// The lint checks and their messages, shared by the driver and its tests.
#ifndef QEL_LINT_LINT_CHECKS_H_
#define QEL_LINT_LINT_CHECKS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qel/syntax_tree.h"
#include "qel/executor.h"
#include "qel/lint.h"
#include "qel/rules.h"
#include "qel/verifier.h"

namespace qel::detail {

// ---- Codes ---------------------------------------------------------------

using rule::kIgnoredParameterDefault;
using rule::kIgnoredStateDefault;
using rule::kInitialStateViolation;
using rule::kUnevaluatedCondition;
using rule::kUnknownConditionField;
using rule::kDuplicateField;
using rule::kTextAfterContract;
using rule::kParameterShadowsState;
using rule::kStaleSemanticHash;

// A lint's finding: always a warning.
inline Diagnostic lint_finding(std::string_view code, std::string message,
                               const Span& span) {
  Diagnostic d{Severity::kWarning, DiagnosticKind::kLint, std::move(message),
               span};
  d.code = code;
  return d;
}

// ---- Checks --------------------------------------------------------------

// L001, L004 and L005 over every precondition, postcondition and invariant;
// findings appended in no particular order.
void lint_conditions(const SyntaxTree& tree, const VerificationResult& verified,
                     std::vector<Diagnostic>& out);

// L002 and L003 over every state field and parameter, nested object fields
// included; findings appended in no particular order.
void lint_defaults(const SyntaxTree& tree, std::vector<Diagnostic>& out);

// L006 over every block with named fields: each earlier occurrence of a
// repeated field, with a note on the one that is used.
void lint_duplicate_fields(const SyntaxTree& tree, std::vector<Diagnostic>& out);

// L007: tokens after the contract and its Extensions section.
void lint_trailing_text(const SyntaxTree& tree, std::vector<Diagnostic>& out);

// L008 over every parameter of every operation.
void lint_shadowed_state(const SyntaxTree& tree, std::vector<Diagnostic>& out);

// L009: a written semantic_hash of 64 hexadecimal digits against the
// computed one.
void lint_semantic_hash(const SyntaxTree& tree, std::vector<Diagnostic>& out);

// ---- Messages ------------------------------------------------------------

// Where a condition was written: an operation's precondition or
// postcondition, or an invariant (no operation).
struct ConditionSite {
  enum class Clause { kPrecondition, kPostcondition, kInvariant };
  Clause clause = Clause::kInvariant;
  std::string_view text;
  const syntax::OperationNode* operation = nullptr;  // null for an invariant
};

std::string unevaluated_condition_message(const ConditionSite& site);
std::string unknown_field_message(const ConditionSite& site,
                                  std::string_view field);
// `start` is the field's value in the initial state.
std::string initial_state_violation_message(const ConditionSite& site,
                                            std::string_view field,
                                            const Value& start);

// `start` is the value the field starts at instead of its default.
std::string ignored_state_default_message(const syntax::StateField& field,
                                          const Value& start);
std::string ignored_parameter_default_message(
    const syntax::OperationNode& operation, const syntax::StateField& parameter);
// A default written for a field of an Object type inside a state field, or
// inside a parameter of `operation`.
std::string ignored_nested_default_message(const syntax::StateField& nested,
                                           const syntax::StateField& owner,
                                           const syntax::OperationNode* operation);

// `text` between single quotes, control characters escaped so that a
// message stays on one line.
void append_quoted(std::string& out, std::string_view text);

// `where` names the block: "Identity", "operation 'withdraw'", ...;
// `used_line` is the line of the occurrence that counts.
std::string duplicate_field_message(std::string_view field,
                                    std::string_view where,
                                    uint64_t used_line);

// `after_extensions`: the contract has an Extensions section, which the
// text follows.
std::string text_after_contract_message(bool after_extensions);
std::string second_extensions_help();
std::string misspelt_extensions_help(std::string_view written,
                                     bool has_extensions);
std::string bare_system_help(std::string_view system, bool has_extensions);

std::string parameter_shadows_state_message(
    const syntax::OperationNode& operation, const syntax::StateField& parameter,
    const syntax::StateField& field);

std::string stale_semantic_hash_message(std::string_view written,
                                        std::string_view computed);

std::string unused_suppression_message(std::string_view code,
                                       uint64_t target_line);
std::string unknown_suppression_code_message(std::string_view code);
std::string empty_suppression_message();

}  // namespace qel::detail

#endif  // QEL_LINT_LINT_CHECKS_H_
