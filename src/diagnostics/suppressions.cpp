// Suppression comments: "// qel: allow L001, V404" at the end of a line
// silences those codes on that line; alone on a line, on the line below.
// Every code can be silenced this way, verifier codes included.
// A suppression that silences nothing is reported, so that stale ones do
// not pile up and hide the next real finding on their line.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "diagnostics/fixes.h"
#include "diagnostics/suppressions.h"
#include "lint/lint_checks.h"
#include "qel/rules.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

namespace {

// A // comment: its text after the two slashes, and the span of its first
// slash.
struct Comment {
  std::string_view text;
  Span span;
};

struct Suppression {
  uint64_t target_line = 0;
  std::string_view code;  // empty: the comment names no code at all
  Span span;              // the code within the comment
  uint32_t length = 0;    // of the code, or of the comment
  bool used = false;
  ByteRange comment{};  // the whole comment, slashes included
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A letter followed by letters and digits, at least one digit: the shape of
// a code, known or not. Any other word ends the list of codes, so that a
// reason may follow it: "// qel: allow L001 set by the importer".
bool looks_like_code(std::string_view word) {
  if (word.empty() || !is_letter(word[0])) return false;
  bool digit = false;
  for (char c : word) {
    if (is_digit(c)) {
      digit = true;
    } else if (!is_letter(c)) {
      return false;
    }
  }
  return digit;
}

// Whether nothing but layout precedes `at` on its line in `text`.
bool alone_on_line(std::string_view text, std::size_t at) {
  while (at > 0) {
    const char c = text[at - 1];
    if (c == '\n') return true;
    if (c != ' ' && c != '\t' && c != '\f' && c != '\r') return false;
    --at;
  }
  return true;
}

// The suppressions of one comment; nothing when it is not one.
void parse_comment(std::string_view text, const Comment& comment,
                   std::vector<Suppression>& out) {
  constexpr std::string_view kMarker = "qel:";
  constexpr std::string_view kAllow = "allow";
  const std::string_view body = comment.text;
  std::size_t i = 0;
  while (i < body.size() && is_blank(body[i])) ++i;
  if (body.substr(i, kMarker.size()) != kMarker) return;
  i += kMarker.size();
  while (i < body.size() && is_blank(body[i])) ++i;
  if (body.substr(i, kAllow.size()) != kAllow) return;
  i += kAllow.size();
  if (i < body.size() && !is_blank(body[i])) return;  // "allowed", "allow:"

  // The comment's text starts two slashes after its span; everything up to
  // a code is ASCII, so a byte count is a character count.
  const std::size_t slashes =
      static_cast<std::size_t>(body.data() - text.data()) - 2;
  const uint64_t target_line =
      comment.span.line + (alone_on_line(text, slashes) ? 1 : 0);
  const auto span_at = [&](std::size_t index) {
    Span span = comment.span;
    span.column += 2 + index;
    span.offset += 2 + index;
    span.byte += 2 + index;
    return span;
  };

  const auto comment_begin = static_cast<uint32_t>(comment.span.byte);
  const ByteRange whole{comment_begin, static_cast<uint32_t>(
                                           comment_begin + 2 + body.size())};
  bool any = false;
  for (;;) {
    while (i < body.size() && (is_blank(body[i]) || body[i] == ',')) ++i;
    std::size_t end = i;
    while (end < body.size() && (is_letter(body[end]) || is_digit(body[end]))) {
      ++end;
    }
    const std::string_view word = body.substr(i, end - i);
    if (!looks_like_code(word)) break;
    out.push_back(Suppression{target_line, word, span_at(i),
                              static_cast<uint32_t>(word.size()), false,
                              whole});
    any = true;
    i = end;
  }
  if (!any) {
    out.push_back(Suppression{target_line, {}, comment.span,
                              static_cast<uint32_t>(body.size() + 2), false,
                              whole});
  }
}

std::vector<Suppression> parse_suppressions(const SyntaxTree& tree) {
  std::vector<Suppression> out;
  for (uint32_t i = 0; i < tree.token_count(); ++i) {
    if (tree.token_kind(i) != TokenKind::kComment) continue;
    const Comment comment{tree.token_text(i).substr(2), tree.token_span(i)};
    parse_comment(tree.source(), comment, out);
  }
  return out;
}

// Suppressions by the line and code they silence.
using Index = std::multimap<std::pair<uint64_t, std::string_view>, std::size_t>;

// Keeps the findings no suppression of `index` silences; marks the ones
// that silence something as used.
std::vector<Diagnostic> silence(std::vector<Diagnostic> findings,
                                const Index& index,
                                std::vector<Suppression>& suppressions) {
  std::vector<Diagnostic> kept;
  kept.reserve(findings.size());
  for (Diagnostic& finding : findings) {
    // A finding without a place, or without a code, cannot be silenced.
    const auto [first, last] =
        finding.span ? index.equal_range({finding.span->line, finding.code})
                     : std::make_pair(index.end(), index.end());
    if (first == last) {
      kept.push_back(std::move(finding));
      continue;
    }
    for (auto it = first; it != last; ++it) {
      suppressions[it->second].used = true;
    }
  }
  return kept;
}

void report_unused(const Suppression& s, std::vector<Diagnostic>& out) {
  std::string message;
  if (s.code.empty()) {
    message = empty_suppression_message();
  } else if (find_rule(s.code) == nullptr) {
    message = unknown_suppression_code_message(s.code);
  } else {
    message = unused_suppression_message(s.code, s.target_line);
  }
  Diagnostic d = lint_finding(rule::kUnusedSuppression, std::move(message),
                              s.span);
  const auto at = static_cast<uint32_t>(s.span.byte);
  d.range = ByteRange{at, at + s.length};
  out.push_back(std::move(d));
}

// Each report's fix: without the code, the comment names only codes that
// are reported too (or none) when it goes whole; otherwise the code goes
// with the separators up to its neighbour.
void attach_fixes(std::string_view text,
                  const std::vector<Suppression>& suppressions,
                  std::vector<Diagnostic>& reports) {
  std::map<uint32_t, std::size_t> by_start;  // a report's range starts there
  for (std::size_t i = 0; i < suppressions.size(); ++i) {
    if (!suppressions[i].used) {
      by_start.emplace(static_cast<uint32_t>(suppressions[i].span.byte), i);
    }
  }
  std::vector<bool> reported(suppressions.size(), false);
  for (const Diagnostic& d : reports) {
    if (const auto it = by_start.find(d.range.begin); it != by_start.end()) {
      reported[it->second] = true;
    }
  }
  for (Diagnostic& d : reports) {
    const auto it = by_start.find(d.range.begin);
    if (it == by_start.end()) continue;
    const Suppression& s = suppressions[it->second];
    // The codes of one comment lie next to each other, in written order.
    std::size_t first = it->second, last = it->second + 1;
    while (first > 0 && suppressions[first - 1].comment == s.comment) --first;
    while (last < suppressions.size() && suppressions[last].comment == s.comment) {
      ++last;
    }
    bool alone = true;
    for (std::size_t j = first; j < last; ++j) {
      alone = alone && (j == it->second || reported[j]);
    }
    if (alone) {
      d.fixes.push_back(remove_suppression_comment_fix(text, s.comment));
      continue;
    }
    const auto begin = static_cast<uint32_t>(s.span.byte);
    ByteRange removed{begin, begin + s.length};
    if (it->second + 1 < last) {
      removed.end = static_cast<uint32_t>(suppressions[it->second + 1].span.byte);
    } else {
      const Suppression& before = suppressions[it->second - 1];
      removed.begin = static_cast<uint32_t>(before.span.byte) + before.length;
    }
    d.fixes.push_back(remove_suppression_code_fix(s.code, removed));
  }
}

}  // namespace

std::vector<Diagnostic> apply_suppressions(std::vector<Diagnostic> findings,
                                           const SyntaxTree& tree) {
  std::vector<Suppression> suppressions = parse_suppressions(tree);
  if (suppressions.empty()) return findings;

  // Suppressions of L100 apply to the reports about the other suppressions,
  // so they are settled last.
  Index ordinary;
  Index of_reports;
  for (std::size_t i = 0; i < suppressions.size(); ++i) {
    const Suppression& s = suppressions[i];
    Index& index =
        s.code == rule::kUnusedSuppression ? of_reports : ordinary;
    index.emplace(std::make_pair(s.target_line, s.code), i);
  }

  std::vector<Diagnostic> kept =
      silence(std::move(findings), ordinary, suppressions);
  std::vector<Diagnostic> reports;
  for (const Suppression& s : suppressions) {
    if (!s.used && s.code != rule::kUnusedSuppression) {
      report_unused(s, reports);
    }
  }
  reports = silence(std::move(reports), of_reports, suppressions);
  for (const Suppression& s : suppressions) {
    if (!s.used && s.code == rule::kUnusedSuppression) {
      report_unused(s, reports);
    }
  }
  attach_fixes(tree.source(), suppressions, reports);
  kept.insert(kept.end(), std::make_move_iterator(reports.begin()),
              std::make_move_iterator(reports.end()));
  return kept;
}

}  // namespace qel::detail
