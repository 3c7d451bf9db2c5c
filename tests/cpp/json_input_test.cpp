// Short request texts are read by a reader of their own, longer ones by the
// general parser: both must give the same value, and a text either refuses
// must be refused, with the general parser's message.
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "executor/json_input.h"
#include "qel/limits.h"

namespace qel {
namespace {

// The value's kind at every level and its text: integers, unsigned
// integers and doubles are told apart by how they are written.
std::string dump(const Result<Json>& parsed) {
  if (!parsed.ok()) return "error";
  std::string text;
  append_compact_json(text, parsed.value());
  const Json& v = parsed.value();
  text += " kind ";
  text += std::to_string(static_cast<int>(v.kind()));
  return text;
}

// "[777...7]": an integer of `count` digits.
std::string digits(std::size_t count) {
  std::string text(count + 2, '7');
  text.front() = '[';
  text.back() = ']';
  return text;
}

// Past the short reader's size, white space sends the same value to the
// general parser.
std::string padded(std::string_view text) {
  return std::string(text) + std::string(std::size_t{70} << 10, ' ');
}

TEST(JsonInput, ShortAndLongTextsReadAlike) {
  const std::string deep_ok = std::string(kMaxNestingDepth, '[') +
                              std::string(kMaxNestingDepth, ']');
  const std::string too_deep = "[" + deep_ok + "]";
  // Each row: a text and whether it is JSON.
  const struct {
    std::string text;
    bool valid;
  } kRows[] = {
      {R"({"operation": "deposit", "inputs": {"amount": 5, "x": [1, 2.5]}})",
       true},
      {R"(["a\"b\\c\/d\b\f\n\r\t", "\u0000\u00e9\u20ac"])", true},
      {R"(["\ud83d\ude00"])", true},         // a surrogate pair
      {R"(["\ud83d"])", false},              // a lone surrogate
      {R"(["\udc00\ud83d"])", false},        // a pair in the wrong order
      {"[\"caf\xc3\xa9\"]", true},           // UTF-8 in a string
      {"[\"caf\xc3\"]", false},              // broken UTF-8
      {"[\"\xf0\x9f\x98\x80\xe2\x82\xac\"]", true},  // four and three bytes
      {"[\"\xc0\x80\"]", false},           // an overlong form
      {"[\"\xed\xa0\x80\"]", false},       // a surrogate in UTF-8
      {"[\"\xf4\x90\x80\x80\"]", false},   // beyond U+10FFFF
      {"[\"\xf0\x9f\x98\"]", false},       // a sequence cut short
      {"[\"a\tb\"]", false},                 // a raw control character
      {"[\"\\x\"]", false},                  // an unknown escape
      {"[\"\\u12\"]", false},                // a short \u escape
      {"[9223372036854775807, -9223372036854775808]", true},
      {"[9223372036854775808, 18446744073709551615]", true},   // unsigned
      {"[18446744073709551616, -9223372036854775809]", true},  // doubles
      {"[-0, -0.0, 0.5e1, 1E+2, 1e-2]", true},
      {"[1e400]", false}, {"[-1e400]", false},  // beyond a double's range
      {"[1e-400, 4.9e-324]", true},          // below it, and the least
      {digits(400), false}, {digits(299), true},  // integers past it, not
      {"[01]", false}, {"[1.]", false}, {"[.5]", false}, {"[-]", false},
      {"[1e]", false}, {"[+1]", false},
      {R"({"k": 1, "k": 2, "a": 0})", true},  // the last repeated key wins
      {R"({"a" 1})", false}, {R"({"a": 1,})", false}, {"[1,]", false},
      {"[tru]", false}, {"[nul]", false}, {"[true, false, null]", true},
      {"\xef\xbb\xbf[1]", true},             // a byte order mark
      {"[1] 2", false}, {"", false}, {"  ", false}, {"{} // c", false},
      {deep_ok, true}, {too_deep, false},
  };
  for (const auto& row : kRows) {
    const Result<Json> short_read = detail::parse_json(row.text, "P: ");
    const Result<Json> long_read = detail::parse_json(padded(row.text), "P: ");
    EXPECT_EQ(short_read.ok(), row.valid) << row.text;
    EXPECT_EQ(dump(short_read), dump(long_read)) << row.text;
    // Checking a text without reading it refuses the same texts, with the
    // same message.
    for (const std::string& text : {row.text, padded(row.text)}) {
      const std::optional<Error> checked = detail::check_json(text, "P: ");
      const Result<Json> read = detail::parse_json(text, "P: ");
      EXPECT_EQ(checked.has_value(), !read.ok()) << row.text;
      if (checked && !read.ok()) {
        EXPECT_EQ(checked->to_string(), read.error().to_string()) << row.text;
      }
    }
    if (!short_read.ok() && !long_read.ok()) {
      // The message is the general parser's, positions aside.
      const std::string message = short_read.error().to_string();
      EXPECT_NE(message.find("P: "), std::string::npos) << message;
      EXPECT_EQ(message.substr(0, message.find(" at line ")),
                long_read.error().to_string().substr(
                    0, long_read.error().to_string().find(" at line ")))
          << row.text;
    }
  }
}

}  // namespace
}  // namespace qel
