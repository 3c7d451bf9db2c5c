// Ordered name sets and duplicate detection for the verifier's checks.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "util/sort_asking.h"
#include "verifier/verifier_checks.h"

namespace qel::detail {

PackedTexts::PackedTexts(const std::vector<std::string_view>& texts) {
  std::size_t total = 0;
  for (std::string_view t : texts) total += t.size();
  buffer_ = std::make_unique<char[]>(total == 0 ? 1 : total);
  views_.reserve(texts.size());
  char* out = buffer_.get();
  for (std::string_view t : texts) {
    if (!t.empty()) std::memcpy(out, t.data(), t.size());
    views_.emplace_back(out, t.size());
    out += t.size();
  }
}

// Keys are big-endian and padded with zero bytes, so comparing two keys
// agrees with comparing the bytes they cover; only equal keys (the same
// eight bytes, or a zero byte against the end of a text) need a closer look.
uint64_t SortedTexts::key_of(std::string_view text) const {
  uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::size_t at = common_ + i;
    key = (key << 8) |
          (at < text.size() ? static_cast<unsigned char>(text[at]) : 0u);
  }
  return key;
}

int SortedTexts::compare_tails(std::string_view a, std::string_view b,
                               std::size_t from) {
  return a.substr(from).compare(b.substr(from));
}

SortedTexts::SortedTexts(const std::vector<std::string_view>& texts,
                         InterruptPoll* poll)
    : packed_(texts) {
  const std::vector<std::string_view>& v = packed_.views();
  if (!v.empty()) {
    common_ = v[0].size();
    for (std::string_view t : v) {
      std::size_t n = 0;
      const std::size_t limit = std::min(common_, t.size());
      while (n < limit && t[n] == v[0][n]) ++n;
      common_ = n;
    }
  }
  sorted_.reserve(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    sorted_.push_back(Entry{key_of(v[i]), i});
  }
  // Indexes are unique: a strict total order.
  const auto less = [&](const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key < b.key;
    const int c = compare_tails(v[a.index], v[b.index], common_);
    if (c != 0) return c < 0;
    return a.index < b.index;
  };
  if (poll == nullptr) {
    std::sort(sorted_.begin(), sorted_.end(), less);
  } else {
    (void)sort_asking(sorted_.begin(), sorted_.end(), less,
                      [&] { return poll->ask(); });
  }
}

bool SortedTexts::contains(std::string_view text) const {
  if (sorted_.empty()) return false;
  const std::vector<std::string_view>& v = packed_.views();
  // Every stored text starts with the common prefix.
  if (text.size() < common_ ||
      std::memcmp(text.data(), v[0].data(), common_) != 0) {
    return false;
  }
  const uint64_t key = key_of(text);
  const auto it = std::lower_bound(
      sorted_.begin(), sorted_.end(), key,
      [&](const Entry& e, uint64_t k) {
        if (e.key != k) return e.key < k;
        return compare_tails(v[e.index], text, common_) < 0;
      });
  return it != sorted_.end() && it->key == key && v[it->index] == text;
}

std::vector<bool> SortedTexts::repetitions() const {
  const std::vector<std::string_view>& v = packed_.views();
  std::vector<bool> repeated(v.size(), false);
  // Within a run of equal texts the first in source order leads.
  for (std::size_t i = 1; i < sorted_.size(); ++i) {
    const Entry& prev = sorted_[i - 1];
    const Entry& cur = sorted_[i];
    if (cur.key == prev.key && v[cur.index] == v[prev.index]) {
      repeated[cur.index] = true;
    }
  }
  return repeated;
}

std::vector<bool> repetitions(const std::vector<std::string_view>& texts,
                              InterruptPoll* poll) {
  const SortedTexts sorted(texts, poll);
  // Given up part way: none, so that the caller's walk stays in bounds.
  if (poll != nullptr && poll->stopped()) {
    return std::vector<bool>(texts.size(), false);
  }
  return sorted.repetitions();
}

}  // namespace qel::detail
