// The fixes the checks attach to their findings, built here so that each
// one's proof of being right lives beside its edits.
#ifndef QEL_DIAGNOSTICS_FIXES_H_
#define QEL_DIAGNOSTICS_FIXES_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "qel/diagnostic.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

// L001: a condition literal that is a comparison but for the spaces around
// its operator ("amount_cents>0"). The fix puts one space either side,
// and is offered only when the run time then reads the condition as that
// comparison of a field that `known` names.
std::optional<Fix> condition_spacing_fix(
    const syntax::Text& literal,
    const std::function<bool(std::string_view)>& known);

// L100: removes the whole comment `comment` (bytes of the "//" through its
// last character before the line end) of `text`: with its line when it is
// alone on it, else with the blanks before it.
Fix remove_suppression_comment_fix(std::string_view text, ByteRange comment);

// L100: removes one code from a comment that names others, with the
// separators that joined it to its neighbour (`removed`, computed by the
// caller from the neighbouring codes).
Fix remove_suppression_code_fix(std::string_view code, ByteRange removed);

// The fix that writes `computed`, the contract's hash, over the
// semantic_hash literal `written`; for a check that has the hash at hand
// (hash_fix() computes it).
Fix hash_literal_fix(const syntax::Text& written, std::string_view computed);

}  // namespace qel::detail

#endif  // QEL_DIAGNOSTICS_FIXES_H_
