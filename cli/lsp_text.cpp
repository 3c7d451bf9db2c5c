#include "lsp_text.h"

#include <algorithm>
#include <string>

namespace qel::cli::lsp {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Bytes in the UTF-8 sequence that `lead` starts; 1 for a stray byte, so
// that a walk always moves on.
size_t sequence_length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Code units of a character of `length` bytes in `encoding`.
uint64_t units(size_t length, Encoding encoding) {
  if (encoding == Encoding::kUtf8) return length;
  return length == 4 ? 2 : 1;  // astral characters are surrogate pairs
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_timestamp_part(char c) {
  return is_digit(c) || is_letter(c) || c == '-' || c == ':' || c == '+' ||
         c == '.';
}

// Just past the bracket that closes the one at `open` ('{', '[' or '<'),
// passing over strings and comments; kNone when it never closes.
size_t find_closing(std::string_view text, size_t open) {
  std::string expected;  // closers still owed, innermost last
  size_t p = open;
  while (p < text.size()) {
    const char c = text[p];
    if (c == '"') {
      p = string_end(text, p);
      if (p == kNone) return kNone;
      continue;
    }
    if (c == '/' && p + 1 < text.size() && text[p + 1] == '/') {
      p = line_end(text, p);
      continue;
    }
    switch (c) {
      case '{': expected += '}'; break;
      case '[': expected += ']'; break;
      case '<': expected += '>'; break;
      case '}': case ']': case '>':
        // A stray closer is passed over: the text is being edited.
        if (!expected.empty() && expected.back() == c) {
          expected.pop_back();
          if (expected.empty()) return p + 1;
        }
        break;
      default: break;
    }
    ++p;
  }
  return kNone;
}

}  // namespace

size_t string_end(std::string_view text, size_t open) {
  size_t p = open + 1;
  while (p < text.size()) {
    const char c = text[p];
    if (c == '"') return p + 1;
    p += c == '\\' ? 2 : 1;
  }
  return kNone;
}

size_t line_end(std::string_view text, size_t from) {
  const size_t lf = text.find('\n', from);
  return lf == std::string_view::npos ? text.size() : lf;
}

bool is_word_start(char c) { return is_letter(c) || c == '_'; }

bool is_word_part(char c) {
  return is_letter(c) || is_digit(c) || c == '_' || c == '-';
}

LineIndex::LineIndex(std::string_view text, size_t body)
    : text_(text), body_(std::min(body, text.size())) {
  lines_.push_back(0);
  lf_lines_.push_back(body_);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      lines_.push_back(i + 1);
      if (i >= body_) lf_lines_.push_back(i + 1);
    } else if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
        if (i >= body_) lf_lines_.push_back(i + 1);
      }
      lines_.push_back(i + 1);
    }
  }
  marks_.reserve(text.size() / kStride + 1);
  Mark mark;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i % kStride == 0) marks_.push_back(mark);
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (!is_continuation(c)) {
      ++mark.chars;
      mark.units16 += c >= 0xF0 ? 2 : 1;
    }
  }
}

uint64_t LineIndex::count_before(size_t offset, Measure measure) const {
  const size_t k = offset / kStride;
  uint64_t n = measure == Measure::kUnits16 ? marks_[k].units16
                                            : marks_[k].chars;
  for (size_t p = k * kStride; p < offset; ++p) {
    const auto c = static_cast<unsigned char>(text_[p]);
    if (!is_continuation(c)) {
      n += measure == Measure::kUnits16 && c >= 0xF0 ? 2 : 1;
    }
  }
  return n;
}

size_t LineIndex::resume_point(size_t from, size_t end, uint64_t budget,
                               Measure measure, uint64_t& counted) const {
  counted = 0;
  if (end - from <= kStride) return from;
  const uint64_t base = count_before(from, measure);
  const auto at = [&](size_t k) {
    return (measure == Measure::kUnits16 ? marks_[k].units16
                                         : marks_[k].chars) -
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
  while (p < end && is_continuation(static_cast<unsigned char>(text_[p]))) {
    ++p;
  }
  counted = at(lo);
  return p;
}

Position LineIndex::position_of(size_t offset, Encoding encoding) const {
  offset = std::min(offset, text_.size());
  while (offset > 0 && offset < text_.size() &&
         is_continuation(static_cast<unsigned char>(text_[offset]))) {
    --offset;
  }
  const auto after = std::upper_bound(lines_.begin(), lines_.end(), offset);
  const size_t line = static_cast<size_t>(after - lines_.begin()) - 1;
  const size_t start = lines_[line];
  const uint64_t character =
      encoding == Encoding::kUtf8
          ? offset - start
          : count_before(offset, Measure::kUnits16) -
                count_before(start, Measure::kUnits16);
  return Position{line, character};
}

size_t LineIndex::offset_of(Position position, Encoding encoding) const {
  if (position.line >= lines_.size()) return text_.size();
  const size_t start = lines_[position.line];
  size_t end = position.line + 1 < lines_.size() ? lines_[position.line + 1]
                                                 : text_.size();
  if (end > start && text_[end - 1] == '\n') --end;
  if (end > start && text_[end - 1] == '\r') --end;
  if (encoding == Encoding::kUtf8) {
    // A byte count: there, or the start of the character it falls in.
    size_t p = position.character >= end - start
                   ? end
                   : start + static_cast<size_t>(position.character);
    while (p > start && p < end &&
           is_continuation(static_cast<unsigned char>(text_[p]))) {
      --p;
    }
    return p;
  }
  uint64_t counted = 0;
  size_t p = resume_point(start, end, position.character, Measure::kUnits16,
                          counted);
  while (p < end && counted < position.character) {
    const size_t length =
        std::min(sequence_length(static_cast<unsigned char>(text_[p])),
                 end - p);
    const uint64_t width = units(length, encoding);
    if (counted + width > position.character) break;
    counted += width;
    p += length;
  }
  return p;
}

size_t LineIndex::offset_of_finding(uint64_t line, uint64_t column) const {
  if (line == 0) return body_;
  if (line - 1 >= lf_lines_.size()) return text_.size();
  size_t p = lf_lines_[line - 1];
  uint64_t i = 1;
  if (column > 1) {
    // The line's line feed, just before the next line's start.
    const size_t end = line < lf_lines_.size() ? lf_lines_[line] - 1
                                               : text_.size();
    uint64_t counted = 0;
    p = resume_point(p, end, column - 1, Measure::kChars, counted);
    i += counted;
  }
  for (; i < column && p < text_.size() && text_[p] != '\n'; ++i) {
    p += std::min(sequence_length(static_cast<unsigned char>(text_[p])),
                  text_.size() - p);
  }
  return p;
}

size_t token_end(std::string_view text, size_t begin) {
  if (begin >= text.size()) return text.size();
  const char c = text[begin];
  size_t p = begin + 1;
  if (c == '"') {
    const size_t end = string_end(text, begin);
    return end != kNone ? end : line_end(text, begin);
  }
  if (c == '[') {
    const size_t end = find_closing(text, begin);
    return end != kNone ? end : p;
  }
  if (is_digit(c)) {
    bool dotted = false;
    while (p < text.size() && (is_digit(text[p]) || text[p] == '.')) {
      dotted = dotted || text[p] == '.';
      ++p;
    }
    if (!dotted && p < text.size() && text[p] == '-') {
      while (p < text.size() && is_timestamp_part(text[p])) ++p;
    }
    return p;
  }
  if (is_word_start(c)) {
    while (p < text.size() && is_word_part(text[p])) ++p;
    return p;
  }
  return begin + std::min(sequence_length(static_cast<unsigned char>(c)),
                          text.size() - begin);
}

size_t skip_layout(std::string_view text, size_t from) {
  size_t p = from;
  while (p < text.size()) {
    const char c = text[p];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
      ++p;
    } else if (c == '/' && p + 1 < text.size() && text[p + 1] == '/') {
      p = line_end(text, p);
    } else {
      break;
    }
  }
  return p;
}

}  // namespace qel::cli::lsp
