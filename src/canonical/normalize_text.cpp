#include "qel/canonical.h"

#include <cstring>

#include "canonical/canonical_hash.h"
#include "canonical/tree_order.h"
#include "qel/parser.h"

namespace qel {

// One rendering serves both the hash and the result: the hash is taken over
// the blanked text, then written over the zeros. This is the text that
// serialize_canonical(normalize_ast(tree)) gives, since the hash line is the
// only difference between the two renderings.
Result<std::string> normalize(std::string_view text) {
  QEL_ASSIGN_OR_RETURN(ContractNode tree, parse(text));
  detail::sort_tree(tree);
  std::string out;
  const size_t hash_offset = detail::render_blanked(tree, out);
  const detail::HashText hex = detail::sha256_hex(out);
  std::memcpy(out.data() + hash_offset, hex.data(), hex.size());
  return out;
}

Result<std::string> semantic_hash(std::string_view text) {
  QEL_ASSIGN_OR_RETURN(ContractNode tree, parse(text));
  detail::sort_tree(tree);
  return compute_semantic_hash(tree);
}

}  // namespace qel
