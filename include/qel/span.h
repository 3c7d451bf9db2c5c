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
  // 0-based, in bytes of the text: what ranges and edits are made of. It
  // follows from the others for a given text, so equality leaves it out.
  uint64_t byte = 0;

  // "line:column"; the offset is never shown.
  std::string to_string() const {
    return std::to_string(line) + ":" + std::to_string(column);
  }
  bool operator==(const Span& other) const {
    return line == other.line && column == other.column &&
           offset == other.offset;
  }
};

}  // namespace qel

#endif  // QEL_SPAN_H_
