// Fuzzes the request driver: fuzzed request texts run against a fixed set
// of contracts. A call either fails with one of the driver's errors or
// returns a valid result whose parts agree with each other.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "qel/executor.h"
#include "qel/model.h"
#include "qel/parser.h"

namespace {

using qel::fuzz::check;
using qel::fuzz::check_equal;
using qel::fuzz::starts_with;
using ordered = nlohmann::ordered_json;

// A contract exercising every condition form, parameters, composite state
// and generous limits.
constexpr std::string_view kLedger = R"(Contract {
  Identity {
    stable_id: "fuzz-ledger" version: 1
    created_timestamp: 2026-01-15T10:30:00Z owner: "o" semantic_hash: "0"
  }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics {
    state: {
      balance: Integer = 10
      rate: Float = 0.5
      name: String
      flag: Boolean
      tags: Array<String> = ["a"]
      limits: Map<String, Integer>
      owner: Object { id: UUID, since: ISO8601 }
      level: Enum ["low", "high"] = "low"
    }
    invariants: ["balance >= 0", "rate <= 1", "flag is boolean", "balance == 1"]
  }
  BehavioralSemantics {
    operations: [
      { name: "deposit" precondition: "amount > 0"
        parameters: { amount: Integer, balance: Integer }
        postcondition: "balance > 0" side_effects: [] idempotence: "no" }
      { name: "rename" precondition: "name is not empty"
        parameters: { name: String }
        postcondition: "name is not empty" side_effects: [] idempotence: "yes" }
      { name: "touch" precondition: "" parameters: {}
        postcondition: "rate < 1e3" side_effects: [] idempotence: "yes" }
      { name: "touch" precondition: "balance < 0" parameters: { x: Integer }
        postcondition: "" side_effects: [] idempotence: "yes" }
      { name: "toggle" precondition: "flag is boolean" parameters: { flag: Boolean }
        postcondition: "tags is not empty" side_effects: [] idempotence: "no" }
    ]
  }
  ExecutionConstraints {
    trigger_types: ["manual"]
    resource_limits: { max_memory_bytes: 100000000, computation_timeout_ms: 600000,
                       max_state_size_bytes: 100000000 }
    external_permissions: [] sandbox_mode: "full_isolation"
  }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
})";

// Small size limits, so that the size checks and their rollback run often.
constexpr std::string_view kTight = R"(Contract {
  Identity {
    stable_id: "fuzz-tight" version: 2
    created_timestamp: 2026-01-15T10:30:00Z owner: "o" semantic_hash: "0"
  }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 1.0 }
  DataSemantics { state: { n: Integer } invariants: ["n <= 100", "n < 1e2"] }
  BehavioralSemantics {
    operations: [
      { name: "set" precondition: "n >= 0" parameters: { n: Integer }
        postcondition: "n >= 0" side_effects: [] idempotence: "yes" }
      { name: "any" precondition: "x" parameters: {}
        postcondition: "x" side_effects: [] idempotence: "yes" }
    ]
  }
  ExecutionConstraints {
    trigger_types: []
    resource_limits: { max_memory_bytes: 60, computation_timeout_ms: 600000,
                       max_state_size_bytes: 80 }
    external_permissions: [] sandbox_mode: "none"
  }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
})";

struct Fixture {
  qel::Contract contract;
  ordered initial_state;  // the final state of an empty request list
};

std::vector<Fixture> load_fixtures() {
  std::vector<Fixture> fixtures;
  for (std::string_view text : {kLedger, kTight}) {
    auto contract = qel::parse_contract(text);
    if (!contract.ok()) {
      qel::fuzz::violated("the fixed contracts parse", text,
                          contract.error().to_string());
    }
    auto empty = qel::execute_contract(*contract, "[]");
    check(empty.ok(), "an empty request list runs");
    ordered initial = ordered::parse(*empty)["final_state"];
    fixtures.push_back({std::move(contract).value(), std::move(initial)});
  }
  return fixtures;
}

bool is_white_space_byte(uint8_t c) { return (c >= 9 && c <= 13) || c == ' '; }

void check_error(std::string_view inputs, const std::string& error) {
  constexpr std::string_view kShape =
      "Execution error: Input must be a JSON object or array of objects";
  const bool known =
      error == kShape ||
      starts_with(error, "Execution error: Invalid JSON requests: ") ||
      error == "Execution error: Each request must have an 'operation' field" ||
      starts_with(error, "Execution error: Failed to serialize ");
  check(known, "an error of the whole call is one of the driver's", error);
  // Past ASCII white space, the first byte decides the shape check
  // (non-ASCII white space is left to the unit tests).
  size_t i = 0;
  while (i < inputs.size() && is_white_space_byte(inputs[i])) ++i;
  if (i == inputs.size()) {
    check_equal(error, kShape, "white space alone is refused");
  } else if (static_cast<uint8_t>(inputs[i]) < 0x80) {
    const bool bracket = inputs[i] == '{' || inputs[i] == '[';
    check(bracket == (error != kShape),
          "the shape message exactly when the text starts elsewhere", error);
  }
}

// Whether `inputs` name every parameter of the first operation called
// `name`; inputs that are not an object name none.
bool holds_parameters(const qel::Contract& contract, const std::string& name,
                      const ordered& inputs) {
  for (const qel::Operation& op : contract.behavioral_semantics.operations) {
    if (op.name != name) continue;
    if (!op.parameters.is_object()) return true;
    for (const auto& member : op.parameters.as_object()) {
      if (!inputs.is_object() || !inputs.contains(member.first)) return false;
    }
    return true;
  }
  return false;
}

void check_result(const Fixture& fixture, const std::string& out) {
  const qel::Contract& contract = fixture.contract;
  const ordered doc = ordered::parse(out, nullptr, false);
  check(!doc.is_discarded(), "the result is valid JSON", out);
  check(doc.is_object() && doc.size() == 6, "six result members", out);
  static const char* const kMembers[] = {"contract_id", "success", "operations",
                                          "final_state", "provenance", "error"};
  size_t index = 0;
  for (auto it = doc.begin(); it != doc.end(); ++it, ++index) {
    check(it.key() == kMembers[index], "result members in order", out);
  }
  check(doc["contract_id"] == contract.identity.stable_id, "contract_id", out);
  const ordered& success = doc["success"];
  const ordered& error = doc["error"];
  check(success.is_boolean(), "success is a boolean", out);
  check(success.get<bool>() == error.is_null(), "success exactly when error is null",
        out);
  check(error.is_null() || error.is_string(), "error is null or text", out);

  const ordered& operations = doc["operations"];
  const ordered& entries = doc["provenance"]["entries"];
  check(operations.is_array() && entries.is_array(), "arrays of results", out);
  const size_t n = operations.size();
  const size_t succeeded = success.get<bool>() ? n : n - 1;
  check(success.get<bool>() || n > 0, "a failed run has a failed operation", out);
  check(entries.size() == succeeded, "one entry per successful operation", out);
  for (size_t i = 0; i < n; ++i) {
    const ordered& op = operations[i];
    const bool ok = i < succeeded;
    check(op["success"] == ok, "every operation but a failed last succeeds", out);
    check(op["error"].is_null() == ok, "an operation's error", out);
    check(op["provenance"].is_null() == !ok, "provenance exactly on success", out);
    if (ok) {
      const ordered& entry = op["provenance"];
      check(holds_parameters(contract, op["operation"].get<std::string>(),
                             entry["inputs"]),
            "a successful operation had every declared parameter", out);
      check(entry == entries[i], "the log holds the operation's entry", out);
      check(entry["sequence"] == i, "sequence numbers count from 0", out);
      check(entry["state_after"] == op["state"], "state after the operation", out);
      check(entry["state_before"] ==
                (i == 0 ? fixture.initial_state : entries[i - 1]["state_after"]),
            "each operation starts from the previous state", out);
    } else {
      check(op["error"] == error, "the failed operation's error is the result's",
            out);
      check(op["state"] ==
                (i == 0 ? fixture.initial_state : entries[i - 1]["state_after"]),
            "a failed operation leaves the state as it was", out);
    }
  }
  check(doc["final_state"] ==
            (n == 0 ? fixture.initial_state : operations[n - 1]["state"]),
        "the final state is the last operation's state", out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<Fixture> fixtures = load_fixtures();
  const std::string_view inputs(reinterpret_cast<const char*>(data), size);
  // Surrounding white space is ignored, and a single request reads as a
  // list of one: "[" + request + "]" gives the very same outcome, error
  // positions included.
  const std::string padded = " \n\t" + std::string(inputs) + "\r\n ";
  std::string listed;
  size_t first = 0;
  while (first < inputs.size() && is_white_space_byte(inputs[first])) ++first;
  if (first < inputs.size() && inputs[first] == '{') {
    size_t last = inputs.size();
    while (is_white_space_byte(inputs[last - 1])) --last;
    // Non-ASCII white space at the end is left to the unit tests.
    if (static_cast<uint8_t>(inputs[last - 1]) < 0x80) {
      listed = "[" + std::string(inputs.substr(first, last - first)) + "]";
    }
  }
  for (const Fixture& fixture : fixtures) {
    auto result = qel::execute_contract(fixture.contract, inputs);
    const std::string outcome =
        result.ok() ? *result : "error: " + result.error().to_string();
    if (!result.ok()) {
      check_error(inputs, result.error().to_string());
    } else {
      check(first < inputs.size() &&
                (inputs[first] == '{' || inputs[first] == '[' ||
                 static_cast<uint8_t>(inputs[first]) >= 0x80),
            "only a request object or list runs", outcome);
      check_result(fixture, *result);
    }
    auto again = qel::execute_contract(fixture.contract, padded);
    check_equal(again.ok() ? *again : "error: " + again.error().to_string(),
                outcome, "surrounding white space is ignored");
    if (!listed.empty()) {
      auto as_list = qel::execute_contract(fixture.contract, listed);
      check_equal(
          as_list.ok() ? *as_list : "error: " + as_list.error().to_string(),
          outcome, "a single request reads as a list of one");
    }
  }
  return 0;
}
