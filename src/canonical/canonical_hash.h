// The hash over a tree's canonical text, shared by the tree-level and the
// text-level entry points.
#ifndef QEL_CANONICAL_CANONICAL_HASH_H_
#define QEL_CANONICAL_CANONICAL_HASH_H_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "canonical/canonical_writer.h"
#include "qel/ast.h"

namespace qel::detail {

using HashText = std::array<char, kHashTextLength>;

// SHA-256 of the bytes of `text` as lower-case hex, first byte first, high
// nibble first.
HashText sha256_hex(std::string_view text);

// Appends the tree's canonical text with the hash value blanked to 64
// zeros, the exact text the hash is taken over. Returns the offset of the
// zeros in `out`.
size_t render_blanked(const ContractNode& tree, std::string& out);

}  // namespace qel::detail

#endif  // QEL_CANONICAL_CANONICAL_HASH_H_
