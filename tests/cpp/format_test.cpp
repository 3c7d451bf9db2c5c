// The formatter: tables of contract text against the exact formatted text.
// Every expected text must also be a fixed point, and a text that does not
// parse is refused with the message normalize gives.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

#include "qel/canonical.h"
#include "qel/format.h"

namespace qel {
namespace {

// The sections around the ones a case writes, already in the house style.
constexpr std::string_view kHead = R"(Contract {
  Identity {
    stable_id: "fmt-test"
    version: 1
    created_timestamp: 2026-01-15T10:30:00Z
    owner: "team"
    semantic_hash: "abc"
  }
  PurposeStatement {
    narrative: "n"
    intent_source: "i"
    confidence_level: 0.5
  }
)";

constexpr std::string_view kTail = R"(  ExecutionConstraints {
    trigger_types: ["manual"]
    resource_limits: {
      max_memory_bytes: 1024
      computation_timeout_ms: 1000
      max_state_size_bytes: 1024
    }
    external_permissions: []
    sandbox_mode: "full_isolation"
  }
  HumanMachineContract {
    system_commitments: []
    system_refusals: []
    user_obligations: []
  }
}
)";

std::string contract(std::string_view middle) {
  std::string text(kHead);
  text += middle;
  text += kTail;
  return text;
}

struct Case {
  const char* name;
  std::string input;     // the DataSemantics and BehavioralSemantics sections
  std::string expected;  // the same, formatted
};

std::string repeat(std::string_view unit, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += unit;
  return out;
}

// An invariants list whose line is `width` characters long, the text made
// of `unit`, which is one character.
std::string invariants_of_width(int width, std::string_view unit) {
  // "    invariants: [" + quotes + "]" take 20 columns.
  return "\"" + repeat(unit, width - 20) + "\"";
}

const Case kSections[] = {
    {"spacing_and_optional_commas",
     "DataSemantics{state:{a:Integer=0,b:Map<String,Integer>,c:Enum[ \"x\" "
     ",\"y\", ]=\"x\",d:Array<Array<Integer>>=[[1,2,],[],],}invariants:[\"a "
     ">= 0\",],}\nBehavioralSemantics{operations:[{name:\"op\",precondition:"
     "\"a > 0\",parameters:{a:Integer,b:Boolean=true,},postcondition:\"a >= "
     "0\",side_effects:[\"log\",],idempotence:\"no\",},],}\n",
     R"(  DataSemantics {
    state: {
      a: Integer = 0
      b: Map<String, Integer>
      c: Enum ["x", "y"] = "x"
      d: Array<Array<Integer>> = [[1, 2], []]
    }
    invariants: ["a >= 0"]
  }
  BehavioralSemantics {
    operations: [
      {
        name: "op"
        precondition: "a > 0"
        parameters: { a: Integer, b: Boolean = true }
        postcondition: "a >= 0"
        side_effects: ["log"]
        idempotence: "no"
      }
    ]
  }
)"},
    {"tokens_as_written",
     "DataSemantics { state: { a: Integer = 00 b: Float = 1.50 c: Float = 1. "
     "d: String = \"say \\\"hi\\\"\\\\\" e: ISO8601 = 2026-01-15T10:30:00Z "
     "} invariants: [] }\n"
     "BehavioralSemantics { operations: [] }\n",
     R"(  DataSemantics {
    state: {
      a: Integer = 00
      b: Float = 1.50
      c: Float = 1.
      d: String = "say \"hi\"\\"
      e: ISO8601 = 2026-01-15T10:30:00Z
    }
    invariants: []
  }
  BehavioralSemantics {
    operations: []
  }
)"},
    {"one_line_when_it_fits_in_100_columns",
     "DataSemantics { state: { a: Integer } invariants: [" +
         invariants_of_width(100, "x") +
         "] }\nBehavioralSemantics { operations: [] }\n",
     "  DataSemantics {\n    state: { a: Integer }\n    invariants: [" +
         invariants_of_width(100, "x") +
         "]\n  }\n  BehavioralSemantics {\n    operations: []\n  }\n"},
    {"one_per_line_past_100_columns",
     "DataSemantics { state: { a: Integer } invariants: [" +
         invariants_of_width(101, "x") +
         "] }\nBehavioralSemantics { operations: [] }\n",
     "  DataSemantics {\n    state: { a: Integer }\n    invariants: [\n      " +
         invariants_of_width(101, "x") +
         ",\n    ]\n  }\n  BehavioralSemantics {\n    operations: []\n  }\n"},
    {"columns_count_characters_not_bytes",
     "DataSemantics { state: { a: Integer } invariants: [" +
         invariants_of_width(100, "\xC3\xA9") +
         "] }\nBehavioralSemantics { operations: [] }\n",
     "  DataSemantics {\n    state: { a: Integer }\n    invariants: [" +
         invariants_of_width(100, "\xC3\xA9") +
         "]\n  }\n  BehavioralSemantics {\n    operations: []\n  }\n"},
    {"typed_fields_past_the_width_one_per_line_and_nested_lists_on_their_own",
     "DataSemantics { state: { status: Enum [\"open\", \"held\"] = \"open\", "
     "tags: Array<String> = [\"alpha\", \"beta\"], shape: Object { depth: "
     "Integer, items: Array<String> } } invariants: [] }\n"
     "BehavioralSemantics { operations: [] }\n",
     R"(  DataSemantics {
    state: {
      status: Enum ["open", "held"] = "open"
      tags: Array<String> = ["alpha", "beta"]
      shape: Object { depth: Integer, items: Array<String> }
    }
    invariants: []
  }
  BehavioralSemantics {
    operations: []
  }
)"},
    {"empty_object_types_keep_their_braces_on_one_line_and_one_per_line",
     "DataSemantics { state: { a: Object{}, b: Array<Object {\n\n}>, c: "
     "Map<String, Object{ // none\n}> } invariants: [] }\n"
     "BehavioralSemantics { operations: [] }\n",
     R"(  DataSemantics {
    state: {
      a: Object {}
      b: Array<Object {}>
      c: Map<String, Object { // none
      }>
    }
    invariants: []
  }
  BehavioralSemantics {
    operations: []
  }
)"},
    {"a_text_with_a_line_feed_is_never_on_one_line",
     "DataSemantics { state: {} invariants: [\"two\nlines\", \"b\"] }\n"
     "BehavioralSemantics { operations: [] }\n",
     R"(  DataSemantics {
    state: {}
    invariants: [
      "two
lines",
      "b",
    ]
  }
  BehavioralSemantics {
    operations: []
  }
)"},
    {"comment_ending_a_line_stays_after_its_token",
     "DataSemantics { state: { a: Integer } // one field\n"
     "invariants: [\"a >= 0\", // first\n\"a <= 9\"] }\n"
     "BehavioralSemantics { operations: [ { name: \"op\" precondition: \"a > "
     "0\" parameters: { a: Integer, // the amount\n b: Integer } "
     "postcondition: \"a >= 0\" side_effects: [] idempotence: \"no\" } ] }\n",
     R"(  DataSemantics {
    state: { a: Integer } // one field
    invariants: [
      "a >= 0", // first
      "a <= 9",
    ]
  }
  BehavioralSemantics {
    operations: [
      {
        name: "op"
        precondition: "a > 0"
        parameters: {
          a: Integer // the amount
          b: Integer
        }
        postcondition: "a >= 0"
        side_effects: []
        idempotence: "no"
      }
    ]
  }
)"},
    {"comment_between_two_tokens_of_a_line_continues_it_below",
     "DataSemantics { state: { a: Map<String, // keys\nInteger> = // none\n"
     "[] } invariants: [] }\nBehavioralSemantics { operations: [ { name: // "
     "unique\n\"op\" precondition: \"a > 0\" parameters: {} postcondition: "
     "\"a >= 0\" side_effects: [] idempotence: \"no\" } ] }\n",
     R"(  DataSemantics {
    state: {
      a: Map<String, // keys
        Integer> = // none
        []
    }
    invariants: []
  }
  BehavioralSemantics {
    operations: [
      {
        name: // unique
          "op"
        precondition: "a > 0"
        parameters: {}
        postcondition: "a >= 0"
        side_effects: []
        idempotence: "no"
      }
    ]
  }
)"},
    {"comment_alone_on_its_line_and_blank_lines",
     "DataSemantics {\n\n\n  // the state\n\n\n state: {\n// nothing yet\n"
     "}\n\n\n invariants: [\n\n \"a\",\n\n\n // b next\n \"b\"\n\n // "
     "last\n\n ]\n\n}\n\n\nBehavioralSemantics { operations: [\n // none\n"
     "] }\n",
     R"(  DataSemantics {
    // the state

    state: {
      // nothing yet
    }

    invariants: [
      "a",

      // b next
      "b",

      // last
    ]
  }

  BehavioralSemantics {
    operations: [
      // none
    ]
  }
)"},
    {"comment_before_a_dropped_comma",
     "DataSemantics { state: { a: Integer // why\n, b: Integer\n// own\n, c: "
     "Integer } invariants: [\"x\" // after x\n, \"y\"] }\n"
     "BehavioralSemantics { operations: [] }\n",
     R"(  DataSemantics {
    state: {
      a: Integer // why
      b: Integer
      // own
      c: Integer
    }
    invariants: [
      "x", // after x
      "y",
    ]
  }
  BehavioralSemantics {
    operations: []
  }
)"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class FormatSectionsTest : public testing::TestWithParam<Case> {};

TEST_P(FormatSectionsTest, FormatsAndIsAFixedPoint) {
  const Case& c = GetParam();
  const Result<std::string> out = format_contract(contract(c.input));
  ASSERT_TRUE(out.ok()) << out.error().to_string();
  EXPECT_EQ(*out, contract(c.expected));
  const Result<std::string> again = format_contract(contract(c.expected));
  ASSERT_TRUE(again.ok()) << again.error().to_string();
  EXPECT_EQ(*again, contract(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Format, FormatSectionsTest, testing::ValuesIn(kSections),
                         [](const auto& info) { return info.param.name; });

// Whole texts: what lies around the contract.
struct WholeCase {
  const char* name;
  std::string input;
  std::string expected;
};

std::string compact_contract(std::string_view eol) {
  std::string text =
      "Contract { Identity { stable_id: \"fmt-test\" version: 1 "
      "created_timestamp: 2026-01-15T10:30:00Z owner: \"team\" semantic_hash: "
      "\"abc\" } PurposeStatement { narrative: \"n\" intent_source: \"i\" "
      "confidence_level: 0.5 }";
  text += eol;
  text +=
      "DataSemantics { state: {} invariants: [] } BehavioralSemantics { "
      "operations: [] } ExecutionConstraints { trigger_types: [\"manual\"] "
      "resource_limits: { max_memory_bytes: 1024, computation_timeout_ms: "
      "1000, max_state_size_bytes: 1024 } external_permissions: [] "
      "sandbox_mode: \"full_isolation\" } HumanMachineContract { "
      "system_commitments: [] system_refusals: [] user_obligations: [] } }";
  return text;
}

// `text` with `tail` before its final line feed.
std::string before_last_line_feed(std::string text, std::string_view tail) {
  text.insert(text.size() - 1, tail);
  return text;
}

const std::string kMiddle = R"(  DataSemantics {
    state: {}
    invariants: []
  }
  BehavioralSemantics {
    operations: []
  }
)";

const WholeCase kWhole[] = {
    {"crlf_becomes_lf_and_one_final_line_feed",
     "// head  \r\n\r\n\r\n" + compact_contract("\r\n") + "\r\n\r\n\r\n",
     "// head\n\n" + contract(kMiddle)},
    {"comment_at_the_end_without_a_line_feed",
     compact_contract(" ") + " // end",
     before_last_line_feed(contract(kMiddle), " // end")},
    {"extensions_one_field_per_line",
     compact_contract(" ") +
         "\nExtensions{audit{retention:3650,regulators:[\"a\",[1,2]],}empty{"
         "}}",
     contract(kMiddle) +
         "Extensions {\n  audit {\n    retention: 3650\n    regulators: "
         "[\"a\", [1, 2]]\n  }\n  empty {}\n}\n"},
    {"text_after_the_contract_keeps_its_spacing",
     compact_contract(" ") + " trailing 1,2\n\n\n\n  x   \"y\"",
     before_last_line_feed(contract(kMiddle), " trailing 1,2") +
         "\nx \"y\"\n"},
};

void PrintTo(const WholeCase& c, std::ostream* os) { *os << c.name; }

class FormatWholeTest : public testing::TestWithParam<WholeCase> {};

TEST_P(FormatWholeTest, FormatsAndIsAFixedPoint) {
  const WholeCase& c = GetParam();
  const Result<std::string> out = format_contract(c.input);
  ASSERT_TRUE(out.ok()) << out.error().to_string();
  EXPECT_EQ(*out, c.expected);
  const Result<std::string> again = format_contract(c.expected);
  ASSERT_TRUE(again.ok()) << again.error().to_string();
  EXPECT_EQ(*again, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Format, FormatWholeTest, testing::ValuesIn(kWhole),
                         [](const auto& info) { return info.param.name; });

TEST(FormatTest, RefusesWhatDoesNotParseAsNormalizeDoes) {
  for (const std::string& text :
       {std::string("Contract {"), contract("DataSemantics { state: {} }"),
        contract("DataSemantics { state: { a: Integer } invariants: [] }\n"
                 "BehavioralSemantics { operations: [] } $"),
        "\xEF\xBB\xBF" + compact_contract(" ")}) {
    const Result<std::string> out = format_contract(text);
    const Result<std::string> parsed = normalize(text);
    ASSERT_FALSE(parsed.ok()) << text;
    ASSERT_FALSE(out.ok()) << text;
    EXPECT_EQ(out.error().to_string(), parsed.error().to_string());
  }
}

}  // namespace
}  // namespace qel
