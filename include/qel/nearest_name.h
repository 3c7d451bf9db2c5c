// "did you mean" for a name that is not known: the known name nearest to
// it, for help lines of the parser, the verifier and the command line.
#ifndef QEL_NEAREST_NAME_H_
#define QEL_NEAREST_NAME_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qel {

// The name of `known` nearest to `word`: one that differs from it only in
// ASCII letter case, else the one fewest edits away (an edit inserts,
// deletes or replaces a byte, or swaps two adjacent ones), at most a third
// of the word's length (at least one edit) and fewer than the longer of
// the two has bytes. Ties go to the byte-wise smallest name. Nothing when
// no name is that near, or `word` is longer than 64 bytes (no name of the
// language is: this keeps the work per name small).
std::optional<std::string_view> nearest_name(
    std::string_view word, std::span<const std::string_view> known);

// "did you mean 'NAME'?" for nearest_name(word, known), or empty.
std::string did_you_mean(std::string_view word,
                         std::span<const std::string_view> known);

}  // namespace qel

#endif  // QEL_NEAREST_NAME_H_
