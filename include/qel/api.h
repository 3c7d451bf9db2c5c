// The five pipelines as single calls from text to text. The Python module
// and the command line call these and nothing else. A call keeps no state
// and shares none with other calls, so any number of threads may make
// them at once.
#ifndef QEL_API_H_
#define QEL_API_H_

#include <optional>
#include <string>
#include <string_view>

#include "qel/error.h"
#include "qel/interrupt.h"
#include "qel/output.h"

namespace qel {

// parse_contract, then the contract's pretty-printed JSON.
Result<std::string> parse_contract_json(std::string_view text);
// The same, appended to `out`; the Error of a text that does not parse.
// `interrupter` is asked while the text is parsed and the JSON written.
std::optional<Error> parse_contract_json(std::string_view text, Output& out,
                                         const Interrupter& interrupter = {});

// parse, the verifier on the tree, then the pretty-printed verification
// JSON. Only a text that does not parse is an Error; findings are not.
// `interrupter` is asked while the text is parsed, checked and written.
Result<std::string> verify_json(std::string_view text,
                                const Interrupter& interrupter = {});
// The same, appended to `out`.
std::optional<Error> verify_json(std::string_view text, Output& out,
                                 const Interrupter& interrupter = {});

// parse_contract, then execute_contract with the inputs text: the execution
// result JSON. A failing operation is reported inside the result.
// `interrupter` is asked while the text is parsed and lowered and while
// the requests are read, run and written.
Result<std::string> execute_json(std::string_view text,
                                 std::string_view inputs,
                                 const Interrupter& interrupter = {});
// The same, appended to `out`, which the caller owns (the module writes
// the result straight into the str it returns). The Error of a failed
// call, `out` then holding a part of the text.
std::optional<Error> execute_json(std::string_view text,
                                  std::string_view inputs, Output& out,
                                  const Interrupter& interrupter = {});

}  // namespace qel

#endif  // QEL_API_H_
