// Lints on contract texts: which findings each text yields and where, the
// exact messages, and suppression comments.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "qel/canonical.h"
#include "qel/check.h"
#include "qel/rules.h"

namespace qel {
namespace {

// Every case's text is kHead, then the case's body from line 4, then kTail.
constexpr std::string_view kHead =
    "Contract {\n"
    "  Identity { stable_id: \"lint-case\" version: 1 created_timestamp: "
    "\"2026-01-01T00:00:00Z\" owner: \"t\" semantic_hash: \"\" }\n"
    "  PurposeStatement { narrative: \"n\" intent_source: \"t\" "
    "confidence_level: 0.5 }\n";
constexpr std::string_view kTail =
    "\n  ExecutionConstraints { trigger_types: [\"manual\"] resource_limits: "
    "{ max_memory_bytes: 65536, computation_timeout_ms: 1000, "
    "max_state_size_bytes: 65536 } external_permissions: [] sandbox_mode: "
    "\"none\" }\n"
    "  HumanMachineContract { system_commitments: [] system_refusals: [] "
    "user_obligations: [] }\n"
    "}\n";

std::string contract(std::string_view body) {
  std::string text(kHead);
  text += body;
  text += kTail;
  return text;
}

// "line:column CODE" per finding, or "line:column CODE message".
std::vector<std::string> run(std::string_view body, bool with_messages) {
  const Result<CheckResult> checked = check(contract(body));
  if (!checked.ok()) return {checked.error().to_string()};
  if (!checked->parsed) return {checked->findings.at(0).message};
  std::vector<std::string> out;
  for (const Diagnostic& l : checked->findings) {
    if (l.kind != DiagnosticKind::kLint) continue;
    const Rule* rule = find_rule(l.code);
    EXPECT_TRUE(rule != nullptr && rule->kind == DiagnosticKind::kLint)
        << l.code;
    std::string line = l.span->to_string() + " " + std::string(l.code);
    if (with_messages) line += " " + l.message;
    out.push_back(line);
  }
  return out;
}

struct Case {
  const char* name;
  const char* body;
  std::vector<std::string> expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class LintFindings : public testing::TestWithParam<Case> {};

TEST_P(LintFindings, WhereEachFindingPoints) {
  EXPECT_EQ(run(GetParam().body, false), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lint, LintFindings,
    testing::Values(
        // Only the evaluator's own forms count; empty texts state nothing.
        Case{"unevaluated_conditions", R"(DataSemantics {
  state: { stage: String, count: Integer, a: Integer, b: Integer, x: Integer, y: Integer }
  invariants: ["a != b", "x > 0 and y > 0", "count >= 0", "", "  ", "x  >  -1"]
}
BehavioralSemantics { operations: [ {
  name: "approve"
  precondition: "stage == \"review\""
  parameters: { }
  postcondition: "count>=0"
  side_effects: [] idempotence: ""
} {
  name: "close"
  precondition: "stage is not empty"
  parameters: { done: Boolean }
  postcondition: "done is boolean"
  side_effects: [] idempotence: ""
} ] })",
             {"6:16 L001", "6:26 L001", "10:17 L001", "12:18 L001"}},
        // Composite defaults, nested object defaults included; a primitive
        // default is applied and a composite without one is fine.
        Case{"state_defaults", R"(DataSemantics {
  state: {
    tags: Array<String> = ["a"]
    status: Enum ["open", "done"] = "open"
    limit: Integer = 3
    lines: Array<Object { sku: String, qty: Integer = 1 }>
    plain: Map<String, Integer>
  }
  invariants: []
}
BehavioralSemantics { operations: [] })",
             {"6:27 L002", "7:37 L002", "9:55 L002"}},
        Case{"parameter_defaults", R"(DataSemantics {
  state: { total: Integer }
  invariants: []
}
BehavioralSemantics { operations: [ {
  name: "add"
  precondition: ""
  parameters: { amount: Integer = 5, note: String, item: Object { n: Integer = 2 } }
  postcondition: ""
  side_effects: [] idempotence: ""
} ] })",
             {"11:35 L003", "11:80 L003"}},
        // Judged on the initial state the executor builds: tags starts as
        // null despite its default, so "tags is not empty" fails.
        Case{"initial_state", R"(DataSemantics {
  state: { count: Integer, budget: Integer = 10, tags: Array<String> = ["a"], ready: Boolean, ratio: Float }
  invariants: ["count > 0", "budget > 0", "tags is not empty", "ready is boolean", "count is boolean", "ratio < 1"]
}
BehavioralSemantics { operations: [] })",
             {"5:72 L002", "6:16 L004", "6:43 L004", "6:84 L004"}},
        // A parameter counts only for its own operation and never for an
        // invariant; names the verifier already warns about are left to it,
        // and an unknown field is not reported again as an initial-state
        // violation.
        Case{"unknown_fields", R"(DataSemantics {
  state: { balance: Integer }
  invariants: ["total >= 0", "balance >= 0", "limit is boolean"]
}
BehavioralSemantics { operations: [ {
  name: "withdraw"
  precondition: "amount > 0"
  parameters: { limit: Integer }
  postcondition: "Total_Due >= 0"
  side_effects: [] idempotence: ""
} {
  name: "deposit"
  precondition: "new_total > 0"
  parameters: { amount: Integer }
  postcondition: "amount > 0"
  side_effects: [] idempotence: "limit > 0"
} ] })",
             {"6:16 L005", "6:46 L005", "10:17 L005", "12:18 L005"}},
        Case{"suppressions", R"(DataSemantics {
  state: { a: Integer, b: Integer }
  invariants: ["a != b"] // qel: allow L001
}
BehavioralSemantics { operations: [ {
  name: "op"
  // qel: allow L001
  precondition: "a == b"
  parameters: { n: Integer = 1 } // qel: allow L003, L005
  postcondition: "a // qel: allow L001"
  side_effects: [] idempotence: ""
  // qel: allow L002

} ] })",
             {"12:54 L100", "13:18 L001", "15:17 L100"}},
        // A reason may follow the codes; unknown and missing codes are
        // reported, and a report can itself be silenced; columns count
        // characters, not bytes.
        Case{"suppression_forms", R"(DataSemantics {
  state: { a: Integer }
  invariants: ["a == 1"] // qel: allow L001 checked by the importer
}
BehavioralSemantics { operations: [ {
  name: "op"
  precondition: "" // qel: allow L999
  parameters: { } // qel: allow
  postcondition: "" // qel: allow L004, L100
  side_effects: ["héllo"] // qel:allow L002
  idempotence: ""
} ] })",
             {"10:34 L100", "11:19 L100", "13:40 L100"}}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(LintMessages, SayWhatTheRunTimeDoes) {
  const std::vector<std::string> lines = run(R"(DataSemantics {
  state: { count: Integer, tags: Array<String> = [], line: Object { n: Integer = 1 } }
  invariants: ["count > 0", "count == 1", "total is boolean", "x\ty"]
}
BehavioralSemantics { operations: [ {
  name: "add"
  precondition: "amount > 0"
  parameters: { step: Integer = 1 }
  postcondition: ""
  side_effects: [] idempotence: ""
} ] } // qel: allow L005, L999)",
                                             true);
  const std::vector<std::string> expected = {
      "5:50 L002 default of state field 'tags' (Array<String>) is never "
      "applied: the run time starts it as null",
      "5:82 L002 default of 'n' in state field 'line' is never applied: the "
      "run time does not fill in defaults inside a value",
      "6:16 L004 invariant 'count > 0' does not hold in the initial state, "
      "where 'count' starts as 0; every request fails until one of them sets "
      "'count' so that it holds",
      "6:29 L001 invariant 'count == 1' is not a form the run time evaluates, "
      "so it never fails; recognised forms: FIELD is not empty, "
      "FIELD >= NUMBER, FIELD <= NUMBER, FIELD > NUMBER, FIELD < NUMBER, "
      "FIELD is boolean (one space either side of the operator)",
      "6:43 L005 invariant 'total is boolean' names 'total', which is not a "
      "state field; the run time fails a check on a missing field, so this "
      "one always fails",
      "6:63 L001 invariant 'x\\ty' is not a form the run time evaluates, so "
      "it never fails; recognised forms: FIELD is not empty, FIELD >= NUMBER, "
      "FIELD <= NUMBER, FIELD > NUMBER, FIELD < NUMBER, FIELD is boolean (one "
      "space either side of the operator)",
      "10:17 L005 precondition 'amount > 0' of 'add' names 'amount', which "
      "is neither a state field nor a parameter of 'add'; the run time fails "
      "a check on a missing field, so this one always fails",
      "11:33 L003 default of parameter 'step' of 'add' is never applied: the "
      "run time still requires the parameter in every request",
      "14:21 L100 'qel: allow L005' silences nothing: there is no L005 "
      "finding on line 14",
      "14:27 L100 'qel: allow L999' names no known code; 'qel help rules' "
      "lists them",
  };
  EXPECT_EQ(lines, expected);
}

constexpr std::string_view kPlainBody =
    "DataSemantics { state: { n: Integer } invariants: [] }\n"
    "BehavioralSemantics { operations: [] }";

// The findings of one code in `text`: "line:column" and the help, if any.
std::vector<std::string> findings_of(std::string_view code,
                                     const std::string& text) {
  const Result<CheckResult> checked = check(text);
  if (!checked.ok()) return {checked.error().to_string()};
  std::vector<std::string> out;
  for (const Diagnostic& d : checked->findings) {
    if (!d.span) return {d.message};
    if (d.code != code) continue;
    out.push_back(d.span->to_string() + (d.help.empty() ? "" : " " + d.help));
  }
  return out;
}

// Only text that is read is clean; the help names Extensions for what
// reads like extensions that were not read.
TEST(LintTextAfterContract, HelpNamesExtensionsWhenItLooksLikeOne) {
  struct Row {
    const char* after;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"// a closing comment\n", {}},
      {"Extensions { audit { level: 1 } }\n", {}},
      {"notes: \"draft\"\n", {"9:1"}},
      {"EXTENSION { audit { level: 1 } }\n",
       {"9:1 did you mean `Extensions`? Extension systems are read from a "
        "section written `Extensions { ... }` right after the contract"}},
      {"audit { level: 1 }\n",
       {"9:1 extension systems are read only inside `Extensions { ... }`: "
        "write `Extensions {` before 'audit' and `}` after it"}},
      {"Extensions { a {} }\n// b\nExtensions { b {} }\n",
       {"11:1 only the first Extensions section is read; move these systems "
        "into it"}},
      {"Extensions { a {} } b {}\n",
       {"9:21 extension systems are read only inside `Extensions { ... }`: "
        "move 'b' into the Extensions section"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(findings_of(rule::kTextAfterContract,
                          contract(kPlainBody) + row.after),
              row.expected)
        << row.after;
  }
}

// Only a digest that is not the text's is stale: the same digest in capitals
// is not, and stand-ins that are no digest at all are left alone.
TEST(LintSemanticHash, OnlyADigestOfAnotherTextIsStale) {
  const std::string text = contract(kPlainBody);
  const Result<std::string> hash = semantic_hash(text);
  ASSERT_TRUE(hash.ok());
  std::string upper = *hash;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  const auto with = [&](const std::string& written) {
    std::string t = text;
    t.replace(t.find("semantic_hash: \"\""), 17,
              "semantic_hash: \"" + written + "\"");
    return findings_of(rule::kStaleSemanticHash, t);
  };
  const std::string other(64, 'a');
  EXPECT_EQ(with(*hash), std::vector<std::string>{});
  EXPECT_EQ(with(upper), std::vector<std::string>{});
  EXPECT_EQ(with(std::string(64, '0')), std::vector<std::string>{});
  EXPECT_EQ(with("9f2c"), std::vector<std::string>{});
  EXPECT_EQ(with(other), std::vector<std::string>{"2:116"});
  EXPECT_EQ(with(other.substr(1) + "g"), std::vector<std::string>{});
}

TEST(Rules, CodesAreOrderedAndFound) {
  std::string previous;
  for (const Rule& rule : rules()) {
    EXPECT_LT(previous, rule.code);
    EXPECT_EQ(find_rule(rule.code), &rule);
    EXPECT_FALSE(rule.summary.empty()) << rule.code;
    previous = std::string(rule.code);
  }
  EXPECT_EQ(find_rule("l001"), nullptr);
  EXPECT_EQ(find_rule("L0011"), nullptr);
}

}  // namespace
}  // namespace qel
