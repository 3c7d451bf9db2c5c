// Hand-built syntax trees for the verifier tests: small constructors for
// types and literals, and one clean contract that yields no findings.
#ifndef QEL_TESTS_VERIFIER_TEST_TREES_H_
#define QEL_TESTS_VERIFIER_TEST_TREES_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "qel/ast.h"
#include "qel/span.h"
#include "qel/verifier.h"

namespace qel::testing_trees {

// Every node gets its own position so that a test can tell which node a
// diagnostic points at.
inline Span next_span() {
  static uint64_t counter = 0;
  ++counter;
  return Span{counter, counter % 80 + 1, counter * 7};
}

inline SpannedText text(std::string value) {
  return SpannedText{std::move(value), next_span()};
}

inline TypeExpression prim(PrimitiveType kind) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kPrimitive;
  t.primitive = kind;
  t.span = next_span();
  return t;
}

inline TypeExpression array_of(TypeExpression element) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kArray;
  t.element = std::make_unique<TypeExpression>(std::move(element));
  t.span = next_span();
  return t;
}

inline TypeExpression map_of(TypeExpression key, TypeExpression value) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kMap;
  t.key = std::make_unique<TypeExpression>(std::move(key));
  t.value = std::make_unique<TypeExpression>(std::move(value));
  t.span = next_span();
  return t;
}

inline StateFieldNode field(std::string name, TypeExpression type,
                            std::optional<LiteralValue> def = std::nullopt) {
  StateFieldNode f;
  f.name = text(std::move(name));
  f.span = f.name.span;
  f.type = std::move(type);
  f.default_value = std::move(def);
  return f;
}

inline TypeExpression object_of(std::vector<StateFieldNode> fields) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kObject;
  t.fields = std::move(fields);
  t.span = next_span();
  return t;
}

inline TypeExpression enum_of(const std::vector<std::string>& variants) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kEnum;
  for (const std::string& v : variants) t.variants.push_back(text(v));
  t.span = next_span();
  return t;
}

inline LiteralValue str_lit(std::string value) {
  LiteralValue l;
  l.kind = LiteralValue::Kind::kString;
  l.text = std::move(value);
  l.span = next_span();
  return l;
}

inline LiteralValue int_lit(int64_t value) {
  LiteralValue l;
  l.kind = LiteralValue::Kind::kInteger;
  l.integer = value;
  l.span = next_span();
  return l;
}

inline LiteralValue float_lit(double value) {
  LiteralValue l;
  l.kind = LiteralValue::Kind::kFloat;
  l.number = value;
  l.span = next_span();
  return l;
}

inline LiteralValue bool_lit(bool value) {
  LiteralValue l;
  l.kind = LiteralValue::Kind::kBoolean;
  l.boolean = value;
  l.span = next_span();
  return l;
}

inline LiteralValue array_lit(std::vector<LiteralValue> elements) {
  LiteralValue l;
  l.kind = LiteralValue::Kind::kArray;
  l.elements = std::move(elements);
  l.span = next_span();
  return l;
}

inline OperationNode operation(std::string name, std::string pre,
                               std::string post,
                               std::vector<StateFieldNode> parameters = {},
                               std::vector<std::string> effects = {},
                               std::string idempotence = "idempotent") {
  OperationNode op;
  op.span = next_span();
  op.name = text(std::move(name));
  op.precondition = text(std::move(pre));
  op.parameters = std::move(parameters);
  op.postcondition = text(std::move(post));
  for (std::string& e : effects) op.side_effects.push_back(text(std::move(e)));
  op.idempotence = text(std::move(idempotence));
  return op;
}

inline SpannedInt int_value(int64_t value) {
  return SpannedInt{value, next_span()};
}

// A contract about which the verifier has nothing to say.
inline ContractNode clean_contract() {
  ContractNode c;
  c.span = next_span();
  c.identity.span = next_span();
  c.identity.stable_id = text("payment-ledger");
  c.identity.version = int_value(3);
  c.identity.created_timestamp = text("2024-01-15T10:30:00Z");
  c.identity.owner = text("treasury");
  c.identity.semantic_hash = text("00ff");
  c.purpose_statement.span = next_span();
  c.purpose_statement.narrative = text("Keeps a balance");
  c.purpose_statement.intent_source = text("finance team");
  c.purpose_statement.confidence_level = SpannedDouble{0.9, next_span()};
  c.data_semantics.span = next_span();
  c.data_semantics.state.push_back(
      field("balance", prim(PrimitiveType::kInteger), int_lit(0)));
  c.data_semantics.state.push_back(
      field("owner_id", prim(PrimitiveType::kString)));
  c.data_semantics.invariants.push_back(text("balance >= 0"));
  c.behavioral_semantics.span = next_span();
  std::vector<StateFieldNode> params;
  params.push_back(field("amount", prim(PrimitiveType::kInteger)));
  c.behavioral_semantics.operations.push_back(
      operation("deposit", "amount > 0", "balance == balance + amount",
                std::move(params), {"balance updated"}, "not idempotent"));
  c.execution_constraints.span = next_span();
  c.execution_constraints.trigger_types.push_back(text("manual"));
  c.execution_constraints.resource_limits.span = next_span();
  c.execution_constraints.resource_limits.max_memory_bytes = int_value(1024);
  c.execution_constraints.resource_limits.computation_timeout_ms =
      int_value(100);
  c.execution_constraints.resource_limits.max_state_size_bytes =
      int_value(4096);
  c.execution_constraints.sandbox_mode = text("full_isolation");
  c.human_machine_contract.span = next_span();
  c.human_machine_contract.system_commitments.push_back(text("be exact"));
  return c;
}

// What a test expects of one diagnostic.
struct Expected {
  Severity severity;
  DiagnosticKind kind;
  std::string message;
  Span span;

  bool operator==(const Expected&) const = default;
};

inline std::vector<Expected> summarize(const VerificationResult& result) {
  std::vector<Expected> out;
  for (const Diagnostic& d : result.diagnostics()) {
    out.push_back(Expected{d.severity, d.kind, d.message,
                           d.span.value_or(Span{0, 0, 0})});
  }
  return out;
}

inline std::ostream& operator<<(std::ostream& os, const Expected& e) {
  return os << (e.severity == Severity::kError ? "E " : "W ")
            << diagnostic_kind_name(e.kind) << " \"" << e.message << "\" @"
            << e.span.to_string() << "+" << e.span.offset;
}

}  // namespace qel::testing_trees

#endif  // QEL_TESTS_VERIFIER_TEST_TREES_H_
