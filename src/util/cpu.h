// Which vector instructions the scanners and the UTF-8 conversions use,
// chosen once per process from what the processor has. Every path gives
// the same results; only speed differs. QEL_SIMD=scalar in the environment
// (read the first time a path is chosen) forces the plain word-at-a-time
// path, and QEL_SIMD=sse2 the 16-byte one on x86-64, so that each can be
// tested and measured on any machine.
#ifndef QEL_UTIL_CPU_H_
#define QEL_UTIL_CPU_H_

#include <cstdint>

namespace qel::detail {

enum class SimdPath : uint8_t {
  kScalar,  // eight bytes at a time in general-purpose registers
  kSse2,    // 16 bytes: every x86-64 processor has SSE2
  kAvx2,    // 32 bytes, where the processor has it
};

// The path scans take now.
SimdPath simd_path();

// Whether this build and this processor can take `path`.
bool simd_path_supported(SimdPath path);

// Makes later scans take `path` (one the processor supports), returning
// the path taken before; for tests that run every path.
SimdPath set_simd_path(SimdPath path);

const char* simd_path_name(SimdPath path);

}  // namespace qel::detail

#endif  // QEL_UTIL_CPU_H_
