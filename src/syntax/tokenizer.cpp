#include "syntax/tokenizer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "qel/json.h"
#include "qel/syntax_tree.h"
#include "syntax/escape_ranges.h"
#include "syntax/tree_builder.h"
#include "util/cpu.h"
#include "util/simd_scan.h"
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
    "Comment",
};

// The keywords' lengths, by kind (Contract .. EnumType): a keyword token's
// end is known from its kind alone.
constexpr uint8_t kKeywordLengths[] = {8, 8, 16, 13, 19, 20, 20, 10, 7,
                                       5, 6, 7,  7,  4,  5,  3,  6,  4};

// Byte classes for the scanner; bytes >= 0x80 belong to none of them, so
// non-ASCII text can only appear inside strings and comments.
enum : uint8_t {
  kLayout = 1,        // \t \n \f \r space
  kDigit = 2,
  kWordStart = 4,     // A-Z a-z _
  kTimestamp = 32,    // - : + . 0-9 A-Z a-z
};

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> c{};
  c['\t'] = c['\n'] = c['\f'] = c['\r'] = c[' '] = kLayout;
  for (int d = '0'; d <= '9'; ++d) c[d] = kDigit | kTimestamp;
  for (int l = 'a'; l <= 'z'; ++l) {
    c[l] = kWordStart | kTimestamp;
    c[l - 'a' + 'A'] = kWordStart | kTimestamp;
  }
  c['_'] = kWordStart;
  c['-'] = kTimestamp;
  c[':'] = c['+'] = c['.'] = kTimestamp;
  return c;
}

constexpr std::array<uint8_t, 256> kClasses = make_classes();

inline bool has_class(char c, uint8_t cls) {
  return (kClasses[static_cast<unsigned char>(c)] & cls) != 0;
}

// What the scanner does at the first byte of a token, found by one table
// look-up instead of a chain of comparisons.
enum Start : uint8_t {
  kStartOther = 0,  // an unexpected character
  kStartLayout,     // layout other than a space
  kStartPunctuation,
  kStartQuote,
  kStartSlash,
  kStartDigit,
  kStartWord,
};

struct StartTable {
  std::array<Start, 256> start{};
  std::array<TokenKind, 256> punctuation{};
};

constexpr StartTable make_start_table() {
  StartTable t;
  for (int c = 0; c < 256; ++c) {
    if (kClasses[c] & kLayout) t.start[c] = kStartLayout;
    if (kClasses[c] & kDigit) t.start[c] = kStartDigit;
    else if (kClasses[c] & kWordStart) t.start[c] = kStartWord;
  }
  t.start['"'] = kStartQuote;
  t.start['/'] = kStartSlash;
  const std::pair<char, TokenKind> punctuation[] = {
      {'{', TokenKind::kLBrace},   {'}', TokenKind::kRBrace},
      {'[', TokenKind::kLBracket}, {']', TokenKind::kRBracket},
      {'<', TokenKind::kLAngle},   {'>', TokenKind::kRAngle},
      {':', TokenKind::kColon},    {',', TokenKind::kComma},
      {'=', TokenKind::kEquals},
  };
  for (const auto& [c, kind] : punctuation) {
    t.start[static_cast<unsigned char>(c)] = kStartPunctuation;
    t.punctuation[static_cast<unsigned char>(c)] = kind;
  }
  return t;
}

constexpr StartTable kStartTable = make_start_table();

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The byte loops of each instruction path; the escaped-string path, which
// is rare, takes the set that needs no attribute.
using detail::ScalarScan;
template <typename Scan>
struct ColdScan {
  using type = Scan;
};
#if QEL_HAVE_X86_SIMD
using detail::Avx2Scan;
using detail::Sse2Scan;
template <>
struct ColdScan<Avx2Scan> {
  using type = Sse2Scan;
};
#endif

// Length of the UTF-8 sequence that starts with `lead` (a valid lead byte).
inline int sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Keywords are recognised after the whole word is scanned: by length first,
// then by comparing the bytes. "true" and "false" are BooleanLiteral.
[[gnu::always_inline]] inline bool lookup_keyword(std::string_view w,
                                                 TokenKind& kind) {
  using K = TokenKind;
  // The length is known per case, so each comparison is inlined.
  auto is = [&w](const auto& keyword) {
    return std::memcmp(w.data(), keyword, sizeof keyword - 1) == 0;
  };
  switch (w.size()) {
    case 3:
      if (!is("Map")) return false;
      kind = K::kMapType;
      return true;
    case 4:
      if (is("true")) kind = K::kBooleanLiteral;
      else if (is("Enum")) kind = K::kEnumType;
      else if (is("UUID")) kind = K::kUuidType;
      else return false;
      return true;
    case 5:
      if (is("false")) kind = K::kBooleanLiteral;
      else if (is("Array")) kind = K::kArrayType;
      else if (is("Float")) kind = K::kFloatType;
      else return false;
      return true;
    case 6:
      if (is("String")) kind = K::kStringType;
      else if (is("Object")) kind = K::kObjectType;
      else return false;
      return true;
    case 7:
      if (is("Integer")) kind = K::kIntegerType;
      else if (is("Boolean")) kind = K::kBooleanType;
      else if (is("ISO8601")) kind = K::kIso8601Type;
      else return false;
      return true;
    case 8:
      if (is("Contract")) kind = K::kContract;
      else if (is("Identity")) kind = K::kIdentity;
      else return false;
      return true;
    case 10:
      if (!is("Extensions")) return false;
      kind = K::kExtensions;
      return true;
    case 13:
      if (!is("DataSemantics")) return false;
      kind = K::kDataSemantics;
      return true;
    case 16:
      if (!is("PurposeStatement")) return false;
      kind = K::kPurposeStatement;
      return true;
    case 19:
      if (!is("BehavioralSemantics")) return false;
      kind = K::kBehavioralSemantics;
      return true;
    case 20:
      if (is("ExecutionConstraints")) kind = K::kExecutionConstraints;
      else if (is("HumanMachineContract")) kind = K::kHumanMachineContract;
      else return false;
      return true;
    default:
      return false;
  }
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

// Scans one text into the builder's tokens; a lexical error is thrown
// with its message, positioned by counting from the start of the text.
// What does not depend on the instruction path lives here, out of line.
class ScannerBase {
 protected:
  ScannerBase(std::string_view text, detail::TreeBuilder& builder)
      : text_(text),
        begin_(text.data()),
        end_(text.data() + text.size()),
        builder_(builder) {}

  // Errors are built out of line, which keeps the scanning loop's
  // position in a register.
  [[noreturn, gnu::cold, gnu::noinline]] void fail(std::string message,
                                                   const char* at) const {
    message += " at ";
    message += detail::span_of_byte(text_, static_cast<size_t>(at - begin_))
                   .to_string();
    throw detail::ParseFailure{std::move(message)};
  }
  [[noreturn, gnu::cold, gnu::noinline]] void fail_unexpected(
      const char* p) const;
  void add(TokenKind kind, const char* at) {
    builder_.add_token(kind, static_cast<size_t>(at - begin_));
  }

  template <typename Scan>
  [[gnu::noinline]] const char* scan_escaped_string(const char* p,
                                                    const char* q);
  [[gnu::always_inline]] inline const char* scan_number(const char* p);

  std::string_view text_;
  const char* begin_;
  const char* end_;
  detail::TreeBuilder& builder_;
};

// The scanning loop for one instruction path. Its functions are inlined
// into the entry point of that path, which carries the path's target
// attribute.
template <typename Scan>
class Scanner : ScannerBase {
 public:
  Scanner(std::string_view text, detail::TreeBuilder& builder)
      : ScannerBase(text, builder) {}

  [[gnu::always_inline]] inline void run();

 private:
  [[gnu::always_inline]] inline const char* scan_string(const char* p);
  [[gnu::always_inline]] inline const char* scan_word(const char* p);
};

template <typename Scan>
void Scanner<Scan>::run() {
  // About one token per nine bytes in typical contracts. Room reserved
  // but never used is never touched; the arrays grow past it if they must.
  builder_.reserve_tokens(text_.size() / 4 + 16);
  const char* p = begin_;
  for (;;) {
    // Layout is mostly one space between tokens, or a line feed and the
    // next line's indentation: a single space is stepped over, and only
    // a run of them is skipped a word at a time.
    if (p == end_) {
      add(TokenKind::kEof, p);
      return;
    }
    const auto c = static_cast<unsigned char>(*p);
    if (c == ' ') {
      ++p;
      if (p != end_ && *p == ' ') p = Scan::skip_spaces(p + 1, end_);
      continue;
    }
    // The commonest starts first; the rest share one jump.
    const Start start = kStartTable.start[c];
    if (start == kStartPunctuation) {
      add(kStartTable.punctuation[c], p);
      ++p;
      continue;
    }
    if (start == kStartWord) {
      p = scan_word(p);
      continue;
    }
    switch (start) {
      case kStartLayout:
        ++p;
        continue;
      case kStartQuote:
        p = scan_string(p);
        continue;
      case kStartDigit:
        p = scan_number(p);
        continue;
      case kStartSlash:
        if (end_ - p >= 2 && p[1] == '/') {
          // The comment ends before its line feed, which is then layout.
          add(TokenKind::kComment, p);
          const void* lf = std::memchr(p + 2, '\n', end_ - (p + 2));
          p = lf ? static_cast<const char*>(lf) : end_;
          continue;
        }
        break;
      default:
        break;
    }
    fail_unexpected(p);
  }
}

void ScannerBase::fail_unexpected(const char* p) const {
  const int length = sequence_length(static_cast<unsigned char>(*p));
  std::string message = "Unexpected character '";
  message.append(p, length);
  message += '\'';
  fail(std::move(message), p);
}

// Returns the position after the closing quote. The value is a slice of
// the source unless an escape occurs; then it is decoded into the tree.
template <typename Scan>
const char* Scanner<Scan>::scan_string(const char* p) {
  add(TokenKind::kStringLiteral, p);
  const char* q = Scan::find_string_stop(p + 1, end_);
  if (q != end_ && *q == '"') return q + 1;
  return scan_escaped_string<typename ColdScan<Scan>::type>(p, q);
}

// The rest of the string at `p` whose first stop `q` is a backslash or the
// end of the text.
template <typename Scan>
const char* ScannerBase::scan_escaped_string(const char* p, const char* q) {
  const char* run = p + 1;  // bytes not yet copied to the decoded value
  bool escaped = false;
  size_t decoded_start = 0;
  for (;;) {
    if (q == end_) fail("Unterminated string starting", p);
    if (*q == '"') break;
    std::string& decoded = builder_.decoded();
    if (!escaped) {
      escaped = true;
      decoded_start = decoded.size();
    }
    decoded.append(run, q);
    if (end_ - q < 2) fail("Unterminated escape sequence", end_);
    switch (q[1]) {
      case 'n': decoded += '\n'; break;
      case 't': decoded += '\t'; break;
      case '"': decoded += '"'; break;
      case '\\': decoded += '\\'; break;
      default: {
        const char* bad = q + 1;
        const int length = sequence_length(static_cast<unsigned char>(*bad));
        std::string message = "Invalid escape sequence '\\";
        message.append(bad, length);
        message += '\'';
        fail(std::move(message), bad + length);
      }
    }
    q += 2;
    run = q;
    q = Scan::find_string_stop(q, end_);
  }
  if (escaped) {
    builder_.decoded().append(run, q);
    builder_.end_decoded(decoded_start);
  }
  return q + 1;
}

// Numbers are short and rare next to words and strings: byte by byte.
const char* ScannerBase::scan_number(const char* p) {
  const char* start = p;
  int dots = 0;
  while (p < end_ && (has_class(*p, kDigit) || *p == '.')) {
    dots += *p == '.';
    ++p;
  }
  if (p < end_ && *p == '-' && dots == 0) {
    while (p < end_ && has_class(*p, kTimestamp)) ++p;
    const std::string_view text(start, p - start);
    const bool accepted =
        text.size() >= 20 && text.find('T') != std::string_view::npos &&
        (text.back() == 'Z' || text.find('+') != std::string_view::npos);
    if (!accepted) fail("Invalid timestamp '" + std::string(text) + "'", start);
    add(TokenKind::kStringLiteral, start);
    return p;
  }
  const std::string_view text(start, p - start);
  if (dots > 0) {
    if (dots > 1) fail("Invalid float '" + std::string(text) + "'", start);
    add(TokenKind::kFloatLiteral, start);
    return p;
  }
  int64_t value = 0;
  if (std::from_chars(start, p, value).ec != std::errc()) {
    fail("Invalid integer '" + std::string(text) + "'", start);
  }
  add(TokenKind::kIntegerLiteral, start);
  return p;
}

template <typename Scan>
const char* Scanner<Scan>::scan_word(const char* p) {
  const char* start = p;
  p = Scan::skip_word(p + 1, end_);
  TokenKind kind = TokenKind::kIdentifier;
  lookup_keyword(std::string_view(start, p - start), kind);
  add(kind, start);
  return p;
}

// One past the last byte of a token, found again from its start.
template <typename Scan>
[[gnu::always_inline]] inline size_t token_end_with(std::string_view text,
                                                    size_t offset,
                                                    TokenKind kind) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin + offset;
  switch (kind) {
    case TokenKind::kBooleanLiteral:
      return offset + (*p == 't' ? 4 : 5);
    case TokenKind::kIdentifier:
      p = Scan::skip_word(p + 1, end);
      break;
    case TokenKind::kIntegerLiteral:
      while (p < end && has_class(*p, kDigit)) ++p;
      break;
    case TokenKind::kFloatLiteral:
      while (p < end && (has_class(*p, kDigit) || *p == '.')) ++p;
      break;
    case TokenKind::kStringLiteral:
      if (*p != '"') {  // a bare timestamp
        while (p < end && has_class(*p, kTimestamp)) ++p;
        break;
      }
      for (++p;;) {
        p = Scan::find_string_stop(p, end);
        if (*p == '"') break;
        p += 2;  // a backslash and the character it escapes
      }
      ++p;
      break;
    case TokenKind::kComment: {
      const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
      p = lf ? static_cast<const char*>(lf) : end;
      break;
    }
    case TokenKind::kEof:
      return offset;
    default: {
      const auto k = static_cast<size_t>(kind);
      if (k < sizeof kKeywordLengths) return offset + kKeywordLengths[k];
      return offset + 1;  // punctuation
    }
  }
  return static_cast<size_t>(p - begin);
}

// The first byte of a text that does not begin a well-formed UTF-8
// sequence, or its end.
template <typename Scan>
[[gnu::always_inline]] inline const unsigned char* first_invalid_utf8(
    const unsigned char* p, const unsigned char* end) {
  while (p < end) {
    // Plain ASCII, a vector at a time.
    p = reinterpret_cast<const unsigned char*>(
        Scan::skip_ascii(reinterpret_cast<const char*>(p),
                         reinterpret_cast<const char*>(end)));
    if (p == end) break;
    const unsigned char c = *p;
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
    if (!ok) return p;
    p += length;
  }
  return end;
}

// One entry point per instruction path for each scan; the AVX2 ones carry
// the attribute that lets the vector loops inline into them.
#define QEL_PATH_ENTRIES(Scan, name, ...)                                    \
  __VA_ARGS__ void scan_##name(std::string_view text,                        \
                              detail::TreeBuilder& builder) {                \
    Scanner<Scan>(text, builder).run();                                      \
  }                                                                          \
  __VA_ARGS__ size_t token_end_##name(std::string_view text, size_t offset,  \
                                     TokenKind kind) {                       \
    return token_end_with<Scan>(text, offset, kind);                         \
  }
#define QEL_UTF8_ENTRY(Scan, name, ...)                                      \
  __VA_ARGS__ const unsigned char* first_invalid_utf8_##name(                \
      const unsigned char* p, const unsigned char* end) {                    \
    return first_invalid_utf8<Scan>(p, end);                                 \
  }

QEL_PATH_ENTRIES(ScalarScan, scalar, [[gnu::noinline]])
QEL_UTF8_ENTRY(ScalarScan, scalar, [[gnu::noinline]])
#if QEL_HAVE_X86_SIMD
QEL_PATH_ENTRIES(Sse2Scan, sse2, [[gnu::noinline]])
QEL_UTF8_ENTRY(Sse2Scan, sse2, [[gnu::noinline]])
QEL_PATH_ENTRIES(Avx2Scan, avx2, [[gnu::noinline, gnu::target("avx2")]])
#endif
#undef QEL_PATH_ENTRIES
#undef QEL_UTF8_ENTRY

#if QEL_HAVE_X86_SIMD

// The UTF-8 check 32 bytes at a time, with no branch on the bytes: text
// that is not ASCII every few characters (names and prose in most
// languages) would otherwise take the byte-at-a-time loop for most of its
// length. Each pair of adjacent bytes is classified by three table lookups
// (the first byte's high and low half, the second byte's high half), whose
// intersection is empty exactly when the pair may stand next to each other
// in well-formed UTF-8 (no overlong form, no surrogate, nothing above
// U+10FFFF, no continuation without a lead and no lead without enough
// continuations); the third and fourth bytes of longer sequences are
// checked against the lead two and three bytes before. A block that holds
// an error hands the search for its exact place to the byte loop.
namespace utf8_pairs {

// Why a pair of bytes cannot stand next to each other.
constexpr unsigned char kTooShort = 1 << 0;    // lead, then no continuation
constexpr unsigned char kTooLong = 1 << 1;     // ASCII, then a continuation
constexpr unsigned char kOverlong3 = 1 << 2;   // E0, then 80..9F
constexpr unsigned char kTooLarge = 1 << 3;    // F4 then 90..BF, F5.. then 90..BF
constexpr unsigned char kSurrogate = 1 << 4;   // ED, then A0..BF
constexpr unsigned char kOverlong2 = 1 << 5;   // C0 or C1, then a continuation
constexpr unsigned char kLarge1000 = 1 << 6;   // F5.. then 80..8F, or F0 then 80..8F
constexpr unsigned char kTwoConts = 1 << 7;    // two continuations
// The classes the first byte's low half does not narrow down.
constexpr unsigned char kAnyLow = kTooShort | kTooLong | kTwoConts;

[[gnu::target("avx2")]] inline __m256i table(const unsigned char (&t)[16]) {
  return _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

[[gnu::target("avx2")]] inline __m256i high_half(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The bytes of `input` shifted `n` places later, the last ones of `prev`
// coming in front.
template <int n>
[[gnu::target("avx2")]] inline __m256i earlier(__m256i input, __m256i prev) {
  return _mm256_alignr_epi8(
      input, _mm256_permute2x128_si256(prev, input, 0x21), 16 - n);
}

// Nonzero bytes where `input`, after `prev`, breaks a rule.
[[gnu::target("avx2")]] inline __m256i errors(__m256i input, __m256i prev) {
  static constexpr unsigned char kFirstHigh[16] = {
      // 0___: ASCII
      kTooLong, kTooLong, kTooLong, kTooLong,
      kTooLong, kTooLong, kTooLong, kTooLong,
      // 10__: a continuation
      kTwoConts, kTwoConts, kTwoConts, kTwoConts,
      // 1100, 1101: a two-byte lead
      kTooShort | kOverlong2, kTooShort,
      // 1110: a three-byte lead
      kTooShort | kOverlong3 | kSurrogate,
      // 1111: a four-byte lead (or no lead at all)
      kTooShort | kTooLarge | kLarge1000};
  static constexpr unsigned char kFirstLow[16] = {
      kAnyLow | kOverlong3 | kOverlong2 | kLarge1000,  // ___0000
      kAnyLow | kOverlong2,                            // ___0001
      kAnyLow, kAnyLow,                                // ___001_
      kAnyLow | kTooLarge,                             // ___0100
      kAnyLow | kTooLarge | kLarge1000,                // ___0101
      kAnyLow | kTooLarge | kLarge1000,                // ___011_
      kAnyLow | kTooLarge | kLarge1000,
      kAnyLow | kTooLarge | kLarge1000,                // ___1___
      kAnyLow | kTooLarge | kLarge1000,
      kAnyLow | kTooLarge | kLarge1000,
      kAnyLow | kTooLarge | kLarge1000,
      kAnyLow | kTooLarge | kLarge1000,
      kAnyLow | kTooLarge | kLarge1000 | kSurrogate,   // ___1101
      kAnyLow | kTooLarge | kLarge1000,
      kAnyLow | kTooLarge | kLarge1000};
  static constexpr unsigned char kSecondHigh[16] = {
      // ASCII after a lead
      kTooShort, kTooShort, kTooShort, kTooShort,
      kTooShort, kTooShort, kTooShort, kTooShort,
      // 1000____
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kLarge1000,
      // 1001____
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
      // 101_____
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      // a lead after a lead
      kTooShort, kTooShort, kTooShort, kTooShort};
  const __m256i prev1 = earlier<1>(input, prev);
  const __m256i pairs = _mm256_and_si256(
      _mm256_and_si256(
          _mm256_shuffle_epi8(table(kFirstHigh), high_half(prev1)),
          _mm256_shuffle_epi8(table(kFirstLow),
                              _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
      _mm256_shuffle_epi8(table(kSecondHigh), high_half(input)));
  // Two continuations in a row are right exactly where a three- or
  // four-byte lead stands two or three bytes before.
  const __m256i third = _mm256_subs_epu8(earlier<2>(input, prev),
                                         _mm256_set1_epi8(0xE0 - 0x80));
  const __m256i fourth = _mm256_subs_epu8(earlier<3>(input, prev),
                                          _mm256_set1_epi8(0xF0 - 0x80));
  const __m256i continued = _mm256_and_si256(_mm256_or_si256(third, fourth),
                                             _mm256_set1_epi8(0x80 - 256));
  return _mm256_xor_si256(continued, pairs);
}

// Nonzero when the block ends inside a sequence that needs more bytes.
[[gnu::target("avx2")]] inline __m256i unfinished(__m256i input) {
  const __m256i last = _mm256_setr_epi8(
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
      static_cast<char>(0xC0 - 1));
  return _mm256_subs_epu8(input, last);
}

}  // namespace utf8_pairs

[[gnu::noinline, gnu::target("avx2")]] const unsigned char*
first_invalid_utf8_avx2(const unsigned char* p, const unsigned char* end) {
  const unsigned char* const begin = p;
  __m256i prev = _mm256_setzero_si256();
  __m256i prev_unfinished = _mm256_setzero_si256();
  for (; end - p >= 32; p += 32) {
    // Runs of ASCII, 64 bytes at a time, once no sequence is open: most
    // texts are mostly ASCII.
    if (_mm256_testz_si256(prev_unfinished, prev_unfinished)) {
      const unsigned char* const run = p;
      while (end - p >= 64 &&
             _mm256_movemask_epi8(_mm256_or_si256(
                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                 _mm256_loadu_si256(
                     reinterpret_cast<const __m256i*>(p + 32)))) == 0) {
        p += 64;
      }
      if (p != run) prev = _mm256_setzero_si256();  // as good as ASCII
      if (end - p < 32) break;
    }
    const __m256i input =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i error;
    if (_mm256_movemask_epi8(input) == 0) {
      error = prev_unfinished;  // ASCII: right unless a sequence was cut
    } else {
      error = utf8_pairs::errors(input, prev);
      prev_unfinished = utf8_pairs::unfinished(input);
    }
    if (!_mm256_testz_si256(error, error)) break;
    prev = input;
  }
  // Everything before p is well formed but for a sequence the last block
  // may have cut, whose lead is among the three bytes before p: the byte
  // loop goes on from the first character that starts there (or at p),
  // over the block that holds an error or the last bytes of the text.
  const unsigned char* from = p - std::min<std::ptrdiff_t>(3, p - begin);
  while (from < p && is_continuation(*from)) ++from;
  return first_invalid_utf8<Avx2Scan>(from, end);
}

#endif  // QEL_HAVE_X86_SIMD

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
  detail::TreeBuilder builder(text);
  try {
    detail::scan_tokens(text, builder);
  } catch (detail::ParseFailure& failure) {
    return Error::parse_error(std::move(failure.message));
  }
  const SyntaxTree& tree = builder.tree();
  std::vector<SpannedToken> tokens;
  for (uint32_t i = 0; i < tree.token_count(); ++i) {
    const TokenKind kind = tree.token_kind(i);
    if (kind == TokenKind::kComment) continue;
    SpannedToken& t = tokens.emplace_back();
    t.token.kind = kind;
    switch (kind) {
      case TokenKind::kStringLiteral: t.token.text = tree.string_value(i); break;
      case TokenKind::kIdentifier: t.token.text = tree.token_text(i); break;
      case TokenKind::kIntegerLiteral: t.token.integer = tree.integer_value(i); break;
      case TokenKind::kFloatLiteral: t.token.number = tree.float_value(i); break;
      case TokenKind::kBooleanLiteral: t.token.boolean = tree.boolean_value(i); break;
      default: break;
    }
    t.span = tree.token_span(i);
  }
  return tokens;
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
  const unsigned char* bad = nullptr;
  switch (simd_path()) {
#if QEL_HAVE_X86_SIMD
    case SimdPath::kAvx2: bad = first_invalid_utf8_avx2(begin, end); break;
    case SimdPath::kSse2: bad = first_invalid_utf8_sse2(begin, end); break;
#endif
    default: bad = first_invalid_utf8_scalar(begin, end); break;
  }
  if (bad == end) return std::nullopt;
  // Everything before the ill-formed sequence is well formed, so it can be
  // counted like any text.
  return "Invalid UTF-8 at " +
         span_of_byte(text, static_cast<size_t>(bad - begin)).to_string();
}

Span span_of_byte(std::string_view text, size_t offset) {
  const char* const begin = text.data();
  const char* const at = begin + offset;
  Span span;
  const char* line_start = begin;
  for (const char* q = begin;;) {
    const void* lf = std::memchr(q, '\n', static_cast<size_t>(at - q));
    if (lf == nullptr) break;
    ++span.line;
    q = static_cast<const char*>(lf) + 1;
    line_start = q;
  }
  uint64_t continuation_before_line = 0;
  uint64_t continuation_in_line = 0;
  for (const char* q = begin; q < at; ++q) {
    if (is_continuation(static_cast<unsigned char>(*q))) {
      ++(q < line_start ? continuation_before_line : continuation_in_line);
    }
  }
  span.offset = offset - continuation_before_line - continuation_in_line;
  span.column =
      static_cast<uint64_t>(at - line_start) - continuation_in_line + 1;
  span.byte = offset;
  return span;
}

void scan_tokens(std::string_view text, TreeBuilder& builder) {
  switch (simd_path()) {
#if QEL_HAVE_X86_SIMD
    case SimdPath::kAvx2: return scan_avx2(text, builder);
    case SimdPath::kSse2: return scan_sse2(text, builder);
#endif
    default: return scan_scalar(text, builder);
  }
}

size_t token_end_at(std::string_view text, size_t offset, TokenKind kind) {
  switch (simd_path()) {
#if QEL_HAVE_X86_SIMD
    case SimdPath::kAvx2: return token_end_avx2(text, offset, kind);
    case SimdPath::kSse2: return token_end_sse2(text, offset, kind);
#endif
    default: return token_end_scalar(text, offset, kind);
  }
}

double float_literal_value(std::string_view text) {
  double value = 0.0;
  // Correctly rounded, ties to even, and independent of the locale.
  const auto res = std::from_chars(text.data(), text.data() + text.size(),
                                   value, std::chars_format::fixed);
  if (res.ec == std::errc::result_out_of_range) {
    // Too large, or so small that it rounds to zero: a non-zero digit
    // before the point means too large.
    const bool large = text.find_first_not_of('0') < text.find('.');
    value = large ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

}  // namespace detail
}  // namespace qel
