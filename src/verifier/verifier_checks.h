// The verifier's individual checks, shared by the driver and its tests.
#ifndef QEL_VERIFIER_VERIFIER_CHECKS_H_
#define QEL_VERIFIER_VERIFIER_CHECKS_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qel/interrupt.h"
#include "qel/syntax_tree.h"
#include "qel/span.h"
#include "qel/verifier.h"

namespace qel::detail {

// ---- Types and defaults --------------------------------------------------

// The short name used in type messages: primitives by name, Array<T>,
// Map<K, V>, and just "Object" / "Enum" without their contents.
std::string type_expr_name(const syntax::Type& type);
void append_type_expr_name(std::string& out, const syntax::Type& type);

// Whether a written default fits a declared type.
bool default_matches_type(const syntax::Type& type,
                          const syntax::Literal& literal);

// "String", "Integer", "Float", "Boolean", "Array": the outermost kind only.
const char* literal_kind_name(const syntax::Literal& literal);

// Appends one Type error when the default does not fit.
void verify_default_matches_type(std::string_view name,
                                 const syntax::Type& type,
                                 const syntax::Literal& literal,
                                 VerificationResult& result);

// Appends a Type error for every problem inside `type`, nested types
// included, in source order (a map's own key finding after its children).
// Keeps its work stack between calls so that checking many fields does not
// allocate per field.
class TypeChecker {
 public:
  void check(const syntax::Type& type, VerificationResult& result);

 private:
  struct Frame {
    explicit Frame(const syntax::Type& t) : type(t) {}
    syntax::Type type;
    int stage = 0;
    uint32_t next = 0;   // an object's next field node
    std::size_t index = 0;  // and its place among the fields
    // For objects with many fields: which names repeat an earlier one.
    std::vector<bool> repeated;
  };
  std::vector<Frame> stack_;
};

// ---- Determinism ----------------------------------------------------------

struct DeterminismPattern {
  std::string_view pattern;      // as shown in messages
  std::string_view description;
};

inline constexpr std::size_t kDeterminismPatternCount = 20;

// The words that betray randomness, wall-clock time, I/O or hash order; the
// order of the rows is the order of the findings.
extern const std::array<DeterminismPattern, kDeterminismPatternCount>
    kDeterminismPatterns;

// A matcher for all rows at once: one pass over the text, whatever the
// number of rows, with ASCII case folding done on the fly.
class DeterminismTable {
 public:
  DeterminismTable();

  // Bit i is set when row i occurs in the lowercased text.
  uint32_t scan(std::string_view text) const;

 private:
  static constexpr int kAlphabet = 128;  // patterns are ASCII

  // Upper-case letters step like their lower-case forms, so the scan
  // lowercases ASCII for free. A few hundred states fit in a byte, which
  // keeps the whole table in the first-level cache.
  uint8_t step(uint8_t state, unsigned char c) const {
    return next_[static_cast<std::size_t>(state) * kAlphabet + c];
  }

  // Whether `text` may hold a row: false when it holds none of the rows'
  // chosen trigrams (below). A handful of independent operations per
  // byte, where the automaton waits for each step's lookup.
  bool may_match(std::string_view text) const;

  std::vector<uint8_t> next_;      // complete transition function
  std::vector<uint32_t> matches_;  // rows ending at each state
  // One trigram of each row, by the low five bits of its bytes (which
  // folds ASCII case): 2^15 bits. Other texts share these bits too, which
  // costs a full scan, never a miss.
  std::array<uint64_t, (1u << 15) / 64> trigrams_{};
};

// The table every scan uses; built once, never modified.
const DeterminismTable& determinism_table();

// Appends one Determinism error per row set in `found` (a scan result),
// in row order.
void report_nondeterminism(uint32_t found, std::string_view context,
                           const Span& span, VerificationResult& result);

// Appends one Determinism error per matching row, in row order.
void check_string_for_nondeterminism(std::string_view text,
                                     std::string_view context,
                                     const Span& span,
                                     const DeterminismTable& table,
                                     VerificationResult& result);

// ---- Identifiers ------------------------------------------------------------

bool is_stop_word(std::string_view word);

// Calls `visit` with every identifier-like word of `text`, in order,
// duplicates kept, stop words dropped. Words are views into `text`.
// Per byte: 2 = starts a word (ASCII letter, underscore), 1 = only
// continues one (ASCII digit), 0 = neither (everything else, non-ASCII
// bytes included).
struct WordClasses {
  uint8_t of[256] = {};
  constexpr WordClasses() {
    for (int c = 'a'; c <= 'z'; ++c) of[c] = 2;
    for (int c = 'A'; c <= 'Z'; ++c) of[c] = 2;
    of[static_cast<unsigned char>('_')] = 2;
    for (int c = '0'; c <= '9'; ++c) of[c] = 1;
  }
};
inline constexpr WordClasses kWordClasses{};

template <typename Visit>
void for_each_identifier(std::string_view text, Visit&& visit) {
  const auto cls = [&](std::size_t i) {
    return kWordClasses.of[static_cast<unsigned char>(text[i])];
  };
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (cls(i) != 2) {
      ++i;
      continue;
    }
    const std::size_t begin = i++;
    while (i < n && cls(i) != 0) ++i;
    const std::string_view word = text.substr(begin, i - begin);
    if (!is_stop_word(word)) visit(word);
  }
}

std::vector<std::string> extract_identifiers(std::string_view text);

// ---- Name sets -------------------------------------------------------------

// Texts in a hash set, for membership tests and for finding repetitions:
// as a rule one hash and one comparison per question, where an ordered
// search takes a dozen steps through memory the cache does not hold. The
// hash is seeded afresh for every set, so no text can be made to collide
// on purpose; the answers never depend on it.
class TextSet {
 public:
  // `poll`, when given, is asked while the texts are added; once it has
  // said stop (poll->stopped()) the set is not to be used.
  explicit TextSet(const std::vector<std::string_view>& texts,
                   InterruptPoll* poll = nullptr);

  bool empty() const { return texts_.empty(); }
  bool contains(std::string_view text) const;
  // For each text in the order given, whether an earlier one is equal.
  const std::vector<bool>& repetitions() const { return repeated_; }

 private:
  uint64_t hash(std::string_view text) const;
  // The slot holding `text`, or the free slot where it would go.
  std::size_t find(std::string_view text, uint64_t h) const;

  std::vector<std::string_view> texts_;
  uint64_t seed_;
  // High 32 bits: the top of the text's hash; low 32: 1 + its index in
  // texts_ (0: a free slot). Twice as many slots as texts, at least.
  std::vector<uint64_t> slots_;
  std::vector<bool> repeated_;
};

// For each text, whether an earlier one in the list is equal (byte-wise).
std::vector<bool> repetitions(const std::vector<std::string_view>& texts,
                              InterruptPoll* poll = nullptr);

}  // namespace qel::detail

#endif  // QEL_VERIFIER_VERIFIER_CHECKS_H_
