// Property checks shared by the fuzz targets: a violated property prints
// what was expected and traps, so libFuzzer records the input as a crash.
#ifndef QEL_FUZZ_FUZZ_CHECK_H_
#define QEL_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <string_view>

namespace qel::fuzz {

[[noreturn]] inline void violated(const char* property, std::string_view a,
                                  std::string_view b) {
  std::fprintf(stderr, "property violated: %s\n--- first:\n%.*s\n--- second:\n%.*s\n",
               property, static_cast<int>(a.size()), a.data(),
               static_cast<int>(b.size()), b.data());
  __builtin_trap();
}

inline void check(bool holds, const char* property, std::string_view a = {},
                  std::string_view b = {}) {
  if (!holds) violated(property, a, b);
}

inline void check_equal(std::string_view a, std::string_view b,
                        const char* property) {
  if (a != b) violated(property, a, b);
}

inline bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace qel::fuzz

#endif  // QEL_FUZZ_FUZZ_CHECK_H_
