#include "qel/nearest_name.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace qel {

namespace {

constexpr std::size_t kMaxWord = 64;

char fold(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equal_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Edits from `a` to `b` (adjacent swaps count one), or limit + 1 once every
// way is known to need more than `limit`. Both are at most
// kMaxWord + limit bytes long, so three fixed rows hold the table.
std::size_t distance(std::string_view a, std::string_view b,
                     std::size_t limit) {
  constexpr std::size_t kRow = 2 * kMaxWord + 2;
  std::array<std::array<std::size_t, kRow>, 3> rows{};
  std::size_t* before = rows[0].data();
  std::size_t* above = rows[1].data();
  std::size_t* row = rows[2].data();
  for (std::size_t j = 0; j <= b.size(); ++j) above[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    std::size_t least = row[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t replace = above[j - 1] + (a[i - 1] != b[j - 1]);
      std::size_t best = std::min({above[j] + 1, row[j - 1] + 1, replace});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        best = std::min(best, before[j - 2] + 1);
      }
      row[j] = best;
      least = std::min(least, best);
    }
    if (least > limit) return limit + 1;
    std::swap(before, above);
    std::swap(above, row);
  }
  return above[b.size()];
}

}  // namespace

std::optional<std::string_view> nearest_name(
    std::string_view word, std::span<const std::string_view> known) {
  if (word.empty() || word.size() > kMaxWord) return std::nullopt;
  const std::size_t limit = std::max<std::size_t>(word.size(), 3) / 3;
  std::optional<std::string_view> best;
  std::size_t best_distance = limit + 1;
  for (const std::string_view name : known) {
    if (name == word) continue;
    const std::size_t gap = name.size() > word.size()
                                ? name.size() - word.size()
                                : word.size() - name.size();
    if (gap > limit) continue;
    const std::size_t d =
        equal_folded(name, word) ? 0 : distance(word, name, limit);
    if (d > limit || d >= std::max(word.size(), name.size())) continue;
    if (d < best_distance || (d == best_distance && name < *best)) {
      best = name;
      best_distance = d;
    }
  }
  return best;
}

std::string did_you_mean(std::string_view word,
                         std::span<const std::string_view> known) {
  const std::optional<std::string_view> name = nearest_name(word, known);
  if (!name) return {};
  std::string out = "did you mean '";
  out += *name;
  out += "'?";
  return out;
}

}  // namespace qel
