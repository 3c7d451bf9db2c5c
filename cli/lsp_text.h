// Byte ranges in a document, and the extent of the token a finding points
// at.
#ifndef QEL_CLI_LSP_TEXT_H_
#define QEL_CLI_LSP_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qel::cli::lsp {

// Byte offsets into a document, end exclusive.
struct ByteRange {
  size_t begin = 0;
  size_t end = 0;
  size_t size() const { return end - begin; }
  bool contains(size_t at) const { return at >= begin && at <= end; }
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
