// The request text of an execute call, run on an executor: shared by
// execute_contract and sessions, so that both read requests one way.
#ifndef QEL_SRC_EXECUTOR_RUN_TEXT_H_
#define QEL_SRC_EXECUTOR_RUN_TEXT_H_

#include <optional>
#include <string_view>

#include "qel/error.h"
#include "qel/executor.h"
#include "qel/output.h"

namespace qel::detail {

// One request object or an array of them, trimmed of white space, run from
// the executor's state; the result document is appended to `out`. The
// Error of a failed call, `out` then holding a part of the text.
std::optional<Error> run_request_text(Executor& executor,
                                      std::string_view inputs, Output& out);

}  // namespace qel::detail

#endif  // QEL_SRC_EXECUTOR_RUN_TEXT_H_
