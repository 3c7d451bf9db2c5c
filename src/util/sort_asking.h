// Sorting millions of items with a way to give up part way: runs sorted
// one at a time, then merged pass after pass, with a question between any
// two steps.
#ifndef QEL_UTIL_SORT_ASKING_H_
#define QEL_UTIL_SORT_ASKING_H_

#include <algorithm>
#include <cstddef>

namespace qel::detail {

// Sorts [first, last) by `less`, which must be a strict total order (no
// two items equal), so that the result is the one std::sort gives. Asks
// `stop` before each run of a few milliseconds' work; false, the range
// then in no particular order, when it said yes.
template <typename It, typename Less, typename Stop>
bool sort_asking(It first, It last, Less less, Stop&& stop) {
  constexpr std::ptrdiff_t kRun = std::ptrdiff_t{1} << 15;
  const std::ptrdiff_t n = last - first;
  if (n <= kRun) {
    std::sort(first, last, less);
    return true;
  }
  for (std::ptrdiff_t i = 0; i < n; i += kRun) {
    if (stop()) return false;
    std::sort(first + i, first + std::min(n, i + kRun), less);
  }
  for (std::ptrdiff_t width = kRun; width < n; width *= 2) {
    for (std::ptrdiff_t i = 0; i + width < n; i += 2 * width) {
      if (stop()) return false;
      std::inplace_merge(first + i, first + i + width,
                         first + std::min(n, i + 2 * width), less);
    }
  }
  return true;
}

}  // namespace qel::detail

#endif  // QEL_UTIL_SORT_ASKING_H_
