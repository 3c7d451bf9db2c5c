#include "diagnostics/ranges.h"

namespace qel::detail {

void complete_ranges(const SyntaxTree& tree, std::vector<Diagnostic>& found) {
  for (Diagnostic& d : found) {
    if (!d.span || d.range.end != 0) continue;
    const auto at = static_cast<uint32_t>(d.span->byte);
    d.range = ByteRange{at, at};
    const uint32_t token = tree.token_at(at);
    if (tree.token_offset(token) == at) d.range.end = tree.token_end(token);
  }
}

}  // namespace qel::detail
