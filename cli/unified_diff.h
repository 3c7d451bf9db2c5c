// Text diffs of a file and its new text, for `qel normalize --diff` and
// `qel fmt --diff` (the contract comparison is `qel diff`, src/diff/).
#ifndef QEL_CLI_UNIFIED_DIFF_H_
#define QEL_CLI_UNIFIED_DIFF_H_

#include <string>
#include <string_view>

namespace qel::cli {

// A unified diff (three lines of context) turning `before` into `after`,
// with "--- {before_name}" / "+++ {after_name}" headers; empty when the
// texts are equal. A last line without a line feed is marked as such.
std::string unified_diff(std::string_view before, std::string_view after,
                         std::string_view before_name,
                         std::string_view after_name);

}  // namespace qel::cli

#endif  // QEL_CLI_UNIFIED_DIFF_H_
