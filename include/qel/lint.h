// Lints: what a contract states but the run time ignores or cannot check.
// They are warnings for the author, reported by check() only; the
// verifier's result and every other output stay as they are.
// Pure functions: no state is kept or shared between calls, so any number
// of threads may call them at once.
#ifndef QEL_LINT_H_
#define QEL_LINT_H_

#include <vector>

#include "qel/diagnostic.h"
#include "qel/syntax_tree.h"
#include "qel/verifier.h"

namespace qel {

// The lints of a parsed contract, ordered by position, then code; each a
// warning of kind kLint with its code and range. `verified` is the tree's
// verification result: a condition the verifier already warned about is
// not reported again. Suppression comments are check()'s business.
std::vector<Diagnostic> lint(const SyntaxTree& tree,
                             const VerificationResult& verified);

}  // namespace qel

#endif  // QEL_LINT_H_
