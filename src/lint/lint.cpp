// The lint driver: every check over the tree, findings in source order.
#include "qel/lint.h"

#include <algorithm>
#include <tuple>
#include <vector>

#include "diagnostics/ranges.h"
#include "lint/lint_checks.h"

namespace qel {

std::vector<Diagnostic> lint(const SyntaxTree& tree,
                             const VerificationResult& verified) {
  std::vector<Diagnostic> findings;
  detail::lint_conditions(tree, verified, findings);
  detail::lint_defaults(tree, findings);
  detail::lint_duplicate_fields(tree, findings);
  detail::lint_trailing_text(tree, findings);
  detail::lint_shadowed_state(tree, findings);
  detail::lint_semantic_hash(tree, findings);
  detail::complete_ranges(tree, findings);
  // Stable: findings of one code at one place keep the order of the checks.
  std::stable_sort(findings.begin(), findings.end(),
                   [](const Diagnostic& a, const Diagnostic& b) {
                     return std::tie(a.range.begin, a.code) <
                            std::tie(b.range.begin, b.code);
                   });
  return findings;
}

}  // namespace qel
