// execute_json end to end: contract texts through the front end and the
// executor.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "qel/api.h"
#include "qel/parser.h"

namespace qel {
namespace {

std::string contract_text(std::string_view state, std::string_view invariants,
                          std::string_view operations) {
  std::string text = R"(Contract {
  Identity {
    stable_id: "text-001"
    version: 1
    created_timestamp: 2026-01-15T10:30:00Z
    owner: "team"
    semantic_hash: "0"
  }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics {
    state: { )";
  text += state;
  text += " }\n    invariants: [";
  text += invariants;
  text += "]\n  }\n  BehavioralSemantics { operations: [";
  text += operations;
  text += R"(] }
  ExecutionConstraints {
    trigger_types: ["manual"]
    resource_limits: { max_memory_bytes: 100000 computation_timeout_ms: 60000
                       max_state_size_bytes: 100000 }
    external_permissions: []
    sandbox_mode: "full_isolation"
  }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
})";
  return text;
}

std::string run(const std::string& text, std::string_view inputs) {
  Result<std::string> r = execute_json(text, inputs);
  return r.ok() ? std::move(r).value() : "ERROR " + r.error().to_string();
}

// The final state of an empty request list, i.e. the initial state.
std::string initial_state(std::string_view state) {
  const std::string out = run(contract_text(state, "", ""), "[]");
  const size_t begin = out.find("\"final_state\": ");
  const size_t end = out.find(",\n  \"provenance\"");
  if (begin == std::string::npos || end == std::string::npos) return out;
  return out.substr(begin + 15, end - begin - 15);
}

struct InitialCase {
  const char* declaration;
  const char* state;
};

TEST(ExecuteText, InitialStateFromDeclarations) {
  const std::vector<InitialCase> cases = {
      {"", "{}"},
      {"n: Integer", "{\n    \"n\": 0\n  }"},
      {"n: Integer = 42", "{\n    \"n\": 42\n  }"},
      {"f: Float", "{\n    \"f\": 0.0\n  }"},
      {"f: Float = 0.25", "{\n    \"f\": 0.25\n  }"},
      {"f: Float = 5.0", "{\n    \"f\": 5.0\n  }"},
      {"s: String = \"a\\\"b\"", "{\n    \"s\": \"a\\\"b\"\n  }"},
      {"t: ISO8601 = 2026-01-15T10:30:00Z",
       "{\n    \"t\": \"2026-01-15T10:30:00Z\"\n  }"},
      {"u: UUID", "{\n    \"u\": \"\"\n  }"},
      {"b: Boolean = true", "{\n    \"b\": true\n  }"},
      {"b: Boolean", "{\n    \"b\": false\n  }"},
      // A default is taken as written, whatever the declared type.
      {"s: String = 7", "{\n    \"s\": 7\n  }"},
      {"n: Integer = [1, 2]", "{\n    \"n\": [\n      1,\n      2\n    ]\n  }"},
      // Composite types start as null, with or without a default.
      {"a: Array<Integer> = [1, 2]", "{\n    \"a\": null\n  }"},
      {"m: Map<String, Integer>", "{\n    \"m\": null\n  }"},
      {"e: Enum [\"x\", \"y\"] = \"x\"", "{\n    \"e\": null\n  }"},
      {"o: Object { x: Integer }", "{\n    \"o\": null\n  }"},
      // Later declarations win; fields are in byte order.
      {"n: Integer = 1 n: String", "{\n    \"n\": \"\"\n  }"},
      {"b: Integer B: Integer _: Integer",
       "{\n    \"B\": 0,\n    \"_\": 0,\n    \"b\": 0\n  }"},
  };
  for (const InitialCase& c : cases) {
    EXPECT_EQ(initial_state(c.declaration), c.state) << c.declaration;
  }
}

TEST(ExecuteText, ContractParseErrorsPassThrough) {
  const std::vector<std::string> texts = {
      "",
      "Contract {",
      contract_text("n: Integer = -1", "", ""),
      contract_text("n: integer", "", ""),
  };
  for (const std::string& text : texts) {
    const Result<Contract> parsed = parse_contract(text);
    ASSERT_FALSE(parsed.ok()) << text;
    EXPECT_EQ(run(text, "[]"), "ERROR " + parsed.error().to_string());
    // The inputs are not looked at when the contract does not parse.
    EXPECT_EQ(run(text, "not json"), "ERROR " + parsed.error().to_string());
  }
  EXPECT_EQ(run("", "[]"),
            "ERROR Parse error: Expected Contract, found Eof at 1:1");
}

TEST(ExecuteText, OperationsFromText) {
  const std::string text = contract_text(
      "balance: Integer = 100",
      R"("balance >= 0")",
      R"({ name: "withdraw" precondition: "amount > 0"
           parameters: { amount: Integer = 1 } postcondition: "balance >= 0"
           side_effects: ["ledger"] idempotence: "no" }
         { name: "withdraw" precondition: "amount < 0"
           parameters: { } postcondition: "" side_effects: [] idempotence: "no" })");
  const std::string ok = run(text, R"({"operation": "withdraw", "inputs": {"amount": 5, "balance": 95}})");
  EXPECT_NE(ok.find("\"success\": true,\n  \"operations\""), std::string::npos)
      << ok;
  EXPECT_NE(ok.find("\"final_state\": {\n    \"amount\": 5,\n    \"balance\": 95\n  }"),
            std::string::npos)
      << ok;
  // A parameter default is not carried into the model: the parameter is
  // still required.
  const std::string missing = run(text, R"({"operation": "withdraw"})");
  EXPECT_NE(missing.find("\"error\": \"Execution error: Missing required "
                         "parameter 'amount' for operation 'withdraw'\"\n}"),
            std::string::npos)
      << missing;
  const std::string negative =
      run(text, R"({"operation": "withdraw", "inputs": {"amount": -1}})");
  EXPECT_NE(negative.find("\"error\": \"Execution error: Precondition failed "
                          "for operation 'withdraw': amount > 0\"\n}"),
            std::string::npos)
      << negative;
  const std::string violated = run(
      text, R"({"operation": "withdraw", "inputs": {"amount": 1, "balance": -1}})");
  EXPECT_NE(violated.find("\"error\": \"Contract violation - postcondition of "
                          "'withdraw': balance >= 0\"\n}"),
            std::string::npos)
      << violated;
}

}  // namespace
}  // namespace qel
