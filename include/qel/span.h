// Source positions: the only positions in the system.
#ifndef QEL_SPAN_H_
#define QEL_SPAN_H_

#include <cstdint>
#include <string>

namespace qel {

struct Span {
  uint64_t line = 1;    // 1-based
  uint64_t column = 1;  // 1-based, in characters (Unicode scalar values)
  uint64_t offset = 0;  // 0-based, in characters

  // "line:column"; the offset is never shown.
  std::string to_string() const {
    return std::to_string(line) + ":" + std::to_string(column);
  }
  bool operator==(const Span&) const = default;
};

}  // namespace qel

#endif  // QEL_SPAN_H_
