// Which texts the condition evaluator reads as conditions. The evaluator
// decides with recognise_condition, and so do the lints that tell authors
// about conditions the run time never checks: one rule, one place.
#ifndef QEL_SRC_EXECUTOR_CONDITION_FORM_H_
#define QEL_SRC_EXECUTOR_CONDITION_FORM_H_

#include <optional>
#include <string_view>

#include "qel/executor.h"

namespace qel::detail {

// A condition in one of the recognised forms, split apart.
struct ConditionForm {
  enum class Kind { kNotEmpty, kGreaterEqual, kLessEqual, kGreater, kLess,
                    kBoolean };
  Kind kind = Kind::kNotEmpty;
  std::string_view field;  // trimmed; a view into the condition text
  double number = 0.0;     // the comparisons only
};

// The recognised forms as authors write them, in the order they are tried.
inline constexpr std::string_view kRecognisedConditionForms =
    "FIELD is not empty, FIELD >= NUMBER, FIELD <= NUMBER, FIELD > NUMBER, "
    "FIELD < NUMBER, FIELD is boolean (one space either side of the "
    "operator)";

// The form ExpressionEvaluator::evaluate reads `condition` as, or nothing
// when it is none of them (and so never fails a check).
std::optional<ConditionForm> recognise_condition(std::string_view condition);

// ExpressionEvaluator::evaluate of a condition already recognised: a
// compiled contract recognises its conditions once, not on every request.
EvaluationOutcome evaluate_form(const std::optional<ConditionForm>& form,
                                const NameScope& scope);

}  // namespace qel::detail

#endif  // QEL_SRC_EXECUTOR_CONDITION_FORM_H_
