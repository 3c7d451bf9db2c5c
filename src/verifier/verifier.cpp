// The verification driver: every check in its fixed order, over a parsed
// tree. Nothing here fails or stops early; each problem is one diagnostic.
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "qel/json.h"
#include "qel/verifier.h"
#include "verifier/checks.h"

namespace qel {

namespace {

using detail::for_each_identifier;

// Exact byte-wise comparison; views point into the tree, which outlives
// every set built here.
using NameSet = std::set<std::string_view>;

constexpr int64_t kMaxVersion = 4294967295;

constexpr std::string_view kTriggerTypes[] = {"manual", "time_based",
                                              "event_based"};
constexpr std::string_view kSandboxModes[] = {"full_isolation", "restricted",
                                              "none"};

void add(VerificationResult& result, Severity severity, DiagnosticKind kind,
         std::string message, const Span& span) {
  result.add(Diagnostic{severity, kind, std::move(message), span});
}

template <std::size_t N>
bool is_one_of(const std::string_view (&allowed)[N], std::string_view value) {
  for (std::string_view a : allowed) {
    if (a == value) return true;
  }
  return false;
}

template <std::size_t N>
void append_joined(std::string& out, const std::string_view (&items)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) out += ", ";
    out += items[i];
  }
}

bool is_lower_alnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// [a-z0-9][a-z0-9-]{0,30}[a-z0-9] over the whole text. Every allowed
// character is ASCII, so a byte count is a character count here.
bool is_valid_stable_id(std::string_view id) {
  if (id.size() < 2 || id.size() > 32) return false;
  if (!is_lower_alnum(static_cast<unsigned char>(id.front())) ||
      !is_lower_alnum(static_cast<unsigned char>(id.back()))) {
    return false;
  }
  for (char ch : id) {
    const auto c = static_cast<unsigned char>(ch);
    if (!is_lower_alnum(c) && c != '-') return false;
  }
  return true;
}

bool is_hex_text(std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                     (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

// Unicode scalar values in UTF-8 text: every byte that does not continue a
// sequence starts one.
std::size_t count_characters(std::string_view text) {
  std::size_t count = 0;
  for (char ch : text) {
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++count;
  }
  return count;
}

// A field reference worth checking: two or more characters, only lowercase
// letters, digits and underscores, and at least one underscore.
bool looks_like_field_reference(std::string_view word) {
  if (word.size() < 2) return false;
  bool underscore = false;
  for (char ch : word) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '_') {
      underscore = true;
    } else if (!is_lower_alnum(c)) {
      return false;
    }
  }
  return underscore;
}

NameSet state_field_names(const DataSemanticsNode& data) {
  NameSet names;
  for (const StateFieldNode& field : data.state) names.insert(field.name.value);
  return names;
}

// ---- Identity and purpose ----------------------------------------------

void check_identity(const IdentityNode& identity, VerificationResult& result) {
  const SpannedInt& version = identity.version;
  if (version.value < 0) {
    std::string message = "version must be non-negative, found ";
    append_int(message, version.value);
    add(result, Severity::kError, DiagnosticKind::kType, std::move(message),
        version.span);
  }
  // The model holds the version in 32 bits and refuses larger ones, so a
  // contract that execution would refuse must not verify as valid.
  if (version.value > kMaxVersion) {
    std::string message = "version must be at most 4294967295, found ";
    append_int(message, version.value);
    add(result, Severity::kError, DiagnosticKind::kType, std::move(message),
        version.span);
  }
  if (!is_valid_stable_id(identity.stable_id.value)) {
    add(result, Severity::kError, DiagnosticKind::kType,
        "stable_id '" + identity.stable_id.value +
            "' does not match required pattern "
            "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]",
        identity.stable_id.span);
  }
  if (!is_hex_text(identity.semantic_hash.value)) {
    add(result, Severity::kError, DiagnosticKind::kType,
        "semantic_hash '" + identity.semantic_hash.value +
            "' is not valid hexadecimal",
        identity.semantic_hash.span);
  }
}

void check_purpose(const PurposeStatementNode& purpose,
                   VerificationResult& result) {
  const double level = purpose.confidence_level.value;
  if (!(level >= 0.0 && level <= 1.0)) {  // NaN fails too
    std::string message = "confidence_level must be in range [0.0, 1.0], found ";
    append_double(message, level, FloatStyle::kPlain);
    add(result, Severity::kError, DiagnosticKind::kType, std::move(message),
        purpose.confidence_level.span);
  }
  const std::size_t length = count_characters(purpose.narrative.value);
  if (length > 500) {
    std::string message =
        "narrative exceeds recommended 500 character limit (";
    append_uint(message, length);
    message += " chars)";
    add(result, Severity::kWarning, DiagnosticKind::kType, std::move(message),
        purpose.narrative.span);
  }
}

// ---- Types and limits -----------------------------------------------------

void check_fields(const std::vector<StateFieldNode>& fields,
                  VerificationResult& result) {
  for (const StateFieldNode& field : fields) {
    detail::verify_type_expression(field.type, result);
    if (field.default_value) {
      detail::verify_default_matches_type(field.name.value, field.type,
                                          *field.default_value, result);
    }
  }
}

void check_limit(std::string_view name, const SpannedInt& limit,
                 VerificationResult& result) {
  if (limit.value > 0) return;
  std::string message(name);
  message += " must be positive, found ";
  append_int(message, limit.value);
  add(result, Severity::kError, DiagnosticKind::kType, std::move(message),
      limit.span);
}

// ---- Invariants -------------------------------------------------------------

void check_invariant_references(const ContractNode& tree,
                                VerificationResult& result) {
  const NameSet state = state_field_names(tree.data_semantics);
  if (state.empty()) return;
  for (const SpannedText& invariant : tree.data_semantics.invariants) {
    if (invariant.value.empty()) continue;
    bool references = false;
    for_each_identifier(invariant.value, [&](std::string_view word) {
      if (!references && state.count(word) != 0) references = true;
    });
    if (references) continue;
    add(result, Severity::kWarning, DiagnosticKind::kInvariant,
        "invariant '" + invariant.value +
            "' does not reference any declared state fields",
        invariant.span);
  }
}

void check_duplicate_invariants(const DataSemanticsNode& data,
                                VerificationResult& result) {
  NameSet seen;
  for (const SpannedText& invariant : data.invariants) {
    if (seen.insert(invariant.value).second) continue;
    add(result, Severity::kWarning, DiagnosticKind::kInvariant,
        "duplicate invariant: '" + invariant.value + "'", invariant.span);
  }
}

// ---- Determinism ------------------------------------------------------------

void check_determinism(const ContractNode& tree, VerificationResult& result) {
  const detail::DeterminismTable& table = detail::determinism_table();
  std::string context;
  const auto scan = [&](const SpannedText& text, std::string_view name,
                        std::string_view part) {
    context.assign("operation '");
    context += name;
    context += "' ";
    context += part;
    detail::check_string_for_nondeterminism(text.value, context, text.span,
                                            table, result);
  };
  for (const OperationNode& op : tree.behavioral_semantics.operations) {
    const std::string& name = op.name.value;
    scan(op.precondition, name, "precondition");
    scan(op.postcondition, name, "postcondition");
    for (const SpannedText& effect : op.side_effects) {
      scan(effect, name, "side_effect");
    }
    scan(op.idempotence, name, "idempotence");
  }
  for (const SpannedText& invariant : tree.data_semantics.invariants) {
    detail::check_string_for_nondeterminism(invariant.value, "invariant",
                                            invariant.span, table, result);
  }
}

// ---- Coherence ----------------------------------------------------------------

void check_duplicate_operations(const BehavioralSemanticsNode& behavior,
                                VerificationResult& result) {
  NameSet seen;
  for (const OperationNode& op : behavior.operations) {
    if (seen.insert(op.name.value).second) continue;
    add(result, Severity::kError, DiagnosticKind::kCoherence,
        "duplicate operation name '" + op.name.value + "'", op.name.span);
  }
}

void check_duplicate_state_fields(const DataSemanticsNode& data,
                                  VerificationResult& result) {
  NameSet seen;
  for (const StateFieldNode& field : data.state) {
    if (seen.insert(field.name.value).second) continue;
    add(result, Severity::kError, DiagnosticKind::kCoherence,
        "duplicate state field name '" + field.name.value + "'",
        field.name.span);
  }
}

void check_execution_constraints(const ExecutionConstraintsNode& constraints,
                                 VerificationResult& result) {
  const SpannedText& mode = constraints.sandbox_mode;
  if (!is_one_of(kSandboxModes, mode.value)) {
    std::string message = "unrecognized sandbox_mode '" + mode.value +
                          "', expected one of: ";
    append_joined(message, kSandboxModes);
    add(result, Severity::kWarning, DiagnosticKind::kCoherence,
        std::move(message), mode.span);
  }
  for (const SpannedText& trigger : constraints.trigger_types) {
    if (is_one_of(kTriggerTypes, trigger.value)) continue;
    std::string message = "unrecognized trigger_type '" + trigger.value +
                          "', expected one of: ";
    append_joined(message, kTriggerTypes);
    add(result, Severity::kWarning, DiagnosticKind::kCoherence,
        std::move(message), trigger.span);
  }
}

void check_field_references(const ContractNode& tree,
                            VerificationResult& result) {
  const NameSet state = state_field_names(tree.data_semantics);
  for (const OperationNode& op : tree.behavioral_semantics.operations) {
    NameSet parameters;
    bool parameters_built = false;
    const auto check = [&](const SpannedText& condition, const char* which) {
      for_each_identifier(condition.value, [&](std::string_view word) {
        if (!looks_like_field_reference(word)) return;
        if (state.count(word) != 0) return;
        if (!parameters_built) {
          for (const StateFieldNode& p : op.parameters) {
            parameters.insert(p.name.value);
          }
          parameters_built = true;
        }
        if (parameters.count(word) != 0) return;
        std::string message = which;
        message += " of '";
        message += op.name.value;
        message += "' references unknown field '";
        message += word;
        message += '\'';
        add(result, Severity::kWarning, DiagnosticKind::kCoherence,
            std::move(message), condition.span);
      });
    };
    check(op.precondition, "precondition");
    check(op.postcondition, "postcondition");
  }
}

void check_duplicate_extensions(const ExtensionsNode& extensions,
                                VerificationResult& result) {
  NameSet seen;
  for (const SystemExtensionNode& system : extensions.systems) {
    if (seen.insert(system.name.value).second) continue;
    add(result, Severity::kError, DiagnosticKind::kCoherence,
        "duplicate extension namespace '" + system.name.value + "'",
        system.name.span);
  }
}

}  // namespace

VerificationResult verify(const ContractNode& tree) {
  VerificationResult result;
  // Type phase.
  check_identity(tree.identity, result);
  check_purpose(tree.purpose_statement, result);
  check_fields(tree.data_semantics.state, result);
  for (const OperationNode& op : tree.behavioral_semantics.operations) {
    check_fields(op.parameters, result);
  }
  const ResourceLimitsNode& limits =
      tree.execution_constraints.resource_limits;
  check_limit("max_memory_bytes", limits.max_memory_bytes, result);
  check_limit("computation_timeout_ms", limits.computation_timeout_ms, result);
  check_limit("max_state_size_bytes", limits.max_state_size_bytes, result);
  // Invariant phase.
  check_invariant_references(tree, result);
  check_duplicate_invariants(tree.data_semantics, result);
  // Determinism phase.
  check_determinism(tree, result);
  // Coherence phase.
  check_duplicate_operations(tree.behavioral_semantics, result);
  check_duplicate_state_fields(tree.data_semantics, result);
  check_execution_constraints(tree.execution_constraints, result);
  check_field_references(tree, result);
  if (tree.extensions) check_duplicate_extensions(*tree.extensions, result);
  return result;
}

}  // namespace qel
