#include "unified_diff.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qel::cli {
namespace {

constexpr int kContext = 3;

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

enum class Op : uint8_t { kKeep, kDelete, kInsert };

// Past this many edits the shortest script is not searched for: the changed
// middle is replaced whole, which keeps time and memory bounded.
constexpr int kMaxEditDistance = 2048;

// Shortest edit script between a[lo_a, hi_a) and b[lo_b, hi_b) by the greedy
// O((N+M)D) algorithm; each step keeps only its own 2d+1 diagonals.
void middle_script(const std::vector<std::string_view>& a, int lo_a, int hi_a,
                   const std::vector<std::string_view>& b, int lo_b, int hi_b,
                   std::vector<Op>& ops) {
  const int n = hi_a - lo_a;
  const int m = hi_b - lo_b;
  const int max = std::min(n + m, kMaxEditDistance);
  std::vector<int> v(2 * max + 3, 0);
  const int offset = max + 1;
  std::vector<std::vector<int>> trace;  // trace[d][k + d] = v[k] before step d
  int final_d = -1;
  for (int d = 0; d <= max && final_d < 0; ++d) {
    trace.emplace_back(v.begin() + offset - d, v.begin() + offset + d + 1);
    for (int k = -d; k <= d; k += 2) {
      int x = (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1]))
                  ? v[offset + k + 1]
                  : v[offset + k - 1] + 1;
      int y = x - k;
      while (x < n && y < m && a[lo_a + x] == b[lo_b + y]) {
        ++x;
        ++y;
      }
      v[offset + k] = x;
      if (x >= n && y >= m) {
        final_d = d;
        break;
      }
    }
  }
  if (final_d < 0) {
    ops.insert(ops.end(), static_cast<size_t>(n), Op::kDelete);
    ops.insert(ops.end(), static_cast<size_t>(m), Op::kInsert);
    return;
  }
  std::vector<Op> rev;
  int x = n;
  int y = m;
  for (int d = final_d; d > 0; --d) {
    const std::vector<int>& vd = trace[d];  // v of step d-1, diagonals -d..d
    auto at = [&](int k) { return (k < -(d - 1) || k > d - 1) ? 0 : vd[k + d]; };
    const int k = x - y;
    const int prev_k =
        (k == -d || (k != d && at(k - 1) < at(k + 1))) ? k + 1 : k - 1;
    const int prev_x = at(prev_k);
    const int prev_y = prev_x - prev_k;
    const int step_x = prev_k == k + 1 ? prev_x : prev_x + 1;
    while (x > step_x && y > step_x - k) {
      rev.push_back(Op::kKeep);
      --x;
      --y;
    }
    rev.push_back(prev_k == k + 1 ? Op::kInsert : Op::kDelete);
    x = prev_x;
    y = prev_y;
  }
  while (x > 0 && y > 0) {
    rev.push_back(Op::kKeep);
    --x;
    --y;
  }
  ops.insert(ops.end(), rev.rbegin(), rev.rend());
}

std::vector<Op> edit_script(const std::vector<std::string_view>& a,
                            const std::vector<std::string_view>& b) {
  const int n = static_cast<int>(a.size());
  const int m = static_cast<int>(b.size());
  int prefix = 0;
  while (prefix < n && prefix < m && a[prefix] == b[prefix]) ++prefix;
  int suffix = 0;
  while (suffix < n - prefix && suffix < m - prefix &&
         a[n - 1 - suffix] == b[m - 1 - suffix]) {
    ++suffix;
  }
  std::vector<Op> ops(static_cast<size_t>(prefix), Op::kKeep);
  middle_script(a, prefix, n - suffix, b, prefix, m - suffix, ops);
  ops.insert(ops.end(), static_cast<size_t>(suffix), Op::kKeep);
  return ops;
}

void append_line(std::string& out, char mark, std::string_view line) {
  out += mark;
  out.append(line);
  if (line.empty() || line.back() != '\n') {
    out += "\n\\ No newline at end of file\n";
  }
}

std::string range(int start, int count) {
  // A hunk that is empty on one side names the line before it.
  std::string out = std::to_string(count == 0 ? start : start + 1);
  if (count != 1) {
    out += ',';
    out += std::to_string(count);
  }
  return out;
}

}  // namespace

std::string unified_diff(std::string_view before, std::string_view after,
                         std::string_view before_name,
                         std::string_view after_name) {
  if (before == after) return {};
  const std::vector<std::string_view> a = split_lines(before);
  const std::vector<std::string_view> b = split_lines(after);
  const std::vector<Op> ops = edit_script(a, b);

  std::string out;
  out.append("--- ").append(before_name).append("\n");
  out.append("+++ ").append(after_name).append("\n");

  // Group changes into hunks with kContext lines of context on each side.
  size_t i = 0;
  int ai = 0, bi = 0;  // line index in a and b at ops[i]
  while (i < ops.size()) {
    if (ops[i] == Op::kKeep) {
      ++i;
      ++ai;
      ++bi;
      continue;
    }
    // Start a hunk kContext lines back.
    size_t start = i;
    int back = 0;
    while (start > 0 && back < kContext && ops[start - 1] == Op::kKeep) {
      --start;
      ++back;
    }
    int a_start = ai - back, b_start = bi - back;
    size_t end = i;
    int a_pos = ai, b_pos = bi;
    // Extend while the next change is within 2*kContext unchanged lines.
    while (end < ops.size()) {
      if (ops[end] != Op::kKeep) {
        if (ops[end] == Op::kDelete) ++a_pos; else ++b_pos;
        ++end;
        continue;
      }
      size_t run = end;
      while (run < ops.size() && ops[run] == Op::kKeep) ++run;
      const size_t keep = run - end;
      if (run < ops.size() && keep <= 2 * kContext) {
        a_pos += static_cast<int>(keep);
        b_pos += static_cast<int>(keep);
        end = run;
        continue;
      }
      const size_t tail = std::min<size_t>(keep, kContext);
      a_pos += static_cast<int>(tail);
      b_pos += static_cast<int>(tail);
      end += tail;
      break;
    }
    out.append("@@ -").append(range(a_start, a_pos - a_start));
    out.append(" +").append(range(b_start, b_pos - b_start)).append(" @@\n");
    int x = a_start, y = b_start;
    for (size_t j = start; j < end; ++j) {
      switch (ops[j]) {
        case Op::kKeep: append_line(out, ' ', a[x++]); ++y; break;
        case Op::kDelete: append_line(out, '-', a[x++]); break;
        case Op::kInsert: append_line(out, '+', b[y++]); break;
      }
    }
    i = end;
    ai = a_pos;
    bi = b_pos;
  }
  return out;
}

}  // namespace qel::cli
