#include "diagnostics/display_width.h"

#include <algorithm>

namespace qel::display {
namespace {

bool in_ranges(const detail::WidthRange* ranges, std::size_t count,
               uint32_t cp) {
  const detail::WidthRange* end = ranges + count;
  const detail::WidthRange* next = std::upper_bound(
      ranges, end, cp,
      [](uint32_t v, const detail::WidthRange& r) { return v < r.first; });
  return next != ranges && cp <= (next - 1)->last;
}

}  // namespace

int display_width(uint32_t code_point) {
  // Nothing before the combining diacritics is zero-width or wide.
  if (code_point < 0x300) return 1;
  if (in_ranges(detail::kZeroWidthRanges, detail::kZeroWidthCount,
                code_point)) {
    return 0;
  }
  return in_ranges(detail::kWideRanges, detail::kWideCount, code_point) ? 2
                                                                         : 1;
}

}  // namespace qel::display
