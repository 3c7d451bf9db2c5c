// The extent of the token a finding points at.
#include "lsp_text.h"

#include <gtest/gtest.h>

#include <string>

namespace qel::cli::lsp {
namespace {

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
