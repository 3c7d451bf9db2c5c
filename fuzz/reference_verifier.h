// A second verifier, written plainly from the checks' rules with no regard
// for speed: every row in its turn, with its own walk over the tree. The
// fuzz target compares the library's verifier with it diagnostic by
// diagnostic: severity, kind, message and span.
#ifndef QEL_FUZZ_REFERENCE_VERIFIER_H_
#define QEL_FUZZ_REFERENCE_VERIFIER_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "qel/ast.h"
#include "qel/json.h"
#include "qel/verifier.h"
#include "reference_tokenizer.h"

namespace qel::fuzz {

class ReferenceVerifier {
 public:
  std::vector<Diagnostic> run(const ContractNode& tree) {
    out_.clear();
    const IdentityNode& identity = tree.identity;
    const DataSemanticsNode& data = tree.data_semantics;
    const auto& operations = tree.behavioral_semantics.operations;

    // Type phase.
    if (identity.version.value < 0) {
      type_error("version must be non-negative, found " +
                     std::to_string(identity.version.value),
                 identity.version.span);
    }
    // The library's own addition: the model holds 32 bits, so a larger
    // version must not verify as valid.
    if (identity.version.value > 4294967295) {
      type_error("version must be at most 4294967295, found " +
                     std::to_string(identity.version.value),
                 identity.version.span);
    }
    if (!stable_id_ok(identity.stable_id.value)) {
      type_error("stable_id '" + identity.stable_id.value +
                     "' does not match required pattern "
                     "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]",
                 identity.stable_id.span);
    }
    if (!hex_ok(identity.semantic_hash.value)) {
      type_error("semantic_hash '" + identity.semantic_hash.value +
                     "' is not valid hexadecimal",
                 identity.semantic_hash.span);
    }
    const double level = tree.purpose_statement.confidence_level.value;
    if (!(level >= 0.0 && level <= 1.0)) {
      type_error("confidence_level must be in range [0.0, 1.0], found " +
                     format_double(level, FloatStyle::kPlain),
                 tree.purpose_statement.confidence_level.span);
    }
    const auto narrative = decode_utf8(tree.purpose_statement.narrative.value);
    const size_t length = narrative ? narrative->size() : 0;
    if (length > 500) {
      add(Severity::kWarning, DiagnosticKind::kType,
          "narrative exceeds recommended 500 character limit (" +
              std::to_string(length) + " chars)",
          tree.purpose_statement.narrative.span);
    }
    for (const StateFieldNode& field : data.state) check_field(field);
    for (const OperationNode& op : operations) {
      for (const StateFieldNode& parameter : op.parameters) {
        check_field(parameter);
      }
    }
    const ResourceLimitsNode& limits = tree.execution_constraints.resource_limits;
    check_limit("max_memory_bytes", limits.max_memory_bytes);
    check_limit("computation_timeout_ms", limits.computation_timeout_ms);
    check_limit("max_state_size_bytes", limits.max_state_size_bytes);

    // Invariant phase.
    std::set<std::string> state_names;
    for (const StateFieldNode& field : data.state) {
      state_names.insert(field.name.value);
    }
    if (!state_names.empty()) {
      for (const SpannedText& invariant : data.invariants) {
        if (invariant.value.empty()) continue;
        bool references = false;
        for (const std::string& word : identifiers(invariant.value)) {
          if (state_names.count(word) != 0) references = true;
        }
        if (!references) {
          add(Severity::kWarning, DiagnosticKind::kInvariant,
              "invariant '" + invariant.value +
                  "' does not reference any declared state fields",
              invariant.span);
        }
      }
    }
    {
      std::set<std::string> seen;
      for (const SpannedText& invariant : data.invariants) {
        if (!seen.insert(invariant.value).second) {
          add(Severity::kWarning, DiagnosticKind::kInvariant,
              "duplicate invariant: '" + invariant.value + "'",
              invariant.span);
        }
      }
    }

    // Determinism phase.
    for (const OperationNode& op : operations) {
      const std::string prefix = "operation '" + op.name.value + "' ";
      scan(op.precondition, prefix + "precondition");
      scan(op.postcondition, prefix + "postcondition");
      for (const SpannedText& effect : op.side_effects) {
        scan(effect, prefix + "side_effect");
      }
      scan(op.idempotence, prefix + "idempotence");
    }
    for (const SpannedText& invariant : data.invariants) {
      scan(invariant, "invariant");
    }

    // Coherence phase.
    {
      std::set<std::string> seen;
      for (const OperationNode& op : operations) {
        if (!seen.insert(op.name.value).second) {
          coherence_error("duplicate operation name '" + op.name.value + "'",
                          op.name.span);
        }
      }
    }
    {
      std::set<std::string> seen;
      for (const StateFieldNode& field : data.state) {
        if (!seen.insert(field.name.value).second) {
          coherence_error(
              "duplicate state field name '" + field.name.value + "'",
              field.name.span);
        }
      }
    }
    const SpannedText& mode = tree.execution_constraints.sandbox_mode;
    if (mode.value != "full_isolation" && mode.value != "restricted" &&
        mode.value != "none") {
      add(Severity::kWarning, DiagnosticKind::kCoherence,
          "unrecognized sandbox_mode '" + mode.value +
              "', expected one of: full_isolation, restricted, none",
          mode.span);
    }
    for (const SpannedText& trigger : tree.execution_constraints.trigger_types) {
      if (trigger.value != "manual" && trigger.value != "time_based" &&
          trigger.value != "event_based") {
        add(Severity::kWarning, DiagnosticKind::kCoherence,
            "unrecognized trigger_type '" + trigger.value +
                "', expected one of: manual, time_based, event_based",
            trigger.span);
      }
    }
    for (const OperationNode& op : operations) {
      std::set<std::string> parameters;
      for (const StateFieldNode& p : op.parameters) parameters.insert(p.name.value);
      check_references(op, op.precondition, "precondition", state_names,
                       parameters);
      check_references(op, op.postcondition, "postcondition", state_names,
                       parameters);
    }
    if (tree.extensions) {
      std::set<std::string> seen;
      for (const SystemExtensionNode& system : tree.extensions->systems) {
        if (!seen.insert(system.name.value).second) {
          coherence_error(
              "duplicate extension namespace '" + system.name.value + "'",
              system.name.span);
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

  static std::string short_name(const TypeExpression& type) {
    switch (type.kind) {
      case TypeExpression::Kind::kPrimitive:
        return primitive_type_name(type.primitive);
      case TypeExpression::Kind::kArray:
        return "Array<" + short_name(*type.element) + ">";
      case TypeExpression::Kind::kMap:
        return "Map<" + short_name(*type.key) + ", " + short_name(*type.value) +
               ">";
      case TypeExpression::Kind::kObject: return "Object";
      case TypeExpression::Kind::kEnum: return "Enum";
    }
    return "";
  }

  static const char* literal_kind(const LiteralValue& literal) {
    switch (literal.kind) {
      case LiteralValue::Kind::kString: return "String";
      case LiteralValue::Kind::kInteger: return "Integer";
      case LiteralValue::Kind::kFloat: return "Float";
      case LiteralValue::Kind::kBoolean: return "Boolean";
      case LiteralValue::Kind::kArray: return "Array";
    }
    return "";
  }

  static bool fits(const TypeExpression& type, const LiteralValue& literal) {
    using L = LiteralValue::Kind;
    switch (type.kind) {
      case TypeExpression::Kind::kPrimitive:
        switch (type.primitive) {
          case PrimitiveType::kString:
          case PrimitiveType::kIso8601:
          case PrimitiveType::kUuid: return literal.kind == L::kString;
          case PrimitiveType::kInteger: return literal.kind == L::kInteger;
          case PrimitiveType::kFloat:
            return literal.kind == L::kInteger || literal.kind == L::kFloat;
          case PrimitiveType::kBoolean: return literal.kind == L::kBoolean;
        }
        return false;
      case TypeExpression::Kind::kArray:
        if (literal.kind != L::kArray) return false;
        for (const LiteralValue& element : literal.elements) {
          if (!fits(*type.element, element)) return false;
        }
        return true;
      case TypeExpression::Kind::kEnum:
        if (literal.kind != L::kString) return false;
        for (const SpannedText& variant : type.variants) {
          if (variant.value == literal.text) return true;
        }
        return false;
      case TypeExpression::Kind::kMap:
      case TypeExpression::Kind::kObject: return false;
    }
    return false;
  }

  void check_default(const std::string& name, const TypeExpression& type,
                     const LiteralValue& literal) {
    if (fits(type, literal)) return;
    type_error("default value for '" + name + "' has type " +
                   literal_kind(literal) + ", expected " + short_name(type),
               literal.span);
  }

  void check_type(const TypeExpression& type) {
    switch (type.kind) {
      case TypeExpression::Kind::kPrimitive: return;
      case TypeExpression::Kind::kArray: check_type(*type.element); return;
      case TypeExpression::Kind::kMap: {
        check_type(*type.key);
        check_type(*type.value);
        const TypeExpression& key = *type.key;
        if (key.kind == TypeExpression::Kind::kPrimitive) {
          if (key.primitive == PrimitiveType::kFloat) {
            type_error(
                "Float cannot be used as Map key type (non-deterministic "
                "equality)",
                type.span);
          }
        } else if (key.kind != TypeExpression::Kind::kEnum) {
          type_error("Map key type must be a primitive or Enum, found " +
                         short_name(key),
                     type.span);
        }
        return;
      }
      case TypeExpression::Kind::kObject: {
        std::set<std::string> seen;
        for (const StateFieldNode& field : type.fields) {
          if (!seen.insert(field.name.value).second) {
            type_error("duplicate field name '" + field.name.value +
                           "' in Object type",
                       field.name.span);
          }
          check_type(field.type);
          if (field.default_value) {
            check_default(field.name.value, field.type, *field.default_value);
          }
        }
        return;
      }
      case TypeExpression::Kind::kEnum: {
        if (type.variants.empty()) {
          type_error("Enum type must have at least one variant", type.span);
          return;
        }
        std::set<std::string> seen;
        for (const SpannedText& variant : type.variants) {
          if (!seen.insert(variant.value).second) {
            type_error("duplicate Enum variant '" + variant.value + "'",
                       variant.span);
          }
        }
        return;
      }
    }
  }

  void check_field(const StateFieldNode& field) {
    check_type(field.type);
    if (field.default_value) {
      check_default(field.name.value, field.type, *field.default_value);
    }
  }

  void check_limit(const char* name, const SpannedInt& limit) {
    if (limit.value > 0) return;
    type_error(std::string(name) + " must be positive, found " +
                   std::to_string(limit.value),
               limit.span);
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

  void check_references(const OperationNode& op, const SpannedText& condition,
                        const char* which,
                        const std::set<std::string>& state_names,
                        const std::set<std::string>& parameters) {
    for (const std::string& word : identifiers(condition.value)) {
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
          std::string(which) + " of '" + op.name.value +
              "' references unknown field '" + word + "'",
          condition.span);
    }
  }

  // ---- Determinism ------------------------------------------------------------

  // The text after Unicode lowercasing, as far as patterns can tell: only
  // A-Z, the Kelvin sign (to k) and capital I with dot above (to i and a
  // combining dot) lowercase to ASCII; every other non-ASCII character
  // lowercases to non-ASCII ones, which no pattern contains, so one marker
  // byte stands for them.
  static std::string lowered(const std::string& text) {
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

  void scan(const SpannedText& text, const std::string& context) {
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
    const std::string lower = lowered(text.value);
    for (const Row& row : kRows) {
      if (lower.find(lowered(row.pattern)) == std::string::npos) continue;
      add(Severity::kError, DiagnosticKind::kDeterminism,
          std::string(row.description) + " detected in " + context +
              ": text contains '" + row.pattern + "'",
          text.span);
    }
  }

  std::vector<Diagnostic> out_;
};

}  // namespace qel::fuzz

#endif  // QEL_FUZZ_REFERENCE_VERIFIER_H_
