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

// How common a byte is in condition texts, roughly: letters by their
// frequency in English, everything else rare. Used to pick the trigram of
// each row that ordinary texts hold least often.
int commonness(unsigned char c) {
  constexpr std::string_view kByFrequency = "etaoinshrdlcumwfgypbvkjxqz";
  const std::size_t rank = kByFrequency.find(static_cast<char>(c));
  return rank == std::string_view::npos ? 0 : static_cast<int>(26 - rank);
}

uint32_t trigram_bits(unsigned char a, unsigned char b, unsigned char c) {
  return ((a & 31u) << 10) | ((b & 31u) << 5) | (c & 31u);
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
  for (const DeterminismPattern& row : kDeterminismPatterns) {
    const std::string_view p = row.pattern;
    assert(p.size() >= 3);
    std::size_t best = 0;
    int best_score = 1 << 30;
    for (std::size_t i = 0; i + 3 <= p.size(); ++i) {
      int score = 0;
      for (std::size_t k = i; k < i + 3; ++k) {
        score += commonness(ascii_lower(static_cast<unsigned char>(p[k])));
      }
      if (score < best_score) best = i, best_score = score;
    }
    const uint32_t t = trigram_bits(static_cast<unsigned char>(p[best]),
                                    static_cast<unsigned char>(p[best + 1]),
                                    static_cast<unsigned char>(p[best + 2]));
    trigrams_[t / 64] |= uint64_t{1} << (t % 64);
  }

  // Fold ASCII case into the table: an upper-case letter steps exactly as
  // its lower-case form (no pattern holds an upper-case letter once
  // lowercased, so these slots carry nothing of their own).
  for (std::size_t state = 0; state < count; ++state) {
    uint8_t* row = &next_[state * kAlphabet];
    for (int c = 'A'; c <= 'Z'; ++c) row[c] = row[c + 32];
  }
}

bool DeterminismTable::may_match(std::string_view text) const {
  const char* const p = text.data();
  const std::size_t n = text.size();
  // Non-ASCII characters may lowercase to a row's letters: the full scan
  // decides.
  std::size_t i = 0;
  for (; n - i >= 8; i += 8) {
    if (has_non_ascii(load_word(p + i))) return true;
  }
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(p[i]) >= 0x80) return true;
  }
  const auto hit = [&](std::size_t at) -> uint64_t {
    const uint32_t t = trigram_bits(static_cast<unsigned char>(p[at]),
                                    static_cast<unsigned char>(p[at + 1]),
                                    static_cast<unsigned char>(p[at + 2]));
    return trigrams_[t / 64] >> (t % 64);
  };
  // Every window on its own, four to a test: no step waits for another.
  std::size_t at = 0;
  for (; at + 6 <= n; at += 4) {
    if ((hit(at) | hit(at + 1) | hit(at + 2) | hit(at + 3)) & 1) return true;
  }
  for (; at + 3 <= n; ++at) {
    if (hit(at) & 1) return true;
  }
  return false;
}

// Lowercasing maps every non-ASCII character to non-ASCII characters except
// two: KELVIN SIGN (U+212A) becomes "k", and LATIN CAPITAL LETTER I WITH DOT
// ABOVE (U+0130) becomes "i" followed by COMBINING DOT ABOVE. Every other
// non-ASCII character therefore only separates: no pattern can match across
// it, so it sends the automaton back to its start.
uint32_t DeterminismTable::scan(std::string_view text) const {
  if (!may_match(text)) return 0;
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
