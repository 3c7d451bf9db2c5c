// Fuzzes the formatter: a text that parses is formatted to one that means
// the same (same canonical text and hash, the same tokens but for optional
// commas), keeps every comment in order, is formatted already, and is laid
// out cleanly; a text that does not parse is refused with the message
// normalize gives. An input that starts with NUL is read as choices for the
// contract generator, whose texts must all parse.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contract_generator.h"
#include "fuzz_check.h"
#include "qel/canonical.h"
#include "qel/format.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"

namespace {

using qel::fuzz::check;
using qel::fuzz::check_equal;

// The tokens of a text, one per line, kind and text: comments without
// their trailing spaces, commas left out (the style may add or drop them).
std::string token_listing(const qel::SyntaxTree& tree, bool comments) {
  std::string out;
  for (uint32_t i = 0; i < tree.token_count(); ++i) {
    const qel::TokenKind kind = tree.token_kind(i);
    if (kind == qel::TokenKind::kComma) continue;
    if ((kind == qel::TokenKind::kComment) != comments) continue;
    std::string_view text = tree.token_text(i);
    if (comments) {
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t' ||
                               text.back() == '\r' || text.back() == '\f')) {
        text.remove_suffix(1);
      }
    }
    out += qel::token_kind_name(kind);
    out += ' ';
    out += text;
    out += '\n';
  }
  return out;
}

// Between tokens only spaces and line feeds: no trailing space, no more
// than one blank line, no indentation by an odd number of spaces.
void check_layout(const qel::SyntaxTree& tree) {
  const std::string_view text = tree.source();
  check(!text.empty() && text.back() == '\n' &&
            (text.size() < 2 || text[text.size() - 2] != '\n'),
        "the text ends with exactly one line feed", text);
  uint32_t end = 0;
  for (uint32_t i = 0; i < tree.token_count(); ++i) {
    const std::string_view gap =
        text.substr(end, tree.token_offset(i) - end);
    check(gap.find_first_not_of(" \n") == std::string_view::npos,
          "only spaces and line feeds between tokens", text, gap);
    check(gap.find(" \n") == std::string_view::npos,
          "no space at the end of a line", text, gap);
    check(gap.find("\n\n\n") == std::string_view::npos,
          "at most one blank line", text, gap);
    const size_t line_feed = gap.rfind('\n');
    if (line_feed != std::string_view::npos) {
      check((gap.size() - line_feed - 1) % 2 == 0,
            "indentation in steps of two spaces", text, gap);
    }
    end = tree.token_end(i);
  }
}

void check_format(std::string_view text, bool generated) {
  auto formatted = qel::format_contract(text);
  auto canonical = qel::normalize(text);
  check(canonical.ok() || !generated, "a generated contract parses", text,
        canonical.ok() ? std::string_view() : canonical.error().to_string());
  if (!canonical.ok()) {
    check(!formatted.ok(), "format accepts what normalize refuses",
          canonical.error().to_string());
    check_equal(formatted.error().to_string(), canonical.error().to_string(),
                "format fails like normalize");
    return;
  }
  check(formatted.ok(), "format fails on a parsed text",
        formatted.ok() ? std::string_view() : formatted.error().to_string());

  auto tree = qel::parse_tree(text);
  auto tree_after = qel::parse_tree(*formatted);
  check(tree.ok(), "parse_tree accepts what normalize accepts");
  check(tree_after.ok(), "the formatted text parses", *formatted,
        tree_after.ok() ? std::string_view() : tree_after.error().to_string());
  check_equal(token_listing(*tree_after, false), token_listing(*tree, false),
              "the same tokens but for commas");
  check_equal(token_listing(*tree_after, true), token_listing(*tree, true),
              "the same comments in the same order");
  check_layout(*tree_after);

  auto again = qel::format_contract(*formatted);
  check(again.ok(), "the formatted text formats");
  check_equal(*again, *formatted, "formatting is idempotent");

  auto canonical_after = qel::normalize(*formatted);
  check(canonical_after.ok(), "normalize accepts the formatted text");
  check_equal(*canonical_after, *canonical, "the same canonical text");
  auto hash = qel::semantic_hash(text);
  auto hash_after = qel::semantic_hash(*formatted);
  check(hash.ok() && hash_after.ok(), "semantic_hash accepts both");
  check_equal(*hash_after, *hash, "the same semantic hash");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (qel::fuzz::is_generator_input(data, size)) {
    check_format(qel::fuzz::generate_contract(data + 1, size - 1), true);
  } else {
    check_format(
        std::string_view(reinterpret_cast<const char*>(data), size), false);
  }
  return 0;
}
