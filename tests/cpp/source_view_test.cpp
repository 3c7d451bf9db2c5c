#include "qel/source_view.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "diagnostics/display_width.h"

namespace qel::display {
namespace {

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

const std::string kEllipsis = "\xE2\x80\xA6";

struct EchoCase {
  const char* name;
  std::string line;
  uint64_t column;
  std::string text;   // expected echo
  std::string caret;  // expected caret line
};

void PrintTo(const EchoCase& c, std::ostream* os) { *os << c.name; }

class EchoTest : public testing::TestWithParam<EchoCase> {};

TEST_P(EchoTest, EscapesCutsAndPlacesTheCaret) {
  const EchoCase& c = GetParam();
  const EchoedLine echo = echo_line(c.line, c.column);
  EXPECT_EQ(echo.text, c.text);
  EXPECT_EQ(echo.caret, c.caret);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, EchoTest,
    testing::Values(
        EchoCase{"plain", "abc", 2, "abc", " ^"},
        // Escapes take their printed width under the caret.
        EchoCase{"esc", "a\x1b[31mb", 3, "a\\u{1b}[31mb", "       ^"},
        EchoCase{"nul_bel", std::string("x\0y\a!", 5), 5,
                 "x\\u{0}y\\u{7}!", "            ^"},
        EchoCase{"del", "\x7f=", 2, "\\u{7f}=", "      ^"},
        EchoCase{"c1_next_line", "\xC2\x85x", 2, "\\u{85}x", "      ^"},
        EchoCase{"bidi_override", "a\xE2\x80\xAE" "b", 3, "a\\u{202e}b",
                 "         ^"},
        EchoCase{"line_separator", "\xE2\x80\xA8x", 2, "\\u{2028}x",
                 "        ^"},
        EchoCase{"cr_inside", "a\rb", 3, "a\\u{d}b", "      ^"},
        // Bytes that are not UTF-8 show as \xhh; a lone continuation byte is
        // shown but, as in the tokenizer's columns, not counted.
        EchoCase{"invalid_byte", "a\xFF" "b", 3, "a\\xffb", "     ^"},
        EchoCase{"lone_continuation", "a\x80" "b", 2, "a\\x80b", " ^"},
        EchoCase{"truncated_sequence", "a\xE2\x82", 2, "a\\xe2\\x82", " ^"},
        EchoCase{"overlong", "\xC0\xAF" "x", 2, "\\xc0\\xafx", "    ^"},
        EchoCase{"surrogate", "\xED\xA0\x80", 1, "\\xed\\xa0\\x80", "^"},
        // Display width: tabs kept, wide and emoji two, marks zero.
        EchoCase{"tabs", "\ta\tb", 4, "\ta\tb", "\t \t^"},
        EchoCase{"east_asian_wide", "\xE6\x97\xA5\xE6\x9C\xAC=", 3,
                 "\xE6\x97\xA5\xE6\x9C\xAC=", "    ^"},
        EchoCase{"fullwidth", "\xEF\xBC\x81x", 2, "\xEF\xBC\x81x", "  ^"},
        EchoCase{"emoji", "\xF0\x9F\x98\x80x", 2, "\xF0\x9F\x98\x80x",
                 "  ^"},
        EchoCase{"combining_acute", "e\xCC\x81x", 3, "e\xCC\x81x", " ^"},
        EchoCase{"zwj_sequence",
                 "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9x", 4,
                 "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9x", "    ^"},
        EchoCase{"variation_selector", "\xE2\x9C\x94\xEF\xB8\x8Ex", 3,
                 "\xE2\x9C\x94\xEF\xB8\x8Ex", " ^"},
        // End of input: the caret goes just past the line, however far the
        // column claims.
        EchoCase{"eof", "abc", 4, "abc", "   ^"},
        EchoCase{"eof_empty_line", "", 1, "", "^"},
        EchoCase{"column_far_past_end", "abc", 1000000, "abc", "   ^"},
        EchoCase{"exactly_the_width", repeat("a", kEchoWidth), 1,
                 repeat("a", kEchoWidth), "^"},
        // Long lines: 60 columns before the finding, the rest after.
        EchoCase{"cut_both_sides",
                 repeat("a", 150) + "X" + repeat("b", 150), 151,
                 kEllipsis + repeat("a", 59) + "X" + repeat("b", 138) +
                     kEllipsis,
                 " " + repeat(" ", 59) + "^"},
        EchoCase{"cut_after_only", "X" + repeat("b", 300), 1,
                 "X" + repeat("b", 197) + kEllipsis, "^"},
        EchoCase{"cut_before_only_at_eof", repeat("a", 300), 301,
                 kEllipsis + repeat("a", 197), repeat(" ", 198) + "^"},
        EchoCase{"cut_counts_wide_columns",
                 repeat("\xE6\x97\xA5", 300), 150,
                 kEllipsis + repeat("\xE6\x97\xA5", 99) + kEllipsis,
                 repeat(" ", 59) + "^"},
        EchoCase{"cut_counts_escapes", repeat("\x1b", 300), 150,
                 kEllipsis + repeat("\\u{1b}", 33) + kEllipsis,
                 repeat(" ", 55) + "^"},
        EchoCase{"cut_counts_tabs_as_eight", repeat("\t", 100), 50,
                 kEllipsis + repeat("\t", 24) + kEllipsis,
                 " " + repeat("\t", 6) + "^"}),
    [](const testing::TestParamInfo<EchoCase>& info) {
      return std::string(info.param.name);
    });

TEST(SourceViewTest, SplitsOnLineFeedsAndDropsTheCarriageReturn) {
  const SourceView view("a\r\nb\n\nc\r");
  const struct {
    uint64_t line;
    std::string_view text;
  } cases[] = {{0, ""}, {1, "a"}, {2, "b"}, {3, ""}, {4, "c"}, {5, ""}};
  for (const auto& c : cases) EXPECT_EQ(view.line(c.line), c.text) << c.line;
  EXPECT_EQ(SourceView("x\n").line(2), "");
}

// Long lines are indexed by column; the echo must not depend on it.
TEST(SourceViewTest, IndexedLongLineEchoesLikeAScan) {
  const std::string piece =
      "ab\xE6\x97\xA5\xF0\x9F\x98\x80" "e\xCC\x81\t\x1b\xFF\x80\xE2\x82";
  std::string line = repeat(piece, 200);
  const std::string text = "first\n" + line + "\nlast";
  SourceView view(text);
  uint64_t columns = 0;
  for (const unsigned char c : line) columns += (c & 0xC0) != 0x80;
  for (uint64_t column = 1; column <= columns + 2; ++column) {
    const EchoedLine indexed = view.echo(2, column);
    const EchoedLine scanned = echo_line(line, column);
    ASSERT_EQ(indexed.text, scanned.text) << column;
    ASSERT_EQ(indexed.caret, scanned.caret) << column;
  }
}

TEST(AppendPrintableTest, EscapesLikeTheEchoWithoutCutting) {
  std::string out;
  append_printable("'a\x1b" "b' \xFF " + repeat("x", 300), out);
  EXPECT_EQ(out, "'a\\u{1b}b' \\xff " + repeat("x", 300));
}

TEST(ShownPathTest, NoNameStartsALineOrAnEscape) {
  const struct {
    std::string path, shown;
  } cases[] = {
      {"dir/a b.qel", "dir/a b.qel"},
      {"x\n::error file=x::pwned.qel", "x\\u{a}::error file=x::pwned.qel"},
      {"x\r\n::add-mask::y", "x\\u{d}\\u{a}::add-mask::y"},
      {"\x1b[31mred.qel", "\\u{1b}[31mred.qel"},
      {"\xC2\x9B" "2J.qel", "\\u{9b}2J.qel"},
      {"caf\xE9.qel", "caf\\xe9.qel"},
      {"\xC3\xA9t\xC3\xA9.qel", "\xC3\xA9t\xC3\xA9.qel"},
      {repeat("d/", 200) + "x", repeat("d/", 200) + "x"},
  };
  for (const auto& c : cases) EXPECT_EQ(shown_path(c.path), c.shown) << c.shown;
}

TEST(ValidUtf8Test, EachStrayByteBecomesOneReplacement) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string text, valid;
  } cases[] = {
      {"plain \xC3\xA9 \xF0\x9F\x98\x80", "plain \xC3\xA9 \xF0\x9F\x98\x80"},
      {"caf\xE9.qel", "caf" + r + ".qel"},
      {"\xE2\x82", r + r},                  // cut short
      {"\xC0\xAF", r + r},                  // overlong
      {"\xED\xA0\x80", r + r + r},         // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
      {std::string("a\0\n", 3), std::string("a\0\n", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(valid_utf8(c.text), c.valid);
}

TEST(DisplayWidthTest, Columns) {
  const struct {
    uint32_t code_point;
    int width;
  } cases[] = {
      {'a', 1},     {0xAD, 1},     {0x300, 0},    {0x0600, 1},
      {0x1160, 0},  {0x200B, 0},   {0x200D, 0},   {0x3099, 0},
      {0xFE0F, 0},  {0xE0100, 0},  {0x1100, 2},   {0x4E00, 2},
      {0xAC00, 2},  {0xFF01, 2},   {0x1F600, 2},  {0x2FFFD, 2},
      {0x0378, 1},  {0x10FFFF, 1}, {0x1F1E6, 1},  {0xFF61, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(display_width(c.code_point), c.width) << std::hex << c.code_point;
  }
}

}  // namespace
}  // namespace qel::display
