// Canonical text and semantic hash, from contract texts: rendering rules,
// canonical order, the hash's independence from order and from its own
// written value, and its dependence on everything else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "canonical/canonical_hash.h"
#include "qel/canonical.h"
#include "qel/parser.h"

namespace qel {
namespace {

// ---- Helpers ----------------------------------------------------------------

std::string normalized(std::string_view text) {
  Result<std::string> result = normalize(text);
  EXPECT_TRUE(result.ok()) << result.error().to_string();
  return result.ok() ? result.value() : std::string();
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  size_t at = 0;
  bool found = false;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
    found = true;
  }
  EXPECT_TRUE(found) << "no " << from;
  return text;
}

// Replaces the 64-character value on the semantic_hash line.
std::string with_hash(std::string text, const std::string& hash) {
  const std::string marker = "    semantic_hash: \"";
  const size_t at = text.find(marker);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) text.replace(at + marker.size(), 64, hash);
  return text;
}

std::string hash_line_of(const std::string& canonical) {
  const std::string marker = "    semantic_hash: \"";
  const size_t at = canonical.find(marker);
  if (at == std::string::npos) return "";
  return canonical.substr(at + marker.size(), 64);
}

bool is_lower_hex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The text between the end of `from` and the start of `to` in `text`.
std::string between(const std::string& text, std::string_view from,
                    std::string_view to) {
  const size_t begin = text.find(from);
  if (begin == std::string::npos) return "no " + std::string(from);
  const size_t end = text.find(to, begin + from.size());
  if (end == std::string::npos) return "no " + std::string(to);
  return text.substr(begin + from.size(), end - begin - from.size());
}

// A contract with no state, no operations and empty lists.
const char kBareSource[] =
    "Contract {\n"
    "  Identity { stable_id: \"svc-1\" version: 1 created_timestamp: "
    "2024-01-15T10:30:00Z owner: \"team\" semantic_hash: \"written\" }\n"
    "  PurposeStatement { narrative: \"n\" intent_source: \"i\" "
    "confidence_level: 0.5 }\n"
    "  DataSemantics { state: {} invariants: [] }\n"
    "  BehavioralSemantics { operations: [] }\n"
    "  ExecutionConstraints { trigger_types: [] resource_limits: { "
    "max_memory_bytes: 1024 computation_timeout_ms: 100 max_state_size_bytes: "
    "2048 } external_permissions: [] sandbox_mode: \"full_isolation\" }\n"
    "  HumanMachineContract { system_commitments: [] system_refusals: [] "
    "user_obligations: [] }\n"
    "}\n";

// The canonical lines of a state block holding `declarations`.
std::string state_lines(std::string_view declarations) {
  const std::string text = normalized(replaced(
      kBareSource, "state: {}", "state: { " + std::string(declarations) + " }"));
  return between(text, "    state: {\n", "    }\n  }\n  BehavioralSemantics");
}

// The canonical line of one field of the bare contract, `name` given the
// value written as `value`.
std::string field_line(std::string_view written, std::string_view rewritten,
                       std::string_view name) {
  const std::string text =
      normalized(replaced(kBareSource, written, rewritten));
  const std::string marker = "\n    " + std::string(name) + ": ";
  return between(text, marker, "\n");
}

// ---- Types ---------------------------------------------------------------------

struct RenderCase {
  const char* name;
  std::string written;
  std::string expected;
};

void PrintTo(const RenderCase& c, std::ostream* os) { *os << c.name; }

std::string case_name(const ::testing::TestParamInfo<RenderCase>& info) {
  return info.param.name;
}

class CanonicalTypeTest : public ::testing::TestWithParam<RenderCase> {};

// A state field of the written type: its canonical line.
TEST_P(CanonicalTypeTest, RendersSorted) {
  EXPECT_EQ(state_lines("x: " + GetParam().written),
            "      x: " + GetParam().expected + ",\n");
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalTypes, CanonicalTypeTest,
    ::testing::Values(
        RenderCase{"Integer", "Integer", "Integer"},
        RenderCase{"Float", "Float", "Float"},
        RenderCase{"String", "String", "String"},
        RenderCase{"Boolean", "Boolean", "Boolean"},
        RenderCase{"Iso8601", "ISO8601", "ISO8601"},
        RenderCase{"Uuid", "UUID", "UUID"},
        RenderCase{"MapOfStringToInteger", "Map< String ,Integer >",
                   "Map<String, Integer>"},
        RenderCase{"NestedArrayMap", "Array<Map<String,Array<Integer>>>",
                   "Array<Map<String, Array<Integer>>>"},
        RenderCase{"EnumSorted", "Enum [\"b\", \"a\",]", "Enum[\"a\", \"b\"]"},
        RenderCase{"EnumEmpty", "Enum []", "Enum[]"},
        RenderCase{"EnumDuplicatesKept", "Enum [\"b\", \"a\", \"b\"]",
                   "Enum[\"a\", \"b\", \"b\"]"},
        RenderCase{"EnumEscapes", "Enum [\"say \\\"hi\\\"\", \"back\\\\slash\"]",
                   "Enum[\"back\\\\slash\", \"say \\\"hi\\\"\"]"},
        RenderCase{"ObjectEmpty", "Object {}", "Object {\n      }"},
        RenderCase{"ObjectSortedWithDefault",
                   "Object { b: Array<String> a: Integer = 1, }",
                   "Object {\n"
                   "        a: Integer = 1,\n"
                   "        b: Array<String>,\n"
                   "      }"},
        RenderCase{"ObjectInObjectKeepsFixedIndent",
                   "Object { z: String inner: Object { y: Enum [\"q\", \"p\"] "
                   "x: Integer = 2 } }",
                   "Object {\n"
                   "        inner: Object {\n"
                   "        x: Integer = 2,\n"
                   "        y: Enum[\"p\", \"q\"],\n"
                   "      },\n"
                   "        z: String,\n"
                   "      }"},
        RenderCase{"ObjectInsideArrayAndMap",
                   "Map<Object { k: Integer }, Array<Object { v: String = \"d\" }>>",
                   "Map<Object {\n"
                   "        k: Integer,\n"
                   "      }, Array<Object {\n"
                   "        v: String = \"d\",\n"
                   "      }>>"}),
    case_name);

// ---- Literals ------------------------------------------------------------------

class CanonicalLiteralTest : public ::testing::TestWithParam<RenderCase> {};

// A default of the written form: its canonical rendering.
TEST_P(CanonicalLiteralTest, Renders) {
  EXPECT_EQ(state_lines("x: Integer = " + GetParam().written),
            "      x: Integer = " + GetParam().expected + ",\n");
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalLiterals, CanonicalLiteralTest,
    ::testing::Values(
        RenderCase{"String", "\"abc\"", "\"abc\""},
        RenderCase{"StringEmpty", "\"\"", "\"\""},
        RenderCase{"StringQuoteEscaped", "\"a\\\"b\"", "\"a\\\"b\""},
        RenderCase{"StringBackslashEscaped", "\"a\\\\b\"", "\"a\\\\b\""},
        RenderCase{"StringBackslashBeforeQuote", "\"\\\\\\\"\"",
                   "\"\\\\\\\"\""},
        RenderCase{"StringNewlineAndTabRaw", "\"a\\nb\\tc\"", "\"a\nb\tc\""},
        RenderCase{"StringRawLineFeedKept", "\"a\nb\"", "\"a\nb\""},
        RenderCase{"StringNonAsciiRaw", "\"caf\xc3\xa9\"", "\"caf\xc3\xa9\""},
        RenderCase{"BareTimestampQuoted", "2024-01-15T10:30:00+02:00",
                   "\"2024-01-15T10:30:00+02:00\""},
        RenderCase{"Integer", "2", "2"},
        RenderCase{"IntegerZero", "0", "0"},
        RenderCase{"IntegerLeadingZeros", "007", "7"},
        RenderCase{"IntegerMax", "9223372036854775807", "9223372036854775807"},
        RenderCase{"FloatWhole", "2.0", "2.0"},
        RenderCase{"FloatNoFraction", "2.", "2.0"},
        RenderCase{"FloatTenth", "0.1", "0.1"},
        RenderCase{"FloatHalf", "0.50", "0.5"},
        RenderCase{"FloatZero", "0.0", "0.0"},
        RenderCase{"FloatTinyPositional", "0.0000001", "0.0000001"},
        RenderCase{"FloatHugePositional", "100000000000000000000.0",
                   "100000000000000000000.0"},
        RenderCase{"FloatInfinite", std::string("1").append(400, '0').append(".0"),
                   "inf.0"},
        RenderCase{"True", "true", "true"},
        RenderCase{"False", "false", "false"},
        RenderCase{"ArrayEmpty", "[]", "[]"},
        RenderCase{"ArrayMixedNested", "[1, \"a\", [true],]",
                   "[1, \"a\", [true]]"},
        RenderCase{"ArrayKeepsOrder", "[3,1,2.0,[],\"\\\"\"]",
                   "[3, 1, 2.0, [], \"\\\"\"]"},
        RenderCase{"ArrayAt128Levels",
                   std::string(128, '[') + std::string(128, ']'),
                   std::string(128, '[') + std::string(128, ']')}),
    case_name);

// Escapes are found wherever they fall relative to word boundaries, and
// bytes that are neither escape (non-ASCII ones included) pass unchanged.
TEST(CanonicalLiteralEscapes, EveryPositionInLongTexts) {
  for (size_t length = 1; length <= 24; ++length) {
    for (size_t at = 0; at < length; ++at) {
      for (const char special : {'"', '\\'}) {
        std::string text;
        for (size_t i = 0; i < length; ++i) {
          text += static_cast<char>('a' + static_cast<char>(i % 26));
        }
        const std::string escaped = text.substr(0, at) + "\\" + special +
                                    text.substr(at + 1);
        // Written escaped, read as the character, written escaped again.
        ASSERT_EQ(field_line("narrative: \"n\"",
                             "narrative: \"" + escaped + "\"", "narrative"),
                  "\"" + escaped + "\",")
            << "length " << length << " at " << at;
      }
    }
  }
  const std::string filler = "ab\xc3\xa9\xe2\x82\xac\\\"x";
  EXPECT_EQ(field_line("narrative: \"n\"",
                       "narrative: \"" + filler + filler + "\"", "narrative"),
            "\"" + filler + filler + "\",");
}

// ---- Fields ----------------------------------------------------------------------

struct FieldCase {
  const char* written;    // replaces its field in the bare contract
  const char* rewritten;
  const char* name;
  const char* expected;   // the field's canonical line after "name: "
};

TEST(CanonicalFields, NumbersAndLists) {
  const FieldCase cases[] = {
      {"version: 1", "version: 1", "version", "1,"},
      {"version: 1", "version: 4294967296", "version", "4294967296,"},
      {"version: 1", "version: 0001", "version", "1,"},
      {"max_memory_bytes: 1024", "max_memory_bytes: 0", "  max_memory_bytes",
       "0,"},
      {"computation_timeout_ms: 100",
       "computation_timeout_ms: 9223372036854775807",
       "  computation_timeout_ms", "9223372036854775807,"},
      {"confidence_level: 0.5", "confidence_level: 0.5", "confidence_level",
       "0.5,"},
      {"confidence_level: 0.5", "confidence_level: 1.0", "confidence_level",
       "1.0,"},
      {"confidence_level: 0.5", "confidence_level: 0.", "confidence_level",
       "0.0,"},
      {"confidence_level: 0.5", "confidence_level: 0.95", "confidence_level",
       "0.95,"},
      {"confidence_level: 0.5", "confidence_level: 0.0000001",
       "confidence_level", "0.0000001,"},
      {"system_commitments: []", "system_commitments: []",
       "system_commitments", "[],"},
      {"system_commitments: []", "system_commitments: [\"a\"]",
       "system_commitments", "[\"a\"],"},
      {"system_commitments: []", "system_commitments: [\"b\", \"a\",]",
       "system_commitments", "[\"a\", \"b\"],"},
      {"system_commitments: []", "system_commitments: [\"x y\", \"\"]",
       "system_commitments", "[\"\", \"x y\"],"},
      {"system_commitments: []", "system_commitments: [\"q\\\"\", \"\\\\\"]",
       "system_commitments", "[\"\\\\\", \"q\\\"\"],"},
  };
  for (const FieldCase& c : cases) {
    EXPECT_EQ(field_line(c.written, c.rewritten, c.name), c.expected)
        << c.rewritten;
  }
}

// ---- Canonical order -------------------------------------------------------------

struct OrderCase {
  const char* name;
  std::string written;   // the invariants' list items
  std::string expected;  // the canonical list
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class CanonicalOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(CanonicalOrderTest, SortsTextsByBytes) {
  EXPECT_EQ(field_line("invariants: []",
                       "invariants: [" + GetParam().written + "]",
                       "invariants"),
            "[" + GetParam().expected + "],");
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalOrders, CanonicalOrderTest,
    ::testing::Values(
        OrderCase{"Empty", "", ""},
        OrderCase{"Single", "\"x\"", "\"x\""},
        OrderCase{"Reversed", "\"c\", \"b\", \"a\"", "\"a\", \"b\", \"c\""},
        OrderCase{"PrefixFirst", "\"ab\", \"a\", \"abc\", \"\"",
                  "\"\", \"a\", \"ab\", \"abc\""},
        OrderCase{"UpperBeforeLower", "\"a\", \"B\", \"_\", \"Z\"",
                  "\"B\", \"Z\", \"_\", \"a\""},
        OrderCase{"DigitsAsBytes", "\"10\", \"9\", \"1\"",
                  "\"1\", \"10\", \"9\""},
        // Non-ASCII bytes are above every ASCII byte: unsigned comparison.
        OrderCase{"NonAsciiLast", "\"\xc3\xa9t\xc3\xa9\", \"zebra\", \"\x7f\"",
                  "\"zebra\", \"\x7f\", \"\xc3\xa9t\xc3\xa9\""},
        OrderCase{"DuplicatesKeptTogether", "\"b\", \"a\", \"b\", \"a\"",
                  "\"a\", \"a\", \"b\", \"b\""},
        OrderCase{"SpaceAndPunctuation", "\"a b\", \"a\", \"a-b\", \"a!\"",
                  "\"a\", \"a b\", \"a!\", \"a-b\""},
        // Sorted by the text read, not as written.
        OrderCase{"EscapesDecodedFirst", "\"a\\tz\", \"a\\\\\", \"a b\"",
                  "\"a\tz\", \"a b\", \"a\\\\\""}),
    [](const ::testing::TestParamInfo<OrderCase>& info) {
      return std::string(info.param.name);
    });

// Equal names keep their source order, in lists short and long.
TEST(CanonicalOrder, EqualNamesKeepSourceOrder) {
  EXPECT_EQ(state_lines("x: String a: Integer x: Integer = 1"),
            "      a: Integer,\n      x: String,\n      x: Integer = 1,\n");
  const char* const kTypes[] = {"Integer", "Float", "String", "Boolean",
                                "UUID"};
  for (const size_t size : {2u, 3u, 16u, 17u, 50u}) {
    std::string written;
    for (size_t i = 0; i < size; ++i) {
      // Names cycle through c, a, b; the types record the source order.
      written += std::string(1, "cab"[i % 3]) + ": " + kTypes[(i / 3) % 5] + " ";
    }
    std::string expected;
    for (const char name : {'a', 'b', 'c'}) {
      const size_t first = name == 'c' ? 0 : name == 'a' ? 1 : 2;
      for (size_t i = first; i < size; i += 3) {
        expected += std::string("      ") + name + ": " + kTypes[(i / 3) % 5] +
                    ",\n";
      }
    }
    EXPECT_EQ(state_lines(written), expected) << "size " << size;
  }
}

// ---- The full canonical text -----------------------------------------------------

// Written from the layout rules, with the hash as 64 zeros.
const char kFullCanonicalBlanked[] =
    "Contract {\n"
    "  Identity {\n"
    "    created_timestamp: \"2024-01-15T10:30:00Z\",\n"
    "    owner: \"Ledger \\\"core\\\" team\",\n"
    "    semantic_hash: \"0000000000000000000000000000000000000000000000000000000000000000\",\n"
    "    stable_id: \"payments.ledger\",\n"
    "    version: 3,\n"
    "  }\n"
    "  PurposeStatement {\n"
    "    confidence_level: 0.95,\n"
    "    intent_source: \"C:\\\\specs\\\\ledger\",\n"
    "    narrative: \"Keeps\nbalances\",\n"
    "  }\n"
    "  DataSemantics {\n"
    "    invariants: [\"balance >= 0\", \"balance >= 0\", \"count >= 0\"],\n"
    "    state: {\n"
    "      balance: Float = 0.0,\n"
    "      limits: Map<String, Integer>,\n"
    "      owner_info: Object {\n"
    "        city: Object {\n"
    "        geo: Object {\n"
    "      },\n"
    "        street: String = \"Main\",\n"
    "      },\n"
    "        zip: String,\n"
    "      },\n"
    "      status: Enum[\"closed\", \"open\"] = \"open\",\n"
    "      tags: Array<String> = [\"x\", 2, [false]],\n"
    "    }\n"
    "  }\n"
    "  BehavioralSemantics {\n"
    "    operations: [\n"
    "      {\n"
    "        idempotence: \"idempotent\",\n"
    "        name: \"audit\",\n"
    "        parameters: {\n"
    "        },\n"
    "        postcondition: \"true\",\n"
    "        precondition: \"true\",\n"
    "        side_effects: []\n"
    "      }\n"
    "      {\n"
    "        idempotence: \"non-idempotent\",\n"
    "        name: \"withdraw\",\n"
    "        parameters: {\n"
    "          amount: Float,\n"
    "          note: String = \"n/a\",\n"
    "        },\n"
    "        postcondition: \"balance >= 0\",\n"
    "        precondition: \"amount <= balance\",\n"
    "        side_effects: [\"emit event\", \"write ledger\"]\n"
    "      }\n"
    "    ]\n"
    "  }\n"
    "  ExecutionConstraints {\n"
    "    external_permissions: [],\n"
    "    resource_limits: {\n"
    "      computation_timeout_ms: 100,\n"
    "      max_memory_bytes: 1024,\n"
    "      max_state_size_bytes: 2048,\n"
    "    },\n"
    "    sandbox_mode: \"full_isolation\",\n"
    "    trigger_types: [\"api\", \"manual\"]\n"
    "  }\n"
    "  HumanMachineContract {\n"
    "    system_commitments: [\"audit\", \"log\"],\n"
    "    system_refusals: [],\n"
    "    user_obligations: [\"review\"]\n"
    "  }\n"
    "}\n"
    "\n"
    "Extensions {\n"
    "  audit {\n"
    "  }\n"
    "  billing {\n"
    "    codes: [1, 2]\n"
    "    tier: \"gold\"\n"
    "  }\n"
    "  monitoring {\n"
    "    alert: true\n"
    "    window: 100000000000000000000.0\n"
    "  }\n"
    "}\n";

const char kBareCanonicalBlanked[] =
    "Contract {\n"
    "  Identity {\n"
    "    created_timestamp: \"2024-01-15T10:30:00Z\",\n"
    "    owner: \"team\",\n"
    "    semantic_hash: \"0000000000000000000000000000000000000000000000000000000000000000\",\n"
    "    stable_id: \"svc-1\",\n"
    "    version: 1,\n"
    "  }\n"
    "  PurposeStatement {\n"
    "    confidence_level: 0.5,\n"
    "    intent_source: \"i\",\n"
    "    narrative: \"n\",\n"
    "  }\n"
    "  DataSemantics {\n"
    "    invariants: [],\n"
    "    state: {\n"
    "    }\n"
    "  }\n"
    "  BehavioralSemantics {\n"
    "    operations: [\n"
    "    ]\n"
    "  }\n"
    "  ExecutionConstraints {\n"
    "    external_permissions: [],\n"
    "    resource_limits: {\n"
    "      computation_timeout_ms: 100,\n"
    "      max_memory_bytes: 1024,\n"
    "      max_state_size_bytes: 2048,\n"
    "    },\n"
    "    sandbox_mode: \"full_isolation\",\n"
    "    trigger_types: []\n"
    "  }\n"
    "  HumanMachineContract {\n"
    "    system_commitments: [],\n"
    "    system_refusals: [],\n"
    "    user_obligations: []\n"
    "  }\n"
    "}\n";

// ---- From contract text ------------------------------------------------------------

// The same contract as full_contract(), written out of order, with comments,
// mixed separators and escapes.
const char kFullSource[] =
    "// a ledger\n"
    "Contract {\n"
    "  Identity {\n"
    "    version: 3, owner: \"Ledger \\\"core\\\" team\"\n"
    "    semantic_hash: \"deadbeef\"  // anything\n"
    "    stable_id: \"payments.ledger\",\n"
    "    created_timestamp: 2024-01-15T10:30:00Z,\n"
    "  }\n"
    "  PurposeStatement {\n"
    "    narrative: \"Keeps\nbalances\"\n"
    "    confidence_level: 0.95\n"
    "    intent_source: \"C:\\\\specs\\\\ledger\"\n"
    "  }\n"
    "  DataSemantics {\n"
    "    state: {\n"
    "      owner_info: Object { zip: String, city: Object { street: String = \"Main\"\n"
    "                           geo: Object { } } }\n"
    "      balance: Float = 0.0\n"
    "      status: Enum [\"open\", \"closed\",] = \"open\"\n"
    "      tags: Array<String> = [\"x\", 2, [false],]\n"
    "      limits: Map<String,Integer>\n"
    "    }\n"
    "    invariants: [\"balance >= 0\", \"count >= 0\", \"balance >= 0\"]\n"
    "  }\n"
    "  BehavioralSemantics {\n"
    "    operations: [\n"
    "      { name: \"withdraw\" precondition: \"amount <= balance\"\n"
    "        parameters: { note: String = \"n/a\", amount: Float }\n"
    "        postcondition: \"balance >= 0\"\n"
    "        side_effects: [\"write ledger\", \"emit event\"]\n"
    "        idempotence: \"non-idempotent\" },\n"
    "      { idempotence: \"idempotent\" name: \"audit\" precondition: \"true\"\n"
    "        parameters: {} postcondition: \"true\" side_effects: [] }\n"
    "    ],\n"
    "  }\n"
    "  ExecutionConstraints {\n"
    "    trigger_types: [\"manual\", \"api\"]\n"
    "    resource_limits: { max_memory_bytes: 1024 computation_timeout_ms: 100\n"
    "                       max_state_size_bytes: 2048 }\n"
    "    external_permissions: []\n"
    "    sandbox_mode: \"full_isolation\"\n"
    "  }\n"
    "  HumanMachineContract {\n"
    "    user_obligations: [\"review\"]\n"
    "    system_refusals: []\n"
    "    system_commitments: [\"log\", \"audit\"]\n"
    "  }\n"
    "}\n"
    "Extensions {\n"
    "  monitoring { window: 100000000000000000000.0, alert: true }\n"
    "  audit { }\n"
    "  billing { tier: \"gold\" codes: [1, 2] }\n"
    "}\n";

TEST(CanonicalFromText, FullContractRendersExactly) {
  const detail::HashText digest = detail::sha256_hex(kFullCanonicalBlanked);
  const std::string hash(digest.data(), digest.size());
  EXPECT_EQ(normalized(kFullSource), with_hash(kFullCanonicalBlanked, hash));
  Result<std::string> hashed = semantic_hash(kFullSource);
  ASSERT_TRUE(hashed.ok());
  EXPECT_EQ(hashed.value(), hash);
}

TEST(CanonicalFromText, AgreesWithTheTreeFunctions) {
  Result<SyntaxTree> tree = parse_tree(kFullSource);
  ASSERT_TRUE(tree.ok());
  const std::string canonical = serialize_canonical(*tree);
  EXPECT_EQ(normalized(kFullSource), canonical);
  EXPECT_EQ(compute_semantic_hash(*tree), hash_line_of(canonical));
}

TEST(CanonicalFromText, BareContractRendersExactly) {
  const detail::HashText digest = detail::sha256_hex(kBareCanonicalBlanked);
  EXPECT_EQ(normalized(kBareSource),
            with_hash(kBareCanonicalBlanked,
                      std::string(digest.data(), digest.size())));
}

TEST(CanonicalFromText, EmptyExtensionsSectionIsStillWritten) {
  const std::string text =
      normalized(std::string(kBareSource) + "Extensions { }\n");
  const std::string blanked = with_hash(text, std::string(64, '0'));
  EXPECT_EQ(blanked, std::string(kBareCanonicalBlanked) + "\nExtensions {\n}\n");
  const detail::HashText digest = detail::sha256_hex(blanked);
  EXPECT_EQ(hash_line_of(text), std::string(digest.data(), digest.size()));
}

// A small contract whose texts hold no line feeds, so layout can be changed
// by rewriting the text around them.
const char kSmallSource[] =
    "Contract {\n"
    "  Identity {\n"
    "    stable_id: \"svc-1\"\n"
    "    version: 1\n"
    "    created_timestamp: \"2024-01-15T10:30:00Z\"\n"
    "    owner: \"team\"\n"
    "    semantic_hash: \"abc\"\n"
    "  }\n"
    "  PurposeStatement {\n"
    "    narrative: \"n\"\n"
    "    intent_source: \"i\"\n"
    "    confidence_level: 0.5\n"
    "  }\n"
    "  DataSemantics {\n"
    "    state: { count: Integer = 2, ratio: Float = 2.0, tick: Float = 0.1 }\n"
    "    invariants: [\"count >= 0\", \"ratio >= 0\"]\n"
    "  }\n"
    "  BehavioralSemantics {\n"
    "    operations: [\n"
    "      { name: \"b\" precondition: \"true\" parameters: { y: String, x: Integer }\n"
    "        postcondition: \"true\" side_effects: [\"s2\", \"s1\"] idempotence: \"yes\" }\n"
    "      { name: \"a\" precondition: \"true\" parameters: {}\n"
    "        postcondition: \"true\" side_effects: [] idempotence: \"yes\" }\n"
    "    ]\n"
    "  }\n"
    "  ExecutionConstraints {\n"
    "    trigger_types: [\"manual\", \"api\"]\n"
    "    resource_limits: { max_memory_bytes: 1024, computation_timeout_ms: 100, max_state_size_bytes: 2048 }\n"
    "    external_permissions: [\"net\", \"disk\"]\n"
    "    sandbox_mode: \"full_isolation\"\n"
    "  }\n"
    "  HumanMachineContract {\n"
    "    system_commitments: [\"c2\", \"c1\"]\n"
    "    system_refusals: [\"r2\", \"r1\"]\n"
    "    user_obligations: [\"u2\", \"u1\"]\n"
    "  }\n"
    "}\n";

struct RewriteCase {
  const char* name;
  const char* from;
  const char* to;
};

void PrintTo(const RewriteCase& c, std::ostream* os) { *os << c.name; }

class CanonicalSameMeaningTest : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(CanonicalSameMeaningTest, SameCanonicalText) {
  const std::string rewritten = replaced(kSmallSource, GetParam().from, GetParam().to);
  EXPECT_EQ(normalized(rewritten), normalized(kSmallSource));
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalSameMeaning, CanonicalSameMeaningTest,
    ::testing::Values(
        RewriteCase{"OneLine", "\n", " "},
        RewriteCase{"CommentsEverywhere", "\n", " // note \"x\" { [\n"},
        RewriteCase{"CrLf", "\n", "\r\n"},
        RewriteCase{"Tabs", "  ", "\t"},
        RewriteCase{"WrittenHash", "\"abc\"", "\"0123\""},
        RewriteCase{"BareTimestamp", "\"2024-01-15T10:30:00Z\"",
                    "2024-01-15T10:30:00Z"},
        RewriteCase{"StateOrder",
                    "count: Integer = 2, ratio: Float = 2.0, tick: Float = 0.1",
                    "tick: Float = 0.1 ratio: Float = 2.0 count: Integer = 2,"},
        RewriteCase{"ParameterOrder", "{ y: String, x: Integer }",
                    "{ x: Integer y: String }"},
        RewriteCase{"SideEffects", "[\"s2\", \"s1\"]", "[\"s1\", \"s2\",]"},
        RewriteCase{"Invariants", "[\"count >= 0\", \"ratio >= 0\"]",
                    "[\"ratio >= 0\", \"count >= 0\"]"},
        RewriteCase{"Lists", "[\"c2\", \"c1\"]", "[\"c1\", \"c2\"]"},
        RewriteCase{"FieldOrderInSection",
                    "    stable_id: \"svc-1\"\n    version: 1\n",
                    "    version: 1,\n    stable_id: \"svc-1\",\n"},
        RewriteCase{"LimitsOrder",
                    "max_memory_bytes: 1024, computation_timeout_ms: 100",
                    "computation_timeout_ms: 100 max_memory_bytes: 1024"},
        RewriteCase{"TrailingText", "  }\n}\n", "  }\n}\nanything 1 2 \"x\"\n"}),
    [](const ::testing::TestParamInfo<RewriteCase>& info) {
      return std::string(info.param.name);
    });

class CanonicalOtherMeaningTest : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(CanonicalOtherMeaningTest, OtherHash) {
  const std::string rewritten = replaced(kSmallSource, GetParam().from, GetParam().to);
  Result<std::string> a = semantic_hash(kSmallSource);
  Result<std::string> b = semantic_hash(rewritten);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value(), b.value());
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalOtherMeaning, CanonicalOtherMeaningTest,
    ::testing::Values(
        RewriteCase{"FloatForInteger", "count: Integer = 2,", "count: Integer = 2.0,"},
        RewriteCase{"IntegerForFloat", "ratio: Float = 2.0,", "ratio: Float = 2,"},
        RewriteCase{"Type", "y: String", "y: UUID"},
        RewriteCase{"SwappedCharacters", "\"count >= 0\"", "\"cuont >= 0\""},
        RewriteCase{"Version", "version: 1", "version: 01000"},
        RewriteCase{"Limit", "max_memory_bytes: 1024", "max_memory_bytes: 1023"},
        RewriteCase{"Quote", "narrative: \"n\"", "narrative: \"n\\\"\""},
        RewriteCase{"Backslash", "narrative: \"n\"", "narrative: \"n\\\\\""},
        RewriteCase{"Extensions", "  }\n}\n", "  }\n}\nExtensions { }\n"}),
    [](const ::testing::TestParamInfo<RewriteCase>& info) {
      return std::string(info.param.name);
    });

TEST(CanonicalFromText, NumberForms) {
  const std::string text = normalized(kSmallSource);
  EXPECT_NE(text.find("      count: Integer = 2,\n      ratio: Float = 2.0,\n"
                      "      tick: Float = 0.1,\n"),
            std::string::npos)
      << text;
}

// Texts that the canonical form must carry through a second reading intact.
const char* const kTrickyTexts[] = {
    "a\\\"b",              // escaped quotation mark
    "C:\\\\dir\\\\",       // backslashes, one at the end
    "line one\nline two",  // raw line feed
    "tab\\there\ttoo",     // escaped and raw tab
    "\\n is not a line feed here",
    "\\\\\\\"",            // backslash then quotation mark
    "a\\\",\n    narrative: \\\"b",
    "caf\xc3\xa9 \xe2\x86\x92 // not a comment {",
};

class CanonicalIdempotenceTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CanonicalIdempotenceTest, NormalisingTheCanonicalTextChangesNothing) {
  const std::string quoted = std::string("\"") + GetParam() + "\"";
  std::string source = replaced(kSmallSource, "\"n\"", quoted);
  source = replaced(source, "\"s1\"", quoted);
  source = replaced(source, "y: String", "y: Enum [" + quoted + ", \"z\"] = " + quoted);
  source = replaced(source, "  }\n}\n",
                    "  }\n}\nExtensions { sys { f: [" + quoted + "] } }\n");
  const std::string once = normalized(source);
  EXPECT_EQ(normalized(once), once);
  Result<std::string> hash = semantic_hash(once);
  ASSERT_TRUE(hash.ok());
  EXPECT_EQ(hash.value(), hash_line_of(once));
}

INSTANTIATE_TEST_SUITE_P(CanonicalIdempotence, CanonicalIdempotenceTest,
                         ::testing::ValuesIn(kTrickyTexts));

TEST(CanonicalFromText, IdempotentOnTheFullContract) {
  const std::string once = normalized(kFullSource);
  EXPECT_EQ(normalized(once), once);
}

TEST(CanonicalFromText, CollidingTextsHashApart) {
  // intent_source a",<LF>    narrative: "b with narrative c, against
  // intent_source a with narrative b",<LF>    narrative: "c.
  const std::string first = replaced(
      replaced(kSmallSource, "intent_source: \"i\"",
               "intent_source: \"a\\\",\n    narrative: \\\"b\""),
      "narrative: \"n\"", "narrative: \"c\"");
  const std::string second = replaced(
      replaced(kSmallSource, "intent_source: \"i\"", "intent_source: \"a\""),
      "narrative: \"n\"", "narrative: \"b\\\",\n    narrative: \\\"c\"");
  EXPECT_NE(normalized(first), normalized(second));
  Result<std::string> a = semantic_hash(first);
  Result<std::string> b = semantic_hash(second);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value(), b.value());
}

struct BadTextCase {
  const char* name;
  const char* text;
  const char* expected;
};

void PrintTo(const BadTextCase& c, std::ostream* os) { *os << c.name; }

class CanonicalBadTextTest : public ::testing::TestWithParam<BadTextCase> {};

TEST_P(CanonicalBadTextTest, SameErrorAsParseContract) {
  Result<std::string> text = normalize(GetParam().text);
  Result<std::string> hash = semantic_hash(GetParam().text);
  Result<Contract> reference = parse_contract(GetParam().text);
  ASSERT_FALSE(text.ok());
  ASSERT_FALSE(hash.ok());
  ASSERT_FALSE(reference.ok());
  EXPECT_EQ(text.error().to_string(), GetParam().expected);
  EXPECT_EQ(hash.error().to_string(), GetParam().expected);
  EXPECT_EQ(reference.error().to_string(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalBadText, CanonicalBadTextTest,
    ::testing::Values(
        BadTextCase{"Empty", "", "Parse error: Expected Contract, found Eof at 1:1"},
        BadTextCase{"NonAscii", "x \xc3\xa9",
                    "Parse error: Unexpected character '\xc3\xa9' at 1:3"},
        BadTextCase{"BadEscape", "\"a\\qb\"",
                    "Parse error: Invalid escape sequence '\\q' at 1:5"},
        BadTextCase{"Unterminated", "\"abc",
                    "Parse error: Unterminated string starting at 1:1"},
        BadTextCase{"Minus", "-1", "Parse error: Unexpected character '-' at 1:1"},
        BadTextCase{"NoIdentity", "Contract { PurposeStatement",
                    "Parse error: Expected Identity, found PurposeStatement at 1:12"},
        BadTextCase{"MissingOwner",
                    "Contract {\n  Identity {\n    stable_id: \"x\" version: 1\n"
                    "    created_timestamp: \"t\" semantic_hash: \"h\"\n  }\n}",
                    "Parse error: Missing required field 'owner' in Identity at 2:3"}),
    [](const ::testing::TestParamInfo<BadTextCase>& info) {
      return std::string(info.param.name);
    });

// ---- The hash -------------------------------------------------------------------

TEST(CanonicalHash, Sha256KnownVectors) {
  const struct {
    const char* input;
    const char* expected;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    const detail::HashText one_shot = detail::sha256_hex(c.input);
    EXPECT_EQ(std::string(one_shot.data(), one_shot.size()), c.expected);
    // Fed in pieces of every size, the digest is the same.
    const std::string_view input = c.input;
    for (size_t piece = 1; piece <= input.size(); ++piece) {
      detail::Sha256 digest;
      for (size_t at = 0; at < input.size(); at += piece) {
        digest.update(input.substr(at, piece));
      }
      const detail::HashText pieces = digest.finish();
      ASSERT_EQ(std::string(pieces.data(), pieces.size()), c.expected)
          << "pieces of " << piece;
    }
  }
}

// A contract whose canonical text runs to many pieces of the streamed hash.
TEST(CanonicalHash, LargeContractHashEqualsItsHashLine) {
  std::string state;
  for (int i = 0; i < 6000; ++i) {
    state += "f";
    state += std::to_string(7919 * i % 6000);
    state += ": Object { b: Enum [\"y\", \"x\"] a: Integer = 1 } ";
  }
  const std::string text = replaced(kBareSource, "state: {}",
                                    "state: { " + state + " }");
  const std::string canonical = normalized(text);
  ASSERT_GT(canonical.size(), 256u * 1024u);  // several pieces
  Result<std::string> hash = semantic_hash(text);
  ASSERT_TRUE(hash.ok());
  EXPECT_EQ(*hash, hash_line_of(canonical));
  const detail::HashText digest =
      detail::sha256_hex(with_hash(canonical, std::string(64, '0')));
  EXPECT_EQ(*hash, std::string(digest.data(), digest.size()));
}

TEST(CanonicalHash, WrittenHashNeverMatters) {
  const std::string reference = normalized(kFullSource);
  EXPECT_TRUE(is_lower_hex64(hash_line_of(reference)));
  for (const char* hash :
       {"\"\"", "\"a\\\"b\"", "2024-01-15T10:30:00Z",
        "\"0000000000000000000000000000000000000000000000000000000000000000\"",
        "\"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff\""}) {
    EXPECT_EQ(normalized(replaced(kFullSource, "\"deadbeef\"", hash)),
              reference)
        << hash;
  }
}

// kFullSource rewritten: the same meaning in another order, or another
// meaning.
struct SourceEdit {
  const char* name;
  std::vector<std::pair<std::string, std::string>> edits;
};

void PrintTo(const SourceEdit& c, std::ostream* os) { *os << c.name; }

std::string edited(const SourceEdit& e) {
  std::string text = kFullSource;
  for (const auto& [from, to] : e.edits) text = replaced(text, from, to);
  return text;
}

class CanonicalReorderTest : public ::testing::TestWithParam<SourceEdit> {};

TEST_P(CanonicalReorderTest, SameTextAndHash) {
  const std::string text = edited(GetParam());
  EXPECT_EQ(normalized(text), normalized(kFullSource));
  EXPECT_EQ(semantic_hash(text).value(), semantic_hash(kFullSource).value());
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalReorders, CanonicalReorderTest,
    ::testing::Values(
        SourceEdit{"State",
                   {{"      balance: Float = 0.0\n", ""},
                    {"      limits: Map<String,Integer>\n",
                     "      limits: Map<String,Integer>\n"
                     "      balance: Float = 0.0\n"}}},
        SourceEdit{"Invariants",
                   {{"[\"balance >= 0\", \"count >= 0\", \"balance >= 0\"]",
                     "[\"count >= 0\", \"balance >= 0\", \"balance >= 0\"]"}}},
        SourceEdit{"Operations",
                   {{"      { idempotence: \"idempotent\" name: \"audit\" "
                     "precondition: \"true\"\n        parameters: {} "
                     "postcondition: \"true\" side_effects: [] }\n",
                     ""},
                    {"    operations: [\n",
                     "    operations: [\n      { idempotence: \"idempotent\" "
                     "name: \"audit\" precondition: \"true\" parameters: {} "
                     "postcondition: \"true\" side_effects: [] }\n"}}},
        SourceEdit{"OperationFields",
                   {{"{ name: \"withdraw\"", "{ idempotence: \"non-idempotent\" "
                                           "name: \"withdraw\""},
                    {"        idempotence: \"non-idempotent\" },\n", "},\n"}}},
        SourceEdit{"Parameters",
                   {{"{ note: String = \"n/a\", amount: Float }",
                     "{ amount: Float note: String = \"n/a\" }"}}},
        SourceEdit{"SideEffects",
                   {{"[\"write ledger\", \"emit event\"]",
                     "[\"emit event\", \"write ledger\"]"}}},
        SourceEdit{"TriggerTypes",
                   {{"[\"manual\", \"api\"]", "[\"api\", \"manual\"]"}}},
        SourceEdit{"Commitments",
                   {{"[\"log\", \"audit\"]", "[\"audit\", \"log\",]"}}},
        SourceEdit{"ObjectFieldsAtEveryDepth",
                   {{"Object { zip: String, city: Object { street: String = "
                     "\"Main\"\n                           geo: Object { } } }",
                     "Object { city: Object { geo: Object { } street: String "
                     "= \"Main\" } zip: String }"}}},
        SourceEdit{"EnumVariants",
                   {{"[\"open\", \"closed\",]", "[\"closed\", \"open\"]"}}},
        SourceEdit{"ExtensionSystems",
                   {{"  audit { }\n", ""},
                    {"Extensions {\n", "Extensions {\n  audit { }\n"}}},
        SourceEdit{"ExtensionFields",
                   {{"window: 100000000000000000000.0, alert: true",
                     "alert: true window: 100000000000000000000.0"}}},
        SourceEdit{"RepeatedFieldLastWins",
                   {{"    sandbox_mode: \"full_isolation\"\n",
                     "    sandbox_mode: \"none\"\n"
                     "    sandbox_mode: \"full_isolation\"\n"}}}),
    [](const ::testing::TestParamInfo<SourceEdit>& info) {
      return std::string(info.param.name);
    });

class CanonicalChangeTest : public ::testing::TestWithParam<SourceEdit> {};

// Every change of meaning: a text, a number, a type, a default, the order
// of characters inside a text, or the presence of extensions.
TEST_P(CanonicalChangeTest, ChangesTheHash) {
  const std::string text = edited(GetParam());
  EXPECT_NE(normalized(text), normalized(kFullSource));
  EXPECT_NE(semantic_hash(text).value(), semantic_hash(kFullSource).value());
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalChanges, CanonicalChangeTest,
    ::testing::Values(
        SourceEdit{"StableId", {{"\"payments.ledger\"", "\"payments.ledgerx\""}}},
        SourceEdit{"Version", {{"version: 3", "version: 4"}}},
        SourceEdit{"Timestamp",
                   {{"2024-01-15T10:30:00Z", "2024-01-15T10:30:01Z"}}},
        SourceEdit{"Owner", {{"\"Ledger \\\"core\\\" team\"", "\"x\""}}},
        SourceEdit{"Narrative", {{"\"Keeps\nbalances\"", "\"N\""}}},
        SourceEdit{"IntentSource", {{"\"C:\\\\specs\\\\ledger\"", "\"\""}}},
        SourceEdit{"Confidence",
                   {{"confidence_level: 0.95",
                     "confidence_level: 0.9500000000000001"}}},
        SourceEdit{"CharactersSwappedInText",
                   {{"\"count >= 0\"", "\"cuont >= 0\""}}},
        SourceEdit{"InvariantAdded",
                   {{"\"count >= 0\", \"balance >= 0\"]",
                     "\"count >= 0\", \"balance >= 0\", \"count >= 0\"]"}}},
        SourceEdit{"StateFieldRenamed",
                   {{"limits: Map<String,Integer>", "limit: Map<String,Integer>"}}},
        SourceEdit{"PrimitiveType",
                   {{"balance: Float = 0.0", "balance: Integer = 0.0"}}},
        SourceEdit{"MapValueType",
                   {{"Map<String,Integer>", "Map<String,String>"}}},
        SourceEdit{"EnumVariant", {{"\"open\", \"closed\",]", "\"open\", \"shut\"]"}}},
        SourceEdit{"DefaultValue", {{"balance: Float = 0.0", "balance: Float = 1.0"}}},
        SourceEdit{"DefaultKindIntegerForFloat",
                   {{"balance: Float = 0.0", "balance: Float = 0"}}},
        SourceEdit{"DefaultRemoved", {{",] = \"open\"", "]"}}},
        SourceEdit{"DefaultAdded",
                   {{"limits: Map<String,Integer>", "limits: Map<String,Integer> = []"}}},
        SourceEdit{"NestedDefaultElement", {{"[false]", "[true]"}}},
        SourceEdit{"ObjectFieldType", {{"zip: String", "zip: Integer"}}},
        SourceEdit{"OperationPrecondition",
                   {{"\"amount <= balance\"", "\"amount < balance\""}}},
        SourceEdit{"ParameterDefault", {{"\"n/a\"", "\"N/A\""}}},
        SourceEdit{"Idempotence",
                   {{"idempotence: \"idempotent\"", "idempotence: \"x\""}}},
        SourceEdit{"Limit", {{"max_memory_bytes: 1024", "max_memory_bytes: 1025"}}},
        SourceEdit{"SandboxMode", {{"\"full_isolation\"", "\"none\""}}},
        SourceEdit{"Permission",
                   {{"external_permissions: []", "external_permissions: [\"net\"]"}}},
        SourceEdit{"Obligation", {{"[\"review\"]", "[\"Review\"]"}}},
        SourceEdit{"ItemMovedBetweenLists",
                   {{"user_obligations: [\"review\"]", "user_obligations: []"},
                    {"system_refusals: []", "system_refusals: [\"review\"]"}}},
        SourceEdit{"ExtensionsRemoved",
                   {{"Extensions {", "Other {"}}},
        SourceEdit{"ExtensionValue", {{"\"gold\"", "\"silver\""}}},
        SourceEdit{"ExtensionFloatVersusInteger",
                   {{"codes: [1, 2]", "codes: [1.0, 2]"}}}),
    [](const ::testing::TestParamInfo<SourceEdit>& info) {
      return std::string(info.param.name);
    });

// ["a", "b"] against the single item a", "b: the escapes keep them apart.
TEST(CanonicalHash, ListBoundariesCannotBeForged) {
  const std::string two = replaced(kBareSource, "invariants: []",
                                   "invariants: [\"a\", \"b\"]");
  const std::string one = replaced(kBareSource, "invariants: []",
                                   "invariants: [\"a\\\", \\\"b\"]");
  EXPECT_NE(normalized(two), normalized(one));
  EXPECT_NE(semantic_hash(two).value(), semantic_hash(one).value());
}

}  // namespace
}  // namespace qel
