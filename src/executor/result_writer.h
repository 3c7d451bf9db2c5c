// Writing an execution result while its requests run.
#ifndef QEL_SRC_EXECUTOR_RESULT_WRITER_H_
#define QEL_SRC_EXECUTOR_RESULT_WRITER_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qel/executor.h"
#include "qel/interrupt.h"
#include "qel/output.h"

namespace qel::detail {

class ResultWriter;

// Writes into `out` the text write_execution_result writes for a whole
// result, one operation at a time as the requests run. The log repeats
// each operation's entry, and is copied from the text already written, so
// nothing of an operation is needed once it has been handed over: a long
// request list never holds more than one entry.
class ResultStream {
 public:
  ResultStream(Output& out, std::string_view contract_id,
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
  std::string contract_id_;
};

}  // namespace qel::detail

#endif  // QEL_SRC_EXECUTOR_RESULT_WRITER_H_
