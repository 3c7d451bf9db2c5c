// Writing an execution result while its requests run.
#ifndef QEL_SRC_EXECUTOR_RESULT_WRITER_H_
#define QEL_SRC_EXECUTOR_RESULT_WRITER_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/executor.h"
#include "qel/interrupt.h"
#include "qel/output.h"

namespace qel::detail {

class ResultWriter;
struct Prepared;

// The members of a result before its operations: "contract_id" and
// "success", then the "operations" key.
std::string result_head_text(std::string_view contract_id, bool success);
// Where one field of a state lies in its text: its name, ": " and its
// value, from the first quote on (the line break and indentation before it
// left out).
struct FieldText {
  std::size_t offset = 0;
  std::size_t length = 0;
  bool multiline = false;  // a value that spreads over lines
};
using FieldTexts = std::vector<FieldText>;
// A state as written at indentation `indent` inside a result; where each
// field's text lies is appended to `fields` when it is set. Stops short
// once `interrupter` says stop.
std::string state_text(const ExecutionState& state, std::size_t indent,
                       FieldTexts* fields = nullptr,
                       const Interrupter& interrupter = {});

// Writes into `out` the text write_execution_result writes for a whole
// result, one operation at a time as the requests run. The log repeats
// each operation's entry, and is copied from the text already written, so
// nothing of an operation is needed once it has been handed over: a long
// request list never holds more than one entry.
class ResultStream {
 public:
  ResultStream(Output& out, std::string_view contract_id,
               const Interrupter& interrupter);
  // The same for a compiled contract's run from `start`: its fixed texts
  // are copied rather than written again (the initial state's when `start`
  // holds the same values).
  ResultStream(Output& out, const Prepared& prepared,
               const ExecutionState& initial_state, const ExecutionState& start,
               const Interrupter& interrupter);
  ~ResultStream();
  ResultStream(const ResultStream&) = delete;
  ResultStream& operator=(const ResultStream&) = delete;

  // The next operation's result. False when the interrupter said stop.
  [[nodiscard]] bool operation(const OperationResult& result);
  // The final state, the log and the error (absent on success) after the
  // last operation. False when the interrupter said stop.
  [[nodiscard]] bool finish(const ExecutionState& final_state,
                            const std::optional<std::string>& error);

 private:
  std::unique_ptr<ResultWriter> writer_;
  // The members before the operations, with "success" true; with false,
  // made only when a call fails.
  std::string head_success_;
  std::string head_failure_;
  std::string contract_id_;
  const Prepared* prepared_ = nullptr;
};

}  // namespace qel::detail

#endif  // QEL_SRC_EXECUTOR_RESULT_WRITER_H_
