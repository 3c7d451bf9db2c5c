// The verifier's individual checks: type expressions and defaults, on
// state fields written into a clean contract; the determinism scan,
// identifier extraction and name sets, on texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qel/verifier.h"
#include "verifier/verifier_checks.h"
#include "verifier_test_texts.h"

namespace qel {
namespace {

using detail::check_string_for_nondeterminism;
using detail::determinism_table;
using detail::extract_identifiers;
using testing_texts::compare;
using testing_texts::edited;
using testing_texts::Finding;
using testing_texts::kClean;

// The clean contract with `declarations` added to its state.
std::string with_state(const std::string& declarations) {
  return edited(kClean, {{"owner_id: String }",
                          "owner_id: String, " + declarations + " }"}});
}

std::string repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

const char kFloatKey[] =
    "Float cannot be used as Map key type (non-deterministic equality)";

// ---- Short type names -----------------------------------------------------------

// The short name of a type is what a mismatched default's message shows.
struct NameCase {
  std::string type;
  std::string literal;  // a default that does not fit
  std::string expected;
};

TEST(VerifierTypes, ShortNames) {
  const NameCase cases[] = {
      {"Integer", "true", "Integer"},
      {"Float", "true", "Float"},
      {"String", "1", "String"},
      {"Boolean", "1", "Boolean"},
      {"ISO8601", "1", "ISO8601"},
      {"UUID", "1", "UUID"},
      {"Array<Map<String, Array<Integer>>>", "1",
       "Array<Map<String, Array<Integer>>>"},
      {"Map<Map<UUID, Float>, Object { a: Integer }>", "1",
       "Map<Map<UUID, Float>, Object>"},
      {"Object { a: Integer }", "1", "Object"},
      {"Array<Enum [\"x\", \"y\"]>", "1", "Array<Enum>"},
  };
  for (const NameCase& c : cases) {
    const std::string text = with_state("x: " + c.type + " = " + c.literal);
    const auto [got, want] = compare(text, {});
    ASSERT_FALSE(got.empty()) << c.type;
    const std::string message = "default value for 'x' has type ";
    EXPECT_NE(got.back().find(message), std::string::npos) << got.back();
    EXPECT_EQ(got.back().substr(got.back().find(", expected ") + 11), c.expected);
  }
}

// ---- Whether a default fits ----------------------------------------------------

struct FitCase {
  const char* name;
  bool fits;
  std::string declaration;  // x: type = default
};

void PrintTo(const FitCase& c, std::ostream* os) { *os << c.name; }

class DefaultFitTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(DefaultFitTest, Fits) {
  const auto [got, want] = compare(with_state(GetParam().declaration), {});
  bool reported = false;
  for (const std::string& finding : got) {
    reported = reported ||
               finding.find("default value for 'x'") != std::string::npos;
  }
  EXPECT_EQ(!reported, GetParam().fits);
}

INSTANTIATE_TEST_SUITE_P(
    VerifierTypes, DefaultFitTest,
    ::testing::Values(
        FitCase{"string_on_string", true, "x: String = \"x\""},
        FitCase{"any_string_on_iso", true, "x: ISO8601 = \"not a date\""},
        FitCase{"timestamp_on_iso", true, "x: ISO8601 = 2024-01-15T10:30:00Z"},
        FitCase{"any_string_on_uuid", true, "x: UUID = \"\""},
        FitCase{"int_on_string", false, "x: String = 1"},
        FitCase{"int_on_iso", false, "x: ISO8601 = 2024"},
        FitCase{"int_on_int", true, "x: Integer = 5"},
        FitCase{"float_on_int", false, "x: Integer = 1.5"},
        FitCase{"bool_on_int", false, "x: Integer = true"},
        FitCase{"int_on_float", true, "x: Float = 3"},
        FitCase{"float_on_float", true, "x: Float = 0.25"},
        FitCase{"string_on_float", false, "x: Float = \"1.0\""},
        FitCase{"bool_on_bool", true, "x: Boolean = false"},
        FitCase{"string_on_bool", false, "x: Boolean = \"true\""},
        FitCase{"empty_array", true, "x: Array<Integer> = []"},
        FitCase{"int_array", true, "x: Array<Integer> = [1, 2]"},
        FitCase{"mixed_array", false, "x: Array<Integer> = [1, 2.5]"},
        FitCase{"scalar_on_array", false, "x: Array<Integer> = 1"},
        FitCase{"array_on_scalar", false, "x: Integer = []"},
        FitCase{"nested_arrays", true, "x: Array<Array<Float>> = [[1, 0.5], []]"},
        FitCase{"nested_arrays_bad_inner", false,
                "x: Array<Array<Integer>> = [[1], [2, \"x\"]]"},
        FitCase{"flat_for_nested", false, "x: Array<Array<Integer>> = [1]"},
        FitCase{"nested_for_flat", false, "x: Array<Integer> = [[]]"},
        FitCase{"enum_member", true, "x: Enum [\"a\", \"b\"] = \"a\""},
        FitCase{"enum_member_escaped", true,
                "x: Enum [\"a\\\"b\", \"c\"] = \"a\\\"b\""},
        FitCase{"enum_non_member", false, "x: Enum [\"a\", \"b\"] = \"c\""},
        FitCase{"enum_case_differs", false, "x: Enum [\"a\"] = \"A\""},
        FitCase{"enum_int", false, "x: Enum [\"1\"] = 1"},
        FitCase{"empty_enum", false, "x: Enum [] = \"\""},
        FitCase{"array_of_enum", true,
                "x: Array<Enum [\"lo\", \"hi\"]> = [\"hi\", \"lo\"]"},
        FitCase{"map_never", false, "x: Map<String, Integer> = []"},
        FitCase{"map_never_string", false, "x: Map<String, Integer> = \"{}\""},
        FitCase{"object_never", false, "x: Object { } = []"},
        FitCase{"array_of_map_empty", true, "x: Array<Map<String, Integer>> = []"},
        FitCase{"array_of_map_element", false,
                "x: Array<Map<String, Integer>> = [\"k\"]"}),
    [](const ::testing::TestParamInfo<FitCase>& info) {
      return std::string(info.param.name);
    });

// ---- Type expressions and defaults, with messages ----------------------------

struct TypeCheckCase {
  std::string name;
  std::string declarations;  // added to the clean contract's state
  std::vector<Finding> expected;
};

void PrintTo(const TypeCheckCase& c, std::ostream* os) { *os << c.name; }

class TypeCheckTest : public ::testing::TestWithParam<TypeCheckCase> {};

TEST_P(TypeCheckTest, Reports) {
  const auto [got, want] =
      compare(with_state(GetParam().declarations), GetParam().expected);
  EXPECT_EQ(got, want);
}

Finding type_error(std::string message, std::string at, int nth = 1) {
  return Finding{"E type", std::move(message), std::move(at), nth};
}

TypeCheckCase many_variants() {
  std::string variants;
  for (int i = 0; i < 40; ++i) {
    if (i > 0) variants += ", ";
    variants += "\"v" + std::to_string(i % 25) + "\"";
  }
  TypeCheckCase c{"many_variants", "e: Enum [" + variants + "]", {}};
  for (int i = 25; i < 40; ++i) {
    const std::string v = std::string("v").append(std::to_string(i - 25));
    c.expected.push_back(type_error("duplicate Enum variant '" + v + "'",
                                    "\"" + v + "\"", 2));
  }
  return c;
}

TypeCheckCase many_object_fields() {
  std::string fields;
  for (int i = 0; i < 29; ++i) {
    fields += "f";
    fields += std::to_string(i);
    fields += ": Integer = ";
    fields += std::to_string(i);
    fields += " ";
  }
  fields += "f3: Integer = \"x\" f0: Enum []";
  return TypeCheckCase{
      "many_object_fields",
      "o: Object { " + fields + " }",
      {type_error("duplicate field name 'f3' in Object type", "f3: ", 2),
       type_error("default value for 'f3' has type String, expected Integer",
                  "\"x\""),
       type_error("duplicate field name 'f0' in Object type", "f0: ", 2),
       type_error("Enum type must have at least one variant", "Enum")}};
}

INSTANTIATE_TEST_SUITE_P(
    VerifierTypes, TypeCheckTest,
    ::testing::Values(
        TypeCheckCase{"float_key", "prices: Map<Float, String>",
                      {type_error(kFloatKey, "Map")}},
        TypeCheckCase{"array_key", "m: Map<Array<String>, Integer>",
                      {type_error("Map key type must be a primitive or Enum, "
                                  "found Array<String>",
                                  "Map")}},
        TypeCheckCase{"map_key", "m: Map<Map<String, Integer>, Integer>",
                      {type_error("Map key type must be a primitive or Enum, "
                                  "found Map<String, Integer>",
                                  "Map")}},
        TypeCheckCase{"object_key", "m: Map<Object { id: Integer }, Integer>",
                      {type_error("Map key type must be a primitive or Enum, "
                                  "found Object",
                                  "Map")}},
        TypeCheckCase{"uuid_and_enum_keys",
                      "m: Map<UUID, Map<Enum [\"a\"], Integer>>", {}},
        TypeCheckCase{"every_primitive_key_but_float",
                      "m: Map<Integer, Map<String, Map<Boolean, Map<ISO8601, "
                      "Float>>>>",
                      {}},
        TypeCheckCase{"nested_float_keys", "m: Map<Float, Map<Float, String>>",
                      {type_error(kFloatKey, "Map", 2),
                       type_error(kFloatKey, "Map", 1)}},
        // A map's own key finding comes after everything inside its key type.
        TypeCheckCase{"key_findings_before_own",
                      "m: Map<Map<Float, Integer>, Enum []>",
                      {type_error(kFloatKey, "Map", 2),
                       type_error("Enum type must have at least one variant",
                                  "Enum"),
                       type_error("Map key type must be a primitive or Enum, "
                                  "found Map<Float, Integer>",
                                  "Map", 1)}},
        TypeCheckCase{"float_key_inside_array_and_object",
                      "a: Array<Object { inner: Map<Float, Integer> }>",
                      {type_error(kFloatKey, "Map")}},
        TypeCheckCase{"int_default_on_float", "rate: Float = 2", {}},
        TypeCheckCase{"float_default_on_int", "count: Integer = 1.5",
                      {type_error("default value for 'count' has type Float, "
                                  "expected Integer",
                                  "1.5")}},
        TypeCheckCase{"any_string_on_iso_and_uuid",
                      "at: ISO8601 = \"yesterday\" id: UUID = \"x\"", {}},
        TypeCheckCase{"enum_default_member",
                      "level: Enum [\"a\", \"b\"] = \"a\"", {}},
        TypeCheckCase{"enum_default_non_member",
                      "level: Enum [\"a\", \"b\"] = \"c\"",
                      {type_error("default value for 'level' has type String, "
                                  "expected Enum",
                                  "\"c\"")}},
        TypeCheckCase{"map_default", "m: Map<String, Integer> = [1]",
                      {type_error("default value for 'm' has type Array, "
                                  "expected Map<String, Integer>",
                                  "[1]")}},
        TypeCheckCase{"object_default", "o: Object { } = \"{}\"",
                      {type_error("default value for 'o' has type String, "
                                  "expected Object",
                                  "\"{}\"")}},
        TypeCheckCase{"boolean_on_string", "label: String = true",
                      {type_error("default value for 'label' has type Boolean, "
                                  "expected String",
                                  "true")}},
        TypeCheckCase{"empty_array_default", "xs: Array<Integer> = []", {}},
        TypeCheckCase{"mixed_array_default", "xs: Array<Integer> = [1, 2.5]",
                      {type_error("default value for 'xs' has type Array, "
                                  "expected Array<Integer>",
                                  "[1, 2.5]")}},
        TypeCheckCase{"empty_enum", "e: Enum []",
                      {type_error("Enum type must have at least one variant",
                                  "Enum")}},
        TypeCheckCase{"triple_variant", "e: Enum [\"x\", \"y\", \"x\", \"x\"]",
                      {type_error("duplicate Enum variant 'x'", "\"x\"", 2),
                       type_error("duplicate Enum variant 'x'", "\"x\"", 3)}},
        TypeCheckCase{"variants_compared_exactly",
                      "e: Enum [\"x\", \"X\", \"x \", \"x\\\\\"]",
                      {}},
        TypeCheckCase{"variants_compared_as_read",
                      "e: Enum [\"a\\tb\", \"a\tb\"]",
                      {type_error("duplicate Enum variant 'a\tb'", "\"a\tb\"")}},
        many_variants(),
        many_object_fields(),
        TypeCheckCase{"duplicate_object_field",
                      "o: Object { a: Integer = 1.5 b: String a: Map<Float, "
                      "String> = 1 }",
                      {type_error("default value for 'a' has type Float, "
                                  "expected Integer",
                                  "1.5"),
                       type_error("duplicate field name 'a' in Object type",
                                  "a: Map"),
                       type_error(kFloatKey, "Map"),
                       type_error("default value for 'a' has type Integer, "
                                  "expected Map<Float, String>",
                                  "= |1 }")}},
        TypeCheckCase{"object_field_default_ok", "o: Object { x: Integer = 5 }",
                      {}},
        TypeCheckCase{"nested_object_enum",
                      "o: Object { child: Object { n: Enum [] } }",
                      {type_error("Enum type must have at least one variant",
                                  "Enum")}},
        TypeCheckCase{"type_then_default", "e: Enum [] = \"a\"",
                      {type_error("Enum type must have at least one variant",
                                  "Enum"),
                       type_error("default value for 'e' has type String, "
                                  "expected Enum",
                                  "\"a\"")}}),
    [](const ::testing::TestParamInfo<TypeCheckCase>& info) {
      return info.param.name;
    });

// As deep as the parser allows: the walks still reach the innermost map,
// and a default of as many nested arrays ending in an empty one fits.
TEST(VerifierTypeWalk, DeepestNestingReachesInnermostMap) {
  const std::string type =
      repeat("Array<", 126) + "Map<Float, Integer>" + repeat(">", 126);
  for (const std::string& literal :
       {repeat("[", 126) + repeat("]", 126), std::string("1")}) {
    const std::string text = with_state("x: " + type + " = " + literal);
    std::vector<Finding> expected = {type_error(kFloatKey, "Map")};
    if (literal == "1") {
      expected.push_back(type_error(
          "default value for 'x' has type Integer, expected " + type, "= |1 }"));
    }
    const auto [got, want] = compare(text, expected);
    EXPECT_EQ(got, want) << literal;
  }
}

// ---- Determinism ---------------------------------------------------------------

struct ScanCase {
  const char* name;
  std::string text;
  std::vector<std::string> messages;  // context "invariant"
};

class DeterminismScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(DeterminismScanTest, Reports) {
  const ScanCase& c = GetParam();
  const Span span{4, 9, 77};
  VerificationResult result;
  check_string_for_nondeterminism(c.text, "invariant", span,
                                  determinism_table(), result);
  std::vector<std::string> messages;
  for (const Diagnostic& d : result.diagnostics()) {
    messages.push_back(d.message);
    EXPECT_EQ(d.severity, Severity::kError);
    EXPECT_EQ(d.kind, DiagnosticKind::kDeterminism);
    EXPECT_EQ(d.span, span);
  }
  EXPECT_EQ(messages, c.messages);
}

std::string in_invariant(const char* description, const char* pattern) {
  return std::string(description) + " detected in invariant: text contains '" +
         pattern + "'";
}

const std::string kRandomness = in_invariant("randomness usage", "random");
const std::string kRandCall = in_invariant("random function call", "rand(");
const std::string kMathRandom =
    in_invariant("random function call", "Math.random");
const std::string kUuidGen =
    in_invariant("runtime UUID generation", "uuid_generate");
const std::string kIdGen = in_invariant("runtime ID generation", "generate_id");
const std::string kNow = in_invariant("system time access", "now()");
const std::string kCurrentTime =
    in_invariant("system time access", "current_time");
const std::string kSystemTime =
    in_invariant("system time access", "system_time");
const std::string kDateNow = in_invariant("system time access", "Date.now");
const std::string kTimeTime = in_invariant("system time access", "time.time");
const std::string kInstantNow =
    in_invariant("system time access", "Instant::now");
const std::string kFetch = in_invariant("external I/O", "fetch(");
const std::string kHttp = in_invariant("external I/O", "http_request");
const std::string kReadFile = in_invariant("external I/O", "read_file");
const std::string kWriteFile = in_invariant("external I/O", "write_file");
const std::string kNetwork = in_invariant("external I/O", "network_call");
const std::string kSocket = in_invariant("external I/O", "socket");
const std::string kHashMap =
    in_invariant("non-deterministic hash iteration", "HashMap");
const std::string kHashSet =
    in_invariant("non-deterministic hash iteration", "HashSet");
const std::string kDictKeys =
    in_invariant("non-deterministic hash iteration", "dict_keys");

// U+212A KELVIN SIGN and U+0130 LATIN CAPITAL LETTER I WITH DOT ABOVE.
#define KELVIN "\xE2\x84\xAA"
#define DOTTED_I "\xC4\xB0"

INSTANTIATE_TEST_SUITE_P(
    VerifierDeterminism, DeterminismScanTest,
    ::testing::Values(
        ScanCase{"clean", "balance >= 0", {}},
        ScanCase{"empty", "", {}},
        ScanCase{"every_row_once",
                 "random rand( Math.random uuid_generate generate_id now() "
                 "current_time system_time Date.now time.time Instant::now "
                 "fetch( http_request read_file write_file network_call "
                 "socket HashMap HashSet dict_keys",
                 {kRandomness, kRandCall, kMathRandom, kUuidGen, kIdGen, kNow,
                  kCurrentTime, kSystemTime, kDateNow, kTimeTime, kInstantNow,
                  kFetch, kHttp, kReadFile, kWriteFile, kNetwork, kSocket,
                  kHashMap, kHashSet, kDictKeys}},
        ScanCase{"math_random_call", "x == Math.random()",
                 {kRandomness, kMathRandom}},
        ScanCase{"date_now_call", "log(Date.now())", {kNow, kDateNow}},
        ScanCase{"upper_case", "keys of HASHMAP", {kHashMap}},
        ScanCase{"mixed_case", "ReAd_FiLe(x) and SOCKET", {kReadFile, kSocket}},
        ScanCase{"rand_space_paren", "rand (x)", {}},
        ScanCase{"rand_paren", "rand(6)", {kRandCall}},
        ScanCase{"rows_in_table_order", "socket then random",
                 {kRandomness, kSocket}},
        ScanCase{"repeated_once", "random random RANDOM", {kRandomness}},
        ScanCase{"no_word_boundaries",
                 "randomized websocket current_timestamp",
                 {kRandomness, kCurrentTime, kSocket}},
        ScanCase{"overlap_system_time", "system_time.time",
                 {kSystemTime, kTimeTime}},
        ScanCase{"overlap_current_time", "current_time.time()",
                 {kCurrentTime, kTimeTime}},
        ScanCase{"overlap_instant_now", "Instant::now()",
                 {kNow, kInstantNow}},
        ScanCase{"overlap_uuid_generate_id", "uuid_generate_id",
                 {kUuidGen, kIdGen}},
        ScanCase{"overlap_dict_keys_socket", "dict_keysocket",
                 {kSocket, kDictKeys}},
        ScanCase{"overlap_fetch_http", "fetch(http_request)",
                 {kFetch, kHttp}},
        ScanCase{"restart_after_partial", "rarandom", {kRandomness}},
        ScanCase{"restart_inside_prefix", "hashhashmap", {kHashMap}},
        ScanCase{"prefix_only", "hashse ranDO fetc", {}},
        ScanCase{"math_random_without_dot", "Math random", {kRandomness}},
        ScanCase{"hashmap_and_hashset", "hashmaphashset", {kHashMap, kHashSet}},
        ScanCase{"kelvin_sign_is_k", "SOC" KELVIN "ET", {kSocket}},
        ScanCase{"kelvin_sign_in_dict_keys", "dict_" KELVIN "eys",
                 {kDictKeys}},
        ScanCase{"kelvin_sign_alone", KELVIN "ey", {}},
        ScanCase{"dotted_i_breaks_match", "D" DOTTED_I "CT_KEYS", {}},
        ScanCase{"dotted_i_breaks_match_2", "uu" DOTTED_I "d_generate", {}},
        ScanCase{"dotted_i_before_match", DOTTED_I "socket", {kSocket}},
        ScanCase{"dotted_i_after_match", "socket" DOTTED_I, {kSocket}},
        ScanCase{"ascii_capital_i", "DICT_KEYS", {kDictKeys}},
        ScanCase{"accented_letter_breaks", "so\xC3\x89" "cket", {}},
        ScanCase{"nbsp_breaks", "rand\xC2\xA0(", {}},
        ScanCase{"non_ascii_around", "\xC3\xA9random\xE2\x84\xA6", {kRandomness}},
        ScanCase{"angstrom_sign_not_ascii", "\xE2\x84\xAB" "random",
                 {kRandomness}},
        ScanCase{"embedded_nul", std::string("ran\0dom", 7), {}},
        ScanCase{"nul_separates", std::string("socket\0", 7), {kSocket}}),
    [](const ::testing::TestParamInfo<ScanCase>& info) {
      return std::string(info.param.name);
    });

#undef KELVIN
#undef DOTTED_I

TEST(VerifierDeterminism, PatternTableRowsAndDescriptions) {
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"random", "randomness usage"},
      {"rand(", "random function call"},
      {"Math.random", "random function call"},
      {"uuid_generate", "runtime UUID generation"},
      {"generate_id", "runtime ID generation"},
      {"now()", "system time access"},
      {"current_time", "system time access"},
      {"system_time", "system time access"},
      {"Date.now", "system time access"},
      {"time.time", "system time access"},
      {"Instant::now", "system time access"},
      {"fetch(", "external I/O"},
      {"http_request", "external I/O"},
      {"read_file", "external I/O"},
      {"write_file", "external I/O"},
      {"network_call", "external I/O"},
      {"socket", "external I/O"},
      {"HashMap", "non-deterministic hash iteration"},
      {"HashSet", "non-deterministic hash iteration"},
      {"dict_keys", "non-deterministic hash iteration"},
  };
  ASSERT_EQ(detail::kDeterminismPatterns.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(detail::kDeterminismPatterns[i].pattern, expected[i].first);
    EXPECT_EQ(detail::kDeterminismPatterns[i].description, expected[i].second);
  }
}

// Each row alone, written in upper case, finds exactly its own bit and
// those of rows it contains.
TEST(VerifierDeterminism, EachPatternFoundInUpperCase) {
  for (std::size_t i = 0; i < detail::kDeterminismPatterns.size(); ++i) {
    std::string upper(detail::kDeterminismPatterns[i].pattern);
    for (char& ch : upper) {
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    }
    const uint32_t found = determinism_table().scan("(" + upper + ")");
    EXPECT_NE(found & (uint32_t{1} << i), 0u) << upper;
  }
}

// Against a plain search in the ASCII-lowercased text, on texts spliced
// from pieces of the rows in mixed case, so that near misses, overlaps
// and rows split by other bytes are everywhere.
TEST(VerifierDeterminism, AgreesWithPlainSearch) {
  std::mt19937 rng(2026);
  const auto& rows = detail::kDeterminismPatterns;
  const char* fillers[] = {" ", "_", "x", "(", ".", "field_0", "an", "e"};
  for (int n = 0; n < 20000; ++n) {
    std::string text;
    const int pieces = static_cast<int>(rng() % 6);
    for (int k = 0; k < pieces; ++k) {
      const std::string_view row = rows[rng() % rows.size()].pattern;
      const std::size_t from = rng() % row.size();
      std::string piece(row.substr(from, 1 + rng() % (row.size() - from)));
      for (char& ch : piece) {
        if (rng() % 2 && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
      }
      text += piece;
      text += fillers[rng() % std::size(fillers)];
    }
    std::string lower = text;
    for (char& ch : lower) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
    }
    uint32_t expected = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      std::string row(rows[i].pattern);
      for (char& ch : row) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
      }
      if (lower.find(row) != std::string::npos) expected |= uint32_t{1} << i;
    }
    ASSERT_EQ(determinism_table().scan(text), expected) << text;
  }
}

// ---- Identifiers -----------------------------------------------------------------

struct IdentCase {
  const char* text;
  std::vector<std::string> expected;
};

class ExtractIdentifiersTest : public ::testing::TestWithParam<IdentCase> {};

TEST_P(ExtractIdentifiersTest, Extracts) {
  EXPECT_EQ(extract_identifiers(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    VerifierIdentifiers, ExtractIdentifiersTest,
    ::testing::Values(
        IdentCase{"", {}},
        IdentCase{"2x", {"x"}},
        IdentCase{"item-count", {"item", "count"}},
        IdentCase{"balance >= 0 and owner_id != null", {"balance", "owner_id"}},
        IdentCase{"x x y", {"x", "x", "y"}},
        IdentCase{"_a1 b2c __", {"_a1", "b2c", "__"}},
        IdentCase{"9lives 3.5e10", {"lives", "e10"}},
        IdentCase{"caf\xC3\xA9_open", {"caf", "_open"}},
        IdentCase{"And The IS", {"And", "The", "IS"}},
        IdentCase{"contains_x notable anda", {"contains_x", "notable", "anda"}},
        IdentCase{"a an at by eq ge gt if in is le lt ne of or to "
                  "and can for may not set the "
                  "else must null then true will "
                  "empty false never valid while "
                  "always exists should unique "
                  "matches updated contains",
                  {}},
        IdentCase{"balance must be valid", {"balance", "be"}},
        IdentCase{"1 + 2 == 3", {}}));

TEST(VerifierIdentifiers, StopWordCountIs41) {
  const char* candidates[] = {
      "a", "an", "at", "by", "eq", "ge", "gt", "if", "in", "is", "le",
      "lt", "ne", "of", "or", "to", "and", "can", "for", "may", "not",
      "set", "the", "else", "must", "null", "then", "true", "will",
      "empty", "false", "never", "valid", "while", "always", "exists",
      "should", "unique", "matches", "updated", "contains"};
  int stop = 0;
  for (const char* w : candidates) stop += detail::is_stop_word(w) ? 1 : 0;
  EXPECT_EQ(stop, 41);
  for (const char* w : {"b", "be", "ands", "A", "Null", "contain", "update",
                        "exist", "uniques", ""}) {
    EXPECT_FALSE(detail::is_stop_word(w)) << w;
  }
}

// ---- Name sets -------------------------------------------------------------------

namespace name_sets {

using detail::repetitions;
using detail::TextSet;

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
  return std::vector<std::string_view>(texts.begin(), texts.end());
}

struct SetCase {
  const char* name;
  std::vector<std::string> texts;
  std::vector<std::string> present;
  std::vector<std::string> absent;
  std::vector<bool> repeated;
};

class TextSetTest : public ::testing::TestWithParam<SetCase> {};

TEST_P(TextSetTest, MembershipAndRepetitions) {
  const SetCase& c = GetParam();
  const TextSet set(views(c.texts));
  EXPECT_EQ(set.empty(), c.texts.empty());
  for (const std::string& t : c.present) EXPECT_TRUE(set.contains(t)) << t;
  for (const std::string& t : c.absent) EXPECT_FALSE(set.contains(t)) << t;
  EXPECT_EQ(set.repetitions(), c.repeated);
}

INSTANTIATE_TEST_SUITE_P(
    VerifierNames, TextSetTest,
    ::testing::Values(
        SetCase{"empty", {}, {}, {"", "a"}, {}},
        SetCase{"empty_text", {""}, {""}, {"a", std::string(1, '\0')},
                {false}},
        SetCase{"shared_prefix",
                {"field_a", "field_b", "field_ab"},
                {"field_a", "field_b", "field_ab"},
                {"field_", "field_abc", "fiel", "other", "field_c", ""},
                {false, false, false}},
        SetCase{"zero_bytes_against_ends",
                {"x", std::string("x\0", 2), std::string("x\0\0", 3)},
                {"x", std::string("x\0", 2), std::string("x\0\0", 3)},
                {std::string("x\0\0\0", 4), "x\x01", ""},
                {false, false, false}},
        SetCase{"equal_keys_longer_tails",
                {"ab12345678X", "ab12345678Y", "zz"},
                {"ab12345678X", "ab12345678Y", "zz"},
                {"ab12345678Z", "ab12345678", "ab12345678XY", "z"},
                {false, false, false}},
        SetCase{"repeats_after_first",
                {"b", "a", "b", "a", "a"},
                {"a", "b"},
                {"c"},
                {false, false, true, true, true}},
        SetCase{"high_bytes_order",
                {"\xC3\xA9t\xC3\xA9", "ete", "\xE2\x84\xAA"},
                {"\xC3\xA9t\xC3\xA9", "ete", "\xE2\x84\xAA"},
                {"\xC3\xA9", "k"},
                {false, false, false}}),
    [](const ::testing::TestParamInfo<SetCase>& info) {
      return std::string(info.param.name);
    });

// Against a plain ordered set on many texts built from a tiny alphabet, so
// that shared prefixes, equal keys and zero bytes are everywhere.
TEST(VerifierNames, AgreesWithStdSet) {
  std::mt19937 rng(12345);
  const char alphabet[] = {'\0', 'a', 'b', '\xff'};
  const auto random_text = [&](const std::string& prefix) {
    std::string t = prefix;
    const int n = static_cast<int>(rng() % 14);
    for (int i = 0; i < n; ++i) t += alphabet[rng() % 4];
    return t;
  };
  for (const std::string prefix : {"", "field_", "operation_0000"}) {
    std::vector<std::string> texts;
    for (int i = 0; i < 600; ++i) texts.push_back(random_text(prefix));
    const TextSet set(views(texts));
    std::set<std::string> reference;
    std::vector<bool> expected_repeats;
    for (const std::string& t : texts) {
      expected_repeats.push_back(!reference.insert(t).second);
    }
    EXPECT_EQ(set.repetitions(), expected_repeats);
    EXPECT_EQ(repetitions(views(texts)), expected_repeats);
    for (int i = 0; i < 3000; ++i) {
      const std::string q =
          random_text(i % 3 == 0 ? std::string() : prefix);
      EXPECT_EQ(set.contains(q), reference.count(q) == 1) << q;
    }
  }
}

}  // namespace name_sets

}  // namespace
}  // namespace qel
