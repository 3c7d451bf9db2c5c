// Byte offsets into a text against line and column, for every reader that
// shows a position: messages and the command line count characters on
// lines ended by "\n"; an editor counts UTF-16 code units or UTF-8 bytes on
// lines ended by "\n", "\r\n" or "\r".
#ifndef QEL_LINE_INDEX_H_
#define QEL_LINE_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "qel/span.h"

namespace qel {

// What a column counts.
enum class ColumnUnit : uint8_t {
  kUtf16,  // UTF-16 code units: a character beyond U+FFFF counts two
  kUtf8,   // bytes
  kChars,  // characters (Unicode scalar values)
};

// What ends a line.
enum class LineBreaks : uint8_t {
  kAny,       // "\n", "\r\n" or "\r"
  kLineFeed,  // "\n" only; a "\r" is a character of its line
};

// A 0-based line and a 0-based column.
struct LineColumn {
  uint64_t line = 0;
  uint64_t column = 0;
  bool operator==(const LineColumn&) const = default;
};

// Built once per text (UTF-8; a stray byte counts as one character), which
// it refers to: keep the text alive as long as the index. A conversion
// costs a binary search over the line starts plus at most kStride bytes of
// counting, however long the line.
class LineIndex {
 public:
  explicit LineIndex(std::string_view text);

  std::string_view text() const { return text_; }

  // The line and column of a byte offset, clamped to the text; an offset
  // inside a character means that character's start.
  LineColumn position_of(size_t offset, ColumnUnit unit,
                         LineBreaks breaks = LineBreaks::kAny) const;

  // The byte offset of a line and column. A line past the last means the
  // end of the text; a column past its line's end means the line's end
  // (before its break); one inside a character (half of a surrogate pair,
  // a byte inside a sequence) means that character's start.
  size_t offset_of(LineColumn position, ColumnUnit unit,
                   LineBreaks breaks = LineBreaks::kAny) const;

  // What messages show for a byte offset: 1-based line and column in
  // characters on lines ended by "\n", the 0-based offset in characters,
  // and the byte offset of that character's start.
  Span span_of(size_t offset) const;

  // Lines in the text: one more than its breaks.
  size_t line_count(LineBreaks breaks = LineBreaks::kAny) const {
    return breaks == LineBreaks::kAny ? lines_.size() : lf_lines_.size();
  }

  // Just after the last character: the end of a whole-text edit.
  LineColumn end(ColumnUnit unit, LineBreaks breaks = LineBreaks::kAny) const {
    return position_of(text_.size(), unit, breaks);
  }

 private:
  // Counts before every kStride-th byte, so that a position on a long line
  // costs at most kStride bytes of counting, not the line up to it.
  static constexpr size_t kStride = 4096;
  struct Mark {
    uint64_t units16 = 0;
    uint64_t chars = 0;
  };

  const std::vector<size_t>& starts(LineBreaks breaks) const {
    return breaks == LineBreaks::kAny ? lines_ : lf_lines_;
  }
  // `offset` clamped to the text and moved back to its character's start.
  size_t char_start(size_t offset) const;
  // The count in `unit` of the text before `offset`.
  uint64_t count_before(size_t offset, ColumnUnit unit) const;
  // Where a walk from `from` (a character's start) toward `end`, which stops
  // before the character that would take its count past `budget`, may
  // resume: the last character start at a mark that it passes, or `from`.
  // `counted` receives the count from `from` to there.
  size_t resume_point(size_t from, size_t end, uint64_t budget,
                      ColumnUnit unit, uint64_t& counted) const;

  std::string_view text_;
  std::vector<size_t> lines_;     // line starts, any break
  std::vector<size_t> lf_lines_;  // line starts, "\n" only
  std::vector<Mark> marks_;       // marks_[k]: before byte k * kStride
};

}  // namespace qel

#endif  // QEL_LINE_INDEX_H_
