// Text helpers of the executor: trimming by the Unicode White_Space property.
#ifndef QEL_SRC_EXECUTOR_TEXT_H_
#define QEL_SRC_EXECUTOR_TEXT_H_

#include <string_view>

namespace qel::detail {

// Whether `c` has the Unicode White_Space property (a fixed list of 25 code
// points; independent of any locale).
bool is_white_space(char32_t c);

// `text` without leading and trailing White_Space characters. Bytes that are
// not well-formed UTF-8 are never white space.
std::string_view trim_white_space(std::string_view text);

}  // namespace qel::detail

#endif  // QEL_SRC_EXECUTOR_TEXT_H_
