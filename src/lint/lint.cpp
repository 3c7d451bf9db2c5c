// The lint catalogue and driver: every check over the tree, suppression
// comments applied, findings in source order.
#include "qel/lint.h"

#include <algorithm>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "lint/checks.h"
#include "qel/parser.h"

namespace qel {

namespace {

// In ascending code order; find_lint_rule relies on it.
constexpr LintRule kRules[] = {
    {detail::kUnevaluatedCondition, "condition-never-evaluated",
     "a precondition, postcondition or invariant in none of the forms the "
     "run time evaluates never fails"},
    {detail::kIgnoredStateDefault, "state-default-ignored",
     "the run time starts a state field of a composite type as null and "
     "never applies its default"},
    {detail::kIgnoredParameterDefault, "parameter-default-ignored",
     "the run time never applies a parameter's default; the parameter is "
     "still required"},
    {detail::kInitialStateViolation, "initial-state-violates-invariant",
     "the initial state breaks an invariant, so every request fails until "
     "one of them sets the fields it needs"},
    {detail::kUnknownConditionField, "unknown-field-in-condition",
     "a checked condition names a field that is neither a state field nor "
     "a parameter of its operation, so it always fails"},
    {detail::kUnusedSuppression, "unused-suppression",
     "a '// qel: allow' comment silences nothing, or names an unknown code"},
};

}  // namespace

std::span<const LintRule> lint_rules() { return kRules; }

const LintRule* find_lint_rule(std::string_view code) {
  const auto it = std::lower_bound(
      std::begin(kRules), std::end(kRules), code,
      [](const LintRule& rule, std::string_view c) { return rule.code < c; });
  if (it == std::end(kRules) || it->code != code) return nullptr;
  return &*it;
}

std::vector<Lint> lint(const SyntaxTree& tree) {
  std::vector<Lint> findings;
  detail::lint_conditions(tree, findings);
  detail::lint_defaults(tree, findings);
  findings = detail::apply_suppressions(std::move(findings), tree);
  // Stable: findings of one code at one place keep the order of the checks.
  std::stable_sort(findings.begin(), findings.end(),
                   [](const Lint& a, const Lint& b) {
                     return std::tie(a.span.line, a.span.column, a.code) <
                            std::tie(b.span.line, b.span.column, b.code);
                   });
  return findings;
}

Result<std::vector<Lint>> lint_text(std::string_view text) {
  QEL_ASSIGN_OR_RETURN(const SyntaxTree tree, parse_tree(text));
  return lint(tree);
}

}  // namespace qel
