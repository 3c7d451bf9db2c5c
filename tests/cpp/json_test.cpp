#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <locale>
#include <string>

#include "qel/error.h"
#include "qel/json.h"

namespace qel {
namespace {

struct FloatCase {
  double value;
  FloatStyle style;
  const char* expected;
};

class FloatFormatTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatFormatTest, Formats) {
  const FloatCase& c = GetParam();
  EXPECT_EQ(format_double(c.value, c.style), c.expected);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    JsonNumbers, FloatFormatTest,
    ::testing::Values(
        FloatCase{1.0, FloatStyle::kJson, "1.0"},
        FloatCase{0.5, FloatStyle::kJson, "0.5"},
        FloatCase{0.25, FloatStyle::kJson, "0.25"},
        FloatCase{0.00001, FloatStyle::kJson, "0.00001"},
        FloatCase{1e15, FloatStyle::kJson, "1000000000000000.0"},
        FloatCase{1e-6, FloatStyle::kJson, "1e-6"},
        FloatCase{1.5e-7, FloatStyle::kJson, "1.5e-7"},
        FloatCase{1e16, FloatStyle::kJson, "1e+16"},
        FloatCase{1.2345e20, FloatStyle::kJson, "1.2345e+20"},
        FloatCase{123.456, FloatStyle::kJson, "123.456"},
        FloatCase{0.1, FloatStyle::kJson, "0.1"},
        FloatCase{0.0, FloatStyle::kJson, "0.0"},
        FloatCase{-0.0, FloatStyle::kJson, "-0.0"},
        FloatCase{-2.5, FloatStyle::kJson, "-2.5"},
        FloatCase{1.7976931348623157e308, FloatStyle::kJson,
                  "1.7976931348623157e+308"},
        FloatCase{5e-324, FloatStyle::kJson, "5e-324"},
        FloatCase{kInf, FloatStyle::kJson, "null"},
        FloatCase{-kInf, FloatStyle::kJson, "null"},
        FloatCase{kNaN, FloatStyle::kJson, "null"}));

INSTANTIATE_TEST_SUITE_P(
    TokenDescriptions, FloatFormatTest,
    ::testing::Values(
        FloatCase{0.5, FloatStyle::kTokenDescription, "0.5"},
        FloatCase{1.0, FloatStyle::kTokenDescription, "1.0"},
        FloatCase{1e16, FloatStyle::kTokenDescription, "1e16"},
        FloatCase{1.5e-5, FloatStyle::kTokenDescription, "1.5e-5"},
        FloatCase{1e-4, FloatStyle::kTokenDescription, "0.0001"},
        FloatCase{9999999999999998.0, FloatStyle::kTokenDescription,
                  "9999999999999998.0"},
        FloatCase{0.0, FloatStyle::kTokenDescription, "0.0"},
        FloatCase{kInf, FloatStyle::kTokenDescription, "inf"}));

INSTANTIATE_TEST_SUITE_P(
    PlainNumbers, FloatFormatTest,
    ::testing::Values(FloatCase{1.5, FloatStyle::kPlain, "1.5"},
                      FloatCase{2.0, FloatStyle::kPlain, "2"},
                      FloatCase{1000000.0, FloatStyle::kPlain, "1000000"},
                      FloatCase{1.01, FloatStyle::kPlain, "1.01"},
                      FloatCase{1e-7, FloatStyle::kPlain, "0.0000001"},
                      FloatCase{kInf, FloatStyle::kPlain, "inf"},
                      FloatCase{kNaN, FloatStyle::kPlain, "NaN"}));

INSTANTIATE_TEST_SUITE_P(
    CanonicalNumbers, FloatFormatTest,
    ::testing::Values(
        FloatCase{0.5, FloatStyle::kCanonical, "0.5"},
        FloatCase{1e-7, FloatStyle::kCanonical, "0.0000001"},
        FloatCase{1e20, FloatStyle::kCanonical, "100000000000000000000.0"},
        FloatCase{1.0, FloatStyle::kCanonical, "1.0"},
        FloatCase{0.0, FloatStyle::kCanonical, "0.0"},
        FloatCase{2.0, FloatStyle::kCanonical, "2.0"},
        FloatCase{0.1, FloatStyle::kCanonical, "0.1"},
        FloatCase{kInf, FloatStyle::kCanonical, "inf.0"}));

// Numbers must not follow the process locale: a comma decimal point or digit
// grouping would silently change hashes and JSON output.
class CommaNumpunct : public std::numpunct<char> {
 protected:
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(FloatFormatLocaleTest, IgnoresHostileGlobalLocale) {
  const std::locale saved;
  std::locale::global(std::locale(std::locale::classic(), new CommaNumpunct));
  // A C locale with a comma decimal point, where one is installed.
  const char* c_locale = std::setlocale(LC_ALL, "de_DE.UTF-8");
  EXPECT_EQ(format_double(1234.5, FloatStyle::kJson), "1234.5");
  EXPECT_EQ(format_double(1e16, FloatStyle::kJson), "1e+16");
  EXPECT_EQ(format_double(0.25, FloatStyle::kCanonical), "0.25");
  std::string out;
  append_int(out, 1234567);
  EXPECT_EQ(out, "1234567");
  std::locale::global(saved);
  if (c_locale != nullptr) std::setlocale(LC_ALL, "C");
}

TEST(JsonStringTest, EscapesExactlyTheJsonSet) {
  const struct {
    std::string in;
    const char* out;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
      {std::string("nul\0x", 5), "\"nul\\u0000x\""},
      {"/ \x7f \xc3\xa9 \xe2\x82\xac", "\"/ \x7f \xc3\xa9 \xe2\x82\xac\""},
  };
  for (const auto& c : cases) {
    std::string out;
    append_json_string(out, c.in);
    EXPECT_EQ(out, c.out) << c.in;
  }
}

// The string writer reads 16 bytes at a time and the last, partial block
// again from the text's end: every byte to escape, and a non-ASCII one,
// at every place of texts from 0 to 40 bytes, in both kinds of output.
// Grown to exactly the room asked for, so that a write past it is caught
// by the sanitizer builds.
class VectorOutput final : public Output {
 public:
  ~VectorOutput() {
    if (capacity_ != 0) delete[] data_;
  }
  std::string text() const { return std::string(view()); }

 private:
  void grow(std::size_t capacity) override {
    char* bytes = new char[capacity];
    std::memcpy(bytes, data_, size_);
    if (capacity_ != 0) delete[] data_;
    data_ = bytes;
    capacity_ = capacity;
  }
};

TEST(JsonStringTest, EscapesAtEveryPlaceOfABlock) {
  const struct {
    char byte;
    const char* escaped;
  } specials[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"},
                  {'\x1f', "\\u001f"}, {'\0', "\\u0000"}};
  for (std::size_t length = 0; length <= 40; ++length) {
    const std::string plain(length, 'x');
    for (std::size_t at = 0; at < length; ++at) {
      for (const auto& special : specials) {
        std::string in = plain;
        in[at] = special.byte;
        // A second one three places on: escapes in one block.
        if (at + 3 < length) in[at + 3] = special.byte;
        std::string expected = "\"";
        for (char c : in) {
          expected += c == special.byte ? special.escaped : std::string(1, c);
        }
        expected += '"';
        std::string out;
        append_json_string(out, in);
        EXPECT_EQ(out, expected) << length << " " << at;
        VectorOutput vector_out;
        append_json_string(static_cast<Output&>(vector_out), in);
        EXPECT_EQ(vector_out.text(), expected) << length << " " << at;
        EXPECT_FALSE(vector_out.non_ascii()) << length << " " << at;
      }
      std::string in = plain;
      in[at] = '\xc3';
      VectorOutput vector_out;
      append_json_string(static_cast<Output&>(vector_out), in);
      EXPECT_EQ(vector_out.text(), '"' + in + '"');
      EXPECT_TRUE(vector_out.non_ascii()) << length << " " << at;
    }
  }
}

std::string pretty(const Json& v) {
  std::string out;
  JsonWriter(out).value(v);
  return out;
}

TEST(JsonWriterTest, EmptyContainersAndScalarsAtTopLevel) {
  EXPECT_EQ(pretty(Json::Object{}), "{}");
  EXPECT_EQ(pretty(Json::Array{}), "[]");
  EXPECT_EQ(pretty(Json(int64_t{-5})), "-5");
  EXPECT_EQ(pretty(Json(uint64_t{18446744073709551615u})),
            "18446744073709551615");
  EXPECT_EQ(pretty(Json(nullptr)), "null");
}

TEST(JsonWriterTest, NestedLayoutSortsObjectKeysByteWise) {
  Json::Object inner;
  inner["b"] = Json(Json::Array{Json(true), Json(1.5), Json(Json::Object{})});
  inner["a"] = Json(Json::Array{});
  Json::Object root;
  // Byte order puts upper case, then lower case, then non-ASCII.
  root["\xc3\xa9"] = Json("e-acute");
  root["z"] = Json(std::move(inner));
  root["Z"] = Json(false);
  EXPECT_EQ(pretty(Json(std::move(root))),
            "{\n"
            "  \"Z\": false,\n"
            "  \"z\": {\n"
            "    \"a\": [],\n"
            "    \"b\": [\n"
            "      true,\n"
            "      1.5,\n"
            "      {}\n"
            "    ]\n"
            "  },\n"
            "  \"\xc3\xa9\": \"e-acute\"\n"
            "}");
}

TEST(JsonWriterTest, RecordsKeepDeclarationOrder) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("zeta");
  w.integer(1);
  w.key("alpha");
  w.begin_array();
  w.end_array();
  w.end_object();
  EXPECT_EQ(out, "{\n  \"zeta\": 1,\n  \"alpha\": []\n}");
}

TEST(JsonWriterTest, CompactFormHasNoWhiteSpace) {
  Json::Object o;
  o["k"] = Json(Json::Array{Json(int64_t{1}), Json("x y"), Json(nullptr)});
  o["e"] = Json(Json::Object{});
  std::string out;
  append_compact_json(out, Json(std::move(o)));
  EXPECT_EQ(out, "{\"e\":{},\"k\":[1,\"x y\",null]}");
}

TEST(ErrorTest, TextForms) {
  const struct {
    Error error;
    const char* text;
  } cases[] = {
      {Error::parse_error(""), "Parse error: "},
      {Error::parse_error("Unexpected character '%' at 2:5"),
       "Parse error: Unexpected character '%' at 2:5"},
      {Error::type_mismatch("Integer", "String"),
       "Type mismatch: expected Integer, found String"},
      {Error::determinism_violation("uses time"),
       "Determinism violation: uses time"},
      {Error::contract_violation("invariant", "Violated invariants: a, b"),
       "Contract violation - invariant: Violated invariants: a, b"},
      {Error::validation_error("bad"), "Validation error: bad"},
      {Error::execution_error("x: \"y\"\nz"), "Execution error: x: \"y\"\nz"},
      {Error::normalization_error("n"), "Normalization error: n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.to_string(), c.text);
}

Result<int> half(int x) {
  if (x % 2 != 0) return Error::execution_error("odd");
  return x / 2;
}

Result<int> quarter(int x) {
  QEL_ASSIGN_OR_RETURN(int h, half(x));
  QEL_ASSIGN_OR_RETURN(int q, half(h));
  return q;
}

TEST(ResultTest, PropagatesFirstErrorUnchanged) {
  EXPECT_EQ(*quarter(8), 2);
  Result<int> r = quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "Execution error: odd");
}

}  // namespace
}  // namespace qel
