#include "qel/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <type_traits>

#include "util/swar.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qel {

const Json* Json::find(std::string_view key) const {
  if (!is_object()) return nullptr;
  const Object& o = as_object();
  auto it = o.find(key);
  return it == o.end() ? nullptr : &it->second;
}

namespace {

// Shortest round-trip digits of a finite, non-zero magnitude and the decimal
// exponent of its first digit: value = d0.d1d2... * 10^exponent.
struct Decimal {
  char digits[32];
  int length = 0;
  int exponent = 0;
};

Decimal shortest_decimal(double magnitude) {
  char buf[64];
  // to_chars without a precision gives the shortest text that round-trips,
  // independent of the global locale.
  auto res = std::to_chars(buf, buf + sizeof buf, magnitude,
                           std::chars_format::scientific);
  Decimal d;
  const char* p = buf;
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.length++] = *p;
  }
  // Drop trailing zeros of the mantissa ("1e+16" has none, but be safe).
  while (d.length > 1 && d.digits[d.length - 1] == '0') --d.length;
  ++p;  // 'e'
  bool negative = *p == '-';
  ++p;
  int e = 0;
  for (; p < res.ptr; ++p) e = e * 10 + (*p - '0');
  d.exponent = negative ? -e : e;
  return d;
}

// Positional notation of the digits; `force_fraction` appends ".0" to whole
// values.
template <typename Out>
void append_positional(Out& out, const Decimal& d,
                       bool force_fraction) {
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-d.exponent - 1), '0');
    out.append(d.digits, d.length);
    return;
  }
  const int int_digits = d.exponent + 1;
  if (d.length <= int_digits) {
    out.append(d.digits, d.length);
    out.append(static_cast<size_t>(int_digits - d.length), '0');
    if (force_fraction) out += ".0";
    return;
  }
  out.append(d.digits, int_digits);
  out += '.';
  out.append(d.digits + int_digits, d.length - int_digits);
}

template <typename Out>
void append_exponential(Out& out, const Decimal& d, bool plus_sign) {
  out += d.digits[0];
  if (d.length > 1) {
    out += '.';
    out.append(d.digits + 1, d.length - 1);
  }
  out += 'e';
  if (d.exponent < 0) {
    out += '-';
  } else if (plus_sign) {
    out += '+';
  }
  append_int(out, d.exponent < 0 ? -d.exponent : d.exponent);
}

}  // namespace

template <typename Out>
void append_double(Out& out, double value, FloatStyle style) {
  if (std::isnan(value)) {
    switch (style) {
      case FloatStyle::kJson: out += "null"; return;
      case FloatStyle::kCanonical: out += "NaN.0"; return;
      default: out += "NaN"; return;
    }
  }
  if (std::isinf(value)) {
    if (style == FloatStyle::kJson) {
      out += "null";
      return;
    }
    if (value < 0) out += '-';
    out += style == FloatStyle::kCanonical ? "inf.0" : "inf";
    return;
  }
  if (std::signbit(value)) out += '-';
  if (value == 0) {
    out += style == FloatStyle::kPlain ? "0" : "0.0";
    return;
  }
  const Decimal d = shortest_decimal(std::fabs(value));
  switch (style) {
    case FloatStyle::kJson:
      if (d.exponent >= -5 && d.exponent <= 15) {
        append_positional(out, d, true);
      } else {
        append_exponential(out, d, true);
      }
      return;
    case FloatStyle::kTokenDescription:
      if (d.exponent >= -4 && d.exponent <= 15) {
        append_positional(out, d, true);
      } else {
        append_exponential(out, d, false);
      }
      return;
    case FloatStyle::kPlain:
      append_positional(out, d, false);
      return;
    case FloatStyle::kCanonical:
      append_positional(out, d, true);
      return;
  }
}

std::string format_double(double value, FloatStyle style) {
  std::string out;
  append_double(out, value, style);
  return out;
}

template <typename Out>
void append_int(Out& out, int64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

template <typename Out>
void append_uint(Out& out, uint64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

namespace {

// Where the first byte at or after `p` that a JSON string must escape
// (a control byte, '"' or '\\') lies, or `end`. `seen` gathers the high
// bits of bytes looked at (never past `end`): whether the text holds UTF-8.
#if defined(__SSE2__)

inline unsigned special_mask(__m128i v) {
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)),
                                         _mm_set1_epi8(0x1F));
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}

// The block of sixteen bytes at `p`, of which fewer than sixteen are the
// text's. Read in place when the block lies within one page, which is
// then mapped whatever the bytes past the text are (they are masked off);
// else copied, padded with plain bytes.
__attribute__((no_sanitize("address"))) inline __m128i load_short(
    const char* p, std::size_t n) {
  constexpr std::uintptr_t kPage = 4096;
  if ((reinterpret_cast<std::uintptr_t>(p) & (kPage - 1)) <= kPage - 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Bytes past the text become 'a', which needs no escape.
    alignas(16) static constexpr char kKeep[32] = {
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    const __m128i keep =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeep + 16 - n));
    return _mm_or_si128(_mm_and_si128(keep, v),
                        _mm_andnot_si128(keep, _mm_set1_epi8('a')));
  }
  alignas(16) char padded[16];
  std::memset(padded, 'a', sizeof padded);
  std::memcpy(padded, p, n);
  return _mm_load_si128(reinterpret_cast<const __m128i*>(padded));
}

// Sixteen bytes at a time; the last, partial block is read again from the
// text's end when the text is that long, else as load_short reads it.
const char* skip_plain(const char* start, const char* p, const char* end,
                       unsigned& seen) {
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    seen |= static_cast<unsigned>(_mm_movemask_epi8(v));
    if (const unsigned m = special_mask(v)) return p + std::countr_zero(m);
  }
  if (p == end) return end;
  __m128i v;
  unsigned skip;  // bytes of the block before p, looked at before
  if (end - start >= 16) {
    v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
    skip = static_cast<unsigned>(16 - (end - p));
  } else {
    v = load_short(p, static_cast<std::size_t>(end - p));
    skip = 0;
  }
  seen |= static_cast<unsigned>(_mm_movemask_epi8(v));
  const unsigned m = special_mask(v) >> skip;
  return m != 0 ? p + std::countr_zero(m) : end;
}

#else

const char* skip_plain(const char*, const char* p, const char* end,
                       unsigned& seen) {
  uint64_t high = 0;
  // Eight bytes at a time while none is special.
  for (; end - p >= 8; p += 8) {
    const uint64_t w = detail::load_word(p);
    if (detail::has_byte_below(w, 0x20) | detail::has_byte(w, '"') |
        detail::has_byte(w, '\\')) {
      break;
    }
    high |= w;
  }
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    high |= c;
    if (c < 0x20 || c == '"' || c == '\\') break;
  }
  seen |= detail::has_non_ascii(high) != 0;
  return p;
}

#endif

template <typename Out>
void append_escape(Out& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '"': out.append("\\\"", 2); return;
    case '\\': out.append("\\\\", 2); return;
    case '\b': out.append("\\b", 2); return;
    case '\f': out.append("\\f", 2); return;
    case '\n': out.append("\\n", 2); return;
    case '\r': out.append("\\r", 2); return;
    case '\t': out.append("\\t", 2); return;
    default: {
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(esc, 6);
    }
  }
}

// `text` between quotes, as it is.
inline void append_quoted(std::string& out, const char* text, std::size_t n) {
  out += '"';
  out.append(text, n);
  out += '"';
}

inline void append_quoted(Output& out, const char* text, std::size_t n) {
  char* d = out.room(n + 2);
  d[0] = '"';
  std::memcpy(d + 1, text, n);
  d[n + 1] = '"';
  out.advance(n + 2);
}

}  // namespace

template <typename Out>
void append_json_string(Out& out, std::string_view text) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  unsigned seen = 0;
  const char* p = skip_plain(begin, begin, end, seen);
  if (p == end) {
    // Most texts need no escape: one copy between the quotes.
    append_quoted(out, begin, text.size());
  } else {
    out += '"';
    const char* run = begin;
    while (p != end) {
      out.append(run, p);
      append_escape(out, static_cast<unsigned char>(*p));
      run = ++p;
      p = skip_plain(begin, p, end, seen);
    }
    out.append(run, end);
    out += '"';
  }
  if constexpr (std::is_same_v<Out, Output>) {
    if (seen != 0) out.note_non_ascii();
  }
}

// The writers' two kinds of output.
template void append_double(std::string&, double, FloatStyle);
template void append_double(Output&, double, FloatStyle);
template void append_int(std::string&, int64_t);
template void append_int(Output&, int64_t);
template void append_uint(std::string&, uint64_t);
template void append_uint(Output&, uint64_t);
template void append_json_string(std::string&, std::string_view);
template void append_json_string(Output&, std::string_view);

// ---- JsonWriter -----------------------------------------------------------

namespace {

// A line feed and the indentation of the deepest level most texts reach,
// written by one copy.
constexpr std::size_t kIndentRun = 128;
constexpr auto kNewlineSpaces = [] {
  std::array<char, 1 + kIndentRun> run{};
  run[0] = '\n';
  for (std::size_t i = 1; i < run.size(); ++i) run[i] = ' ';
  return run;
}();

}  // namespace

template <typename Out>
void BasicJsonWriter<Out>::newline_indent() {
  std::size_t spaces = 2 * has_member_.size();
  if constexpr (std::is_same_v<Out, Output>) {
    // A block of constant length, of which the line's part is kept, where
    // there is room for it: growing for it would leave the output's
    // memory longer than what is written.
    constexpr std::size_t kBlock = 64;
    static_assert(kNewlineSpaces.size() >= kBlock);
    if (spaces < kBlock && out_.capacity() - out_.size() >= kBlock) {
      std::memcpy(out_.data() + out_.size(), kNewlineSpaces.data(), kBlock);
      out_.advance(1 + spaces);
      return;
    }
  }
  const std::size_t first = std::min(spaces, kIndentRun);
  out_.append(kNewlineSpaces.data(), 1 + first);
  for (spaces -= first; spaces != 0;) {
    const std::size_t n = std::min(spaces, kIndentRun);
    out_.append(kNewlineSpaces.data() + 1, n);
    spaces -= n;
  }
}

template <typename Out>
void BasicJsonWriter<Out>::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (has_member_.empty()) return;  // the top-level value
  if (has_member_.back()) out_ += ',';
  has_member_.back() = true;
  newline_indent();
}

template <typename Out>
void BasicJsonWriter<Out>::open(char bracket) {
  before_value();
  out_ += bracket;
  has_member_.push_back(false);
}

template <typename Out>
void BasicJsonWriter<Out>::close(char bracket) {
  const bool had_member = has_member_.back();
  has_member_.pop_back();
  if (had_member) newline_indent();
  out_ += bracket;
}

template <typename Out>
void BasicJsonWriter<Out>::key(std::string_view name) {
  before_value();
  append_json_string(out_, name);
  out_.append(": ", 2);
  after_key_ = true;
}

template <typename Out>
void BasicJsonWriter<Out>::plain_key(const char* name, std::size_t n) {
  assert(std::strlen(name) == n);
  assert(std::all_of(name, name + n, [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
  }));
  before_value();
  if constexpr (std::is_same_v<Out, Output>) {
    char* d = out_.room(n + 4);
    d[0] = '"';
    std::memcpy(d + 1, name, n);
    std::memcpy(d + 1 + n, "\": ", 3);
    out_.advance(n + 4);
  } else {
    out_ += '"';
    out_.append(name, n);
    out_.append("\": ", 3);
  }
  after_key_ = true;
}

template <typename Out>
void BasicJsonWriter<Out>::null() {
  before_value();
  out_ += "null";
}

template <typename Out>
void BasicJsonWriter<Out>::boolean(bool b) {
  before_value();
  out_ += b ? "true" : "false";
}

template <typename Out>
void BasicJsonWriter<Out>::integer(int64_t i) {
  before_value();
  append_int(out_, i);
}

template <typename Out>
void BasicJsonWriter<Out>::unsigned_integer(uint64_t u) {
  before_value();
  append_uint(out_, u);
}

template <typename Out>
void BasicJsonWriter<Out>::number(double d) {
  before_value();
  append_double(out_, d, FloatStyle::kJson);
}

template <typename Out>
void BasicJsonWriter<Out>::string(std::string_view s) {
  before_value();
  append_json_string(out_, s);
}

// Recursion here is bounded: every Json the library builds comes from input
// whose nesting was limited to kMaxNestingDepth when it was parsed.
template <typename Out>
void BasicJsonWriter<Out>::value(const Json& v) {
  switch (v.kind()) {
    case Json::Kind::kNull: null(); return;
    case Json::Kind::kBoolean: boolean(v.as_boolean()); return;
    case Json::Kind::kInteger: integer(v.as_integer()); return;
    case Json::Kind::kUnsigned: unsigned_integer(v.as_unsigned()); return;
    case Json::Kind::kDouble: number(v.as_double()); return;
    case Json::Kind::kString: string(v.as_string()); return;
    case Json::Kind::kArray:
      begin_array();
      for (const Json& e : v.as_array()) value(e);
      end_array();
      return;
    case Json::Kind::kObject:
      begin_object();
      for (const auto& [k, e] : v.as_object()) {
        key(k);
        value(e);
      }
      end_object();
      return;
  }
}

template class BasicJsonWriter<std::string>;
template class BasicJsonWriter<Output>;

void append_compact_json(std::string& out, const Json& v) {
  switch (v.kind()) {
    case Json::Kind::kNull: out += "null"; return;
    case Json::Kind::kBoolean: out += v.as_boolean() ? "true" : "false"; return;
    case Json::Kind::kInteger: append_int(out, v.as_integer()); return;
    case Json::Kind::kUnsigned: append_uint(out, v.as_unsigned()); return;
    case Json::Kind::kDouble:
      append_double(out, v.as_double(), FloatStyle::kJson);
      return;
    case Json::Kind::kString: append_json_string(out, v.as_string()); return;
    case Json::Kind::kArray: {
      out += '[';
      bool first = true;
      for (const Json& e : v.as_array()) {
        if (!first) out += ',';
        first = false;
        append_compact_json(out, e);
      }
      out += ']';
      return;
    }
    case Json::Kind::kObject: {
      out += '{';
      bool first = true;
      for (const auto& [k, e] : v.as_object()) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, k);
        out += ':';
        append_compact_json(out, e);
      }
      out += '}';
      return;
    }
  }
}

}  // namespace qel
