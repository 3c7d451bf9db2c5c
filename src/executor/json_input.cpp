#include "executor/json_input.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "qel/limits.h"

namespace qel::detail {

namespace {

using nlohmann::json;

// Parser events between two questions to the interrupter. A string counts
// one event per kStringBytesPerEvent bytes, so that long strings are asked
// about as often as many small values.
constexpr uint64_t kEventsPerPoll = 4096;
constexpr uint64_t kStringBytesPerEvent = 64;

// Builds a Json directly from the parser's events, with no intermediate
// document; or, when `build` is false, only checks the text (the same
// errors, nothing kept).
class JsonBuilder {
 public:
  explicit JsonBuilder(const Interrupter& interrupter, bool build = true)
      : poll_(interrupter, kEventsPerPoll), build_(build) {}

  bool null() { return put(Json()); }
  bool boolean(bool b) { return put(Json(b)); }
  bool number_integer(json::number_integer_t i) {
    return put(Json(static_cast<int64_t>(i)));
  }
  bool number_unsigned(json::number_unsigned_t u) {
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return put(Json(static_cast<int64_t>(u)));
    }
    return put(Json(static_cast<uint64_t>(u)));
  }
  bool number_float(json::number_float_t d, const json::string_t&) {
    return put(Json(static_cast<double>(d)));
  }
  bool string(json::string_t& s) {
    if (poll_.tick(s.size() / kStringBytesPerEvent)) return false;
    return put(Json(std::move(s)));
  }
  bool binary(json::binary_t&) {
    // The text parser never reports binary values.
    description_ = "binary values are not supported";
    return false;
  }
  bool start_object(std::size_t) {
    if (++depth_ > kMaxNestingDepth) return too_deep();
    if (build_) open_.push_back(place(Json(Json::Object{})));
    return !poll_.tick();
  }
  bool key(json::string_t& k) {
    if (poll_.tick(k.size() / kStringBytesPerEvent)) return false;
    if (!build_) return true;
    Json::Object& object = open_.back()->as_object();
    auto [it, inserted] = object.try_emplace(std::move(k));
    if (!inserted) it->second = Json();  // a repeated key: the last one wins
    slot_ = &it->second;
    return true;
  }
  bool end_object() {
    --depth_;
    if (build_) open_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    if (++depth_ > kMaxNestingDepth) return too_deep();
    if (build_) open_.push_back(place(Json(Json::Array{})));
    return !poll_.tick();
  }
  bool end_array() {
    --depth_;
    if (build_) open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& ex) {
    position_ = position;
    description_ = strip_prefix(ex.what());
    return false;
  }

  bool exceeded_depth() const { return exceeded_depth_; }
  bool interrupted() const { return poll_.stopped(); }
  std::size_t position() const { return position_; }
  std::string& description() { return description_; }
  Json& root() { return root_; }

 private:
  // The library's messages read "[json.exception.parse_error.101] parse
  // error at line 1, column 2: <description>" or "[json.exception.
  // out_of_range.406] <description>"; the position is written by the caller.
  static std::string strip_prefix(std::string_view what) {
    const size_t bracket = what.find("] ");
    if (bracket != std::string_view::npos) what.remove_prefix(bracket + 2);
    constexpr std::string_view kParseError = "parse error";
    if (what.substr(0, kParseError.size()) == kParseError) {
      const size_t colon = what.find(": ");
      if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
    }
    return std::string(what);
  }

  bool too_deep() {
    exceeded_depth_ = true;
    return false;
  }

  // Every scalar passes here; containers poll as they open.
  bool put(Json value) {
    if (build_) place(std::move(value));
    return !poll_.tick();
  }

  // Stores a value where the next one belongs and returns where it now is.
  // Pointers on `open_` stay valid: a container only grows while it is the
  // innermost open one, and then no pointer into it is held.
  Json* place(Json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json* top = open_.back();
    if (top->is_array()) {
      Json::Array& array = top->as_array();
      array.push_back(std::move(value));
      return &array.back();
    }
    *slot_ = std::move(value);
    return slot_;
  }

  InterruptPoll poll_;
  bool build_;
  Json root_;
  std::vector<Json*> open_;
  Json* slot_ = nullptr;
  int depth_ = 0;
  bool exceeded_depth_ = false;
  std::size_t position_ = 0;
  std::string description_;
};

// Where a reader of JSON text stands, and the steps both readers share.
class JsonCursor {
 protected:
  explicit JsonCursor(std::string_view text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  void skip_white_space() {
    while (p_ != end_ &&
           (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
      ++p_;
    }
  }

  bool take(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  bool digits() {
    if (p_ == end_ || !is_digit(*p_)) return false;
    while (p_ != end_ && is_digit(*p_)) ++p_;
    return true;
  }

  // The JSON number grammar from here on; false where a number does not
  // match it. `integral`: without a fraction or an exponent.
  bool number_syntax(bool& integral) {
    (void)take('-');
    if (!take('0') && !digits()) return false;
    integral = true;
    if (take('.')) {
      if (!digits()) return false;
      integral = false;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (!take('+')) (void)take('-');
      if (!digits()) return false;
      integral = false;
    }
    return true;
  }

  const char* p_;
  const char* const end_;
};

// Reads the texts requests usually are, without the general parser and
// its intermediate strings: ASCII, at most kQuickBytes long, numbers that
// fit their types. Whatever else it meets (an error, a byte above 0x7F, an
// escaped surrogate, a number out of range, nesting too deep) it leaves to
// the general parser, which then gives the value or the message: so every
// value read here is the one the general parser gives, and every message
// is its own. Short texts need no interrupter.
class QuickReader : JsonCursor {
 public:
  static constexpr std::size_t kQuickBytes = std::size_t{64} << 10;

  explicit QuickReader(std::string_view text) : JsonCursor(text) {}

  // `depth`: the levels the value stands inside of, which count towards
  // the limit.
  std::optional<Json> read(int depth = 0) {
    Json value;
    skip_white_space();
    if (!value_at(value, depth)) return std::nullopt;
    skip_white_space();
    if (p_ != end_) return std::nullopt;
    return value;
  }

 private:

  bool value_at(Json& out, int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return object(out, depth + 1);
      case '[': return array(out, depth + 1);
      case '"': {
        std::string s;
        if (!string(s)) return false;
        out = Json(std::move(s));
        return true;
      }
      case 't': return word("true", Json(true), out);
      case 'f': return word("false", Json(false), out);
      case 'n': return word("null", Json(), out);
      default: return number(out);
    }
  }

  bool word(std::string_view text, Json value, Json& out) {
    if (static_cast<std::size_t>(end_ - p_) < text.size() ||
        std::string_view(p_, text.size()) != text) {
      return false;
    }
    p_ += text.size();
    out = std::move(value);
    return true;
  }

  // Containers are filled in place: `out` is made one first.
  bool object(Json& out, int depth) {
    ++p_;
    if (depth > kMaxNestingDepth) return false;
    out = Json(Json::Object{});
    Json::Object& members = out.as_object();
    skip_white_space();
    if (take('}')) return true;
    for (;;) {
      skip_white_space();
      std::string key;
      if (p_ == end_ || *p_ != '"' || !string(key)) return false;
      skip_white_space();
      if (!take(':')) return false;
      skip_white_space();
      // Keys in order go at the end; of repeated keys the last one wins.
      const auto at = members.try_emplace(members.end(), std::move(key));
      at->second = Json();
      if (!value_at(at->second, depth)) return false;
      skip_white_space();
      if (take(',')) continue;
      return take('}');
    }
  }

  bool array(Json& out, int depth) {
    ++p_;
    if (depth > kMaxNestingDepth) return false;
    out = Json(Json::Array{});
    Json::Array& elements = out.as_array();
    skip_white_space();
    if (take(']')) return true;
    for (;;) {
      skip_white_space();
      if (!value_at(elements.emplace_back(), depth)) return false;
      skip_white_space();
      if (take(',')) continue;
      return take(']');
    }
  }

  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // At the opening quote.
  bool string(std::string& out) {
    ++p_;
    for (;;) {
      const char* run = p_;
      while (p_ != end_) {
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++p_;
      }
      out.append(run, p_);
      if (p_ == end_ || *p_ != '\\') break;
      if (end_ - p_ < 2) return false;
      const char escaped = p_[1];
      p_ += 2;
      switch (escaped) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (end_ - p_ < 4) return false;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const int digit = hex_digit(p_[i]);
            if (digit < 0) return false;
            code = code * 16 + static_cast<unsigned>(digit);
          }
          p_ += 4;
          // Surrogate pairs, and their errors, are the general parser's.
          if (code >= 0xD800 && code <= 0xDFFF) return false;
          if (code < 0x80) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default: return false;
      }
    }
    return take('"');
  }

  // Integers that fit a signed 64-bit integer, larger ones up to 2^64-1
  // unsigned, every other number a double; what does not fit (the general
  // parser then reads a double) or rounds to infinity or zero is left.
  bool number(Json& out) {
    const char* const start = p_;
    const bool negative = p_ != end_ && *p_ == '-';
    bool integral = false;
    if (!number_syntax(integral)) return false;
    if (integral && negative) {
      int64_t i = 0;
      const auto [end, error] = std::from_chars(start, p_, i);
      if (error != std::errc() || end != p_) return false;
      out = Json(i);
    } else if (integral) {
      uint64_t u = 0;
      const auto [end, error] = std::from_chars(start, p_, u);
      if (error != std::errc() || end != p_) return false;
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        out = Json(static_cast<int64_t>(u));
      } else {
        out = Json(u);
      }
    } else {
      double d = 0;
      const auto [end, error] = std::from_chars(start, p_, d);
      if (error != std::errc() || end != p_) return false;
      out = Json(d);
    }
    return true;
  }
};

// Line and column of the byte at `count` bytes into the text, counted the
// way the parser counts them: the column is the number of bytes read on the
// current line.
struct LineColumn {
  std::size_t line = 1;
  std::size_t column = 0;
};

LineColumn line_column(std::string_view text, std::size_t count) {
  LineColumn lc;
  // The parser counts the end of the input as one more character read.
  for (std::size_t i = 0; i < count; ++i) {
    if (i < text.size() && text[i] == '\n') {
      ++lc.line;
      lc.column = 0;
    } else {
      ++lc.column;
    }
  }
  return lc;
}

// Walks a checked JSON text from `start`, keeping the nesting depth and
// passing over strings whole; `stop(depth)` is asked at every bracket and
// at every string's closing quote, with the depth after that byte. One
// past the byte where it says yes, or the text's length.
template <typename Stop>
std::size_t walk_nesting(std::string_view text, std::size_t start,
                         Stop&& stop) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
        if (stop(depth)) return i + 1;
      }
      continue;
    }
    switch (c) {
      case '"': in_string = true; break;
      case '[': case '{':
        if (stop(++depth)) return i + 1;
        break;
      case ']': case '}':
        if (stop(--depth)) return i + 1;
        break;
      default: break;
    }
  }
  return text.size();
}

// The number of bytes up to and including the bracket that opens nesting
// level kMaxNestingDepth + 1. The text before it parsed cleanly, so strings
// and escapes are well formed there.
std::size_t deep_bracket_end(std::string_view text) {
  return walk_nesting(text, 0,
                      [](int depth) { return depth > kMaxNestingDepth; });
}

Error failure(std::string_view prefix, std::string_view description,
              LineColumn lc) {
  std::string message;
  message.reserve(prefix.size() + description.size() + 48);
  message += prefix;
  message += description;
  message += " at line ";
  append_uint(message, lc.line);
  message += " column ";
  append_uint(message, lc.column);
  return Error::execution_error(std::move(message));
}

}  // namespace

namespace {

// Runs the general parser over `text` with `builder`: nothing when the text
// is one JSON value, otherwise the error parse_json gives for it.
std::optional<Error> general_parse(std::string_view text,
                                   std::string_view prefix,
                                   JsonBuilder& builder) {
  bool ok = false;
  try {
    ok = json::sax_parse(text.begin(), text.end(), &builder,
                         json::input_format_t::json, /*strict=*/true);
  } catch (const nlohmann::json::exception& ex) {
    // Every library failure becomes a message; memory exhaustion is left to
    // propagate.
    return failure(prefix, ex.what(), line_column(text, text.size()));
  }
  if (ok) return std::nullopt;
  if (builder.interrupted()) return Error::interrupted();
  if (builder.exceeded_depth()) {
    std::string description = "nesting deeper than ";
    append_int(description, kMaxNestingDepth);
    description += " levels";
    return failure(prefix, description,
                   line_column(text, deep_bracket_end(text)));
  }
  return failure(prefix, builder.description(),
                 line_column(text, builder.position()));
}

// Says whether a text is one JSON value without building anything and
// without the general parser's strings: for a long request list read once
// before its requests are read one at a time. It answers yes only when the
// general parser would accept the text; whatever it does not know for sure
// (an error, whose message is the general parser's, a number beyond a
// double's range either way, a byte order mark, nesting too deep) it
// answers no, and the general parser decides.
class QuickChecker : JsonCursor {
 public:
  QuickChecker(std::string_view text, InterruptPoll& poll)
      : JsonCursor(text), poll_(poll) {}

  bool valid() {
    // Whether each open container is an object; index 0 unused.
    bool object[kMaxNestingDepth + 1] = {};
    int depth = 0;
    skip_white_space();
    for (;;) {
      // A value is due here.
      if (poll_.tick() || p_ == end_) return false;
      if (*p_ == '{' || *p_ == '[') {
        if (++depth > kMaxNestingDepth) return false;
        object[depth] = *p_ == '{';
        ++p_;
        skip_white_space();
        if (!take(object[depth] ? '}' : ']')) {
          if (object[depth] && !key()) return false;
          continue;
        }
        --depth;
      } else if (!scalar()) {
        return false;
      }
      // After a value: close what ends here, then expect the next one.
      for (;;) {
        skip_white_space();
        if (depth == 0) return p_ == end_;
        if (take(',')) {
          skip_white_space();
          if (object[depth] && !key()) return false;
          break;
        }
        if (!take(object[depth] ? '}' : ']')) return false;
        --depth;
      }
    }
  }

 private:

  // A member's key, the colon and the white space up to its value.
  bool key() {
    if (p_ == end_ || *p_ != '"' || !string()) return false;
    skip_white_space();
    if (!take(':')) return false;
    skip_white_space();
    return true;
  }

  bool scalar() {
    switch (*p_) {
      case '"': return string();
      case 't': return word("true");
      case 'f': return word("false");
      case 'n': return word("null");
      default: return number();
    }
  }

  bool word(std::string_view text) {
    if (static_cast<std::size_t>(end_ - p_) < text.size() ||
        std::string_view(p_, text.size()) != text) {
      return false;
    }
    p_ += text.size();
    return true;
  }

  static bool in(unsigned char c, unsigned char low, unsigned char high) {
    return c >= low && c <= high;
  }

  // One UTF-8 sequence of two to four bytes, well formed as RFC 3629 has
  // it (no overlong forms, no surrogates, nothing above U+10FFFF).
  bool utf8_sequence() {
    const auto at = [&](std::ptrdiff_t i) {
      return static_cast<unsigned char>(p_[i]);
    };
    const std::ptrdiff_t left = end_ - p_;
    const unsigned char c = at(0);
    std::ptrdiff_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (in(c, 0xC2, 0xDF)) {
      length = 2;
    } else if (in(c, 0xE0, 0xEF)) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (in(c, 0xF0, 0xF4)) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (left < length || !in(at(1), low, high)) return false;
    for (std::ptrdiff_t i = 2; i < length; ++i) {
      if (!in(at(i), 0x80, 0xBF)) return false;
    }
    p_ += length;
    return true;
  }

  // Four hex digits after "\u", as a code unit; -1 when they are not.
  long code_unit() {
    if (end_ - p_ < 4) return -1;
    long code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = p_[i];
      int digit = 0;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return -1;
      }
      code = code * 16 + digit;
    }
    p_ += 4;
    return code;
  }

  // At the opening quote.
  bool string() {
    const char* const start = p_;
    ++p_;
    for (;;) {
      while (p_ != end_) {
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++p_;
      }
      if (p_ == end_ || static_cast<unsigned char>(*p_) < 0x20) return false;
      if (*p_ == '"') break;
      if (static_cast<unsigned char>(*p_) >= 0x80) {
        if (!utf8_sequence()) return false;
        continue;
      }
      if (end_ - p_ < 2) return false;
      const char escaped = p_[1];
      p_ += 2;
      switch (escaped) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n':
        case 'r': case 't':
          break;
        case 'u': {
          const long code = code_unit();
          if (code < 0 || in_range(code, 0xDC00, 0xDFFF)) return false;
          if (in_range(code, 0xD800, 0xDBFF)) {
            // A high surrogate pairs with a low one at once.
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            const long low = code_unit();
            if (!in_range(low, 0xDC00, 0xDFFF)) return false;
          }
          break;
        }
        default: return false;
      }
    }
    ++p_;
    // Long strings count as many small values between two questions.
    return !poll_.tick(static_cast<uint64_t>(p_ - start) / kStringBytesPerEvent);
  }

  static bool in_range(long code, long low, long high) {
    return code >= low && code <= high;
  }

  // The JSON number grammar. Every integer reads (beyond 64 bits as a
  // double); other numbers, and integers too long to be sure of, must read
  // as a finite double, which the general parser requires: anything
  // beyond a double's range either way is left to it.
  bool number() {
    const char* const start = p_;
    bool integral = false;
    if (!number_syntax(integral)) return false;
    constexpr std::ptrdiff_t kSureDigits = 300;
    if (integral && p_ - start < kSureDigits) return true;
    double d = 0;
    const auto [end, error] = std::from_chars(start, p_, d);
    return error == std::errc() && end == p_ && std::isfinite(d);
  }

  InterruptPoll& poll_;
};

// One past the last byte of the JSON value that starts at `start` in a
// text already checked: containers end at their matching bracket, strings
// at their closing quote, other values before the next separator.
std::size_t value_end(std::string_view text, std::size_t start) {
  const char first = text[start];
  if (first != '{' && first != '[' && first != '"') {
    const std::size_t end = text.find_first_of(",]} \t\n\r", start);
    return end == std::string_view::npos ? text.size() : end;
  }
  return walk_nesting(text, start, [](int depth) { return depth == 0; });
}

}  // namespace

// GCC 12 reports moves of the nested variants inside Json as possibly
// uninitialised reads; every alternative is initialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
Result<Json> parse_json(std::string_view text, std::string_view prefix,
                        const Interrupter& interrupter) {
  if (text.size() <= QuickReader::kQuickBytes) {
    if (std::optional<Json> value = QuickReader(text).read()) {
      return std::move(*value);
    }
  }
  JsonBuilder builder(interrupter);
  if (std::optional<Error> error = general_parse(text, prefix, builder)) {
    return std::move(*error);
  }
  return std::move(builder.root());
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

std::optional<Error> check_json(std::string_view text, std::string_view prefix,
                                const Interrupter& interrupter) {
  {
    InterruptPoll poll(interrupter, kEventsPerPoll);
    if (QuickChecker(text, poll).valid()) return std::nullopt;
    if (poll.stopped()) return Error::interrupted();
  }
  JsonBuilder checker(interrupter, /*build=*/false);
  return general_parse(text, prefix, checker);
}

Result<ArrayReader> ArrayReader::open(std::string_view text,
                                      std::string_view prefix,
                                      const Interrupter& interrupter) {
  if (std::optional<Error> error = check_json(text, prefix, interrupter)) {
    return std::move(*error);
  }
  const std::size_t start = text.find_first_not_of(" \t\n\r");
  if (start == std::string_view::npos || text[start] != '[') {
    return not_an_array(text, prefix);
  }
  return ArrayReader(text, start + 1, prefix, interrupter);
}

std::optional<ArrayReader> ArrayReader::single(std::string_view element,
                                               std::string_view prefix) {
  if (element.size() > QuickReader::kQuickBytes) return std::nullopt;
  // What the short reader reads is a JSON value: read once, not checked
  // and then read. It stands inside the list it makes, one level.
  std::optional<Json> value = QuickReader(element).read(/*depth=*/1);
  if (!value) return std::nullopt;
  ArrayReader reader(element, element.size(), prefix, {});
  reader.single_ = std::move(value);
  return reader;
}

Result<std::optional<Json>> ArrayReader::next() {
  if (at_ == text_.size()) {
    // Past the end, or the one element that single() read.
    std::optional<Json> element = std::move(single_);
    single_.reset();
    return element;
  }
  const auto skip = [&] {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                  text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  };
  skip();
  // The text was checked: after an element comes a comma or the bracket.
  if (at_ >= text_.size() || text_[at_] == ']') return std::optional<Json>();
  if (text_[at_] == ',') {
    ++at_;
    skip();
  }
  const std::size_t end = value_end(text_, at_);
  Result<Json> element =
      parse_json(text_.substr(at_, end - at_), prefix_, interrupter_);
  at_ = end;
  if (!element.ok()) return std::move(element).error();
  return std::optional<Json>(std::move(element).value());
}

Error not_an_array(std::string_view text, std::string_view prefix) {
  const std::size_t start = text.find_first_not_of(" \t\n\r");
  return failure(prefix, "invalid type: expected an array",
                 line_column(text, start == std::string_view::npos
                                       ? text.size()
                                       : start + 1));
}

}  // namespace qel::detail
