// The edits that turn a document into a new text: the runs of lines that
// differ, found by a shortest line diff, so that an editor keeps its marks,
// folds and cursor everywhere else.
#include <algorithm>
#include <string_view>
#include <vector>

#include "lsp/features.h"

namespace qel::cli::lsp {

namespace {

// Lines with their line feed; the last may have none.
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> out;
  size_t p = 0;
  while (p < text.size()) {
    const size_t lf = text.find('\n', p);
    const size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    out.push_back(text.substr(p, end - p));
    p = end;
  }
  return out;
}

// Past this many differing lines the diff's cost is not worth it: the
// changed middle becomes one edit.
constexpr int kMaxDistance = 1000;

// For each line of `a`, whether it is kept, by a shortest edit script
// (Myers); false when the texts differ by more than kMaxDistance lines.
bool keep_lines(const std::vector<std::string_view>& a,
                const std::vector<std::string_view>& b, std::vector<bool>& kept_a,
                std::vector<bool>& kept_b) {
  const int n = static_cast<int>(a.size());
  const int m = static_cast<int>(b.size());
  const int max = std::min(n + m, kMaxDistance);
  const int offset = max + 1;
  std::vector<int> v(2 * static_cast<size_t>(max) + 3, 0);
  std::vector<std::vector<int>> trace;
  int found = -1;
  for (int d = 0; d <= max && found < 0; ++d) {
    trace.push_back(v);
    for (int k = -d; k <= d; k += 2) {
      int x = (k == -d || (k != d && v[k - 1 + offset] < v[k + 1 + offset]))
                  ? v[k + 1 + offset]
                  : v[k - 1 + offset] + 1;
      int y = x - k;
      while (x < n && y < m && a[x] == b[y]) ++x, ++y;
      v[k + offset] = x;
      if (x >= n && y >= m) {
        found = d;
        break;
      }
    }
  }
  if (found < 0) return false;
  kept_a.assign(a.size(), false);
  kept_b.assign(b.size(), false);
  int x = n;
  int y = m;
  for (int d = found; d > 0; --d) {
    const std::vector<int>& pv = trace[static_cast<size_t>(d)];
    const int k = x - y;
    const bool down =
        k == -d || (k != d && pv[k - 1 + offset] < pv[k + 1 + offset]);
    const int pk = down ? k + 1 : k - 1;
    const int px = pv[pk + offset];
    const int py = px - pk;
    while (x > (down ? px : px + 1) && y > (down ? py + 1 : py)) {
      --x, --y;
      kept_a[x] = kept_b[y] = true;
    }
    x = px;
    y = py;
  }
  while (x > 0 && y > 0) {
    --x, --y;
    kept_a[x] = kept_b[y] = true;
  }
  return true;
}

}  // namespace

json minimal_edits(const Protocol& protocol, const Document& doc,
                   std::string_view new_text) {
  const std::string_view old_text = doc.text;
  json edits = json::array();
  if (old_text == new_text) return edits;
  // The common start and end, in whole lines, cost nothing to diff.
  size_t head = 0;
  {
    const size_t limit = std::min(old_text.size(), new_text.size());
    size_t line_start = 0;
    while (head < limit && old_text[head] == new_text[head]) {
      if (old_text[head] == '\n') line_start = head + 1;
      ++head;
    }
    head = line_start;
  }
  size_t tail = 0;
  {
    const size_t limit = std::min(old_text.size(), new_text.size()) - head;
    while (tail < limit && old_text[old_text.size() - 1 - tail] ==
                               new_text[new_text.size() - 1 - tail]) {
      ++tail;
    }
    // Only whole lines: the kept end starts just after a line feed.
    while (tail > 0 && old_text[old_text.size() - tail - 1] != '\n') --tail;
  }
  const std::string_view a_mid =
      old_text.substr(head, old_text.size() - tail - head);
  const std::string_view b_mid =
      new_text.substr(head, new_text.size() - tail - head);
  const std::vector<std::string_view> a = lines_of(a_mid);
  const std::vector<std::string_view> b = lines_of(b_mid);
  std::vector<bool> kept_a;
  std::vector<bool> kept_b;
  if (!keep_lines(a, b, kept_a, kept_b)) {
    edits.push_back(protocol.text_edit(
        doc, ByteRange{head, head + a_mid.size()}, std::string(b_mid)));
    return edits;
  }
  // Each run of removed lines of the old text with the added lines that
  // stand in its place becomes one edit.
  size_t i = 0, j = 0, at_a = head, at_b = 0;
  while (i < a.size() || j < b.size()) {
    if (i < a.size() && j < b.size() && kept_a[i] && kept_b[j]) {
      at_a += a[i++].size();
      at_b += b[j++].size();
      continue;
    }
    const size_t from_a = at_a;
    const size_t from_b = at_b;
    while (i < a.size() && !kept_a[i]) at_a += a[i++].size();
    while (j < b.size() && !kept_b[j]) at_b += b[j++].size();
    edits.push_back(protocol.text_edit(
        doc, ByteRange{from_a, at_a},
        std::string(b_mid.substr(from_b, at_b - from_b))));
  }
  return edits;
}

}  // namespace qel::cli::lsp
