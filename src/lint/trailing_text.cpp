// L007: text after the contract. The grammar stops after the contract's
// closing brace and an Extensions section, if one follows; what comes
// after has passed the scanner but is never read. A misspelt or second
// Extensions section is the likely slip, so the help names the section.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lint/lint_checks.h"

namespace qel::detail {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Levenshtein distance of the ASCII-lowercased words, given up above 2.
bool near_extensions(std::string_view word) {
  constexpr std::string_view kWord = "extensions";
  if (word.size() + 2 < kWord.size() || word.size() > kWord.size() + 2) {
    return false;
  }
  std::vector<std::size_t> row(kWord.size() + 1);
  for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= word.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= kWord.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t change =
          diagonal + (lower(word[i - 1]) == kWord[j - 1] ? 0 : 1);
      row[j] = std::min({change, above + 1, row[j - 1] + 1});
      diagonal = above;
    }
  }
  return row.back() <= 2;
}

}  // namespace

void lint_trailing_text(const SyntaxTree& tree, std::vector<Diagnostic>& out) {
  const syntax::ContractNode contract = tree.contract();
  const std::optional<syntax::Extensions> extensions = contract.extensions();
  const uint32_t read_up_to =
      extensions ? extensions->last_token() : contract.last_token();
  const uint32_t first = tree.next_code_token(read_up_to);
  if (tree.token_kind(first) == TokenKind::kEof) return;
  uint32_t last = tree.token_count() - 1;  // Eof
  do {
    --last;
  } while (tree.token_kind(last) == TokenKind::kComment);

  Diagnostic d = lint_finding(
      kTextAfterContract, text_after_contract_message(extensions.has_value()),
      tree.token_span(first));
  d.range = ByteRange{tree.token_offset(first), tree.token_end(last)};

  // What the text looks like: a second Extensions section, a misspelt one
  // (`extensions {`), or a system block without its section
  // (`audit { level: 1 }`).
  const auto next = [&](uint32_t t) {
    return tree.token_kind(t) == TokenKind::kEof ? t : tree.next_code_token(t);
  };
  const uint32_t second = next(first);
  const uint32_t third = next(second);
  const uint32_t fourth = next(third);
  const TokenKind k1 = tree.token_kind(first);
  const bool opens = tree.token_kind(second) == TokenKind::kLBrace;
  if (k1 == TokenKind::kExtensions) {
    d.help = second_extensions_help();
  } else if (k1 == TokenKind::kIdentifier && opens &&
             near_extensions(tree.token_text(first))) {
    d.help = misspelt_extensions_help(tree.token_text(first),
                                      extensions.has_value());
  } else if (k1 == TokenKind::kIdentifier && opens &&
             (tree.token_kind(third) == TokenKind::kRBrace ||
              (tree.token_kind(third) == TokenKind::kIdentifier &&
               tree.token_kind(fourth) == TokenKind::kColon))) {
    d.help = bare_system_help(tree.token_text(first), extensions.has_value());
  }
  out.push_back(std::move(d));
}

}  // namespace qel::detail
