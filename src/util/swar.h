// Tests on eight bytes at once, for scanners that skip long runs of
// ordinary text. Load words with std::memcpy (no alignment assumed).
#ifndef QEL_UTIL_SWAR_H_
#define QEL_UTIL_SWAR_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace qel::detail {

inline constexpr uint64_t kByteOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kByteHighBits = 0x8080808080808080ULL;
inline constexpr uint64_t kByteLowBits = 0x7F7F7F7F7F7F7F7FULL;

inline uint64_t load_word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Non-zero exactly when some byte of `w` is zero: (x - 1) & ~x sets the
// high bit of the lowest zero byte (bits above it may be set spuriously,
// which does not matter for a yes/no answer).
inline uint64_t has_zero_byte(uint64_t w) {
  return (w - kByteOnes) & ~w & kByteHighBits;
}

// Non-zero exactly when some byte of `w` equals `c`.
inline uint64_t has_byte(uint64_t w, unsigned char c) {
  return has_zero_byte(w ^ (kByteOnes * c));
}

// Non-zero exactly when some byte of `w` is below `n` (n <= 128).
inline uint64_t has_byte_below(uint64_t w, unsigned char n) {
  return (w - kByteOnes * n) & ~w & kByteHighBits;
}

// Non-zero exactly when some byte of `w` is not ASCII.
inline uint64_t has_non_ascii(uint64_t w) { return w & kByteHighBits; }

// Where the first byte (in memory order) of a loaded word that is not zero
// lies, 0..7; `w` is not zero. Given a mask that marks exactly the bytes
// sought (no spurious marks, unlike has_zero_byte), the first of them.
inline unsigned first_nonzero_byte(uint64_t w) {
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(std::countr_zero(w)) >> 3;
  } else {
    return static_cast<unsigned>(std::countl_zero(w)) >> 3;
  }
}

}  // namespace qel::detail

#endif  // QEL_UTIL_SWAR_H_
