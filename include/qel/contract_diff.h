// What changed between two versions of a contract, and whether the callers
// and the stored states of the old version still work with the new one.
//
// The comparison is of meaning: sections, lists and named entries are
// matched by name or value, never by position, so order, layout and
// comments never count. Conditions are read as the run time reads them:
// as checks. A change is breaking when a request, a result or a stored
// state that passes the old contract's checks can fail the new one's, and
// compatible when everything that passed still passes.
//
// Pure functions: no state is kept or shared between calls, so any number
// of threads may call them at once (each with its own pair of trees: a
// tree builds its table of positions on first use).
#ifndef QEL_CONTRACT_DIFF_H_
#define QEL_CONTRACT_DIFF_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/diagnostic.h"
#include "qel/error.h"
#include "qel/span.h"
#include "qel/syntax_tree.h"

namespace qel {

// How a change affects what exists today. Declared from the most severe.
enum class ChangeClass : uint8_t {
  kError,       // the two texts are not successive versions of one contract
  kBreaking,    // something that works with the old version can fail
  kReview,      // the effect cannot be decided from the texts
  kCompatible,  // everything that worked still works
};

// "error", "breaking", "review", "compatible".
const char* change_class_name(ChangeClass c);

// Every rule, in code order. The numbering is by section: D0xx identity,
// D1xx operations, D2xx conditions, D3xx state, D4xx constraints, D5xx
// human-machine contract, D6xx extensions.
enum class DiffCode : uint8_t {
  kStableIdChanged,           // D001
  kVersionNotIncreased,       // D002
  kVersionDecreased,          // D003
  kDescriptionChanged,        // D004
  kNewContract,               // D005
  kContractRemoved,           // D006
  kOperationRemoved,          // D101
  kOperationAdded,            // D102
  kParameterAdded,            // D103
  kParameterRemoved,          // D104
  kParameterTypeChanged,      // D105
  kParameterDefaultChanged,   // D106
  kSideEffectsChanged,        // D107
  kIdempotenceChanged,        // D108
  kPreconditionTightened,     // D201
  kPreconditionLoosened,      // D202
  kPreconditionChanged,       // D203
  kPostconditionTightened,    // D204
  kPostconditionLoosened,     // D205
  kPostconditionChanged,      // D206
  kInvariantAdded,            // D207
  kInvariantRemoved,          // D208
  kInvariantTightened,        // D209
  kInvariantLoosened,         // D210
  kStateFieldRemoved,         // D301
  kStateFieldAdded,           // D302
  kStateFieldTypeChanged,     // D303
  kStateFieldDefaultChanged,  // D304
  kResourceLimitLowered,      // D401
  kResourceLimitRaised,       // D402
  kSandboxLessStrict,         // D403
  kSandboxMoreStrict,         // D404
  kSandboxChanged,            // D405
  kPermissionAdded,           // D406
  kPermissionRemoved,         // D407
  kTriggerRemoved,            // D408
  kTriggerAdded,              // D409
  kRefusalAdded,              // D501
  kRefusalRemoved,            // D502
  kObligationAdded,           // D503
  kObligationRemoved,         // D504
  kCommitmentRemoved,         // D505
  kCommitmentAdded,           // D506
  kExtensionChanged,          // D601
};

// One rule. Codes are stable: once published, a code keeps its meaning.
struct DiffRule {
  DiffCode id;
  std::string_view code;     // "D101"
  std::string_view name;     // "operation-removed"
  ChangeClass change_class;
  bool security;             // widens what the agent may reach or do
  std::string_view summary;  // one line: why the class
};

// Every rule, in code order (the order of DiffCode).
std::span<const DiffRule> diff_rules();

const DiffRule& diff_rule(DiffCode code);

// The rule with exactly this code ("D101"), or nullptr.
const DiffRule* find_diff_rule(std::string_view code);

// One change. Positions are 1-based lines and columns in characters. An
// entry that exists on one side only is positioned, on the other, at the
// block that would hold it (the operation, list or section).
struct Change {
  DiffCode code;
  std::optional<Span> old_span;  // absent only for a new contract (D005)
  std::optional<Span> new_span;  // absent only for a removed one (D006)
  std::string reason;  // one line, no position text
  // The token at each place, in bytes of that side's text; empty where
  // the side has none. Like Span::byte, they follow from the spans for a
  // given pair of texts, so equality leaves them out.
  ByteRange old_range{};
  ByteRange new_range{};
  // What a reader should weigh beside the reason, such as a parameter
  // removed and another of its type added, which may be one renamed;
  // empty for none. It never changes the class.
  std::string note{};

  const DiffRule& rule() const { return diff_rule(code); }
  bool operator==(const Change& other) const {
    return code == other.code && old_span == other.old_span &&
           new_span == other.new_span && reason == other.reason &&
           note == other.note;
  }
};

// The change as a finding of the new text, as every front end shows one:
// its rule's code and severity (an error for a breaking change or an
// error, a warning otherwise), the reason as the message, the new side's
// place as span and range, and the old side's place, where there is one,
// as a note. Unlike every other position of a Diagnostic, the note's range
// is into the old text. The change's own note, having no place, is the
// help line.
Diagnostic change_diagnostic(const Change& change);

// The changes from `old_tree` to `new_tree`, section by section in the
// order of the contract text, entries within a section in byte order of
// their names: the same for any order or layout of either text.
std::vector<Change> diff_contracts(const SyntaxTree& old_tree,
                                   const SyntaxTree& new_tree);

// parse_tree() of both texts, then diff_contracts(). A text that does not
// parse is the Error, the old text's first.
Result<std::vector<Change>> diff_contract_texts(std::string_view old_text,
                                                std::string_view new_text);

}  // namespace qel

#endif  // QEL_CONTRACT_DIFF_H_
