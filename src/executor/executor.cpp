// Running operations: the executor's steps, rollback and provenance, and the
// request driver.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "executor/condition_form.h"
#include "executor/json_input.h"
#include "executor/result_writer.h"
#include "executor/run_text.h"
#include "executor/text.h"
#include "util/dispose.h"
#include "util/string_result.h"
#include "qel/compiled.h"
#include "qel/executor.h"

namespace qel {

namespace {

constexpr std::string_view kInvalidInput = "Invalid JSON input: ";
constexpr std::string_view kInvalidRequests = "Invalid JSON requests: ";

// Names in a precondition: a declared state field reads the state; any other
// name that the request's inputs object holds reads that input, so that an
// operation can test its own parameters before they are merged; everything
// else reads the state.
class PreconditionScope final : public NameScope {
 public:
  PreconditionScope(const Json& declared, const Json& inputs,
                    const ExecutionState& state)
      : declared_(declared), inputs_(inputs), state_(state) {}

  const Value* find(std::string_view name) const override {
    if (declared_.find(name) == nullptr) {
      if (const Json* input = inputs_.find(name)) {
        scratch_ = Value::from_json(*input);
        return &scratch_;
      }
    }
    return state_.find(name);
  }

 private:
  const Json& declared_;
  const Json& inputs_;
  const ExecutionState& state_;
  mutable Value scratch_;
};

// What a failed condition read from `scope`: the field of its recognised
// form (a failing condition is always recognised) and the value there.
FailedCondition failed_condition(const std::string& condition,
                                 const NameScope& scope) {
  FailedCondition failed;
  failed.condition = condition;
  if (const std::optional<detail::ConditionForm> form =
          detail::recognise_condition(condition)) {
    failed.field = std::string(form->field);
    if (const Value* value = scope.find(form->field)) failed.value = *value;
  }
  return failed;
}

std::string quoted_message(std::string_view before, std::string_view name,
                           std::string_view after) {
  std::string message;
  message.reserve(before.size() + name.size() + after.size());
  message += before;
  message += name;
  message += after;
  return message;
}

}  // namespace

Executor::Executor(Contract contract)
    : Executor(CompiledContract::from_contract(std::move(contract)),
               ExecutionState(), 0) {
  state_ = compiled_->initial_state();
}

Executor::Executor(std::shared_ptr<const CompiledContract> compiled,
                   ExecutionState state, uint64_t next_sequence)
    : compiled_(std::move(compiled)),
      state_(std::move(state)),
      next_sequence_(next_sequence),
      clock_([] { return std::chrono::steady_clock::now(); }) {}

Executor::~Executor() = default;

const Contract& Executor::contract() const { return compiled_->contract(); }

const Sandbox& Executor::sandbox() const { return compiled_->sandbox(); }

const Operation* Executor::find_operation(std::string_view name) const {
  return compiled_->find_operation(name);
}

Result<OperationResult> Executor::execute_operation(std::string_view name,
                                                    std::string_view inputs) {
  const auto start = clock_();
  const Operation* op = find_operation(name);
  if (op == nullptr) {
    return Error::execution_error(
        quoted_message("Operation '", name, "' not found in contract"));
  }
  Result<Json> parsed = detail::parse_json(inputs, kInvalidInput);
  if (!parsed.ok()) return std::move(parsed).error();
  return run(*op, name, std::move(parsed).value(), start);
}

Result<OperationResult> Executor::execute_operation(std::string_view name,
                                                    Json inputs) {
  const auto start = clock_();
  const Operation* op = find_operation(name);
  if (op == nullptr) {
    return Error::execution_error(
        quoted_message("Operation '", name, "' not found in contract"));
  }
  return run(*op, name, std::move(inputs), start);
}

Result<OperationResult> Executor::run(
    const Operation& op, std::string_view name, Json inputs,
    std::chrono::steady_clock::time_point start) {
  if (check_inputs_) {
    if (std::optional<Error> wrong = compiled_->check_inputs(op, inputs)) {
      return std::move(*wrong);
    }
  }
  // Required parameters: presence only. Inputs that are not an object hold
  // none of them, so the first in key order is the one reported missing.
  if (op.parameters.is_object()) {
    for (const auto& [parameter, type] : op.parameters.as_object()) {
      if (inputs.find(parameter) == nullptr) {
        std::string message = "Missing required parameter '";
        message += parameter;
        message += "' for operation '";
        message += op.name;
        message += '\'';
        return Error::execution_error(std::move(message));
      }
    }
  }

  const Contract& contract = compiled_->contract();
  failed_conditions_.clear();
  const PreconditionScope precondition_scope(contract.data_semantics.state,
                                             inputs, state_);
  const EvaluationOutcome pre =
      compiled_->check_precondition(op, precondition_scope);
  if (pre.determined && !pre.holds) {
    failed_conditions_.push_back(
        failed_condition(op.precondition, precondition_scope));
    std::string message = quoted_message("Precondition failed for operation '",
                                         name, "': ");
    message += op.precondition;
    return Error::execution_error(std::move(message));
  }

  const ExecutionState before = state_;
  if (inputs.is_object()) state_.merge(inputs.as_object());
  // Every later failure leaves the state as it was before the merge.
  const auto fail = [&](Error error) -> Result<OperationResult> {
    state_ = before;
    return error;
  };
  const Sandbox& sandbox = compiled_->sandbox();

  const uint64_t elapsed = Sandbox::whole_milliseconds(clock_() - start);
  if (std::optional<Error> late = sandbox.check_time(name, elapsed)) {
    return fail(std::move(*late));
  }

  const EvaluationOutcome post =
      compiled_->check_postcondition(op, FieldScope(state_.fields()));
  if (post.determined && !post.holds) {
    failed_conditions_.push_back(
        failed_condition(op.postcondition, FieldScope(state_.fields())));
    return fail(Error::contract_violation(
        quoted_message("postcondition of '", name, "'"), op.postcondition));
  }

  if (auto violated = compiled_->check_invariants(state_.fields())) {
    std::string detail = "Violated invariants: ";
    const FieldScope merged(state_.fields());
    for (size_t i = 0; i < violated->size(); ++i) {
      if (i > 0) detail += ", ";
      detail += (*violated)[i];
      failed_conditions_.push_back(failed_condition((*violated)[i], merged));
    }
    return fail(Error::contract_violation("invariant", std::move(detail)));
  }

  if (std::optional<Error> too_big = sandbox.check_memory(state_.fields())) {
    return fail(std::move(*too_big));
  }

  auto entry = std::make_shared<ProvenanceEntry>();
  entry->sequence = next_sequence_;
  entry->operation = std::string(name);
  entry->changes = compute_changes(before, state_, inputs);
  entry->inputs = std::move(inputs);
  entry->state_before = before;
  entry->state_after = state_;
  ProvenanceEntryRef recorded = std::move(entry);
  if (keep_log_) provenance_.append(recorded);
  ++next_sequence_;

  OperationResult result;
  result.operation = std::string(name);
  result.success = true;
  result.state = state_;
  result.provenance = std::move(recorded);
  return result;
}

std::vector<StateChange> Executor::compute_changes(const ExecutionState& before,
                                                   const ExecutionState& after,
                                                   const Json& inputs) {
  std::vector<StateChange> changes;
  if (before.same_fields_as(after) || !inputs.is_object()) return changes;
  // Only the merged fields can differ, and no field goes: changed ones in
  // key order (the inputs' order), then added ones.
  const Json::Object& members = inputs.as_object();
  changes.reserve(members.size());
  std::vector<const std::string*> added;
  for (const auto& member : members) {
    const Value* now = after.find(member.first);
    const Value* was = before.find(member.first);
    if (was == nullptr) {
      added.push_back(&member.first);
    } else if (!(*was == *now)) {
      changes.push_back({member.first, *was, *now});
    }
  }
  for (const std::string* name : added) {
    changes.push_back({*name, Value(), *after.find(*name)});
  }
  return changes;
}

template <typename Take>
Result<std::optional<std::string>> Executor::run_requests(
    std::string_view requests, Take&& take) {
  // The whole text is checked first, so that a text that is not JSON is
  // refused before any request runs; then each request is read only when
  // its turn comes, so that a long list costs the same per request however
  // long it is.
  QEL_ASSIGN_OR_RETURN(detail::ArrayReader reader,
                       detail::ArrayReader::open(requests, kInvalidRequests,
                                                 interrupter_));
  return run_requests(reader, take);
}

template <typename Take>
Result<std::optional<std::string>> Executor::run_requests(
    detail::ArrayReader& reader, Take&& take) {
  // A request costs microseconds, a check nanoseconds: ask before each one,
  // since a single request can be slow (a large state to copy and check).
  detail::InterruptPoll poll(interrupter_, 1);
  for (;;) {
    if (poll.tick()) return Error::interrupted();
    QEL_ASSIGN_OR_RETURN(std::optional<Json> element, reader.next());
    if (!element) break;
    QEL_ASSIGN_OR_RETURN(OperationResult done, run_request(*element));
    if (!done.success) {
      std::optional<std::string> message = done.error;
      if (!take(std::move(done))) return Error::interrupted();
      return message;
    }
    if (!take(std::move(done))) return Error::interrupted();
  }
  return std::optional<std::string>();
}

Result<OperationResult> Executor::run_request(Json& request) {
  const Json* operation = request.find("operation");
  if (operation == nullptr || !operation->is_string()) {
    return Error::execution_error(
        "Each request must have an 'operation' field");
  }
  const std::string& name = operation->as_string();
  Json inputs = Json::Object{};
  Json::Object& members = request.as_object();
  if (auto it = members.find("inputs"); it != members.end()) {
    inputs = std::move(it->second);
  }
  failed_conditions_.clear();
  Result<OperationResult> done = execute_operation(name, std::move(inputs));
  if (done.ok()) return done;
  OperationResult failed;
  failed.operation = name;
  failed.success = false;
  failed.state = state_;
  failed.error = done.error().to_string();
  failed.failed_conditions = std::move(failed_conditions_);
  failed_conditions_.clear();
  return failed;
}

Result<ExecutionResult> Executor::execute_all(std::string_view requests) {
  ExecutionResult result;
  result.contract_id = contract().identity.stable_id;
  QEL_ASSIGN_OR_RETURN(result.error,
                       run_requests(requests, [&](OperationResult done) {
                         result.operations.push_back(std::move(done));
                         return true;
                       }));
  result.success = !result.error.has_value();
  result.final_state = state_;
  result.provenance = provenance_;
  return result;
}

Result<std::string> Executor::execute_all_json(std::string_view requests) {
  return detail::string_result(
      [&](Output& out) { return execute_all_json(requests, out); });
}

std::optional<Error> Executor::execute_all_json(std::string_view requests,
                                                Output& out) {
  Result<detail::ArrayReader> reader =
      detail::ArrayReader::open(requests, kInvalidRequests, interrupter_);
  if (!reader.ok()) return std::move(reader).error();
  return write_all_json(*reader, out);
}

std::optional<Error> Executor::write_all_json(detail::ArrayReader& reader,
                                              Output& out) {
  detail::ResultStream stream(
      out, compiled_->prepared(),
      initial_ != nullptr ? *initial_ : compiled_->initial_state(), state_,
      interrupter_);
  // Each entry is written with its operation and needed no more.
  const bool keep_log = keep_log_;
  keep_log_ = false;
  // Once a few megabytes are written, the share of the request text read
  // so far tells about how long the entries will be in all; the
  // provenance that follows them is about as long again at most. The
  // output is told once.
  constexpr std::size_t kEstimateAfter = std::size_t{4} << 20;
  bool estimated = false;
  Result<std::optional<std::string>> error =
      run_requests(reader, [&](OperationResult done) {
        if (!stream.operation(done)) return false;
        if (!estimated && out.size() >= kEstimateAfter &&
            reader.bytes_read() > 0) {
          estimated = true;
          const double whole = static_cast<double>(out.size()) *
                               static_cast<double>(reader.text_bytes()) /
                               static_cast<double>(reader.bytes_read()) * 2;
          if (whole < 1e12) out.expect(static_cast<std::size_t>(whole));
        }
        return true;
      });
  keep_log_ = keep_log;
  if (!error.ok()) return std::move(error).error();
  if (!stream.finish(state_, *error)) return Error::interrupted();
  return std::nullopt;
}

Result<std::string> execute_contract(const Contract& contract,
                                     std::string_view inputs,
                                     const Interrupter& interrupter) {
  return execute_contract(Contract(contract), inputs, interrupter);
}

Result<std::string> execute_contract(Contract&& contract,
                                     std::string_view inputs,
                                     const Interrupter& interrupter) {
  return detail::string_result([&](Output& out) {
    return execute_contract(std::move(contract), inputs, out, interrupter);
  });
}

namespace {

// Operations and state fields beyond which freeing a model takes several
// milliseconds, worth a thread that leaves this one free to ask.
constexpr std::size_t kItemsToFreeAsking = std::size_t{1} << 14;

}  // namespace

std::optional<Error> execute_contract(Contract&& contract,
                                      std::string_view inputs, Output& out,
                                      const Interrupter& interrupter) {
  Result<CompiledContractRef> compiled =
      CompiledContract::from_contract(std::move(contract), interrupter);
  if (!compiled.ok()) return std::move(compiled).error();
  RunOptions options;
  options.interrupter = interrupter;
  std::optional<Error> error = (*compiled)->execute(inputs, out, options);
  if (error && error->kind() == ErrorKind::kInterrupted) {
    // The caller waits for the error, not for the model to be freed.
    detail::dispose_later(std::move(compiled).value());
    return error;
  }
  // A large model takes a good part of a second to free: a stop asked for
  // meanwhile is answered at once, the rest freed off this thread.
  const Contract& model = (*compiled)->contract();
  const std::size_t items = model.behavioral_semantics.operations.size() +
                            (model.data_semantics.state.is_object()
                                 ? model.data_semantics.state.as_object().size()
                                 : 0);
  if (items >= kItemsToFreeAsking &&
      !detail::dispose_asking(std::move(compiled).value(), interrupter)) {
    return Error::interrupted();
  }
  return error;
}

namespace detail {

std::optional<Error> run_request_text(Executor& executor,
                                      std::string_view inputs, Output& out) {
  const std::string_view text = detail::trim_white_space(inputs);
  if (text.empty() || (text.front() != '{' && text.front() != '[')) {
    return Error::execution_error(
        "Input must be a JSON object or array of objects");
  }
  std::string wrapped;
  std::string_view requests = text;
  if (text.front() == '{') {
    // One request read as it is, unless reading it as a list of its own
    // might differ: a text that is not one JSON value (it might hold
    // several, or need the list's error message).
    if (std::optional<ArrayReader> one =
            ArrayReader::single(text, kInvalidRequests)) {
      return executor.write_all_json(*one, out);
    }
    // One request is a list of one; positions in parse errors count the
    // bracket put in front.
    wrapped.reserve(text.size() + 2);
    wrapped += '[';
    wrapped += text;
    wrapped += ']';
    requests = wrapped;
  }
  return executor.execute_all_json(requests, out);
}

}  // namespace detail

}  // namespace qel
