// The lint checks and their messages, shared by the driver and its tests.
#ifndef QEL_LINT_CHECKS_H_
#define QEL_LINT_CHECKS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qel/syntax_tree.h"
#include "qel/executor.h"
#include "qel/lint.h"

namespace qel::detail {

// ---- Codes ---------------------------------------------------------------

inline constexpr std::string_view kUnevaluatedCondition = "L001";
inline constexpr std::string_view kIgnoredStateDefault = "L002";
inline constexpr std::string_view kIgnoredParameterDefault = "L003";
inline constexpr std::string_view kInitialStateViolation = "L004";
inline constexpr std::string_view kUnknownConditionField = "L005";
inline constexpr std::string_view kUnusedSuppression = "L100";

// ---- Checks --------------------------------------------------------------

// L001, L004 and L005 over every precondition, postcondition and invariant;
// findings appended in no particular order.
void lint_conditions(const SyntaxTree& tree, std::vector<Lint>& out);

// L002 and L003 over every state field and parameter, nested object fields
// included; findings appended in no particular order.
void lint_defaults(const SyntaxTree& tree, std::vector<Lint>& out);

// Drops the findings that a "// qel: allow" comment of the tree silences
// and adds an L100 finding for every suppression that silences nothing or
// names an unknown code.
std::vector<Lint> apply_suppressions(std::vector<Lint> findings,
                                     const SyntaxTree& tree);

// ---- Messages ------------------------------------------------------------

// Where a condition was written: an operation's precondition or
// postcondition, or an invariant (no operation).
struct ConditionSite {
  enum class Clause { kPrecondition, kPostcondition, kInvariant };
  Clause clause = Clause::kInvariant;
  std::string_view text;
  const syntax::Operation* operation = nullptr;  // null for an invariant
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
    const syntax::Operation& operation, const syntax::StateField& parameter);
// A default written for a field of an Object type inside a state field, or
// inside a parameter of `operation`.
std::string ignored_nested_default_message(const syntax::StateField& nested,
                                           const syntax::StateField& owner,
                                           const syntax::Operation* operation);

std::string unused_suppression_message(std::string_view code,
                                       uint64_t target_line);
std::string unknown_suppression_code_message(std::string_view code);
std::string empty_suppression_message();

}  // namespace qel::detail

#endif  // QEL_LINT_CHECKS_H_
