// The verifier's individual checks, shared by the driver and its tests.
#ifndef QEL_VERIFIER_CHECKS_H_
#define QEL_VERIFIER_CHECKS_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qel/ast.h"
#include "qel/span.h"
#include "qel/verifier.h"

namespace qel::detail {

// ---- Types and defaults --------------------------------------------------

// The short name used in type messages: primitives by name, Array<T>,
// Map<K, V>, and just "Object" / "Enum" without their contents.
std::string type_expr_name(const TypeExpression& type);
void append_type_expr_name(std::string& out, const TypeExpression& type);

// Whether a written default fits a declared type.
bool default_matches_type(const TypeExpression& type,
                          const LiteralValue& literal);

// "String", "Integer", "Float", "Boolean", "Array": the outermost kind only.
const char* literal_kind_name(const LiteralValue& literal);

// Appends one Type error when the default does not fit.
void verify_default_matches_type(std::string_view name,
                                 const TypeExpression& type,
                                 const LiteralValue& literal,
                                 VerificationResult& result);

// Appends a Type error for every problem inside `type`, nested types
// included, in source order (a map's own key finding after its children).
void verify_type_expression(const TypeExpression& type,
                            VerificationResult& result);

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

  uint16_t step(uint16_t state, unsigned char c) const {
    return next_[static_cast<std::size_t>(state) * kAlphabet + c];
  }

  std::vector<uint16_t> next_;     // complete transition function
  std::vector<uint32_t> matches_;  // rows ending at each state
};

// The table every scan uses; built once, never modified.
const DeterminismTable& determinism_table();

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
template <typename Visit>
void for_each_identifier(std::string_view text, Visit&& visit) {
  const auto starts_word = [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  const auto continues_word = [&](unsigned char c) {
    return starts_word(c) || (c >= '0' && c <= '9');
  };
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (!starts_word(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    const std::size_t begin = i++;
    while (i < n && continues_word(static_cast<unsigned char>(text[i]))) ++i;
    const std::string_view word = text.substr(begin, i - begin);
    if (!is_stop_word(word)) visit(word);
  }
}

std::vector<std::string> extract_identifiers(std::string_view text);

}  // namespace qel::detail

#endif  // QEL_VERIFIER_CHECKS_H_
