// The rules of the contract comparison: codes, names, classes and the one
// line that says why each class was chosen.
#include <cstddef>

#include "qel/contract_diff.h"

namespace qel {

namespace {

using enum DiffCode;
constexpr ChangeClass kError = ChangeClass::kError;
constexpr ChangeClass kBreaking = ChangeClass::kBreaking;
constexpr ChangeClass kReview = ChangeClass::kReview;
constexpr ChangeClass kCompatible = ChangeClass::kCompatible;

constexpr DiffRule kRules[] = {
    {kStableIdChanged, "D001", "stable-id-changed", kError, false,
     "a different stable_id is a different contract, not a new version"},
    {kVersionNotIncreased, "D002", "version-not-increased", kError, false,
     "a change of meaning needs a higher version"},
    {kVersionDecreased, "D003", "version-decreased", kError, false,
     "a later version cannot have a smaller version number"},
    {kDescriptionChanged, "D004", "description-changed", kCompatible, false,
     "owner, creation time and purpose describe the contract; no check "
     "reads them"},
    {kNewContract, "D005", "new-contract", kCompatible, false,
     "there was no contract at this path before"},
    {kContractRemoved, "D006", "contract-removed", kBreaking, false,
     "its callers and stored states are left without a contract"},
    {kOperationRemoved, "D101", "operation-removed", kBreaking, false,
     "callers of the operation now fail"},
    {kOperationAdded, "D102", "operation-added", kCompatible, false,
     "no existing caller uses it"},
    {kParameterAdded, "D103", "parameter-added", kBreaking, false,
     "every parameter is required: callers must now send it"},
    {kParameterRemoved, "D104", "parameter-removed", kCompatible, false,
     "callers that still send it are not refused"},
    {kParameterTypeChanged, "D105", "parameter-type-changed", kBreaking, false,
     "values callers send may no longer fit the type"},
    {kParameterDefaultChanged, "D106", "parameter-default-changed", kReview,
     false, "parameter defaults are documentation: the run time never "
     "applies them"},
    {kSideEffectsChanged, "D107", "side-effects-changed", kReview, false,
     "what the operation does besides changing the state is not checked"},
    {kIdempotenceChanged, "D108", "idempotence-changed", kReview, false,
     "callers that retry rely on the idempotence statement"},
    {kPreconditionTightened, "D201", "precondition-tightened", kBreaking, false,
     "requests that ran are now refused"},
    {kPreconditionLoosened, "D202", "precondition-loosened", kCompatible, false,
     "every request that ran still runs"},
    {kPreconditionChanged, "D203", "precondition-changed", kReview, false,
     "which requests pass cannot be compared"},
    {kPostconditionTightened, "D204", "postcondition-tightened", kBreaking,
     false, "requests that succeeded can now be rolled back"},
    {kPostconditionLoosened, "D205", "postcondition-loosened", kCompatible,
     false, "every request that succeeded still succeeds"},
    {kPostconditionChanged, "D206", "postcondition-changed", kReview, false,
     "which results pass cannot be compared"},
    {kInvariantAdded, "D207", "invariant-added", kBreaking, false,
     "stored states may not satisfy it"},
    {kInvariantRemoved, "D208", "invariant-removed", kCompatible, false,
     "every stored state that passed still passes"},
    {kInvariantTightened, "D209", "invariant-tightened", kBreaking, false,
     "stored states that passed may now fail"},
    {kInvariantLoosened, "D210", "invariant-loosened", kCompatible, false,
     "every stored state that passed still passes"},
    {kStateFieldRemoved, "D301", "state-field-removed", kBreaking, false,
     "stored states and conditions read the field"},
    {kStateFieldAdded, "D302", "state-field-added", kCompatible, false,
     "stored states without it start from its default"},
    {kStateFieldTypeChanged, "D303", "state-field-type-changed", kBreaking,
     false, "stored values may no longer fit the type"},
    {kStateFieldDefaultChanged, "D304", "state-field-default-changed", kReview,
     false, "new states start differently from stored ones"},
    {kResourceLimitLowered, "D401", "resource-limit-lowered", kBreaking, false,
     "requests and states within the old limit may exceed the new one"},
    {kResourceLimitRaised, "D402", "resource-limit-raised", kCompatible, false,
     "everything within the old limit is within the new one"},
    {kSandboxLessStrict, "D403", "sandbox-less-strict", kBreaking, true,
     "the agent runs with less isolation than was approved"},
    {kSandboxMoreStrict, "D404", "sandbox-more-strict", kCompatible, false,
     "the agent runs with more isolation than before"},
    {kSandboxChanged, "D405", "sandbox-changed", kReview, false,
     "a sandbox mode that is not one of the known modes cannot be ranked"},
    {kPermissionAdded, "D406", "permission-added", kBreaking, true,
     "the agent may reach something it could not before"},
    {kPermissionRemoved, "D407", "permission-removed", kCompatible, false,
     "the agent may reach less than before"},
    {kTriggerRemoved, "D408", "trigger-removed", kBreaking, false,
     "whatever started the agent that way no longer does"},
    {kTriggerAdded, "D409", "trigger-added", kCompatible, false,
     "the existing triggers still work"},
    {kRefusalAdded, "D501", "refusal-added", kBreaking, false,
     "users may ask for something the system now refuses"},
    {kRefusalRemoved, "D502", "refusal-removed", kCompatible, false,
     "nothing that was allowed is refused"},
    {kObligationAdded, "D503", "obligation-added", kBreaking, false,
     "users must do something they were not asked to"},
    {kObligationRemoved, "D504", "obligation-removed", kCompatible, false,
     "users are asked for less"},
    {kCommitmentRemoved, "D505", "commitment-removed", kBreaking, false,
     "users may rely on the commitment"},
    {kCommitmentAdded, "D506", "commitment-added", kCompatible, false,
     "the system promises more"},
    {kExtensionChanged, "D601", "extension-changed", kReview, false,
     "only the system that reads an extension knows what it means"},
};

constexpr bool rules_in_code_order() {
  for (std::size_t i = 0; i < std::size(kRules); ++i) {
    if (static_cast<std::size_t>(kRules[i].id) != i) return false;
    if (i > 0 && !(kRules[i - 1].code < kRules[i].code)) return false;
  }
  return static_cast<std::size_t>(kExtensionChanged) + 1 == std::size(kRules);
}
static_assert(rules_in_code_order(),
              "kRules lists every DiffCode once, in order, codes ascending");

}  // namespace

const char* change_class_name(ChangeClass c) {
  switch (c) {
    case ChangeClass::kError: return "error";
    case ChangeClass::kBreaking: return "breaking";
    case ChangeClass::kReview: return "review";
    case ChangeClass::kCompatible: return "compatible";
  }
  return "review";
}

std::span<const DiffRule> diff_rules() { return kRules; }

const DiffRule& diff_rule(DiffCode code) {
  return kRules[static_cast<std::size_t>(code)];
}

const DiffRule* find_diff_rule(std::string_view code) {
  for (const DiffRule& r : kRules) {
    if (r.code == code) return &r;
  }
  return nullptr;
}

}  // namespace qel
