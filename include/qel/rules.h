// The registry: every rule that can produce a finding, with its stable code
// and its documentation. The README's tables, `qel help CODE`, the JSON
// output and the language server all read this one table.
//
// Families: P parse, V verifier (V1xx type, V2xx invariant, V3xx
// determinism, V4xx coherence), L lints, D contract comparison (its own
// numbering, by section). A code keeps its meaning once published; a
// retired code is never reused.
#ifndef QEL_RULES_H_
#define QEL_RULES_H_

#include <span>
#include <string_view>

#include "qel/diagnostic.h"

namespace qel {

struct Rule {
  std::string_view code;  // "L002"
  std::string_view name;  // "state-default-ignored"
  DiagnosticKind kind;
  Severity default_severity;
  std::string_view summary;  // one line: what it finds
  std::string_view why;      // why it matters
  std::string_view example;  // contract text that triggers it; may be empty
};

// Every rule, in ascending code order (by byte).
std::span<const Rule> rules();

// The rule with exactly this code, or nullptr.
const Rule* find_rule(std::string_view code);

namespace rule {
// Codes the core's checks name, so that a misspelt one fails to compile.
inline constexpr std::string_view kInvalidEncoding = "P001";
inline constexpr std::string_view kLexical = "P002";
inline constexpr std::string_view kGrammar = "P003";

inline constexpr std::string_view kNegativeVersion = "V101";
inline constexpr std::string_view kVersionTooLarge = "V102";
inline constexpr std::string_view kStableIdPattern = "V103";
inline constexpr std::string_view kHashNotHex = "V104";
inline constexpr std::string_view kConfidenceRange = "V105";
inline constexpr std::string_view kLongNarrative = "V106";
inline constexpr std::string_view kDefaultType = "V107";
inline constexpr std::string_view kMapKeyType = "V108";
inline constexpr std::string_view kEmptyEnum = "V109";
inline constexpr std::string_view kDuplicateVariant = "V110";
inline constexpr std::string_view kDuplicateObjectField = "V111";
inline constexpr std::string_view kLimitNotPositive = "V112";
inline constexpr std::string_view kInvariantUnreferenced = "V201";
inline constexpr std::string_view kDuplicateInvariant = "V202";
inline constexpr std::string_view kNondeterminism = "V301";
inline constexpr std::string_view kDuplicateOperation = "V401";
inline constexpr std::string_view kDuplicateStateField = "V402";
inline constexpr std::string_view kUnknownSandboxMode = "V403";
inline constexpr std::string_view kUnknownTrigger = "V404";
inline constexpr std::string_view kUnknownReference = "V405";
inline constexpr std::string_view kDuplicateExtension = "V406";

inline constexpr std::string_view kUnevaluatedCondition = "L001";
inline constexpr std::string_view kIgnoredStateDefault = "L002";
inline constexpr std::string_view kIgnoredParameterDefault = "L003";
inline constexpr std::string_view kInitialStateViolation = "L004";
inline constexpr std::string_view kUnknownConditionField = "L005";
inline constexpr std::string_view kDuplicateField = "L006";
inline constexpr std::string_view kTextAfterContract = "L007";
inline constexpr std::string_view kParameterShadowsState = "L008";
inline constexpr std::string_view kStaleSemanticHash = "L009";
inline constexpr std::string_view kUnusedSuppression = "L100";
}  // namespace rule

}  // namespace qel

#endif  // QEL_RULES_H_
