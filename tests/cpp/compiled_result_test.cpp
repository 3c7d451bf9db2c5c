// A compiled contract writes results partly from texts made once (its
// initial state, each of its fields, the members before the operations):
// the results must read as if every state were written anew.
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

// Initial values that are written alike but differ (0.0 and -0.0), a long
// string, nested objects over several lines and an empty array.
CompiledContractRef varied() {
  Contract c;
  c.identity.stable_id = "varied \"id\"";
  c.data_semantics.state = json_of(R"({
      "rate": {"type": "Float", "default": 0.0},
      "neg": {"type": "Float", "default": -0.0},
      "opened": {"type": "String", "default": "2026-01-15T10:30:00Z and more"},
      "nested": {"inner": "Integer", "deep": {"x": "String"}},
      "tags": ["String"],
      "count": "Integer"})");
  c.data_semantics.invariants = {"count >= 0"};
  Operation put;
  put.name = "put";
  Operation guarded;
  guarded.name = "guarded";
  guarded.precondition = "count > 0";
  guarded.postcondition = "rate <= 1";
  c.behavioral_semantics.operations = {put, guarded};
  c.execution_constraints.resource_limits = {1 << 20, 60000, 1 << 20};
  return CompiledContract::from_contract(std::move(c));
}

// The result written from the whole ExecutionResult, with no text reused
// from the compiled contract.
std::string reference(const CompiledContractRef& compiled,
                      const ExecutionState& start, std::string_view requests) {
  Executor executor(compiled, start, 0);
  std::string list(requests);
  if (requests.front() != '[') list.insert(0, 1, '[').push_back(']');
  Result<ExecutionResult> r = executor.execute_all(list);
  EXPECT_TRUE(r.ok()) << requests;
  std::string out;
  if (r.ok()) write_execution_result(*r, out);
  return out;
}

TEST(CompiledResult, ReadsAsIfEveryStateWereWrittenAnew) {
  const CompiledContractRef compiled = varied();
  const ExecutionState& initial = compiled->initial_state();
  std::string initial_text;
  write_state_json(initial, initial_text);
  // Starts: the initial state itself, an equal one read back from text,
  // and one that differs only in the sign of a zero.
  ExecutionState negative_zero = initial;
  negative_zero.set("rate", Value::floating(-0.0));
  const std::vector<ExecutionState> starts = {
      initial, read_state_json(initial_text).value(), negative_zero};
  const char* const requests[] = {
      "[]",
      R"({"operation": "put", "inputs": {"rate": -0.0}})",
      R"({"operation": "put", "inputs": {"neg": 0.0, "rate": 0.0}})",
      R"({"operation": "put", "inputs": {"nested": {"deep": {"x": ""},
                                                   "inner": 0}}})",
      R"({"operation": "put", "inputs": {"nested": {"deep": {"x": "y"},
                                                   "inner": 0}}})",
      R"({"operation": "put", "inputs": {"aaa": 1, "mmm": [1, {"k": 2}],
                                         "opened": "2026-01-15T10:30:00Z",
                                         "zzz": "z"}})",
      R"({"operation": "guarded"})",
      R"({"operation": "put", "inputs": {"count": -1}})",
      R"([{"operation": "put", "inputs": {"count": 1}},
          {"operation": "guarded", "inputs": {"rate": 2}}])",
      R"([{"operation": "put", "inputs": {"count": 1}},
          {"operation": "guarded"},
          {"operation": "put", "inputs": {"count": 0, "tags": []}}])",
  };
  for (const char* request : requests) {
    EXPECT_EQ(compiled->execute(request).value(),
              reference(compiled, initial, request))
        << request;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      Session session(compiled, starts[i]);
      EXPECT_EQ(session.run(request).value(),
                reference(compiled, starts[i], request))
          << "start " << i << ": " << request;
    }
  }
}

}  // namespace
}  // namespace qel
