#include "executor/json_input.h"

#include <charconv>
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
// document.
class JsonBuilder {
 public:
  explicit JsonBuilder(const Interrupter& interrupter)
      : poll_(interrupter, kEventsPerPoll) {}

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
    open_.push_back(place(Json(Json::Object{})));
    return !poll_.tick();
  }
  bool key(json::string_t& k) {
    if (poll_.tick(k.size() / kStringBytesPerEvent)) return false;
    Json::Object& object = open_.back()->as_object();
    auto [it, inserted] = object.try_emplace(std::move(k));
    if (!inserted) it->second = Json();  // a repeated key: the last one wins
    slot_ = &it->second;
    return true;
  }
  bool end_object() {
    --depth_;
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    if (++depth_ > kMaxNestingDepth) return too_deep();
    open_.push_back(place(Json(Json::Array{})));
    return !poll_.tick();
  }
  bool end_array() {
    --depth_;
    open_.pop_back();
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
    place(std::move(value));
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
  Json root_;
  std::vector<Json*> open_;
  Json* slot_ = nullptr;
  int depth_ = 0;
  bool exceeded_depth_ = false;
  std::size_t position_ = 0;
  std::string description_;
};

// Reads the texts requests usually are, without the general parser and
// its intermediate strings: ASCII, at most kQuickBytes long, numbers that
// fit their types. Whatever else it meets (an error, a byte above 0x7F, an
// escaped surrogate, a number out of range, nesting too deep) it leaves to
// the general parser, which then gives the value or the message: so every
// value read here is the one the general parser gives, and every message
// is its own. Short texts need no interrupter.
class QuickReader {
 public:
  static constexpr std::size_t kQuickBytes = std::size_t{64} << 10;

  explicit QuickReader(std::string_view text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  std::optional<Json> read() {
    Json value;
    skip_white_space();
    if (!value_at(value, 0)) return std::nullopt;
    skip_white_space();
    if (p_ != end_) return std::nullopt;
    return value;
  }

 private:
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

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  bool digits() {
    if (p_ == end_ || !is_digit(*p_)) return false;
    while (p_ != end_ && is_digit(*p_)) ++p_;
    return true;
  }

  // Integers that fit a signed 64-bit integer, larger ones up to 2^64-1
  // unsigned, every other number a double; what does not fit (the general
  // parser then reads a double) or rounds to infinity or zero is left.
  bool number(Json& out) {
    const char* const start = p_;
    const bool negative = take('-');
    if (take('0')) {
      // A leading zero stands alone.
    } else if (!digits()) {
      return false;
    }
    bool integral = true;
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

  const char* p_;
  const char* const end_;
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

// The number of bytes up to and including the bracket that opens nesting
// level kMaxNestingDepth + 1. The text before it parsed cleanly, so strings
// and escapes are well formed there.
std::size_t deep_bracket_end(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"': in_string = true; break;
      case '[': case '{':
        if (++depth > kMaxNestingDepth) return i + 1;
        break;
      case ']': case '}': --depth; break;
      default: break;
    }
  }
  return text.size();
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
  bool ok = false;
  try {
    ok = json::sax_parse(text.begin(), text.end(), &builder,
                         json::input_format_t::json, /*strict=*/true);
  } catch (const nlohmann::json::exception& ex) {
    // Every library failure becomes a message; memory exhaustion is left to
    // propagate.
    return failure(prefix, ex.what(), line_column(text, text.size()));
  }
  if (ok) return std::move(builder.root());
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
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

Error not_an_array(std::string_view text, std::string_view prefix) {
  const std::size_t start = text.find_first_not_of(" \t\n\r");
  return failure(prefix, "invalid type: expected an array",
                 line_column(text, start == std::string_view::npos
                                       ? text.size()
                                       : start + 1));
}

}  // namespace qel::detail
