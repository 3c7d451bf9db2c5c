#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "qel/api.h"
#include "qel/syntax_tree.h"
#include "qel/error.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/parser.h"

namespace qel {
namespace {

// A valid contract around the given state and parameter blocks; the
// Identity fields start at 2:14.
std::string contract_text(std::string_view state, std::string_view parameters,
                          std::string_view identity =
                              "version: 1 stable_id: \"s\" owner: \"o\"") {
  std::string t = "Contract {\n  Identity { ";
  t += identity;
  t += " created_timestamp: \"t\" semantic_hash: \"h\" }\n";
  t += "  PurposeStatement { narrative: \"n\" intent_source: \"i\" "
       "confidence_level: 0.5 }\n";
  t += "  DataSemantics { state: { ";
  t += state;
  t += " } invariants: [\"b\", \"a\"] }\n";
  t += "  BehavioralSemantics { operations: [ { name: \"z\" precondition: \"p\" "
       "parameters: { ";
  t += parameters;
  t += " } postcondition: \"q\" side_effects: [\"s2\", \"s1\"] idempotence: "
       "\"i\" } { name: \"a\" precondition: \"p\" parameters: { } "
       "postcondition: \"q\" side_effects: [] idempotence: \"i\" } ] }\n";
  t += "  ExecutionConstraints { trigger_types: [\"t2\", \"t1\"] resource_limits: "
       "{ max_memory_bytes: 1 computation_timeout_ms: 2 max_state_size_bytes: 3 "
       "} external_permissions: [] sandbox_mode: \"m\" }\n";
  t += "  HumanMachineContract { system_commitments: [\"c\"] system_refusals: [] "
       "user_obligations: [] }\n}";
  return t;
}

std::string compact(const Json& v) {
  std::string out;
  append_compact_json(out, v);
  return out;
}

// Both roads to the contract JSON must agree: the model that
// parse_contract lowers from the tree, and parse_contract_json, which
// writes the JSON from the tree without building the model.
Contract both_roads(std::string_view text) {
  Result<Contract> direct = parse_contract(text);
  EXPECT_TRUE(direct.ok()) << direct.error().to_string();
  Result<std::string> written = parse_contract_json(text);
  EXPECT_TRUE(written.ok());
  if (!direct.ok() || !written.ok()) return Contract{};
  std::string from_model;
  write_contract_json(*direct, from_model);
  EXPECT_EQ(*written, from_model);
  return std::move(direct).value();
}

struct StateCase {
  const char* name;
  std::string fields;
  std::string expected;  // compact JSON of the state object
};

void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class LowerStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(LowerStateTest, StateObject) {
  const Contract c = both_roads(contract_text(GetParam().fields, ""));
  EXPECT_EQ(compact(c.data_semantics.state), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lowering, LowerStateTest,
    ::testing::Values(
        StateCase{"empty", "", "{}"},
        StateCase{"type_only", "x: Integer", "{\"x\":\"Integer\"}"},
        StateCase{"integer_default", "x: Integer = 5",
                  "{\"x\":{\"default\":5,\"type\":\"Integer\"}}"},
        StateCase{"largest_integer", "x: Integer = 9223372036854775807",
                  "{\"x\":{\"default\":9223372036854775807,\"type\":\"Integer\"}}"},
        StateCase{"float_default", "x: Float = 1.5",
                  "{\"x\":{\"default\":1.5,\"type\":\"Float\"}}"},
        StateCase{"float_trailing_point", "x: Float = 1.",
                  "{\"x\":{\"default\":1.0,\"type\":\"Float\"}}"},
        StateCase{"small_float", "x: Float = 0.0000001",
                  "{\"x\":{\"default\":1e-7,\"type\":\"Float\"}}"},
        StateCase{"infinite_float_is_null",
                  "x: Float = 1" + std::string(400, '0') + ".0",
                  "{\"x\":{\"default\":null,\"type\":\"Float\"}}"},
        StateCase{"array_default", "x: Array<Integer> = [1, [2, 3], \"a\", true, 0.25,]",
                  "{\"x\":{\"default\":[1,[2,3],\"a\",true,0.25],\"type\":"
                  "\"Array<Integer>\"}}"},
        StateCase{"empty_array_default", "x: Array<String> = []",
                  "{\"x\":{\"default\":[],\"type\":\"Array<String>\"}}"},
        StateCase{"escaped_string_default", "x: String = \"a\\\"b\\n\"",
                  "{\"x\":{\"default\":\"a\\\"b\\n\",\"type\":\"String\"}}"},
        StateCase{"timestamp_default", "x: ISO8601 = 2024-01-15T10:30:00Z",
                  "{\"x\":{\"default\":\"2024-01-15T10:30:00Z\",\"type\":\"ISO8601\"}}"},
        StateCase{"boolean_default", "x: Boolean = false",
                  "{\"x\":{\"default\":false,\"type\":\"Boolean\"}}"},
        StateCase{"map_type", "x: Map<String,Integer>", "{\"x\":\"Map<String, Integer>\"}"},
        StateCase{"enum_type", "x: Enum [\"a\", \"b\"] = \"a\"",
                  "{\"x\":{\"default\":\"a\",\"type\":\"Enum [\\\"a\\\", \\\"b\\\"]\"}}"},
        StateCase{"object_defaults_not_shown", "x: Object { a: Integer = 1 b: UUID }",
                  "{\"x\":\"Object { a: Integer, b: UUID }\"}"},
        StateCase{"byte_order", "b: Integer a: String _c: Float B: UUID",
                  "{\"B\":\"UUID\",\"_c\":\"Float\",\"a\":\"String\",\"b\":\"Integer\"}"},
        StateCase{"later_wins_default_dropped", "x: Integer = 1 x: String",
                  "{\"x\":\"String\"}"},
        StateCase{"later_wins_default_added", "x: Integer, y: UUID, x: String = \"s\"",
                  "{\"x\":{\"default\":\"s\",\"type\":\"String\"},\"y\":\"UUID\"}"}));

TEST(LowerParameters, TypeTextsOnly) {
  struct Case {
    std::string parameters;
    std::string expected;
  };
  const Case cases[] = {
      {"", "{}"},
      {"b: Integer = 5, a: Array<String> = [\"x\"]",
       "{\"a\":\"Array<String>\",\"b\":\"Integer\"}"},
      {"p: Integer p: Float = 1.5", "{\"p\":\"Float\"}"},
      {"m: Map<UUID, Object { k: String = \"v\" }>",
       "{\"m\":\"Map<UUID, Object { k: String }>\"}"},
  };
  for (const Case& c : cases) {
    const Contract model = both_roads(contract_text("", c.parameters));
    ASSERT_EQ(model.behavioral_semantics.operations.size(), 2u);
    EXPECT_EQ(compact(model.behavioral_semantics.operations[0].parameters),
              c.expected);
    EXPECT_EQ(compact(model.behavioral_semantics.operations[1].parameters), "{}");
  }
}

TEST(LowerContract, ListsKeepSourceOrder) {
  const Contract c = both_roads(contract_text("", ""));
  EXPECT_EQ(c.data_semantics.invariants, (std::vector<std::string>{"b", "a"}));
  ASSERT_EQ(c.behavioral_semantics.operations.size(), 2u);
  EXPECT_EQ(c.behavioral_semantics.operations[0].name, "z");
  EXPECT_EQ(c.behavioral_semantics.operations[1].name, "a");
  EXPECT_EQ(c.behavioral_semantics.operations[0].side_effects,
            (std::vector<std::string>{"s2", "s1"}));
  EXPECT_EQ(c.execution_constraints.trigger_types,
            (std::vector<std::string>{"t2", "t1"}));
  EXPECT_EQ(c.execution_constraints.resource_limits.max_memory_bytes, 1u);
  EXPECT_EQ(c.execution_constraints.resource_limits.computation_timeout_ms, 2u);
  EXPECT_EQ(c.execution_constraints.resource_limits.max_state_size_bytes, 3u);
  EXPECT_EQ(c.identity.semantic_hash, "h");
  EXPECT_EQ(c.purpose_statement.confidence_level, 0.5);
}

TEST(LowerContract, IntegerDefaultsAreUnsigned) {
  const Contract c = both_roads(contract_text("x: Integer = 7", ""));
  const Json* x = c.data_semantics.state.find("x");
  ASSERT_NE(x, nullptr);
  ASSERT_NE(x->find("default"), nullptr);
  EXPECT_EQ(x->find("default")->kind(), Json::Kind::kUnsigned);
  EXPECT_EQ(x->find("default")->as_unsigned(), 7u);
}

TEST(LowerContract, ExtensionsAreDropped) {
  const std::string text = contract_text("a: Integer = 1", "");
  std::string plain, extended;
  write_contract_json(both_roads(text), plain);
  write_contract_json(both_roads(text + "\nExtensions { s { f: [1, 2] g: \"x\" } }"),
                      extended);
  EXPECT_EQ(plain, extended);
}

struct VersionCase {
  const char* identity;
  std::string expected;  // "ok:<model version>" or the error's text form
};

TEST(LowerVersion, RangeOfTheModel) {
  const VersionCase cases[] = {
      {"version: 0 stable_id: \"s\" owner: \"o\"", "ok:0"},
      {"version: 4294967295 stable_id: \"s\" owner: \"o\"", "ok:4294967295"},
      {"version: 4294967296 stable_id: \"s\" owner: \"o\"",
       "Parse error: version 4294967296 is out of range (maximum 4294967295) at "
       "2:23"},
      {"stable_id: \"s\" owner: \"o\" version: 9223372036854775807",
       "Parse error: version 9223372036854775807 is out of range (maximum "
       "4294967295) at 2:49"},
      // Only the last written version counts.
      {"version: 4294967296 stable_id: \"s\" owner: \"o\" version: 3", "ok:3"},
      {"version: 5 stable_id: \"s\" owner: \"o\" version: 4294967296",
       "Parse error: version 4294967296 is out of range (maximum 4294967295) at "
       "2:60"},
  };
  for (const VersionCase& c : cases) {
    const std::string text = contract_text("", "", c.identity);
    Result<Contract> model = parse_contract(text);
    const std::string got =
        model.ok() ? "ok:" + std::to_string(model->identity.version)
                   : model.error().to_string();
    EXPECT_EQ(got, c.expected) << c.identity;
    Result<std::string> json = parse_contract_json(text);
    if (model.ok()) {
      ASSERT_TRUE(json.ok());
      EXPECT_NE(json->find("\"version\": " + got.substr(3) + ",\n"),
                std::string::npos);
    } else {
      ASSERT_FALSE(json.ok());
      EXPECT_EQ(json.error().to_string(), c.expected);
    }
  }
}

TEST(LowerVersion, TreeKeepsTheFullValue) {
  const std::string text =
      contract_text("", "", "version: 4294967296 stable_id: \"s\" owner: \"o\"");
  Result<SyntaxTree> tree = parse_tree(text);
  ASSERT_TRUE(tree.ok());
  EXPECT_EQ(tree->contract().identity().version().value(), 4294967296);
  // Lowering itself never fails: it holds the largest version it can.
  EXPECT_EQ(lower_contract(*tree).identity.version, 4294967295u);
}

TEST(LowerVersion, OtherErrorsComeFirst) {
  const std::string big = "version: 4294967296 stable_id: \"s\"";
  // The missing owner is found while parsing, before the version is judged.
  EXPECT_EQ(parse_contract(contract_text("", "", big)).error().to_string(),
            "Parse error: Missing required field 'owner' in Identity at 2:3");
  const std::string text =
      contract_text("", "", "version: 4294967296 stable_id: \"s\" owner: \"o\"") + " %";
  EXPECT_EQ(parse_contract(text).error().to_string(),
            "Parse error: Unexpected character '%' at 8:3");
}

// Extension values are not part of the model: lower_literal is their only
// way to JSON.
TEST(LowerLiteral, Values) {
  const std::string text = contract_text("", "") +
                           "\nExtensions { s { a: \"a\\\"b\" b: 42 c: 0.5 d: 1" +
                           std::string(400, '0') +
                           ".0 e: true f: [42, \"x\", [],] g: 2024-01-15T10:30:00Z } }";
  Result<SyntaxTree> tree = parse_tree(text);
  ASSERT_TRUE(tree.ok()) << tree.error().to_string();
  std::vector<std::string> lowered;
  std::vector<Json::Kind> kinds;
  const syntax::SystemExtension system =
      *tree->contract().extensions()->systems().begin();
  for (const syntax::CustomField field : system.fields()) {
    const Json value = lower_literal(field.value());
    lowered.push_back(compact(value));
    kinds.push_back(value.kind());
  }
  EXPECT_EQ(lowered, (std::vector<std::string>{
                         "\"a\\\"b\"", "42", "0.5", "null", "true",
                         "[42,\"x\",[]]", "\"2024-01-15T10:30:00Z\""}));
  EXPECT_EQ(kinds[1], Json::Kind::kUnsigned);
  EXPECT_EQ(kinds[2], Json::Kind::kDouble);
}

// Both entry points report the same first error.
TEST(LowerContract, ErrorsMatchParse) {
  const std::string texts[] = {
      "",
      "Contract { Identity { owner \"x\" } }",
      contract_text("x: Map<String Integer>", ""),
      contract_text("", "p: Integer = [,]"),
      contract_text("", "") + "\nExtensions { \"s\" }",
      contract_text("", "") + "\nExtensions { s { f: 1 } } \"open",
      contract_text("x: Integer = " + std::string(129, '['), ""),
  };
  for (const std::string& text : texts) {
    Result<SyntaxTree> tree = parse_tree(text);
    Result<Contract> model = parse_contract(text);
    Result<std::string> streamed = parse_contract_json(text);
    ASSERT_FALSE(tree.ok()) << text;
    ASSERT_FALSE(model.ok()) << text;
    ASSERT_FALSE(streamed.ok()) << text;
    EXPECT_EQ(model.error().to_string(), tree.error().to_string());
    EXPECT_EQ(streamed.error().to_string(), tree.error().to_string());
  }
}

TEST(LowerContract, ExamplesAgreeOnBothRoads) {
  for (const char* name : {"account_transfers", "approval_workflow", "inventory",
                           "pricing_rules_faulty"}) {
    std::ifstream file(std::string(QEL_SOURCE_DIR) + "/examples/" + name + ".qel");
    ASSERT_TRUE(file) << name;
    std::stringstream text;
    text << file.rdbuf();
    SCOPED_TRACE(name);
    both_roads(text.str());
  }
}

TEST(LowerJson, WholeContractLayout) {
  const std::string text =
      "Contract {\n"
      "  Identity {\n"
      "    stable_id: \"q\\\"x\"\n"
      "    version: 0\n"
      "    created_timestamp: 2026-01-15T10:30:00+01:00\n"
      "    owner: \"tab\\there / \xC3\xA9\"\n"
      "    semantic_hash: \"line\\nbreak\"\n"
      "  }\n"
      "  PurposeStatement { narrative: \"back\\\\slash\" "
      "intent_source: \"ctrl\x01\x1F\b\f\r\" confidence_level: 1.0 }\n"
      "  DataSemantics {\n"
      "    state: {\n"
      "      z: Float = 0.00001\n"
      "      big: Float = 10000000000000000.0\n"
      "      tiny: Float = 0.0000015\n"
      "      list: Array<Float> = [0.25, 1000000000000000.0]\n"
      "      flag: Boolean = true\n"
      "      name: String\n"
      "    }\n"
      "    invariants: []\n"
      "  }\n"
      "  BehavioralSemantics { operations: [\n"
      "    { name: \"op\" precondition: \"a > 0\" parameters: { } "
      "postcondition: \"b\" side_effects: [\"x\", \"y\"] idempotence: \"yes\" }\n"
      "  ] }\n"
      "  ExecutionConstraints { trigger_types: [] resource_limits: { "
      "max_memory_bytes: 9223372036854775807 computation_timeout_ms: 0 "
      "max_state_size_bytes: 7 } external_permissions: [\"net\"] "
      "sandbox_mode: \"full_isolation\" }\n"
      "  HumanMachineContract { system_commitments: [\"c\"] system_refusals: [] "
      "user_obligations: [] }\n"
      "}\n";
  const std::string expected = R"({
  "identity": {
    "stable_id": "q\"x",
    "version": 0,
    "created_timestamp": "2026-01-15T10:30:00+01:00",
    "owner": "tab\there / )" "\xC3\xA9" R"(",
    "semantic_hash": "line\nbreak"
  },
  "purpose_statement": {
    "narrative": "back\\slash",
    "intent_source": "ctrl\u0001\u001f\b\f\r",
    "confidence_level": 1.0
  },
  "data_semantics": {
    "state": {
      "big": {
        "default": 1e+16,
        "type": "Float"
      },
      "flag": {
        "default": true,
        "type": "Boolean"
      },
      "list": {
        "default": [
          0.25,
          1000000000000000.0
        ],
        "type": "Array<Float>"
      },
      "name": "String",
      "tiny": {
        "default": 1.5e-6,
        "type": "Float"
      },
      "z": {
        "default": 0.00001,
        "type": "Float"
      }
    },
    "invariants": []
  },
  "behavioral_semantics": {
    "operations": [
      {
        "name": "op",
        "precondition": "a > 0",
        "parameters": {},
        "postcondition": "b",
        "side_effects": [
          "x",
          "y"
        ],
        "idempotence": "yes"
      }
    ]
  },
  "execution_constraints": {
    "trigger_types": [],
    "resource_limits": {
      "max_memory_bytes": 9223372036854775807,
      "computation_timeout_ms": 0,
      "max_state_size_bytes": 7
    },
    "external_permissions": [
      "net"
    ],
    "sandbox_mode": "full_isolation"
  },
  "human_machine_contract": {
    "system_commitments": [
      "c"
    ],
    "system_refusals": [],
    "user_obligations": []
  }
})";
  std::string out;
  write_contract_json(both_roads(text), out);
  EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace qel
