// SHA-256 for the semantic hash: at once over a text, or fed piece by
// piece, so that the canonical text need not be held whole.
#ifndef QEL_CANONICAL_CANONICAL_HASH_H_
#define QEL_CANONICAL_CANONICAL_HASH_H_

#include <array>
#include <cstddef>
#include <string_view>

struct evp_md_ctx_st;

namespace qel::detail {

// Length of the hash value: 32 digest bytes as hex.
inline constexpr std::size_t kHashTextLength = 64;

using HashText = std::array<char, kHashTextLength>;

// SHA-256 of the bytes of `text` as lower-case hex, first byte first, high
// nibble first.
HashText sha256_hex(std::string_view text);

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  HashText finish();  // once

 private:
  evp_md_ctx_st* context_;
};

}  // namespace qel::detail

#endif  // QEL_CANONICAL_CANONICAL_HASH_H_
