// Positions in a document as the language server sees them: byte offsets
// inside, line and character in the client's negotiated encoding outside,
// and the extent of the token a finding points at.
#ifndef QEL_CLI_LSP_TEXT_H_
#define QEL_CLI_LSP_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qel::cli::lsp {

// What a position's character counts: UTF-16 code units unless the client
// offers UTF-8 (bytes).
enum class Encoding { kUtf16, kUtf8 };

// A protocol position: 0-based line and 0-based character.
struct Position {
  uint64_t line = 0;
  uint64_t character = 0;
  bool operator==(const Position&) const = default;
};

// Byte offsets into a document, end exclusive.
struct ByteRange {
  size_t begin = 0;
  size_t end = 0;
  size_t size() const { return end - begin; }
  bool contains(size_t at) const { return at >= begin && at <= end; }
};

// Line starts of a text (valid UTF-8), held for conversions. The protocol
// ends a line at "\n", "\r\n" or "\r"; findings count lines by "\n" alone
// and start after `body` bytes (a byte order mark the parser never saw).
class LineIndex {
 public:
  explicit LineIndex(std::string_view text, size_t body = 0);

  std::string_view text() const { return text_; }

  // The position of a byte offset (clamped to the text; inside a character,
  // that character's start).
  Position position_of(size_t offset, Encoding encoding) const;

  // The byte offset of a position. A line past the last means the end of
  // the text; a character past its line's end means the line's end; one
  // inside a character (half of a surrogate pair) means its start.
  size_t offset_of(Position position, Encoding encoding) const;

  // The byte offset of a finding's 1-based line and character column,
  // clamped to the text. Line 0 (no position) is the body's start.
  size_t offset_of_finding(uint64_t line, uint64_t column) const;

  // Just after the last character: the end of a whole-document edit.
  Position end(Encoding encoding) const {
    return position_of(text_.size(), encoding);
  }

 private:
  // What a walk along a line counts: UTF-16 code units, or characters.
  enum class Measure { kUnits16, kChars };
  // Counts before every kStride-th byte, so that a position on a long line
  // costs at most kStride bytes of counting, not the line up to it.
  static constexpr size_t kStride = 4096;
  struct Mark {
    uint64_t units16 = 0;
    uint64_t chars = 0;
  };

  // The count of the text before `offset`.
  uint64_t count_before(size_t offset, Measure measure) const;
  // Where a walk from `from` (a character's start) toward `end`, which stops
  // before the character that would take its count past `budget`, may
  // resume: the last character start at a mark that it passes, or `from`.
  // `counted` receives the count from `from` to there.
  size_t resume_point(size_t from, size_t end, uint64_t budget,
                      Measure measure, uint64_t& counted) const;

  std::string_view text_;
  size_t body_;
  std::vector<size_t> lines_;       // protocol line starts
  std::vector<size_t> lf_lines_;    // finding line starts ("\n" only)
  std::vector<Mark> marks_;         // marks_[k]: before byte k * kStride
};

// The end of the token that starts at `begin`: a quoted string through its
// closing quote (to the end of the line when it never closes), a bracketed
// list through its closing bracket, a word, a number or timestamp, else one
// character. `begin` at the end of the text gives an empty token.
size_t token_end(std::string_view text, size_t begin);

// Just past the closing quote of the string whose opening quote is at
// `open`, passing over escapes; std::string_view::npos when it never
// closes.
size_t string_end(std::string_view text, size_t open);

// The end of the line holding `from`: its "\n", or the end of the text.
size_t line_end(std::string_view text, size_t from);

// The first byte at or after `from` that is neither white space nor inside
// a // comment.
size_t skip_layout(std::string_view text, size_t from);

// Whether a byte may start or continue a word as the language scans one.
bool is_word_start(char c);
bool is_word_part(char c);

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_TEXT_H_
