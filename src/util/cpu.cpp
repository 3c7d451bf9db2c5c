#include "util/cpu.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace qel::detail {
namespace {

SimdPath widest_path() {
#if defined(__x86_64__)
  // Asked once: the answer is cached by the compiler's runtime too, but
  // not the environment variable.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdPath::kAvx2;
  return SimdPath::kSse2;
#else
  return SimdPath::kScalar;
#endif
}

SimdPath initial_path() {
  const char* forced = std::getenv("QEL_SIMD");
  if (forced != nullptr) {
    for (const SimdPath path : {SimdPath::kScalar, SimdPath::kSse2}) {
      if (std::strcmp(forced, simd_path_name(path)) == 0 &&
          simd_path_supported(path)) {
        return path;
      }
    }
  }
  return widest_path();
}

std::atomic<SimdPath>& current() {
  static std::atomic<SimdPath> path{initial_path()};
  return path;
}

}  // namespace

SimdPath simd_path() { return current().load(std::memory_order_relaxed); }

bool simd_path_supported(SimdPath path) {
  switch (path) {
    case SimdPath::kScalar:
      return true;
#if defined(__x86_64__)
    case SimdPath::kSse2:
      return true;
    case SimdPath::kAvx2:
      return widest_path() == SimdPath::kAvx2;
#endif
    default:
      return false;
  }
}

SimdPath set_simd_path(SimdPath path) {
  return current().exchange(path, std::memory_order_relaxed);
}

const char* simd_path_name(SimdPath path) {
  switch (path) {
    case SimdPath::kScalar: return "scalar";
    case SimdPath::kSse2: return "sse2";
    case SimdPath::kAvx2: return "avx2";
  }
  return "?";
}

}  // namespace qel::detail
