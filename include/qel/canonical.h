// The canonical text of a contract and its semantic hash.
// Pure functions: no state is kept or shared between calls, so any number
// of threads may call them at once.
#ifndef QEL_CANONICAL_H_
#define QEL_CANONICAL_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "qel/error.h"
#include "qel/interrupt.h"
#include "qel/output.h"
#include "qel/syntax_tree.h"

namespace qel {

// The canonical text of a parsed contract: sections and fields in their
// fixed order, every order-insensitive list sorted, and the computed hash
// in place of the written one.
std::string serialize_canonical(const SyntaxTree& tree);
// The same, appended to `out`.
void serialize_canonical(const SyntaxTree& tree, Output& out);

// serialize_canonical's text, with where its hash value (64 hex digits)
// begins in it.
struct CanonicalText {
  std::string text;
  std::size_t hash_offset = 0;
};
CanonicalText render_canonical(const SyntaxTree& tree);

// Where `text` first differs from the canonical text of `tree`, whose hash
// value is 64 zeros, with the 64 bytes of `text` from `hash_offset` read as
// zeros; nothing when the two are the same. The canonical text is
// rendered piece by piece and never held whole.
std::optional<std::size_t> canonical_difference(const SyntaxTree& tree,
                                                std::string_view text,
                                                std::size_t hash_offset);

// SHA-256 (64 lower-case hex digits) of the canonical text with the
// semantic_hash value set to 64 zeros.
std::string compute_semantic_hash(const SyntaxTree& tree);

// parse_tree, then serialize_canonical. `interrupter` is asked while the
// text is parsed, written and hashed.
Result<std::string> normalize(std::string_view text,
                              const Interrupter& interrupter = {});
// The same, appended to `out`; the Error of a text that does not parse.
std::optional<Error> normalize(std::string_view text, Output& out,
                               const Interrupter& interrupter = {});

// parse_tree, then the hash; equal to the hash line of normalize(text).
// `interrupter` is asked while the text is parsed, written and hashed.
Result<std::string> semantic_hash(std::string_view text,
                                  const Interrupter& interrupter = {});

}  // namespace qel

#endif  // QEL_CANONICAL_H_
