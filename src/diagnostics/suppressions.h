// "// qel: allow CODE" comments, applied to the findings of one text.
#ifndef QEL_DIAGNOSTICS_SUPPRESSIONS_H_
#define QEL_DIAGNOSTICS_SUPPRESSIONS_H_

#include <vector>

#include "qel/diagnostic.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

// Drops the findings that a "// qel: allow" comment of the tree silences
// and adds an L100 finding for every suppression that silences nothing or
// names an unknown code.
std::vector<Diagnostic> apply_suppressions(std::vector<Diagnostic> findings,
                                           const SyntaxTree& tree);

}  // namespace qel::detail

#endif  // QEL_DIAGNOSTICS_SUPPRESSIONS_H_
