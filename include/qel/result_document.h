// The pieces of a run that a caller reading its own requests needs: the
// request parser, and the result document written one operation at a time.
// A command that runs requests one by one (to say where each came from, or
// to read a log line by line) writes through these exactly the text that
// execute_contract gives for the same requests.
#ifndef QEL_RESULT_DOCUMENT_H_
#define QEL_RESULT_DOCUMENT_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qel/error.h"
#include "qel/executor.h"
#include "qel/json.h"
#include "qel/output.h"

namespace qel {

namespace detail {
class ResultStream;
}

// Parses one JSON value filling `text` (white space aside) as requests are
// parsed: an ExecutionError "{prefix}{description} at line L column C" for
// a text that is not JSON or nests too deeply.
Result<Json> parse_request_json(std::string_view text, std::string_view prefix);

// The requests of an execute call's inputs text, read exactly as
// execute_contract reads them, with the same errors: surrounding white
// space dropped, and a single request object made an array of one by a
// bracket put in front, which the positions in messages then count.
// `start` receives the offset in `inputs` where the trimmed text begins
// and `wrapped` whether the bracket was added.
Result<Json> parse_requests(std::string_view inputs, std::size_t& start,
                            bool& wrapped);

// The execution result document, written into `out` as operations arrive:
// operation() for each request run, in order, then finish() once.
class ResultDocument {
 public:
  ResultDocument(Output& out, std::string_view contract_id);
  ~ResultDocument();
  ResultDocument(const ResultDocument&) = delete;
  ResultDocument& operator=(const ResultDocument&) = delete;

  void operation(const OperationResult& result);
  // The final state and the failed request's error (nothing on success).
  void finish(const ExecutionState& final_state,
              const std::optional<std::string>& error);

 private:
  std::unique_ptr<detail::ResultStream> stream_;
};

}  // namespace qel

#endif  // QEL_RESULT_DOCUMENT_H_
