// The verifier's individual checks on hand-built trees: type expressions
// and defaults, the determinism scan and identifier extraction.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qel/ast.h"
#include "qel/verifier.h"
#include "verifier/checks.h"
#include "verifier_test_trees.h"

namespace qel {
namespace {

using namespace qel::testing_trees;  // NOLINT: test-only builders
using detail::check_string_for_nondeterminism;
using detail::default_matches_type;
using detail::determinism_table;
using detail::extract_identifiers;
using detail::type_expr_name;
using detail::verify_default_matches_type;
using detail::verify_type_expression;

constexpr PrimitiveType kInt = PrimitiveType::kInteger;
constexpr PrimitiveType kFloat = PrimitiveType::kFloat;
constexpr PrimitiveType kStr = PrimitiveType::kString;
constexpr PrimitiveType kBool = PrimitiveType::kBoolean;
constexpr PrimitiveType kIso = PrimitiveType::kIso8601;
constexpr PrimitiveType kUuid = PrimitiveType::kUuid;

Expected type_error(std::string message, Span span) {
  return Expected{Severity::kError, DiagnosticKind::kType, std::move(message),
                  span};
}

// ---- Short type names ---------------------------------------------------------

struct NameCase {
  const char* expected;
  TypeExpression (*build)();
};

class TypeExprNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(TypeExprNameTest, ShortName) {
  EXPECT_EQ(type_expr_name(GetParam().build()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    VerifierTypes, TypeExprNameTest,
    ::testing::Values(
        NameCase{"Integer", [] { return prim(kInt); }},
        NameCase{"Float", [] { return prim(kFloat); }},
        NameCase{"String", [] { return prim(kStr); }},
        NameCase{"Boolean", [] { return prim(kBool); }},
        NameCase{"ISO8601", [] { return prim(kIso); }},
        NameCase{"UUID", [] { return prim(kUuid); }},
        NameCase{"Array<Map<String, Array<Integer>>>",
                 [] {
                   return array_of(
                       map_of(prim(kStr), array_of(prim(kInt))));
                 }},
        NameCase{"Map<Map<UUID, Float>, Object>",
                 [] {
                   return map_of(map_of(prim(kUuid), prim(kFloat)),
                                 object_of({}));
                 }},
        NameCase{"Object",
                 [] {
                   std::vector<StateFieldNode> fields;
                   fields.push_back(field("a", prim(kInt)));
                   return object_of(std::move(fields));
                 }},
        NameCase{"Array<Enum>", [] { return array_of(enum_of({"x", "y"})); }}));

// ---- default_matches_type ------------------------------------------------------

struct FitCase {
  const char* name;
  bool fits;
  TypeExpression (*type)();
  LiteralValue (*literal)();
};

class DefaultFitTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(DefaultFitTest, Fits) {
  EXPECT_EQ(default_matches_type(GetParam().type(), GetParam().literal()),
            GetParam().fits);
}

INSTANTIATE_TEST_SUITE_P(
    VerifierTypes, DefaultFitTest,
    ::testing::Values(
        FitCase{"string_on_string", true, [] { return prim(kStr); },
                [] { return str_lit("x"); }},
        FitCase{"any_string_on_iso", true, [] { return prim(kIso); },
                [] { return str_lit("not a date"); }},
        FitCase{"any_string_on_uuid", true, [] { return prim(kUuid); },
                [] { return str_lit(""); }},
        FitCase{"int_on_string", false, [] { return prim(kStr); },
                [] { return int_lit(1); }},
        FitCase{"int_on_iso", false, [] { return prim(kIso); },
                [] { return int_lit(2024); }},
        FitCase{"int_on_int", true, [] { return prim(kInt); },
                [] { return int_lit(5); }},
        FitCase{"float_on_int", false, [] { return prim(kInt); },
                [] { return float_lit(1.5); }},
        FitCase{"bool_on_int", false, [] { return prim(kInt); },
                [] { return bool_lit(true); }},
        FitCase{"int_on_float", true, [] { return prim(kFloat); },
                [] { return int_lit(3); }},
        FitCase{"float_on_float", true, [] { return prim(kFloat); },
                [] { return float_lit(0.25); }},
        FitCase{"string_on_float", false, [] { return prim(kFloat); },
                [] { return str_lit("1.0"); }},
        FitCase{"bool_on_bool", true, [] { return prim(kBool); },
                [] { return bool_lit(false); }},
        FitCase{"string_on_bool", false, [] { return prim(kBool); },
                [] { return str_lit("true"); }},
        FitCase{"empty_array", true, [] { return array_of(prim(kInt)); },
                [] { return array_lit({}); }},
        FitCase{"int_array", true, [] { return array_of(prim(kInt)); },
                [] { return array_lit({int_lit(1), int_lit(2)}); }},
        FitCase{"mixed_array", false, [] { return array_of(prim(kInt)); },
                [] { return array_lit({int_lit(1), float_lit(2.5)}); }},
        FitCase{"scalar_on_array", false, [] { return array_of(prim(kInt)); },
                [] { return int_lit(1); }},
        FitCase{"array_on_scalar", false, [] { return prim(kInt); },
                [] { return array_lit({}); }},
        FitCase{"nested_arrays",
                true, [] { return array_of(array_of(prim(kFloat))); },
                [] {
                  return array_lit({array_lit({int_lit(1), float_lit(0.5)}),
                                    array_lit({})});
                }},
        FitCase{"nested_arrays_bad_inner",
                false, [] { return array_of(array_of(prim(kInt))); },
                [] {
                  return array_lit({array_lit({int_lit(1)}),
                                    array_lit({int_lit(2), str_lit("x")})});
                }},
        FitCase{"flat_for_nested", false,
                [] { return array_of(array_of(prim(kInt))); },
                [] { return array_lit({int_lit(1)}); }},
        FitCase{"nested_for_flat", false, [] { return array_of(prim(kInt)); },
                [] { return array_lit({array_lit({})}); }},
        FitCase{"enum_member", true, [] { return enum_of({"a", "b"}); },
                [] { return str_lit("a"); }},
        FitCase{"enum_non_member", false, [] { return enum_of({"a", "b"}); },
                [] { return str_lit("c"); }},
        FitCase{"enum_case_differs", false, [] { return enum_of({"a"}); },
                [] { return str_lit("A"); }},
        FitCase{"enum_int", false, [] { return enum_of({"1"}); },
                [] { return int_lit(1); }},
        FitCase{"empty_enum", false, [] { return enum_of({}); },
                [] { return str_lit(""); }},
        FitCase{"array_of_enum", true,
                [] { return array_of(enum_of({"lo", "hi"})); },
                [] { return array_lit({str_lit("hi"), str_lit("lo")}); }},
        FitCase{"map_never", false,
                [] { return map_of(prim(kStr), prim(kInt)); },
                [] { return array_lit({}); }},
        FitCase{"map_never_string", false,
                [] { return map_of(prim(kStr), prim(kInt)); },
                [] { return str_lit("{}"); }},
        FitCase{"object_never", false, [] { return object_of({}); },
                [] { return array_lit({}); }},
        FitCase{"array_of_map_empty", true,
                [] { return array_of(map_of(prim(kStr), prim(kInt))); },
                [] { return array_lit({}); }},
        FitCase{"array_of_map_element", false,
                [] { return array_of(map_of(prim(kStr), prim(kInt))); },
                [] { return array_lit({str_lit("k")}); }}),
    [](const ::testing::TestParamInfo<FitCase>& info) {
      return std::string(info.param.name);
    });

// ---- Type expressions and defaults, with messages ----------------------------

// A field as the driver sees it, and what checking it must report.
struct TypeCheck {
  StateFieldNode field;
  std::vector<Expected> expected;
};

struct TypeCheckCase {
  const char* name;
  TypeCheck (*build)();
};

class TypeCheckTest : public ::testing::TestWithParam<TypeCheckCase> {};

TEST_P(TypeCheckTest, Reports) {
  const TypeCheck c = GetParam().build();
  VerificationResult result;
  verify_type_expression(c.field.type, result);
  if (c.field.default_value) {
    verify_default_matches_type(c.field.name.value, c.field.type,
                                *c.field.default_value, result);
  }
  EXPECT_EQ(summarize(result), c.expected);
}

TypeCheck float_key() {
  TypeCheck c{field("prices", map_of(prim(kFloat), prim(kStr))), {}};
  c.expected = {type_error(
      "Float cannot be used as Map key type (non-deterministic equality)",
      c.field.type.span)};
  return c;
}

TypeCheck array_key() {
  TypeCheck c{field("m", map_of(array_of(prim(kStr)), prim(kInt))), {}};
  c.expected = {type_error(
      "Map key type must be a primitive or Enum, found Array<String>",
      c.field.type.span)};
  return c;
}

TypeCheck map_key() {
  TypeCheck c{
      field("m", map_of(map_of(prim(kStr), prim(kInt)), prim(kInt))), {}};
  c.expected = {type_error(
      "Map key type must be a primitive or Enum, found Map<String, Integer>",
      c.field.type.span)};
  return c;
}

TypeCheck object_key() {
  std::vector<StateFieldNode> fields;
  fields.push_back(field("id", prim(kInt)));
  TypeCheck c{
      field("m", map_of(object_of(std::move(fields)), prim(kInt))), {}};
  c.expected = {type_error(
      "Map key type must be a primitive or Enum, found Object",
      c.field.type.span)};
  return c;
}

TypeCheck uuid_and_enum_keys() {
  return TypeCheck{
      field("m", map_of(prim(kUuid), map_of(enum_of({"a"}), prim(kInt)))),
      {}};
}

TypeCheck every_primitive_key_but_float() {
  return TypeCheck{
      field("m",
            map_of(prim(kInt),
                   map_of(prim(kStr),
                          map_of(prim(kBool),
                                 map_of(prim(kIso), prim(kFloat)))))),
      {}};
}

TypeCheck nested_float_keys() {
  TypeCheck c{
      field("m", map_of(prim(kFloat), map_of(prim(kFloat), prim(kStr)))), {}};
  const char* msg =
      "Float cannot be used as Map key type (non-deterministic equality)";
  c.expected = {type_error(msg, c.field.type.value->span),
                type_error(msg, c.field.type.span)};
  return c;
}

// A map's own key finding comes after everything inside its key type.
TypeCheck key_findings_before_own() {
  TypeCheck c{field("m", map_of(map_of(prim(kFloat), prim(kInt)),
                                enum_of({}))), {}};
  c.expected = {
      type_error(
          "Float cannot be used as Map key type (non-deterministic equality)",
          c.field.type.key->span),
      type_error("Enum type must have at least one variant",
                 c.field.type.value->span),
      type_error(
          "Map key type must be a primitive or Enum, found Map<Float, Integer>",
          c.field.type.span)};
  return c;
}

TypeCheck float_key_inside_array_and_object() {
  std::vector<StateFieldNode> fields;
  fields.push_back(field("inner", map_of(prim(kFloat), prim(kInt))));
  TypeCheck c{field("a", array_of(object_of(std::move(fields)))), {}};
  c.expected = {type_error(
      "Float cannot be used as Map key type (non-deterministic equality)",
      c.field.type.element->fields[0].type.span)};
  return c;
}

TypeCheck int_default_on_float() {
  return TypeCheck{field("rate", prim(kFloat), int_lit(2)), {}};
}

TypeCheck float_default_on_int() {
  TypeCheck c{field("count", prim(kInt), float_lit(1.5)), {}};
  c.expected = {type_error(
      "default value for 'count' has type Float, expected Integer",
      c.field.default_value->span)};
  return c;
}

TypeCheck any_string_on_iso_and_uuid() {
  return TypeCheck{field("at", prim(kIso), str_lit("yesterday")), {}};
}

TypeCheck enum_default_member() {
  return TypeCheck{field("level", enum_of({"a", "b"}), str_lit("a")), {}};
}

TypeCheck enum_default_non_member() {
  TypeCheck c{field("level", enum_of({"a", "b"}), str_lit("c")), {}};
  c.expected = {type_error(
      "default value for 'level' has type String, expected Enum",
      c.field.default_value->span)};
  return c;
}

TypeCheck map_default() {
  TypeCheck c{
      field("m", map_of(prim(kStr), prim(kInt)), array_lit({int_lit(1)})), {}};
  c.expected = {type_error(
      "default value for 'm' has type Array, expected Map<String, Integer>",
      c.field.default_value->span)};
  return c;
}

TypeCheck object_default() {
  TypeCheck c{field("o", object_of({}), str_lit("{}")), {}};
  c.expected = {
      type_error("default value for 'o' has type String, expected Object",
                 c.field.default_value->span)};
  return c;
}

TypeCheck boolean_on_string() {
  TypeCheck c{field("label", prim(kStr), bool_lit(true)), {}};
  c.expected = {
      type_error("default value for 'label' has type Boolean, expected String",
                 c.field.default_value->span)};
  return c;
}

TypeCheck empty_array_default() {
  return TypeCheck{field("xs", array_of(prim(kInt)), array_lit({})), {}};
}

TypeCheck mixed_array_default() {
  TypeCheck c{field("xs", array_of(prim(kInt)),
                    array_lit({int_lit(1), float_lit(2.5)})), {}};
  c.expected = {type_error(
      "default value for 'xs' has type Array, expected Array<Integer>",
      c.field.default_value->span)};
  return c;
}

TypeCheck empty_enum() {
  TypeCheck c{field("e", enum_of({})), {}};
  c.expected = {type_error("Enum type must have at least one variant",
                           c.field.type.span)};
  return c;
}

TypeCheck triple_variant() {
  TypeCheck c{field("e", enum_of({"x", "y", "x", "x"})), {}};
  c.expected = {
      type_error("duplicate Enum variant 'x'", c.field.type.variants[2].span),
      type_error("duplicate Enum variant 'x'", c.field.type.variants[3].span)};
  return c;
}

// Long lists: repetitions are still reported at every later occurrence,
// in written order.
TypeCheck many_variants() {
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("v" + std::to_string(i % 25));
  TypeCheck c{field("e", enum_of(names)), {}};
  for (int i = 25; i < 40; ++i) {
    c.expected.push_back(
        type_error("duplicate Enum variant 'v" + std::to_string(i - 25) + "'",
                   c.field.type.variants[i].span));
  }
  return c;
}

TypeCheck many_object_fields() {
  std::vector<StateFieldNode> fields;
  for (int i = 0; i < 30; ++i) {
    fields.push_back(field(i == 29 ? "f3" : "f" + std::to_string(i),
                           prim(kInt), i == 29 ? str_lit("x") : int_lit(i)));
  }
  fields.push_back(field("f0", enum_of({})));
  TypeCheck c{field("o", object_of(std::move(fields))), {}};
  const TypeExpression& t = c.field.type;
  c.expected = {
      type_error("duplicate field name 'f3' in Object type",
                 t.fields[29].name.span),
      type_error("default value for 'f3' has type String, expected Integer",
                 t.fields[29].default_value->span),
      type_error("duplicate field name 'f0' in Object type",
                 t.fields[30].name.span),
      type_error("Enum type must have at least one variant",
                 t.fields[30].type.span)};
  return c;
}

TypeCheck variants_compared_exactly() {
  return TypeCheck{field("e", enum_of({"x", "X", "x "})), {}};
}

TypeCheck duplicate_object_field() {
  std::vector<StateFieldNode> fields;
  fields.push_back(field("a", prim(kInt), float_lit(1.5)));
  fields.push_back(field("b", prim(kStr)));
  fields.push_back(field("a", map_of(prim(kFloat), prim(kStr)), int_lit(1)));
  TypeCheck c{field("o", object_of(std::move(fields))), {}};
  const TypeExpression& t = c.field.type;
  c.expected = {
      type_error("default value for 'a' has type Float, expected Integer",
                 t.fields[0].default_value->span),
      type_error("duplicate field name 'a' in Object type",
                 t.fields[2].name.span),
      type_error(
          "Float cannot be used as Map key type (non-deterministic equality)",
          t.fields[2].type.span),
      type_error(
          "default value for 'a' has type Integer, expected Map<Float, "
          "String>",
          t.fields[2].default_value->span)};
  return c;
}

TypeCheck object_field_default_ok() {
  std::vector<StateFieldNode> fields;
  fields.push_back(field("x", prim(kInt), int_lit(5)));
  return TypeCheck{field("o", object_of(std::move(fields))), {}};
}

TypeCheck nested_object_enum() {
  std::vector<StateFieldNode> inner;
  inner.push_back(field("n", enum_of({})));
  std::vector<StateFieldNode> outer;
  outer.push_back(field("child", object_of(std::move(inner))));
  TypeCheck c{field("o", object_of(std::move(outer))), {}};
  c.expected = {type_error("Enum type must have at least one variant",
                           c.field.type.fields[0].type.fields[0].type.span)};
  return c;
}

TypeCheck type_then_default() {
  TypeCheck c{field("e", enum_of({}), str_lit("a")), {}};
  c.expected = {
      type_error("Enum type must have at least one variant", c.field.type.span),
      type_error("default value for 'e' has type String, expected Enum",
                 c.field.default_value->span)};
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    VerifierTypes, TypeCheckTest,
    ::testing::Values(
        TypeCheckCase{"float_key", float_key},
        TypeCheckCase{"array_key", array_key},
        TypeCheckCase{"map_key", map_key},
        TypeCheckCase{"object_key", object_key},
        TypeCheckCase{"uuid_and_enum_keys", uuid_and_enum_keys},
        TypeCheckCase{"every_primitive_key_but_float",
                      every_primitive_key_but_float},
        TypeCheckCase{"nested_float_keys", nested_float_keys},
        TypeCheckCase{"key_findings_before_own", key_findings_before_own},
        TypeCheckCase{"float_key_inside_array_and_object",
                      float_key_inside_array_and_object},
        TypeCheckCase{"int_default_on_float", int_default_on_float},
        TypeCheckCase{"float_default_on_int", float_default_on_int},
        TypeCheckCase{"any_string_on_iso_and_uuid",
                      any_string_on_iso_and_uuid},
        TypeCheckCase{"enum_default_member", enum_default_member},
        TypeCheckCase{"enum_default_non_member", enum_default_non_member},
        TypeCheckCase{"map_default", map_default},
        TypeCheckCase{"object_default", object_default},
        TypeCheckCase{"boolean_on_string", boolean_on_string},
        TypeCheckCase{"empty_array_default", empty_array_default},
        TypeCheckCase{"mixed_array_default", mixed_array_default},
        TypeCheckCase{"empty_enum", empty_enum},
        TypeCheckCase{"triple_variant", triple_variant},
        TypeCheckCase{"variants_compared_exactly", variants_compared_exactly},
        TypeCheckCase{"many_variants", many_variants},
        TypeCheckCase{"many_object_fields", many_object_fields},
        TypeCheckCase{"duplicate_object_field", duplicate_object_field},
        TypeCheckCase{"object_field_default_ok", object_field_default_ok},
        TypeCheckCase{"nested_object_enum", nested_object_enum},
        TypeCheckCase{"type_then_default", type_then_default}),
    [](const ::testing::TestParamInfo<TypeCheckCase>& info) {
      return std::string(info.param.name);
    });

// Nesting far deeper than any parsed text is still walked to the bottom.
TEST(VerifierTypeWalk, DeepNestingReachesInnermostMap) {
  TypeExpression t = map_of(prim(kFloat), prim(kInt));
  const Span inner = t.span;
  for (int i = 0; i < 5000; ++i) t = array_of(std::move(t));
  VerificationResult result;
  verify_type_expression(t, result);
  ASSERT_EQ(result.diagnostics().size(), 1u);
  EXPECT_EQ(result.diagnostics()[0].span, inner);
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += "Array<";
  expected += "Map<Float, Integer>";
  expected.append(5000, '>');
  EXPECT_EQ(type_expr_name(t), expected);

  LiteralValue lit = array_lit({});
  for (int i = 0; i < 4999; ++i) {
    std::vector<LiteralValue> one;
    one.push_back(std::move(lit));
    lit = array_lit(std::move(one));
  }
  // 5000 nested array literals end in an empty one, which fits.
  EXPECT_TRUE(default_matches_type(t, lit));
  // Release iteratively-built chains without deep recursion in the test.
  while (t.kind == TypeExpression::Kind::kArray) {
    std::unique_ptr<TypeExpression> next = std::move(t.element);
    t = std::move(*next);
  }
  while (!lit.elements.empty()) {
    LiteralValue next = std::move(lit.elements[0]);
    lit = std::move(next);
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
using detail::SortedTexts;

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

class SortedTextsTest : public ::testing::TestWithParam<SetCase> {};

TEST_P(SortedTextsTest, MembershipAndRepetitions) {
  const SetCase& c = GetParam();
  const SortedTexts set(views(c.texts));
  EXPECT_EQ(set.empty(), c.texts.empty());
  for (const std::string& t : c.present) EXPECT_TRUE(set.contains(t)) << t;
  for (const std::string& t : c.absent) EXPECT_FALSE(set.contains(t)) << t;
  EXPECT_EQ(set.repetitions(), c.repeated);
}

INSTANTIATE_TEST_SUITE_P(
    VerifierNames, SortedTextsTest,
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
    const SortedTexts set(views(texts));
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
