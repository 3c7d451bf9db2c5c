// The safety net of fmt and normalize: before a new text is printed or
// written over a file, it is parsed again and compared with the original.
// It does not trust the writers it checks: the new text goes through the
// same tokenizer and parser as any input, and only the trees are compared.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "qel/canonical.h"
#include "qel/format.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "qel/token.h"

namespace qel {
namespace {

using K = TokenKind;

bool is_layout(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// A token's text as compared: up to the next token, less the layout
// between them, which also drops the trailing spaces the house style takes
// from a comment. No token but a comment holds layout at its end, so no
// rescan of the token is needed.
std::string_view compared_text(const SyntaxTree& tree, uint32_t token) {
  const std::string_view source = tree.source();
  const uint32_t start = tree.token_offset(token);
  uint32_t end = token + 1 < tree.token_count()
                     ? tree.token_offset(token + 1)
                     : static_cast<uint32_t>(source.size());
  while (end > start && is_layout(source[end - 1])) --end;
  return source.substr(start, end - start);
}

// Whether `token` of `tree` is spelt `text` (a token of the original, as
// compared_text gives it): the same bytes, and nothing more of the token
// after them, since a token ends at layout or where the next one starts.
bool spelt(const SyntaxTree& tree, uint32_t token, std::string_view text) {
  const std::string_view source = tree.source();
  const std::size_t start = tree.token_offset(token);
  const std::size_t end = start + text.size();
  const std::size_t next = tree.token_offset(token + 1);  // Eof comes last
  return end <= next && source.compare(start, text.size(), text) == 0 &&
         (end == next || is_layout(source[end]));
}

// Keywords and punctuation are spelt one way: their kind is their text.
bool has_own_text(K kind) {
  return (kind >= K::kStringLiteral && kind <= K::kBooleanLiteral) ||
         kind == K::kIdentifier || kind == K::kComment;
}

std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 40;
  std::string out = "'";
  out += text.substr(0, kShown);
  if (text.size() > kShown) out += "...";
  return out + "'";
}

std::string position(const SyntaxTree& tree, uint32_t token) {
  const Span span = tree.token_span(token);
  return std::to_string(span.line) + ':' + std::to_string(span.column);
}

// Commas are the one token the style may add or drop: separators between
// items are optional and lists get one after every item.
uint32_t skip_commas(const SyntaxTree& tree, uint32_t token) {
  while (tree.token_kind(token) == K::kComma) ++token;
  return token;
}

// Every token but the commas, comments included, in the same order with
// the same text; then the same nodes, so the same reading of those tokens.
std::optional<std::string> same_tokens(const SyntaxTree& before,
                                       const SyntaxTree& after) {
  uint32_t i = skip_commas(before, 0), j = skip_commas(after, 0);
  for (;;) {
    const K a = before.token_kind(i), b = after.token_kind(j);
    if (a != b ||
        (has_own_text(a) && !spelt(after, j, compared_text(before, i)))) {
      return "the token " + quoted(before.token_text(i)) + " at line " +
             position(before, i) + " became " + quoted(after.token_text(j)) +
             " at line " + position(after, j);
    }
    if (a == K::kEof) break;
    i = skip_commas(before, i + 1);
    j = skip_commas(after, j + 1);
  }
  if (before.node_count() != after.node_count()) {
    return std::string("the structure of the contract changed");
  }
  for (uint32_t n = 0; n < before.node_count(); ++n) {
    const SyntaxTree::Node &x = before.node(n), &y = after.node(n);
    if (x.kind != y.kind || x.field != y.field || x.next != y.next) {
      return "the structure of the contract changed at line " +
             position(before, x.first_token);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> same_contract(const SyntaxTree& original,
                                         std::string_view rewritten,
                                         bool comments_kept) {
  // An unchanged text is the original, already parsed.
  if (rewritten == original.source()) return std::nullopt;
  const Result<SyntaxTree> tree = parse_tree(rewritten);
  if (!tree.ok()) {
    return "the new text does not parse: " + tree.error().to_string();
  }
  if (comments_kept) {
    // The same tokens read into the same tree have the same canonical
    // text, so the same semantic hash: no need to render it twice.
    return same_tokens(original, *tree);
  }
  // The canonical text carries the original's hash; rendering the new
  // text must give the same.
  const std::string written(tree->contract().identity().semantic_hash().text());
  const std::string computed = compute_semantic_hash(*tree);
  if (written != computed) {
    return "the semantic hash changed from " + written + " to " + computed;
  }
  return std::nullopt;
}

Rewrite format_checked(std::string_view text) {
  Result<SyntaxTree> tree = parse_tree(text);
  if (!tree.ok()) return {std::move(tree).error(), {}};
  Result<std::string> out = format_tree(*tree);
  if (!out.ok()) return {std::move(out).error(), {}};
  std::optional<std::string> fault = same_contract(*tree, *out, true);
  return {std::move(out), fault ? std::move(*fault) : std::string()};
}

std::optional<std::string> canonical_limit(const SyntaxTree& tree) {
  for (uint32_t t = 0; t < tree.token_count(); ++t) {
    if (tree.token_kind(t) == K::kFloatLiteral &&
        std::isinf(tree.float_value(t))) {
      return "its canonical text would not parse: the Float literal at "
             "line " +
             position(tree, t) +
             " is too large for a double and is written as inf.0";
    }
  }
  return std::nullopt;
}

Rewrite normalize_checked(std::string_view text) {
  Result<SyntaxTree> tree = parse_tree(text);
  if (!tree.ok()) return {std::move(tree).error(), {}};
  if (std::optional<std::string> limit = canonical_limit(*tree)) {
    return {std::string(), std::move(*limit), true};
  }
  std::string out = serialize_canonical(*tree);
  std::optional<std::string> fault = same_contract(*tree, out, false);
  return {std::move(out), fault ? std::move(*fault) : std::string()};
}

}  // namespace qel
