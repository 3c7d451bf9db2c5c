#include "canonical/canonical_writer.h"

#include <cstring>

#include "qel/json.h"
#include "util/swar.h"

namespace qel::detail {

namespace {

// Pieces handed to a sink: large enough to amortise the calls, small
// enough to stay in cache.
constexpr std::size_t kPiece = std::size_t{64} << 10;

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

template <typename Out>
void append_escaped(Out& out, std::string_view text) {
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

template <typename Out>
void CanonicalWriter<Out>::write_quoted(std::string_view text) {
  out_ += '"';
  append_escaped(out_, text);
  out_ += '"';
}

template <typename Out>
void CanonicalWriter<Out>::write_field_int(std::string_view indent_and_name,
                                      int64_t value) {
  out_ += indent_and_name;
  append_int(out_, value);
  out_ += ',';
}

// ["a", "b"] or [], sorted.
template <typename Out>
void CanonicalWriter<Out>::write_texts(const syntax::TextList& texts,
                                  std::size_t depth) {
  KeyedList& sorted = scratch(depth);
  if (!sorted_texts(texts, sorted, poll_)) return;
  out_ += '[';
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i > 0) out_ += ", ";
    write_quoted(sorted[i].key());
  }
  out_ += ']';
}

template <typename Out>
void CanonicalWriter<Out>::write_state_field(std::string_view indent,
                                        const syntax::StateField& field,
                                        std::size_t depth) {
  out_ += indent;
  out_ += field.name();
  out_ += ": ";
  write_type(field.type(), depth);
  if (const std::optional<syntax::Literal> d = field.default_value()) {
    out_ += " = ";
    write_literal(*d);
  }
  out_ += ",\n";
}

template <typename Out>
void CanonicalWriter<Out>::write_type(const syntax::Type& type, std::size_t depth) {
  switch (type.kind()) {
    case syntax::Type::Kind::kPrimitive:
      out_ += syntax::primitive_kind_name(type.primitive());
      return;
    case syntax::Type::Kind::kArray:
      out_ += "Array<";
      write_type(type.element(), depth + 1);
      out_ += '>';
      return;
    case syntax::Type::Kind::kMap:
      out_ += "Map<";
      write_type(type.key(), depth + 1);
      out_ += ", ";
      write_type(type.value(), depth + 1);
      out_ += '>';
      return;
    case syntax::Type::Kind::kObject: {
      // Field lines and the closing brace have a fixed indentation at every
      // depth, so the text of a type never depends on where it stands.
      out_ += "Object {\n";
      KeyedList& sorted = scratch(depth);
      sorted_by_name(type.fields(), sorted);
      for (const Keyed& k : sorted) {
        write_state_field("        ", syntax::StateField(tree_, k.ref),
                          depth + 1);
      }
      out_ += "      }";
      return;
    }
    case syntax::Type::Kind::kEnum:
      out_ += "Enum";
      write_texts(type.variants(), depth);
      return;
  }
}

template <typename Out>
void CanonicalWriter<Out>::write_literal(const syntax::Literal& literal) {
  switch (literal.kind()) {
    case syntax::Literal::Kind::kString:
      write_quoted(literal.text());
      return;
    case syntax::Literal::Kind::kInteger:
      append_int(out_, literal.integer());
      return;
    case syntax::Literal::Kind::kFloat:
      append_double(out_, literal.number(), FloatStyle::kCanonical);
      return;
    case syntax::Literal::Kind::kBoolean:
      out_ += literal.boolean() ? "true" : "false";
      return;
    case syntax::Literal::Kind::kArray: {
      out_ += '[';
      bool first = true;
      for (const syntax::Literal e : literal.elements()) {
        if (!first) out_ += ", ";
        first = false;
        write_literal(e);
      }
      out_ += ']';
      return;
    }
  }
}

template <typename Out>
void CanonicalWriter<Out>::write_operation(const syntax::OperationNode& op) {
  out_ += "      {\n        idempotence: ";
  write_quoted(op.idempotence().text());
  out_ += ",\n        name: ";
  write_quoted(op.name().text());
  out_ += ",\n        parameters: {\n";
  KeyedList& sorted = scratch(1);
  sorted_by_name(op.parameters(), sorted);
  for (const Keyed& k : sorted) {
    write_state_field("          ", syntax::StateField(tree_, k.ref), 2);
  }
  out_ += "        },\n        postcondition: ";
  write_quoted(op.postcondition().text());
  out_ += ",\n        precondition: ";
  write_quoted(op.precondition().text());
  out_ += ",\n        side_effects: ";
  write_texts(op.side_effects(), 1);
  out_ += "\n      }\n";
}

template <typename Out>
void CanonicalWriter<Out>::write_extensions(const syntax::Extensions& extensions) {
  out_ += "\nExtensions {\n";
  KeyedList& systems = scratch(0);
  sorted_by_name(extensions.systems(), systems);
  for (const Keyed& s : systems) {
    if (poll_.tick()) return;
    const syntax::SystemExtension system(tree_, s.ref);
    out_ += "  ";
    out_ += system.name();
    out_ += " {\n";
    KeyedList& fields = scratch(1);
    sorted_by_name(system.fields(), fields);
    for (const Keyed& f : fields) {
      const syntax::CustomField field(tree_, f.ref);
      out_ += "    ";
      out_ += field.name();
      out_ += ": ";
      write_literal(field.value());
      out_ += '\n';
    }
    out_ += "  }\n";
    flush();
  }
  out_ += "}\n";
}

template <typename Out>
void CanonicalWriter<Out>::flush() {
  if (sink_ == nullptr || out_.size() < kPiece) return;
  sink_->take(std::string_view(out_.data(), out_.size()));
  out_.resize(0);
}

template <typename Out>
std::size_t CanonicalWriter<Out>::write_contract() {
  const syntax::ContractNode c = tree_.contract();
  const syntax::Identity identity = c.identity();
  out_ += "Contract {\n  Identity {\n    created_timestamp: ";
  write_quoted(identity.created_timestamp().text());
  out_ += ",\n    owner: ";
  write_quoted(identity.owner().text());
  out_ += ",\n    semantic_hash: \"";
  // The written value is never part of the canonical text.
  const std::size_t hash_offset = out_.size();
  out_.append(kHashTextLength, '0');
  out_ += "\",\n    stable_id: ";
  write_quoted(identity.stable_id().text());
  out_ += ",\n";
  write_field_int("    version: ", identity.version().value());

  const syntax::PurposeStatement purpose = c.purpose_statement();
  out_ += "\n  }\n  PurposeStatement {\n    confidence_level: ";
  append_double(out_, purpose.confidence_level().value(),
                FloatStyle::kCanonical);
  out_ += ",\n    intent_source: ";
  write_quoted(purpose.intent_source().text());
  out_ += ",\n    narrative: ";
  write_quoted(purpose.narrative().text());

  const syntax::DataSemantics data = c.data_semantics();
  out_ += ",\n  }\n  DataSemantics {\n    invariants: ";
  write_texts(data.invariants(), 0);
  out_ += ",\n    state: {\n";
  {
    KeyedList& sorted = scratch(0);
    if (!sorted_by_name(data.state(), sorted, poll_)) return hash_offset;
    for (const Keyed& k : sorted) {
      if (poll_.tick()) return hash_offset;
      write_state_field("      ", syntax::StateField(tree_, k.ref), 1);
      flush();
    }
  }
  out_ += "    }\n  }\n  BehavioralSemantics {\n    operations: [\n";
  {
    KeyedList& sorted = scratch(0);
    if (!sorted_operations(c.behavioral_semantics().operations(), sorted,
                           poll_)) {
      return hash_offset;
    }
    for (const Keyed& k : sorted) {
      if (poll_.tick()) return hash_offset;
      write_operation(syntax::OperationNode(tree_, k.ref));
      flush();
    }
  }

  const syntax::ExecutionConstraints constraints = c.execution_constraints();
  const syntax::ResourceLimits limits = constraints.resource_limits();
  out_ += "    ]\n  }\n  ExecutionConstraints {\n    external_permissions: ";
  write_texts(constraints.external_permissions(), 0);
  out_ += ",\n    resource_limits: {\n";
  write_field_int("      computation_timeout_ms: ",
                  limits.computation_timeout_ms().value());
  out_ += '\n';
  write_field_int("      max_memory_bytes: ",
                  limits.max_memory_bytes().value());
  out_ += '\n';
  write_field_int("      max_state_size_bytes: ",
                  limits.max_state_size_bytes().value());
  out_ += "\n    },\n    sandbox_mode: ";
  write_quoted(constraints.sandbox_mode().text());
  out_ += ",\n    trigger_types: ";
  write_texts(constraints.trigger_types(), 0);

  const syntax::HumanMachineContract hmc = c.human_machine_contract();
  out_ += "\n  }\n  HumanMachineContract {\n    system_commitments: ";
  write_texts(hmc.system_commitments(), 0);
  out_ += ",\n    system_refusals: ";
  write_texts(hmc.system_refusals(), 0);
  out_ += ",\n    user_obligations: ";
  write_texts(hmc.user_obligations(), 0);
  out_ += "\n  }\n}\n";

  if (const std::optional<syntax::Extensions> ext = c.extensions()) {
    write_extensions(*ext);
  }
  return hash_offset;
}

template class CanonicalWriter<std::string>;
template class CanonicalWriter<Output>;

// Every byte of canonical text is a written text or number (no longer than
// as written, escapes included, but for the ".0" of a float such as "1.",
// covered per token) or a fixed word, indentation or separator: under 40
// bytes per node and 4 per token.
std::size_t canonical_size_bound(const SyntaxTree& tree) {
  return tree.source().size() + 40 * std::size_t{tree.node_count()} +
         4 * std::size_t{tree.token_count()} + 1024;
}

}  // namespace qel::detail
