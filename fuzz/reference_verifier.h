// A second verifier, written plainly from the checks' rules with no regard
// for speed: every row in its turn, with its own walk over the tree. The
// fuzz target compares the library's verifier with it diagnostic by
// diagnostic: severity, kind, message and span.
#ifndef QEL_FUZZ_REFERENCE_VERIFIER_H_
#define QEL_FUZZ_REFERENCE_VERIFIER_H_

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "qel/syntax_tree.h"
#include "qel/json.h"
#include "qel/verifier.h"
#include "reference_tokenizer.h"

namespace qel::fuzz {

// Reads the tree through its views only, the same way any reader does.
class ReferenceVerifier {
 public:
  std::vector<Diagnostic> run(const SyntaxTree& tree) {
    out_.clear();
    const syntax::ContractNode contract = tree.contract();
    const syntax::Identity identity = contract.identity();
    const syntax::PurposeStatement purpose = contract.purpose_statement();
    const syntax::DataSemantics data = contract.data_semantics();
    const auto operations = contract.behavioral_semantics().operations();
    const syntax::ExecutionConstraints constraints =
        contract.execution_constraints();

    // Type phase.
    const syntax::Integer version = identity.version();
    if (version.value() < 0) {
      type_error("version must be non-negative, found " +
                     std::to_string(version.value()),
                 version.span());
    }
    // The library's own addition: the model holds 32 bits, so a larger
    // version must not verify as valid.
    if (version.value() > 4294967295) {
      type_error("version must be at most 4294967295, found " +
                     std::to_string(version.value()),
                 version.span());
    }
    const std::string stable_id(identity.stable_id().text());
    if (!stable_id_ok(stable_id)) {
      type_error("stable_id '" + stable_id +
                     "' does not match required pattern "
                     "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]",
                 identity.stable_id().span());
    }
    const std::string hash(identity.semantic_hash().text());
    if (!hex_ok(hash)) {
      type_error("semantic_hash '" + hash + "' is not valid hexadecimal",
                 identity.semantic_hash().span());
    }
    const double level = purpose.confidence_level().value();
    if (!(level >= 0.0 && level <= 1.0)) {
      type_error("confidence_level must be in range [0.0, 1.0], found " +
                     format_double(level, FloatStyle::kPlain),
                 purpose.confidence_level().span());
    }
    const auto narrative = decode_utf8(purpose.narrative().text());
    const size_t length = narrative ? narrative->size() : 0;
    if (length > 500) {
      add(Severity::kWarning, DiagnosticKind::kType,
          "narrative exceeds recommended 500 character limit (" +
              std::to_string(length) + " chars)",
          purpose.narrative().span());
    }
    for (const syntax::StateField field : data.state()) check_field(field);
    for (const syntax::OperationNode op : operations) {
      for (const syntax::StateField parameter : op.parameters()) {
        check_field(parameter);
      }
    }
    const syntax::ResourceLimits limits = constraints.resource_limits();
    check_limit("max_memory_bytes", limits.max_memory_bytes());
    check_limit("computation_timeout_ms", limits.computation_timeout_ms());
    check_limit("max_state_size_bytes", limits.max_state_size_bytes());

    // Invariant phase.
    std::set<std::string> state_names;
    for (const syntax::StateField field : data.state()) {
      state_names.insert(std::string(field.name()));
    }
    if (!state_names.empty()) {
      for (const syntax::Text invariant : data.invariants()) {
        const std::string text(invariant.text());
        if (text.empty()) continue;
        bool references = false;
        for (const std::string& word : identifiers(text)) {
          if (state_names.count(word) != 0) references = true;
        }
        if (!references) {
          add(Severity::kWarning, DiagnosticKind::kInvariant,
              "invariant '" + text +
                  "' does not reference any declared state fields",
              invariant.span());
        }
      }
    }
    {
      std::set<std::string> seen;
      for (const syntax::Text invariant : data.invariants()) {
        const std::string text(invariant.text());
        if (!seen.insert(text).second) {
          add(Severity::kWarning, DiagnosticKind::kInvariant,
              "duplicate invariant: '" + text + "'", invariant.span());
        }
      }
    }

    // Determinism phase.
    for (const syntax::OperationNode op : operations) {
      const std::string prefix =
          "operation '" + std::string(op.name().text()) + "' ";
      scan(op.precondition(), prefix + "precondition");
      scan(op.postcondition(), prefix + "postcondition");
      for (const syntax::Text effect : op.side_effects()) {
        scan(effect, prefix + "side_effect");
      }
      scan(op.idempotence(), prefix + "idempotence");
    }
    for (const syntax::Text invariant : data.invariants()) {
      scan(invariant, "invariant");
    }

    // Coherence phase.
    {
      std::set<std::string> seen;
      for (const syntax::OperationNode op : operations) {
        const std::string name(op.name().text());
        if (!seen.insert(name).second) {
          coherence_error("duplicate operation name '" + name + "'",
                          op.name().span());
        }
      }
    }
    {
      std::set<std::string> seen;
      for (const syntax::StateField field : data.state()) {
        const std::string name(field.name());
        if (!seen.insert(name).second) {
          coherence_error("duplicate state field name '" + name + "'",
                          field.name_span());
        }
      }
    }
    const std::string mode(constraints.sandbox_mode().text());
    if (mode != "full_isolation" && mode != "restricted" && mode != "none") {
      add(Severity::kWarning, DiagnosticKind::kCoherence,
          "unrecognized sandbox_mode '" + mode +
              "', expected one of: full_isolation, restricted, none",
          constraints.sandbox_mode().span());
    }
    for (const syntax::Text trigger : constraints.trigger_types()) {
      const std::string value(trigger.text());
      if (value != "manual" && value != "time_based" &&
          value != "event_based") {
        add(Severity::kWarning, DiagnosticKind::kCoherence,
            "unrecognized trigger_type '" + value +
                "', expected one of: manual, time_based, event_based",
            trigger.span());
      }
    }
    for (const syntax::OperationNode op : operations) {
      std::set<std::string> parameters;
      for (const syntax::StateField p : op.parameters()) {
        parameters.insert(std::string(p.name()));
      }
      check_references(op, op.precondition(), "precondition", state_names,
                       parameters);
      check_references(op, op.postcondition(), "postcondition", state_names,
                       parameters);
    }
    if (const std::optional<syntax::Extensions> ext = contract.extensions()) {
      std::set<std::string> seen;
      for (const syntax::SystemExtension system : ext->systems()) {
        const std::string name(system.name());
        if (!seen.insert(name).second) {
          coherence_error("duplicate extension namespace '" + name + "'",
                          system.name_span());
        }
      }
    }
    return std::move(out_);
  }

 private:
  void add(Severity severity, DiagnosticKind kind, std::string message,
           const Span& span) {
    out_.push_back(Diagnostic{severity, kind, std::move(message), span});
  }
  void type_error(std::string message, const Span& span) {
    add(Severity::kError, DiagnosticKind::kType, std::move(message), span);
  }
  void coherence_error(std::string message, const Span& span) {
    add(Severity::kError, DiagnosticKind::kCoherence, std::move(message), span);
  }

  static bool lower_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  }

  static bool stable_id_ok(const std::string& id) {
    if (id.size() < 2 || id.size() > 32) return false;
    if (!lower_alnum(id.front()) || !lower_alnum(id.back())) return false;
    for (char c : id) {
      if (!lower_alnum(c) && c != '-') return false;
    }
    return true;
  }

  static bool hex_ok(const std::string& text) {
    for (char c : text) {
      const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                       (c >= 'A' && c <= 'F');
      if (!hex) return false;
    }
    return true;
  }

  // ---- Types and defaults ---------------------------------------------------

  using TypeKind = syntax::Type::Kind;
  using LiteralKind = syntax::Literal::Kind;

  // Recursion as deep as the parser lets types and literals nest.
  static std::string short_name(const syntax::Type& type) {
    switch (type.kind()) {
      case TypeKind::kPrimitive:
        return syntax::primitive_kind_name(type.primitive());
      case TypeKind::kArray:
        return "Array<" + short_name(type.element()) + ">";
      case TypeKind::kMap:
        return "Map<" + short_name(type.key()) + ", " +
               short_name(type.value()) + ">";
      case TypeKind::kObject: return "Object";
      case TypeKind::kEnum: return "Enum";
    }
    return "";
  }

  static const char* literal_kind(const syntax::Literal& literal) {
    switch (literal.kind()) {
      case LiteralKind::kString: return "String";
      case LiteralKind::kInteger: return "Integer";
      case LiteralKind::kFloat: return "Float";
      case LiteralKind::kBoolean: return "Boolean";
      case LiteralKind::kArray: return "Array";
    }
    return "";
  }

  static bool fits(const syntax::Type& type, const syntax::Literal& literal) {
    const LiteralKind kind = literal.kind();
    switch (type.kind()) {
      case TypeKind::kPrimitive:
        switch (type.primitive()) {
          case syntax::PrimitiveKind::kString:
          case syntax::PrimitiveKind::kIso8601:
          case syntax::PrimitiveKind::kUuid: return kind == LiteralKind::kString;
          case syntax::PrimitiveKind::kInteger:
            return kind == LiteralKind::kInteger;
          case syntax::PrimitiveKind::kFloat:
            return kind == LiteralKind::kInteger || kind == LiteralKind::kFloat;
          case syntax::PrimitiveKind::kBoolean:
            return kind == LiteralKind::kBoolean;
        }
        return false;
      case TypeKind::kArray:
        if (kind != LiteralKind::kArray) return false;
        for (const syntax::Literal element : literal.elements()) {
          if (!fits(type.element(), element)) return false;
        }
        return true;
      case TypeKind::kEnum:
        if (kind != LiteralKind::kString) return false;
        for (const syntax::Text variant : type.variants()) {
          if (variant.text() == literal.text()) return true;
        }
        return false;
      case TypeKind::kMap:
      case TypeKind::kObject: return false;
    }
    return false;
  }

  void check_default(const std::string& name, const syntax::Type& type,
                     const syntax::Literal& literal) {
    if (fits(type, literal)) return;
    type_error("default value for '" + name + "' has type " +
                   literal_kind(literal) + ", expected " + short_name(type),
               literal.span());
  }

  void check_type(const syntax::Type& type) {
    switch (type.kind()) {
      case TypeKind::kPrimitive: return;
      case TypeKind::kArray: check_type(type.element()); return;
      case TypeKind::kMap: {
        check_type(type.key());
        check_type(type.value());
        const syntax::Type key = type.key();
        if (key.kind() == TypeKind::kPrimitive) {
          if (key.primitive() == syntax::PrimitiveKind::kFloat) {
            type_error(
                "Float cannot be used as Map key type (non-deterministic "
                "equality)",
                type.span());
          }
        } else if (key.kind() != TypeKind::kEnum) {
          type_error("Map key type must be a primitive or Enum, found " +
                         short_name(key),
                     type.span());
        }
        return;
      }
      case TypeKind::kObject: {
        std::set<std::string> seen;
        for (const syntax::StateField field : type.fields()) {
          const std::string name(field.name());
          if (!seen.insert(name).second) {
            type_error("duplicate field name '" + name + "' in Object type",
                       field.name_span());
          }
          check_type(field.type());
          if (const auto d = field.default_value()) {
            check_default(name, field.type(), *d);
          }
        }
        return;
      }
      case TypeKind::kEnum: {
        if (type.variants().empty()) {
          type_error("Enum type must have at least one variant", type.span());
          return;
        }
        std::set<std::string> seen;
        for (const syntax::Text variant : type.variants()) {
          const std::string text(variant.text());
          if (!seen.insert(text).second) {
            type_error("duplicate Enum variant '" + text + "'", variant.span());
          }
        }
        return;
      }
    }
  }

  void check_field(const syntax::StateField& field) {
    check_type(field.type());
    if (const auto d = field.default_value()) {
      check_default(std::string(field.name()), field.type(), *d);
    }
  }

  void check_limit(const char* name, const syntax::Integer& limit) {
    if (limit.value() > 0) return;
    type_error(std::string(name) + " must be positive, found " +
                   std::to_string(limit.value()),
               limit.span());
  }

  // ---- Words ----------------------------------------------------------------

  static std::vector<std::string> identifiers(const std::string& text) {
    static const std::set<std::string> kStopWords = {
        "a",      "an",     "at",      "by",       "eq",    "ge",
        "gt",     "if",     "in",      "is",       "le",    "lt",
        "ne",     "of",     "or",      "to",       "and",   "can",
        "for",    "may",    "not",     "set",      "the",   "else",
        "must",   "null",   "then",    "true",     "will",  "empty",
        "false",  "never",  "valid",   "while",    "always", "exists",
        "should", "unique", "matches", "updated",  "contains"};
    const auto letter = [](char c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
      if (!letter(text[i])) {
        ++i;
        continue;
      }
      size_t end = i + 1;
      while (end < text.size() &&
             (letter(text[end]) || (text[end] >= '0' && text[end] <= '9'))) {
        ++end;
      }
      std::string word = text.substr(i, end - i);
      if (kStopWords.count(word) == 0) words.push_back(std::move(word));
      i = end;
    }
    return words;
  }

  void check_references(const syntax::OperationNode& op,
                        const syntax::Text& condition, const char* which,
                        const std::set<std::string>& state_names,
                        const std::set<std::string>& parameters) {
    for (const std::string& word : identifiers(std::string(condition.text()))) {
      if (word.size() < 2 || word.find('_') == std::string::npos) continue;
      bool kept = true;
      for (char c : word) {
        if (!lower_alnum(c) && c != '_') kept = false;
      }
      if (!kept || state_names.count(word) != 0 ||
          parameters.count(word) != 0) {
        continue;
      }
      add(Severity::kWarning, DiagnosticKind::kCoherence,
          std::string(which) + " of '" + std::string(op.name().text()) +
              "' references unknown field '" + word + "'",
          condition.span());
    }
  }

  // ---- Determinism ------------------------------------------------------------

  // The text after Unicode lowercasing, as far as patterns can tell: only
  // A-Z, the Kelvin sign (to k) and capital I with dot above (to i and a
  // combining dot) lowercase to ASCII; every other non-ASCII character
  // lowercases to non-ASCII ones, which no pattern contains, so one marker
  // byte stands for them.
  static std::string lowered(std::string_view text) {
    std::string out;
    const auto chars = decode_utf8(text);
    if (!chars) return out;
    for (char32_t c : *chars) {
      if (c >= 'A' && c <= 'Z') {
        out += static_cast<char>(c - 'A' + 'a');
      } else if (c < 0x80) {
        out += static_cast<char>(c);
      } else if (c == 0x212A) {
        out += 'k';
      } else if (c == 0x130) {
        out += "i\x80";
      } else {
        out += '\x80';
      }
    }
    return out;
  }

  void scan(const syntax::Text& text, const std::string& context) {
    struct Row {
      const char* pattern;
      const char* description;
    };
    static const Row kRows[] = {
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
    };
    const std::string lower = lowered(text.text());
    for (const Row& row : kRows) {
      if (lower.find(lowered(row.pattern)) == std::string::npos) continue;
      add(Severity::kError, DiagnosticKind::kDeterminism,
          std::string(row.description) + " detected in " + context +
              ": text contains '" + row.pattern + "'",
          text.span());
    }
  }

  std::vector<Diagnostic> out_;
};

}  // namespace qel::fuzz

#endif  // QEL_FUZZ_REFERENCE_VERIFIER_H_
