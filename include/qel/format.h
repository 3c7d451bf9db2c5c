// The formatted text of a contract: the same tokens and comments in the
// same order, laid out in the one house style. Unlike the canonical form
// (canonical.h) it keeps the author's order and every comment, so a
// contract can be formatted in place on every save.
//
// The house style:
// - two spaces per level of nesting; no tab, no trailing space; line feeds
//   only; the text ends with exactly one line feed;
// - one item per line in the blocks of named fields (the sections, an
//   operation, resource_limits, an extension system) and in the list of
//   operations; optional commas between such items are dropped;
// - a list ([...] of texts or literals, Enum variants) and a block of
//   typed fields ({ a: T, b: U = 1 }: state, parameters, Object types)
//   stay on one line when they hold no comment and end within 100
//   columns (counted in characters); otherwise one item per line, lists
//   with a comma after every item;
// - "name: value", "name: Type = default", "Array<T>", "Map<K, V>",
//   "Enum [...]", "Keyword {";
// - at most one blank line where the author left one or more, none after
//   an opening brace or bracket and none before a closing one.
// Tokens are written as they were (string escapes, number spellings such
// as 1.50 or 00), so the meaning cannot change: the formatted text has the
// same semantic hash and canonical form.
//
// Comments keep their line relation. A comment that ends a line of code
// stays after the token it followed, one space from it; one alone on its
// line stays alone, indented like the line of code after it (like the
// items of a block when a closing brace follows). A comment between two
// tokens that the style puts on one line, as in "name: // why\n value",
// stays after the token it follows, and the rest continues on the next
// line, one level deeper: moving the comment elsewhere would separate it
// from what it explains. A comment keeps its text, less trailing spaces.
//
// Pure function: no state is kept or shared, so any number of threads may
// call it at once.
#ifndef QEL_FORMAT_H_
#define QEL_FORMAT_H_

#include <optional>
#include <string>
#include <string_view>

#include "qel/error.h"
#include "qel/syntax_tree.h"

namespace qel {

// The longest line the style aims for, in characters.
inline constexpr int kFormatLineWidth = 100;

// A text that does not parse gives the parse error that parse_tree and
// normalize give. A version above 32 bits is formatted, as normalize
// accepts it: only the contract model refuses it.
Result<std::string> format_contract(std::string_view text);
// The same for a parsed text.
Result<std::string> format_tree(const SyntaxTree& tree);

// The safety net of every rewrite: a new text is read again and compared
// with the original before anyone sees it. Nothing when `rewritten` is the
// same contract as `original` (a tree parse_tree() built); otherwise why
// not, in words for a bug report: the writer is at fault. With
// `comments_kept` (the formatter's promise) it must hold the same tokens
// apart from layout and commas, the same comments in order, and read into
// the same tree, hence the same semantic hash: one pass over the new text
// against the original's tokens proves that in most cases, and a full
// parse decides the rest. Without (normalize), `rewritten` is a canonical
// text, parsed again: the hash written in it, the original's, must be the
// one it has.
std::optional<std::string> same_contract(const SyntaxTree& original,
                                         std::string_view rewritten,
                                         bool comments_kept);

// Why the canonical text of `tree` would not parse back, for the one
// known case: a Float literal too large for a double, written as inf.0.
std::optional<std::string> canonical_limit(const SyntaxTree& tree);

// What fmt and normalize print or write: the new text, or the Error of a
// text that does not parse; `fault` is not empty when the safety net
// refused the new text, which must then be neither shown nor written.
struct Rewrite {
  Result<std::string> text;
  std::string fault;
  // The fault is a known limit of the canonical form, not a bug of the
  // writer: a Float literal too large for a double is written as inf.0,
  // which does not parse.
  bool known_limit = false;
};
// format_contract, then same_contract(..., true).
Rewrite format_checked(std::string_view text);
// normalize, checked as same_contract(..., false) would check it, at less
// cost: the new text, read again, must render to itself, with the hash
// where the writer put it.
Rewrite normalize_checked(std::string_view text);

}  // namespace qel

#endif  // QEL_FORMAT_H_
