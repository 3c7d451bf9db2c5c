#include "qel/canonical.h"

#include <openssl/evp.h>

#include <new>
#include <utility>

#include "canonical/canonical_hash.h"
#include "canonical/canonical_writer.h"
#include "canonical/tree_order.h"

namespace qel {

namespace detail {

HashText sha256_hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(),
                 nullptr) != 1 ||
      length * 2 != kHashTextLength) {
    // The one-shot digest fails only when libcrypto cannot allocate its
    // context; report it like any other allocation failure.
    throw std::bad_alloc();
  }
  static constexpr char kHex[] = "0123456789abcdef";
  HashText hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 15];
  }
  return hex;
}

size_t render_blanked(const ContractNode& tree, std::string& out) {
  out.reserve(out.size() + estimate_canonical_size(tree));
  CanonicalWriter writer(out);
  return writer.write_contract(tree, HashLine::kZeros);
}

}  // namespace detail

ContractNode normalize_ast(ContractNode tree) {
  detail::sort_tree(tree);
  std::string hash = compute_semantic_hash(tree);
  // The written hash and its position are discarded: the value is computed.
  tree.identity.semantic_hash = SpannedText{std::move(hash), Span{0, 0, 0}};
  return tree;
}

std::string serialize_canonical(const ContractNode& tree) {
  std::string out;
  out.reserve(detail::estimate_canonical_size(tree));
  detail::CanonicalWriter writer(out);
  (void)writer.write_contract(tree, detail::HashLine::kFromTree);
  return out;
}

// Blanking while rendering gives the same text as rendering a copy whose
// hash was set to zeros, without copying the tree.
std::string compute_semantic_hash(const ContractNode& tree) {
  std::string text;
  (void)detail::render_blanked(tree, text);
  const detail::HashText hex = detail::sha256_hex(text);
  return std::string(hex.data(), hex.size());
}

}  // namespace qel
