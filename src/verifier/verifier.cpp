// The verification driver: every check in its fixed order, over a parsed
// tree. Nothing here fails, and only the caller's interrupter stops it
// early; each problem is one diagnostic.
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/ranges.h"
#include "qel/json.h"
#include "qel/nearest_name.h"
#include "qel/rules.h"
#include "qel/verifier.h"
#include "verifier/verifier_checks.h"

namespace qel {

namespace {

using detail::for_each_identifier;
using detail::repetitions;
using detail::TextSet;

std::vector<std::string_view> names_of(const syntax::StateFields& fields) {
  std::vector<std::string_view> out;
  for (const syntax::StateField f : fields) out.push_back(f.name());
  return out;
}

// A text as the checks see it: its value and where it was written.
struct SpannedView {
  std::string_view value;
  uint32_t token;
};

constexpr int64_t kMaxVersion = 4294967295;

constexpr std::string_view kTriggerTypes[] = {"manual", "time_based",
                                              "event_based"};
constexpr std::string_view kSandboxModes[] = {"full_isolation", "restricted",
                                              "none"};

void add(VerificationResult& result, std::string_view code,
         Severity severity, DiagnosticKind kind, std::string message,
         const Span& span, std::string help = {}) {
  Diagnostic d{severity, kind, std::move(message), span};
  d.code = code;
  d.help = std::move(help);
  result.add(std::move(d));
}

// Unknown references that get a "did you mean": each costs a comparison
// with every name of its operation, and past a few dozen an author has
// more to fix than typing slips.
constexpr std::size_t kSuggestedReferences = 64;

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

void check_identity(const syntax::Identity& identity,
                    VerificationResult& result) {
  const syntax::Integer version = identity.version();
  if (version.value() < 0) {
    std::string message = "version must be non-negative, found ";
    append_int(message, version.value());
    add(result, rule::kNegativeVersion, Severity::kError, DiagnosticKind::kType, std::move(message),
        version.span());
  }
  // The model holds the version in 32 bits and refuses larger ones, so a
  // contract that execution would refuse must not verify as valid.
  if (version.value() > kMaxVersion) {
    std::string message = "version must be at most 4294967295, found ";
    append_int(message, version.value());
    add(result, rule::kVersionTooLarge, Severity::kError, DiagnosticKind::kType, std::move(message),
        version.span());
  }
  const syntax::Text stable_id = identity.stable_id();
  if (!is_valid_stable_id(stable_id.text())) {
    std::string message = "stable_id '";
    message += stable_id.text();
    message += "' does not match required pattern "
               "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]";
    add(result, rule::kStableIdPattern, Severity::kError, DiagnosticKind::kType, std::move(message),
        stable_id.span());
  }
  const syntax::Text hash = identity.semantic_hash();
  if (!is_hex_text(hash.text())) {
    std::string message = "semantic_hash '";
    message += hash.text();
    message += "' is not valid hexadecimal";
    add(result, rule::kHashNotHex, Severity::kError, DiagnosticKind::kType, std::move(message),
        hash.span());
  }
}

void check_purpose(const syntax::PurposeStatement& purpose,
                   VerificationResult& result) {
  const syntax::Float confidence = purpose.confidence_level();
  const double level = confidence.value();
  if (!(level >= 0.0 && level <= 1.0)) {  // NaN fails too
    std::string message = "confidence_level must be in range [0.0, 1.0], found ";
    append_double(message, level, FloatStyle::kPlain);
    add(result, rule::kConfidenceRange, Severity::kError, DiagnosticKind::kType, std::move(message),
        confidence.span());
  }
  const syntax::Text narrative = purpose.narrative();
  const std::size_t length = count_characters(narrative.text());
  if (length > 500) {
    std::string message =
        "narrative exceeds recommended 500 character limit (";
    append_uint(message, length);
    message += " chars)";
    add(result, rule::kLongNarrative, Severity::kWarning, DiagnosticKind::kType, std::move(message),
        narrative.span());
  }
}

// ---- Per-item checks ---------------------------------------------------------

// Type checking and the default check of one state field or parameter.
void check_field(const syntax::StateField& field, detail::TypeChecker& checker,
                 VerificationResult& result) {
  const syntax::Type type = field.type();
  checker.check(type, result);
  if (const std::optional<syntax::Literal> d = field.default_value()) {
    detail::verify_default_matches_type(field.name(), type, *d, result);
  }
}

void check_limit(std::string_view name, const syntax::Integer& limit,
                 VerificationResult& result) {
  if (limit.value() > 0) return;
  std::string message(name);
  message += " must be positive, found ";
  append_int(message, limit.value());
  add(result, rule::kLimitNotPositive, Severity::kError, DiagnosticKind::kType, std::move(message),
      limit.span());
}

void check_invariant_reference(const syntax::Text& invariant,
                               const TextSet& state,
                               VerificationResult& result) {
  const std::string_view text = invariant.text();
  if (state.empty() || text.empty()) return;
  bool references = false;
  for_each_identifier(text, [&](std::string_view word) {
    if (!references && state.contains(word)) references = true;
  });
  if (references) return;
  std::string message = "invariant '";
  message += text;
  message += "' does not reference any declared state fields";
  add(result, rule::kInvariantUnreferenced, Severity::kWarning, DiagnosticKind::kInvariant,
      std::move(message), invariant.span());
}

// The determinism scan of one operation's texts, in their fixed order.
void scan_operation(const syntax::OperationNode& op,
                    const detail::DeterminismTable& table,
                    VerificationResult& result) {
  const auto scan = [&](const syntax::Text& text, std::string_view part) {
    const uint32_t found = table.scan(text.text());
    if (found == 0) return;  // the usual case: no context text needed
    std::string context = "operation '";
    context += op.name().text();
    context += "' ";
    context += part;
    detail::report_nondeterminism(found, context, text.span(), result);
  };
  scan(op.precondition(), "precondition");
  scan(op.postcondition(), "postcondition");
  for (const syntax::Text effect : op.side_effects()) {
    scan(effect, "side_effect");
  }
  scan(op.idempotence(), "idempotence");
}

std::vector<std::string_view> texts_of(const std::vector<SpannedView>& items) {
  std::vector<std::string_view> out;
  out.reserve(items.size());
  for (const SpannedView& item : items) out.push_back(item.value);
  return out;
}

// Unknown field references in one operation's precondition, then its
// postcondition. `suggestions` counts down the references that may still
// be given the nearest known name.
void check_references(const syntax::OperationNode& op, const TextSet& state,
                      const std::vector<SpannedView>& state_names,
                      std::size_t& suggestions, VerificationResult& result) {
  // Built only once a kept identifier is not a state field name.
  std::optional<TextSet> parameters;
  std::vector<std::string_view> known;  // built for the first suggestion
  const auto check = [&](const syntax::Text& condition, const char* which) {
    for_each_identifier(condition.text(), [&](std::string_view word) {
      if (!looks_like_field_reference(word)) return;
      if (state.contains(word)) return;
      if (!parameters) parameters.emplace(names_of(op.parameters()));
      if (parameters->contains(word)) return;
      std::string message = which;
      message += " of '";
      message += op.name().text();
      message += "' references unknown field '";
      message += word;
      message += '\'';
      std::string help;
      if (suggestions > 0) {
        --suggestions;
        if (known.empty()) {
          known = texts_of(state_names);
          for (const syntax::StateField p : op.parameters()) {
            known.push_back(p.name());
          }
        }
        help = did_you_mean(word, known);
      }
      add(result, rule::kUnknownReference, Severity::kWarning, DiagnosticKind::kCoherence,
          std::move(message), condition.span(), std::move(help));
    });
  };
  check(op.precondition(), "precondition");
  check(op.postcondition(), "postcondition");
}

void check_execution_constraints(const syntax::ExecutionConstraints& constraints,
                                 VerificationResult& result) {
  const syntax::Text mode = constraints.sandbox_mode();
  if (!is_one_of(kSandboxModes, mode.text())) {
    std::string message = "unrecognized sandbox_mode '";
    message += mode.text();
    message += "', expected one of: ";
    append_joined(message, kSandboxModes);
    // The executor takes any other mode for the strictest one.
    std::string help = did_you_mean(mode.text(), kSandboxModes);
    help += help.empty() ? "an unrecognized mode runs as full_isolation: "
                           "write \"full_isolation\" if that is meant"
                         : " (an unrecognized mode runs as full_isolation)";
    add(result, rule::kUnknownSandboxMode, Severity::kWarning, DiagnosticKind::kCoherence,
        std::move(message), mode.span(), std::move(help));
  }
  for (const syntax::Text trigger : constraints.trigger_types()) {
    if (is_one_of(kTriggerTypes, trigger.text())) continue;
    std::string message = "unrecognized trigger_type '";
    message += trigger.text();
    message += "', expected one of: ";
    append_joined(message, kTriggerTypes);
    std::string help = did_you_mean(trigger.text(), kTriggerTypes);
    if (help.empty()) {
      help = "where a deployment knows this trigger, say so with '// qel: "
             "allow ";
      help += rule::kUnknownTrigger;
      help += "' at the end of the line";
    }
    add(result, rule::kUnknownTrigger, Severity::kWarning, DiagnosticKind::kCoherence,
        std::move(message), trigger.span(), std::move(help));
  }
}

// One diagnostic per repetition: `before` + the repeated text + `after`.
void report_repetitions(const SyntaxTree& tree,
                        const std::vector<bool>& repeated,
                        const std::vector<SpannedView>& items,
                        std::string_view code, Severity severity,
                        DiagnosticKind kind,
                        std::string_view before, std::string_view after,
                        VerificationResult& result) {
  // Where each repeated text was first written, for the note; built only
  // when something repeats.
  std::map<std::string_view, uint32_t> first;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!repeated[i]) continue;
    if (first.empty()) {
      for (std::size_t j = items.size(); j-- > 0;) {
        first[items[j].value] = items[j].token;
      }
    }
    std::string message(before);
    message += items[i].value;
    message += after;
    add(result, code, severity, kind, std::move(message),
        tree.token_span(items[i].token));
    const uint32_t token = first[items[i].value];
    result.diagnostics().back().notes.push_back(
        Label{ByteRange{tree.token_offset(token), tree.token_end(token)},
              "first written here"});
  }
}

void append_all(VerificationResult& to, const VerificationResult& from) {
  for (const Diagnostic& d : from.diagnostics()) to.add(d);
}

// Items (a state field, an invariant; an operation counts a few) between
// two questions to the interrupter: about a millisecond of checks.
constexpr uint64_t kItemsPerPoll = 2048;

// The checks run in a fixed order of rows, but the tree is walked as few
// times as possible: on large contracts the walks, not the checks, cost the
// time. Findings of a row whose turn has not yet come are held back in a
// result of their own and appended when it comes.
//
// `poll` is asked once per item of every list walked; false when it said
// stop, `result` then holding part of the findings.
bool check_all(const SyntaxTree& tree, detail::InterruptPoll& poll,
               VerificationResult& result) {
  const syntax::ContractNode contract = tree.contract();
  const syntax::DataSemantics data = contract.data_semantics();
  const auto operations = contract.behavioral_semantics().operations();

  // Type phase: identity, purpose, state fields (collecting their names),
  // then parameters during the one pass over the operations.
  check_identity(contract.identity(), result);
  check_purpose(contract.purpose_statement(), result);
  detail::TypeChecker checker;
  std::vector<SpannedView> state_names;
  for (const syntax::StateField field : data.state()) {
    if (poll.tick()) return false;
    state_names.push_back(SpannedView{field.name(), field.first_token()});
    check_field(field, checker, result);
  }
  const TextSet state(texts_of(state_names), &poll);
  if (poll.stopped()) return false;

  const detail::DeterminismTable& table = detail::determinism_table();
  VerificationResult operation_determinism;
  VerificationResult references;
  std::size_t suggestions = kSuggestedReferences;
  std::vector<SpannedView> operation_names;
  for (const syntax::OperationNode op : operations) {
    // An operation is checked field by field, parameters and texts: a
    // handful of state fields' work.
    if (poll.tick(4)) return false;
    const syntax::Text name = op.name();
    operation_names.push_back(SpannedView{name.text(), name.token()});
    for (const syntax::StateField parameter : op.parameters()) {
      check_field(parameter, checker, result);
    }
    scan_operation(op, table, operation_determinism);
    check_references(op, state, state_names, suggestions, references);
  }

  const syntax::ExecutionConstraints constraints =
      contract.execution_constraints();
  const syntax::ResourceLimits limits = constraints.resource_limits();
  check_limit("max_memory_bytes", limits.max_memory_bytes(), result);
  check_limit("computation_timeout_ms", limits.computation_timeout_ms(),
              result);
  check_limit("max_state_size_bytes", limits.max_state_size_bytes(), result);

  // Invariant phase, with the invariants' determinism scan held back.
  VerificationResult invariant_determinism;
  std::vector<SpannedView> invariants;
  for (const syntax::Text invariant : data.invariants()) {
    if (poll.tick()) return false;
    invariants.push_back(SpannedView{invariant.text(), invariant.token()});
    check_invariant_reference(invariant, state, result);
    detail::check_string_for_nondeterminism(invariant.text(), "invariant",
                                            invariant.span(), table,
                                            invariant_determinism);
  }
  report_repetitions(tree, repetitions(texts_of(invariants), &poll),
                     invariants, rule::kDuplicateInvariant, Severity::kWarning, DiagnosticKind::kInvariant,
                     "duplicate invariant: '", "'", result);

  // Determinism phase: operations' texts, then invariants.
  append_all(result, operation_determinism);
  append_all(result, invariant_determinism);

  // Coherence phase.
  report_repetitions(tree, repetitions(texts_of(operation_names), &poll),
                     operation_names, rule::kDuplicateOperation, Severity::kError,
                     DiagnosticKind::kCoherence, "duplicate operation name '",
                     "'", result);
  report_repetitions(tree, state.repetitions(), state_names, rule::kDuplicateStateField,
                     Severity::kError,
                     DiagnosticKind::kCoherence, "duplicate state field name '",
                     "'", result);
  check_execution_constraints(constraints, result);
  append_all(result, references);
  if (const std::optional<syntax::Extensions> ext = contract.extensions()) {
    std::vector<SpannedView> systems;
    for (const syntax::SystemExtension system : ext->systems()) {
      if (poll.tick()) return false;
      systems.push_back(SpannedView{system.name(), system.first_token()});
    }
    report_repetitions(tree, repetitions(texts_of(systems), &poll), systems,
                       rule::kDuplicateExtension, Severity::kError, DiagnosticKind::kCoherence,
                       "duplicate extension namespace '", "'", result);
  }
  return !poll.ask();
}

}  // namespace

VerificationResult verify(const SyntaxTree& tree) {
  VerificationResult result;
  detail::InterruptPoll never({}, kItemsPerPoll);
  (void)check_all(tree, never, result);
  detail::complete_ranges(tree, result.diagnostics());
  return result;
}

Result<VerificationResult> verify(const SyntaxTree& tree,
                                  const Interrupter& interrupter) {
  VerificationResult result;
  detail::InterruptPoll poll(interrupter, kItemsPerPoll);
  if (!check_all(tree, poll, result)) return Error::interrupted();
  detail::complete_ranges(tree, result.diagnostics());
  return result;
}

}  // namespace qel
