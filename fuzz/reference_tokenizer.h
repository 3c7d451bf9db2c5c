// A second tokenizer, written plainly from the language's lexical rules with
// no regard for speed: one character at a time over decoded code points.
// The fuzz targets compare the library's scanner with it token by token,
// span by span and message by message.
#ifndef QEL_FUZZ_REFERENCE_TOKENIZER_H_
#define QEL_FUZZ_REFERENCE_TOKENIZER_H_

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/token.h"

namespace qel::fuzz {

// Code points of well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF); nothing for any other byte sequence.
inline std::optional<std::vector<char32_t>> decode_utf8(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<uint8_t>(text[i]);
    int length = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
      length = 1;
      cp = b0;
    } else if (b0 >= 0xC0 && b0 < 0xE0) {
      length = 2;
      cp = b0 & 0x1F;
      min = 0x80;
    } else if (b0 >= 0xE0 && b0 < 0xF0) {
      length = 3;
      cp = b0 & 0x0F;
      min = 0x800;
    } else if (b0 >= 0xF0 && b0 < 0xF8) {
      length = 4;
      cp = b0 & 0x07;
      min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + static_cast<size_t>(length) > text.size()) return std::nullopt;
    for (int k = 1; k < length; ++k) {
      const auto b = static_cast<uint8_t>(text[i + static_cast<size_t>(k)]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (length > 1 && cp < min) return std::nullopt;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out.push_back(cp);
    i += static_cast<size_t>(length);
  }
  return out;
}

inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

struct ReferenceTokens {
  std::vector<SpannedToken> tokens;  // complete, ending with Eof, on success
  std::optional<std::string> error;  // the message, without "Parse error: "
};

class ReferenceTokenizer {
 public:
  explicit ReferenceTokenizer(std::vector<char32_t> chars)
      : chars_(std::move(chars)) {}

  ReferenceTokens run() {
    ReferenceTokens out;
    for (;;) {
      skip_layout();
      const Span span = here();
      if (at_end()) {
        out.tokens.push_back({Token{}, span});
        return out;
      }
      Token token;
      std::optional<std::string> error = next_token(span, token);
      if (error) {
        out.tokens.clear();
        out.error = std::move(error);
        return out;
      }
      out.tokens.push_back({std::move(token), span});
    }
  }

 private:
  static bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
  static bool is_letter(char32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  }

  bool at_end() const { return position_ >= chars_.size(); }
  char32_t peek(size_t ahead = 0) const {
    return position_ + ahead < chars_.size() ? chars_[position_ + ahead] : 0;
  }
  bool has(size_t ahead) const { return position_ + ahead < chars_.size(); }
  Span here() const { return Span{line_, column_, position_}; }

  char32_t take() {
    const char32_t c = chars_[position_++];
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    return c;
  }

  void skip_layout() {
    while (!at_end()) {
      const char32_t c = peek();
      if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ') {
        take();
      } else if (c == '/' && has(1) && peek(1) == '/') {
        while (!at_end() && peek() != '\n') take();
      } else {
        return;
      }
    }
  }

  static std::string at(const Span& span) {
    return " at " + span.to_string();
  }

  std::optional<std::string> next_token(const Span& span, Token& token) {
    const char32_t c = peek();
    switch (c) {
      case '{': take(); token.kind = TokenKind::kLBrace; return std::nullopt;
      case '}': take(); token.kind = TokenKind::kRBrace; return std::nullopt;
      case '[': take(); token.kind = TokenKind::kLBracket; return std::nullopt;
      case ']': take(); token.kind = TokenKind::kRBracket; return std::nullopt;
      case '<': take(); token.kind = TokenKind::kLAngle; return std::nullopt;
      case '>': take(); token.kind = TokenKind::kRAngle; return std::nullopt;
      case ':': take(); token.kind = TokenKind::kColon; return std::nullopt;
      case ',': take(); token.kind = TokenKind::kComma; return std::nullopt;
      case '=': take(); token.kind = TokenKind::kEquals; return std::nullopt;
      case '"': return string_literal(span, token);
      default: break;
    }
    if (is_digit(c)) return number(span, token);
    if (is_letter(c) || c == '_') {
      word(token);
      return std::nullopt;
    }
    std::string message = "Unexpected character '";
    append_utf8(message, c);
    return message + "'" + at(span);
  }

  std::optional<std::string> string_literal(const Span& span, Token& token) {
    take();
    std::string value;
    for (;;) {
      if (at_end()) return "Unterminated string starting" + at(span);
      const char32_t c = take();
      if (c == '"') break;
      if (c != '\\') {
        append_utf8(value, c);
        continue;
      }
      if (at_end()) return "Unterminated escape sequence" + at(here());
      const char32_t e = take();
      switch (e) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case '"': value += '"'; break;
        case '\\': value += '\\'; break;
        default: {
          std::string message = "Invalid escape sequence '\\";
          append_utf8(message, e);
          return message + "'" + at(here());
        }
      }
    }
    token.kind = TokenKind::kStringLiteral;
    token.text = std::move(value);
    return std::nullopt;
  }

  std::optional<std::string> number(const Span& span, Token& token) {
    std::string text;
    bool dot = false;
    while (!at_end() && (is_digit(peek()) || peek() == '.')) {
      if (peek() == '.') dot = true;
      text += static_cast<char>(take());
    }
    if (!at_end() && peek() == '-' && !dot) {
      while (!at_end()) {
        const char32_t c = peek();
        if (!(c == '-' || c == ':' || c == '+' || c == '.' || is_digit(c) ||
              is_letter(c))) {
          break;
        }
        text += static_cast<char>(take());
      }
      const bool accepted =
          text.size() >= 20 && text.find('T') != std::string::npos &&
          (text.back() == 'Z' || text.find('+') != std::string::npos);
      if (!accepted) return "Invalid timestamp '" + text + "'" + at(span);
      token.kind = TokenKind::kStringLiteral;
      token.text = std::move(text);
      return std::nullopt;
    }
    if (dot) {
      if (text.find('.') != text.rfind('.')) {
        return "Invalid float '" + text + "'" + at(span);
      }
      // Digits and one point: strtod in the C locale rounds to nearest,
      // ties to even, and overflows to infinity.
      token.kind = TokenKind::kFloatLiteral;
      token.number = std::strtod(text.c_str(), nullptr);
      return std::nullopt;
    }
    constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
    uint64_t value = 0;
    for (char d : text) {
      const uint64_t digit = static_cast<uint64_t>(d - '0');
      if (value > (kMax - digit) / 10) {
        return "Invalid integer '" + text + "'" + at(span);
      }
      value = value * 10 + digit;
    }
    token.kind = TokenKind::kIntegerLiteral;
    token.integer = static_cast<int64_t>(value);
    return std::nullopt;
  }

  void word(Token& token) {
    std::string text;
    while (!at_end() && (is_letter(peek()) || is_digit(peek()) ||
                         peek() == '_' || peek() == '-')) {
      text += static_cast<char>(take());
    }
    static const char* const kKeywords[] = {
        "Contract", "Identity", "PurposeStatement", "DataSemantics",
        "BehavioralSemantics", "ExecutionConstraints", "HumanMachineContract",
        "Extensions", "Integer", "Float", "String", "Boolean", "ISO8601",
        "UUID", "Array", "Map", "Object", "Enum"};
    for (int k = 0; k < 18; ++k) {
      if (text == kKeywords[k]) {
        token.kind = static_cast<TokenKind>(k);
        return;
      }
    }
    if (text == "true" || text == "false") {
      token.kind = TokenKind::kBooleanLiteral;
      token.boolean = text == "true";
      return;
    }
    token.kind = TokenKind::kIdentifier;
    token.text = std::move(text);
  }

  std::vector<char32_t> chars_;
  size_t position_ = 0;
  uint64_t line_ = 1;
  uint64_t column_ = 1;
};

}  // namespace qel::fuzz

#endif  // QEL_FUZZ_REFERENCE_TOKENIZER_H_
