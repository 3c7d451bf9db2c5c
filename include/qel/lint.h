// Lints: what a contract states but the run time ignores or cannot check.
// They are warnings for the author, reported by the command line only; the
// verifier's result and every other output stay as they are.
// Pure functions: no state is kept or shared between calls, so any number
// of threads may call them at once.
#ifndef QEL_LINT_H_
#define QEL_LINT_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/syntax_tree.h"
#include "qel/error.h"
#include "qel/span.h"

namespace qel {

// One finding. Its severity is always that of a warning.
struct Lint {
  std::string code;     // a code of lint_rules(), such as "L001"
  std::string message;  // one line, no position text
  Span span;            // the offending literal or name itself

  bool operator==(const Lint&) const = default;
};

// One rule. Codes are stable: once published, a code keeps its meaning.
struct LintRule {
  std::string_view code;     // "L001"
  std::string_view name;     // "condition-never-evaluated"
  std::string_view summary;  // one line: what the run time does
};

// Every rule, in ascending code order.
std::span<const LintRule> lint_rules();

// The rule with exactly this code, or nullptr.
const LintRule* find_lint_rule(std::string_view code);

// The lints of a parsed contract, ordered by line, column, then code. A
// comment "// qel: allow L001, L005" at the end of a finding's line, or
// alone on the line directly above it, silences those codes there, and a
// suppression that silences nothing is itself reported (L100).
std::vector<Lint> lint(const SyntaxTree& tree);

// parse_tree(), then lint(); only a text that does not parse is an Error.
Result<std::vector<Lint>> lint_text(std::string_view text);

}  // namespace qel

#endif  // QEL_LINT_H_
