// The safety net of fmt and normalize: before a new text is printed or
// written over a file, it is read again and compared with the original.
// It does not trust the writers it checks: a canonical text goes through
// the same tokenizer and parser as any input, and the trees are compared.
//
// A formatted text is first walked against the original's tokens without
// being parsed (proven_same below): that is a proof that it parses to the
// same tree, not a guess, and it costs a fraction of a parse. Whatever it
// cannot prove, the full comparison decides, which also words the reason.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/canonical.h"
#include "qel/format.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "qel/token.h"
#include "util/swar.h"

namespace qel {
namespace {

using K = TokenKind;

// The scanner's layout, exactly: nothing else may lie between tokens.
bool is_layout(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// ---- The walk that proves a formatted text the same -------------------------
//
// Claim: the new text parses to the original's tree when (1) it consists
// of the original's tokens, comments included, in order and spelt alike,
// with only layout and commas between them, and each token ends where the
// scanner ends it; and (2) the commas differ only in an optional gap,
// which then holds at most one.
//
// The new text then scans to those tokens: every byte is layout, a comma,
// or a byte of a token checked to scan as it did in the original. The
// scanner decides a token's kind and end from its bytes and the one byte
// after it, so a token followed by the byte it was followed by before,
// or by layout or a comma (which end every token but a comment), scans
// as before; a comment ends at its line feed and is compared without its
// trailing layout, as the full comparison does. Valid UTF-8 follows: the
// text is a concatenation of ASCII bytes and of pieces of the original
// (which was valid) that begin at an ASCII byte and end before one.
//
// The parser then reads the same tokens apart from commas. Commas matter
// to it in these places only:
// - optional_comma() after a field of a block, a state field, an
//   operation and a custom field takes one comma if there is one, and
//   goes on from the next token either way. These are exactly the gaps
//   after the last token of a kField, kStateField, kOperation or
//   kCustomField node: each is closed just before optional_comma() runs,
//   and the node that closes next has consumed a token since, so no
//   node's extent moves either.
// - A list of texts or literals needs one comma between items and allows
//   one before its closing bracket; the operations list allows one there
//   as the optional comma after an operation. So a gap before ']' that
//   follows anything but '[' is optional: with a comma the loop takes it
//   and stops at the ']', without one it stops there at once. In the
//   tail that the parser does not read, such a gap changes nothing.
// - Everywhere else (between list items, in Map<K, V>, after a section,
//   after the contract, where an Extensions section may or may not be
//   read) the new text must have the same number of commas as the
//   original, hence the same parse.
// Two commas in an optional gap do not parse. Every other decision of
// the parser reads the kind, text or value of a token, which are equal.
// So the parse succeeds and opens and closes the same nodes, over
// corresponding tokens: the same tree, the same canonical text and hash.
//
// This holds for an original that parse_tree() accepted, whose tokens
// cover its text and whose tree has no error nodes; a tree with an error
// node goes to the full comparison.

// The first byte at or after `p` that is not a space; runs of them, as in
// indentation, are skipped eight at a time.
std::size_t skip_spaces(std::string_view text, std::size_t p) {
  for (; text.size() - p >= 8; p += 8) {
    const uint64_t other =
        detail::load_word(text.data() + p) ^ (detail::kByteOnes * ' ');
    if (other != 0) return p + detail::first_nonzero_byte(other);
  }
  while (p < text.size() && text[p] == ' ') ++p;
  return p;
}

// How many bytes `a` and `b` have in common from their starts, up to
// `limit` (no more than either holds).
std::size_t common_prefix(std::string_view a, std::string_view b,
                          std::size_t limit) {
  std::size_t i = 0;
  // Words are compared while both texts hold eight more bytes, even past
  // `limit`: a difference there only caps the count at `limit`.
  while (a.size() - i >= 8 && b.size() - i >= 8) {
    const uint64_t diff = detail::load_word(a.data() + i) ^
                          detail::load_word(b.data() + i);
    if (diff != 0) {
      const std::size_t at = i + detail::first_nonzero_byte(diff);
      return at < limit ? at : limit;
    }
    i += 8;
    if (i >= limit) return limit;
  }
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

// Whether text[from, to) is all layout.
bool all_layout(std::string_view text, std::size_t from, std::size_t to) {
  while (from < to) {
    if (text[from] == ' ') {
      from = skip_spaces(text, from + 1);
      continue;
    }
    if (!is_layout(text[from])) return false;
    ++from;
  }
  return true;
}

// Layout within a line, which a comment may end with.
bool is_line_layout(char c) { return c != '\n' && is_layout(c); }

// Past the layout that ends a comment's line, from `p`: the line feed or
// the end of `text`, or nothing when something else comes first.
std::optional<std::size_t> comment_rest(std::string_view text,
                                        std::size_t p) {
  while (p < text.size() && is_line_layout(text[p])) ++p;
  if (p < text.size() && text[p] != '\n') return std::nullopt;
  return p;
}

// Punctuation is one byte and a quoted string ends at its closing quote,
// whatever follows; a word, a number and a bare timestamp end where the
// next byte cannot continue them.
bool ends_by_itself(K kind, char first) {
  return (kind >= K::kLBrace && kind <= K::kEquals) ||
         (kind == K::kStringLiteral && first == '"');
}

// Tokens after which a comma is optional: the last token of each field of
// a block, state field, operation and custom field, one bit per token.
// Empty when the tree holds an error node, which the proof does not cover.
std::vector<uint64_t> optional_comma_after(const SyntaxTree& tree) {
  std::vector<uint64_t> bits((tree.token_count() + 63) / 64);
  for (uint32_t n = 0; n < tree.node_count(); ++n) {
    const SyntaxTree::Node& node = tree.node(n);
    switch (node.kind) {
      case NodeKind::kField:
      case NodeKind::kStateField:
      case NodeKind::kOperation:
      case NodeKind::kCustomField:
        bits[node.last_token / 64] |= uint64_t{1} << (node.last_token % 64);
        break;
      case NodeKind::kError:
        return {};
      default:
        break;
    }
  }
  return bits;
}

// Whether `after` is proven to parse to the tree of `before` (a tree
// parse_tree() built) by the argument above. False proves nothing.
//
// Most of a formatted text is the original unchanged, so the two are
// compared in runs as long as they agree; a token that lies inside a run
// with the byte after it scans as before, and only its commas are
// counted. Token by token work is left for where the layout differs.
bool proven_same(const SyntaxTree& before, std::string_view after) {
  const std::string_view in = before.source();
  // A text the tree could not hold is for the parser to refuse.
  if (after.size() >= UINT32_MAX) return false;
  const std::vector<uint64_t> optional = optional_comma_after(before);
  if (optional.empty()) return false;
  std::size_t p = 0;  // in `after`, where token i is read
  // The texts agree from where the run began up to in[run_end], the new
  // text `shift` bytes further on.
  std::size_t run_end = 0, shift = 0;
  uint32_t previous = UINT32_MAX;  // the last token that is not a comment
  uint32_t commas_before = 0, commas_after = 0;  // since `previous`
  // At token i, not a comment: whether the gap since `previous` may hold
  // the commas the new text has there. A gap that began before a run
  // may have differed, though the run agrees on the rest of it.
  const auto gap_ends = [&](uint32_t i) {
    if (commas_before != commas_after) {
      const bool optional_gap =
          previous != UINT32_MAX &&
          ((optional[previous / 64] >> (previous % 64) & 1) != 0 ||
           (before.token_kind(i) == K::kRBracket &&
            before.token_kind(previous) != K::kLBracket));
      if (!optional_gap || commas_after > 1) return false;
    }
    commas_before = commas_after = 0;
    previous = i;
    return true;
  };
  for (uint32_t i = 0;; ++i) {
    const K kind = before.token_kind(i);
    if (kind == K::kComma) {
      ++commas_before;
      continue;
    }
    // The new text's layout and commas up to its next token.
    while (p < after.size()) {
      const char c = after[p];
      if (c == ' ') {
        p = skip_spaces(after, p + 1);
      } else if (is_layout(c)) {
        ++p;
      } else if (c == ',') {
        ++commas_after;
        ++p;
      } else {
        break;
      }
    }
    if (kind != K::kComment && !gap_ends(i)) return false;
    if (kind == K::kEof) return p == after.size();
    std::size_t q = before.token_offset(i);
    if (q >= run_end || p != q + shift) {
      shift = p - q;
      run_end = q + common_prefix(in.substr(q), after.substr(p),
                                  std::min(in.size() - q, after.size() - p));
    }
    if (before.token_offset(i + 1) < run_end) {
      // Token i, and those after it that lie with the byte after their
      // layout inside the run: the same tokens, and the same commas but
      // in a gap the run began in.
      // (Eof lies at the end of the original, never inside a run.)
      do {
        ++i;
        const K k = before.token_kind(i);
        if (k == K::kComma) {
          ++commas_before;
          ++commas_after;
        } else if (k != K::kComment && !gap_ends(i)) {
          return false;
        }
      } while (before.token_offset(i + 1) < run_end);
      // Token i is read below, its gap counted; a comma is passed.
      q = before.token_offset(i);
      p = q + shift;
      if (before.token_kind(i) == K::kComma) {
        ++p;
        continue;
      }
    }
    const K k = before.token_kind(i);
    // The token and the layout after it in the original, against the new
    // text from its token on: they agree up to the run's end.
    const std::size_t n = before.token_offset(i + 1) - q;
    const std::string_view from = in.substr(q);
    const std::string_view to = after.substr(p);
    const std::size_t m = std::min(n, run_end - q);
    if (k == K::kComment) {
      // All of it with its line feed, or else up to where both go on with
      // layout only to a line feed or the end (the original's is its
      // first line feed).
      if (m == n && q + n < in.size()) {
        p += m;
        continue;
      }
      if (m > before.token_end(i) - q) {
        p += m;
        continue;
      }
      if (!comment_rest(from, m)) return false;
      const std::optional<std::size_t> rest = comment_rest(to, m);
      if (!rest) return false;
      p += *rest;
      continue;
    }
    if (m == 0) return false;
    // The token ends by m: after it the original has layout only.
    if (!all_layout(from, m, n)) return false;
    // The token's last byte is never layout, so it ends exactly at m
    // unless the byte before m is layout. Then the byte after it in the
    // new text must end it too, unless the token ends by itself.
    if (!is_layout(from[m - 1]) && m < to.size() &&
        !ends_by_itself(k, from[0])) {
      const char next = to[m];
      const bool ends = is_layout(next) || next == ',' ||
                        (m < from.size() && next == from[m]);
      if (!ends) return false;
    }
    p += m;
  }
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
// after them, since a token ends at layout or where the next one starts;
// but a comment runs on over layout to its line feed, so only layout may
// follow its text.
bool spelt(const SyntaxTree& tree, uint32_t token, std::string_view text) {
  const std::string_view source = tree.source();
  const std::size_t start = tree.token_offset(token);
  const std::size_t end = start + text.size();
  const std::size_t next = tree.token_offset(token + 1);  // Eof comes last
  if (end > next || source.compare(start, text.size(), text) != 0) {
    return false;
  }
  if (tree.token_kind(token) == K::kComment) {
    return all_layout(source, end, next);
  }
  return end == next || is_layout(source[end]);
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
#ifdef QEL_BENCH_WITHOUT_NET
  // Only the baseline of the net's benchmark (bench/bench_fmt.py) is
  // built so; no check is made.
  return std::nullopt;
#endif
  // An unchanged text is the original, already parsed.
  if (rewritten == original.source()) return std::nullopt;
  if (comments_kept && proven_same(original, rewritten)) return std::nullopt;
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

namespace {

// The check of a canonical text the writer rendered from the original,
// with the hash it computed written at `hash_offset`. Read again, the text
// must render to itself byte for byte, zeros in place of the hash, and
// keep the hash where it was written. The text with zeros is then the
// canonical text of both trees, and the hash the writer took of it is
// the new text's own. Costs a parse and a rendering compared as it goes,
// with no second digest.
std::optional<std::string> same_canonical(std::string_view text,
                                          std::size_t hash_offset) {
  const Result<SyntaxTree> tree = parse_tree(text);
  if (!tree.ok()) {
    return "the new text does not parse: " + tree.error().to_string();
  }
  const syntax::Text hash = tree->contract().identity().semantic_hash();
  if (tree->token_offset(hash.token()) + 1 != hash_offset) {
    return "the semantic hash moved from byte " + std::to_string(hash_offset) +
           " to line " + position(*tree, hash.token());
  }
  if (const std::optional<std::size_t> at =
          canonical_difference(*tree, text, hash_offset)) {
    const Span span = tree->span_at(static_cast<uint32_t>(
        std::min(*at, text.size())));
    return "the new text is not canonical: written again, it differs at "
           "line " +
           std::to_string(span.line) + ':' + std::to_string(span.column);
  }
  return std::nullopt;
}

}  // namespace

Rewrite normalize_checked(std::string_view text) {
  CanonicalText canonical;
  {
    Result<SyntaxTree> tree = parse_tree(text);
    if (!tree.ok()) return {std::move(tree).error(), {}};
    if (std::optional<std::string> limit = canonical_limit(*tree)) {
      return {std::string(), std::move(*limit), true};
    }
    canonical = render_canonical(*tree);
  }  // The check needs the new text only: the original's tree goes first.
#ifdef QEL_BENCH_WITHOUT_NET
  return {std::move(canonical.text), std::string()};
#endif
  std::optional<std::string> fault =
      same_canonical(canonical.text, canonical.hash_offset);
  return {std::move(canonical.text), fault ? std::move(*fault) : std::string()};
}

}  // namespace qel
