// The verification driver: every check in its fixed order, over a parsed
// tree. Nothing here fails or stops early; each problem is one diagnostic.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/json.h"
#include "qel/verifier.h"
#include "verifier/checks.h"

namespace qel {

namespace {

using detail::for_each_identifier;
using detail::repetitions;
using detail::SortedTexts;

template <typename T, typename Name>
std::vector<std::string_view> names_of(const std::vector<T>& items,
                                       Name name) {
  std::vector<std::string_view> out;
  out.reserve(items.size());
  for (const T& item : items) out.push_back(name(item));
  return out;
}

std::string_view field_name(const StateFieldNode& f) { return f.name.value; }

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

// ---- Per-item checks ---------------------------------------------------------

// Type checking and the default check of one state field or parameter.
void check_field(const StateFieldNode& field, detail::TypeChecker& checker,
                 VerificationResult& result) {
  checker.check(field.type, result);
  if (field.default_value) {
    detail::verify_default_matches_type(field.name.value, field.type,
                                        *field.default_value, result);
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

void check_invariant_reference(const SpannedText& invariant,
                               const SortedTexts& state,
                               VerificationResult& result) {
  if (state.empty() || invariant.value.empty()) return;
  bool references = false;
  for_each_identifier(invariant.value, [&](std::string_view word) {
    if (!references && state.contains(word)) references = true;
  });
  if (references) return;
  add(result, Severity::kWarning, DiagnosticKind::kInvariant,
      "invariant '" + invariant.value +
          "' does not reference any declared state fields",
      invariant.span);
}

// The determinism scan of one operation's texts, in their fixed order.
void scan_operation(const OperationNode& op,
                    const detail::DeterminismTable& table,
                    VerificationResult& result) {
  const auto scan = [&](const SpannedText& text, std::string_view part) {
    const uint32_t found = table.scan(text.value);
    if (found == 0) return;  // the usual case: no context text needed
    std::string context = "operation '";
    context += op.name.value;
    context += "' ";
    context += part;
    detail::report_nondeterminism(found, context, text.span, result);
  };
  scan(op.precondition, "precondition");
  scan(op.postcondition, "postcondition");
  for (const SpannedText& effect : op.side_effects) {
    scan(effect, "side_effect");
  }
  scan(op.idempotence, "idempotence");
}

// Unknown field references in one operation's precondition, then its
// postcondition.
void check_references(const OperationNode& op, const SortedTexts& state,
                      VerificationResult& result) {
  // Built only once a kept identifier is not a state field name.
  std::optional<SortedTexts> parameters;
  const auto check = [&](const SpannedText& condition, const char* which) {
    for_each_identifier(condition.value, [&](std::string_view word) {
      if (!looks_like_field_reference(word)) return;
      if (state.contains(word)) return;
      if (!parameters) parameters.emplace(names_of(op.parameters, field_name));
      if (parameters->contains(word)) return;
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

// One diagnostic per repetition: `before` + the repeated text + `after`.
void report_repetitions(const std::vector<bool>& repeated,
                        const std::vector<const SpannedText*>& items,
                        Severity severity, DiagnosticKind kind,
                        std::string_view before, std::string_view after,
                        VerificationResult& result) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!repeated[i]) continue;
    std::string message(before);
    message += items[i]->value;
    message += after;
    add(result, severity, kind, std::move(message), items[i]->span);
  }
}

std::vector<std::string_view> texts_of(
    const std::vector<const SpannedText*>& items) {
  std::vector<std::string_view> out;
  out.reserve(items.size());
  for (const SpannedText* item : items) out.push_back(item->value);
  return out;
}

void append_all(VerificationResult& to, const VerificationResult& from) {
  for (const Diagnostic& d : from.diagnostics()) to.add(d);
}

}  // namespace

// The checks run in a fixed order of rows, but the tree is walked as few
// times as possible: on large contracts the walks, not the checks, cost the
// time. Findings of a row whose turn has not yet come are held back in a
// result of their own and appended when it comes.
VerificationResult verify(const ContractNode& tree) {
  VerificationResult result;
  const DataSemanticsNode& data = tree.data_semantics;
  const std::vector<OperationNode>& operations =
      tree.behavioral_semantics.operations;

  // Type phase: identity, purpose, state fields (collecting their names),
  // then parameters during the one pass over the operations.
  check_identity(tree.identity, result);
  check_purpose(tree.purpose_statement, result);
  detail::TypeChecker checker;
  std::vector<const SpannedText*> state_names;
  state_names.reserve(data.state.size());
  for (const StateFieldNode& field : data.state) {
    state_names.push_back(&field.name);
    check_field(field, checker, result);
  }
  const SortedTexts state(texts_of(state_names));

  const detail::DeterminismTable& table = detail::determinism_table();
  VerificationResult operation_determinism;
  VerificationResult references;
  std::vector<const SpannedText*> operation_names;
  operation_names.reserve(operations.size());
  for (const OperationNode& op : operations) {
    operation_names.push_back(&op.name);
    for (const StateFieldNode& parameter : op.parameters) {
      check_field(parameter, checker, result);
    }
    scan_operation(op, table, operation_determinism);
    check_references(op, state, references);
  }

  const ResourceLimitsNode& limits =
      tree.execution_constraints.resource_limits;
  check_limit("max_memory_bytes", limits.max_memory_bytes, result);
  check_limit("computation_timeout_ms", limits.computation_timeout_ms, result);
  check_limit("max_state_size_bytes", limits.max_state_size_bytes, result);

  // Invariant phase, with the invariants' determinism scan held back.
  VerificationResult invariant_determinism;
  std::vector<const SpannedText*> invariants;
  invariants.reserve(data.invariants.size());
  for (const SpannedText& invariant : data.invariants) {
    invariants.push_back(&invariant);
    check_invariant_reference(invariant, state, result);
    detail::check_string_for_nondeterminism(invariant.value, "invariant",
                                            invariant.span, table,
                                            invariant_determinism);
  }
  report_repetitions(repetitions(texts_of(invariants)), invariants,
                     Severity::kWarning, DiagnosticKind::kInvariant,
                     "duplicate invariant: '", "'", result);

  // Determinism phase: operations' texts, then invariants.
  append_all(result, operation_determinism);
  append_all(result, invariant_determinism);

  // Coherence phase.
  report_repetitions(repetitions(texts_of(operation_names)), operation_names,
                     Severity::kError, DiagnosticKind::kCoherence,
                     "duplicate operation name '", "'", result);
  report_repetitions(state.repetitions(), state_names, Severity::kError,
                     DiagnosticKind::kCoherence, "duplicate state field name '",
                     "'", result);
  check_execution_constraints(tree.execution_constraints, result);
  append_all(result, references);
  if (tree.extensions) {
    std::vector<const SpannedText*> systems;
    systems.reserve(tree.extensions->systems.size());
    for (const SystemExtensionNode& system : tree.extensions->systems) {
      systems.push_back(&system.name);
    }
    report_repetitions(repetitions(texts_of(systems)), systems,
                       Severity::kError, DiagnosticKind::kCoherence,
                       "duplicate extension namespace '", "'", result);
  }
  return result;
}

}  // namespace qel
