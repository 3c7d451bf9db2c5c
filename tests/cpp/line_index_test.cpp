// Byte offsets against line and column: UTF-16 units, bytes and characters,
// on lines ended by any break or by line feeds only.
#include "qel/line_index.h"

#include <gtest/gtest.h>

#include <string>

#include "qel/parser.h"

namespace qel {
namespace {

using U = ColumnUnit;
using B = LineBreaks;

// "aé中😀b" on line 0: bytes a=0, é=1..2, 中=3..5, 😀=6..9, b=10.
constexpr std::string_view kText =
    "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80" "b\r\nx\ry";

struct Case {
  size_t offset;
  ColumnUnit unit;
  LineBreaks breaks;
  LineColumn position;
};

TEST(LineIndexTest, PositionOfOffset) {
  const LineIndex index(kText);
  const Case cases[] = {
      {0, U::kUtf16, B::kAny, {0, 0}},   {1, U::kUtf16, B::kAny, {0, 1}},
      {3, U::kUtf16, B::kAny, {0, 2}},   {6, U::kUtf16, B::kAny, {0, 3}},
      {10, U::kUtf16, B::kAny, {0, 5}},  // the emoji is two units
      {10, U::kUtf8, B::kAny, {0, 10}},  {10, U::kChars, B::kAny, {0, 4}},
      {8, U::kUtf16, B::kAny, {0, 3}},   // inside the emoji: its start
      {11, U::kUtf16, B::kAny, {0, 6}},  // the \r of \r\n ends line 0
      {13, U::kUtf16, B::kAny, {1, 0}},  {15, U::kUtf16, B::kAny, {2, 0}},
      {15, U::kChars, B::kLineFeed, {1, 2}},  // a lone \r is a character
      {16, U::kUtf16, B::kAny, {2, 1}},  {99, U::kUtf16, B::kAny, {2, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(index.position_of(c.offset, c.unit, c.breaks), c.position)
        << "offset " << c.offset;
  }
}

TEST(LineIndexTest, OffsetOfPosition) {
  const LineIndex index(kText);
  const Case cases[] = {
      {6, U::kUtf16, B::kAny, {0, 3}},   {10, U::kUtf16, B::kAny, {0, 5}},
      {6, U::kUtf16, B::kAny, {0, 4}},   // half of a surrogate pair
      {6, U::kUtf8, B::kAny, {0, 7}},    // inside the emoji's bytes
      {10, U::kChars, B::kAny, {0, 4}},
      {11, U::kUtf16, B::kAny, {0, 40}},  // past the line's end: before \r\n
      {14, U::kUtf16, B::kAny, {1, 9}},   // before the lone \r
      {15, U::kChars, B::kLineFeed, {1, 2}},  // past the lone \r
      {16, U::kChars, B::kLineFeed, {1, 9}},
      {16, U::kUtf16, B::kAny, {2, 1}},  {16, U::kUtf16, B::kAny, {7, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(index.offset_of(c.position, c.unit, c.breaks), c.offset)
        << c.position.line << ":" << c.position.column;
  }
}

// Lines many kilobytes long, of characters of every width: every offset
// converts as a count from its line's start says, across the points where
// the index keeps its counts; messages' spans are the syntax tree's.
TEST(LineIndexTest, LongLinesConvertAsCountedFromTheLineStart) {
  const std::string_view chars[] = {"a", "\xC3\xA9", "\xE4\xB8\xAD",
                                    "\xF0\x9F\x98\x80"};
  std::string text;
  for (int line = 0; line < 2; ++line) {
    for (size_t i = 0; i < 5000; ++i) text += chars[(i * 7 + i / 5) % 4];
    text += "\r\n";
  }
  const LineIndex index(text);
  uint64_t line = 0, units16 = 0, count = 0;
  for (size_t at = 0; at <= text.size(); ++at) {
    const auto c = static_cast<unsigned char>(at < text.size() ? text[at] : 0);
    if ((c & 0xC0) == 0x80) continue;  // inside a character
    if (c == '\n') {
      ++line;
      units16 = count = 0;
      continue;
    }
    ASSERT_EQ(index.position_of(at, U::kUtf16), (LineColumn{line, units16}))
        << "offset " << at;
    ASSERT_EQ(index.offset_of(LineColumn{line, units16}, U::kUtf16), at);
    ASSERT_EQ(index.offset_of(LineColumn{line, count}, U::kChars,
                              B::kLineFeed),
              at);
    if (c == '\r') continue;
    units16 += c >= 0xF0 ? 2 : 1;
    ++count;
  }
  // Half of a surrogate pair far along a line: the pair's start.
  const size_t emoji = text.rfind("\xF0", 20000);
  const LineColumn half = index.position_of(emoji, U::kUtf16);
  EXPECT_EQ(index.offset_of(LineColumn{half.line, half.column + 1}, U::kUtf16),
            emoji);
}

TEST(LineIndexTest, SpansAreTheSyntaxTreesForEveryToken) {
  std::string text = "contract \"\xC3\xA9t\xC3\xA9\" {\r\n  version: 1\n";
  text += "  state { n\xE4\xB8\xAD: Int = 0 }\n  // \xF0\x9F\x98\x80 ";
  text += std::string(5000, 'x') + "\n  invariant { n\xE4\xB8\xAD >= 0 }\n}\n";
  const Result<Parse> parsed = parse(text);
  ASSERT_TRUE(parsed.ok());
  const SyntaxTree& tree = parsed->tree;
  const LineIndex index(text);
  for (uint32_t t = 0; t < tree.token_count(); ++t) {
    ASSERT_EQ(index.span_of(tree.token_offset(t)), tree.token_span(t))
        << "token " << t;
  }
}

}  // namespace
}  // namespace qel
