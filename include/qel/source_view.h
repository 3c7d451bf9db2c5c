// The source lines that `qel check` echoes under each finding, with a caret
// under the character the finding is about.
#ifndef QEL_SOURCE_VIEW_H_
#define QEL_SOURCE_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "qel/check.h"

namespace qel::display {

// About the widest echoed line, in columns. A longer line is cut around the
// finding, so one long line shared by many findings cannot flood the output.
inline constexpr std::size_t kEchoWidth = 200;
// Columns kept before the finding when a line is cut; the rest go after it.
inline constexpr std::size_t kEchoContext = 60;

struct EchoedLine {
  // The line as it is safe to print: C0 and C1 controls, DEL, the
  // bidirectional controls and the line and paragraph separators as \u{hex},
  // bytes that are not UTF-8 as \xhh, tabs kept; "…" where it was cut.
  std::string text;
  // Spaces, and tabs where `text` has them, then '^' under the character.
  std::string caret;
};

// Echoes `line` (no line feed) with a caret at `column` (1-based, in
// characters). A column past the end puts the caret just after the line.
// Carets go on under the characters that start within `bytes` of it.
EchoedLine echo_line(std::string_view line, uint64_t column,
                     std::size_t bytes = 1);

// One file's text with its lines indexed once, so that echoing a finding
// costs no more than the part of its line that is printed.
class SourceView {
 public:
  // `text` must outlive the view.
  explicit SourceView(std::string_view text);

  // Line `line` (1-based) without its line feed, nor a carriage return just
  // before it; empty past the last line.
  std::string_view line(uint64_t line) const;

  // echo_line() of line `line`. Long lines are indexed by character on
  // first use, so many findings on one long line stay linear.
  EchoedLine echo(uint64_t line, uint64_t column, std::size_t bytes = 1);

 private:
  std::string_view text_;
  std::vector<std::size_t> starts_;  // byte offset of each line's start
  // For lines longer than kIndexedLineBytes: the byte offset of every
  // kColumnStride-th character.
  std::map<uint64_t, std::vector<std::size_t>> columns_;
};

}  // namespace qel::display

#endif  // QEL_SOURCE_VIEW_H_
