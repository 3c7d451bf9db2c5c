// Runtime values, state declarations, size accounting, the condition
// evaluator, white space trimming and the sandbox limits.
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "executor/json_input.h"
#include "executor/text.h"
#include "qel/executor.h"

namespace qel {

void PrintTo(const EvaluationOutcome& o, std::ostream* os) {
  *os << "(holds " << o.holds << ", determined " << o.determined << ")";
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Json json_of(std::string_view text) {
  Result<Json> parsed = detail::parse_json(text, "");
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? std::move(parsed).value() : Json();
}

std::string text_of(const Value& v) {
  std::string out;
  write_value_json(v, out);
  return out;
}

std::string text_of(const ExecutionState& s) {
  std::string out;
  write_state_json(s, out);
  return out;
}

Value obj(Value::Object members) { return Value::object(std::move(members)); }

// ---- Equality ----------------------------------------------------------------

struct EqualityCase {
  const char* name;
  Value a;
  Value b;
  bool equal;
};

TEST(ValueEquality, SameKindAndPayloadOnly) {
  const std::vector<EqualityCase> cases = {
      {"null", Value(), Value(), true},
      {"null vs false", Value(), Value::boolean(false), false},
      {"booleans", Value::boolean(true), Value::boolean(true), true},
      {"booleans differ", Value::boolean(true), Value::boolean(false), false},
      {"integers", Value::integer(7), Value::integer(7), true},
      {"integer vs float", Value::integer(1), Value::floating(1.0), false},
      {"zero vs zero float", Value::integer(0), Value::floating(0.0), false},
      {"floats", Value::floating(2.5), Value::floating(2.5), true},
      {"nan", Value::floating(kNaN), Value::floating(kNaN), false},
      {"signed zeros", Value::floating(0.0), Value::floating(-0.0), true},
      {"strings", Value::string("ab"), Value::string("ab"), true},
      {"strings differ", Value::string("ab"), Value::string("aB"), false},
      {"string vs integer", Value::string("1"), Value::integer(1), false},
      {"arrays", Value::array({Value::integer(1), Value::string("x")}),
       Value::array({Value::integer(1), Value::string("x")}), true},
      {"array lengths", Value::array({Value::integer(1)}),
       Value::array({Value::integer(1), Value::integer(1)}), false},
      {"array of nan", Value::array({Value::floating(kNaN)}),
       Value::array({Value::floating(kNaN)}), false},
      {"objects", obj({{"a", Value::integer(1)}}), obj({{"a", Value::integer(1)}}),
       true},
      {"object keys", obj({{"a", Value::integer(1)}}),
       obj({{"b", Value::integer(1)}}), false},
      {"object values", obj({{"a", Value::integer(1)}}),
       obj({{"a", Value::floating(1.0)}}), false},
      {"object sizes", obj({{"a", Value()}}), obj({{"a", Value()}, {"b", Value()}}),
       false},
      {"empty array vs object", Value::array({}), obj({}), false},
  };
  for (const EqualityCase& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.name;
    EXPECT_EQ(c.b == c.a, c.equal) << c.name;
  }
}

TEST(ValueEquality, ObjectMembersAreSortedAndLastRepeatWins) {
  const Value v = obj({{"b", Value::integer(1)},
                       {"a", Value::integer(2)},
                       {"b", Value::integer(3)}});
  EXPECT_EQ(text_of(v), "{\n  \"a\": 2,\n  \"b\": 3\n}");
}

// ---- JSON conversion ------------------------------------------------------------

struct FromJsonCase {
  const char* json;
  Value::Kind kind;
  const char* written;
};

TEST(ValueFromJson, KindsAndWrittenForms) {
  const std::vector<FromJsonCase> cases = {
      {"null", Value::Kind::kNull, "null"},
      {"true", Value::Kind::kBoolean, "true"},
      {"false", Value::Kind::kBoolean, "false"},
      {"-5", Value::Kind::kInteger, "-5"},
      {"0", Value::Kind::kInteger, "0"},
      {"9223372036854775807", Value::Kind::kInteger, "9223372036854775807"},
      {"-9223372036854775808", Value::Kind::kInteger, "-9223372036854775808"},
      {"9223372036854775808", Value::Kind::kFloat, "9.223372036854776e+18"},
      {"18446744073709551615", Value::Kind::kFloat, "1.8446744073709552e+19"},
      {"5.0", Value::Kind::kFloat, "5.0"},
      {"0.0", Value::Kind::kFloat, "0.0"},
      {"-0.0", Value::Kind::kFloat, "-0.0"},
      {"1e2", Value::Kind::kFloat, "100.0"},
      {"0.1", Value::Kind::kFloat, "0.1"},
      {"1e16", Value::Kind::kFloat, "1e+16"},
      {"1e-7", Value::Kind::kFloat, "1e-7"},
      {"0.00001", Value::Kind::kFloat, "0.00001"},
      {"123456789012345678901234567890", Value::Kind::kFloat,
       "1.2345678901234568e+29"},
      {"\"a\\\"b\\n\"", Value::Kind::kString, "\"a\\\"b\\n\""},
      {"\"\\u0001\\t/\"", Value::Kind::kString, "\"\\u0001\\t/\""},
      {"\"\xc3\xa9\"", Value::Kind::kString, "\"\xc3\xa9\""},
      {"[]", Value::Kind::kArray, "[]"},
      {"{}", Value::Kind::kObject, "{}"},
      {"[1, [2.5, null], {}]", Value::Kind::kArray,
       "[\n  1,\n  [\n    2.5,\n    null\n  ],\n  {}\n]"},
      {"{\"b\": [], \"a\": {\"y\": true, \"x\": \"s\"}}", Value::Kind::kObject,
       "{\n  \"a\": {\n    \"x\": \"s\",\n    \"y\": true\n  },\n  \"b\": []\n}"},
  };
  for (const FromJsonCase& c : cases) {
    const Value v = Value::from_json(json_of(c.json));
    EXPECT_EQ(v.kind(), c.kind) << c.json;
    EXPECT_EQ(text_of(v), c.written) << c.json;
  }
}

TEST(ValueFromJson, UnsignedAboveInt64IsNearestDouble) {
  const Value v = Value::from_json(Json(uint64_t{18446744073709551615u}));
  ASSERT_EQ(v.kind(), Value::Kind::kFloat);
  EXPECT_EQ(v.as_float(), 18446744073709551616.0);
  const Value small = Value::from_json(Json(uint64_t{42}));
  ASSERT_EQ(small.kind(), Value::Kind::kInteger);
  EXPECT_EQ(small.as_integer(), 42);
}

TEST(ValueToJson, NonFiniteFloatsAreNull) {
  for (double d : {kNaN, kInf, -kInf}) {
    EXPECT_EQ(text_of(Value::floating(d)), "null") << d;
  }
  EXPECT_EQ(text_of(Value::floating(5.0)), "5.0");
  EXPECT_EQ(text_of(Value::floating(-2.25)), "-2.25");
  EXPECT_EQ(text_of(Value::integer(-12)), "-12");
}

// ---- State declarations -------------------------------------------------------

struct DefaultCase {
  const char* description;
  const char* initial;  // written form of the initial value
  Value::Kind kind;
};

TEST(DefaultForType, ByShapeOfDescription) {
  const std::vector<DefaultCase> cases = {
      {"\"Integer\"", "0", Value::Kind::kInteger},
      {"\"Float\"", "0.0", Value::Kind::kFloat},
      {"\"String\"", "\"\"", Value::Kind::kString},
      {"\"ISO8601\"", "\"\"", Value::Kind::kString},
      {"\"UUID\"", "\"\"", Value::Kind::kString},
      {"\"Boolean\"", "false", Value::Kind::kBoolean},
      {"\"boolean\"", "null", Value::Kind::kNull},
      {"\"integer\"", "null", Value::Kind::kNull},
      {"\"Array<Integer>\"", "null", Value::Kind::kNull},
      {"\"Map<String, Integer>\"", "null", Value::Kind::kNull},
      {"\"Enum [\\\"a\\\"]\"", "null", Value::Kind::kNull},
      {"{\"default\": 0.5, \"type\": \"Float\"}", "0.5", Value::Kind::kFloat},
      {"{\"default\": 7, \"type\": \"String\"}", "7", Value::Kind::kInteger},
      {"{\"default\": 5, \"type\": \"Integer\"}", "5", Value::Kind::kInteger},
      {"{\"default\": \"x\", \"type\": \"UUID\"}", "\"x\"", Value::Kind::kString},
      {"{\"default\": [1, 2], \"type\": \"Array<Integer>\"}", "null",
       Value::Kind::kNull},
      {"{\"type\": \"Boolean\"}", "false", Value::Kind::kBoolean},
      {"{\"default\": true, \"type\": \"boolean\"}", "null", Value::Kind::kNull},
      {"[1, 2]", "[]", Value::Kind::kArray},
      {"[]", "[]", Value::Kind::kArray},
      {"null", "null", Value::Kind::kNull},
      {"true", "null", Value::Kind::kNull},
      {"3", "null", Value::Kind::kNull},
      {"{}", "{}", Value::Kind::kObject},
      {"{\"type\": 3, \"x\": \"Integer\"}", "{\n  \"type\": null,\n  \"x\": 0\n}",
       Value::Kind::kObject},
      {"{\"b\": \"Boolean\", \"a\": {\"type\": \"String\"}}",
       "{\n  \"a\": \"\",\n  \"b\": false\n}", Value::Kind::kObject},
  };
  for (const DefaultCase& c : cases) {
    const Value v = ExecutionState::default_for_type(json_of(c.description));
    EXPECT_EQ(v.kind(), c.kind) << c.description;
    EXPECT_EQ(text_of(v), c.initial) << c.description;
  }
}

TEST(DefaultForType, UnsignedDefaultFromTheModelIsAnInteger) {
  Json::Object description;
  description.emplace("default", Json(uint64_t{5}));
  description.emplace("type", Json("Integer"));
  const Value v = ExecutionState::default_for_type(Json(std::move(description)));
  ASSERT_EQ(v.kind(), Value::Kind::kInteger);
  EXPECT_EQ(v.as_integer(), 5);
}

TEST(ExecutionStateFromContract, OneFieldPerDeclarationInKeyOrder) {
  Contract contract;
  contract.data_semantics.state = json_of(
      R"({"zeta": "Integer", "alpha": {"default": "hi", "type": "String"},
          "Mid": "Array<Integer>", "flag": "Boolean"})");
  EXPECT_EQ(text_of(ExecutionState::from_contract(contract)),
            "{\n  \"Mid\": null,\n  \"alpha\": \"hi\",\n  \"flag\": false,\n"
            "  \"zeta\": 0\n}");

  contract.data_semantics.state = Json::Object{};
  EXPECT_EQ(text_of(ExecutionState::from_contract(contract)), "{}");
  contract.data_semantics.state = Json("Integer");
  EXPECT_EQ(text_of(ExecutionState::from_contract(contract)), "{}");
}

TEST(ExecutionState, CopiesAreIndependent) {
  ExecutionState a(ExecutionState::Fields{{"x", Value::integer(1)}});
  const ExecutionState b = a;
  a.set("x", Value::integer(2));
  a.set("w", Value::boolean(true));
  EXPECT_EQ(text_of(a), "{\n  \"w\": true,\n  \"x\": 2\n}");
  EXPECT_EQ(text_of(b), "{\n  \"x\": 1\n}");
  EXPECT_FALSE(a == b);
}

TEST(ExecutionState, MergeReplacesAndAdds) {
  ExecutionState s(ExecutionState::Fields{{"b", Value::integer(1)},
                                          {"d", Value::string("keep")}});
  s.merge(json_of(R"({"a": 1.5, "b": "now", "c": null, "e": [true]})")
              .as_object());
  EXPECT_EQ(text_of(s),
            "{\n  \"a\": 1.5,\n  \"b\": \"now\",\n  \"c\": null,\n"
            "  \"d\": \"keep\",\n  \"e\": [\n    true\n  ]\n}");
}

// ---- Size accounting -------------------------------------------------------------

struct SizeCase {
  const char* json;
  uint64_t size;
};

TEST(ValueSize, PerKind) {
  const std::vector<SizeCase> cases = {
      {"null", 1},
      {"true", 1},
      {"3", 8},
      {"3.5", 8},
      {"\"\"", 24},
      {"\"abc\"", 27},
      {"\"\xc3\xa9\"", 26},  // bytes, not characters
      {"[]", 24},
      {"[1, 2.5]", 40},
      {"{}", 24},
      {"{\"ab\": true}", 27},
      {"{\"k\": [null, \"x\"]}", 24 + 1 + 24 + 1 + 25},
  };
  for (const SizeCase& c : cases) {
    EXPECT_EQ(ExecutionState::value_size(Value::from_json(json_of(c.json))),
              c.size)
        << c.json;
  }
}

TEST(ValueSize, StateSizeSumsNamesAndValues) {
  EXPECT_EQ(ExecutionState().size_bytes(), 0u);
  const ExecutionState s(ExecutionState::Fields{
      {"n", Value::integer(1)}, {"text", Value::string("hello")}});
  EXPECT_EQ(s.size_bytes(), (1 + 8) + (4 + 24 + 5));
}

// ---- Truthiness ----------------------------------------------------------------

TEST(ValueTruthiness, PerKind) {
  const std::vector<std::pair<Value, bool>> cases = {
      {Value(), false},
      {Value::boolean(false), false},
      {Value::boolean(true), true},
      {Value::integer(0), false},
      {Value::integer(-1), true},
      {Value::floating(0.0), false},
      {Value::floating(-0.0), false},
      {Value::floating(kNaN), true},
      {Value::floating(0.1), true},
      {Value::string(""), false},
      {Value::string(" "), true},
      {Value::array({}), false},
      {Value::array({Value()}), true},
      {obj({}), false},
      {obj({{"a", Value()}}), true},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].first.truthy(), cases[i].second) << "case " << i;
  }
}

// ---- Evaluator -------------------------------------------------------------------

struct EvalCase {
  const char* condition;
  ExecutionState::Fields state;
  EvaluationOutcome expected;
};

constexpr EvaluationOutcome kHolds{true, true};
constexpr EvaluationOutcome kFails{false, true};
constexpr EvaluationOutcome kUndetermined{true, false};

TEST(ExpressionEvaluator, RecognisedFormsAndNonForms) {
  const ExecutionState::Fields balance5 = {{"balance", Value::integer(5)}};
  const std::vector<EvalCase> cases = {
      // Comparisons against Integer and Float fields.
      {"balance >= 0", balance5, kHolds},
      {"balance >= 5", balance5, kHolds},
      {"balance >= 6", balance5, kFails},
      {"balance <= 5", balance5, kHolds},
      {"balance <= 4.5", balance5, kFails},
      {"balance > 4.99", balance5, kHolds},
      {"balance > 5", balance5, kFails},
      {"balance < 6", balance5, kHolds},
      {"balance < 5", balance5, kFails},
      {"balance < -1e9", balance5, kFails},
      {"balance > -inf", balance5, kHolds},
      {"balance < Infinity", balance5, kHolds},
      {"  balance >= 0\n", balance5, kHolds},
      {"balance  >=  0", balance5, kHolds},
      {"x >= 2", {{"x", Value::floating(2.0)}}, kHolds},
      {"x >= 2", {{"x", Value::integer(2)}}, kHolds},
      {"x < 1e3", {{"x", Value::integer(999)}}, kHolds},
      {"x < 1e3", {{"x", Value::integer(1000)}}, kFails},
      {"x > nan", {{"x", Value::integer(1)}}, kFails},
      {"x < NaN", {{"x", Value::integer(1)}}, kFails},
      {"x >= 0", {{"x", Value::floating(kNaN)}}, kFails},
      {"x <= 0", {{"x", Value::floating(-0.0)}}, kHolds},
      {"x >= 9007199254740993", {{"x", Value::integer(9007199254740993)}},
       kHolds},
      // Missing fields and non-numeric values fail a determined comparison.
      {"balance >= 0", {}, kFails},
      {"balance >= 0", {{"balance", Value::string("5")}}, kFails},
      {"balance >= 0", {{"balance", Value::boolean(true)}}, kFails},
      {"balance >= 0", {{"balance", Value()}}, kFails},
      {"Balance >= 0", balance5, kFails},
      // The name is everything left of the operator, trimmed.
      {"the balance >= 0", {{"the balance", Value::integer(1)}}, kHolds},
      {" >= 0", {{"", Value::integer(1)}}, kUndetermined},  // trimmed first
      // Not comparisons.
      {"balance == 0", balance5, kUndetermined},
      {"balance != 0", balance5, kUndetermined},
      {"balance>=0", balance5, kUndetermined},
      {"balance\t>=\t0", balance5, kUndetermined},
      {"balance >= zero", balance5, kUndetermined},
      {"balance >= 0x10", balance5, kUndetermined},
      {"balance >= 1_000", balance5, kUndetermined},
      {"balance == 5 and balance != 0", balance5, kUndetermined},
      {"balance == 5 or flag", balance5, kUndetermined},
      // A later operator still splits: the name "balance >= 0 and balance"
      // names no field.
      {"balance >= 0 and balance <= 10", balance5, kFails},
      {"a > 1 > 2", {{"a", Value::integer(5)}}, kUndetermined},
      {"balance is valid", balance5, kUndetermined},
      {"", balance5, kUndetermined},
      {"   ", balance5, kUndetermined},
      // "is not empty".
      {"items is not empty", {{"items", Value::array({})}}, kFails},
      {"items is not empty", {{"items", Value()}}, kFails},
      {"items is not empty", {}, kFails},
      {"items is not empty", {{"items", Value::array({Value::integer(1)})}},
       kHolds},
      {"count is not empty", {{"count", Value::integer(0)}}, kFails},
      {"name is not empty", {{"name", Value::string("n")}}, kHolds},
      {"  items   is not empty  ", {{"items", Value::string("x")}}, kHolds},
      {"total > 10 is not empty", {{"total > 10", Value::integer(1)}}, kHolds},
      {"total > 10 is not empty", {{"total", Value::integer(50)}}, kFails},
      {"items is  not empty", {{"items", Value::string("x")}}, kUndetermined},
      {"is not empty", {{"", Value::integer(1)}}, kUndetermined},
      // Comparisons come before "is boolean".
      {"flag is boolean", {{"flag", Value::boolean(false)}}, kHolds},
      {" flag is boolean ", {{"flag", Value::boolean(true)}}, kHolds},
      {"flag is boolean", {{"flag", Value::integer(1)}}, kFails},
      {"flag is boolean", {}, kFails},
      {"x > 1 is boolean", {{"x > 1", Value::boolean(true)}}, kHolds},
      {"flag is Boolean", {{"flag", Value::boolean(true)}}, kUndetermined},
  };
  for (const EvalCase& c : cases) {
    const ExecutionState state(c.state);  // sorts the fields by name
    EXPECT_EQ(ExpressionEvaluator::evaluate(c.condition, state.fields()),
              c.expected)
        << "'" << c.condition << "'";
  }
}

TEST(ExpressionEvaluator, TrimsUnicodeWhiteSpace) {
  const ExecutionState::Fields state = {{"x", Value::integer(3)}};
  // U+3000 ideographic space and U+00A0 no-break space around the text and
  // around the number.
  EXPECT_EQ(ExpressionEvaluator::evaluate(
                "\xe3\x80\x80x >= \xc2\xa0" "2\xc2\xa0\n", state),
            kHolds);
  // U+200B is not white space, so the number does not parse.
  EXPECT_EQ(ExpressionEvaluator::evaluate("x >= 2\xe2\x80\x8b", state),
            kUndetermined);
}

struct ParseComparisonCase {
  const char* text;
  const char* op;
  bool matches;
  const char* field;
  double number;
};

TEST(ExpressionEvaluator, ParseComparison) {
  const std::vector<ParseComparisonCase> cases = {
      {"x < 1e3", " < ", true, "x", 1000.0},
      {"x >= -2.5", " >= ", true, "x", -2.5},
      {"x >= +2.5", " >= ", true, "x", 2.5},
      {"x > 1.", " > ", true, "x", 1.0},
      {"x > .5", " > ", true, "x", 0.5},
      {"x > -.5E-1", " > ", true, "x", -0.05},
      {"x > 1e+2", " > ", true, "x", 100.0},
      {"x > 007", " > ", true, "x", 7.0},
      {"x > 1e400", " > ", true, "x", kInf},
      {"x > -1e400", " > ", true, "x", -kInf},
      {"x > 1e-400", " > ", true, "x", 0.0},
      {"x > 0.000e999999999999999999", " > ", true, "x", 0.0},
      {"x > 12345678901234567890123", " > ", true, "x", 1.2345678901234568e22},
      {"x > INF", " > ", true, "x", kInf},
      {"x > -infinity", " > ", true, "x", -kInf},
      {"x > 0.1", " > ", true, "x", 0.1},
      {"  spaced name  >  3  ", " > ", true, "spaced name", 3.0},
      {"x >= 1", " > ", false, "", 0},  // " > " does not occur in " >= "
      {"x > 1 > 2", " > ", false, "", 0},
      {"x > .", " > ", false, "", 0},
      {"x > 1e", " > ", false, "", 0},
      {"x > e5", " > ", false, "", 0},
      {"x > 1e5.0", " > ", false, "", 0},
      {"x > --1", " > ", false, "", 0},
      {"x > +", " > ", false, "", 0},
      {"x > ", " > ", false, "", 0},
      {"x > infinit", " > ", false, "", 0},
      {"x > nan(1)", " > ", false, "", 0},
      {"x > 1 2", " > ", false, "", 0},
      {"x>1", " > ", false, "", 0},
  };
  for (const ParseComparisonCase& c : cases) {
    const std::optional<Comparison> got =
        ExpressionEvaluator::parse_comparison(c.text, c.op);
    ASSERT_EQ(got.has_value(), c.matches) << "'" << c.text << "'";
    if (!c.matches) continue;
    EXPECT_EQ(got->field, c.field) << c.text;
    EXPECT_EQ(got->number, c.number) << c.text;
  }
  const std::optional<Comparison> nan =
      ExpressionEvaluator::parse_comparison("x > nan", " > ");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(nan->number));
}

TEST(ExpressionEvaluator, NumericCmpIsLessThan) {
  const ExecutionState s(ExecutionState::Fields{{"i", Value::integer(3)},
                                                {"f", Value::floating(2.5)},
                                                {"s", Value::string("1")}});
  const ExecutionState::Fields& state = s.fields();
  EXPECT_TRUE(ExpressionEvaluator::numeric_cmp(state, "i", 4));
  EXPECT_FALSE(ExpressionEvaluator::numeric_cmp(state, "i", 3));
  EXPECT_TRUE(ExpressionEvaluator::numeric_cmp(state, "f", 2.6));
  EXPECT_FALSE(ExpressionEvaluator::numeric_cmp(state, "f", kNaN));
  EXPECT_FALSE(ExpressionEvaluator::numeric_cmp(state, "s", 5));
  EXPECT_FALSE(ExpressionEvaluator::numeric_cmp(state, "missing", 5));
}

TEST(ExpressionEvaluator, CheckInvariantsListsViolationsAsWritten) {
  const ExecutionState s(ExecutionState::Fields{{"items", Value::array({})},
                                                {"b", Value::integer(10)},
                                                {"a", Value::integer(-1)}});
  const ExecutionState::Fields& state = s.fields();
  const std::vector<std::string> invariants = {
      "a >= 0", "b >= 0", "  b <= 5 ", "a == b", "items is not empty"};
  const auto violated =
      ExpressionEvaluator::check_invariants(invariants, state);
  ASSERT_TRUE(violated.has_value());
  EXPECT_EQ(*violated, (std::vector<std::string>{"a >= 0", "  b <= 5 ",
                                                 "items is not empty"}));

  EXPECT_FALSE(ExpressionEvaluator::check_invariants(
                   {"b >= 0", "a == 1", "anything goes"}, state)
                   .has_value());
  EXPECT_FALSE(ExpressionEvaluator::check_invariants({}, state).has_value());
}

// ---- White space -----------------------------------------------------------------

TEST(TrimWhiteSpace, UnicodeWhiteSpaceProperty) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" \t\n\r\v\fx y\f\v\r\n\t ", "x y"},
      {"\xc2\x85x\xc2\x85", "x"},                    // U+0085 next line
      {"\xc2\xa0x\xc2\xa0", "x"},                    // U+00A0 no-break space
      {"\xe1\x9a\x80x", "x"},                        // U+1680 ogham space mark
      {"\xe2\x80\x80\xe2\x80\x8ax", "x"},            // U+2000, U+200A
      {"x\xe2\x80\xa8\xe2\x80\xa9", "x"},            // U+2028, U+2029
      {"\xe2\x80\xafx\xe2\x81\x9f", "x"},            // U+202F, U+205F
      {"\xe3\x80\x80x\xe3\x80\x80", "x"},            // U+3000
      {"\xe2\x80\x8bx", "\xe2\x80\x8bx"},            // U+200B is not
      {"\xef\xbb\xbfx", "\xef\xbb\xbfx"},            // U+FEFF is not
      {"\xe1\xa0\x8ex", "\xe1\xa0\x8ex"},            // U+180E is not
      {"x\x1c", "x\x1c"},                            // U+001C is not
      {"\xc2\xa1", "\xc2\xa1"},                      // U+00A1 is not
      {"\xa0x\xc2", "\xa0x\xc2"},                    // stray bytes are not
      {"\xc0\xa0x", "\xc0\xa0x"},                    // overlong form is not
      {"", ""},
      {" \xe3\x80\x80 ", ""},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(detail::trim_white_space(in), out) << in;
  }
}

TEST(TrimWhiteSpace, PropertyMembers) {
  const std::vector<char32_t> members = {
      0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000,
      0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
      0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : members) {
    EXPECT_TRUE(detail::is_white_space(c)) << static_cast<uint32_t>(c);
  }
  for (int c : {0x08, 0x0E, 0x1F, 0x21, 0x84, 0x86, 0x180E, 0x200B, 0x200C,
                0x2027, 0x202A, 0x2060, 0xFEFF, 0x3001}) {
    EXPECT_FALSE(detail::is_white_space(static_cast<char32_t>(c))) << c;
  }
}

// ---- Sandbox -------------------------------------------------------------------------

ExecutionConstraints limits(uint64_t memory, uint64_t timeout,
                            uint64_t state_size) {
  ExecutionConstraints c;
  c.resource_limits = {memory, timeout, state_size};
  return c;
}

struct MemoryCase {
  uint64_t memory;
  uint64_t state_size;
  const char* message;  // nullptr: passes
};

TEST(Sandbox, CheckMemory) {
  const ExecutionState::Fields one = {{"x", Value::integer(1)}};  // 9 bytes
  const std::vector<MemoryCase> cases = {
      {1000, 9, nullptr},
      {9, 1000, nullptr},
      {1000, 8, "Execution error: State size 9 bytes exceeds limit of 8 bytes"},
      {5, 1000, "Execution error: Memory usage 9 bytes exceeds limit of 5 bytes"},
      {5, 8, "Execution error: State size 9 bytes exceeds limit of 8 bytes"},
      {0, 0, "Execution error: State size 9 bytes exceeds limit of 0 bytes"},
  };
  for (const MemoryCase& c : cases) {
    const Sandbox sandbox(limits(c.memory, 0, c.state_size));
    const std::optional<Error> error = sandbox.check_memory(one);
    ASSERT_EQ(error.has_value(), c.message != nullptr)
        << c.memory << " " << c.state_size;
    if (error) {
      EXPECT_EQ(error->kind(), ErrorKind::kExecutionError);
      EXPECT_EQ(error->to_string(), c.message);
    }
  }
  EXPECT_FALSE(Sandbox(limits(0, 0, 0)).check_memory({}).has_value());
}

struct TimeCase {
  uint64_t limit;
  uint64_t elapsed;
  const char* message;
};

TEST(Sandbox, CheckTime) {
  const std::vector<TimeCase> cases = {
      {0, 0, nullptr},
      {0, 1, "Execution error: Operation 'op' exceeded timeout of 0ms (took 1ms)"},
      {1, 1, nullptr},
      {1, 2, "Execution error: Operation 'op' exceeded timeout of 1ms (took 2ms)"},
      {1000, 1000, nullptr},
      {1000, 18446744073709551615u,
       "Execution error: Operation 'op' exceeded timeout of 1000ms "
       "(took 18446744073709551615ms)"},
  };
  for (const TimeCase& c : cases) {
    const Sandbox sandbox(limits(0, c.limit, 0));
    const std::optional<Error> error = sandbox.check_time("op", c.elapsed);
    ASSERT_EQ(error.has_value(), c.message != nullptr) << c.elapsed;
    if (error) {
      EXPECT_EQ(error->to_string(), c.message);
    }
  }
}

TEST(Sandbox, WholeMillisecondsTruncate) {
  using std::chrono::nanoseconds;
  const std::vector<std::pair<int64_t, uint64_t>> cases = {
      {0, 0}, {999999, 0}, {1000000, 1}, {2900000, 2},
      {1999999999, 1999}, {5000000000, 5000}};
  for (const auto& [ns, ms] : cases) {
    EXPECT_EQ(Sandbox::whole_milliseconds(nanoseconds(ns)), ms) << ns;
  }
}

TEST(Sandbox, ModeAndPermissions) {
  const std::vector<std::pair<const char*, SandboxMode>> cases = {
      {"none", SandboxMode::kNone},
      {"restricted", SandboxMode::kRestricted},
      {"full_isolation", SandboxMode::kFullIsolation},
      {"None", SandboxMode::kFullIsolation},
      {"", SandboxMode::kFullIsolation},
  };
  for (const auto& [text, mode] : cases) {
    EXPECT_EQ(Sandbox::mode_from_text(text), mode) << text;
  }
  ExecutionConstraints c = limits(1, 2, 3);
  c.external_permissions = {"net", "disk"};
  c.sandbox_mode = "restricted";
  const Sandbox sandbox(c);
  EXPECT_EQ(sandbox.permissions(), (std::vector<std::string>{"net", "disk"}));
  EXPECT_EQ(sandbox.mode(), SandboxMode::kRestricted);
  EXPECT_EQ(sandbox.limits().max_memory_bytes, 1u);
  EXPECT_EQ(sandbox.limits().computation_timeout_ms, 2u);
  EXPECT_EQ(sandbox.limits().max_state_size_bytes, 3u);
}

}  // namespace
}  // namespace qel
