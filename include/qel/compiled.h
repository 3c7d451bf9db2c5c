// Compiled contracts and sessions: a contract parsed once and run many
// times, and state that persists between calls.
//
// A CompiledContract is immutable once built and is shared by reference
// count, so any number of threads and sessions may use one at once. A
// Session belongs to one thread at a time; it runs one call (or one
// request) at a time against its own state, and its provenance sequence
// numbers continue from call to call. execute_contract is a compiled
// contract run by a fresh session, so both give the same result document.
#ifndef QEL_COMPILED_H_
#define QEL_COMPILED_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/error.h"
#include "qel/executor.h"
#include "qel/interrupt.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/output.h"

namespace qel {

class CompiledContract;
namespace detail {
class InterruptPoll;
struct Prepared;
}  // namespace detail
using CompiledContractRef = std::shared_ptr<const CompiledContract>;

// How one call runs.
struct RunOptions {
  // Asked while requests are read, run and written; none by default.
  Interrupter interrupter;
  // Before an operation runs, every input that names one of its declared
  // parameters must have that parameter's type, and every input must name
  // a parameter or a declared state field; otherwise the request fails
  // with an ExecutionError naming the input, the type and the value. Off
  // by default: inputs are then merged unchecked.
  bool check_inputs = false;
};

// One declared type, read from its text form ("Integer", "Array<String>",
// "Map<String, Integer>", "Object { a: Integer, b: String }",
// "Enum [\"a\", \"b\"]"), for checking input values.
class DeclaredType {
 public:
  enum class Kind { kInteger, kFloat, kString, kBoolean, kIso8601, kUuid,
                    kArray, kMap, kObject, kEnum };

  // Nothing for a text that is not a type's text form (or nests too
  // deeply to be checked).
  static std::optional<DeclaredType> read(std::string_view text);

  // Whether `value` has this type: a JSON integer of 64 bits for Integer,
  // any number for Float, a string for String (a timestamp that starts
  // YYYY-MM-DD for ISO8601, 8-4-4-4-12 hex digits for UUID), true or false
  // for Boolean, one of the variants for Enum, an array whose elements all
  // have the element type, an object whose values all have the value type
  // (Map), an object with exactly the declared fields, each of its type
  // (Object). Null has no type.
  bool accepts(const Json& value) const;

  Kind kind() const { return kind_; }

 private:
  Kind kind_ = Kind::kString;
  std::vector<DeclaredType> elements_;  // Array: 1, Map: key and value
  std::vector<std::string> names_;      // Object field names, Enum variants
  // Object: field types in the order of names_.
  std::vector<DeclaredType> fields_;

  friend class TypeReader;
};

// A contract parsed once, with what every run needs built up front: the
// initial state, the sandbox, the operations ordered by name and the
// declared parameter types.
class CompiledContract {
 public:
  // Parses `text` (the errors of parse_contract) and compiles the model.
  // The text is kept (source()).
  static Result<CompiledContractRef> compile(std::string_view text,
                                             const Interrupter& interrupter = {});
  // Compiles a model built elsewhere; source() is then empty.
  static CompiledContractRef from_contract(Contract contract);
  // The same, asking `interrupter` as it goes: Error::interrupted() when
  // told to stop, what was built then freed off this thread.
  static Result<CompiledContractRef> from_contract(
      Contract contract, const Interrupter& interrupter);

  const Contract& contract() const { return contract_; }
  const std::string& source() const { return source_; }
  const Sandbox& sandbox() const { return sandbox_; }
  // ExecutionState::from_contract of the model.
  const ExecutionState& initial_state() const { return initial_state_; }
  // The 64 hex digits of the semantic hash computed from the source text;
  // empty for a contract compiled from a model.
  const std::string& semantic_hash() const { return semantic_hash_; }

  // The first operation of that name in declaration order, or nullptr.
  const Operation* find_operation(std::string_view name) const;

  // ExpressionEvaluator::evaluate of the precondition or postcondition of
  // `operation`, one of contract()'s operations, and
  // ExpressionEvaluator::check_invariants of the contract's invariants:
  // the same outcomes, with the conditions recognised once, at compile
  // time.
  EvaluationOutcome check_precondition(const Operation& operation,
                                       const NameScope& scope) const;
  EvaluationOutcome check_postcondition(const Operation& operation,
                                        const NameScope& scope) const;
  std::optional<std::vector<std::string>> check_invariants(
      const ExecutionState::Fields& state) const;

  // The texts and forms worked out once for every run.
  const detail::Prepared& prepared() const { return *prepared_; }

  // The check_inputs rule for one request to `operation`, one of
  // contract()'s operations: the ExecutionError of the first offending
  // input in key order, or nothing.
  std::optional<Error> check_inputs(const Operation& operation,
                                    const Json& inputs) const;

  // execute_contract(contract(), inputs): the same result document and the
  // same errors, from the initial state.
  Result<std::string> execute(std::string_view inputs,
                              const RunOptions& options = {}) const;
  // The same, appended to `out`; the Error of a failed call, `out` then
  // holding a part of the text.
  std::optional<Error> execute(std::string_view inputs, Output& out,
                               const RunOptions& options = {}) const;

  // Public for make_shared only; use compile or from_contract.
  struct Token {};
  CompiledContract(Token, Contract contract, std::string source,
                   std::string semantic_hash);
  ~CompiledContract();
  CompiledContract(const CompiledContract&) = delete;
  CompiledContract& operator=(const CompiledContract&) = delete;

 private:
  // Holds the model only; build() works out the rest.
  CompiledContract(Contract contract, std::string source,
                   std::string semantic_hash);
  // False when `poll` said stop, the members then built in part.
  bool build(detail::InterruptPoll& poll);
  static Result<CompiledContractRef> build(Contract contract,
                                           std::string source,
                                           std::string semantic_hash,
                                           const Interrupter& interrupter);

  // Unique among the contracts of this process, never reused.
  uint64_t id_;
  Contract contract_;
  std::string source_;
  std::string semantic_hash_;
  Sandbox sandbox_;
  ExecutionState initial_state_;
  // Indices of the operations ordered by name, equal names in declaration
  // order: a lookup is a binary search.
  std::vector<std::size_t> operations_by_name_;
  // Per operation (declaration order): its parameters' types, by name in
  // key order; a type whose text cannot be read is absent (unchecked).
  std::vector<std::vector<std::pair<std::string, std::optional<DeclaredType>>>>
      parameter_types_;
  // Holds views into contract_, so the contract is never copied or moved.
  std::unique_ptr<const detail::Prepared> prepared_;
};

// A session's state stored as text: the JSON object final_state has (field
// name -> value), read back with Value::from_json per member so that a
// stored session resumes with the very values it had. A text that is not
// JSON, or not an object, is an ExecutionError saying so.
Result<ExecutionState> read_state_json(std::string_view text);

// A contract's state carried from call to call.
class Session {
 public:
  // Starts from the contract's initial state, sequence number 0.
  explicit Session(CompiledContractRef contract);
  // Starts from `state` (see read_state_json) and `next_sequence`.
  Session(CompiledContractRef contract, ExecutionState state,
          uint64_t next_sequence = 0);

  Session(Session&&) noexcept;
  Session& operator=(Session&&) noexcept;
  ~Session();

  // Runs a request text exactly as execute_contract does (one request
  // object or an array of them), but from this session's state and
  // sequence number, and writes the same result document: "operations"
  // and "provenance" hold this call's requests only. A failed operation
  // stops the call with the state as before it; the session stays usable.
  // An Error of the whole call (malformed requests, interrupted) leaves the
  // session as it was before the call.
  Result<std::string> run(std::string_view inputs,
                          const RunOptions& options = {});
  std::optional<Error> run(std::string_view inputs, Output& out,
                           const RunOptions& options = {});

  // Runs ONE request already parsed (an object with a string "operation"
  // and optional "inputs"), for callers that read requests one at a time
  // (a JSON Lines log). A malformed request is the Error execute gives for
  // it ("Each request must have an 'operation' field") and changes
  // nothing. Otherwise the request's OperationResult, as it appears in
  // "operations": on success with its provenance entry, numbered from the
  // session's sequence; on failure with the error text and, when a
  // condition failed, what it read (failed_conditions). The request's
  // inputs are moved out of `request`. Only options.check_inputs applies:
  // one request is short, so nothing is asked of an interrupter.
  Result<OperationResult> run_request(Json& request,
                                      const RunOptions& options = {});

  const CompiledContract& contract() const { return *contract_; }
  // The current state (after the last successful request).
  const ExecutionState& state() const;
  // The sequence number the next successful request gets.
  uint64_t next_sequence() const;
  // The current state as final_state is written (pretty, key order),
  // appended to `out`; read_state_json reads it back.
  void write_state(std::string& out) const;

 private:
  CompiledContractRef contract_;
  std::unique_ptr<Executor> executor_;
};

}  // namespace qel

#endif  // QEL_COMPILED_H_
