#include "qel/line_index.h"

#include <algorithm>

namespace qel {

namespace {

bool is_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// What one character starting with `lead` adds to a count in `unit`, for
// the units that are not bytes.
uint64_t width(char lead, ColumnUnit unit) {
  return unit == ColumnUnit::kUtf16 && static_cast<unsigned char>(lead) >= 0xF0
             ? 2
             : 1;
}

}  // namespace

LineIndex::LineIndex(std::string_view text) : text_(text) {
  lines_.push_back(0);
  lf_lines_.push_back(0);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      lines_.push_back(i + 1);
      lf_lines_.push_back(i + 1);
    } else if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
        lf_lines_.push_back(i + 1);
      }
      lines_.push_back(i + 1);
    }
  }
  marks_.reserve(text.size() / kStride + 1);
  Mark mark;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i % kStride == 0) marks_.push_back(mark);
    if (i == text.size()) break;
    if (!is_continuation(text[i])) {
      ++mark.chars;
      mark.units16 += width(text[i], ColumnUnit::kUtf16);
    }
  }
}

uint64_t LineIndex::count_before(size_t offset, ColumnUnit unit) const {
  if (unit == ColumnUnit::kUtf8) return offset;
  const size_t k = offset / kStride;
  uint64_t n = unit == ColumnUnit::kUtf16 ? marks_[k].units16 : marks_[k].chars;
  for (size_t p = k * kStride; p < offset; ++p) {
    if (!is_continuation(text_[p])) n += width(text_[p], unit);
  }
  return n;
}

size_t LineIndex::resume_point(size_t from, size_t end, uint64_t budget,
                               ColumnUnit unit, uint64_t& counted) const {
  counted = 0;
  if (end - from <= kStride) return from;
  const uint64_t base = count_before(from, unit);
  const auto at = [&](size_t k) {
    return (unit == ColumnUnit::kUtf16 ? marks_[k].units16 : marks_[k].chars) -
           base;
  };
  // The marks after `from` and not after `end`; their counts only grow.
  size_t lo = from / kStride + 1;
  size_t hi = end / kStride + 1;
  if (lo >= hi || at(lo) > budget) return from;
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    if (at(mid) <= budget) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  size_t p = lo * kStride;
  while (p < end && is_continuation(text_[p])) ++p;
  counted = at(lo);
  return p;
}

size_t LineIndex::char_start(size_t offset) const {
  offset = std::min(offset, text_.size());
  // A valid character has at most three continuation bytes.
  for (int i = 0; i < 3 && offset > 0 && offset < text_.size() &&
                  is_continuation(text_[offset]);
       ++i) {
    --offset;
  }
  return offset;
}

LineColumn LineIndex::position_of(size_t offset, ColumnUnit unit,
                                  LineBreaks breaks) const {
  offset = char_start(offset);
  const std::vector<size_t>& lines = starts(breaks);
  const auto after = std::upper_bound(lines.begin(), lines.end(), offset);
  const size_t line = static_cast<size_t>(after - lines.begin()) - 1;
  const size_t start = lines[line];
  return LineColumn{line,
                    count_before(offset, unit) - count_before(start, unit)};
}

size_t LineIndex::offset_of(LineColumn position, ColumnUnit unit,
                            LineBreaks breaks) const {
  const std::vector<size_t>& lines = starts(breaks);
  if (position.line >= lines.size()) return text_.size();
  const size_t start = lines[position.line];
  size_t end =
      position.line + 1 < lines.size() ? lines[position.line + 1] : text_.size();
  if (end > start && text_[end - 1] == '\n') --end;
  if (breaks == LineBreaks::kAny && end > start && text_[end - 1] == '\r') {
    --end;
  }
  if (unit == ColumnUnit::kUtf8) {
    size_t p = position.column >= end - start
                   ? end
                   : start + static_cast<size_t>(position.column);
    while (p > start && p < end && is_continuation(text_[p])) --p;
    return p;
  }
  uint64_t counted = 0;
  size_t p = resume_point(start, end, position.column, unit, counted);
  while (p < end && counted < position.column) {
    const uint64_t w = width(text_[p], unit);
    if (counted + w > position.column) break;
    counted += w;
    ++p;
    while (p < end && is_continuation(text_[p])) ++p;
  }
  return p;
}

Span LineIndex::span_of(size_t offset) const {
  offset = char_start(offset);
  const LineColumn at =
      position_of(offset, ColumnUnit::kChars, LineBreaks::kLineFeed);
  Span span;
  span.line = at.line + 1;
  span.column = at.column + 1;
  span.offset = count_before(offset, ColumnUnit::kChars);
  span.byte = offset;
  return span;
}

}  // namespace qel
