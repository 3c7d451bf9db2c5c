// Conversions between UTF-8 and arrays of fixed-width characters (one, two
// or four bytes each, as the host language's strs hold them), on the
// instruction path util/cpu.h chooses. Contract texts are mostly ASCII
// with a few other characters in their string literals: runs of ASCII are
// packed or widened a vector at a time, other characters one at a time.
// Every path gives the same results.
#ifndef QEL_UTIL_UTF8_CONVERT_H_
#define QEL_UTIL_UTF8_CONVERT_H_

#include <cstddef>
#include <cstdint>

namespace qel::detail {

// How many bytes the UTF-8 of chars[0, n) takes, a surrogate counted as
// the three it would take.
size_t utf8_length(const uint8_t* chars, size_t n);
size_t utf8_length(const uint16_t* chars, size_t n);
size_t utf8_length(const uint32_t* chars, size_t n);

// Writes the UTF-8 of chars[0, n) from `out` on, which has room for at
// least utf8_length(chars, n) bytes (a run of ASCII is stored a whole
// vector at a time, past its end but within that room). Returns the end of
// what was written, or null at a surrogate, which UTF-8 cannot hold.
char* encode_utf8(const uint8_t* chars, size_t n, char* out);
char* encode_utf8(const uint16_t* chars, size_t n, char* out);
char* encode_utf8(const uint32_t* chars, size_t n, char* out);

// What a str holding valid UTF-8 needs: as many characters as the bytes
// less the continuation bytes, and a width that the widest lead byte
// tells (0 in ASCII).
struct Utf8Census {
  size_t continuation_bytes = 0;
  unsigned char widest_byte = 0;
};
Utf8Census utf8_census(const char* text, size_t size);

// Stores the characters of the valid UTF-8 in [p, end), each fitting a
// `Char`, from `out` on; returns the end of what was stored. A run of
// ASCII may be widened a whole vector at a time past its end, never past
// `limit` (the end of the array that every later position is written to).
uint8_t* decode_utf8_into(const char* p, const char* end, uint8_t* out,
                          uint8_t* limit);
uint16_t* decode_utf8_into(const char* p, const char* end, uint16_t* out,
                           uint16_t* limit);
uint32_t* decode_utf8_into(const char* p, const char* end, uint32_t* out,
                           uint32_t* limit);

// Whether every byte of [text, text + size) is ASCII.
bool is_ascii(const char* text, size_t size);

}  // namespace qel::detail

#endif  // QEL_UTIL_UTF8_CONVERT_H_
