// Operation execution (steps, rollback, provenance), the request driver and
// the execution result JSON, on contracts built by hand.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "counting_interrupter.h"
#include "executor/json_input.h"
#include "qel/executor.h"

namespace qel {
namespace {

Json json_of(std::string_view text) {
  Result<Json> parsed = detail::parse_json(text, "");
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? std::move(parsed).value() : Json();
}

std::string text_of(const ExecutionState& s) {
  std::string out;
  write_state_json(s, out);
  return out;
}

Operation operation(std::string name, std::string precondition,
                    std::string parameters, std::string postcondition) {
  Operation op;
  op.name = std::move(name);
  op.precondition = std::move(precondition);
  op.parameters = json_of(parameters);
  op.postcondition = std::move(postcondition);
  op.idempotence = "none";
  return op;
}

// An account: balance starts at 100, must stay within [0, 1000].
Contract account_contract() {
  Contract c;
  c.identity.stable_id = "acct-1";
  c.data_semantics.state = json_of(
      R"({"balance": {"default": 100, "type": "Integer"}, "owner": "String",
          "history": "Array<String>"})");
  c.data_semantics.invariants = {"balance >= 0", "balance <= 1000"};
  c.behavioral_semantics.operations = {
      operation("set_balance", "balance >= 0", R"({"balance": "Integer"})",
                "balance is not empty"),
      operation("withdraw", "amount > 0", R"({"amount": "Integer"})",
                "balance >= 0"),
      operation("transfer", "amount > 0",
                R"({"amount": "Integer", "account": "String"})",
                "amount <= 500"),
      operation("touch", "", "{}", ""),
      operation("guarded", "frozen is boolean", "{}", "balance > 100"),
      operation("touch", "balance < 0", "{}", ""),  // shadowed by the first
  };
  c.execution_constraints.resource_limits = {100000, 60000, 100000};
  return c;
}

std::string error_text(const Result<OperationResult>& r) {
  return r.ok() ? std::string("<ok>") : r.error().to_string();
}

// ---- execute_operation ---------------------------------------------------------

struct FailureCase {
  const char* operation;
  const char* inputs;
  const char* message;
};

TEST(ExecuteOperation, FailureMessagesLeaveStateUntouched) {
  const std::vector<FailureCase> cases = {
      {"Withdraw", "{\"amount\": 5}",
       "Execution error: Operation 'Withdraw' not found in contract"},
      {"missing", "not json",
       "Execution error: Operation 'missing' not found in contract"},
      {"withdraw", "{\"amount\": 5",
       "Execution error: Invalid JSON input: syntax error while parsing "
       "object - unexpected end of input; expected '}' at line 1 column 13"},
      {"withdraw", "",
       "Execution error: Invalid JSON input: syntax error while parsing value "
       "- unexpected end of input; expected '[', '{', or a literal at line 1 "
       "column 1"},
      {"withdraw", "{} {}",
       "Execution error: Invalid JSON input: syntax error while parsing value "
       "- unexpected '{'; expected end of input at line 1 column 4"},
      {"withdraw", "{}",
       "Execution error: Missing required parameter 'amount' for operation "
       "'withdraw'"},
      {"transfer", "{\"account\": \"x\"}",
       "Execution error: Missing required parameter 'amount' for operation "
       "'transfer'"},
      {"transfer", "{}",
       "Execution error: Missing required parameter 'account' for operation "
       "'transfer'"},
      {"withdraw", "{\"amount\": -5}",
       "Execution error: Precondition failed for operation 'withdraw': "
       "amount > 0"},
      {"withdraw", "{\"amount\": \"5\"}",
       "Execution error: Precondition failed for operation 'withdraw': "
       "amount > 0"},
      {"set_balance", "{\"balance\": -1}",
       "Contract violation - invariant: Violated invariants: balance >= 0"},
      {"set_balance", "{\"balance\": 2000}",
       "Contract violation - invariant: Violated invariants: balance <= 1000"},
      {"set_balance", "{\"balance\": \"lots\"}",
       "Contract violation - invariant: Violated invariants: balance >= 0, "
       "balance <= 1000"},
      {"set_balance", "{\"balance\": null}",
       "Contract violation - postcondition of 'set_balance': balance is not "
       "empty"},
      {"set_balance", "{\"balance\": 0}",
       "Contract violation - postcondition of 'set_balance': balance is not "
       "empty"},
      {"transfer", "{\"amount\": 600, \"account\": \"b\"}",
       "Contract violation - postcondition of 'transfer': amount <= 500"},
      {"guarded", "{}",
       "Execution error: Precondition failed for operation 'guarded': "
       "frozen is boolean"},
  };
  for (const FailureCase& c : cases) {
    Executor executor(account_contract());
    const ExecutionState before = executor.state();
    const Result<OperationResult> r =
        executor.execute_operation(c.operation, std::string_view(c.inputs));
    EXPECT_EQ(error_text(r), c.message) << c.operation << " " << c.inputs;
    EXPECT_TRUE(executor.state() == before) << c.operation << " " << c.inputs;
    EXPECT_EQ(text_of(executor.state()), text_of(before));
    EXPECT_EQ(executor.next_sequence(), 0u);
    EXPECT_TRUE(executor.provenance().entries().empty());
  }
}

TEST(ExecuteOperation, ErrorKinds) {
  Executor executor(account_contract());
  const auto kind_of = [&](std::string_view op, std::string_view inputs) {
    const Result<OperationResult> r = executor.execute_operation(op, inputs);
    EXPECT_FALSE(r.ok());
    return r.ok() ? ErrorKind::kParseError : r.error().kind();
  };
  EXPECT_EQ(kind_of("nope", "{}"), ErrorKind::kExecutionError);
  EXPECT_EQ(kind_of("withdraw", "{\"amount\": 0}"), ErrorKind::kExecutionError);
  EXPECT_EQ(kind_of("set_balance", "{\"balance\": -3}"),
            ErrorKind::kContractViolation);
  const Result<OperationResult> r =
      executor.execute_operation("set_balance", std::string_view("{\"balance\": -3}"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().first(), "invariant");
  EXPECT_EQ(r.error().second(), "Violated invariants: balance >= 0");
}

TEST(ExecuteOperation, BothInvariantsListedInDeclarationOrder) {
  Contract c = account_contract();
  c.data_semantics.invariants = {"owner is not empty", "balance <= 10",
                                 "balance == 0", "balance >= 0"};
  Executor executor(std::move(c));
  EXPECT_EQ(error_text(executor.execute_operation(
                "set_balance", std::string_view("{\"balance\": 50}"))),
            "Contract violation - invariant: Violated invariants: owner is "
            "not empty, balance <= 10");
}

TEST(ExecuteOperation, SuccessRecordsEntryAndChanges) {
  Executor executor(account_contract());
  const Result<OperationResult> r = executor.execute_operation(
      "set_balance", std::string_view(R"({"balance": 250, "note": "hi"})"));
  ASSERT_TRUE(r.ok()) << error_text(r);
  EXPECT_EQ(r->operation, "set_balance");
  EXPECT_TRUE(r->success);
  EXPECT_FALSE(r->error.has_value());
  ASSERT_NE(r->provenance, nullptr);
  const ProvenanceEntry& e = *r->provenance;
  EXPECT_EQ(e.sequence, 0u);
  EXPECT_EQ(e.operation, "set_balance");
  EXPECT_EQ(text_of(e.state_before),
            "{\n  \"balance\": 100,\n  \"history\": null,\n  \"owner\": \"\"\n}");
  EXPECT_EQ(text_of(e.state_after),
            "{\n  \"balance\": 250,\n  \"history\": null,\n  \"note\": \"hi\",\n"
            "  \"owner\": \"\"\n}");
  EXPECT_EQ(e.changes,
            (std::vector<StateChange>{
                {"balance", Value::integer(100), Value::integer(250)},
                {"note", Value(), Value::string("hi")}}));
  EXPECT_TRUE(e.postconditions_verified);
  EXPECT_TRUE(e.invariants_verified);
  EXPECT_TRUE(r->state == e.state_after);
  EXPECT_TRUE(executor.state() == e.state_after);
  ASSERT_EQ(executor.provenance().entries().size(), 1u);
  EXPECT_EQ(executor.provenance().entries()[0], r->provenance);
  EXPECT_EQ(executor.next_sequence(), 1u);
}

TEST(ExecuteOperation, SequenceNumbersSkipNothingAcrossFailures) {
  Executor executor(account_contract());
  const std::vector<std::pair<const char*, bool>> requests = {
      {R"({"balance": 1})", true},   {R"({"balance": -1})", false},
      {R"({"balance": 2})", true},   {R"({"balance": 9999})", false},
      {R"({"balance": "x"})", false}, {R"({"balance": 3})", true},
  };
  std::vector<uint64_t> sequences;
  for (const auto& [inputs, ok] : requests) {
    const Result<OperationResult> r =
        executor.execute_operation("set_balance", std::string_view(inputs));
    ASSERT_EQ(r.ok(), ok) << inputs;
    if (r.ok()) sequences.push_back(r->provenance->sequence);
  }
  EXPECT_EQ(sequences, (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_EQ(executor.next_sequence(), 3u);
  EXPECT_EQ(executor.provenance().entries().size(), 3u);
  EXPECT_EQ(executor.state().find("balance")->as_integer(), 3);
}

TEST(ExecuteOperation, PreconditionReadsOwnParameterNotEarlierMerge) {
  Executor executor(account_contract());
  ASSERT_TRUE(executor.execute_operation("withdraw", std::string_view("{\"amount\": 5}")).ok());
  // The first request merged amount 5 into the state; the next one is
  // judged by its own amount.
  EXPECT_EQ(executor.state().find("amount")->as_integer(), 5);
  EXPECT_EQ(error_text(executor.execute_operation(
                "withdraw", std::string_view("{\"amount\": -5}"))),
            "Execution error: Precondition failed for operation 'withdraw': "
            "amount > 0");
  EXPECT_EQ(executor.state().find("amount")->as_integer(), 5);
  ASSERT_TRUE(executor.execute_operation("withdraw", std::string_view("{\"amount\": 7}")).ok());
  EXPECT_EQ(executor.state().find("amount")->as_integer(), 7);
}

TEST(ExecuteOperation, PreconditionReadsDeclaredFieldsFromTheState) {
  Contract c = account_contract();
  c.behavioral_semantics.operations = {
      operation("reset", "balance >= 500", R"({"balance": "Integer"})", "")};
  Executor executor(std::move(c));
  // balance is declared: the precondition sees 100, not the input's 900.
  EXPECT_EQ(error_text(executor.execute_operation(
                "reset", std::string_view("{\"balance\": 900}"))),
            "Execution error: Precondition failed for operation 'reset': "
            "balance >= 500");
}

TEST(ExecuteOperation, PreconditionIgnoresInputsThatAreNotAnObject) {
  Contract c = account_contract();
  c.behavioral_semantics.operations = {operation("arr", "amount > 0", "{}", "")};
  Executor executor(std::move(c));
  // amount is read from the state, where it does not exist, not from the
  // array.
  EXPECT_EQ(error_text(executor.execute_operation("arr", std::string_view("[5]"))),
            "Execution error: Precondition failed for operation 'arr': "
            "amount > 0");
}

// Inputs that are not an object hold none of an operation's parameters; an
// operation without parameters takes them, records them and merges nothing.
TEST(ExecuteOperation, InputsThatAreNotAnObject) {
  for (const char* inputs : {"null", "[1, 2]", "\"text\"", "7", "true"}) {
    Executor executor(account_contract());
    // Both preconditions would fail too: the parameters are judged first.
    EXPECT_EQ(error_text(executor.execute_operation("withdraw",
                                                    std::string_view(inputs))),
              "Execution error: Missing required parameter 'amount' for "
              "operation 'withdraw'")
        << inputs;
    EXPECT_EQ(error_text(executor.execute_operation("transfer",
                                                    std::string_view(inputs))),
              "Execution error: Missing required parameter 'account' for "
              "operation 'transfer'")
        << inputs;
    EXPECT_EQ(executor.next_sequence(), 0u);
    const Result<OperationResult> t =
        executor.execute_operation("touch", std::string_view(inputs));
    ASSERT_TRUE(t.ok()) << inputs << ": " << error_text(t);
    EXPECT_TRUE(t->provenance->changes.empty());
    std::string recorded;
    append_compact_json(recorded, t->provenance->inputs);
    std::string given;
    append_compact_json(given, json_of(inputs));
    EXPECT_EQ(recorded, given);
    EXPECT_TRUE(t->state == ExecutionState::from_contract(account_contract()));
  }
}

TEST(ExecuteOperation, FirstDeclaredOperationOfANameRuns) {
  Executor executor(account_contract());
  // The second "touch" would fail its precondition.
  EXPECT_TRUE(executor.execute_operation("touch", std::string_view("{}")).ok());
}

TEST(ExecuteOperation, SizeLimitsRollBack) {
  Contract c = account_contract();
  // The initial state: balance 7+8, history 7+1, owner 5+24 = 52 bytes.
  c.execution_constraints.resource_limits = {100000, 60000, 61};
  Executor executor(std::move(c));
  EXPECT_EQ(error_text(executor.execute_operation(
                "touch", std::string_view(R"({"x": "abcdefghij"})"))),
            "Execution error: State size 87 bytes exceeds limit of 61 bytes");
  EXPECT_TRUE(executor.state().find("x") == nullptr);
  EXPECT_TRUE(executor.execute_operation("touch", std::string_view(R"({"y": 1})")).ok());

  Contract m = account_contract();
  m.execution_constraints.resource_limits = {52, 60000, 100000};
  Executor small(std::move(m));
  EXPECT_TRUE(small.execute_operation("touch", std::string_view("{}")).ok());
  EXPECT_EQ(error_text(small.execute_operation("touch", std::string_view(R"({"z": true})"))),
            "Execution error: Memory usage 54 bytes exceeds limit of 52 bytes");
}

// A monotonic clock that returns the given readings in turn.
Executor::Clock scripted_clock(std::vector<std::chrono::nanoseconds> readings) {
  auto at = std::make_shared<size_t>(0);
  return [readings = std::move(readings), at] {
    const auto reading = readings[std::min(*at, readings.size() - 1)];
    ++*at;
    return std::chrono::steady_clock::time_point(reading);
  };
}

struct TimeoutCase {
  uint64_t limit;
  int64_t elapsed_ns;
  const char* message;  // nullptr: succeeds
};

TEST(ExecuteOperation, TimeLimitAfterMergeBeforePostcondition) {
  using std::chrono::nanoseconds;
  const std::vector<TimeoutCase> cases = {
      {0, 0, nullptr},
      {0, 999999, nullptr},
      {0, 1000000,
       "Execution error: Operation 'set_balance' exceeded timeout of 0ms "
       "(took 1ms)"},
      {1, 1999999, nullptr},
      {1, 2900000,
       "Execution error: Operation 'set_balance' exceeded timeout of 1ms "
       "(took 2ms)"},
  };
  for (const TimeoutCase& c : cases) {
    Contract contract = account_contract();
    contract.execution_constraints.resource_limits.computation_timeout_ms =
        c.limit;
    Executor executor(std::move(contract));
    executor.set_clock(scripted_clock(
        {nanoseconds(1000), nanoseconds(1000 + c.elapsed_ns)}));
    const Result<OperationResult> r = executor.execute_operation(
        "set_balance", std::string_view(R"({"balance": 5})"));
    if (c.message == nullptr) {
      EXPECT_TRUE(r.ok()) << c.elapsed_ns << ": " << error_text(r);
    } else {
      EXPECT_EQ(error_text(r), c.message);
      EXPECT_EQ(executor.state().find("balance")->as_integer(), 100);
      EXPECT_EQ(executor.next_sequence(), 0u);
    }
  }

  // The time check comes before the postcondition and the invariants.
  Contract contract = account_contract();
  contract.execution_constraints.resource_limits.computation_timeout_ms = 0;
  Executor executor(std::move(contract));
  executor.set_clock(scripted_clock({nanoseconds(0), nanoseconds(5000000)}));
  EXPECT_EQ(error_text(executor.execute_operation(
                "set_balance", std::string_view(R"({"balance": -4})"))),
            "Execution error: Operation 'set_balance' exceeded timeout of 0ms "
            "(took 5ms)");
}

TEST(ExecuteOperation, ChecksBeforeTheMergeIgnoreTheClock) {
  using std::chrono::nanoseconds;
  Contract contract = account_contract();
  contract.execution_constraints.resource_limits.computation_timeout_ms = 0;
  Executor executor(std::move(contract));
  executor.set_clock(scripted_clock({nanoseconds(0), nanoseconds(9000000)}));
  EXPECT_EQ(error_text(executor.execute_operation("withdraw", std::string_view("{}"))),
            "Execution error: Missing required parameter 'amount' for "
            "operation 'withdraw'");
}

// ---- compute_changes --------------------------------------------------------------

TEST(ComputeChanges, ChangedThenAddedByMerge) {
  const ExecutionState before(ExecutionState::Fields{
      {"b", Value::integer(1)},
      {"d", Value::string("same")},
      {"f", Value::integer(1)},
      {"z", Value::boolean(true)},
      {"zero", Value::floating(0.0)}});
  const Json inputs = Json::Object{{"a", Json(int64_t{9})},
                                   {"b", Json(int64_t{2})},
                                   {"c", Json()},
                                   {"d", Json("same")},
                                   {"f", Json(1.0)},
                                   {"zero", Json(-0.0)}};
  ExecutionState after = before;
  after.merge(inputs.as_object());
  const std::vector<StateChange> changes =
      Executor::compute_changes(before, after, inputs);
  std::vector<std::string> fields;
  for (const StateChange& c : changes) fields.push_back(c.field);
  // An Integer that becomes a Float changes; -0.0 equals 0.0.
  EXPECT_EQ(fields, (std::vector<std::string>{"b", "f", "a", "c"}));
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_TRUE(changes[0].old_value == Value::integer(1));
  EXPECT_TRUE(changes[0].new_value == Value::integer(2));
  EXPECT_TRUE(changes[1].new_value == Value::floating(1.0));
  EXPECT_TRUE(changes[2].old_value.is_null());
  EXPECT_TRUE(changes[2].new_value == Value::integer(9));
  EXPECT_TRUE(changes[3].old_value.is_null());
  EXPECT_TRUE(changes[3].new_value.is_null());

  // Nothing merged, or inputs that are not an object: no change.
  EXPECT_TRUE(Executor::compute_changes(before, before, Json::Object{}).empty());
  EXPECT_TRUE(Executor::compute_changes(before, before, Json(int64_t{3})).empty());
}

// ---- The request driver and the result JSON -----------------------------------

Contract counter_contract() {
  Contract c;
  c.identity.stable_id = "counter-1";
  c.data_semantics.state = json_of(R"({"count": {"default": 0, "type": "Integer"}})");
  c.data_semantics.invariants = {"count <= 10"};
  c.behavioral_semantics.operations = {
      operation("set", "count >= 0", R"({"count": "Integer"})", "count >= 1")};
  c.execution_constraints.resource_limits = {1000, 1000, 1000};
  return c;
}

std::string run(const Contract& contract, std::string_view inputs) {
  Result<std::string> r = execute_contract(contract, inputs);
  return r.ok() ? std::move(r).value() : "ERROR " + r.error().to_string();
}

constexpr std::string_view kSetThreeEntry =
    R"({
        "sequence": 0,
        "operation": "set",
        "inputs": {
          "count": 3
        },
        "state_before": {
          "count": 0
        },
        "state_after": {
          "count": 3
        },
        "changes": [
          {
            "field": "count",
            "old_value": 0,
            "new_value": 3
          }
        ],
        "postconditions_verified": true,
        "invariants_verified": true
      })";

TEST(ExecuteContract, SuccessfulResultLayout) {
  const std::string expected = std::string(R"({
  "contract_id": "counter-1",
  "success": true,
  "operations": [
    {
      "operation": "set",
      "success": true,
      "state": {
        "count": 3
      },
      "error": null,
      "provenance": )") + std::string(kSetThreeEntry) + R"(
    }
  ],
  "final_state": {
    "count": 3
  },
  "provenance": {
    "entries": [
      )" + std::string(kSetThreeEntry) + R"(
    ]
  },
  "error": null
})";
  EXPECT_EQ(run(counter_contract(),
                R"({"operation": "set", "inputs": {"count": 3}})"),
            expected);
}

TEST(ExecuteContract, FailedResultLayout) {
  const std::string expected = std::string(R"({
  "contract_id": "counter-1",
  "success": false,
  "operations": [
    {
      "operation": "set",
      "success": true,
      "state": {
        "count": 3
      },
      "error": null,
      "provenance": )") + std::string(kSetThreeEntry) + R"(
    },
    {
      "operation": "set",
      "success": false,
      "state": {
        "count": 3
      },
      "error": "Contract violation - invariant: Violated invariants: count <= 10",
      "provenance": null
    }
  ],
  "final_state": {
    "count": 3
  },
  "provenance": {
    "entries": [
      )" + std::string(kSetThreeEntry) + R"(
    ]
  },
  "error": "Contract violation - invariant: Violated invariants: count <= 10"
})";
  EXPECT_EQ(run(counter_contract(),
                R"([{"operation": "set", "inputs": {"count": 3}},
                    {"operation": "set", "inputs": {"count": 11}},
                    {"operation": "set", "inputs": {"count": 4}}])"),
            expected);
}

TEST(ExecuteContract, EmptyRequestList) {
  EXPECT_EQ(run(counter_contract(), " [] "),
            "{\n  \"contract_id\": \"counter-1\",\n  \"success\": true,\n"
            "  \"operations\": [],\n  \"final_state\": {\n    \"count\": 0\n"
            "  },\n  \"provenance\": {\n    \"entries\": []\n  },\n"
            "  \"error\": null\n}");
  Contract stateless = counter_contract();
  stateless.data_semantics.state = Json::Object{};
  EXPECT_EQ(run(stateless, "[]"),
            "{\n  \"contract_id\": \"counter-1\",\n  \"success\": true,\n"
            "  \"operations\": [],\n  \"final_state\": {},\n"
            "  \"provenance\": {\n    \"entries\": []\n  },\n"
            "  \"error\": null\n}");
}

TEST(ExecuteContract, SingleRequestEqualsOneElementArray) {
  const std::vector<std::string> requests = {
      R"({"operation": "set", "inputs": {"count": 3}})",
      R"({"operation": "set", "inputs": {"count": 30}})",
      R"({"operation": "set"})",
      R"({"operation": "nope", "inputs": []})",
      R"({"inputs": 5, "operation": "set", "extra": [1, {"a": null}]})",
  };
  for (const std::string& r : requests) {
    const std::string single = run(counter_contract(), r);
    EXPECT_EQ(single, run(counter_contract(), "[" + r + "]")) << r;
    EXPECT_EQ(single, run(counter_contract(), "\n\t " + r + " \r\n")) << r;
    EXPECT_EQ(single.rfind("ERROR", 0), std::string::npos) << single;
  }
}

struct CallErrorCase {
  const char* inputs;
  const char* message;
};

TEST(ExecuteContract, ErrorsOfTheWholeCall) {
  const std::vector<CallErrorCase> cases = {
      {"", "Execution error: Input must be a JSON object or array of objects"},
      {" \n\t", "Execution error: Input must be a JSON object or array of objects"},
      {"\xe3\x80\x80", "Execution error: Input must be a JSON object or array of objects"},
      {"operation", "Execution error: Input must be a JSON object or array of objects"},
      {"1", "Execution error: Input must be a JSON object or array of objects"},
      {"\"x\"", "Execution error: Input must be a JSON object or array of objects"},
      {"null", "Execution error: Input must be a JSON object or array of objects"},
      {"\xef\xbb\xbf[]", "Execution error: Input must be a JSON object or array of objects"},
      {"[1]", "Execution error: Each request must have an 'operation' field"},
      {"[null]", "Execution error: Each request must have an 'operation' field"},
      {"[[]]", "Execution error: Each request must have an 'operation' field"},
      {"{}", "Execution error: Each request must have an 'operation' field"},
      {"{\"operation\": 5}", "Execution error: Each request must have an 'operation' field"},
      {"{\"operation\": null}", "Execution error: Each request must have an 'operation' field"},
      {"{\"Operation\": \"set\"}", "Execution error: Each request must have an 'operation' field"},
      // The second request is malformed: the first one's result is dropped.
      {"[{\"operation\": \"set\", \"inputs\": {\"count\": 2}}, {\"op\": \"set\"}]",
       "Execution error: Each request must have an 'operation' field"},
      // A single object is parsed inside brackets, so columns count one more.
      {"{\"operation\": }",
       "Execution error: Invalid JSON requests: syntax error while parsing "
       "value - unexpected '}'; expected '[', '{', or a literal at line 1 "
       "column 16"},
      {"[{\"operation\": }]",
       "Execution error: Invalid JSON requests: syntax error while parsing "
       "value - unexpected '}'; expected '[', '{', or a literal at line 1 "
       "column 16"},
      {"  {\n\"a\":tru}",
       "Execution error: Invalid JSON requests: syntax error while parsing "
       "value - invalid literal; last read: '\"a\":tru}' at line 2 column 8"},
      {"[{}] x",
       "Execution error: Invalid JSON requests: syntax error while parsing "
       "value - invalid literal; last read: '[{}] x'; expected end of input "
       "at line 1 column 6"},
      {"{} {}",
       "Execution error: Invalid JSON requests: syntax error while parsing "
       "array - unexpected '{'; expected ']' at line 1 column 5"},
      {"[1 2]",
       "Execution error: Invalid JSON requests: syntax error while parsing "
       "array - unexpected number literal; expected ']' at line 1 column 4"},
      {"[",
       "Execution error: Invalid JSON requests: syntax error while parsing "
       "value - unexpected end of input; expected '[', '{', or a literal at "
       "line 1 column 2"},
      {"[1e400]",
       "Execution error: Invalid JSON requests: number overflow parsing "
       "'1e400' at line 1 column 6"},
      {"[{\"operation\": \"set\", \"inputs\": {\"x\": -1e999}}]",
       "Execution error: Invalid JSON requests: number overflow parsing "
       "'-1e999' at line 1 column 44"},
  };
  for (const CallErrorCase& c : cases) {
    EXPECT_EQ(run(counter_contract(), c.inputs), std::string("ERROR ") + c.message)
        << c.inputs;
  }
}

// The position after a description is the one the library itself reports.
TEST(ExecuteContract, ParseErrorPositionsAgreeWithTheLibrary) {
  const std::vector<std::string> texts = {
      "[{\n\"a\":tru}]", "[", "[{} x", "[\"\\x\"]", "[-]", "[\"a\nb\"]",
      "[{\"a\" 1}]", "[\n\n  tru", "[\r\n1,\r\n2,]", "[\"\xc3\xa9\", x]",
      "[\"\xff\"]", "[01]", "[1.]", "[{\"a\": 1,}]", "[] []", "[\t\t@]"};
  for (const std::string& text : texts) {
    std::string expected;
    try {
      const nlohmann::json parsed = nlohmann::json::parse(text);
      (void)parsed;
      ADD_FAILURE() << "parsed: " << text;
      continue;
    } catch (const nlohmann::json::parse_error& e) {
      // "... parse error at line L, column C: description"
      const std::string what = e.what();
      const size_t at = what.find(" at line ");
      const size_t comma = what.find(", column ", at);
      const size_t colon = what.find(": ", comma);
      expected = "Execution error: Invalid JSON requests: " +
                 what.substr(colon + 2) + " at line " +
                 what.substr(at + 9, comma - at - 9) + " column " +
                 what.substr(comma + 9, colon - comma - 9);
    }
    Executor executor(counter_contract());
    const Result<ExecutionResult> r = executor.execute_all(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error().to_string(), expected) << text;
  }
}

TEST(ExecuteContract, NestingLimit) {
  // 128 levels in all: the outer array, the request object, the inputs
  // object and 125 arrays inside it.
  const auto request = [](int arrays) {
    return R"([{"operation": "set", "inputs": {"count": 1, "deep": )" +
           std::string(arrays, '[') + std::string(arrays, ']') + "}}]";
  };
  const std::string ok = run(counter_contract(), request(125));
  EXPECT_EQ(ok.rfind("ERROR", 0), std::string::npos) << ok.substr(0, 200);
  EXPECT_EQ(run(counter_contract(), request(126)),
            "ERROR Execution error: Invalid JSON requests: nesting deeper than "
            "128 levels at line 1 column 179");
  // A single request object counts the bracket put around it.
  EXPECT_EQ(run(counter_contract(), std::string(200, '{')),
            "ERROR Execution error: Invalid JSON requests: syntax error while "
            "parsing object key - unexpected '{'; expected string literal at "
            "line 1 column 3");
  EXPECT_EQ(run(counter_contract(), "[" + std::string(100000, '[') +
                                        std::string(100000, ']') + "]"),
            "ERROR Execution error: Invalid JSON requests: nesting deeper than "
            "128 levels at line 1 column 129");
  const std::string strings = "[\"[[[\", " + std::string(128, '[');
  EXPECT_EQ(run(counter_contract(), strings + std::string(128, ']') + "]"),
            "ERROR Execution error: Invalid JSON requests: nesting deeper than "
            "128 levels at line 1 column 136");
}

TEST(ExecuteContract, ExecuteOperationInputsNestingLimit) {
  Executor executor(counter_contract());
  EXPECT_EQ(error_text(executor.execute_operation(
                "set", std::string_view(std::string(129, '[') +
                                        std::string(129, ']')))),
            "Execution error: Invalid JSON input: nesting deeper than 128 "
            "levels at line 1 column 129");
}

// Extracts the text of the first member `key` at or after `from`.
std::string line_with(const std::string& text, std::string_view needle) {
  const size_t at = text.find(needle);
  if (at == std::string::npos) return "<absent>";
  const size_t end = text.find('\n', at);
  return text.substr(at, end - at);
}

TEST(ExecuteContract, IntegersAboveInt64) {
  Contract c = counter_contract();
  c.behavioral_semantics.operations = {operation("put", "", "{}", "")};
  const std::string out = run(
      c, R"({"operation": "put", "inputs": {"big": 18446744073709551615,
             "edge": 9223372036854775807, "neg": -9223372036854775808}})");
  const nlohmann::json doc = nlohmann::json::parse(out);
  const auto& entry = doc["operations"][0]["provenance"];
  // Kept as written in the inputs, a Float in the state.
  EXPECT_EQ(entry["inputs"]["big"].dump(), "18446744073709551615");
  EXPECT_EQ(entry["state_after"]["big"].dump(), "1.8446744073709552e+19");
  EXPECT_EQ(entry["state_after"]["edge"].dump(), "9223372036854775807");
  EXPECT_EQ(entry["state_after"]["neg"].dump(), "-9223372036854775808");
  EXPECT_EQ(line_with(out.substr(out.find("\"inputs\"")), "\"big\": "),
            "\"big\": 18446744073709551615,");
  EXPECT_EQ(line_with(out.substr(out.find("state_after")), "\"big\": "),
            "\"big\": 1.8446744073709552e+19,");
}

TEST(ExecuteContract, FloatsAndSpecialInputs) {
  Contract c = counter_contract();
  c.behavioral_semantics.operations = {operation("put", "", "{}", "")};
  const std::string out = run(
      c, R"({"operation": "put", "inputs": {"f": 5.0, "g": 1e16, "h": 0.1,
             "i": -0.0, "s": "\u00e9\"\n", "k": {"z": 1, "a": [true, null]},
             "dup": 1, "dup": 2}})");
  const std::string after = out.substr(out.find("\"state_after\""));
  EXPECT_EQ(line_with(after, "\"f\": "), "\"f\": 5.0,");
  EXPECT_EQ(line_with(after, "\"g\": "), "\"g\": 1e+16,");
  EXPECT_EQ(line_with(after, "\"h\": "), "\"h\": 0.1,");
  EXPECT_EQ(line_with(after, "\"i\": "), "\"i\": -0.0,");
  EXPECT_EQ(line_with(after, "\"s\": "), "\"s\": \"\xc3\xa9\\\"\\n\"");
  EXPECT_EQ(line_with(after, "\"dup\": "), "\"dup\": 2,");
  const nlohmann::json doc = nlohmann::json::parse(out);
  EXPECT_EQ(doc["final_state"]["k"].dump(), R"({"a":[true,null],"z":1})");
}

TEST(ExecuteContract, NullAndArrayInputs) {
  Contract c = counter_contract();
  const std::string out =
      run(c, R"([{"operation": "set", "inputs": null},
                 {"operation": "set", "inputs": [1, "two"]}])");
  const nlohmann::json doc = nlohmann::json::parse(out);
  // Not an object: none of set's parameters is there.
  EXPECT_EQ(doc["success"], false);
  EXPECT_EQ(doc["operations"].size(), 1u);
  EXPECT_EQ(doc["error"],
            "Execution error: Missing required parameter 'count' for "
            "operation 'set'");

  // Without parameters both run; neither merges anything, and the entries
  // record them as given.
  c.behavioral_semantics.operations[0].parameters = Json::Object{};
  c.behavioral_semantics.operations[0].postcondition = "";
  const nlohmann::json ok = nlohmann::json::parse(
      run(c, R"([{"operation": "set", "inputs": null},
                 {"operation": "set", "inputs": [1, "two"]}])"));
  EXPECT_EQ(ok["success"], true);
  EXPECT_TRUE(ok["operations"][0]["provenance"]["inputs"].is_null());
  EXPECT_EQ(ok["operations"][1]["provenance"]["inputs"].dump(), R"([1,"two"])");
  EXPECT_EQ(ok["operations"][1]["provenance"]["sequence"], 1);
  EXPECT_EQ(ok["operations"][1]["provenance"]["changes"].dump(), "[]");
}

TEST(ExecuteContract, MissingInputsIsAnEmptyObject) {
  const nlohmann::json doc = nlohmann::json::parse(
      run(counter_contract(), R"({"operation": "set"})"));
  EXPECT_EQ(doc["success"], false);
  EXPECT_EQ(doc["error"],
            "Execution error: Missing required parameter 'count' for "
            "operation 'set'");
  EXPECT_EQ(doc["operations"][0]["error"], doc["error"]);
  EXPECT_TRUE(doc["operations"][0]["provenance"].is_null());
}

TEST(ExecuteContract, StopsAtTheFirstFailure) {
  const nlohmann::json doc = nlohmann::json::parse(run(
      counter_contract(),
      R"([{"operation": "set", "inputs": {"count": 4}},
          {"operation": "set", "inputs": {"count": 0}},
          {"operation": "set", "inputs": {"count": 5}},
          {"not": "even a request"}])"));
  EXPECT_EQ(doc["success"], false);
  ASSERT_EQ(doc["operations"].size(), 2u);
  EXPECT_EQ(doc["operations"][1]["success"], false);
  EXPECT_EQ(doc["operations"][1]["state"].dump(), R"({"count":4})");
  EXPECT_EQ(doc["final_state"].dump(), R"({"count":4})");
  ASSERT_EQ(doc["provenance"]["entries"].size(), 1u);
  EXPECT_EQ(doc["provenance"]["entries"][0]["sequence"], 0);
  EXPECT_EQ(doc["error"],
            "Contract violation - postcondition of 'set': count >= 1");
}

TEST(ExecuteContract, InputFieldsStayForLaterRequests) {
  Contract c = counter_contract();
  c.behavioral_semantics.operations.push_back(
      operation("check", "extra >= 1", "{}", ""));
  // Parsed keeping member order, which the comparison below checks.
  const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(
      run(c, R"([{"operation": "set", "inputs": {"count": 2, "extra": 1}},
                 {"operation": "check"},
                 {"operation": "set", "inputs": {"count": 2}}])"));
  EXPECT_EQ(doc["success"], true);
  const auto& first = doc["operations"][0]["provenance"]["changes"];
  EXPECT_EQ(first.dump(),
            R"([{"field":"count","old_value":0,"new_value":2},)"
            R"({"field":"extra","old_value":null,"new_value":1}])");
  EXPECT_EQ(doc["operations"][2]["provenance"]["changes"].dump(), "[]");
  EXPECT_EQ(doc["final_state"].dump(), R"({"count":2,"extra":1})");
}

TEST(ExecuteContract, CallerContractUnchanged) {
  const Contract c = counter_contract();
  (void)run(c, R"({"operation": "set", "inputs": {"count": 3}})");
  EXPECT_EQ(c.behavioral_semantics.operations.size(), 1u);
  std::string before;
  write_contract_json(c, before);
  std::string again;
  write_contract_json(counter_contract(), again);
  EXPECT_EQ(before, again);
}

// The result written the slow, obvious way with the shared writer, member by
// member, to check the buffer-reusing writer against.
void reference_state(JsonWriter& w, const ExecutionState& s);

void reference_value(JsonWriter& w, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::kNull: w.null(); return;
    case Value::Kind::kBoolean: w.boolean(v.as_boolean()); return;
    case Value::Kind::kInteger: w.integer(v.as_integer()); return;
    case Value::Kind::kFloat: w.number(v.as_float()); return;
    case Value::Kind::kString: w.string(v.as_string()); return;
    case Value::Kind::kArray:
      w.begin_array();
      for (const Value& e : v.as_array()) reference_value(w, e);
      w.end_array();
      return;
    case Value::Kind::kObject:
      w.begin_object();
      for (const auto& [k, e] : v.as_object()) {
        w.key(k);
        reference_value(w, e);
      }
      w.end_object();
      return;
  }
}

void reference_state(JsonWriter& w, const ExecutionState& s) {
  reference_value(w, Value::object(s.fields()));
}

void reference_entry(JsonWriter& w, const ProvenanceEntry& e) {
  w.begin_object();
  w.key("sequence");
  w.unsigned_integer(e.sequence);
  w.key("operation");
  w.string(e.operation);
  w.key("inputs");
  w.value(e.inputs);
  w.key("state_before");
  reference_state(w, e.state_before);
  w.key("state_after");
  reference_state(w, e.state_after);
  w.key("changes");
  w.begin_array();
  for (const StateChange& c : e.changes) {
    w.begin_object();
    w.key("field");
    w.string(c.field);
    w.key("old_value");
    reference_value(w, c.old_value);
    w.key("new_value");
    reference_value(w, c.new_value);
    w.end_object();
  }
  w.end_array();
  w.key("postconditions_verified");
  w.boolean(e.postconditions_verified);
  w.key("invariants_verified");
  w.boolean(e.invariants_verified);
  w.end_object();
}

std::string reference_result(const ExecutionResult& r) {
  std::string out;
  JsonWriter w(out);
  const auto optional_text = [&](const std::optional<std::string>& s) {
    if (s) {
      w.string(*s);
    } else {
      w.null();
    }
  };
  w.begin_object();
  w.key("contract_id");
  w.string(r.contract_id);
  w.key("success");
  w.boolean(r.success);
  w.key("operations");
  w.begin_array();
  for (const OperationResult& o : r.operations) {
    w.begin_object();
    w.key("operation");
    w.string(o.operation);
    w.key("success");
    w.boolean(o.success);
    w.key("state");
    reference_state(w, o.state);
    w.key("error");
    optional_text(o.error);
    w.key("provenance");
    if (o.provenance) {
      reference_entry(w, *o.provenance);
    } else {
      w.null();
    }
    w.end_object();
  }
  w.end_array();
  w.key("final_state");
  reference_state(w, r.final_state);
  w.key("provenance");
  w.begin_object();
  w.key("entries");
  w.begin_array();
  for (const ProvenanceEntryRef& e : r.provenance.entries()) {
    reference_entry(w, *e);
  }
  w.end_array();
  w.end_object();
  w.key("error");
  optional_text(r.error);
  w.end_object();
  return out;
}

TEST(WriteExecutionResult, MatchesMemberByMemberRendering) {
  Contract c = account_contract();
  c.behavioral_semantics.operations.push_back(operation("put", "", "{}", ""));
  std::vector<std::string> request_lists = {
      "[]",
      R"([{"operation": "put", "inputs": {"a": {"b": [1, {"c": []}]}}}])",
      R"([{"operation": "put", "inputs": {"x": 1}},
          {"operation": "put", "inputs": {"x": 1}},
          {"operation": "put", "inputs": {"y": [[["deep"]]], "x": 2.5}},
          {"operation": "touch"},
          {"operation": "put", "inputs": {"history": ["a", "b"]}},
          {"operation": "set_balance", "inputs": {"balance": -1}}])",
      R"([{"operation": "touch"}, {"operation": "touch"},
          {"operation": "withdraw", "inputs": {"amount": 0}}])",
      R"([{"operation": "put", "inputs": {"s": "line\nbreak", "o": {}}},
          {"operation": "put", "inputs": {"s": "again", "e": []}}])",
  };
  // Enough operations for the buffer to grow several times.
  std::string many = "[";
  for (int i = 0; i < 40; ++i) {
    if (i > 0) many += ", ";
    many += R"({"operation": "put", "inputs": {"i": )" + std::to_string(i % 7) +
            R"(, "tag": ["t", )" + std::to_string(i) + "]}}";
  }
  many += "]";
  request_lists.push_back(many);
  for (const std::string& requests : request_lists) {
    Executor executor(c);
    Result<ExecutionResult> r = executor.execute_all(requests);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    std::string fast;
    write_execution_result(*r, fast);
    EXPECT_EQ(fast, reference_result(*r)) << requests;
    // Written as the requests run, the text is the same.
    EXPECT_EQ(run(c, requests), fast) << requests;
  }
}

// ---- Interruption ----------------------------------------------------------------

// Room for big states, and an operation that takes anything.
Contract roomy_contract() {
  Contract c = counter_contract();
  c.data_semantics.invariants.clear();
  c.behavioral_semantics.operations.push_back(operation("put", "", "{}", ""));
  c.execution_constraints.resource_limits = {uint64_t{1} << 40, 600000,
                                             uint64_t{1} << 40};
  return c;
}

std::string repeated(std::string_view item, std::size_t n) {
  std::string out = "[";
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += ',';
    out += item;
  }
  out += ']';
  return out;
}

struct LongCall {
  const char* name;
  std::string inputs;
  // The fewest questions each part of the call must ask: while reading the
  // requests, while running them and while writing the result.
  uint64_t reading, running, writing;
};

// Every long loop of a call asks the interrupter; a stop at any question
// ends the call with Error::interrupted() and nothing asked after it, and an
// interrupter that never stops changes nothing.
TEST(ExecuteContract, InterruptedInEveryLongPart) {
  const std::vector<LongCall> calls = {
      // 200,000 numbers, then a request without an operation.
      {"many values", repeated("0", 200000), 40, 0, 0},
      // Too few values to ask about, but a string long enough to.
      {"one long string",
       "[{\"operation\": \"put\", \"inputs\": \"" +
           std::string(1 << 20, 'x') + "\"}, 1]",
       1, 0, 0},
      {"many requests",
       repeated(R"({"operation": "set", "inputs": {"count": 3}})", 5000), 1,
       5000, 1},
      // 100,000 array elements in the inputs, the state, the change and
      // their copies: several megabytes to write.
      {"large result",
       R"({"operation": "put", "inputs": {"a": )" + repeated("0", 100000) +
           "}}",
       10, 1, 4},
  };
  const Contract contract = roomy_contract();
  for (const LongCall& call : calls) {
    SCOPED_TRACE(call.name);
    const std::string plain = run(contract, call.inputs);

    CountingInterrupter reading;
    (void)detail::parse_json(call.inputs.front() == '{'
                                 ? "[" + call.inputs + "]"
                                 : call.inputs,
                             "", reading.interrupter());
    CountingInterrupter running;
    Executor executor(contract);
    executor.set_interrupter(running.interrupter());
    (void)executor.execute_all(call.inputs.front() == '{'
                                   ? "[" + call.inputs + "]"
                                   : call.inputs);
    CountingInterrupter all;
    Result<std::string> r =
        execute_contract(contract, call.inputs, all.interrupter());
    EXPECT_EQ(r.ok() ? r.value() : "ERROR " + r.error().to_string(), plain);
    EXPECT_GE(reading.asked, call.reading);
    EXPECT_GE(running.asked - reading.asked, call.running);
    EXPECT_GE(all.asked - running.asked, call.writing);

    for (uint64_t stop_at : {uint64_t{1}, all.asked / 2, all.asked}) {
      CountingInterrupter stopping;
      stopping.stop_at = stop_at;
      Result<std::string> stopped =
          execute_contract(contract, call.inputs, stopping.interrupter());
      ASSERT_FALSE(stopped.ok()) << stop_at;
      EXPECT_EQ(stopped.error().kind(), ErrorKind::kInterrupted);
      EXPECT_EQ(stopped.error().to_string(), "Interrupted");
      EXPECT_EQ(stopping.asked, stop_at);
    }
  }
}

// The result buffer grows with what is written: a few large operations
// first do not make it reserve for thousands more of their size.
TEST(WriteExecutionResult, BufferStaysNearItsContent) {
  const std::string large =
      R"({"operation": "put", "inputs": {"text": ")" +
      std::string(1 << 20, 'x') + R"("}})";
  std::string requests = "[";
  for (int i = 0; i < 8; ++i) requests += large + ",";
  requests += R"({"operation": "put", "inputs": {"text": ""}})";
  for (int i = 0; i < 3000; ++i) {
    requests += R"(,{"operation": "set", "inputs": {"count": 1}})";
  }
  // A failure at the end: written as the requests run, the whole text
  // then moves up by one character for "success": false.
  requests += R"(,{"operation": "set", "inputs": {"count": 0}}])";
  Executor executor(roomy_contract());
  Result<ExecutionResult> r = executor.execute_all(requests);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_EQ(r->operations.size(), 3010u);
  ASSERT_FALSE(r->success);
  std::string out;
  write_execution_result(*r, out);
  EXPECT_LE(out.capacity(), 4 * out.size());
  Result<std::string> streamed = execute_contract(roomy_contract(), requests);
  ASSERT_TRUE(streamed.ok());
  EXPECT_LE(streamed->capacity(), 4 * streamed->size());
  EXPECT_TRUE(*streamed == out);  // not EXPECT_EQ: no 60 MB diff on failure
}

TEST(ExecuteAll, RequiresAnArray) {
  Executor executor(counter_contract());
  const Result<ExecutionResult> r =
      executor.execute_all("\n  {\"operation\": \"set\"}");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            "Execution error: Invalid JSON requests: invalid type: expected "
            "an array at line 2 column 3");
}

}  // namespace
}  // namespace qel
