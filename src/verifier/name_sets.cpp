// Name sets and duplicate detection for the verifier's checks.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "util/swar.h"
#include "verifier/verifier_checks.h"

namespace qel::detail {

namespace {

constexpr uint64_t kOdd = 0x9E3779B97F4A7C15ULL;

uint64_t finish(uint64_t x) {
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ULL;
  x ^= x >> 32;
  return x;
}

uint64_t rotate(uint64_t x, int by) { return (x << by) | (x >> (64 - by)); }

// A seed nobody can predict: where the set's memory happens to lie (which
// address-space randomisation varies from run to run), and how many sets
// came before.
uint64_t fresh_seed(const void* where) {
  static std::atomic<uint64_t> sets{0};
  const uint64_t n = sets.fetch_add(1, std::memory_order_relaxed);
  return finish(reinterpret_cast<uintptr_t>(where) ^ (n * kOdd));
}

}  // namespace

uint64_t TextSet::hash(std::string_view text) const {
  const char* p = text.data();
  std::size_t n = text.size();
  uint64_t h = seed_ ^ (n * kOdd);
  for (; n >= 8; n -= 8, p += 8) h = (rotate(h, 23) ^ load_word(p)) * kOdd;
  if (n > 0) {
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (rotate(h, 23) ^ tail) * kOdd;
  }
  return finish(h);
}

std::size_t TextSet::find(std::string_view text, uint64_t h) const {
  const std::size_t mask = slots_.size() - 1;
  const uint64_t top = h >> 32;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const uint64_t slot = slots_[i];
    const uint32_t index = static_cast<uint32_t>(slot);
    if (index == 0) return i;
    if ((slot >> 32) == top && texts_[index - 1] == text) return i;
  }
}

TextSet::TextSet(const std::vector<std::string_view>& texts,
                 InterruptPoll* poll)
    : texts_(texts), repeated_(texts.size(), false) {
  seed_ = fresh_seed(texts_.data());
  std::size_t size = 16;
  while (size < 2 * texts_.size()) size *= 2;
  slots_.assign(size, 0);
  for (std::size_t i = 0; i < texts_.size(); ++i) {
    if (poll != nullptr && poll->tick()) return;
    const uint64_t h = hash(texts_[i]);
    const std::size_t at = find(texts_[i], h);
    if (slots_[at] != 0) {
      repeated_[i] = true;
    } else {
      slots_[at] = (h >> 32 << 32) | (i + 1);
    }
  }
}

bool TextSet::contains(std::string_view text) const {
  if (texts_.empty()) return false;
  return slots_[find(text, hash(text))] != 0;
}

std::vector<bool> repetitions(const std::vector<std::string_view>& texts,
                              InterruptPoll* poll) {
  const TextSet set(texts, poll);
  // Given up part way: none, so that the caller's walk stays in bounds.
  if (poll != nullptr && poll->stopped()) {
    return std::vector<bool>(texts.size(), false);
  }
  return set.repetitions();
}

}  // namespace qel::detail
