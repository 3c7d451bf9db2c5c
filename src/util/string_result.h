// A pipeline that appends to an Output, run into a std::string: the one
// way the std::string entry points are made from the Output ones.
#ifndef QEL_UTIL_STRING_RESULT_H_
#define QEL_UTIL_STRING_RESULT_H_

#include <optional>
#include <string>
#include <utility>

#include "qel/error.h"
#include "qel/output.h"

namespace qel::detail {

// `write(output)` returns the Error of a failed call, or nothing.
template <typename Write>
Result<std::string> string_result(Write&& write) {
  std::string out;
  std::optional<Error> error;
  {
    StringOutput output(out);  // sets the string's size when it goes
    error = std::forward<Write>(write)(output);
  }
  if (error.has_value()) return std::move(*error);
  return out;
}

}  // namespace qel::detail

#endif  // QEL_UTIL_STRING_RESULT_H_
