// The contract language's scanner. The parser pulls tokens one at a time
// (one token of lookahead), which keeps memory flat for large texts; the
// observable result is that of tokenizing the whole text first, because the
// front end's entry point scans the rest of the text before it reports a
// parse error (a lexical error anywhere wins).
#ifndef QEL_SYNTAX_TOKENIZER_H_
#define QEL_SYNTAX_TOKENIZER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/error.h"
#include "qel/span.h"
#include "qel/token.h"

namespace qel {

// The whole token list of a text, ending with exactly one Eof, or the first
// error (invalid UTF-8 or a lexical error).
Result<std::vector<SpannedToken>> tokenize(std::string_view text);

// A // comment: its text after the two slashes, up to the line feed, as a
// view into the source; the span is that of its first slash.
struct Comment {
  std::string_view text;
  Span span;
};

// Every comment of a text in source order, or the first error, as
// tokenize() would report it. Slashes inside string literals are not
// comments.
Result<std::vector<Comment>> scan_comments(std::string_view text);

namespace detail {

// Thrown inside the front end only and caught at its entry points.
struct ParseFailure {
  std::string message;  // without the "Parse error: " prefix
  bool lexical = false;  // raised by the scanner rather than the grammar
};

// A token whose text points into the source or into the scanner's buffer;
// valid until the scanner moves on.
struct TokenView {
  TokenKind kind = TokenKind::kEof;
  std::string_view text;  // kStringLiteral, kIdentifier
  int64_t integer = 0;    // kIntegerLiteral
  double number = 0.0;    // kFloatLiteral
  bool boolean = false;   // kBooleanLiteral
  Span span;
};

void append_token_description(std::string& out, const TokenView& token);
std::string token_description(const TokenView& token);

// The message "Invalid UTF-8 at line:column" for the first byte that does
// not belong to a well-formed UTF-8 sequence, or nothing when the text is
// valid. Scanning assumes a text that passed this check.
std::optional<std::string> check_utf8(std::string_view text);

class Scanner {
 public:
  // `text` must be valid UTF-8 and outlive the scanner.
  explicit Scanner(std::string_view text);

  // Scans the next token into `out`; at the end of the text, Eof (again and
  // again). Throws ParseFailure (lexical) on a lexical error.
  void next(TokenView& out);

  // Scans the rest of the text and returns the first lexical error's
  // message, if any.
  std::optional<std::string> first_error_in_rest();

  // From now on, appends every comment passed over to `out` (null: stop).
  void record_comments(std::vector<Comment>* out) { comments_ = out; }

 private:
  [[noreturn]] void fail(std::string message) const;
  // Character offset of byte position `at`, given that every continuation
  // byte before `at` has been counted.
  uint64_t char_offset(const char* at) const;
  Span span_at(const char* at);
  void new_line(const char* line_feed);

  void scan_string(TokenView& out);
  void scan_number(TokenView& out);
  void scan_word(TokenView& out);

  const char* begin_;
  const char* end_;
  const char* p_;
  uint64_t line_ = 1;
  uint64_t line_start_ = 0;  // character offset of the current line's start
  // UTF-8 continuation bytes passed so far: a byte position minus this is
  // a character offset. Non-ASCII text can only occur inside strings and
  // comments, which count their bytes as they pass them.
  uint64_t continuation_bytes_ = 0;
  std::string buffer_;  // the value of a string literal with escapes
  std::vector<Comment>* comments_ = nullptr;
};

}  // namespace detail
}  // namespace qel

#endif  // QEL_SYNTAX_TOKENIZER_H_
