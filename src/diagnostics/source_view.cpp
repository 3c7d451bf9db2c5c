#include "qel/source_view.h"

#include <algorithm>

#include "diagnostics/display_width.h"

namespace qel::display {
namespace {

// Lines up to this long are walked from their start for each finding; longer
// ones get a column index on first use.
constexpr std::size_t kIndexedLineBytes = 1024;
constexpr uint64_t kColumnStride = 64;
// A tab counts this much against kEchoWidth: it may reach the next stop.
constexpr std::size_t kTabCost = 8;
// A unit costs at least one column and takes at most four bytes, so the
// bytes that can show within N columns of the finding are 4 * N.
constexpr std::size_t kMaxUnitBytes = 4;

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at `pos`, or 0 when there is none.
std::size_t sequence_length(std::string_view s, std::size_t pos) {
  const auto c = static_cast<unsigned char>(s[pos]);
  if (c < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // past U+10FFFF
  }
  if (length == 0 || s.size() - pos < length) return 0;
  const auto second = static_cast<unsigned char>(s[pos + 1]);
  if (second < low || second > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!is_continuation(static_cast<unsigned char>(s[pos + i]))) return 0;
  }
  return length;
}

// A byte that is not UTF-8 stands for itself, one byte long.
std::size_t unit_length(std::string_view s, std::size_t pos) {
  return std::max<std::size_t>(sequence_length(s, pos), 1);
}

uint32_t decode(std::string_view s, std::size_t pos, std::size_t length) {
  const auto lead = static_cast<unsigned char>(s[pos]);
  if (length == 1) return lead;
  uint32_t cp = lead & (0x7Fu >> length);
  for (std::size_t i = 1; i < length; ++i) {
    cp = cp << 6 | (static_cast<unsigned char>(s[pos + i]) & 0x3Fu);
  }
  return cp;
}

// Characters that would move the cursor, recolour or reorder the terminal,
// so that the caret no longer stands under what it points at.
bool is_escaped(uint32_t cp) {
  return (cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F) ||
         cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

std::size_t hex_digits(uint32_t v) {
  std::size_t n = 1;
  while (v >>= 4) ++n;
  return n;
}

// One character of the line as it is printed.
struct Unit {
  std::size_t begin;   // byte offset in the line
  std::size_t length;  // bytes in the line
  uint32_t value;      // the code point, or the byte when it is not UTF-8
  bool character;      // whether `value` is a code point
  bool escaped;
  std::size_t width;  // columns as printed

  bool tab() const { return character && value == '\t'; }
  // What the unit counts against kEchoWidth: zero-width characters count
  // one, so that a window never holds more than kEchoWidth characters.
  std::size_t cost() const {
    return tab() ? kTabCost : std::max<std::size_t>(width, 1);
  }
};

Unit unit_at(std::string_view s, std::size_t pos) {
  Unit u{pos, sequence_length(s, pos), 0, true, false, 1};
  if (u.length == 0) {
    u.length = 1;
    u.value = static_cast<unsigned char>(s[pos]);
    u.character = false;
    u.escaped = true;
    u.width = 4;  // \xhh
    return u;
  }
  u.value = decode(s, pos, u.length);
  if (is_escaped(u.value)) {
    u.escaped = true;
    u.width = 4 + hex_digits(u.value);  // \u{h...}
  } else {
    u.width = static_cast<std::size_t>(display_width(u.value));
  }
  return u;
}

void append_unit(std::string_view s, const Unit& u, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (!u.escaped) {
    out.append(s.substr(u.begin, u.length));
    return;
  }
  if (!u.character) {
    out += "\\x";
    out += kHex[u.value >> 4];
    out += kHex[u.value & 0xF];
    return;
  }
  out += "\\u{";
  for (int shift = static_cast<int>(hex_digits(u.value) - 1) * 4; shift >= 0;
       shift -= 4) {
    out += kHex[(u.value >> shift) & 0xF];
  }
  out += '}';
}

// The first unit boundary at or after `pos` with `n` characters between.
// A byte that continues nothing is shown but not counted, as the tokenizer
// counts columns.
std::size_t skip_columns(std::string_view s, std::size_t pos, uint64_t n) {
  while (pos < s.size()) {
    if (n == 0) break;
    if (!is_continuation(static_cast<unsigned char>(s[pos]))) --n;
    pos += unit_length(s, pos);
  }
  return pos;
}

// skip_columns(s, 0, k * kColumnStride) for every k that stays in the line.
std::vector<std::size_t> index_columns(std::string_view s) {
  std::vector<std::size_t> marks;
  uint64_t counted = 0;
  for (std::size_t pos = 0;;) {
    if (counted == marks.size() * kColumnStride) marks.push_back(pos);
    if (pos >= s.size()) break;
    if (!is_continuation(static_cast<unsigned char>(s[pos]))) ++counted;
    pos += unit_length(s, pos);
  }
  return marks;
}

// The echo with the caret on the unit at byte `at`, or past the end when
// `at` is the line's size, and carets on as many of the units after it as
// start within `bytes` of it. Only the bytes that can show are decoded.
EchoedLine render(std::string_view s, std::size_t at, std::size_t bytes) {
  // The text from the finding on first: when it fills the line, no more
  // than kEchoContext columns before the finding can show.
  std::vector<Unit> tail;
  std::size_t after = 0;
  std::size_t pos = at;
  while (pos < s.size() && after <= kEchoWidth) {
    tail.push_back(unit_at(s, pos));
    after += tail.back().cost();
    pos += tail.back().length;
  }
  const std::size_t reach =
      kMaxUnitBytes * (after > kEchoWidth ? kEchoContext : kEchoWidth);
  // Every byte that is not a continuation byte starts a unit, so decoding
  // from one agrees with decoding from the line's start.
  std::size_t from = at > reach ? at - reach : 0;
  while (from < at && is_continuation(static_cast<unsigned char>(s[from]))) {
    ++from;
  }
  std::vector<Unit> units;
  std::size_t total = after;
  for (std::size_t p = from; p < at;) {
    units.push_back(unit_at(s, p));
    total += units.back().cost();
    p += units.back().length;
  }
  const std::size_t caret = units.size();
  units.insert(units.end(), tail.begin(), tail.end());
  const bool scanned_all = from == 0 && pos == s.size();
  const std::size_t n = units.size();
  const std::size_t caret_cost = caret < n ? units[caret].cost() : 1;

  std::size_t lo = 0, hi = n;
  if (!scanned_all || total + (caret < n ? 0 : 1) > kEchoWidth) {
    const std::size_t budget = kEchoWidth - 2;  // room for two "…"
    std::size_t used = caret_cost;
    lo = caret;
    hi = std::min(caret + 1, n);
    while (lo > 0 && used + units[lo - 1].cost() <= kEchoContext) {
      used += units[--lo].cost();
    }
    while (hi < n && used + units[hi].cost() <= budget) {
      used += units[hi++].cost();
    }
    // A short tail leaves its room to the text before.
    while (lo > 0 && used + units[lo - 1].cost() <= budget) {
      used += units[--lo].cost();
    }
  }
  const bool cut_before = lo > 0 || from > 0;
  const bool cut_after = hi < n || pos < s.size();

  EchoedLine echo;
  echo.text.reserve(4 * kEchoWidth);
  if (cut_before) echo.text += "\xE2\x80\xA6";  // …
  for (std::size_t i = lo; i < hi; ++i) append_unit(s, units[i], echo.text);
  if (cut_after) echo.text += "\xE2\x80\xA6";
  if (cut_before) echo.caret += ' ';
  for (std::size_t i = lo; i < caret; ++i) {
    if (units[i].tab()) {
      echo.caret += '\t';
    } else {
      echo.caret.append(units[i].width, ' ');
    }
  }
  echo.caret += '^';
  // The rest of the range on this line and in view, column for column.
  const auto columns = [](const Unit& u) {
    return u.tab() ? std::size_t{1} : u.width;
  };
  for (std::size_t i = caret + 1; i < hi && units[i].begin < at + bytes;
       ++i) {
    echo.caret.append(columns(units[i]), '^');
  }
  return echo;
}

}  // namespace

EchoedLine echo_line(std::string_view line, uint64_t column,
                     std::size_t bytes) {
  return render(line, skip_columns(line, 0, column > 0 ? column - 1 : 0),
                bytes);
}

SourceView::SourceView(std::string_view text) : text_(text) {
  starts_.push_back(0);
  for (std::size_t nl = text.find('\n'); nl != std::string_view::npos;
       nl = text.find('\n', nl + 1)) {
    starts_.push_back(nl + 1);
  }
}

std::string_view SourceView::line(uint64_t line) const {
  if (line == 0 || line > starts_.size()) return {};
  const std::size_t begin = starts_[line - 1];
  const std::size_t end =
      line < starts_.size() ? starts_[line] - 1 : text_.size();
  std::string_view s = text_.substr(begin, end - begin);
  if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
  return s;
}

EchoedLine SourceView::echo(uint64_t line_number, uint64_t column,
                            std::size_t bytes) {
  const std::string_view s = line(line_number);
  const uint64_t skip = column > 0 ? column - 1 : 0;
  if (s.size() <= kIndexedLineBytes) {
    return render(s, skip_columns(s, 0, skip), bytes);
  }
  auto [it, fresh] = columns_.try_emplace(line_number);
  if (fresh) it->second = index_columns(s);
  const std::vector<std::size_t>& marks = it->second;
  const uint64_t k = skip / kColumnStride;
  const std::size_t at =
      k < marks.size() ? skip_columns(s, marks[k], skip % kColumnStride)
                       : s.size();
  return render(s, at, bytes);
}

}  // namespace qel::display

namespace qel {

using display::append_unit;
using display::sequence_length;
using display::Unit;
using display::unit_at;

void append_printable(std::string_view text, std::string& out) {
  for (std::size_t pos = 0; pos < text.size();) {
    const Unit u = unit_at(text, pos);
    append_unit(text, u, out);
    pos += u.length;
  }
}

std::string shown_path(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  append_printable(path, out);
  return out;
}

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t n = sequence_length(text, pos);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++pos;
    } else {
      out.append(text.substr(pos, n));
      pos += n;
    }
  }
  return out;
}

}  // namespace qel
