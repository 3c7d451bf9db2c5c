#include "qel/json.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <type_traits>

#include "util/swar.h"

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

template <typename Out>
void append_json_string(Out& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  const char* run = text.data();
  const char* const end = text.data() + text.size();
  const char* p = run;
  uint64_t seen = 0;  // every byte looked at, or-ed: its high bits tell UTF-8
  for (;;) {
    // Skip eight ordinary bytes at a time: most texts need no escape.
    while (end - p >= 8) {
      const uint64_t w = detail::load_word(p);
      if (detail::has_byte_below(w, 0x20) | detail::has_byte(w, '"') |
          detail::has_byte(w, '\\')) {
        break;
      }
      seen |= w;
      p += 8;
    }
    const char* stop = end - p >= 8 ? p + 8 : end;
    for (; p < stop; ++p) {
      const unsigned char c = static_cast<unsigned char>(*p);
      seen |= c;
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      out.append(run, p);
      run = p + 1;
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
          const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
          out.append(esc, 6);
        }
      }
    }
    if (p >= end) break;
  }
  out.append(run, end);
  out += '"';
  if constexpr (std::is_same_v<Out, Output>) {
    if (detail::has_non_ascii(seen)) out.note_non_ascii();
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

template <typename Out>
void BasicJsonWriter<Out>::newline_indent() {
  out_ += '\n';
  out_.append(2 * has_member_.size(), ' ');
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
  out_ += ": ";
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
