// Byte ranges for findings that were made with a start position only.
#ifndef QEL_DIAGNOSTICS_RANGES_H_
#define QEL_DIAGNOSTICS_RANGES_H_

#include <vector>

#include "qel/diagnostic.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

// Every diagnostic with a span and an empty range gets the range of the
// token that starts at its span (an empty range where none starts there).
void complete_ranges(const SyntaxTree& tree, std::vector<Diagnostic>& found);

}  // namespace qel::detail

#endif  // QEL_DIAGNOSTICS_RANGES_H_
