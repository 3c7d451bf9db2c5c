// The registry. Parse, verifier and lint rules are written here; the
// contract comparison's rules keep their own table (they carry a change
// class) and are joined in at first use.
#include "qel/rules.h"

#include <algorithm>
#include <string>
#include <vector>

#include "qel/contract_diff.h"

namespace qel {

namespace {

using enum DiagnosticKind;
constexpr Severity kError = Severity::kError;
constexpr Severity kWarning = Severity::kWarning;

// In ascending code order within each family.
constexpr Rule kWritten[] = {
    // ---- Parse ---------------------------------------------------------
    {rule::kInvalidEncoding, "invalid-utf8", kParse, kError,
     "the text is not valid UTF-8",
     "a contract is UTF-8 text; nothing after the first ill-formed byte can "
     "be read",
     ""},
    {rule::kLexical, "lexical-error", kParse, kError,
     "a character, number, timestamp, escape or string the language does "
     "not allow",
     "the text cannot be split into tokens there, so it does not parse",
     "version: 1x"},
    {rule::kGrammar, "syntax-error", kParse, kError,
     "a token where the grammar expects another, or a required field "
     "missing",
     "a contract that does not parse cannot be verified, hashed or run",
     "Identity { stable_id \"x\" }"},

    // ---- Verifier: type phase -----------------------------------------
    {rule::kNegativeVersion, "negative-version", kType, kError,
     "a version below zero",
     "versions count up from zero; callers compare them",
     "version: -1"},
    {rule::kVersionTooLarge, "version-too-large", kType, kError,
     "a version above 4294967295",
     "the run time holds a version in 32 bits and refuses such a contract",
     "version: 4294967296"},
    {rule::kStableIdPattern, "stable-id-pattern", kType, kError,
     "a stable_id that is not 2 to 32 lowercase letters, digits and inner "
     "hyphens",
     "the stable_id names the contract in stores, URLs and file names",
     "stable_id: \"Pricing_Rules\""},
    {rule::kHashNotHex, "semantic-hash-not-hex", kType, kError,
     "a semantic_hash that is not hexadecimal",
     "the semantic hash is a SHA-256 digest; other text can never match one",
     "semantic_hash: \"not-a-hash\""},
    {rule::kConfidenceRange, "confidence-out-of-range", kType, kError,
     "a confidence_level outside [0.0, 1.0]",
     "a confidence is a probability",
     "confidence_level: 1.5"},
    {rule::kLongNarrative, "narrative-too-long", kType, kWarning,
     "a narrative of more than 500 characters",
     "a purpose that long is rarely read; state it briefly",
     ""},
    {rule::kDefaultType, "default-type-mismatch", kType, kError,
     "a default whose value does not have the declared type",
     "the field would start with a value its type does not allow",
     "count: Integer = \"one\""},
    {rule::kMapKeyType, "map-key-type", kType, kError,
     "a Map key type that is a Float, an Array, a Map or an Object",
     "keys are compared for equality, which these types cannot give "
     "deterministically",
     "prices: Map<Float, String>"},
    {rule::kEmptyEnum, "empty-enum", kType, kError,
     "an Enum type without variants",
     "no value could ever have the type",
     "stage: Enum []"},
    {rule::kDuplicateVariant, "duplicate-enum-variant", kType, kError,
     "an Enum variant written twice",
     "a variant is a value; writing it twice is a slip that hides another",
     "stage: Enum [\"a\", \"a\"]"},
    {rule::kDuplicateObjectField, "duplicate-object-field", kType, kError,
     "a field name written twice in one Object type",
     "a value can hold only one field of each name",
     "owner: Object { id: String, id: Integer }"},
    {rule::kLimitNotPositive, "limit-not-positive", kType, kError,
     "a resource limit of zero or below",
     "no request could run within it",
     "max_memory_bytes: 0"},

    // ---- Verifier: invariant phase ------------------------------------
    {rule::kInvariantUnreferenced, "invariant-unreferenced", kInvariant,
     kWarning, "an invariant that names no state field",
     "an invariant constrains the state; one that names none constrains "
     "nothing",
     "invariants: [\"always true\"]"},
    {rule::kDuplicateInvariant, "duplicate-invariant", kInvariant, kWarning,
     "an invariant written twice",
     "the second copy checks nothing more and may hide an intended one",
     "invariants: [\"count >= 0\", \"count >= 0\"]"},

    // ---- Verifier: determinism phase ----------------------------------
    {rule::kNondeterminism, "nondeterministic-text", kDeterminism, kError,
     "a condition, effect or idempotence text that mentions randomness, "
     "the clock or another source that differs between runs",
     "a contract's outcome must be the same for the same requests",
     "precondition: \"random() > 0.5\""},

    // ---- Verifier: coherence phase ------------------------------------
    {rule::kDuplicateOperation, "duplicate-operation", kCoherence, kError,
     "two operations with one name",
     "a request names its operation; it could not say which one",
     ""},
    {rule::kDuplicateStateField, "duplicate-state-field", kCoherence, kError,
     "two state fields with one name",
     "the state holds one value per name",
     "state: { count: Integer, count: Integer }"},
    {rule::kUnknownSandboxMode, "unknown-sandbox-mode", kCoherence, kWarning,
     "a sandbox_mode other than full_isolation, restricted or none",
     "the run time cannot tell which isolation was meant",
     "sandbox_mode: \"strict\""},
    {rule::kUnknownTrigger, "unknown-trigger-type", kCoherence, kWarning,
     "a trigger type other than manual, time_based or event_based",
     "no scheduler acts on it; allow it where a deployment knows it",
     "trigger_types: [\"webhook\"]"},
    {rule::kUnknownReference, "unknown-field-reference", kCoherence, kWarning,
     "a precondition or postcondition naming a field (a word with an "
     "underscore) that is neither a state field nor a parameter",
     "a misspelt field name is read as nothing",
     "precondition: \"amount_cent > 0\""},
    {rule::kDuplicateExtension, "duplicate-extension", kCoherence, kError,
     "two extension systems with one name",
     "an extension namespace must name one system",
     ""},

    // ---- Lints -----------------------------------------------------------
    {rule::kUnevaluatedCondition, "condition-never-evaluated", kLint, kWarning,
     "a condition that is not one of the evaluated forms (FIELD >= NUMBER, "
     "<=, >, <, FIELD is not empty, FIELD is boolean)",
     "the run time never evaluates it, so it can never fail",
     "invariants: [\"stage == \\\"review\\\"\"]"},
    {rule::kIgnoredStateDefault, "state-default-ignored", kLint, kWarning,
     "a default of an Array, Map, Object or Enum state field",
     "the run time starts such a field as null and never applies it",
     "tags: Array<String> = [\"new\"]"},
    {rule::kIgnoredParameterDefault, "parameter-default-ignored", kLint,
     kWarning, "a default of an operation parameter",
     "the run time never applies it; the parameter is still required",
     "parameters: { count: Integer = 1 }"},
    {rule::kInitialStateViolation, "initial-state-violates-invariant", kLint,
     kWarning,
     "an invariant that the initial state (defaults and zero values) does "
     "not satisfy",
     "every request fails until one sets the field",
     "state: { count: Integer = 0 } invariants: [\"count >= 1\"]"},
    {rule::kUnknownConditionField, "unknown-field-in-condition", kLint,
     kWarning,
     "a recognised condition naming neither a state field nor a parameter "
     "of its operation",
     "the condition always fails",
     "precondition: \"total > 0\""},
    {rule::kDuplicateField, "duplicate-field", kLint, kWarning,
     "a field written twice in one block",
     "the last value is the one used and the earlier one is ignored, while "
     "a reader may take either; the hash and the comparison see only the "
     "last",
     "sandbox_mode: \"none\"  sandbox_mode: \"restricted\""},
    {rule::kTextAfterContract, "text-after-contract", kLint, kWarning,
     "text after the contract's closing brace, or after its Extensions "
     "section",
     "nothing there is read: not parsed, hashed, compared or run",
     "Contract { ... } extensions { audit { level: 1 } }"},
    {rule::kParameterShadowsState, "parameter-shadows-state-field", kLint,
     kWarning,
     "an operation parameter with the name of a state field but another "
     "type",
     "a request's inputs are merged into the state, so the field then holds "
     "a value of the parameter's type",
     "state: { count: Integer }  parameters: { count: String }"},
    {rule::kStaleSemanticHash, "stale-semantic-hash", kLint, kWarning,
     "a semantic_hash of 64 hexadecimal digits that is not the contract's "
     "own hash",
     "stores and reviewers identify a contract by its hash; a stale one "
     "names another version of the text",
     ""},
    {rule::kUnusedSuppression, "unused-suppression", kLint, kWarning,
     "a '// qel: allow' comment that silences nothing, or names an unknown "
     "code",
     "stale suppressions pile up and hide the next real finding on their "
     "line",
     "version: 1  // qel: allow L002"},
};

// "operation-removed" as "operation removed".
std::string_view spaced(std::string_view name, std::vector<std::string>& keep) {
  std::string s(name);
  std::replace(s.begin(), s.end(), '-', ' ');
  keep.push_back(std::move(s));
  return keep.back();
}

struct Registry {
  std::vector<std::string> texts;
  std::vector<Rule> rules;

  Registry() {
    texts.reserve(diff_rules().size());
    rules.assign(std::begin(kWritten), std::end(kWritten));
    for (const DiffRule& d : diff_rules()) {
      rules.push_back(Rule{d.code, d.name, kChange,
                           d.change_class == ChangeClass::kBreaking ||
                                   d.change_class == ChangeClass::kError
                               ? kError
                               : kWarning,
                           spaced(d.name, texts), d.summary, ""});
    }
    std::sort(rules.begin(), rules.end(),
              [](const Rule& a, const Rule& b) { return a.code < b.code; });
  }
};

const Registry& registry() {
  static const Registry r;
  return r;
}

}  // namespace

std::span<const Rule> rules() { return registry().rules; }

const Rule* find_rule(std::string_view code) {
  const std::vector<Rule>& all = registry().rules;
  const auto it = std::lower_bound(
      all.begin(), all.end(), code,
      [](const Rule& rule, std::string_view c) { return rule.code < c; });
  if (it == all.end() || it->code != code) return nullptr;
  return &*it;
}

}  // namespace qel
