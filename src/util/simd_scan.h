// The byte loops of the contract scanner, one set per instruction path
// (util/cpu.h). Each skips a run of bytes of one class and returns the
// first byte outside it, or `end`; every set returns the same positions.
// They read only inside [p, end): a vector is loaded only where a whole one
// fits, and the last bytes are taken by the narrower set below.
//
// Only the long runs are taken a vector at a time: string bodies and the
// UTF-8 check of a whole text. Words and indentation are mostly shorter
// than eight bytes, and the scan's next step waits on where they end: a
// vector comparison with its mask extraction takes longer to tell that
// than a few byte tests or one word-wide test, so every set shares the
// scalar loops for them (measured with bench/bench_tokenize.py).
//
// The functions are inlined, so that the scanner instantiated for a path
// holds its loops in place. The AVX2 set is compiled for AVX2 alone (a
// target attribute, not a build flag), so the library still runs on any
// x86-64; only callers that carry the same attribute can inline it.
#ifndef QEL_UTIL_SIMD_SCAN_H_
#define QEL_UTIL_SIMD_SCAN_H_

#include <array>
#include <cstdint>

#include "util/swar.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define QEL_HAVE_X86_SIMD 1
#endif

namespace qel::detail {

// Bytes that continue a word: A-Z a-z 0-9 _ -.
inline constexpr bool is_word_byte(unsigned char c) {
  const unsigned char lower = c | 0x20;
  return (lower >= 'a' && lower <= 'z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '-';
}

// One look-up per byte for the scalar loops.
inline constexpr std::array<bool, 256> kWordBytes = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) {
    t[c] = is_word_byte(static_cast<unsigned char>(c));
  }
  return t;
}();
struct ScalarScan {
  // Words are short, so a byte-wise test with one bound check per eight
  // bytes beats a word-wide classification.
  [[gnu::always_inline]] static inline const char* skip_word(const char* p,
                                                             const char* end) {
    for (; end - p >= 8; p += 8) {
      for (int i = 0; i < 8; ++i) {
        if (!kWordBytes[static_cast<unsigned char>(p[i])]) return p + i;
      }
    }
    while (p < end && kWordBytes[static_cast<unsigned char>(*p)]) ++p;
    return p;
  }

  // Indentation comes in runs of spaces, skipped eight at a time.
  [[gnu::always_inline]] static inline const char* skip_spaces(
      const char* p, const char* end) {
    for (; end - p >= 8; p += 8) {
      const uint64_t other = load_word(p) ^ (kByteOnes * ' ');
      if (other != 0) return p + first_nonzero_byte(other);
    }
    while (p < end && *p == ' ') ++p;
    return p;
  }

  // The first quotation mark or backslash. The bytes are compared as
  // seven-bit values, so no sum carries into the next byte; bytes >= 0x80
  // are then masked off.
  [[gnu::always_inline]] static inline const char* find_string_stop(
      const char* p, const char* end) {
    for (; end - p >= 8; p += 8) {
      const uint64_t w = load_word(p);
      const uint64_t low = w & kByteLowBits;
      const uint64_t not_quote = (low ^ (kByteOnes * '"')) + kByteLowBits;
      const uint64_t not_backslash =
          (low ^ (kByteOnes * '\\')) + kByteLowBits;
      const uint64_t stops =
          ~((not_quote & not_backslash) | w) & kByteHighBits;
      if (stops != 0) return p + first_nonzero_byte(stops);
    }
    for (; p < end; ++p) {
      if (*p == '"' || *p == '\\') return p;
    }
    return end;
  }

  // The first byte that is not ASCII. Texts are mostly ASCII: two words
  // per test.
  [[gnu::always_inline]] static inline const char* skip_ascii(const char* p,
                                                              const char* end) {
    for (; end - p >= 16; p += 16) {
      if (has_non_ascii(load_word(p) | load_word(p + 8))) break;
    }
    for (; end - p >= 8; p += 8) {
      if (has_non_ascii(load_word(p))) break;
    }
    while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
    return p;
  }
};

#if QEL_HAVE_X86_SIMD

// Vector loads and byte masks, in memory order from the lowest bit.
struct Sse2Scan : ScalarScan {
  using Tail = ScalarScan;

  static inline __m128i load(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static inline unsigned mask(__m128i v) {
    return static_cast<unsigned>(_mm_movemask_epi8(v));
  }
  [[gnu::always_inline]] static inline const char* find_string_stop(
      const char* p, const char* end) {
    for (; end - p >= 16; p += 16) {
      const __m128i v = load(p);
      const unsigned stops =
          mask(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                            _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
      if (stops != 0) return p + __builtin_ctz(stops);
    }
    return Tail::find_string_stop(p, end);
  }
  // Texts are mostly ASCII: two vectors per test.
  [[gnu::always_inline]] static inline const char* skip_ascii(const char* p,
                                                              const char* end) {
    for (; end - p >= 32; p += 32) {
      if (mask(_mm_or_si128(load(p), load(p + 16))) != 0) break;
    }
    for (; end - p >= 16; p += 16) {
      const unsigned high = mask(load(p));
      if (high != 0) return p + __builtin_ctz(high);
    }
    return Tail::skip_ascii(p, end);
  }
};

// Not always_inline: GCC would refuse to put them into the path-neutral
// scanner templates before those are inlined into the AVX2 entry points,
// where these then inline like any small function.
#define QEL_AVX2 gnu::target("avx2")

struct Avx2Scan : ScalarScan {
  using Tail = Sse2Scan;

  [[QEL_AVX2]] static inline __m256i load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  [[QEL_AVX2]] static inline uint32_t mask(__m256i v) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(v));
  }
  [[QEL_AVX2]] static inline const char* find_string_stop(const char* p,
                                                          const char* end) {
    for (; end - p >= 32; p += 32) {
      const __m256i v = load(p);
      const uint32_t stops =
          mask(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')),
                               _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\'))));
      if (stops != 0) return p + __builtin_ctz(stops);
    }
    return Tail::find_string_stop(p, end);
  }
  [[QEL_AVX2]] static inline const char* skip_ascii(const char* p,
                                                    const char* end) {
    for (; end - p >= 64; p += 64) {
      if (mask(_mm256_or_si256(load(p), load(p + 32))) != 0) break;
    }
    for (; end - p >= 32; p += 32) {
      const uint32_t high = mask(load(p));
      if (high != 0) return p + __builtin_ctz(high);
    }
    return Tail::skip_ascii(p, end);
  }
};

#undef QEL_AVX2

#endif  // QEL_HAVE_X86_SIMD

}  // namespace qel::detail

#endif  // QEL_UTIL_SIMD_SCAN_H_
