// The canonical text of a contract and its semantic hash.
// Pure functions: no state is kept or shared between calls, so any number
// of threads may call them at once.
#ifndef QEL_CANONICAL_H_
#define QEL_CANONICAL_H_

#include <string>
#include <string_view>

#include "qel/ast.h"
#include "qel/error.h"

namespace qel {

// Sorts every order-insensitive list and writes the computed hash into the
// identity's semantic_hash.
ContractNode normalize_ast(ContractNode tree);

// Renders a (normalised) tree in the canonical layout.
std::string serialize_canonical(const ContractNode& tree);

// SHA-256 (64 lower-case hex digits) of the canonical text with the
// semantic_hash value set to 64 zeros.
std::string compute_semantic_hash(const ContractNode& tree);

// parse, normalize_ast, serialize_canonical.
Result<std::string> normalize(std::string_view text);

// parse, normalize_ast, the hash; equal to the hash line of normalize(text).
Result<std::string> semantic_hash(std::string_view text);

}  // namespace qel

#endif  // QEL_CANONICAL_H_
