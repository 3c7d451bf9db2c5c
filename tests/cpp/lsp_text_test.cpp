// The language server's position arithmetic: protocol positions in UTF-16
// and UTF-8 against byte offsets, finding columns in characters, and the
// extent of the token a finding points at.
#include "lsp_text.h"

#include <gtest/gtest.h>

#include <string>

namespace qel::cli::lsp {
namespace {

using E = Encoding;

// "aé中😀b" on line 0: bytes a=0, é=1..2, 中=3..5, 😀=6..9, b=10.
constexpr std::string_view kText = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80" "b\r\nx\ry";

struct OffsetCase {
  size_t offset;
  Encoding encoding;
  Position position;
};

TEST(LspTextTest, PositionOfOffset) {
  const LineIndex index(kText);
  const OffsetCase cases[] = {
      {0, E::kUtf16, {0, 0}},  {1, E::kUtf16, {0, 1}},
      {3, E::kUtf16, {0, 2}},  {6, E::kUtf16, {0, 3}},
      {10, E::kUtf16, {0, 5}},  // the emoji is two units
      {10, E::kUtf8, {0, 10}},
      {8, E::kUtf16, {0, 3}},   // inside the emoji: its start
      {11, E::kUtf16, {0, 6}},  // the \r of \r\n ends line 0
      {13, E::kUtf16, {1, 0}},  {15, E::kUtf16, {2, 0}},  // a lone \r
      {16, E::kUtf16, {2, 1}},  {99, E::kUtf16, {2, 1}},  // clamped
  };
  for (const OffsetCase& c : cases) {
    EXPECT_EQ(index.position_of(c.offset, c.encoding), c.position)
        << "offset " << c.offset;
  }
}

TEST(LspTextTest, OffsetOfPosition) {
  const LineIndex index(kText);
  const OffsetCase cases[] = {
      {6, E::kUtf16, {0, 3}},   {10, E::kUtf16, {0, 5}},
      {6, E::kUtf16, {0, 4}},   // half of a surrogate pair: the emoji
      {6, E::kUtf8, {0, 7}},    // inside the emoji's bytes: its start
      {11, E::kUtf16, {0, 40}},  // past the line's end: before \r\n
      {14, E::kUtf16, {1, 9}},   // before the lone \r
      {16, E::kUtf16, {2, 1}},   {16, E::kUtf16, {7, 0}},  // past the end
  };
  for (const OffsetCase& c : cases) {
    EXPECT_EQ(index.offset_of(c.position, c.encoding), c.offset)
        << c.position.line << ":" << c.position.character;
  }
}

TEST(LspTextTest, FindingsCountLineFeedsAndCharactersAfterTheBody) {
  // Findings see the text after a byte order mark, with lines ended by
  // line feeds only.
  const std::string text = "\xEF\xBB\xBF" "a\xC3\xA9z\rq\nbc";
  const LineIndex index(text, 3);
  EXPECT_EQ(index.offset_of_finding(0, 0), 3u);  // no position
  EXPECT_EQ(index.offset_of_finding(1, 1), 3u);
  EXPECT_EQ(index.offset_of_finding(1, 3), 6u);   // after é
  EXPECT_EQ(index.offset_of_finding(1, 5), 8u);   // past the \r
  EXPECT_EQ(index.offset_of_finding(1, 99), 9u);  // at the line feed
  EXPECT_EQ(index.offset_of_finding(2, 2), 11u);
  EXPECT_EQ(index.offset_of_finding(9, 1), text.size());
  EXPECT_EQ(index.position_of(6, E::kUtf16), (Position{0, 3}));  // BOM + a + é
}

// Lines many kilobytes long, of characters of every width: every offset
// converts as a count from its line's start says, across the points where
// the index keeps its counts.
TEST(LspTextTest, LongLinesConvertAsCountedFromTheLineStart) {
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
    ASSERT_EQ(index.position_of(at, E::kUtf16), (Position{line, units16}))
        << "offset " << at;
    ASSERT_EQ(index.offset_of(Position{line, units16}, E::kUtf16), at);
    ASSERT_EQ(index.offset_of_finding(line + 1, count + 1), at);
    if (c == '\r') continue;
    units16 += c >= 0xF0 ? 2 : 1;
    ++count;
  }
  // Half of a surrogate pair far along a line: the pair's start.
  const size_t emoji = text.rfind("\xF0", 20000);
  const Position half = index.position_of(emoji, E::kUtf16);
  EXPECT_EQ(index.offset_of(Position{half.line, half.character + 1},
                            E::kUtf16),
            emoji);
}

TEST(LspTextTest, TokenEnd) {
  struct Case {
    std::string_view text;
    size_t begin;
    size_t end;
  };
  const Case cases[] = {
      {R"(x: "a\"b" y)", 3, 9},          // a string with an escaped quote
      {"x: \"open\nrest", 3, 8},         // never closed: to the line's end
      {"t: [\"]\", [1]] z", 3, 13},      // a list, brackets in strings
      {"t: [1, 2", 3, 4},                // never closed: the bracket
      {"stable_id-2: 1", 0, 11},         // a word takes - and digits
      {"n = 12.5}", 4, 8},
      {"at 2026-01-15T10:30:00Z,", 3, 23},  // a bare timestamp
      {"{ }", 0, 1},                     // a brace alone
      {"\xE4\xB8\xAD!", 0, 3},           // one character
      {"abc", 3, 3},                     // the end: empty
  };
  for (const Case& c : cases) {
    EXPECT_EQ(token_end(c.text, c.begin), c.end) << c.text;
  }
}

}  // namespace
}  // namespace qel::cli::lsp
