#include "syntax/tree_adapter.h"

#include <string>
#include <vector>

namespace qel::detail {
namespace {

SpannedText text_of(const syntax::Text& t) {
  return SpannedText{std::string(t.text()), t.span()};
}

SpannedInt integer_of(const syntax::Integer& i) {
  return SpannedInt{i.value(), i.span()};
}

std::vector<SpannedText> texts_of(const syntax::TextList& list) {
  std::vector<SpannedText> out;
  for (const syntax::Text t : list) out.push_back(text_of(t));
  return out;
}

PrimitiveType primitive_of(syntax::PrimitiveKind kind) {
  return static_cast<PrimitiveType>(kind);
}

std::vector<StateFieldNode> fields_of(const syntax::StateFields& fields);

// Recursion as deep as the type, which the parser bounds.
TypeExpression type_of(const syntax::Type& type) {
  TypeExpression out;
  out.span = type.span();
  switch (type.kind()) {
    case syntax::Type::Kind::kPrimitive:
      out.kind = TypeExpression::Kind::kPrimitive;
      out.primitive = primitive_of(type.primitive());
      break;
    case syntax::Type::Kind::kArray:
      out.kind = TypeExpression::Kind::kArray;
      out.element = std::make_unique<TypeExpression>(type_of(type.element()));
      break;
    case syntax::Type::Kind::kMap:
      out.kind = TypeExpression::Kind::kMap;
      out.key = std::make_unique<TypeExpression>(type_of(type.key()));
      out.value = std::make_unique<TypeExpression>(type_of(type.value()));
      break;
    case syntax::Type::Kind::kObject:
      out.kind = TypeExpression::Kind::kObject;
      out.fields = fields_of(type.fields());
      break;
    case syntax::Type::Kind::kEnum:
      out.kind = TypeExpression::Kind::kEnum;
      out.variants = texts_of(type.variants());
      break;
  }
  return out;
}

LiteralValue literal_of(const syntax::Literal& literal) {
  LiteralValue out;
  out.span = literal.span();
  switch (literal.kind()) {
    case syntax::Literal::Kind::kString:
      out.kind = LiteralValue::Kind::kString;
      out.text = literal.text();
      break;
    case syntax::Literal::Kind::kInteger:
      out.kind = LiteralValue::Kind::kInteger;
      out.integer = literal.integer();
      break;
    case syntax::Literal::Kind::kFloat:
      out.kind = LiteralValue::Kind::kFloat;
      out.number = literal.number();
      break;
    case syntax::Literal::Kind::kBoolean:
      out.kind = LiteralValue::Kind::kBoolean;
      out.boolean = literal.boolean();
      break;
    case syntax::Literal::Kind::kArray:
      out.kind = LiteralValue::Kind::kArray;
      for (const syntax::Literal e : literal.elements()) {
        out.elements.push_back(literal_of(e));
      }
      break;
  }
  return out;
}

std::vector<StateFieldNode> fields_of(const syntax::StateFields& fields) {
  std::vector<StateFieldNode> out;
  for (const syntax::StateField f : fields) {
    StateFieldNode& node = out.emplace_back();
    node.name = SpannedText{std::string(f.name()), f.name_span()};
    node.span = node.name.span;
    node.type = type_of(f.type());
    if (const std::optional<syntax::Literal> d = f.default_value()) {
      node.default_value = literal_of(*d);
    }
  }
  return out;
}

}  // namespace

ContractNode to_contract_node(const SyntaxTree& tree) {
  const syntax::Contract c = tree.contract();
  ContractNode out;
  out.span = c.span();

  const syntax::Identity identity = c.identity();
  out.identity.span = identity.span();
  out.identity.stable_id = text_of(identity.stable_id());
  out.identity.version = integer_of(identity.version());
  out.identity.created_timestamp = text_of(identity.created_timestamp());
  out.identity.owner = text_of(identity.owner());
  out.identity.semantic_hash = text_of(identity.semantic_hash());

  const syntax::PurposeStatement purpose = c.purpose_statement();
  out.purpose_statement.span = purpose.span();
  out.purpose_statement.narrative = text_of(purpose.narrative());
  out.purpose_statement.intent_source = text_of(purpose.intent_source());
  const syntax::Float confidence = purpose.confidence_level();
  out.purpose_statement.confidence_level =
      SpannedDouble{confidence.value(), confidence.span()};

  const syntax::DataSemantics data = c.data_semantics();
  out.data_semantics.span = data.span();
  out.data_semantics.state = fields_of(data.state());
  out.data_semantics.invariants = texts_of(data.invariants());

  const syntax::BehavioralSemantics behavior = c.behavioral_semantics();
  out.behavioral_semantics.span = behavior.span();
  for (const syntax::Operation op : behavior.operations()) {
    OperationNode& node = out.behavioral_semantics.operations.emplace_back();
    node.span = op.span();
    node.name = text_of(op.name());
    node.precondition = text_of(op.precondition());
    node.parameters = fields_of(op.parameters());
    node.postcondition = text_of(op.postcondition());
    node.side_effects = texts_of(op.side_effects());
    node.idempotence = text_of(op.idempotence());
  }

  const syntax::ExecutionConstraints constraints = c.execution_constraints();
  ExecutionConstraintsNode& ec = out.execution_constraints;
  ec.span = constraints.span();
  ec.trigger_types = texts_of(constraints.trigger_types());
  const syntax::ResourceLimits limits = constraints.resource_limits();
  ec.resource_limits.span = limits.span();
  ec.resource_limits.max_memory_bytes = integer_of(limits.max_memory_bytes());
  ec.resource_limits.computation_timeout_ms =
      integer_of(limits.computation_timeout_ms());
  ec.resource_limits.max_state_size_bytes =
      integer_of(limits.max_state_size_bytes());
  ec.external_permissions = texts_of(constraints.external_permissions());
  ec.sandbox_mode = text_of(constraints.sandbox_mode());

  const syntax::HumanMachineContract human = c.human_machine_contract();
  out.human_machine_contract.span = human.span();
  out.human_machine_contract.system_commitments =
      texts_of(human.system_commitments());
  out.human_machine_contract.system_refusals =
      texts_of(human.system_refusals());
  out.human_machine_contract.user_obligations =
      texts_of(human.user_obligations());

  if (const std::optional<syntax::Extensions> extensions = c.extensions()) {
    ExtensionsNode& ext = out.extensions.emplace();
    ext.span = extensions->span();
    for (const syntax::SystemExtension system : extensions->systems()) {
      SystemExtensionNode& s = ext.systems.emplace_back();
      s.name = SpannedText{std::string(system.name()), system.name_span()};
      s.span = s.name.span;
      for (const syntax::CustomField field : system.fields()) {
        CustomFieldNode& f = s.fields.emplace_back();
        f.name = SpannedText{std::string(field.name()), field.name_span()};
        f.span = f.name.span;
        f.value = literal_of(field.value());
      }
    }
  }
  return out;
}

}  // namespace qel::detail
