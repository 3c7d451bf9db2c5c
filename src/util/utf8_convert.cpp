#include "util/utf8_convert.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "util/cpu.h"
#include "util/simd_scan.h"
#include "util/swar.h"

namespace qel::detail {
namespace {

inline unsigned char byte_at(const char* p) {
  return static_cast<unsigned char>(*p);
}

// One character from U+0080 on as UTF-8 from `out` on; the end of what
// was written, or null for a surrogate.
inline char* put_non_ascii(uint32_t c, char* out) {
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | c >> 6);
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return out + 2;
  }
  if (c < 0x10000) {
    if (c >= 0xD800 && c <= 0xDFFF) return nullptr;
    out[0] = static_cast<char>(0xE0 | c >> 12);
    out[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return out + 3;
  }
  out[0] = static_cast<char>(0xF0 | c >> 18);
  out[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return out + 4;
}

// The character whose lead byte (not ASCII) is at `p`, `p` then moved
// past it. The UTF-8 is valid: the core wrote it.
inline uint32_t take_non_ascii(const char*& p) {
  const uint32_t b0 = byte_at(p);
  uint32_t c;
  if (b0 < 0xE0) {
    c = (b0 & 0x1F) << 6 | (byte_at(p + 1) & 0x3F);
    p += 2;
  } else if (b0 < 0xF0) {
    c = (b0 & 0x0F) << 12 | (byte_at(p + 1) & 0x3Fu) << 6 |
        (byte_at(p + 2) & 0x3F);
    p += 3;
  } else {
    c = (b0 & 0x07) << 18 | (byte_at(p + 1) & 0x3Fu) << 12 |
        (byte_at(p + 2) & 0x3Fu) << 6 | (byte_at(p + 3) & 0x3F);
    p += 4;
  }
  return c;
}

// Word-at-a-time, in plain C++: any machine. Runs of ASCII are taken
// eight characters (bytes) at a time, the characters after them one by
// one.
struct ScalarOps {
  static constexpr size_t kChars = 8;
  static constexpr size_t kBytes = 8;

  template <typename Char>
  static size_t length(const Char* chars, size_t n) {
    size_t bytes = n;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t c = chars[i];
      bytes += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
    }
    return bytes;
  }

  // Stores the ASCII characters that lead chars[0, kChars) as bytes;
  // returns how many.
  template <typename Char>
  static unsigned pack(const Char* chars, char* out) {
    uint32_t any = 0;
    for (unsigned k = 0; k < kChars; ++k) any |= chars[k];
    unsigned k = 0;
    if (any < 0x80) {
      for (; k < kChars; ++k) out[k] = static_cast<char>(chars[k]);
    } else {
      for (; chars[k] < 0x80; ++k) out[k] = static_cast<char>(chars[k]);
    }
    return k;
  }

  // How many ASCII bytes lead [p, p + kBytes).
  static unsigned ascii_prefix(const char* p) {
    const uint64_t high = load_word(p) & kByteHighBits;
    return high == 0 ? 8 : first_nonzero_byte(high);
  }

  template <typename Char>
  static void widen(const char* p, Char* out) {
    for (unsigned k = 0; k < kBytes; ++k) out[k] = byte_at(p + k);
  }

  template <typename Char>
  static char* encode(const Char* chars, size_t n, char* out) {
    size_t i = 0;
    while (i < n) {
      if (n - i >= kChars) {
        const unsigned ascii = pack(chars + i, out);
        i += ascii;
        out += ascii;
        if (ascii == kChars) continue;
      } else if (chars[i] < 0x80) {
        *out++ = static_cast<char>(chars[i++]);
        continue;
      }
      out = put_non_ascii(chars[i++], out);
      if (out == nullptr) return nullptr;
    }
    return out;
  }

  // A block is widened whole past the ASCII it starts with (into room the
  // characters after them fill) while that much room is left.
  template <typename Char>
  static Char* decode(const char* p, const char* end, Char* out,
                      Char* limit) {
    while (p < end) {
      if (end - p >= static_cast<ptrdiff_t>(kBytes) &&
          limit - out >= static_cast<ptrdiff_t>(kBytes)) {
        const unsigned ascii = ascii_prefix(p);
        widen(p, out);
        p += ascii;
        out += ascii;
        if (ascii == kBytes) continue;
      } else if (byte_at(p) < 0x80) {
        *out++ = byte_at(p++);
        continue;
      }
      *out++ = static_cast<Char>(take_non_ascii(p));
    }
    return out;
  }

  static Utf8Census census(const char* p, size_t n) {
    Utf8Census census;
    size_t i = 0;
    for (; n - i >= 8; i += 8) {
      const uint64_t w = load_word(p + i);
      const uint64_t high = w & kByteHighBits;
      if (high == 0) continue;
      // 10xxxxxx: the top bit set, the one below it (shifted up) clear.
      census.continuation_bytes +=
          static_cast<size_t>(std::popcount(high & ~(w << 1)));
      for (unsigned k = 0; k < 8; ++k) {
        census.widest_byte = std::max(census.widest_byte, byte_at(p + i + k));
      }
    }
    for (; i < n; ++i) {
      const unsigned char b = byte_at(p + i);
      if (b < 0x80) continue;
      census.continuation_bytes += b < 0xC0;
      census.widest_byte = std::max(census.widest_byte, b);
    }
    return census;
  }
};

#if QEL_HAVE_X86_SIMD

// The loops of the vector paths. Each block of Ops::kChars characters
// (Ops::kBytes bytes) is taken whatever it holds, so that where the next
// one starts does not wait for this one's contents: its ASCII is stored
// whole from the start of the block, and again after each other
// character, which is converted on its own. In a contract's long texts
// such characters stand a few words apart, so a loop over a run of them
// would mostly end after one, at the cost of a mispredicted branch.

template <class Ops, typename Char>
inline char* encode_blocks(const Char* chars, size_t n, char* out) {
  size_t i = 0;
  // The room left holds at least a byte per character left: a whole
  // block stored from any lane of this one, and the four bytes that a
  // character is stored with, fit while this many are left.
  while (n - i >= 2 * Ops::kChars + 4) {
    uint32_t wide = Ops::pack(chars + i, out);
    if (wide == 0) {
      i += Ops::kChars;
      out += Ops::kChars;
      continue;
    }
    unsigned at = 0;
    do {
      const auto lane = static_cast<unsigned>(std::countr_zero(wide));
      out += lane - at;
      out = Ops::put(chars[i + lane], out);
      if (out == nullptr) return nullptr;
      at = lane + 1;
      Ops::pack(chars + i + at, out);
      wide &= wide - 1;
    } while (wide != 0);
    out += Ops::kChars - at;
    i += Ops::kChars;
  }
  return ScalarOps::encode(chars + i, n - i, out);
}

template <class Ops, typename Char>
inline Char* decode_blocks(const char* p, const char* end, Char* out,
                           Char* limit) {
  // Characters are widened a whole block past where they end, and read
  // four bytes at a time.
  while (end - p >= static_cast<ptrdiff_t>(2 * Ops::kBytes + 4) &&
         limit - out >= static_cast<ptrdiff_t>(2 * Ops::kBytes)) {
    // A block starts at a character: without a lead byte, it is ASCII.
    uint32_t leads = Ops::lead_bytes(p);
    Ops::widen(p, out);
    if (leads == 0) {
      p += Ops::kBytes;
      out += Ops::kBytes;
      continue;
    }
    unsigned at = 0;
    do {
      const auto lane = static_cast<unsigned>(std::countr_zero(leads));
      out += lane - at;
      const char* q = p + lane;
      *out++ = static_cast<Char>(Ops::take(q));
      at = static_cast<unsigned>(q - p);
      Ops::widen(p + at, out);
      leads &= leads - 1;
    } while (leads != 0);
    if (at > Ops::kBytes) [[unlikely]] {
      // A character that ends in the next block: that one starts after it.
      p += at;
    } else {
      out += Ops::kBytes - at;
      p += Ops::kBytes;
    }
  }
  return ScalarOps::decode(p, end, out, limit);
}

// Counters in vector lanes are summed into a size_t before they can
// overflow: at most this many steps of each.
constexpr size_t kByteCounterSteps = 255;
constexpr size_t kWordCounterSteps = 8192;
constexpr size_t kDwordCounterSteps = size_t{1} << 20;

// One character without a branch on its length, which varies from one to
// the next in a text of several languages: all four bytes are made and
// stored, and the length tells how many count (the room for them is
// there). Little-endian, as x86-64 is.
struct BranchFree {
  static char* put(uint32_t c, char* out) {
    if (c - 0xD800 < 0x800) return nullptr;
    const uint32_t length = 2 + (c >= 0x800) + (c >= 0x10000);
    // The bytes of the four-byte form, in memory order, cut to `length`
    // from the front; the lead byte then takes its length's marks.
    const uint32_t four = (c >> 18) | (c >> 12 & 0x3F) << 8 |
                          (c >> 6 & 0x3F) << 16 | (c & 0x3F) << 24 |
                          0x80808080u;
    const uint32_t word =
        four >> (8 * (4 - length)) | ((0xF0u << (4 - length)) & 0xF0);
    std::memcpy(out, &word, 4);
    return out + length;
  }
  // Reads four bytes: at least that many are left.
  static uint32_t take(const char*& p) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    const uint32_t b0 = word & 0xFF;
    const uint32_t length = 2 + (b0 >= 0xE0) + (b0 >= 0xF0);
    const uint32_t four = b0 << 18 | (word >> 8 & 0x3F) << 12 |
                          (word >> 16 & 0x3F) << 6 | (word >> 24 & 0x3F);
    p += length;
    return four >> (6 * (4 - length)) & ((1u << (5 * length + 1)) - 1);
  }
};

// 16 bytes: every x86-64 processor has SSE2.
struct Sse2Ops : BranchFree {
  static constexpr size_t kChars = 16;
  static constexpr size_t kBytes = 16;

  static __m128i load(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
  }
  static void store(void* p, __m128i v) {
    _mm_storeu_si128(static_cast<__m128i*>(p), v);
  }
  static uint32_t mask(__m128i v) {
    return static_cast<uint32_t>(_mm_movemask_epi8(v));
  }
  static size_t sum_bytes(__m128i v) {
    const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
    return static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
           static_cast<size_t>(_mm_extract_epi16(sums, 4));
  }
  static size_t sum_dwords(__m128i v) {
    v = _mm_add_epi32(v, _mm_srli_si128(v, 8));
    v = _mm_add_epi32(v, _mm_srli_si128(v, 4));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
  }
  // Each 16-bit lane plus `bias`, saturating: the top bit is then set in
  // the lanes from 0x8000 - bias on (SSE2 has no unsigned comparison).
  static __m128i top_bit_from(__m128i v, short bias) {
    return _mm_adds_epu16(v, _mm_set1_epi16(bias));
  }

  static size_t length(const uint8_t* chars, size_t n) {
    size_t bytes = 0;
    size_t i = 0;
    while (n - i >= 16) {
      __m128i counts = _mm_setzero_si128();
      const size_t stop = i + 16 * std::min((n - i) / 16, kByteCounterSteps);
      for (; i < stop; i += 16) {
        counts = _mm_sub_epi8(
            counts, _mm_cmplt_epi8(load(chars + i), _mm_setzero_si128()));
      }
      bytes += sum_bytes(counts);
    }
    return i + bytes + ScalarOps::length(chars + i, n - i);
  }
  static size_t length(const uint16_t* chars, size_t n) {
    size_t bytes = 0;
    size_t i = 0;
    while (n - i >= 8) {
      __m128i counts = _mm_setzero_si128();
      const size_t stop = i + 8 * std::min((n - i) / 8, kWordCounterSteps);
      for (; i < stop; i += 8) {
        const __m128i v = load(chars + i);
        counts = _mm_add_epi16(
            counts, _mm_srli_epi16(top_bit_from(v, 0x8000 - 0x80), 15));
        counts = _mm_add_epi16(
            counts, _mm_srli_epi16(top_bit_from(v, 0x8000 - 0x800), 15));
      }
      bytes += sum_dwords(_mm_madd_epi16(counts, _mm_set1_epi16(1)));
    }
    return i + bytes + ScalarOps::length(chars + i, n - i);
  }
  // A str's characters stop at U+10FFFF: compared as signed lanes.
  static size_t length(const uint32_t* chars, size_t n) {
    size_t bytes = 0;
    size_t i = 0;
    while (n - i >= 4) {
      __m128i counts = _mm_setzero_si128();
      const size_t stop = i + 4 * std::min((n - i) / 4, kDwordCounterSteps);
      for (; i < stop; i += 4) {
        const __m128i v = load(chars + i);
        counts =
            _mm_sub_epi32(counts, _mm_cmpgt_epi32(v, _mm_set1_epi32(0x7F)));
        counts =
            _mm_sub_epi32(counts, _mm_cmpgt_epi32(v, _mm_set1_epi32(0x7FF)));
        counts =
            _mm_sub_epi32(counts, _mm_cmpgt_epi32(v, _mm_set1_epi32(0xFFFF)));
      }
      bytes += sum_dwords(counts);
    }
    return i + bytes + ScalarOps::length(chars + i, n - i);
  }

  // Each stores 16 characters as bytes (ASCII ones as they are) and
  // returns a mask of the lanes that are not ASCII.
  static uint32_t pack(const uint8_t* chars, char* out) {
    const __m128i v = load(chars);
    store(out, v);
    return mask(v);
  }
  static uint32_t pack(const uint16_t* chars, char* out) {
    const __m128i a = load(chars);
    const __m128i b = load(chars + 8);
    store(out, _mm_packus_epi16(a, b));
    // The unsigned pack makes lanes from 0x8000 on zero, so the lanes
    // from 0x80 on are told by their top bit after a biased sum instead,
    // which the signed pack keeps.
    const __m128i wide = _mm_packs_epi16(top_bit_from(a, 0x8000 - 0x80),
                                         top_bit_from(b, 0x8000 - 0x80));
    return mask(wide);
  }
  static uint32_t pack(const uint32_t* chars, char* out) {
    // Both saturating packs keep ASCII as it is and make every other
    // character (up to U+10FFFF: positive lanes) a byte from 0x80 on.
    const __m128i bytes =
        _mm_packus_epi16(_mm_packs_epi32(load(chars), load(chars + 4)),
                         _mm_packs_epi32(load(chars + 8), load(chars + 12)));
    store(out, bytes);
    return mask(bytes);
  }

  // The bytes from 0xC0 on: -64 and up as signed ones, and negative.
  static uint32_t lead_bytes(const char* p) {
    const __m128i v = load(p);
    return mask(_mm_and_si128(v, _mm_cmpgt_epi8(v, _mm_set1_epi8(-65))));
  }
  static void widen(const char* p, uint8_t* out) { store(out, load(p)); }
  static void widen(const char* p, uint16_t* out) {
    const __m128i v = load(p);
    const __m128i zero = _mm_setzero_si128();
    store(out, _mm_unpacklo_epi8(v, zero));
    store(out + 8, _mm_unpackhi_epi8(v, zero));
  }
  static void widen(const char* p, uint32_t* out) {
    const __m128i v = load(p);
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(v, zero);
    const __m128i high = _mm_unpackhi_epi8(v, zero);
    store(out, _mm_unpacklo_epi16(low, zero));
    store(out + 4, _mm_unpackhi_epi16(low, zero));
    store(out + 8, _mm_unpacklo_epi16(high, zero));
    store(out + 12, _mm_unpackhi_epi16(high, zero));
  }

  static Utf8Census census(const char* p, size_t n) {
    Utf8Census census;
    __m128i widest = _mm_setzero_si128();
    size_t i = 0;
    while (n - i >= 16) {
      __m128i counts = _mm_setzero_si128();
      const size_t stop = i + 16 * std::min((n - i) / 16, kByteCounterSteps);
      for (; i < stop; i += 16) {
        const __m128i v = load(p + i);
        // 0x80..0xBF are the bytes below -64 as signed ones.
        counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(v, _mm_set1_epi8(-64)));
        widest = _mm_max_epu8(widest, v);
      }
      census.continuation_bytes += sum_bytes(counts);
    }
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), widest);
    const Utf8Census tail = ScalarOps::census(p + i, n - i);
    census.continuation_bytes += tail.continuation_bytes;
    const unsigned char top = *std::max_element(lanes, lanes + 16);
    census.widest_byte =
        std::max<unsigned char>(tail.widest_byte, top < 0x80 ? 0 : top);
    return census;
  }
};

// 32 bytes, compiled for AVX2 alone (a target attribute, not a build
// flag): only the entry points below, which carry it too, inline these.
#define QEL_AVX2 gnu::target("avx2")

struct Avx2Ops : BranchFree {
  static constexpr size_t kChars = 32;
  static constexpr size_t kBytes = 32;

  [[QEL_AVX2]] static inline __m256i load(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
  }
  [[QEL_AVX2]] static inline void store(void* p, __m256i v) {
    _mm256_storeu_si256(static_cast<__m256i*>(p), v);
  }
  [[QEL_AVX2]] static inline uint32_t mask(__m256i v) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(v));
  }
  [[QEL_AVX2]] static inline size_t sum_qwords(__m256i v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v),
                                    _mm256_extracti128_si256(v, 1));
    return static_cast<size_t>(_mm_cvtsi128_si64(s)) +
           static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
  }
  [[QEL_AVX2]] static inline size_t sum_bytes(__m256i v) {
    return sum_qwords(_mm256_sad_epu8(v, _mm256_setzero_si256()));
  }
  [[QEL_AVX2]] static inline size_t sum_dwords(__m256i v) {
    return sum_qwords(_mm256_add_epi64(
        _mm256_and_si256(v, _mm256_set1_epi64x(0xFFFFFFFF)),
        _mm256_srli_epi64(v, 32)));
  }
  [[QEL_AVX2]] static inline __m256i top_bit_from(__m256i v, short bias) {
    return _mm256_adds_epu16(v, _mm256_set1_epi16(bias));
  }

  [[QEL_AVX2]] static inline size_t length(const uint8_t* chars, size_t n) {
    size_t bytes = 0;
    size_t i = 0;
    while (n - i >= 32) {
      __m256i counts = _mm256_setzero_si256();
      const size_t stop = i + 32 * std::min((n - i) / 32, kByteCounterSteps);
      for (; i < stop; i += 32) {
        counts = _mm256_sub_epi8(
            counts, _mm256_cmpgt_epi8(_mm256_setzero_si256(), load(chars + i)));
      }
      bytes += sum_bytes(counts);
    }
    return i + bytes + Sse2Ops::length(chars + i, n - i);
  }
  [[QEL_AVX2]] static inline size_t length(const uint16_t* chars, size_t n) {
    size_t bytes = 0;
    size_t i = 0;
    while (n - i >= 16) {
      __m256i counts = _mm256_setzero_si256();
      const size_t stop = i + 16 * std::min((n - i) / 16, kWordCounterSteps);
      for (; i < stop; i += 16) {
        const __m256i v = load(chars + i);
        counts = _mm256_add_epi16(
            counts, _mm256_srli_epi16(top_bit_from(v, 0x8000 - 0x80), 15));
        counts = _mm256_add_epi16(
            counts, _mm256_srli_epi16(top_bit_from(v, 0x8000 - 0x800), 15));
      }
      bytes += sum_dwords(_mm256_madd_epi16(counts, _mm256_set1_epi16(1)));
    }
    return i + bytes + Sse2Ops::length(chars + i, n - i);
  }
  [[QEL_AVX2]] static inline size_t length(const uint32_t* chars, size_t n) {
    size_t bytes = 0;
    size_t i = 0;
    while (n - i >= 8) {
      __m256i counts = _mm256_setzero_si256();
      const size_t stop = i + 8 * std::min((n - i) / 8, kDwordCounterSteps);
      for (; i < stop; i += 8) {
        const __m256i v = load(chars + i);
        counts = _mm256_sub_epi32(
            counts, _mm256_cmpgt_epi32(v, _mm256_set1_epi32(0x7F)));
        counts = _mm256_sub_epi32(
            counts, _mm256_cmpgt_epi32(v, _mm256_set1_epi32(0x7FF)));
        counts = _mm256_sub_epi32(
            counts, _mm256_cmpgt_epi32(v, _mm256_set1_epi32(0xFFFF)));
      }
      bytes += sum_dwords(counts);
    }
    return i + bytes + Sse2Ops::length(chars + i, n - i);
  }

  // The packs work within each 128-bit half; a permutation puts the
  // lanes back in order.
  [[QEL_AVX2]] static inline uint32_t pack(const uint8_t* chars, char* out) {
    const __m256i v = load(chars);
    store(out, v);
    return mask(v);
  }
  [[QEL_AVX2]] static inline uint32_t pack(const uint16_t* chars, char* out) {
    const __m256i a = load(chars);
    const __m256i b = load(chars + 16);
    store(out, _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
    return mask(_mm256_permute4x64_epi64(
        _mm256_packs_epi16(top_bit_from(a, 0x8000 - 0x80),
                           top_bit_from(b, 0x8000 - 0x80)),
        0xD8));
  }
  [[QEL_AVX2]] static inline uint32_t pack(const uint32_t* chars, char* out) {
    const __m256i bytes = _mm256_permutevar8x32_epi32(
        _mm256_packus_epi16(
            _mm256_packs_epi32(load(chars), load(chars + 8)),
            _mm256_packs_epi32(load(chars + 16), load(chars + 24))),
        _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    store(out, bytes);
    return mask(bytes);
  }

  [[QEL_AVX2]] static inline uint32_t lead_bytes(const char* p) {
    const __m256i v = load(p);
    return mask(
        _mm256_and_si256(v, _mm256_cmpgt_epi8(v, _mm256_set1_epi8(-65))));
  }
  [[QEL_AVX2]] static inline void widen(const char* p, uint8_t* out) {
    store(out, load(p));
  }
  [[QEL_AVX2]] static inline void widen(const char* p, uint16_t* out) {
    store(out, _mm256_cvtepu8_epi16(Sse2Ops::load(p)));
    store(out + 16, _mm256_cvtepu8_epi16(Sse2Ops::load(p + 16)));
  }
  [[QEL_AVX2]] static inline void widen(const char* p, uint32_t* out) {
    for (int k = 0; k < 4; ++k) {
      const __m128i eight =
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8 * k));
      store(out + 8 * k, _mm256_cvtepu8_epi32(eight));
    }
  }

  [[QEL_AVX2]] static inline Utf8Census census(const char* p, size_t n) {
    Utf8Census census;
    __m256i widest = _mm256_setzero_si256();
    size_t i = 0;
    while (n - i >= 32) {
      __m256i counts = _mm256_setzero_si256();
      const size_t stop = i + 32 * std::min((n - i) / 32, kByteCounterSteps);
      for (; i < stop; i += 32) {
        const __m256i v = load(p + i);
        counts = _mm256_sub_epi8(
            counts, _mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v));
        widest = _mm256_max_epu8(widest, v);
      }
      census.continuation_bytes += sum_bytes(counts);
    }
    const __m128i half = _mm_max_epu8(_mm256_castsi256_si128(widest),
                                      _mm256_extracti128_si256(widest, 1));
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), half);
    const Utf8Census tail = Sse2Ops::census(p + i, n - i);
    census.continuation_bytes += tail.continuation_bytes;
    const unsigned char top = *std::max_element(lanes, lanes + 16);
    census.widest_byte =
        std::max<unsigned char>(tail.widest_byte, top < 0x80 ? 0 : top);
    return census;
  }
};

// The AVX2 entry points. Flattened: GCC does not inline the ops into the
// shared loops on its own, their targets differing until the loops are
// inlined here.
#define QEL_AVX2_ENTRY gnu::noinline, gnu::flatten, QEL_AVX2

template <typename Char>
[[QEL_AVX2_ENTRY]] size_t length_avx2(const Char* chars, size_t n) {
  return Avx2Ops::length(chars, n);
}
template <typename Char>
[[QEL_AVX2_ENTRY]] char* encode_avx2(const Char* chars, size_t n, char* out) {
  return encode_blocks<Avx2Ops>(chars, n, out);
}
template <typename Char>
[[QEL_AVX2_ENTRY]] Char* decode_avx2(const char* p, const char* end, Char* out,
                                     Char* limit) {
  return decode_blocks<Avx2Ops>(p, end, out, limit);
}
[[QEL_AVX2_ENTRY]] Utf8Census census_avx2(const char* p, size_t n) {
  return Avx2Ops::census(p, n);
}
[[QEL_AVX2_ENTRY]] const char* skip_ascii_avx2(const char* p,
                                               const char* end) {
  return Avx2Scan::skip_ascii(p, end);
}

#undef QEL_AVX2_ENTRY
#undef QEL_AVX2

#endif  // QEL_HAVE_X86_SIMD

template <typename Char>
size_t length_on_path(const Char* chars, size_t n) {
  switch (simd_path()) {
#if QEL_HAVE_X86_SIMD
    case SimdPath::kAvx2: return length_avx2(chars, n);
    case SimdPath::kSse2: return Sse2Ops::length(chars, n);
#endif
    default: return ScalarOps::length(chars, n);
  }
}

template <typename Char>
char* encode_on_path(const Char* chars, size_t n, char* out) {
  switch (simd_path()) {
#if QEL_HAVE_X86_SIMD
    case SimdPath::kAvx2: return encode_avx2(chars, n, out);
    case SimdPath::kSse2: return encode_blocks<Sse2Ops>(chars, n, out);
#endif
    default: return ScalarOps::encode(chars, n, out);
  }
}

template <typename Char>
Char* decode_on_path(const char* p, const char* end, Char* out, Char* limit) {
  switch (simd_path()) {
#if QEL_HAVE_X86_SIMD
    case SimdPath::kAvx2: return decode_avx2(p, end, out, limit);
    case SimdPath::kSse2: return decode_blocks<Sse2Ops>(p, end, out, limit);
#endif
    default: return ScalarOps::decode(p, end, out, limit);
  }
}

}  // namespace

size_t utf8_length(const uint8_t* chars, size_t n) {
  return length_on_path(chars, n);
}
size_t utf8_length(const uint16_t* chars, size_t n) {
  return length_on_path(chars, n);
}
size_t utf8_length(const uint32_t* chars, size_t n) {
  return length_on_path(chars, n);
}

char* encode_utf8(const uint8_t* chars, size_t n, char* out) {
  return encode_on_path(chars, n, out);
}
char* encode_utf8(const uint16_t* chars, size_t n, char* out) {
  return encode_on_path(chars, n, out);
}
char* encode_utf8(const uint32_t* chars, size_t n, char* out) {
  return encode_on_path(chars, n, out);
}

Utf8Census utf8_census(const char* text, size_t size) {
  switch (simd_path()) {
#if QEL_HAVE_X86_SIMD
    case SimdPath::kAvx2: return census_avx2(text, size);
    case SimdPath::kSse2: return Sse2Ops::census(text, size);
#endif
    default: return ScalarOps::census(text, size);
  }
}

uint8_t* decode_utf8_into(const char* p, const char* end, uint8_t* out,
                          uint8_t* limit) {
  return decode_on_path(p, end, out, limit);
}
uint16_t* decode_utf8_into(const char* p, const char* end, uint16_t* out,
                           uint16_t* limit) {
  return decode_on_path(p, end, out, limit);
}
uint32_t* decode_utf8_into(const char* p, const char* end, uint32_t* out,
                           uint32_t* limit) {
  return decode_on_path(p, end, out, limit);
}

bool is_ascii(const char* text, size_t size) {
  const char* const end = text + size;
  switch (simd_path()) {
#if QEL_HAVE_X86_SIMD
    case SimdPath::kAvx2: return skip_ascii_avx2(text, end) == end;
    case SimdPath::kSse2: return Sse2Scan::skip_ascii(text, end) == end;
#endif
    default: return ScalarScan::skip_ascii(text, end) == end;
  }
}

}  // namespace qel::detail
