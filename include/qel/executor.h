// Running operation requests against a contract's state: runtime values and
// state, the condition evaluator, the sandbox limits, the executor with its
// rollback and provenance log, and the request driver.
#ifndef QEL_EXECUTOR_H_
#define QEL_EXECUTOR_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "qel/error.h"
#include "qel/interrupt.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/output.h"

namespace qel {

// ---- Runtime values -------------------------------------------------------

// A runtime value: every state field, input value and recorded old or new
// value. Copying copies deeply.
class Value {
 public:
  enum class Kind { kNull, kBoolean, kInteger, kFloat, kString, kArray,
                    kObject };
  using Array = std::vector<Value>;
  using Member = std::pair<std::string, Value>;
  // An ordered map kept as a vector sorted by byte-wise key order, keys
  // unique: lookups are binary searches, iteration is key order, and a copy
  // is one allocation instead of one per entry.
  using Object = std::vector<Member>;

  Value() = default;  // Null
  static Value null() { return Value(); }
  static Value boolean(bool b) { return Value(Payload(b)); }
  static Value integer(int64_t i) { return Value(Payload(i)); }
  static Value floating(double d) { return Value(Payload(d)); }
  static Value string(std::string s) { return Value(Payload(std::move(s))); }
  static Value array(Array a) { return Value(Payload(std::move(a))); }
  // Members may come in any order; they are sorted, and of repeated keys the
  // last one wins.
  static Value object(Object members);

  // Null, Boolean, Integer, Float, String, Array, Object for null, booleans,
  // integers that fit a signed 64-bit integer, integers above it (the
  // nearest double), other numbers, strings, arrays and objects.
  static Value from_json(const Json& json);

  Kind kind() const { return static_cast<Kind>(payload_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }

  bool as_boolean() const { return std::get<bool>(payload_); }
  int64_t as_integer() const { return std::get<int64_t>(payload_); }
  double as_float() const { return std::get<double>(payload_); }
  const std::string& as_string() const { return std::get<std::string>(payload_); }
  const Array& as_array() const { return std::get<Array>(payload_); }
  const Object& as_object() const { return std::get<Object>(payload_); }

  // Whether the value counts as present for "is not empty": false for Null,
  // false, 0, 0.0, "", [] and {}; a NaN counts as true.
  bool truthy() const;

  // Same kind and same payload; Float compares as IEEE (NaN unequal to
  // itself, 0.0 equal to -0.0); no equality across kinds.
  friend bool operator==(const Value& a, const Value& b);

 private:
  using Payload = std::variant<std::monostate, bool, int64_t, double,
                               std::string, Array, Object>;
  explicit Value(Payload p) : payload_(std::move(p)) {}

  Payload payload_;
};

// The member of `object` named `key`, or nullptr.
const Value* find_member(const Value::Object& object, std::string_view key);

// The pretty-printed JSON text of a value (two-space indentation, members in
// key order, non-finite floats as null), appended to `out`.
void write_value_json(const Value& value, std::string& out);
// The same on one line without spaces (JSON Lines), appended to `out`.
void append_compact_json(std::string& out, const Value& value);

// ---- Execution state --------------------------------------------------------

// The contract's state: field name -> Value in byte-wise key order. The
// fields are shared between copies and copied only when a copy changes, so
// snapshots and the states recorded in results cost nothing extra.
class ExecutionState {
 public:
  using Fields = Value::Object;

  ExecutionState();
  // `fields` may come in any order; of repeated names the last one wins.
  explicit ExecutionState(Fields fields);

  // One field per member of the contract's state declaration, each at
  // default_for_type of its description; empty when the declaration is not
  // an object.
  static ExecutionState from_contract(const Contract& contract);
  // The initial value of one state declaration (a type text, or an object
  // with "type" and "default").
  static Value default_for_type(const Json& description);
  // Size accounting in bytes: 1 for Null and Boolean, 8 for numbers, 24 plus
  // the bytes of a string, 24 plus the elements of an array, 24 plus keys and
  // values of an object. Unsigned 64-bit, wrapping.
  static uint64_t value_size(const Value& value);

  const Fields& fields() const { return *fields_; }
  const Value* find(std::string_view name) const;
  // Sets one field, replacing or adding it.
  void set(std::string name, Value value);
  // Sets a field for every member of `members` (converted with from_json),
  // replacing existing fields and adding new ones.
  void merge(const Json::Object& members);
  // Sum over the fields of name length plus value_size.
  uint64_t size_bytes() const;

  // Whether both states hold the very same fields (not merely equal ones).
  bool same_fields_as(const ExecutionState& other) const {
    return fields_ == other.fields_;
  }

  friend bool operator==(const ExecutionState& a, const ExecutionState& b) {
    return a.fields_ == b.fields_ || *a.fields_ == *b.fields_;
  }

 private:
  std::shared_ptr<const Fields> fields_;
};

// The pretty-printed JSON object of a state's fields, appended to `out`.
void write_state_json(const ExecutionState& state, std::string& out);
// The same on one line without spaces (JSON Lines), appended to `out`.
void append_compact_json(std::string& out, const ExecutionState& state);

// ---- Expression evaluator -------------------------------------------------

// The outcome of one condition. A check fails only when the condition is
// determined and does not hold; an undetermined outcome always holds.
struct EvaluationOutcome {
  bool holds = true;
  bool determined = false;

  friend bool operator==(const EvaluationOutcome&,
                         const EvaluationOutcome&) = default;
};

// Where the names in a condition are read from.
class NameScope {
 public:
  virtual ~NameScope() = default;
  // The value a name stands for, or nullptr when it names nothing.
  virtual const Value* find(std::string_view name) const = 0;
};

// A scope of exactly the fields of a state.
class FieldScope final : public NameScope {
 public:
  explicit FieldScope(const ExecutionState::Fields& fields) : fields_(fields) {}
  const Value* find(std::string_view name) const override {
    return find_member(fields_, name);
  }

 private:
  const ExecutionState::Fields& fields_;
};

// "field OP number" split out of a condition.
struct Comparison {
  std::string_view field;
  double number = 0.0;
};

// Recognises a fixed set of condition forms over bare field names:
// "f is not empty", "f >= n", "f <= n", "f > n", "f < n" and "f is boolean".
// Any other text is undetermined and never fails a check.
class ExpressionEvaluator {
 public:
  static EvaluationOutcome evaluate(std::string_view condition,
                                    const ExecutionState::Fields& state);
  static EvaluationOutcome evaluate(std::string_view condition,
                                    const NameScope& scope);

  // Splits `text` at the first occurrence of `op`; the field is the left
  // part trimmed, the number the right part trimmed, which must be a whole
  // decimal number (or inf, infinity, nan). Nothing otherwise.
  static std::optional<Comparison> parse_comparison(std::string_view text,
                                                    std::string_view op);

  // The less-than test `value < number` on a numeric field; false when the
  // field is missing or not a number.
  static bool numeric_cmp(const ExecutionState::Fields& state,
                          std::string_view field, double number);

  // The invariants that are determined and do not hold, as written, in
  // declaration order; nothing when there are none.
  static std::optional<std::vector<std::string>> check_invariants(
      const std::vector<std::string>& invariants,
      const ExecutionState::Fields& state);
};

// ---- Sandbox --------------------------------------------------------------

enum class SandboxMode { kNone, kRestricted, kFullIsolation };

// The limits one execution runs under. Only the three resource limits are
// enforced; permissions and mode are carried along.
class Sandbox {
 public:
  explicit Sandbox(const ExecutionConstraints& constraints);

  // "none" and "restricted" name their modes; every other text isolates.
  static SandboxMode mode_from_text(std::string_view text);
  // The size of a state: field name lengths plus value sizes.
  static uint64_t state_size(const ExecutionState::Fields& fields);
  // Whole milliseconds of a duration, truncated.
  static uint64_t whole_milliseconds(std::chrono::nanoseconds elapsed);

  // The state-size limit first, then the memory limit; both strict. The
  // failure, if any.
  [[nodiscard]] std::optional<Error> check_memory(
      const ExecutionState::Fields& fields) const;
  // The time limit for operation `operation`; strict. The failure, if any.
  [[nodiscard]] std::optional<Error> check_time(std::string_view operation,
                                                uint64_t elapsed_ms) const;

  const std::vector<std::string>& permissions() const { return permissions_; }
  const ResourceLimits& limits() const { return limits_; }
  SandboxMode mode() const { return mode_; }

 private:
  std::vector<std::string> permissions_;
  ResourceLimits limits_;
  SandboxMode mode_;
};

// ---- Executor -------------------------------------------------------------

struct StateChange {
  std::string field;
  Value old_value;  // Null when the field did not exist
  Value new_value;  // Null when the field no longer exists

  friend bool operator==(const StateChange&, const StateChange&) = default;
};

// One successful operation. Entries are immutable once recorded, so the log
// and the operation's result share one.
struct ProvenanceEntry {
  uint64_t sequence = 0;
  std::string operation;
  Json inputs;  // exactly as parsed from the request
  ExecutionState state_before;
  ExecutionState state_after;
  std::vector<StateChange> changes;
  bool postconditions_verified = true;
  bool invariants_verified = true;
};
using ProvenanceEntryRef = std::shared_ptr<const ProvenanceEntry>;

class ProvenanceLog {
 public:
  void append(ProvenanceEntryRef entry) { entries_.push_back(std::move(entry)); }
  const std::vector<ProvenanceEntryRef>& entries() const { return entries_; }

 private:
  std::vector<ProvenanceEntryRef> entries_;
};

// A condition that failed a request, and what it read: enough to explain
// the failure without running it again. Not part of the result document.
struct FailedCondition {
  std::string condition;       // as declared
  std::string field;           // the field it names
  std::optional<Value> value;  // what it read there; nothing when absent
};

// The outcome of one request.
struct OperationResult {
  std::string operation;
  bool success = false;
  ExecutionState state;              // after the request, after any rollback
  std::optional<std::string> error;  // the error's text form on failure
  ProvenanceEntryRef provenance;     // the recorded entry; null on failure
  // On a failed precondition, postcondition or invariant check: each
  // condition that failed (invariants in declaration order). Empty for
  // every other failure and on success.
  std::vector<FailedCondition> failed_conditions;
};

// The outcome of a whole request list.
struct ExecutionResult {
  std::string contract_id;
  bool success = true;
  std::vector<OperationResult> operations;
  ExecutionState final_state;
  ProvenanceLog provenance;
  std::optional<std::string> error;
};

class CompiledContract;
class Executor;
struct RunOptions;
namespace detail {
class ArrayReader;
std::optional<Error> run_request_text(Executor& executor,
                                      std::string_view inputs, Output& out);
}  // namespace detail

// Runs operations of one contract, one request at a time, with rollback on
// failure and a provenance entry per success.
class Executor {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // Compiles `contract` and starts from its initial state.
  explicit Executor(Contract contract);
  // Runs a compiled contract from `state`, numbering the next entry
  // `next_sequence`.
  Executor(std::shared_ptr<const CompiledContract> compiled,
           ExecutionState state, uint64_t next_sequence);
  ~Executor();

  // Runs operation `name` with inputs given as JSON text. On error the state
  // is as before the call and nothing is recorded.
  Result<OperationResult> execute_operation(std::string_view name,
                                            std::string_view inputs);
  // The same with inputs already parsed.
  Result<OperationResult> execute_operation(std::string_view name,
                                            Json inputs);

  // One element of a request list: an Error for a malformed request
  // (nothing run), otherwise the request's result, failed or not, with the
  // state after it (rolled back on failure). The inputs are moved out of
  // `request`.
  Result<OperationResult> run_request(Json& request);

  // What merging `inputs` (an object; anything else merges nothing) into
  // `before` changed, `after` being the result: the changed fields in key
  // order, then the added ones in key order.
  static std::vector<StateChange> compute_changes(const ExecutionState& before,
                                                  const ExecutionState& after,
                                                  const Json& inputs);

  // Runs a JSON array of request objects in order, stopping at the first
  // failing operation. Errors only for malformed requests, and
  // Error::interrupted() when the interrupter stops it (while the requests
  // are read or between two of them).
  Result<ExecutionResult> execute_all(std::string_view requests);
  // execute_all, then write_execution_result, in one pass: each operation's
  // result is written as soon as it is known and let go, so that a long
  // request list holds one provenance entry at a time and stopping part way
  // has little to free. The same text; the same errors, and
  // Error::interrupted() also while the result is written. The log
  // (provenance()) keeps none of these operations' entries; next_sequence()
  // still counts them.
  Result<std::string> execute_all_json(std::string_view requests);
  // The same, appended to `out`; the Error of a failed call, `out` then
  // holding a part of the text.
  std::optional<Error> execute_all_json(std::string_view requests,
                                        Output& out);

  const Contract& contract() const;
  const Sandbox& sandbox() const;
  const ExecutionState& state() const { return state_; }
  const ProvenanceLog& provenance() const { return provenance_; }
  uint64_t next_sequence() const { return next_sequence_; }

  // The monotonic clock the time limit reads; the steady clock by default.
  void set_clock(Clock clock) { clock_ = std::move(clock); }
  // Asked while execute_all reads and runs requests; none by default.
  void set_interrupter(const Interrupter& interrupter) {
    interrupter_ = interrupter;
  }
  // Whether inputs are checked against the declared parameter types
  // before an operation runs (RunOptions::check_inputs); off by default.
  void set_check_inputs(bool check) { check_inputs_ = check; }
  // Whether provenance() keeps each recorded entry; true by default. A
  // long-lived caller that takes each entry from its result turns it off.
  void set_keep_log(bool keep) { keep_log_ = keep; }
  // Replaces the state and the next sequence number (a caller restoring
  // an earlier point).
  void reset(ExecutionState state, uint64_t next_sequence) {
    state_ = std::move(state);
    next_sequence_ = next_sequence;
  }

 private:
  const Operation* find_operation(std::string_view name) const;
  Result<OperationResult> run(const Operation& operation,
                              std::string_view name, Json inputs,
                              std::chrono::steady_clock::time_point start);
  // Reads the request array and runs the requests in order, handing each
  // result to `take` (a false from it stops the call as interrupted); a
  // failing operation's result is the last one. The failing operation's
  // error text, or nothing when all succeeded.
  template <typename Take>
  Result<std::optional<std::string>> run_requests(std::string_view requests,
                                                  Take&& take);
  template <typename Take>
  Result<std::optional<std::string>> run_requests(detail::ArrayReader& reader,
                                                  Take&& take);
  // execute_all_json of the requests `reader` reads.
  std::optional<Error> write_all_json(detail::ArrayReader& reader,
                                      Output& out);
  friend std::optional<Error> detail::run_request_text(Executor& executor,
                                                       std::string_view inputs,
                                                       Output& out);

  friend class CompiledContract;

  std::shared_ptr<const CompiledContract> compiled_;
  // The contract's initial state as the result writer takes it; a copy
  // with the same values may stand in (see CompiledContract::execute).
  const ExecutionState* initial_ = nullptr;
  ExecutionState state_;
  ProvenanceLog provenance_;
  uint64_t next_sequence_ = 0;
  Clock clock_;
  Interrupter interrupter_;
  bool keep_log_ = true;  // whether provenance_ keeps each entry
  bool check_inputs_ = false;
  // The conditions that failed the request being run.
  std::vector<FailedCondition> failed_conditions_;
};

// The pretty-printed execution result JSON, appended to `out`.
void write_execution_result(const ExecutionResult& result, std::string& out);
// The same, asking `interrupter` as the text grows; false when it said stop,
// and `out` then holds a part of the text.
[[nodiscard]] bool write_execution_result(const ExecutionResult& result,
                                          std::string& out,
                                          const Interrupter& interrupter);

// Runs one request object or an array of them; returns the execution result
// JSON. Only errors of the whole call (malformed requests) are Errors; a
// failing operation is reported inside the result.
// `interrupter` is asked throughout; when it says stop, the call returns
// Error::interrupted() with everything it built freed.
Result<std::string> execute_contract(const Contract& contract,
                                     std::string_view inputs,
                                     const Interrupter& interrupter = {});
Result<std::string> execute_contract(Contract&& contract,
                                     std::string_view inputs,
                                     const Interrupter& interrupter = {});
// The same, appended to `out`; the Error of a failed call, `out` then
// holding a part of the text.
std::optional<Error> execute_contract(Contract&& contract,
                                      std::string_view inputs, Output& out,
                                      const Interrupter& interrupter = {});

}  // namespace qel

#endif  // QEL_EXECUTOR_H_
