#include "lsp_text.h"

#include <algorithm>
#include <string>

namespace qel::cli::lsp {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// Bytes in the UTF-8 sequence that `lead` starts; 1 for a stray byte, so
// that a walk always moves on.
size_t sequence_length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_timestamp_part(char c) {
  return is_digit(c) || is_letter(c) || c == '-' || c == ':' || c == '+' ||
         c == '.';
}

// Just past the bracket that closes the one at `open` ('{', '[' or '<'),
// passing over strings and comments; kNone when it never closes.
size_t find_closing(std::string_view text, size_t open) {
  std::string expected;  // closers still owed, innermost last
  size_t p = open;
  while (p < text.size()) {
    const char c = text[p];
    if (c == '"') {
      p = string_end(text, p);
      if (p == kNone) return kNone;
      continue;
    }
    if (c == '/' && p + 1 < text.size() && text[p + 1] == '/') {
      p = line_end(text, p);
      continue;
    }
    switch (c) {
      case '{': expected += '}'; break;
      case '[': expected += ']'; break;
      case '<': expected += '>'; break;
      case '}': case ']': case '>':
        // A stray closer is passed over: the text is being edited.
        if (!expected.empty() && expected.back() == c) {
          expected.pop_back();
          if (expected.empty()) return p + 1;
        }
        break;
      default: break;
    }
    ++p;
  }
  return kNone;
}

}  // namespace

size_t string_end(std::string_view text, size_t open) {
  size_t p = open + 1;
  while (p < text.size()) {
    const char c = text[p];
    if (c == '"') return p + 1;
    p += c == '\\' ? 2 : 1;
  }
  return kNone;
}

size_t line_end(std::string_view text, size_t from) {
  const size_t lf = text.find('\n', from);
  return lf == std::string_view::npos ? text.size() : lf;
}

bool is_word_start(char c) { return is_letter(c) || c == '_'; }

bool is_word_part(char c) {
  return is_letter(c) || is_digit(c) || c == '_' || c == '-';
}

size_t token_end(std::string_view text, size_t begin) {
  if (begin >= text.size()) return text.size();
  const char c = text[begin];
  size_t p = begin + 1;
  if (c == '"') {
    const size_t end = string_end(text, begin);
    return end != kNone ? end : line_end(text, begin);
  }
  if (c == '[') {
    const size_t end = find_closing(text, begin);
    return end != kNone ? end : p;
  }
  if (is_digit(c)) {
    bool dotted = false;
    while (p < text.size() && (is_digit(text[p]) || text[p] == '.')) {
      dotted = dotted || text[p] == '.';
      ++p;
    }
    if (!dotted && p < text.size() && text[p] == '-') {
      while (p < text.size() && is_timestamp_part(text[p])) ++p;
    }
    return p;
  }
  if (is_word_start(c)) {
    while (p < text.size() && is_word_part(text[p])) ++p;
    return p;
  }
  return begin + std::min(sequence_length(static_cast<unsigned char>(c)),
                          text.size() - begin);
}

size_t skip_layout(std::string_view text, size_t from) {
  size_t p = from;
  while (p < text.size()) {
    const char c = text[p];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
      ++p;
    } else if (c == '/' && p + 1 < text.size() && text[p + 1] == '/') {
      p = line_end(text, p);
    } else {
      break;
    }
  }
  return p;
}

}  // namespace qel::cli::lsp
