#include "executor/text.h"

#include <cstddef>

namespace qel::detail {

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x0009: case 0x000A: case 0x000B: case 0x000C: case 0x000D:
    case 0x0020: case 0x0085: case 0x00A0: case 0x1680:
    case 0x2000: case 0x2001: case 0x2002: case 0x2003: case 0x2004:
    case 0x2005: case 0x2006: case 0x2007: case 0x2008: case 0x2009:
    case 0x200A: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000:
      return true;
    default:
      return false;
  }
}

namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes the well-formed UTF-8 sequence text[pos, pos + length); kInvalid
// for anything else (overlong forms, surrogates and stray bytes included).
char32_t decode(std::string_view text, size_t pos, size_t length) {
  const auto byte = [&](size_t i) {
    return static_cast<unsigned char>(text[pos + i]);
  };
  const unsigned char lead = byte(0);
  char32_t c;
  size_t expected;
  if (lead < 0x80) {
    c = lead;
    expected = 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    c = lead & 0x1F;
    expected = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    c = lead & 0x0F;
    expected = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    c = lead & 0x07;
    expected = 4;
  } else {
    return kInvalid;
  }
  if (length != expected) return kInvalid;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return kInvalid;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMinimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    return kInvalid;
  }
  return c;
}

size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t length =
        sequence_length(static_cast<unsigned char>(text[begin]));
    if (length > text.size() - begin) break;
    if (!is_white_space(decode(text, begin, length))) break;
    begin += length;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back over at most three continuation bytes to the lead byte.
    size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    if (!is_white_space(decode(text, start, end - start))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace qel::detail
