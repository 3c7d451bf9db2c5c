// Scans free texts for words that betray nondeterminism. The match is a
// case-insensitive substring search under the Unicode default lowercase
// mapping; every pattern is ASCII, which keeps the folding cheap (below).
#include <cassert>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "util/swar.h"
#include "qel/rules.h"
#include "verifier/verifier_checks.h"

namespace qel::detail {

const std::array<DeterminismPattern, kDeterminismPatternCount>
    kDeterminismPatterns = {{
        {"random", "randomness usage"},
        {"rand(", "random function call"},
        {"Math.random", "random function call"},
        {"uuid_generate", "runtime UUID generation"},
        {"generate_id", "runtime ID generation"},
        {"now()", "system time access"},
        {"current_time", "system time access"},
        {"system_time", "system time access"},
        {"Date.now", "system time access"},
        {"time.time", "system time access"},
        {"Instant::now", "system time access"},
        {"fetch(", "external I/O"},
        {"http_request", "external I/O"},
        {"read_file", "external I/O"},
        {"write_file", "external I/O"},
        {"network_call", "external I/O"},
        {"socket", "external I/O"},
        {"HashMap", "non-deterministic hash iteration"},
        {"HashSet", "non-deterministic hash iteration"},
        {"dict_keys", "non-deterministic hash iteration"},
    }};

namespace {

constexpr unsigned char ascii_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

}  // namespace

// Aho–Corasick over the lowercased patterns, completed into a full
// transition table so that the scan does one lookup per character.
DeterminismTable::DeterminismTable() {
  static_assert(kDeterminismPatternCount <= 32, "row mask is 32 bits");
  std::vector<std::vector<int>> children;  // trie edges, -1 = none
  const auto new_state = [&] {
    children.emplace_back(kAlphabet, -1);
    matches_.push_back(0);
    return static_cast<int>(children.size() - 1);
  };
  new_state();  // the root
  for (std::size_t row = 0; row < kDeterminismPatterns.size(); ++row) {
    int state = 0;
    for (char ch : kDeterminismPatterns[row].pattern) {
      const unsigned char c = ascii_lower(static_cast<unsigned char>(ch));
      assert(c < kAlphabet);
      if (children[state][c] < 0) {
        const int created = new_state();
        children[state][c] = created;
      }
      state = children[state][c];
    }
    matches_[state] |= uint32_t{1} << row;
  }
  const std::size_t count = children.size();
  assert(count <= 256);

  // Breadth-first: a state's failure link is settled before its children.
  next_.assign(count * kAlphabet, 0);
  std::vector<int> fail(count, 0);
  std::vector<int> queue;
  queue.reserve(count);
  for (int c = 0; c < kAlphabet; ++c) {
    const int child = children[0][c];
    if (child > 0) {
      next_[c] = static_cast<uint8_t>(child);
      queue.push_back(child);
    }
  }
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const int state = queue[head];
    matches_[state] |= matches_[fail[state]];
    for (int c = 0; c < kAlphabet; ++c) {
      const int child = children[state][c];
      const std::size_t slot = static_cast<std::size_t>(state) * kAlphabet + c;
      const uint8_t fallback =
          step(static_cast<uint8_t>(fail[state]), static_cast<unsigned char>(c));
      if (child > 0) {
        fail[child] = fallback;
        next_[slot] = static_cast<uint8_t>(child);
        queue.push_back(child);
      } else {
        next_[slot] = fallback;
      }
    }
  }
  // Fold ASCII case into the table: an upper-case letter steps exactly as
  // its lower-case form (no pattern holds an upper-case letter once
  // lowercased, so these slots carry nothing of their own).
  for (std::size_t state = 0; state < count; ++state) {
    uint8_t* row = &next_[state * kAlphabet];
    for (int c = 'A'; c <= 'Z'; ++c) row[c] = row[c + 32];
  }
}

// Lowercasing maps every non-ASCII character to non-ASCII characters except
// two: KELVIN SIGN (U+212A) becomes "k", and LATIN CAPITAL LETTER I WITH DOT
// ABOVE (U+0130) becomes "i" followed by COMBINING DOT ABOVE. Every other
// non-ASCII character therefore only separates: no pattern can match across
// it, so it sends the automaton back to its start.
uint32_t DeterminismTable::scan(std::string_view text) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  uint32_t found = 0;
  uint8_t state = 0;
  while (p < end) {
    // Runs of eight ASCII bytes, the common case, without per-byte tests.
    if (end - p >= 8) {
      if (!has_non_ascii(load_word(reinterpret_cast<const char*>(p)))) {
        for (int i = 0; i < 8; ++i) {
          state = step(state, p[i]);
          found |= matches_[state];
        }
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      state = step(state, c);
      found |= matches_[state];
      ++p;
    } else if (c == 0xE2 && end - p >= 3 && p[1] == 0x84 && p[2] == 0xAA) {
      state = step(state, 'k');
      found |= matches_[state];
      p += 3;
    } else if (c == 0xC4 && end - p >= 2 && p[1] == 0xB0) {
      state = step(state, 'i');
      found |= matches_[state];
      state = 0;  // the combining dot that follows the "i"
      p += 2;
    } else {
      state = 0;
      ++p;
    }
  }
  return found;
}

const DeterminismTable& determinism_table() {
  static const DeterminismTable table;
  return table;
}

void check_string_for_nondeterminism(std::string_view text,
                                     std::string_view context,
                                     const Span& span,
                                     const DeterminismTable& table,
                                     VerificationResult& result) {
  report_nondeterminism(table.scan(text), context, span, result);
}

void report_nondeterminism(uint32_t found, std::string_view context,
                           const Span& span, VerificationResult& result) {
  for (std::size_t row = 0; row < kDeterminismPatterns.size(); ++row) {
    if ((found & (uint32_t{1} << row)) == 0) continue;
    const DeterminismPattern& p = kDeterminismPatterns[row];
    std::string message;
    message.reserve(p.description.size() + context.size() +
                    p.pattern.size() + 40);
    message += p.description;
    message += " detected in ";
    message += context;
    message += ": text contains '";
    message += p.pattern;
    message += '\'';
    Diagnostic d{Severity::kError, DiagnosticKind::kDeterminism,
                 std::move(message), span};
    d.code = rule::kNondeterminism;
    result.add(std::move(d));
  }
}

}  // namespace qel::detail
