#include "qel/result_document.h"

#include "executor/json_input.h"
#include "executor/result_writer.h"
#include "executor/text.h"

namespace qel {

Result<Json> parse_request_json(std::string_view text,
                                std::string_view prefix) {
  return detail::parse_json(text, prefix);
}

Result<Json> parse_requests(std::string_view inputs, std::size_t& start,
                            bool& wrapped) {
  constexpr std::string_view kPrefix = "Invalid JSON requests: ";
  const std::string_view text = detail::trim_white_space(inputs);
  start = text.empty() ? 0 : static_cast<std::size_t>(text.data() - inputs.data());
  wrapped = false;
  if (text.empty() || (text.front() != '{' && text.front() != '[')) {
    return Error::execution_error(
        "Input must be a JSON object or array of objects");
  }
  if (text.front() == '[') {
    Result<Json> parsed = detail::parse_json(text, kPrefix);
    if (parsed.ok() && !parsed->is_array()) {
      return detail::not_an_array(text, kPrefix);
    }
    return parsed;
  }
  wrapped = true;
  std::string requests;
  requests.reserve(text.size() + 2);
  requests += '[';
  requests += text;
  requests += ']';
  return detail::parse_json(requests, kPrefix);
}

ResultDocument::ResultDocument(Output& out, std::string_view contract_id)
    : stream_(std::make_unique<detail::ResultStream>(out, contract_id,
                                                     Interrupter{})) {}

ResultDocument::~ResultDocument() = default;

void ResultDocument::operation(const OperationResult& result) {
  // Without an interrupter the stream never stops part way.
  (void)stream_->operation(result);
}

void ResultDocument::finish(const ExecutionState& final_state,
                            const std::optional<std::string>& error) {
  (void)stream_->finish(final_state, error);
}

}  // namespace qel
