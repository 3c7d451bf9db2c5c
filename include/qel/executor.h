// Running operation requests against a contract's state.
#ifndef QEL_EXECUTOR_H_
#define QEL_EXECUTOR_H_

#include <string>
#include <string_view>

#include "qel/error.h"
#include "qel/model.h"

namespace qel {

// Runs one request object or an array of them; returns the execution result
// JSON. Only errors of the whole call (malformed requests) are Errors; a
// failing operation is reported inside the result.
Result<std::string> execute_contract(const Contract& contract,
                                     std::string_view inputs);

}  // namespace qel

#endif  // QEL_EXECUTOR_H_
