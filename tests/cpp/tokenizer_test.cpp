#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/error.h"
#include "qel/token.h"
#include "syntax/tokenizer.h"
#include "util/cpu.h"
#include "util/simd_scan.h"

namespace qel {
namespace {

// Every token as description@line:column, or the error's text form.
std::string dump(std::string_view text) {
  Result<std::vector<SpannedToken>> tokens = tokenize(text);
  if (!tokens.ok()) return tokens.error().to_string();
  std::string out;
  for (const SpannedToken& t : *tokens) {
    if (!out.empty()) out += ' ';
    out += token_description(t.token);
    out += '@';
    out += t.span.to_string();
  }
  return out;
}

// Every instruction path this machine can take: each row runs on all.
std::vector<detail::SimdPath> supported_paths() {
  std::vector<detail::SimdPath> paths;
  for (auto path : {detail::SimdPath::kScalar, detail::SimdPath::kSse2,
                    detail::SimdPath::kAvx2}) {
    if (detail::simd_path_supported(path)) paths.push_back(path);
  }
  return paths;
}

class PathScope {
 public:
  explicit PathScope(detail::SimdPath path)
      : before_(detail::set_simd_path(path)) {}
  ~PathScope() { detail::set_simd_path(before_); }
  PathScope(const PathScope&) = delete;
  PathScope& operator=(const PathScope&) = delete;

 private:
  detail::SimdPath before_;
};

struct LexCase {
  const char* name;
  std::string text;
  std::string expected;
};

void PrintTo(const LexCase& c, std::ostream* os) { *os << c.name; }

class TokenizerTest : public ::testing::TestWithParam<LexCase> {};

TEST_P(TokenizerTest, TokensOrError) {
  for (const detail::SimdPath path : supported_paths()) {
    SCOPED_TRACE(detail::simd_path_name(path));
    const PathScope scope(path);
    EXPECT_EQ(dump(GetParam().text), GetParam().expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layout, TokenizerTest,
    ::testing::Values(
        LexCase{"empty", "", "Eof@1:1"},
        LexCase{"only_layout", " \t\r\f\n // c\n", "Eof@3:1"},
        LexCase{"two_lines", "a\nb",
                "Identifier(\"a\")@1:1 Identifier(\"b\")@2:1 Eof@2:2"},
        LexCase{"comment_at_end", "// note", "Eof@1:8"},
        LexCase{"comment_keeps_line_feed", "x // y z\n y",
                "Identifier(\"x\")@1:1 Identifier(\"y\")@2:2 Eof@2:3"},
        LexCase{"comment_without_space", "a//b\nc",
                "Identifier(\"a\")@1:1 Identifier(\"c\")@2:1 Eof@2:2"},
        LexCase{"tab_and_cr_count_one_column", "\t\rx",
                "Identifier(\"x\")@1:3 Eof@1:4"},
        LexCase{"crlf", "a\r\nb",
                "Identifier(\"a\")@1:1 Identifier(\"b\")@2:1 Eof@2:2"},
        LexCase{"lone_slash", "a / b",
                "Parse error: Unexpected character '/' at 1:3"},
        LexCase{"slash_at_end", "a /", "Parse error: Unexpected character '/' at 1:3"},
        LexCase{"vertical_tab", "\v", "Parse error: Unexpected character '\v' at 1:1"},
        LexCase{"no_break_space", "a\xC2\xA0",
                "Parse error: Unexpected character '\xC2\xA0' at 1:2"}));

INSTANTIATE_TEST_SUITE_P(
    Punctuation, TokenizerTest,
    ::testing::Values(
        LexCase{"all", "{}[]<>:,=",
                "LBrace@1:1 RBrace@1:2 LBracket@1:3 RBracket@1:4 LAngle@1:5 "
                "RAngle@1:6 Colon@1:7 Comma@1:8 Equals@1:9 Eof@1:10"},
        LexCase{"map_type", "Map<String,Integer>",
                "MapType@1:1 LAngle@1:4 StringType@1:5 Comma@1:11 "
                "IntegerType@1:12 RAngle@1:19 Eof@1:20"},
        LexCase{"minus", "-1", "Parse error: Unexpected character '-' at 1:1"},
        LexCase{"plus", "+", "Parse error: Unexpected character '+' at 1:1"},
        LexCase{"dot", ".5", "Parse error: Unexpected character '.' at 1:1"},
        LexCase{"hash", "x #", "Parse error: Unexpected character '#' at 1:3"},
        LexCase{"single_quote", "'a'",
                "Parse error: Unexpected character ''' at 1:1"},
        LexCase{"percent_second_line", "a\n    %",
                "Parse error: Unexpected character '%' at 2:5"}));

INSTANTIATE_TEST_SUITE_P(
    Words, TokenizerTest,
    ::testing::Values(
        LexCase{"section_keywords",
                "Contract Identity PurposeStatement DataSemantics "
                "BehavioralSemantics ExecutionConstraints HumanMachineContract "
                "Extensions",
                "Contract@1:1 Identity@1:10 PurposeStatement@1:19 "
                "DataSemantics@1:36 BehavioralSemantics@1:50 "
                "ExecutionConstraints@1:70 HumanMachineContract@1:91 "
                "Extensions@1:112 Eof@1:122"},
        LexCase{"type_keywords",
                "Integer Float String Boolean ISO8601 UUID Array Map Object Enum",
                "IntegerType@1:1 FloatType@1:9 StringType@1:15 BooleanType@1:22 "
                "Iso8601Type@1:30 UuidType@1:38 ArrayType@1:43 MapType@1:49 "
                "ObjectType@1:53 EnumType@1:60 Eof@1:64"},
        LexCase{"booleans", "true false True",
                "BooleanLiteral(true)@1:1 BooleanLiteral(false)@1:6 "
                "Identifier(\"True\")@1:12 Eof@1:16"},
        LexCase{"near_keywords", "integer Contract-x true_ ISO8601Z Maps",
                "Identifier(\"integer\")@1:1 Identifier(\"Contract-x\")@1:9 "
                "Identifier(\"true_\")@1:20 Identifier(\"ISO8601Z\")@1:26 "
                "Identifier(\"Maps\")@1:35 Eof@1:39"},
        LexCase{"hyphen_and_underscore", "my-field _x a1-",
                "Identifier(\"my-field\")@1:1 Identifier(\"_x\")@1:10 "
                "Identifier(\"a1-\")@1:13 Eof@1:16"},
        LexCase{"non_ascii_letter", "\xC3\xA9",
                "Parse error: Unexpected character '\xC3\xA9' at 1:1"},
        LexCase{"non_ascii_after_space", "x \xC3\xA9",
                "Parse error: Unexpected character '\xC3\xA9' at 1:3"},
        LexCase{"non_ascii_inside_word", "ab\xC3\xA9",
                "Parse error: Unexpected character '\xC3\xA9' at 1:3"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, TokenizerTest,
    ::testing::Values(
        LexCase{"integer", "42", "IntegerLiteral(42)@1:1 Eof@1:3"},
        LexCase{"leading_zeros", "007", "IntegerLiteral(7)@1:1 Eof@1:4"},
        LexCase{"max_integer", "9223372036854775807",
                "IntegerLiteral(9223372036854775807)@1:1 Eof@1:20"},
        LexCase{"integer_overflow", "9223372036854775808",
                "Parse error: Invalid integer '9223372036854775808' at 1:1"},
        LexCase{"long_overflow", "x 123456789012345678901234567890",
                "Parse error: Invalid integer '123456789012345678901234567890' "
                "at 1:3"},
        LexCase{"no_exponent", "1e5",
                "IntegerLiteral(1)@1:1 Identifier(\"e5\")@1:2 Eof@1:4"},
        LexCase{"digits_then_word", "12abc",
                "IntegerLiteral(12)@1:1 Identifier(\"abc\")@1:3 Eof@1:6"},
        LexCase{"half", "0.5", "FloatLiteral(0.5)@1:1 Eof@1:4"},
        LexCase{"one", "1.0", "FloatLiteral(1.0)@1:1 Eof@1:4"},
        LexCase{"trailing_point", "1.", "FloatLiteral(1.0)@1:1 Eof@1:3"},
        LexCase{"two_points", "1.2.3", "Parse error: Invalid float '1.2.3' at 1:1"},
        LexCase{"two_points_at_end", "x 1..", "Parse error: Invalid float '1..' at 1:3"},
        LexCase{"float_then_minus", "1.5-2",
                "Parse error: Unexpected character '-' at 1:4"},
        LexCase{"ten_to_sixteen", "10000000000000000.0",
                "FloatLiteral(1e16)@1:1 Eof@1:20"},
        LexCase{"just_below_exponent_form", "9999999999999998.0",
                "FloatLiteral(9999999999999998.0)@1:1 Eof@1:19"},
        LexCase{"small", "0.000015", "FloatLiteral(1.5e-5)@1:1 Eof@1:9"},
        LexCase{"smallest_positional", "0.0001", "FloatLiteral(0.0001)@1:1 Eof@1:7"},
        LexCase{"below_positional", "0.00001", "FloatLiteral(1e-5)@1:1 Eof@1:8"},
        LexCase{"zero", "0.0", "FloatLiteral(0.0)@1:1 Eof@1:4"},
        LexCase{"shortest_digits", "0.1", "FloatLiteral(0.1)@1:1 Eof@1:4"},
        // 2^53 + 1 lies halfway between two doubles: ties go to even.
        LexCase{"ties_to_even", "9007199254740993.0",
                "FloatLiteral(9007199254740992.0)@1:1 Eof@1:19"},
        LexCase{"too_large", "1" + std::string(400, '0') + ".5",
                "FloatLiteral(inf)@1:1 Eof@1:404"},
        LexCase{"rounds_to_zero", "0." + std::string(400, '0') + "1",
                "FloatLiteral(0.0)@1:1 Eof@1:404"},
        LexCase{"smallest_subnormal", "0." + std::string(323, '0') + "5",
                "FloatLiteral(5e-324)@1:1 Eof@1:327"}));

INSTANTIATE_TEST_SUITE_P(
    Timestamps, TokenizerTest,
    ::testing::Values(
        LexCase{"utc", "2024-01-15T10:30:00Z",
                "StringLiteral(\"2024-01-15T10:30:00Z\")@1:1 Eof@1:21"},
        LexCase{"plus_offset", "2024-01-15T10:30:00+02:00",
                "StringLiteral(\"2024-01-15T10:30:00+02:00\")@1:1 Eof@1:26"},
        LexCase{"fraction", "2024-01-15T10:30:00.123Z,",
                "StringLiteral(\"2024-01-15T10:30:00.123Z\")@1:1 Comma@1:25 "
                "Eof@1:26"},
        LexCase{"date_only", "2024-01-15",
                "Parse error: Invalid timestamp '2024-01-15' at 1:1"},
        LexCase{"minus_offset", "2024-01-15T10:30:00-05:00",
                "Parse error: Invalid timestamp '2024-01-15T10:30:00-05:00' at 1:1"},
        LexCase{"nineteen_characters", "2024-01-15T10:3:00Z",
                "Parse error: Invalid timestamp '2024-01-15T10:3:00Z' at 1:1"},
        LexCase{"lowercase_t", "2024-01-15t10:30:00Z",
                "Parse error: Invalid timestamp '2024-01-15t10:30:00Z' at 1:1"},
        LexCase{"not_ending_in_z", "2024-01-15T10:30:00Zx",
                "Parse error: Invalid timestamp '2024-01-15T10:30:00Zx' at 1:1"},
        LexCase{"no_shape_checks", "1-TTTTTTTTTTTTTTTTTZ",
                "StringLiteral(\"1-TTTTTTTTTTTTTTTTTZ\")@1:1 Eof@1:21"},
        LexCase{"digits_then_minus", "x 1-2",
                "Parse error: Invalid timestamp '1-2' at 1:3"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, TokenizerTest,
    ::testing::Values(
        LexCase{"plain", "\"abc\" x",
                "StringLiteral(\"abc\")@1:1 Identifier(\"x\")@1:7 Eof@1:8"},
        LexCase{"escaped_quote", "\"a\\\"b\"", "StringLiteral(\"a\\\"b\")@1:1 Eof@1:7"},
        LexCase{"escapes", "\"\\n\\t\\\\\"",
                "StringLiteral(\"\\n\\t\\\\\")@1:1 Eof@1:9"},
        LexCase{"raw_line_feed", "\"a\nb\" x",
                "StringLiteral(\"a\\nb\")@1:1 Identifier(\"x\")@2:4 Eof@2:5"},
        LexCase{"non_ascii_counts_characters", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\" x",
                "StringLiteral(\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\")@1:1 "
                "Identifier(\"x\")@1:7 Eof@1:8"},
        LexCase{"non_ascii_comment", "// \xC3\xA9\xC3\xA9\n \xC3\xA9",
                "Parse error: Unexpected character '\xC3\xA9' at 2:2"},
        LexCase{"non_ascii_before_line_feed", "\"\xC3\xA9\n\xC3\xA9\" \xC3\xA9",
                "Parse error: Unexpected character '\xC3\xA9' at 2:4"},
        LexCase{"invalid_escape", "\"a\\qb\"",
                "Parse error: Invalid escape sequence '\\q' at 1:5"},
        LexCase{"no_r_escape", "\"\\r\"",
                "Parse error: Invalid escape sequence '\\r' at 1:4"},
        LexCase{"no_u_escape", "\"\\u0041\"",
                "Parse error: Invalid escape sequence '\\u' at 1:4"},
        LexCase{"no_single_quote_escape", "\"\\'\"",
                "Parse error: Invalid escape sequence '\\'' at 1:4"},
        LexCase{"escaped_line_feed", "\"ab\\\ncd\"",
                "Parse error: Invalid escape sequence '\\\n' at 2:1"},
        LexCase{"escaped_non_ascii", "\"\xC3\xA9\\\xC3\xA9\"",
                "Parse error: Invalid escape sequence '\\\xC3\xA9' at 1:5"},
        LexCase{"unterminated", "\"abc",
                "Parse error: Unterminated string starting at 1:1"},
        LexCase{"unterminated_over_lines", "x \"a\nb",
                "Parse error: Unterminated string starting at 1:3"},
        LexCase{"unterminated_escape", "\"\\",
                "Parse error: Unterminated escape sequence at 1:3"},
        LexCase{"unterminated_escape_later", "\"\xC3\xA9\n ab\\",
                "Parse error: Unterminated escape sequence at 2:5"},
        // Strings end only at their quote; layout inside is kept.
        LexCase{"comment_inside_string", "\"// x\"",
                "StringLiteral(\"// x\")@1:1 Eof@1:7"},
        LexCase{"first_error_wins", "\"\\q\" %",
                "Parse error: Invalid escape sequence '\\q' at 1:4"}));

INSTANTIATE_TEST_SUITE_P(
    Utf8, TokenizerTest,
    ::testing::Values(
        LexCase{"invalid_byte", "\xFF", "Parse error: Invalid UTF-8 at 1:1"},
        LexCase{"after_characters", "ab\n\"\xC3\xA9\xC3\"",
                "Parse error: Invalid UTF-8 at 2:3"},
        LexCase{"overlong", "x \xC0\x80", "Parse error: Invalid UTF-8 at 1:3"},
        LexCase{"surrogate", "\"\xED\xA0\x80\"", "Parse error: Invalid UTF-8 at 1:2"},
        LexCase{"above_max", "\"\xF4\x90\x80\x80\"",
                "Parse error: Invalid UTF-8 at 1:2"},
        LexCase{"truncated_at_end", "\"\xE2\x82", "Parse error: Invalid UTF-8 at 1:2"},
        LexCase{"lone_continuation", "\"\x80\"", "Parse error: Invalid UTF-8 at 1:2"},
        // Decoding comes before scanning.
        LexCase{"wins_over_lexical_error", "% \xFF",
                "Parse error: Invalid UTF-8 at 1:3"},
        LexCase{"valid_four_byte", "\"\xF0\x90\x80\x80\"",
                "StringLiteral(\"\xF0\x90\x80\x80\")@1:1 Eof@1:4"}));

// Layout, words and strings are skipped eight bytes at a time: the rows
// put a token's end at and across those boundaries and at the text's end.
INSTANTIATE_TEST_SUITE_P(
    WordAtATime, TokenizerTest,
    ::testing::Values(
        LexCase{"space_run_over_a_word", "a" + std::string(11, ' ') + "b",
                "Identifier(\"a\")@1:1 Identifier(\"b\")@1:13 Eof@1:14"},
        LexCase{"space_run_ends_in_a_word", "a    bcdefghij",
                "Identifier(\"a\")@1:1 Identifier(\"bcdefghij\")@1:6 Eof@1:15"},
        LexCase{"space_run_to_end", "a" + std::string(10, ' '),
                "Identifier(\"a\")@1:1 Eof@1:12"},
        LexCase{"space_run_then_tab", "a  \t      b  ",
                "Identifier(\"a\")@1:1 Identifier(\"b\")@1:11 Eof@1:14"},
        LexCase{"word_over_two_words", "abcdefghijklmnopq: x",
                "Identifier(\"abcdefghijklmnopq\")@1:1 Colon@1:18 "
                "Identifier(\"x\")@1:20 Eof@1:21"},
        LexCase{"word_of_eight_then_brace", "x abcd-_gh{",
                "Identifier(\"x\")@1:1 Identifier(\"abcd-_gh\")@1:3 LBrace@1:11 "
                "Eof@1:12"},
        LexCase{"long_word_at_end", "x abcdefghij",
                "Identifier(\"x\")@1:1 Identifier(\"abcdefghij\")@1:3 Eof@1:13"},
        LexCase{"keyword_then_long_word", "Integer Integerfield",
                "IntegerType@1:1 Identifier(\"Integerfield\")@1:9 Eof@1:21"},
        LexCase{"quote_in_second_word", "\"abcdefghijklmno\" x",
                "StringLiteral(\"abcdefghijklmno\")@1:1 Identifier(\"x\")@1:19 "
                "Eof@1:20"},
        LexCase{"escape_across_words", "\"abcdefg\\\"hijklmn\\\\\"",
                "StringLiteral(\"abcdefg\\\"hijklmn\\\\\")@1:1 Eof@1:21"},
        // U+00A2 ends in the byte 0xA2 and U+0700 starts with 0xDC: a quote
        // and a backslash with the high bit set.
        LexCase{"bytes_like_quote_and_backslash",
                "\"\xC2\xA2\xC2\xA2\xC2\xA2\xC2\xA2\xDC\x80\xDC\x80\" x",
                "StringLiteral(\"\xC2\xA2\xC2\xA2\xC2\xA2\xC2\xA2\xDC\x80\xDC\x80\")"
                "@1:1 Identifier(\"x\")@1:10 Eof@1:11"},
        LexCase{"unterminated_long", "x \"abcdefghijklmnopqrstuvwxyz",
                "Parse error: Unterminated string starting at 1:3"},
        LexCase{"comment_in_long_text", "abcdefghij // " + std::string(20, 'c'),
                "Identifier(\"abcdefghij\")@1:1 Eof@1:35"}));

// The vector paths take string bodies and the UTF-8 check 16 and 32
// bytes at a time and hand the last bytes of the text to a narrower loop:
// the rows put a token's end just before, at and after those boundaries.
// Runs of spaces, taken eight at a time, meet other layout bytes.
const std::string k15(15, 'a'), k16(16, 'a'), k31(31, 'a'), k32(32, 'a');
INSTANTIATE_TEST_SUITE_P(
    VectorAtATime, TokenizerTest,
    ::testing::Values(
        LexCase{"quote_at_15", "\"" + k15 + "\" x",
                "StringLiteral(\"" + k15 + "\")@1:1 Identifier(\"x\")@1:19 Eof@1:20"},
        LexCase{"quote_at_16", "\"" + k16 + "\" x",
                "StringLiteral(\"" + k16 + "\")@1:1 Identifier(\"x\")@1:20 Eof@1:21"},
        LexCase{"quote_at_32", "\"" + k31 + "\"",
                "StringLiteral(\"" + k31 + "\")@1:1 Eof@1:34"},
        LexCase{"quote_after_32", "\"" + k32 + k16 + "\"x",
                "StringLiteral(\"" + k32 + k16 + "\")@1:1 Identifier(\"x\")@1:51 "
                "Eof@1:52"},
        LexCase{"escapes_past_16_and_32", "\"" + k16 + "\\n" + k16 + "\\\"b\"",
                "StringLiteral(\"" + k16 + "\\n" + k16 + "\\\"b\")@1:1 Eof@1:40"},
        LexCase{"unterminated_past_32", "\"" + k32 + k16,
                "Parse error: Unterminated string starting at 1:1"},
        LexCase{"layout_run_of_40", "a\n" + std::string(16, ' ') + "\t\r\f" +
                                        std::string(20, ' ') + "b",
                "Identifier(\"a\")@1:1 Identifier(\"b\")@2:40 Eof@2:41"},
        LexCase{"vertical_tab_after_20_spaces", "a" + std::string(20, ' ') + "\v",
                "Parse error: Unexpected character '\v' at 1:22"},
        LexCase{"layout_run_to_end", "a\n" + std::string(40, ' '),
                "Identifier(\"a\")@1:1 Eof@2:41"},
        LexCase{"non_ascii_after_64", "\"" + k32 + k31 + "\xC3\xA9\" x",
                "StringLiteral(\"" + k32 + k31 + "\xC3\xA9\")@1:1 "
                "Identifier(\"x\")@1:68 Eof@1:69"},
        LexCase{"invalid_utf8_at_64", "\"" + k32 + k31 + "\xC3\"",
                "Parse error: Invalid UTF-8 at 1:65"},
        LexCase{"invalid_utf8_at_33", "\"" + k32 + "\xFF" + k32 + "\"",
                "Parse error: Invalid UTF-8 at 1:34"}));

// Each byte loop of each path, for every byte value at positions around
// the vector boundaries, against the byte sets of the language.
bool in_set(const char* set, int b) {
  return b != 0 && std::strchr(set, b) != nullptr;
}

TEST(TokenizerByteLoops, EveryPathStopsAtTheFirstByteOutside) {
  struct Loop {
    const char* name;
    char filler;
    bool (*passes)(int b);
  };
  const Loop loops[] = {
      {"skip_word", 'a',
       [](int b) {
         return in_set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                       "0123456789_-", b);
       }},
      {"skip_spaces", ' ', [](int b) { return b == ' '; }},
      {"find_string_stop", 'a', [](int b) { return b != '"' && b != '\\'; }},
      {"skip_ascii", 'a', [](int b) { return b < 0x80; }},
  };
  // The loop `which` of the path `Scan` over the text.
  const auto run = []<typename Scan>(int which, const char* p,
                                     const char* end) {
    switch (which) {
      case 0: return Scan::skip_word(p, end);
      case 1: return Scan::skip_spaces(p, end);
      case 2: return Scan::find_string_stop(p, end);
      default: return Scan::skip_ascii(p, end);
    }
  };
  for (const detail::SimdPath path : supported_paths()) {
    for (int which = 0; which < 4; ++which) {
      const Loop& loop = loops[which];
      for (const int at : {0, 7, 8, 15, 16, 17, 31, 32, 47, 63, 70}) {
        for (int b = 0; b < 256; ++b) {
          std::string text(71, loop.filler);
          text[at] = static_cast<char>(b);
          const char* p = text.data();
          const char* end = p + text.size();
          const char* stop = end;
          switch (path) {
#if QEL_HAVE_X86_SIMD
            case detail::SimdPath::kAvx2:
              stop = run.template operator()<detail::Avx2Scan>(which, p, end);
              break;
            case detail::SimdPath::kSse2:
              stop = run.template operator()<detail::Sse2Scan>(which, p, end);
              break;
#endif
            default:
              stop = run.template operator()<detail::ScalarScan>(which, p, end);
              break;
          }
          ASSERT_EQ(stop - p, loop.passes(b) ? 71 : at)
              << detail::simd_path_name(path) << ' ' << loop.name << " byte "
              << b << " at " << at;
        }
      }
    }
  }
}

// The UTF-8 check of every path finds the same first error as the byte
// loop: every pair of bytes, and the sequences of three and four bytes
// around each rule's bounds, at places around the 32-byte blocks (an error
// cut by a block's end included), then texts mixing characters of every
// length with stray bytes.
TEST(TokenizerUtf8, EveryPathFindsTheFirstErrorTheByteLoopFinds) {
  std::vector<std::string> texts;
  const auto place = [&](const std::string& bytes) {
    for (const std::size_t at : {0, 29, 30, 31, 32, 61, 62, 63, 64, 95}) {
      std::string text(97, 'a');
      text.replace(at, bytes.size(), bytes);
      texts.push_back(text);
      texts.push_back(text.substr(0, at + bytes.size()));  // ending there
    }
  };
  for (int a = 0x00; a < 0x100; ++a) {
    for (int b = 0x00; b < 0x100; ++b) {
      place({static_cast<char>(a), static_cast<char>(b)});
    }
  }
  const int seconds[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC2};
  const int laters[] = {0x41, 0x80, 0xBF, 0xC3, 0xE2};
  for (int lead = 0xC0; lead < 0x100; ++lead) {
    for (const int second : seconds) {
      for (const int third : laters) {
        place({static_cast<char>(lead), static_cast<char>(second),
               static_cast<char>(third)});
        for (const int fourth : laters) {
          place({static_cast<char>(lead), static_cast<char>(second),
                 static_cast<char>(third), static_cast<char>(fourth)});
        }
      }
    }
  }
  const char* const pieces[] = {"a", " ", "\xC3\xA9", "\xE2\x82\xAC",
                                "\xF0\x9F\x99\x82", "\xED\x9F\xBF"};
  uint32_t seed = 12345;
  const auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const std::size_t length = next() % 120;
    while (text.size() < length) {
      if (next() % 97 == 0) {
        text += static_cast<char>(0x80 + (next() >> 16) % 0x80);  // stray
      } else {
        text += pieces[(next() >> 16) % std::size(pieces)];
      }
    }
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    std::optional<std::string> expected;
    {
      const PathScope scope(detail::SimdPath::kScalar);
      expected = detail::check_utf8(text);
    }
    for (const detail::SimdPath path : supported_paths()) {
      const PathScope scope(path);
      ASSERT_EQ(detail::check_utf8(text), expected)
          << detail::simd_path_name(path) << " on " << ::testing::PrintToString(text);
    }
  }
}

TEST(TokenizerSpans, OffsetsCountCharacters) {
  Result<std::vector<SpannedToken>> tokens =
      tokenize("\"\xC3\xA9\xC3\xA9\"\n  x // \xE2\x82\xAC\n");
  ASSERT_TRUE(tokens.ok());
  ASSERT_EQ(tokens->size(), 3u);
  EXPECT_EQ((*tokens)[0].span, (Span{1, 1, 0}));
  EXPECT_EQ((*tokens)[1].span, (Span{2, 3, 7}));
  EXPECT_EQ((*tokens)[2].span, (Span{3, 1, 14}));
}

TEST(TokenizerSpans, EmptyTextEofAtOrigin) {
  Result<std::vector<SpannedToken>> tokens = tokenize("");
  ASSERT_TRUE(tokens.ok());
  ASSERT_EQ(tokens->size(), 1u);
  EXPECT_EQ((*tokens)[0].token.kind, TokenKind::kEof);
  EXPECT_EQ((*tokens)[0].span, (Span{1, 1, 0}));
}

TEST(TokenizerTokens, CompareKindAndPayload) {
  auto make = [](TokenKind kind, std::string text) {
    Token t;
    t.kind = kind;
    t.text = std::move(text);
    return t;
  };
  EXPECT_EQ(make(TokenKind::kIdentifier, "a"), make(TokenKind::kIdentifier, "a"));
  EXPECT_FALSE(make(TokenKind::kIdentifier, "a") ==
               make(TokenKind::kIdentifier, "b"));
  EXPECT_FALSE(make(TokenKind::kIdentifier, "a") ==
               make(TokenKind::kStringLiteral, "a"));
  Token one;
  one.kind = TokenKind::kIntegerLiteral;
  one.integer = 1;
  Token two = one;
  two.integer = 2;
  EXPECT_FALSE(one == two);
  // A kind without payload ignores the payload fields.
  Token brace_a;
  brace_a.kind = TokenKind::kLBrace;
  Token brace_b = brace_a;
  brace_b.integer = 9;
  EXPECT_EQ(brace_a, brace_b);
}

struct DescriptionCase {
  const char* name;
  std::string text;      // an Identifier payload
  std::string expected;  // what appears between the quotes
};

void PrintTo(const DescriptionCase& c, std::ostream* os) { *os << c.name; }

class TokenizerDescriptionTest : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(TokenizerDescriptionTest, EscapesText) {
  Token t;
  t.kind = TokenKind::kStringLiteral;
  t.text = GetParam().text;
  EXPECT_EQ(token_description(t), "StringLiteral(\"" + GetParam().expected + "\")");
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, TokenizerDescriptionTest,
    ::testing::Values(
        DescriptionCase{"plain", "owner", "owner"},
        DescriptionCase{"quote_and_backslash", "a\"b\\c", "a\\\"b\\\\c"},
        DescriptionCase{"named_controls", std::string("\n\r\t\0", 4),
                        "\\n\\r\\t\\0"},
        DescriptionCase{"other_controls", "\x01\x1F\x7F", "\\u{1}\\u{1f}\\u{7f}"},
        DescriptionCase{"c1_control", "\xC2\x85", "\\u{85}"},
        DescriptionCase{"single_quote_and_space", "it's a", "it's a"},
        DescriptionCase{"non_ascii_letters", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80",
                        "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
        DescriptionCase{"no_break_space", "\xC2\xA0", "\\u{a0}"},
        DescriptionCase{"ideographic_space", "\xE3\x80\x80", "\\u{3000}"},
        DescriptionCase{"soft_hyphen_format", "\xC2\xAD", "\\u{ad}"},
        DescriptionCase{"zero_width_space_format", "\xE2\x80\x8B", "\\u{200b}"},
        DescriptionCase{"line_separator", "\xE2\x80\xA8", "\\u{2028}"},
        DescriptionCase{"paragraph_separator", "\xE2\x80\xA9", "\\u{2029}"},
        DescriptionCase{"private_use", "\xEE\x80\x80", "\\u{e000}"},
        DescriptionCase{"unassigned", "\xCD\xB8", "\\u{378}"},
        DescriptionCase{"last_code_point", "\xF4\x8F\xBF\xBF", "\\u{10ffff}"},
        DescriptionCase{"combining_acute", "e\xCC\x81", "e\\u{301}"},
        DescriptionCase{"enclosing_mark", "\xE2\x83\x9D", "\\u{20dd}"},
        // Spacing marks are printable unless they extend graphemes.
        DescriptionCase{"other_grapheme_extend", "\xE0\xA6\xBE", "\\u{9be}"},
        DescriptionCase{"spacing_mark", "\xE0\xA6\xBF", "\xE0\xA6\xBF"},
        DescriptionCase{"tag_character", "\xF3\xA0\x80\xA0", "\\u{e0020}"}));

struct KindCase {
  Token token;
  const char* expected;
};

TEST(TokenizerDescriptions, PayloadForms) {
  auto with = [](TokenKind kind, auto set) {
    Token t;
    t.kind = kind;
    set(t);
    return t;
  };
  const KindCase cases[] = {
      {with(TokenKind::kIdentifier, [](Token& t) { t.text = "owner"; }),
       "Identifier(\"owner\")"},
      {with(TokenKind::kIntegerLiteral, [](Token& t) { t.integer = 42; }),
       "IntegerLiteral(42)"},
      {with(TokenKind::kFloatLiteral, [](Token& t) { t.number = 0.5; }),
       "FloatLiteral(0.5)"},
      {with(TokenKind::kFloatLiteral, [](Token& t) { t.number = 1e16; }),
       "FloatLiteral(1e16)"},
      {with(TokenKind::kFloatLiteral, [](Token& t) { t.number = 0.000015; }),
       "FloatLiteral(1.5e-5)"},
      {with(TokenKind::kBooleanLiteral, [](Token& t) { t.boolean = true; }),
       "BooleanLiteral(true)"},
      {with(TokenKind::kBooleanLiteral, [](Token& t) { t.boolean = false; }),
       "BooleanLiteral(false)"},
      {with(TokenKind::kEof, [](Token&) {}), "Eof"},
      {with(TokenKind::kIso8601Type, [](Token&) {}), "Iso8601Type"},
      {with(TokenKind::kHumanMachineContract, [](Token&) {}),
       "HumanMachineContract"},
  };
  for (const KindCase& c : cases) {
    EXPECT_EQ(token_description(c.token), c.expected);
  }
}

TEST(TokenizerDescriptions, EveryKindHasItsName) {
  const char* names[kTokenKindCount] = {
      "Contract", "Identity", "PurposeStatement", "DataSemantics",
      "BehavioralSemantics", "ExecutionConstraints", "HumanMachineContract",
      "Extensions", "IntegerType", "FloatType", "StringType", "BooleanType",
      "Iso8601Type", "UuidType", "ArrayType", "MapType", "ObjectType",
      "EnumType", "StringLiteral", "IntegerLiteral", "FloatLiteral",
      "BooleanLiteral", "LBrace", "RBrace", "LBracket", "RBracket", "LAngle",
      "RAngle", "Colon", "Comma", "Equals", "Identifier", "Eof", "Comment"};
  for (int i = 0; i < kTokenKindCount; ++i) {
    EXPECT_STREQ(token_kind_name(static_cast<TokenKind>(i)), names[i]);
  }
}

}  // namespace
}  // namespace qel
