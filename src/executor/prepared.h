// What a compiled contract works out once for all of its runs: the forms of
// its conditions and the parts of the result document that never change.
#ifndef QEL_SRC_EXECUTOR_PREPARED_H_
#define QEL_SRC_EXECUTOR_PREPARED_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "executor/condition_form.h"
#include "executor/result_writer.h"
#include "qel/executor.h"
#include "qel/interrupt.h"
#include "qel/model.h"

namespace qel::detail {

struct Prepared {
  // The state_before of a first request: the indentation it is written at.
  static constexpr std::size_t kInitialStateIndent = 8;

  // Fills every member from the contract and its initial state. The forms'
  // field views point into `contract`, which must outlive this.
  Prepared(const Contract& contract, const ExecutionState& initial_state);
  // Empty, for build().
  Prepared() = default;
  // Fills every member as the constructor does, asking `poll` as it goes;
  // false, the members then filled in part, when it said stop.
  bool build(const Contract& contract, const ExecutionState& initial_state,
             InterruptPoll& poll);

  // Per operation, in declaration order.
  std::vector<std::optional<ConditionForm>> preconditions;
  std::vector<std::optional<ConditionForm>> postconditions;
  // In declaration order.
  std::vector<std::optional<ConditionForm>> invariants;
  // The result's members before its operations, with "success" true and
  // false.
  std::string head_success;
  std::string head_failure;
  // The initial state as written at kInitialStateIndent, and where each of
  // its fields lies in that text.
  FieldTexts initial_field_texts;
  std::string initial_state_text;
  // Whether that text holds UTF-8: a result that copies from it notes so
  // on its output, as the JSON writers note what they write.
  bool initial_state_non_ascii = false;
  // A little more than the result of one request from the initial state,
  // which holds about ten states of that size (its log entry twice).
  std::size_t one_request_size = 0;
};

}  // namespace qel::detail

#endif  // QEL_SRC_EXECUTOR_PREPARED_H_
