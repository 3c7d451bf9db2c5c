// Rendering a syntax tree as canonical text, in its current order.
#ifndef QEL_CANONICAL_CANONICAL_WRITER_H_
#define QEL_CANONICAL_CANONICAL_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qel/ast.h"

namespace qel::detail {

// Length of the hash value: 32 digest bytes as hex.
inline constexpr size_t kHashTextLength = 64;

// Which text the identity's semantic_hash line carries.
enum class HashLine {
  kFromTree,  // the tree's own value
  kZeros,     // 64 "0" digits: the form the hash is computed over
};

// Appends canonical text to one growing buffer. Nested types and literals
// are written with an explicit stack instead of recursion, so no tree,
// however deep, can exhaust the call stack; the writer keeps that stack
// between calls to avoid reallocating it.
class CanonicalWriter {
 public:
  explicit CanonicalWriter(std::string& out) : out_(out) {}
  CanonicalWriter(const CanonicalWriter&) = delete;
  CanonicalWriter& operator=(const CanonicalWriter&) = delete;

  // The whole contract, and the Extensions block when present. Returns the
  // offset in the buffer of the first character of the semantic_hash value.
  size_t write_contract(const ContractNode& tree, HashLine hash);

  // A text between quotation marks; a backslash and a quotation mark inside
  // it are escaped as the contract language reads them back (\\ and \"),
  // every other character is written as it is.
  void write_quoted(std::string_view text);

  // `indent` spaces, "name: ", the integer, ",".
  void write_field_int(int indent, std::string_view name, int64_t value);
  // "    confidence_level: ", the number, ",".
  void write_field_float(double value);
  // ["a", "b"] or [].
  void serialize_string_list(const std::vector<SpannedText>& texts);
  void serialize_literal_value(const LiteralValue& literal);
  void serialize_type_expression(const TypeExpression& type);

 private:
  // One pending piece of output while nested types and literals are walked.
  struct Step {
    enum class Kind { kType, kLiteral, kObjectField, kText };
    Kind kind;
    const void* node;       // TypeExpression, LiteralValue or StateFieldNode
    std::string_view text;  // kText
  };

  void write_line(std::string_view text);
  void write_state_field(int indent, const StateFieldNode& field);
  void write_type_step(const TypeExpression& type);
  void write_literal_step(const LiteralValue& literal);
  void write_object_field_step(const StateFieldNode& field);
  // Writes whatever the stack holds until it is empty.
  void drain();
  void push_text(std::string_view text) {
    stack_.push_back(Step{Step::Kind::kText, nullptr, text});
  }
  void push_type(const TypeExpression* type) {
    stack_.push_back(Step{Step::Kind::kType, type, {}});
  }
  void push_literal(const LiteralValue* literal) {
    stack_.push_back(Step{Step::Kind::kLiteral, literal, {}});
  }

  std::string& out_;
  std::vector<Step> stack_;
};

// A cheap guess at the canonical text's length, for reserving the buffer.
size_t estimate_canonical_size(const ContractNode& tree);

}  // namespace qel::detail

#endif  // QEL_CANONICAL_CANONICAL_WRITER_H_
