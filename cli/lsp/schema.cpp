#include "lsp/schema.h"

namespace qel::cli::lsp {

namespace {

using std::string_view;

constexpr string_view kTopFields[] = {"Contract", "Extensions"};
constexpr string_view kContractFields[] = {
    "Identity",           "PurposeStatement",     "DataSemantics",
    "BehavioralSemantics", "ExecutionConstraints", "HumanMachineContract"};
constexpr string_view kIdentityFields[] = {
    "stable_id", "version", "created_timestamp", "owner", "semantic_hash"};
constexpr string_view kPurposeFields[] = {"narrative", "intent_source",
                                          "confidence_level"};
constexpr string_view kDataFields[] = {"state", "invariants"};
constexpr string_view kBehaviorFields[] = {"operations"};
constexpr string_view kOperationFields[] = {
    "name",          "precondition", "parameters",
    "postcondition", "side_effects", "idempotence"};
constexpr string_view kConstraintFields[] = {
    "trigger_types", "resource_limits", "external_permissions",
    "sandbox_mode"};
constexpr string_view kLimitFields[] = {
    "max_memory_bytes", "computation_timeout_ms", "max_state_size_bytes"};
constexpr string_view kHumanMachineFields[] = {
    "system_commitments", "system_refusals", "user_obligations"};

constexpr string_view kTypeNames[] = {"Integer", "Float", "String",
                                      "Boolean", "ISO8601", "UUID",
                                      "Array",   "Map",   "Object",
                                      "Enum"};

struct Explanation {
  string_view name;
  string_view text;
};

// Field names are unique across blocks, so one table serves every block.
constexpr Explanation kExplanations[] = {
    {"Contract", "The contract: its six sections, in this order."},
    {"Extensions",
     "Free-form systems of named values; part of the semantic hash."},
    {"Identity", "Who the contract is: id, version, creation, owner, hash."},
    {"PurposeStatement", "Why the contract exists, and how sure its author is."},
    {"DataSemantics", "The typed state and the invariants it always keeps."},
    {"BehavioralSemantics", "The operations an agent may request."},
    {"ExecutionConstraints",
     "What may start an operation, its limits, permissions and sandbox."},
    {"HumanMachineContract",
     "What the system promises, refuses, and asks of its users."},
    {"stable_id",
     "The contract's stable id: [a-z0-9][a-z0-9-]{0,30}[a-z0-9]."},
    {"version", "The contract's version: an integer, 0 to 4294967295."},
    {"created_timestamp",
     "When the contract was created: an ISO 8601 timestamp."},
    {"owner", "Who answers for the contract: a team, a person, an address."},
    {"semantic_hash",
     "SHA-256 of the canonical form with this value blanked; normalize "
     "writes it."},
    {"narrative", "What the contract is for, in prose (500 characters at most)."},
    {"intent_source", "Where the intent comes from: a ticket, review or brief."},
    {"confidence_level",
     "How sure the author is of the intent: a float in [0.0, 1.0]."},
    {"state", "The state fields: name: Type [= default], one per field."},
    {"invariants",
     "Conditions every state must satisfy; checked after each request."},
    {"operations", "The operations, each a block with its name and clauses."},
    {"name", "The operation's name, as requests give it."},
    {"precondition",
     "A condition checked before the operation; it may read the inputs."},
    {"parameters", "The operation's inputs: name: Type, one per input."},
    {"postcondition",
     "A condition checked after the inputs are merged into the state."},
    {"side_effects", "What the operation does beyond the state, in prose."},
    {"idempotence", "Whether repeating the request changes anything, in prose."},
    {"trigger_types",
     "What may start an operation: manual, time_based, event_based."},
    {"resource_limits",
     "Memory, time and state size that one execution may use."},
    {"max_memory_bytes", "Memory one execution may use, in bytes (positive)."},
    {"computation_timeout_ms",
     "Time one execution may take, in milliseconds (positive)."},
    {"max_state_size_bytes", "Largest size of the state, in bytes (positive)."},
    {"external_permissions", "Outside systems the agent may use, by name."},
    {"sandbox_mode",
     "Isolation of an execution: full_isolation, restricted or none."},
    {"system_commitments", "What the system promises its users."},
    {"system_refusals", "What the system will never do."},
    {"user_obligations", "What the users must do in turn."},
};

template <size_t N>
std::span<const string_view> fields(const string_view (&names)[N]) {
  return std::span<const string_view>(names, N);
}

}  // namespace

std::span<const string_view> block_fields(Block block) {
  switch (block) {
    case Block::kTop: return fields(kTopFields);
    case Block::kContract: return fields(kContractFields);
    case Block::kIdentity: return fields(kIdentityFields);
    case Block::kPurposeStatement: return fields(kPurposeFields);
    case Block::kDataSemantics: return fields(kDataFields);
    case Block::kBehavioralSemantics: return fields(kBehaviorFields);
    case Block::kOperation: return fields(kOperationFields);
    case Block::kExecutionConstraints: return fields(kConstraintFields);
    case Block::kResourceLimits: return fields(kLimitFields);
    case Block::kHumanMachineContract: return fields(kHumanMachineFields);
    default: return {};
  }
}

string_view field_explanation(string_view name) {
  for (const Explanation& e : kExplanations) {
    if (e.name == name) return e.text;
  }
  return {};
}

std::span<const string_view> type_names() { return fields(kTypeNames); }

}  // namespace qel::cli::lsp
