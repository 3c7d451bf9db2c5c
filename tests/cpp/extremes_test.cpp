// Extreme inputs through every entry point: nesting at and past the limit in
// types, literals and request JSON, runs of brackets far past it, and long
// request lists. Run under the sanitizers, these show that no input exhausts
// the stack or reads out of bounds.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "qel/api.h"
#include "qel/canonical.h"
#include "qel/parser.h"

namespace qel {
namespace {

// The state block's content starts on line 4 at column 28; text after the
// contract starts on line 14.
constexpr std::size_t kStateLine = 4;
constexpr std::size_t kStateColumn = 28;
constexpr std::size_t kAfterLine = 14;

std::string contract_text(std::string_view state,
                          std::string_view extensions = "") {
  std::string text = R"(Contract {
  Identity { stable_id: "deep" version: 1 created_timestamp: "t" owner: "o" semantic_hash: "0" }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics { state: { )";
  text += state;
  text += R"( }
    invariants: [] }
  BehavioralSemantics { operations: [
    { name: "put" precondition: "" parameters: {} postcondition: ""
      side_effects: [] idempotence: "yes" } ] }
  ExecutionConstraints { trigger_types: [] external_permissions: [] sandbox_mode: "none"
    resource_limits: { max_memory_bytes: 1000000000 computation_timeout_ms: 3600000
                       max_state_size_bytes: 1000000000 } }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
}
)";
  text += extensions;
  return text;
}

std::string repeat(std::string_view part, int n) {
  std::string out;
  out.reserve(part.size() * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out += part;
  return out;
}

std::string too_deep_at(std::size_t line, std::size_t column) {
  return "Parse error: Nesting too deep (maximum 128 levels) at " +
         std::to_string(line) + ":" + std::to_string(column);
}

// Every entry point that takes contract text, as "ok" or the error's text.
struct EntryPoint {
  const char* name;
  std::function<std::string(const std::string&)> run;
};

template <typename T>
std::string outcome(const Result<T>& r) {
  return r.ok() ? "ok" : r.error().to_string();
}

const std::vector<EntryPoint>& entry_points() {
  static const std::vector<EntryPoint> points = {
      {"parse_tree", [](const std::string& t) { return outcome(parse_tree(t)); }},
      {"parse_contract",
       [](const std::string& t) { return outcome(parse_contract(t)); }},
      {"parse_contract_json",
       [](const std::string& t) { return outcome(parse_contract_json(t)); }},
      {"normalize", [](const std::string& t) { return outcome(normalize(t)); }},
      {"semantic_hash",
       [](const std::string& t) { return outcome(semantic_hash(t)); }},
      {"verify_json",
       [](const std::string& t) { return outcome(verify_json(t)); }},
      {"execute_json",
       [](const std::string& t) { return outcome(execute_json(t, "[]")); }},
  };
  return points;
}

struct NestingCase {
  const char* label;
  std::string state;       // the state block's content
  std::string extensions;  // text after the contract
  std::string expected;    // "ok" or the exact error text
};

std::vector<NestingCase> nesting_cases() {
  const std::size_t c = kStateColumn;
  const std::size_t l = kStateLine;
  // Field "x: " takes three columns; the type starts after it.
  return {
      {"array type, 128 levels",
       "x: " + repeat("Array<", 127) + "Integer" + repeat(">", 127), "", "ok"},
      {"array type, 129 levels",
       "x: " + repeat("Array<", 128) + "Integer" + repeat(">", 128), "",
       too_deep_at(l, c + 3 + 6 * 128)},
      {"object type, 128 levels",
       "x: " + repeat("Object { a: ", 127) + "Integer" + repeat(" }", 127), "",
       "ok"},
      {"object type, 129 levels",
       "x: " + repeat("Object { a: ", 128) + "Integer" + repeat(" }", 128), "",
       too_deep_at(l, c + 3 + 12 * 128)},
      {"map value, 129 levels: the innermost key is deepest first",
       "x: " + repeat("Map<String, ", 128) + "Integer" + repeat(">", 128), "",
       too_deep_at(l, c + 3 + 12 * 127 + 4)},
      {"literal, 128 levels",
       "x: Integer = " + repeat("[", 128) + repeat("]", 128), "", "ok"},
      {"literal, 129 levels",
       "x: Integer = " + repeat("[", 129) + repeat("]", 129), "",
       too_deep_at(l, c + 13 + 128)},
      {"a million brackets", "x: Integer = " + repeat("[", 1000000), "",
       too_deep_at(l, c + 13 + 128)},
      {"a million array types", "x: " + repeat("Array<", 1000000), "",
       too_deep_at(l, c + 3 + 6 * 128)},
      {"extension value, 128 levels", "",
       "Extensions { s { f: " + repeat("[", 128) + repeat("]", 128) + " } }",
       "ok"},
      {"extension value, 129 levels", "",
       "Extensions { s { f: " + repeat("[", 129) + repeat("]", 129) + " } }",
       too_deep_at(kAfterLine, 21 + 128)},
  };
}

TEST(ExtremesNesting, EveryEntryPointAgrees) {
  for (const NestingCase& c : nesting_cases()) {
    const std::string text = contract_text(c.state, c.extensions);
    for (const EntryPoint& point : entry_points()) {
      EXPECT_EQ(point.run(text), c.expected) << c.label << " via " << point.name;
    }
  }
}

TEST(ExtremesNesting, DeepestAcceptedTypeRoundTrips) {
  // Canonical text nests as deep as the source and reads back to itself.
  for (const std::string& type :
       {repeat("Array<", 127) + "Integer" + repeat(">", 127),
        repeat("Map<String, ", 127) + "Integer" + repeat(">", 127)}) {
    const std::string text = contract_text("x: " + type);
    Result<std::string> canonical = normalize(text);
    ASSERT_TRUE(canonical.ok());
    EXPECT_NE(canonical->find("      x: " + type + ",\n"), std::string::npos);
    Result<std::string> again = normalize(*canonical);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *canonical);
  }
}

// ---- Request JSON -------------------------------------------------------------

std::string requests_outcome(std::string_view inputs) {
  Result<std::string> r = execute_json(contract_text(""), inputs);
  if (!r.ok()) return r.error().to_string();
  const std::size_t at = r->find("\"final_state\": ");
  const std::size_t end = r->find(",\n  \"provenance\"");
  return r->substr(at, end - at);
}

std::string nested_value(int levels) {
  return repeat("[", levels) + repeat("]", levels);
}

// The final state holding x = `levels` nested empty arrays.
std::string final_state_with_nested(int levels) {
  std::string out = "\"final_state\": {\n    \"x\": ";
  std::string indent = "    ";
  for (int i = 1; i < levels; ++i) {
    out += "[\n";
    indent += "  ";
    out += indent;
  }
  out += "[]";
  for (int i = 1; i < levels; ++i) {
    indent.resize(indent.size() - 2);
    out += "\n" + indent + "]";
  }
  out += "\n  }";
  return out;
}

struct RequestCase {
  const char* label;
  std::string inputs;
  std::string expected;
};

TEST(ExtremesRequests, NestingLimit) {
  // The list is level 1, the request 2, its inputs 3: x holds the rest.
  const std::string put = R"({"operation": "put", "inputs": {"x": )";
  const std::string deep_error =
      "Execution error: Invalid JSON requests: nesting deeper than 128 levels "
      "at line 1 column ";
  const std::vector<RequestCase> cases = {
      {"128 levels in a list", "[" + put + nested_value(125) + "}}]",
       final_state_with_nested(125)},
      {"128 levels in a single request", put + nested_value(125) + "}}",
       final_state_with_nested(125)},
      // The bracket opening level 129 is the 126th of x; a single request is
      // read with a "[" in front, which the column counts.
      {"129 levels in a list", "[" + put + nested_value(126) + "}}]",
       deep_error + std::to_string(1 + put.size() + 126)},
      {"129 levels in a single request", put + nested_value(126) + "}}",
       deep_error + std::to_string(1 + put.size() + 126)},
      {"a million brackets", "[" + put + repeat("[", 1000000),
       deep_error + std::to_string(1 + put.size() + 126)},
      {"a million objects", repeat("[{\"a\":", 1000000),
       deep_error + std::to_string(6 * 64 + 1)},
  };
  for (const RequestCase& c : cases) {
    EXPECT_EQ(requests_outcome(c.inputs), c.expected) << c.label;
  }
}

TEST(ExtremesRequests, LongListRunsToTheEnd) {
  // 20,000 requests: the last sequence number and the final state.
  constexpr int kCount = 20000;
  std::string inputs = "[";
  for (int i = 0; i < kCount; ++i) {
    if (i > 0) inputs += ',';
    inputs += R"({"operation":"put","inputs":{"n":)" + std::to_string(i) + "}}";
  }
  inputs += ']';
  Result<std::string> r = execute_json(contract_text(""), inputs);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  std::size_t successes = 0;
  for (std::size_t at = r->find("\n      \"success\": true,\n");
       at != std::string::npos;
       at = r->find("\n      \"success\": true,\n", at + 1)) {
    ++successes;
  }
  EXPECT_EQ(successes, static_cast<std::size_t>(kCount));
  const std::size_t last = r->rfind("\"sequence\": ");
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(r->substr(last, r->find(',', last) - last),
            "\"sequence\": " + std::to_string(kCount - 1));
  EXPECT_NE(r->find("\"final_state\": {\n    \"n\": " +
                    std::to_string(kCount - 1) + "\n  },"),
            std::string::npos);
}

// ---- Many operations -------------------------------------------------------------

// Declaration k has the one parameter pk, so a request without inputs names
// the declaration that it reached.
std::string operations_contract(const std::vector<std::string>& names) {
  std::string ops;
  for (std::size_t k = 0; k < names.size(); ++k) {
    ops += "{ name: \"" + names[k] + "\" precondition: \"\" parameters: { p" +
           std::to_string(k) +
           ": Integer } postcondition: \"\" side_effects: [] idempotence: \"\" }\n";
  }
  std::string text = contract_text("");
  const std::string marker = "operations: [";
  const std::size_t at = text.find(marker) + marker.size();
  const std::size_t end = text.find("] }", at);
  return text.substr(0, at) + ops + text.substr(end);
}

std::string reached(const std::string& text, const std::string& name) {
  Result<std::string> r =
      execute_json(text, "{\"operation\": \"" + name + "\"}");
  if (!r.ok()) return r.error().to_string();
  const std::size_t at = r->rfind("\"error\": \"");
  return r->substr(at + 10, r->size() - at - 10 - 3);
}

TEST(ExtremesOperations, RequestsFindTheFirstDeclarationOfTheirName) {
  const std::vector<std::string> names = {"b",  "a",  "ab",      "a", "",
                                          "B",  "\u00e9", "a-b", "b", "ab"};
  const std::string text = operations_contract(names);
  const auto missing = [](const char* p, const char* op) {
    return std::string("Execution error: Missing required parameter '") + p +
           "' for operation '" + op + "'";
  };
  const auto not_found = [](const char* op) {
    return std::string("Execution error: Operation '") + op +
           "' not found in contract";
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a", missing("p1", "a")},
      {"b", missing("p0", "b")},
      {"ab", missing("p2", "ab")},
      {"", missing("p4", "")},
      {"B", missing("p5", "B")},
      {"\u00e9", missing("p6", "\u00e9")},
      {"a-b", missing("p7", "a-b")},
      {"A", not_found("A")},
      {"aa", not_found("aa")},
      {"abc", not_found("abc")},
      {"c", not_found("c")},
      {"\u00e8", not_found("\u00e8")},
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(reached(text, name), expected) << "request for '" << name << "'";
  }
}

TEST(ExtremesOperations, EveryOneOfManyIsFound) {
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) names.push_back("op" + std::to_string(i * 7919 % 3000));
  const std::string text = operations_contract(names);
  for (int i = 0; i < 3000; i += 37) {
    const std::string name = "op" + std::to_string(i * 7919 % 3000);
    EXPECT_EQ(reached(text, name),
              "Execution error: Missing required parameter 'p" +
                  std::to_string(i) + "' for operation '" + name + "'");
  }
}

}  // namespace
}  // namespace qel
