#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/cpu.h"
#include "util/utf8_convert.h"

namespace qel::detail {
namespace {

// Characters at the edges of the UTF-8 lengths and of the vector lanes'
// signed ranges, with their UTF-8.
struct Sample {
  uint32_t c;
  const char* utf8;
};
constexpr Sample kSamples[] = {
    {0x7F, "\x7F"},          {0x80, "\xC2\x80"},
    {0xFF, "\xC3\xBF"},      {0x7FF, "\xDF\xBF"},
    {0x800, "\xE0\xA0\x80"}, {0x7FFF, "\xE7\xBF\xBF"},
    {0x8000, "\xE8\x80\x80"}, {0xFFFF, "\xEF\xBF\xBF"},
    {0x10000, "\xF0\x90\x80\x80"}, {0x10FFFF, "\xF4\x8F\xBF\xBF"},
};
constexpr size_t kWidth = 100;

// Every path converts into arrays of exactly the length needed, so that
// a vector store or load past the end shows under AddressSanitizer.
template <typename Char>
void check_every_offset(uint32_t c, const std::string& utf8) {
  for (size_t k = 0; k <= kWidth; ++k) {
    std::vector<Char> chars(k, 'a');
    std::string expected(k, 'a');
    const auto add = [&](uint32_t one, const std::string& bytes) {
      chars.push_back(static_cast<Char>(one));
      expected += bytes;
    };
    // One alone, then two together.
    add(c, utf8);
    add('b', "b");
    add(c, utf8);
    add(c, utf8);
    chars.insert(chars.end(), kWidth - k, 'c');
    expected.append(kWidth - k, 'c');
    // Fewer characters than bytes at the end, where room runs out first.
    for (int i = 0; i < 12; ++i) add(c, utf8);
    SCOPED_TRACE("U+" + std::to_string(c) + " at " + std::to_string(k));

    const auto in = std::make_unique<Char[]>(chars.size());
    std::copy(chars.begin(), chars.end(), in.get());
    ASSERT_EQ(utf8_length(in.get(), chars.size()), expected.size());
    const auto bytes = std::make_unique<char[]>(expected.size());
    char* const end = encode_utf8(in.get(), chars.size(), bytes.get());
    ASSERT_NE(end, nullptr);
    ASSERT_EQ(std::string(bytes.get(), end), expected);

    const Utf8Census census = utf8_census(expected.data(), expected.size());
    EXPECT_EQ(census.continuation_bytes, expected.size() - chars.size());
    const auto lead = static_cast<unsigned char>(utf8[0]);
    EXPECT_EQ(census.widest_byte, lead < 0x80 ? 0 : lead);
    const auto back = std::make_unique<Char[]>(chars.size());
    const auto text = std::make_unique<char[]>(expected.size());
    std::copy(expected.begin(), expected.end(), text.get());
    Char* const stop = back.get() + chars.size();
    ASSERT_EQ(decode_utf8_into(text.get(), text.get() + expected.size(),
                               back.get(), stop),
              stop);
    ASSERT_EQ(std::vector<Char>(back.get(), stop), chars);

    if constexpr (sizeof(Char) > 1) {
      chars[k] = static_cast<Char>(0xD800 + (k & 0x7FF));
      std::copy(chars.begin(), chars.end(), in.get());
      const auto room = std::make_unique<char[]>(
          utf8_length(in.get(), chars.size()));
      EXPECT_EQ(encode_utf8(in.get(), chars.size(), room.get()), nullptr);
    }
  }
}

TEST(Utf8Convert, EveryKindAtEveryOffsetOnEveryPath) {
  const SimdPath before = simd_path();
  for (const SimdPath path :
       {SimdPath::kScalar, SimdPath::kSse2, SimdPath::kAvx2}) {
    if (!simd_path_supported(path)) continue;
    set_simd_path(path);
    SCOPED_TRACE(simd_path_name(path));
    for (const Sample& s : kSamples) {
      if (s.c <= 0xFF) check_every_offset<uint8_t>(s.c, s.utf8);
      if (s.c <= 0xFFFF) check_every_offset<uint16_t>(s.c, s.utf8);
      check_every_offset<uint32_t>(s.c, s.utf8);
    }
  }
  set_simd_path(before);
}

}  // namespace
}  // namespace qel::detail
