// Sessions one request at a time: what a failed request reports about its
// failing conditions, sequence numbers across requests, and stored states.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "executor/json_input.h"
#include "qel/compiled.h"

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

// balance starts at 10; two invariants over it and limit.
CompiledContractRef ledger() {
  Contract c;
  c.identity.stable_id = "ledger";
  c.data_semantics.state = json_of(
      R"({"balance": {"default": 10, "type": "Integer"}, "limit": "Integer"})");
  c.data_semantics.invariants = {"balance >= 0", "limit <= 100",
                                 "balance <= 1000"};
  Operation pay;
  pay.name = "pay";
  pay.precondition = "amount > 0";
  pay.parameters = json_of(R"({"amount": "Integer"})");
  pay.postcondition = "balance >= 5";
  Operation check;
  check.name = "check";
  check.precondition = "cap > 0";
  c.behavioral_semantics.operations = {pay, check};
  c.execution_constraints.resource_limits = {1 << 20, 1000, 1 << 20};
  return CompiledContract::from_contract(std::move(c));
}

struct Explained {
  const char* request;
  // condition, field, value as JSON ("" when the field is absent)
  std::vector<std::vector<std::string>> conditions;
};

TEST(SessionTest, FailedRequestsNameTheirConditionsAndTheValuesRead) {
  const Explained cases[] = {
      // The precondition reads the request's own input.
      {R"({"operation": "pay", "inputs": {"amount": -3}})",
       {{"amount > 0", "amount", "-3"}}},
      // The postcondition and invariants read the merged state.
      {R"({"operation": "pay", "inputs": {"amount": 1, "balance": 2}})",
       {{"balance >= 5", "balance", "2"}}},
      {R"({"operation": "pay", "inputs": {"amount": 1, "balance": -7,
           "limit": 500}})",
       {{"balance >= 5", "balance", "-7"}}},
      {R"({"operation": "pay", "inputs": {"amount": 1, "balance": 2000,
           "limit": 500}})",
       {{"limit <= 100", "limit", "500"}, {"balance <= 1000", "balance", "2000"}}},
      // A field that is not there is reported without a value.
      {R"({"operation": "check"})", {{"cap > 0", "cap", ""}}},
      // Failures that are no condition's.
      {R"({"operation": "nope"})", {}},
      {R"({"operation": "pay", "inputs": {}})", {}},
  };
  for (const Explained& c : cases) {
    Session session(ledger());
    Json request = json_of(c.request);
    Result<OperationResult> done = session.run_request(request);
    ASSERT_TRUE(done.ok()) << c.request;
    EXPECT_FALSE(done->success) << c.request;
    std::vector<std::vector<std::string>> got;
    for (const FailedCondition& f : done->failed_conditions) {
      std::string value;
      if (f.value) write_value_json(*f.value, value);
      got.push_back({f.condition, f.field, value});
    }
    EXPECT_EQ(got, c.conditions) << c.request;
    EXPECT_EQ(text_of(session.state()), text_of(session.contract().initial_state()))
        << c.request;
  }
}

TEST(SessionTest, RequestsOneAtATimeContinueTheSequenceAndResumeFromText) {
  Session session(ledger());
  Json bad = json_of(R"({"inputs": {}})");
  Result<OperationResult> refused = session.run_request(bad);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().to_string(),
            "Execution error: Each request must have an 'operation' field");
  for (const char* text : {R"({"operation": "pay", "inputs": {"amount": 1}})",
                           R"({"operation": "pay", "inputs": {"amount": 0}})",
                           R"({"operation": "pay", "inputs": {"amount": 2,
                               "note": 1.5}})"}) {
    Json request = json_of(text);
    ASSERT_TRUE(session.run_request(request).ok());
  }
  EXPECT_EQ(session.next_sequence(), 2u);

  std::string stored;
  session.write_state(stored);
  Result<ExecutionState> state = read_state_json(stored);
  ASSERT_TRUE(state.ok());
  EXPECT_EQ(*state, session.state());
  Session resumed(ledger(), std::move(state).value(), session.next_sequence());
  const std::string request = R"({"operation": "pay", "inputs": {"amount": 4}})";
  EXPECT_EQ(resumed.run(request).value(), session.run(request).value());

  for (const char* text : {"[]", "1", "\"x\"", "{"}) {
    Result<ExecutionState> wrong = read_state_json(text);
    ASSERT_FALSE(wrong.ok()) << text;
    EXPECT_EQ(wrong.error().kind(), ErrorKind::kExecutionError);
  }
}

}  // namespace
}  // namespace qel
