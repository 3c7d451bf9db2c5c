#include "syntax/tokenizer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "qel/json.h"
#include "syntax/escape_ranges.h"
#include "util/swar.h"

namespace qel {
namespace {

constexpr const char* kTokenKindNames[kTokenKindCount] = {
    "Contract",      "Identity",          "PurposeStatement",
    "DataSemantics", "BehavioralSemantics", "ExecutionConstraints",
    "HumanMachineContract", "Extensions", "IntegerType",
    "FloatType",     "StringType",        "BooleanType",
    "Iso8601Type",   "UuidType",          "ArrayType",
    "MapType",       "ObjectType",        "EnumType",
    "StringLiteral", "IntegerLiteral",    "FloatLiteral",
    "BooleanLiteral", "LBrace",           "RBrace",
    "LBracket",      "RBracket",          "LAngle",
    "RAngle",        "Colon",             "Comma",
    "Equals",        "Identifier",        "Eof",
};

// Byte classes for the scanner; bytes >= 0x80 belong to none of them, so
// non-ASCII text can only appear inside strings and comments.
enum : uint8_t {
  kLayout = 1,        // \t \f \r space (the line feed is handled apart)
  kDigit = 2,
  kWordStart = 4,     // A-Z a-z _
  kWordPart = 8,      // A-Z a-z 0-9 _ -
  kStringStop = 16,   // " \ and the line feed end a run of string bytes
  kTimestamp = 32,    // - : + . 0-9 A-Z a-z
};

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> c{};
  c['\t'] = c['\f'] = c['\r'] = c[' '] = kLayout;
  for (int d = '0'; d <= '9'; ++d) c[d] = kDigit | kWordPart | kTimestamp;
  for (int l = 'a'; l <= 'z'; ++l) {
    c[l] = kWordStart | kWordPart | kTimestamp;
    c[l - 'a' + 'A'] = kWordStart | kWordPart | kTimestamp;
  }
  c['_'] = kWordStart | kWordPart;
  c['-'] = kWordPart | kTimestamp;
  c[':'] = c['+'] = c['.'] = kTimestamp;
  c['"'] = c['\\'] = c['\n'] = kStringStop;
  return c;
}

constexpr std::array<uint8_t, 256> kClasses = make_classes();

inline bool has_class(char c, uint8_t cls) {
  return (kClasses[static_cast<unsigned char>(c)] & cls) != 0;
}

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

uint64_t count_continuation_bytes(const char* from, const char* to) {
  uint64_t n = 0;
  for (const char* q = from; q < to; ++q) {
    n += is_continuation(static_cast<unsigned char>(*q));
  }
  return n;
}

// Skips string bytes up to the next quote, backslash or line feed (or the
// end), eight at a time while they are plain ASCII; adds the UTF-8
// continuation bytes passed over to `continuation`.
const char* skip_string_bytes(const char* q, const char* end,
                              uint64_t& continuation) {
  for (;;) {
    if (end - q >= 8) {
      const uint64_t w = detail::load_word(q);
      const uint64_t special = detail::has_byte(w, '"') |
                               detail::has_byte(w, '\\') |
                               detail::has_byte(w, '\n') |
                               detail::has_non_ascii(w);
      if (special == 0) {
        q += 8;
        continue;
      }
      for (const char* chunk_end = q + 8; q < chunk_end; ++q) {
        if (has_class(*q, kStringStop)) return q;
        continuation += is_continuation(static_cast<unsigned char>(*q));
      }
      continue;
    }
    for (; q < end; ++q) {
      if (has_class(*q, kStringStop)) return q;
      continuation += is_continuation(static_cast<unsigned char>(*q));
    }
    return q;
  }
}

// Length of the UTF-8 sequence that starts with `lead` (a valid lead byte).
inline int sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Keywords are recognised after the whole word is scanned: by length first,
// then by comparing the bytes.
bool lookup_keyword(std::string_view w, detail::TokenView& out) {
  using K = TokenKind;
  // The length is known per case, so each comparison is inlined.
  auto is = [&w](const auto& keyword) {
    return std::memcmp(w.data(), keyword, sizeof keyword - 1) == 0;
  };
  K kind;
  switch (w.size()) {
    case 3:
      if (!is("Map")) return false;
      kind = K::kMapType;
      break;
    case 4:
      if (is("true")) {
        out.kind = K::kBooleanLiteral;
        out.boolean = true;
        return true;
      }
      if (is("Enum")) kind = K::kEnumType;
      else if (is("UUID")) kind = K::kUuidType;
      else return false;
      break;
    case 5:
      if (is("false")) {
        out.kind = K::kBooleanLiteral;
        out.boolean = false;
        return true;
      }
      if (is("Array")) kind = K::kArrayType;
      else if (is("Float")) kind = K::kFloatType;
      else return false;
      break;
    case 6:
      if (is("String")) kind = K::kStringType;
      else if (is("Object")) kind = K::kObjectType;
      else return false;
      break;
    case 7:
      if (is("Integer")) kind = K::kIntegerType;
      else if (is("Boolean")) kind = K::kBooleanType;
      else if (is("ISO8601")) kind = K::kIso8601Type;
      else return false;
      break;
    case 8:
      if (is("Contract")) kind = K::kContract;
      else if (is("Identity")) kind = K::kIdentity;
      else return false;
      break;
    case 10:
      if (!is("Extensions")) return false;
      kind = K::kExtensions;
      break;
    case 13:
      if (!is("DataSemantics")) return false;
      kind = K::kDataSemantics;
      break;
    case 16:
      if (!is("PurposeStatement")) return false;
      kind = K::kPurposeStatement;
      break;
    case 19:
      if (!is("BehavioralSemantics")) return false;
      kind = K::kBehavioralSemantics;
      break;
    case 20:
      if (is("ExecutionConstraints")) kind = K::kExecutionConstraints;
      else if (is("HumanMachineContract")) kind = K::kHumanMachineContract;
      else return false;
      break;
    default:
      return false;
  }
  out.kind = kind;
  return true;
}

// Decodes one code point of valid UTF-8 at `p`, advancing it.
uint32_t decode(const unsigned char*& p) {
  const unsigned char lead = *p++;
  if (lead < 0x80) return lead;
  if (lead < 0xE0) return (lead & 0x1Fu) << 6 | (*p++ & 0x3Fu);
  if (lead < 0xF0) {
    uint32_t cp = (lead & 0x0Fu) << 12;
    cp |= (*p++ & 0x3Fu) << 6;
    return cp | (*p++ & 0x3Fu);
  }
  uint32_t cp = (lead & 0x07u) << 18;
  cp |= (*p++ & 0x3Fu) << 12;
  cp |= (*p++ & 0x3Fu) << 6;
  return cp | (*p++ & 0x3Fu);
}

void append_escaped_text(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
      ++p;
      continue;
    }
    switch (c) {
      case '\\': out += "\\\\"; ++p; continue;
      case '"': out += "\\\""; ++p; continue;
      case '\n': out += "\\n"; ++p; continue;
      case '\r': out += "\\r"; ++p; continue;
      case '\t': out += "\\t"; ++p; continue;
      case '\0': out += "\\0"; ++p; continue;
      default: break;
    }
    const unsigned char* start = p;
    const uint32_t cp = decode(p);
    if (!detail::is_escaped_in_description(cp)) {
      out.append(reinterpret_cast<const char*>(start), p - start);
      continue;
    }
    out += "\\u{";
    int shift = 20;
    while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
    out += '}';
  }
}

}  // namespace

const char* token_kind_name(TokenKind kind) {
  return kTokenKindNames[static_cast<int>(kind)];
}

bool Token::operator==(const Token& other) const {
  if (kind != other.kind) return false;
  switch (kind) {
    case TokenKind::kStringLiteral:
    case TokenKind::kIdentifier: return text == other.text;
    case TokenKind::kIntegerLiteral: return integer == other.integer;
    case TokenKind::kFloatLiteral: return number == other.number;
    case TokenKind::kBooleanLiteral: return boolean == other.boolean;
    default: return true;
  }
}

std::string token_description(const Token& token) {
  detail::TokenView view;
  view.kind = token.kind;
  view.text = token.text;
  view.integer = token.integer;
  view.number = token.number;
  view.boolean = token.boolean;
  return detail::token_description(view);
}

Result<std::vector<SpannedToken>> tokenize(std::string_view text) {
  if (auto bad = detail::check_utf8(text)) {
    return Error::parse_error(std::move(*bad));
  }
  std::vector<SpannedToken> tokens;
  detail::Scanner scanner(text);
  try {
    detail::TokenView view;
    do {
      scanner.next(view);
      SpannedToken& t = tokens.emplace_back();
      t.token.kind = view.kind;
      t.token.text.assign(view.text);
      t.token.integer = view.integer;
      t.token.number = view.number;
      t.token.boolean = view.boolean;
      t.span = view.span;
    } while (view.kind != TokenKind::kEof);
  } catch (detail::ParseFailure& failure) {
    return Error::parse_error(std::move(failure.message));
  }
  return tokens;
}

Result<std::vector<Comment>> scan_comments(std::string_view text) {
  if (auto bad = detail::check_utf8(text)) {
    return Error::parse_error(std::move(*bad));
  }
  std::vector<Comment> comments;
  detail::Scanner scanner(text);
  scanner.record_comments(&comments);
  if (auto error = scanner.first_error_in_rest()) {
    return Error::parse_error(std::move(*error));
  }
  return comments;
}

namespace detail {

bool is_escaped_in_description(uint32_t code_point) {
  const CodePointRange* end = kEscapedRanges + kEscapedRangeCount;
  // The first range whose last code point is not below `code_point`.
  const CodePointRange* it = std::lower_bound(
      kEscapedRanges, end, code_point,
      [](const CodePointRange& r, uint32_t cp) { return r.last < cp; });
  return it != end && it->first <= code_point;
}

void append_token_description(std::string& out, const TokenView& token) {
  out += token_kind_name(token.kind);
  switch (token.kind) {
    case TokenKind::kStringLiteral:
    case TokenKind::kIdentifier:
      out += "(\"";
      append_escaped_text(out, token.text);
      out += "\")";
      return;
    case TokenKind::kIntegerLiteral:
      out += '(';
      append_int(out, token.integer);
      out += ')';
      return;
    case TokenKind::kFloatLiteral:
      out += '(';
      append_double(out, token.number, FloatStyle::kTokenDescription);
      out += ')';
      return;
    case TokenKind::kBooleanLiteral:
      out += token.boolean ? "(true)" : "(false)";
      return;
    default:
      return;
  }
}

std::string token_description(const TokenView& token) {
  std::string out;
  append_token_description(out, token);
  return out;
}

std::optional<std::string> check_utf8(std::string_view text) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  const unsigned char* p = begin;
  while (p < end) {
    // Plain ASCII, eight bytes at a time.
    while (end - p >= 8) {
      if (has_non_ascii(load_word(reinterpret_cast<const char*>(p)))) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // The ranges of well-formed sequences: the second byte's bounds depend
    // on the lead byte (no overlong forms, no surrogates, nothing above
    // U+10FFFF).
    int length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    }
    bool ok = length > 0 && end - p >= length && p[1] >= low && p[1] <= high;
    for (int i = 2; ok && i < length; ++i) ok = is_continuation(p[i]);
    if (ok) {
      p += length;
      continue;
    }
    // Report the first byte of the ill-formed sequence; everything before it
    // is well formed, so counting non-continuation bytes counts characters.
    Span span;
    for (const unsigned char* q = begin; q < p; ++q) {
      if (is_continuation(*q)) continue;
      ++span.offset;
      if (*q == '\n') {
        ++span.line;
        span.column = 1;
      } else {
        ++span.column;
      }
    }
    return "Invalid UTF-8 at " + span.to_string();
  }
  return std::nullopt;
}

Scanner::Scanner(std::string_view text)
    : begin_(text.data()),
      end_(text.data() + text.size()),
      p_(text.data()) {}

void Scanner::fail(std::string message) const {
  throw ParseFailure{std::move(message), true};
}

uint64_t Scanner::char_offset(const char* at) const {
  return static_cast<uint64_t>(at - begin_) - continuation_bytes_;
}

Span Scanner::span_at(const char* at) {
  const uint64_t offset = char_offset(at);
  return Span{line_, offset - line_start_ + 1, offset};
}

void Scanner::new_line(const char* line_feed) {
  ++line_;
  line_start_ = char_offset(line_feed + 1);
}

void Scanner::next(TokenView& out) {
  // Layout: white space and // comments.
  while (p_ < end_) {
    const char c = *p_;
    if (has_class(c, kLayout)) {
      ++p_;
    } else if (c == '\n') {
      new_line(p_);
      ++p_;
    } else if (c == '/' && end_ - p_ >= 2 && p_[1] == '/') {
      // The comment ends before its line feed, which is then layout.
      const void* lf = std::memchr(p_ + 2, '\n', end_ - (p_ + 2));
      const char* comment_end = lf ? static_cast<const char*>(lf) : end_;
      if (comments_ != nullptr) {
        comments_->push_back(
            Comment{std::string_view(p_ + 2, comment_end - (p_ + 2)),
                    span_at(p_)});
      }
      continuation_bytes_ += count_continuation_bytes(p_ + 2, comment_end);
      p_ = comment_end;
    } else {
      break;
    }
  }
  out.span = span_at(p_);
  out.text = {};
  if (p_ == end_) {
    out.kind = TokenKind::kEof;
    return;
  }
  const char c = *p_;
  TokenKind punctuation;
  switch (c) {
    case '{': punctuation = TokenKind::kLBrace; break;
    case '}': punctuation = TokenKind::kRBrace; break;
    case '[': punctuation = TokenKind::kLBracket; break;
    case ']': punctuation = TokenKind::kRBracket; break;
    case '<': punctuation = TokenKind::kLAngle; break;
    case '>': punctuation = TokenKind::kRAngle; break;
    case ':': punctuation = TokenKind::kColon; break;
    case ',': punctuation = TokenKind::kComma; break;
    case '=': punctuation = TokenKind::kEquals; break;
    case '"': scan_string(out); return;
    default:
      if (has_class(c, kDigit)) {
        scan_number(out);
        return;
      }
      if (has_class(c, kWordStart)) {
        scan_word(out);
        return;
      }
      {
        const int length = sequence_length(static_cast<unsigned char>(c));
        std::string message = "Unexpected character '";
        message.append(p_, length);
        message += "' at ";
        message += out.span.to_string();
        fail(std::move(message));
      }
  }
  ++p_;
  out.kind = punctuation;
}

void Scanner::scan_string(TokenView& out) {
  const Span opening = out.span;
  const char* run = ++p_;  // bytes not yet copied to the buffer
  const char* q = run;
  bool escaped = false;
  for (;;) {
    q = skip_string_bytes(q, end_, continuation_bytes_);
    if (q == end_) {
      fail("Unterminated string starting at " + opening.to_string());
    }
    if (*q == '"') break;
    if (*q == '\n') {
      new_line(q);
      ++q;
      continue;
    }
    // A backslash: the value no longer equals a slice of the source.
    if (!escaped) {
      escaped = true;
      buffer_.clear();
    }
    buffer_.append(run, q);
    if (end_ - q < 2) {
      fail("Unterminated escape sequence at " + span_at(end_).to_string());
    }
    switch (q[1]) {
      case 'n': buffer_ += '\n'; break;
      case 't': buffer_ += '\t'; break;
      case '"': buffer_ += '"'; break;
      case '\\': buffer_ += '\\'; break;
      default: {
        const char* bad = q + 1;
        const int length = sequence_length(static_cast<unsigned char>(*bad));
        if (*bad == '\n') new_line(bad);
        continuation_bytes_ += length - 1;
        std::string message = "Invalid escape sequence '\\";
        message.append(bad, length);
        message += "' at ";
        message += span_at(bad + length).to_string();
        fail(std::move(message));
      }
    }
    q += 2;
    run = q;
  }
  out.kind = TokenKind::kStringLiteral;
  if (escaped) {
    buffer_.append(run, q);
    out.text = buffer_;
  } else {
    out.text = std::string_view(run, q - run);
  }
  p_ = q + 1;
}

void Scanner::scan_number(TokenView& out) {
  const char* start = p_;
  int dots = 0;
  while (p_ < end_ && (has_class(*p_, kDigit) || *p_ == '.')) {
    dots += *p_ == '.';
    ++p_;
  }
  if (p_ < end_ && *p_ == '-' && dots == 0) {
    while (p_ < end_ && has_class(*p_, kTimestamp)) ++p_;
    const std::string_view text(start, p_ - start);
    const bool accepted =
        text.size() >= 20 && text.find('T') != std::string_view::npos &&
        (text.back() == 'Z' || text.find('+') != std::string_view::npos);
    if (!accepted) {
      fail("Invalid timestamp '" + std::string(text) + "' at " +
           out.span.to_string());
    }
    out.kind = TokenKind::kStringLiteral;
    out.text = text;
    return;
  }
  const std::string_view text(start, p_ - start);
  if (dots > 0) {
    if (dots > 1) {
      fail("Invalid float '" + std::string(text) + "' at " +
           out.span.to_string());
    }
    double value = 0.0;
    // Correctly rounded, ties to even, and independent of the locale.
    const auto res = std::from_chars(start, p_, value,
                                     std::chars_format::fixed);
    if (res.ec == std::errc::result_out_of_range) {
      // Too large, or so small that it rounds to zero: a non-zero digit
      // before the point means too large.
      const bool large = text.find_first_not_of("0") < text.find('.');
      value = large ? std::numeric_limits<double>::infinity() : 0.0;
    }
    out.kind = TokenKind::kFloatLiteral;
    out.number = value;
    return;
  }
  int64_t value = 0;
  const auto res = std::from_chars(start, p_, value);
  if (res.ec != std::errc()) {
    fail("Invalid integer '" + std::string(text) + "' at " +
         out.span.to_string());
  }
  out.kind = TokenKind::kIntegerLiteral;
  out.integer = value;
}

void Scanner::scan_word(TokenView& out) {
  const char* start = p_;
  ++p_;
  while (p_ < end_ && has_class(*p_, kWordPart)) ++p_;
  const std::string_view word(start, p_ - start);
  if (lookup_keyword(word, out)) return;
  out.kind = TokenKind::kIdentifier;
  out.text = word;
}

std::optional<std::string> Scanner::first_error_in_rest() {
  try {
    TokenView view;
    do {
      next(view);
    } while (view.kind != TokenKind::kEof);
  } catch (ParseFailure& failure) {
    return std::move(failure.message);
  }
  return std::nullopt;
}

}  // namespace detail
}  // namespace qel
