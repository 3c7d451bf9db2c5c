// The contract language's scanner. It runs over the whole text before the
// grammar looks at any token, so a lexical error anywhere wins over a
// grammar error, and it writes every token, comments included, into the
// syntax tree's token array.
#ifndef QEL_SYNTAX_TOKENIZER_H_
#define QEL_SYNTAX_TOKENIZER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/error.h"
#include "qel/span.h"
#include "qel/token.h"

namespace qel {

// The whole token list of a text with payloads and spans, comments left
// out, ending with exactly one Eof; or the first error (invalid UTF-8 or a
// lexical error). For tests and the fuzz targets: the front end reads the
// syntax tree's token array instead.
Result<std::vector<SpannedToken>> tokenize(std::string_view text);

namespace detail {

class TreeBuilder;

// Thrown inside the front end only and caught at its entry point.
struct ParseFailure {
  std::string message;  // without the "Parse error: " prefix
};

// A token with its payload decoded, for descriptions in messages.
struct TokenView {
  TokenKind kind = TokenKind::kEof;
  std::string_view text;  // kStringLiteral, kIdentifier
  int64_t integer = 0;    // kIntegerLiteral
  double number = 0.0;    // kFloatLiteral
  bool boolean = false;   // kBooleanLiteral
};

void append_token_description(std::string& out, const TokenView& token);
std::string token_description(const TokenView& token);

// The message "Invalid UTF-8 at line:column" for the first byte that does
// not belong to a well-formed UTF-8 sequence, or nothing when the text is
// valid. Scanning assumes a text that passed this check.
std::optional<std::string> check_utf8(std::string_view text);

// The position of byte `offset` of a valid UTF-8 text, counted from its
// start: for messages, which are made once per call.
Span span_of_byte(std::string_view text, std::size_t offset);

// Scans the whole text (valid UTF-8) into the builder's token array,
// ending with Eof. Throws ParseFailure on the first lexical error.
void scan_tokens(std::string_view text, TreeBuilder& builder);

// One past the last byte of the token of kind `kind` that starts at
// `offset` (a token scan_tokens produced).
std::size_t token_end_at(std::string_view text, std::size_t offset,
                         TokenKind kind);

// The value of a float literal's text (digits with one point): the
// nearest double, ties to even; too large, infinity.
double float_literal_value(std::string_view text);

}  // namespace detail
}  // namespace qel

#endif  // QEL_SYNTAX_TOKENIZER_H_
