#include "canonical/canonical_writer.h"

#include <cstring>

#include "qel/json.h"
#include "util/swar.h"

namespace qel::detail {

namespace {

constexpr std::string_view kSpaces = "            ";  // enough for any indent

// The first quotation mark or backslash in [p, end), or end. Most texts hold
// neither, so whole words are skipped eight bytes at a time.
const char* find_escaped(const char* p, const char* end) {
  for (; end - p >= 8; p += 8) {
    const uint64_t word = load_word(p);
    if (has_byte(word, '"') | has_byte(word, '\\')) break;
  }
  for (; p < end; ++p) {
    if (*p == '"' || *p == '\\') return p;
  }
  return end;
}

void append_escaped(std::string& out, std::string_view text) {
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* p = find_escaped(run, end); p < end;
       p = find_escaped(p + 1, end)) {
    out.append(run, p);
    out += '\\';
    run = p;  // the character itself starts the next run
  }
  out.append(run, end);
}

}  // namespace

void CanonicalWriter::write_quoted(std::string_view text) {
  out_ += '"';
  append_escaped(out_, text);
  out_ += '"';
}

void CanonicalWriter::write_line(std::string_view text) { out_ += text; }

void CanonicalWriter::write_field_int(int indent, std::string_view name,
                                      int64_t value) {
  out_ += kSpaces.substr(0, static_cast<size_t>(indent));
  out_ += name;
  out_ += ": ";
  append_int(out_, value);
  out_ += ',';
}

void CanonicalWriter::write_field_float(double value) {
  out_ += "    confidence_level: ";
  append_double(out_, value, FloatStyle::kCanonical);
  out_ += ',';
}

void CanonicalWriter::serialize_string_list(
    const std::vector<SpannedText>& texts) {
  out_ += '[';
  bool first = true;
  for (const SpannedText& text : texts) {
    if (!first) out_ += ", ";
    first = false;
    write_quoted(text.value);
  }
  out_ += ']';
}

void CanonicalWriter::serialize_literal_value(const LiteralValue& literal) {
  if (literal.kind != LiteralValue::Kind::kArray) {
    write_literal_step(literal);
    return;
  }
  push_literal(&literal);
  drain();
}

void CanonicalWriter::serialize_type_expression(const TypeExpression& type) {
  if (type.kind == TypeExpression::Kind::kPrimitive) {
    out_ += primitive_type_name(type.primitive);
    return;
  }
  push_type(&type);
  drain();
}

void CanonicalWriter::drain() {
  while (!stack_.empty()) {
    const Step step = stack_.back();
    stack_.pop_back();
    switch (step.kind) {
      case Step::Kind::kText:
        out_ += step.text;
        break;
      case Step::Kind::kType:
        write_type_step(*static_cast<const TypeExpression*>(step.node));
        break;
      case Step::Kind::kLiteral:
        write_literal_step(*static_cast<const LiteralValue*>(step.node));
        break;
      case Step::Kind::kObjectField:
        write_object_field_step(*static_cast<const StateFieldNode*>(step.node));
        break;
    }
  }
}

// Writes the head of a type and pushes what follows it, last piece first.
void CanonicalWriter::write_type_step(const TypeExpression& type) {
  switch (type.kind) {
    case TypeExpression::Kind::kPrimitive:
      out_ += primitive_type_name(type.primitive);
      return;
    case TypeExpression::Kind::kArray:
      out_ += "Array<";
      push_text(">");
      push_type(type.element.get());
      return;
    case TypeExpression::Kind::kMap:
      out_ += "Map<";
      push_text(">");
      push_type(type.value.get());
      push_text(", ");
      push_type(type.key.get());
      return;
    case TypeExpression::Kind::kObject:
      // Field lines and the closing brace have a fixed indentation at every
      // depth, so the text of a type never depends on where it stands.
      out_ += "Object {\n";
      push_text("      }");
      for (auto it = type.fields.rbegin(); it != type.fields.rend(); ++it) {
        stack_.push_back(Step{Step::Kind::kObjectField, &*it, {}});
      }
      return;
    case TypeExpression::Kind::kEnum:
      out_ += "Enum";
      serialize_string_list(type.variants);
      return;
  }
}

void CanonicalWriter::write_object_field_step(const StateFieldNode& field) {
  out_ += "        ";
  out_ += field.name.value;
  out_ += ": ";
  push_text(",\n");
  if (field.default_value) {
    push_literal(&*field.default_value);
    push_text(" = ");
  }
  push_type(&field.type);
}

void CanonicalWriter::write_literal_step(const LiteralValue& literal) {
  switch (literal.kind) {
    case LiteralValue::Kind::kString:
      write_quoted(literal.text);
      return;
    case LiteralValue::Kind::kInteger:
      append_int(out_, literal.integer);
      return;
    case LiteralValue::Kind::kFloat:
      append_double(out_, literal.number, FloatStyle::kCanonical);
      return;
    case LiteralValue::Kind::kBoolean:
      out_ += literal.boolean ? "true" : "false";
      return;
    case LiteralValue::Kind::kArray: {
      out_ += '[';
      push_text("]");
      const std::vector<LiteralValue>& elements = literal.elements;
      for (size_t i = elements.size(); i-- > 0;) {
        push_literal(&elements[i]);
        if (i > 0) push_text(", ");
      }
      return;
    }
  }
}

void CanonicalWriter::write_state_field(int indent,
                                        const StateFieldNode& field) {
  out_ += kSpaces.substr(0, static_cast<size_t>(indent));
  out_ += field.name.value;
  out_ += ": ";
  serialize_type_expression(field.type);
  if (field.default_value) {
    out_ += " = ";
    serialize_literal_value(*field.default_value);
  }
  out_ += ",\n";
}

size_t CanonicalWriter::write_contract(const ContractNode& tree,
                                       HashLine hash) {
  const IdentityNode& identity = tree.identity;
  write_line("Contract {\n  Identity {\n    created_timestamp: ");
  write_quoted(identity.created_timestamp.value);
  write_line(",\n    owner: ");
  write_quoted(identity.owner.value);
  write_line(",\n    semantic_hash: \"");
  const size_t hash_offset = out_.size();
  if (hash == HashLine::kZeros) {
    out_.append(kHashTextLength, '0');
  } else {
    append_escaped(out_, identity.semantic_hash.value);
  }
  write_line("\",\n    stable_id: ");
  write_quoted(identity.stable_id.value);
  write_line(",\n");
  write_field_int(4, "version", identity.version.value);

  const PurposeStatementNode& purpose = tree.purpose_statement;
  write_line("\n  }\n  PurposeStatement {\n");
  write_field_float(purpose.confidence_level.value);
  write_line("\n    intent_source: ");
  write_quoted(purpose.intent_source.value);
  write_line(",\n    narrative: ");
  write_quoted(purpose.narrative.value);

  const DataSemanticsNode& data = tree.data_semantics;
  write_line(",\n  }\n  DataSemantics {\n    invariants: ");
  serialize_string_list(data.invariants);
  write_line(",\n    state: {\n");
  for (const StateFieldNode& field : data.state) write_state_field(6, field);
  write_line("    }\n  }\n  BehavioralSemantics {\n    operations: [\n");

  for (const OperationNode& operation : tree.behavioral_semantics.operations) {
    write_line("      {\n        idempotence: ");
    write_quoted(operation.idempotence.value);
    write_line(",\n        name: ");
    write_quoted(operation.name.value);
    write_line(",\n        parameters: {\n");
    for (const StateFieldNode& parameter : operation.parameters) {
      write_state_field(10, parameter);
    }
    write_line("        },\n        postcondition: ");
    write_quoted(operation.postcondition.value);
    write_line(",\n        precondition: ");
    write_quoted(operation.precondition.value);
    write_line(",\n        side_effects: ");
    serialize_string_list(operation.side_effects);
    write_line("\n      }\n");
  }

  const ExecutionConstraintsNode& constraints = tree.execution_constraints;
  const ResourceLimitsNode& limits = constraints.resource_limits;
  write_line("    ]\n  }\n  ExecutionConstraints {\n    external_permissions: ");
  serialize_string_list(constraints.external_permissions);
  write_line(",\n    resource_limits: {\n");
  write_field_int(6, "computation_timeout_ms",
                  limits.computation_timeout_ms.value);
  write_line("\n");
  write_field_int(6, "max_memory_bytes", limits.max_memory_bytes.value);
  write_line("\n");
  write_field_int(6, "max_state_size_bytes", limits.max_state_size_bytes.value);
  write_line("\n    },\n    sandbox_mode: ");
  write_quoted(constraints.sandbox_mode.value);
  write_line(",\n    trigger_types: ");
  serialize_string_list(constraints.trigger_types);

  const HumanMachineContractNode& hmc = tree.human_machine_contract;
  write_line("\n  }\n  HumanMachineContract {\n    system_commitments: ");
  serialize_string_list(hmc.system_commitments);
  write_line(",\n    system_refusals: ");
  serialize_string_list(hmc.system_refusals);
  write_line(",\n    user_obligations: ");
  serialize_string_list(hmc.user_obligations);
  write_line("\n  }\n}\n");

  if (tree.extensions) {
    write_line("\nExtensions {\n");
    for (const SystemExtensionNode& system : tree.extensions->systems) {
      write_line("  ");
      out_ += system.name.value;
      write_line(" {\n");
      for (const CustomFieldNode& field : system.fields) {
        write_line("    ");
        out_ += field.name.value;
        write_line(": ");
        serialize_literal_value(field.value);
        write_line("\n");
      }
      write_line("  }\n");
    }
    write_line("}\n");
  }
  return hash_offset;
}

namespace {

// Per-item allowances cover the fixed words, quotes and indentation around
// each value; a short guess only costs a regrowth of the buffer.
size_t texts_size(const std::vector<SpannedText>& texts) {
  size_t size = 0;
  for (const SpannedText& text : texts) size += text.value.size() + 4;
  return size;
}

size_t literal_size(const LiteralValue& literal) {
  return literal.kind == LiteralValue::Kind::kString ? literal.text.size() + 8
                                                     : 24;
}

// Looks one level into object types: deeper nesting is rare, and a guess
// must not walk without bound.
size_t fields_size(const std::vector<StateFieldNode>& fields,
                   bool look_inside = true) {
  size_t size = 0;
  for (const StateFieldNode& field : fields) {
    size += field.name.value.size() + 32;
    if (field.default_value) size += literal_size(*field.default_value);
    if (look_inside && field.type.kind == TypeExpression::Kind::kObject) {
      size += fields_size(field.type.fields, false);
    }
  }
  return size;
}

}  // namespace

size_t estimate_canonical_size(const ContractNode& tree) {
  size_t size = 1024;
  const IdentityNode& identity = tree.identity;
  size += identity.stable_id.value.size() + identity.owner.value.size() +
          identity.created_timestamp.value.size() + kHashTextLength;
  size += tree.purpose_statement.narrative.value.size() +
          tree.purpose_statement.intent_source.value.size();
  size += texts_size(tree.data_semantics.invariants);
  size += fields_size(tree.data_semantics.state);
  for (const OperationNode& operation : tree.behavioral_semantics.operations) {
    size += 200 + operation.name.value.size() +
            operation.precondition.value.size() +
            operation.postcondition.value.size() +
            operation.idempotence.value.size();
    size += fields_size(operation.parameters);
    size += texts_size(operation.side_effects);
  }
  const ExecutionConstraintsNode& constraints = tree.execution_constraints;
  size += texts_size(constraints.trigger_types) +
          texts_size(constraints.external_permissions) +
          constraints.sandbox_mode.value.size();
  const HumanMachineContractNode& hmc = tree.human_machine_contract;
  size += texts_size(hmc.system_commitments) +
          texts_size(hmc.system_refusals) + texts_size(hmc.user_obligations);
  if (tree.extensions) {
    for (const SystemExtensionNode& system : tree.extensions->systems) {
      size += system.name.value.size() + 16;
      for (const CustomFieldNode& field : system.fields) {
        size += field.name.value.size() + 8 + literal_size(field.value);
      }
    }
  }
  return size;
}

}  // namespace qel::detail
