// A hint for buffers of many megabytes written once, front to back, into
// fresh memory: taking them in 2 MiB pages instead of 4 KiB ones saves most
// of the cost of faulting them in. Nothing depends on the hint being taken.
#ifndef QEL_UTIL_LARGE_PAGES_H_
#define QEL_UTIL_LARGE_PAGES_H_

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace qel::detail {

inline constexpr std::size_t kLargePage = std::size_t{1} << 21;

// Advises the whole large pages inside [data, data + size).
inline void advise_large_pages(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < 4 * kLargePage) return;
  const auto base = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (base + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t end = (base + size) & ~(kLargePage - 1);
  if (end > begin) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)size;
#endif
}

// The same hint for a block the C library mapped on its own and may later
// resize with mremap: the advice covers every page the block touches, so
// that the mapping stays one region (advice on part of it would split it,
// and a region in pieces cannot be remapped: the library then copies the
// block into fresh memory that has no advice).
inline void advise_large_pages_whole(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < 4 * kLargePage) return;
  static const std::uintptr_t page =
      static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto base = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = base & ~(page - 1);
  const std::uintptr_t end = (base + size + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

// Gives back to the system the whole pages inside [data, data + size),
// whose bytes the caller will never read (room reserved but not used, such
// as the tail of a finished array). The range stays valid memory (it reads
// as zeros), so the allocator that owns it may free it as usual.
inline void release_pages(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_DONTNEED)
  static const std::uintptr_t page =
      static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto base = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (base + page - 1) & ~(page - 1);
  const std::uintptr_t end = (base + size) & ~(page - 1);
  if (end > begin) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
  }
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace qel::detail

#endif  // QEL_UTIL_LARGE_PAGES_H_
