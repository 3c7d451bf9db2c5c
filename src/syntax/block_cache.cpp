// Memory for the syntax tree's arrays: large blocks mapped from the system,
// which each thread keeps a few of between calls. A call on a text of ten
// megabytes fills tens of megabytes of arrays; mapping them afresh every
// time costs a page fault per page, a good share of the call. Kept blocks
// are already resident, so a repeated call faults in almost nothing.
#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "qel/syntax_tree.h"
#include "util/large_pages.h"

namespace qel::detail {

namespace {

#if defined(__linux__)

// A mapped block starts with its mapped length; the caller's bytes follow.
// The caller may be handed a kept block longer than it asked for, and
// gives back only the length it asked for.
constexpr std::size_t kHeader = 64;

// What a thread keeps: at most this many blocks, of at most
// max(kKeepFloor, kKeepPerInputByte * the last text's length) bytes in all.
// A tree takes about three times its text in mapped room (untouched room
// is not resident), an output about one and a half.
constexpr std::size_t kMaxKept = 8;
constexpr std::size_t kKeepFloor = std::size_t{16} << 20;
constexpr std::size_t kKeepPerInputByte = 5;

void unmap(void* base) {
  munmap(base, *static_cast<std::size_t*>(base));
}

class BlockCache {
 public:
  BlockCache() = default;
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;
  ~BlockCache() {
    trim_to(0);
    gone_ = true;
  }

  // The kept block that fits `length` most closely, taken out; or null.
  void* take(std::size_t length) {
    std::size_t best = kMaxKept;
    for (std::size_t i = 0; i < count_; ++i) {
      if (length_of(i) >= length &&
          (best == kMaxKept || length_of(i) < length_of(best))) {
        best = i;
      }
    }
    if (best == kMaxKept) return nullptr;
    void* base = blocks_[best];
    kept_ -= length_of(best);
    blocks_[best] = blocks_[--count_];
    return base;
  }

  // Keeps `base` when it fits within the bound; false when the caller is
  // to unmap it.
  bool keep(void* base) {
    const std::size_t length = *static_cast<std::size_t*>(base);
    if (length > limit_) return false;
    // Room is made by giving back the largest blocks, never the new one.
    while (count_ == kMaxKept || kept_ + length > limit_) drop_largest();
    blocks_[count_++] = base;
    kept_ += length;
    return true;
  }

  void note_input(std::size_t bytes) {
    const std::size_t per_input =
        bytes > SIZE_MAX / kKeepPerInputByte ? SIZE_MAX
                                             : bytes * kKeepPerInputByte;
    limit_ = per_input > kKeepFloor ? per_input : kKeepFloor;
    trim_to(limit_);
  }

  void trim_to(std::size_t bytes) {
    while (kept_ > bytes) drop_largest();
  }

  std::size_t kept() const { return kept_; }

  // The cache of this thread, or null once it has been destroyed (a tree
  // freed by another thread-local's destructor at thread exit).
  static BlockCache* of_this_thread() {
    if (gone_) return nullptr;
    thread_local BlockCache cache;
    return &cache;
  }

 private:
  std::size_t length_of(std::size_t i) const {
    return *static_cast<std::size_t*>(blocks_[i]);
  }

  void drop_largest() {
    std::size_t largest = 0;
    for (std::size_t i = 1; i < count_; ++i) {
      if (length_of(i) > length_of(largest)) largest = i;
    }
    kept_ -= length_of(largest);
    unmap(blocks_[largest]);
    blocks_[largest] = blocks_[--count_];
  }

  void* blocks_[kMaxKept] = {};
  std::size_t count_ = 0;
  std::size_t kept_ = 0;
  std::size_t limit_ = kKeepFloor;
  static thread_local bool gone_;
};

thread_local bool BlockCache::gone_ = false;

void* map_block(std::size_t length) {
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) {
    // What this thread keeps may be what is missing.
    if (BlockCache* cache = BlockCache::of_this_thread()) cache->trim_to(0);
    base = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
  }
  advise_large_pages(base, length);
  *static_cast<std::size_t*>(base) = length;
  return base;
}

#endif

}  // namespace

void* allocate_pages(std::size_t bytes) {
#if defined(__linux__)
  if (bytes >= kMappedBlock) {
    if (bytes > SIZE_MAX - kHeader) throw std::bad_alloc();
    const std::size_t length = bytes + kHeader;
    BlockCache* cache = BlockCache::of_this_thread();
    void* base = cache != nullptr ? cache->take(length) : nullptr;
    if (base == nullptr) base = map_block(length);
    return static_cast<char*>(base) + kHeader;
  }
#endif
  return ::operator new(bytes);
}

void free_pages(void* block, std::size_t bytes) noexcept {
#if defined(__linux__)
  if (bytes >= kMappedBlock) {
    void* base = static_cast<char*>(block) - kHeader;
    BlockCache* cache = BlockCache::of_this_thread();
    if (cache == nullptr || !cache->keep(base)) unmap(base);
    return;
  }
#endif
  ::operator delete(block);
}

void note_call_input(std::size_t bytes) noexcept {
#if defined(__linux__)
  if (BlockCache* cache = BlockCache::of_this_thread()) cache->note_input(bytes);
#else
  (void)bytes;
#endif
}

std::size_t kept_block_bytes() noexcept {
#if defined(__linux__)
  if (BlockCache* cache = BlockCache::of_this_thread()) return cache->kept();
#endif
  return 0;
}

}  // namespace qel::detail
