// The syntax tree: the text as written, every value with its span. The
// canonical form and the verifier read it; lowering turns it into the model.
#ifndef QEL_AST_H_
#define QEL_AST_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qel/span.h"

namespace qel {

enum class PrimitiveType { kInteger, kFloat, kString, kBoolean, kIso8601, kUuid };

// "Integer", "Float", "String", "Boolean", "ISO8601", "UUID".
const char* primitive_type_name(PrimitiveType type);

struct StateFieldNode;

struct TypeExpression {
  enum class Kind { kPrimitive, kArray, kMap, kObject, kEnum };

  Kind kind = Kind::kPrimitive;
  PrimitiveType primitive = PrimitiveType::kInteger;  // kPrimitive
  std::unique_ptr<TypeExpression> element;            // kArray
  std::unique_ptr<TypeExpression> key;                // kMap
  std::unique_ptr<TypeExpression> value;              // kMap
  std::vector<StateFieldNode> fields;                 // kObject
  std::vector<SpannedText> variants;                  // kEnum
  Span span;  // the type's keyword

  TypeExpression() = default;
  TypeExpression(const TypeExpression& other);  // deep copy
  TypeExpression& operator=(const TypeExpression& other);
  TypeExpression(TypeExpression&&) noexcept = default;
  TypeExpression& operator=(TypeExpression&&) noexcept = default;
  ~TypeExpression();

  // The type's text form: Integer, Array<T>, Map<K, V>,
  // Object { a: T, b: U }, Enum ["x", "y"] (variants unescaped).
  std::string text() const;
  void append_text(std::string& out) const;
};

struct LiteralValue {
  enum class Kind { kString, kInteger, kFloat, kBoolean, kArray };

  Kind kind = Kind::kString;
  std::string text;                   // kString
  int64_t integer = 0;                // kInteger
  double number = 0.0;                // kFloat
  bool boolean = false;               // kBoolean
  std::vector<LiteralValue> elements;  // kArray
  Span span;  // the literal's token; for an array, its opening bracket
};

struct StateFieldNode {
  SpannedText name;
  TypeExpression type;
  std::optional<LiteralValue> default_value;  // absent when no "=" written
  Span span;  // same as name.span
};

struct IdentityNode {
  SpannedText stable_id;
  SpannedInt version;
  SpannedText created_timestamp;
  SpannedText owner;
  SpannedText semantic_hash;
  Span span;
};

struct PurposeStatementNode {
  SpannedText narrative;
  SpannedText intent_source;
  SpannedDouble confidence_level;
  Span span;
};

struct DataSemanticsNode {
  std::vector<StateFieldNode> state;
  std::vector<SpannedText> invariants;
  Span span;
};

struct OperationNode {
  SpannedText name;
  SpannedText precondition;
  std::vector<StateFieldNode> parameters;
  SpannedText postcondition;
  std::vector<SpannedText> side_effects;
  SpannedText idempotence;
  Span span;  // the operation's opening brace
};

struct BehavioralSemanticsNode {
  std::vector<OperationNode> operations;
  Span span;
};

struct ResourceLimitsNode {
  SpannedInt max_memory_bytes;
  SpannedInt computation_timeout_ms;
  SpannedInt max_state_size_bytes;
  Span span;  // the block's opening brace
};

struct ExecutionConstraintsNode {
  std::vector<SpannedText> trigger_types;
  ResourceLimitsNode resource_limits;
  std::vector<SpannedText> external_permissions;
  SpannedText sandbox_mode;
  Span span;
};

struct HumanMachineContractNode {
  std::vector<SpannedText> system_commitments;
  std::vector<SpannedText> system_refusals;
  std::vector<SpannedText> user_obligations;
  Span span;
};

struct CustomFieldNode {
  SpannedText name;
  LiteralValue value;
  Span span;
};

struct SystemExtensionNode {
  SpannedText name;
  std::vector<CustomFieldNode> fields;
  Span span;
};

struct ExtensionsNode {
  std::vector<SystemExtensionNode> systems;
  Span span;
};

struct ContractNode {
  IdentityNode identity;
  PurposeStatementNode purpose_statement;
  DataSemanticsNode data_semantics;
  BehavioralSemanticsNode behavioral_semantics;
  ExecutionConstraintsNode execution_constraints;
  HumanMachineContractNode human_machine_contract;
  std::optional<ExtensionsNode> extensions;
  Span span;
};

}  // namespace qel

#endif  // QEL_AST_H_
