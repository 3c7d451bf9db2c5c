#include "executor/json_input.h"

#include <cstdint>
#include <limits>
#include <string>
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
