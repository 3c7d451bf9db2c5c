// Canonical text and semantic hash: rendering rules, canonical order, the
// hash's independence from order and from its own written value, and the
// full pipeline from contract text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "canonical/canonical_hash.h"
#include "canonical/canonical_writer.h"
#include "canonical/tree_order.h"
#include "qel/ast.h"
#include "qel/canonical.h"
#include "qel/parser.h"

namespace qel {
namespace {

// ---- Tree builders ----------------------------------------------------------

SpannedText txt(std::string value) { return SpannedText{std::move(value), {}}; }

std::vector<SpannedText> texts(std::vector<std::string> values) {
  std::vector<SpannedText> out;
  for (std::string& v : values) out.push_back(txt(std::move(v)));
  return out;
}

TypeExpression prim(PrimitiveType kind) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kPrimitive;
  t.primitive = kind;
  return t;
}
TypeExpression integer_type() { return prim(PrimitiveType::kInteger); }
TypeExpression string_type() { return prim(PrimitiveType::kString); }

TypeExpression array_of(TypeExpression element) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kArray;
  t.element = std::make_unique<TypeExpression>(std::move(element));
  return t;
}

TypeExpression map_of(TypeExpression key, TypeExpression value) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kMap;
  t.key = std::make_unique<TypeExpression>(std::move(key));
  t.value = std::make_unique<TypeExpression>(std::move(value));
  return t;
}

TypeExpression enum_of(std::vector<std::string> variants) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kEnum;
  t.variants = texts(std::move(variants));
  return t;
}

LiteralValue str_lit(std::string s) {
  LiteralValue v;
  v.kind = LiteralValue::Kind::kString;
  v.text = std::move(s);
  return v;
}
LiteralValue int_lit(int64_t i) {
  LiteralValue v;
  v.kind = LiteralValue::Kind::kInteger;
  v.integer = i;
  return v;
}
LiteralValue float_lit(double d) {
  LiteralValue v;
  v.kind = LiteralValue::Kind::kFloat;
  v.number = d;
  return v;
}
LiteralValue bool_lit(bool b) {
  LiteralValue v;
  v.kind = LiteralValue::Kind::kBoolean;
  v.boolean = b;
  return v;
}
LiteralValue array_lit(std::vector<LiteralValue> elements) {
  LiteralValue v;
  v.kind = LiteralValue::Kind::kArray;
  v.elements = std::move(elements);
  return v;
}

StateFieldNode field(std::string name, TypeExpression type,
                     std::optional<LiteralValue> default_value = {}) {
  StateFieldNode f;
  f.name = txt(std::move(name));
  f.type = std::move(type);
  f.default_value = std::move(default_value);
  return f;
}

TypeExpression object_of(std::vector<StateFieldNode> fields) {
  TypeExpression t;
  t.kind = TypeExpression::Kind::kObject;
  t.fields = std::move(fields);
  return t;
}

OperationNode operation(std::string name) {
  OperationNode op;
  op.name = txt(std::move(name));
  op.precondition = txt("true");
  op.postcondition = txt("true");
  op.idempotence = txt("idempotent");
  return op;
}

CustomFieldNode custom(std::string name, LiteralValue value) {
  CustomFieldNode f;
  f.name = txt(std::move(name));
  f.value = std::move(value);
  return f;
}

SystemExtensionNode system_ext(std::string name,
                               std::vector<CustomFieldNode> fields) {
  SystemExtensionNode s;
  s.name = txt(std::move(name));
  s.fields = std::move(fields);
  return s;
}

// A contract with no state, no operations and empty lists.
ContractNode bare_contract() {
  ContractNode c;
  c.identity.stable_id = txt("svc-1");
  c.identity.version = SpannedInt{1, {}};
  c.identity.created_timestamp = txt("2024-01-15T10:30:00Z");
  c.identity.owner = txt("team");
  c.identity.semantic_hash = txt("written");
  c.purpose_statement.narrative = txt("n");
  c.purpose_statement.intent_source = txt("i");
  c.purpose_statement.confidence_level = SpannedDouble{0.5, {}};
  c.execution_constraints.resource_limits.max_memory_bytes = SpannedInt{1024, {}};
  c.execution_constraints.resource_limits.computation_timeout_ms =
      SpannedInt{100, {}};
  c.execution_constraints.resource_limits.max_state_size_bytes =
      SpannedInt{2048, {}};
  c.execution_constraints.sandbox_mode = txt("full_isolation");
  return c;
}

// The canonical text of a tree with the hash value written as given.
std::string render_with_hash(ContractNode tree, std::string hash) {
  tree.identity.semantic_hash = txt(std::move(hash));
  return serialize_canonical(tree);
}

const std::string kZeros(64, '0');

// ---- Rendering of types -------------------------------------------------------

struct TypeCase {
  const char* name;
  TypeExpression (*make)();
  const char* expected;
};

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.name; }

class CanonicalTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(CanonicalTypeTest, RendersAfterNormalising) {
  TypeExpression type = GetParam().make();
  detail::normalize_type_fields(type);
  std::string out;
  detail::CanonicalWriter writer(out);
  writer.serialize_type_expression(type);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalTypes, CanonicalTypeTest,
    ::testing::Values(
        TypeCase{"Integer", [] { return prim(PrimitiveType::kInteger); },
                 "Integer"},
        TypeCase{"Float", [] { return prim(PrimitiveType::kFloat); }, "Float"},
        TypeCase{"String", [] { return prim(PrimitiveType::kString); },
                 "String"},
        TypeCase{"Boolean", [] { return prim(PrimitiveType::kBoolean); },
                 "Boolean"},
        TypeCase{"Iso8601", [] { return prim(PrimitiveType::kIso8601); },
                 "ISO8601"},
        TypeCase{"Uuid", [] { return prim(PrimitiveType::kUuid); }, "UUID"},
        TypeCase{"MapOfStringToInteger",
                 [] { return map_of(string_type(), integer_type()); },
                 "Map<String, Integer>"},
        TypeCase{"NestedArrayMap",
                 [] {
                   return array_of(
                       map_of(string_type(), array_of(integer_type())));
                 },
                 "Array<Map<String, Array<Integer>>>"},
        TypeCase{"EnumSorted", [] { return enum_of({"b", "a"}); },
                 "Enum[\"a\", \"b\"]"},
        TypeCase{"EnumEmpty", [] { return enum_of({}); }, "Enum[]"},
        TypeCase{"EnumDuplicatesKept", [] { return enum_of({"b", "a", "b"}); },
                 "Enum[\"a\", \"b\", \"b\"]"},
        TypeCase{"EnumEscapes",
                 [] { return enum_of({"say \"hi\"", "back\\slash"}); },
                 "Enum[\"back\\\\slash\", \"say \\\"hi\\\"\"]"},
        TypeCase{"ObjectEmpty", [] { return object_of({}); },
                 "Object {\n      }"},
        TypeCase{"ObjectSortedWithDefault",
                 [] {
                   std::vector<StateFieldNode> fields;
                   fields.push_back(field("b", array_of(string_type())));
                   fields.push_back(field("a", integer_type(), int_lit(1)));
                   return object_of(std::move(fields));
                 },
                 "Object {\n"
                 "        a: Integer = 1,\n"
                 "        b: Array<String>,\n"
                 "      }"},
        TypeCase{"ObjectInObjectKeepsFixedIndent",
                 [] {
                   std::vector<StateFieldNode> inner;
                   inner.push_back(field("y", enum_of({"q", "p"})));
                   inner.push_back(field("x", integer_type(), int_lit(2)));
                   std::vector<StateFieldNode> outer;
                   outer.push_back(field("z", string_type()));
                   outer.push_back(field("inner", object_of(std::move(inner))));
                   return object_of(std::move(outer));
                 },
                 "Object {\n"
                 "        inner: Object {\n"
                 "        x: Integer = 2,\n"
                 "        y: Enum[\"p\", \"q\"],\n"
                 "      },\n"
                 "        z: String,\n"
                 "      }"},
        TypeCase{"ObjectInsideArrayAndMap",
                 [] {
                   std::vector<StateFieldNode> f1;
                   f1.push_back(field("k", integer_type()));
                   std::vector<StateFieldNode> f2;
                   f2.push_back(field("v", string_type(), str_lit("d")));
                   return map_of(object_of(std::move(f1)),
                                 array_of(object_of(std::move(f2))));
                 },
                 "Map<Object {\n"
                 "        k: Integer,\n"
                 "      }, Array<Object {\n"
                 "        v: String = \"d\",\n"
                 "      }>>"}),
    [](const ::testing::TestParamInfo<TypeCase>& info) {
      return std::string(info.param.name);
    });

// Nesting far beyond what the parser accepts still renders and sorts: the
// walks use an explicit stack, not the call stack.
TEST(CanonicalTypeDepth, VeryDeepTypesRenderWithoutRecursion) {
  constexpr int kDepth = 3000;
  TypeExpression type = enum_of({"z", "y"});
  for (int i = 0; i < kDepth; ++i) type = array_of(std::move(type));
  detail::normalize_type_fields(type);
  std::string out;
  detail::CanonicalWriter writer(out);
  writer.serialize_type_expression(type);
  std::string expected;
  for (int i = 0; i < kDepth; ++i) expected += "Array<";
  expected += "Enum[\"y\", \"z\"]";
  expected.append(kDepth, '>');
  EXPECT_EQ(out, expected);
}

// ---- Rendering of literals ----------------------------------------------------

struct LiteralCase {
  const char* name;
  LiteralValue (*make)();
  const char* expected;
};

void PrintTo(const LiteralCase& c, std::ostream* os) { *os << c.name; }

class CanonicalLiteralTest : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(CanonicalLiteralTest, Renders) {
  std::string out;
  detail::CanonicalWriter writer(out);
  writer.serialize_literal_value(GetParam().make());
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalLiterals, CanonicalLiteralTest,
    ::testing::Values(
        LiteralCase{"String", [] { return str_lit("abc"); }, "\"abc\""},
        LiteralCase{"StringEmpty", [] { return str_lit(""); }, "\"\""},
        LiteralCase{"StringQuoteEscaped", [] { return str_lit("a\"b"); },
                    "\"a\\\"b\""},
        LiteralCase{"StringBackslashEscaped", [] { return str_lit("a\\b"); },
                    "\"a\\\\b\""},
        LiteralCase{"StringBackslashBeforeQuote",
                    [] { return str_lit("\\\""); }, "\"\\\\\\\"\""},
        LiteralCase{"StringNewlineAndTabRaw",
                    [] { return str_lit("a\nb\tc"); }, "\"a\nb\tc\""},
        LiteralCase{"StringNonAsciiRaw",
                    [] { return str_lit("caf\xc3\xa9"); },
                    "\"caf\xc3\xa9\""},
        LiteralCase{"Integer", [] { return int_lit(2); }, "2"},
        LiteralCase{"IntegerZero", [] { return int_lit(0); }, "0"},
        LiteralCase{"IntegerMax",
                    [] { return int_lit(std::numeric_limits<int64_t>::max()); },
                    "9223372036854775807"},
        LiteralCase{"FloatWhole", [] { return float_lit(2.0); }, "2.0"},
        LiteralCase{"FloatTenth", [] { return float_lit(0.1); }, "0.1"},
        LiteralCase{"FloatHalf", [] { return float_lit(0.5); }, "0.5"},
        LiteralCase{"FloatZero", [] { return float_lit(0.0); }, "0.0"},
        LiteralCase{"FloatOne", [] { return float_lit(1.0); }, "1.0"},
        LiteralCase{"FloatTinyPositional", [] { return float_lit(0.0000001); },
                    "0.0000001"},
        LiteralCase{"FloatHugePositional", [] { return float_lit(1e20); },
                    "100000000000000000000.0"},
        LiteralCase{"FloatInfinite",
                    [] {
                      return float_lit(std::numeric_limits<double>::infinity());
                    },
                    "inf.0"},
        LiteralCase{"True", [] { return bool_lit(true); }, "true"},
        LiteralCase{"False", [] { return bool_lit(false); }, "false"},
        LiteralCase{"ArrayEmpty", [] { return array_lit({}); }, "[]"},
        LiteralCase{"ArrayMixedNested",
                    [] {
                      return array_lit({int_lit(1), str_lit("a"),
                                        array_lit({bool_lit(true)})});
                    },
                    "[1, \"a\", [true]]"},
        LiteralCase{"ArrayKeepsOrder",
                    [] {
                      return array_lit({int_lit(3), int_lit(1), float_lit(2.0),
                                        array_lit({}), str_lit("\"")});
                    },
                    "[3, 1, 2.0, [], \"\\\"\"]"}),
    [](const ::testing::TestParamInfo<LiteralCase>& info) {
      return std::string(info.param.name);
    });

TEST(CanonicalLiteralDepth, VeryDeepArraysRenderWithoutRecursion) {
  constexpr int kDepth = 3000;
  LiteralValue value = int_lit(7);
  for (int i = 0; i < kDepth; ++i) {
    std::vector<LiteralValue> one;
    one.push_back(std::move(value));
    value = array_lit(std::move(one));
  }
  std::string out;
  detail::CanonicalWriter writer(out);
  writer.serialize_literal_value(value);
  EXPECT_EQ(out, std::string(kDepth, '[') + "7" + std::string(kDepth, ']'));
}

// Escapes are found wherever they fall relative to word boundaries, and
// bytes that are neither escape (non-ASCII ones included) pass unchanged.
TEST(CanonicalLiteralEscapes, EveryPositionInLongTexts) {
  const std::string filler = "ab\xc3\xa9\xa2\xdc\x22x";  // mixed bytes, one quote
  for (size_t length = 1; length <= 24; ++length) {
    for (size_t at = 0; at < length; ++at) {
      for (const char special : {'"', '\\'}) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text += 'a' + static_cast<char>(i % 26);
        text[at] = special;
        std::string out;
        detail::CanonicalWriter writer(out);
        writer.write_quoted(text);
        const std::string expected = "\"" + text.substr(0, at) + "\\" +
                                     special + text.substr(at + 1) + "\"";
        ASSERT_EQ(out, expected) << "length " << length << " at " << at;
      }
    }
  }
  std::string out;
  detail::CanonicalWriter writer(out);
  writer.write_quoted(filler + filler);
  EXPECT_EQ(out, "\"ab\xc3\xa9\xa2\xdc\\\"xab\xc3\xa9\xa2\xdc\\\"x\"");
}

// ---- Field helpers --------------------------------------------------------------

TEST(CanonicalFields, IntegerFieldLines) {
  const struct {
    int indent;
    const char* name;
    int64_t value;
    const char* expected;
  } cases[] = {
      {4, "version", 1, "    version: 1,"},
      {6, "max_memory_bytes", 0, "      max_memory_bytes: 0,"},
      {6, "computation_timeout_ms", std::numeric_limits<int64_t>::max(),
       "      computation_timeout_ms: 9223372036854775807,"},
      {6, "max_state_size_bytes", -5, "      max_state_size_bytes: -5,"},
      {4, "version", 4294967296, "    version: 4294967296,"},
  };
  for (const auto& c : cases) {
    std::string out;
    detail::CanonicalWriter writer(out);
    writer.write_field_int(c.indent, c.name, c.value);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(CanonicalFields, FloatFieldLines) {
  const struct {
    double value;
    const char* expected;
  } cases[] = {
      {0.5, "    confidence_level: 0.5,"},
      {1.0, "    confidence_level: 1.0,"},
      {0.0, "    confidence_level: 0.0,"},
      {0.95, "    confidence_level: 0.95,"},
      {0.0000001, "    confidence_level: 0.0000001,"},
  };
  for (const auto& c : cases) {
    std::string out;
    detail::CanonicalWriter writer(out);
    writer.write_field_float(c.value);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(CanonicalFields, StringLists) {
  const struct {
    std::vector<std::string> items;
    const char* expected;
  } cases[] = {
      {{}, "[]"},
      {{"a"}, "[\"a\"]"},
      {{"a", "b"}, "[\"a\", \"b\"]"},
      {{"", "x y"}, "[\"\", \"x y\"]"},
      {{"q\"", "\\"}, "[\"q\\\"\", \"\\\\\"]"},
  };
  for (const auto& c : cases) {
    std::string out;
    detail::CanonicalWriter writer(out);
    writer.serialize_string_list(texts(c.items));
    EXPECT_EQ(out, c.expected);
  }
}

// ---- Canonical order ------------------------------------------------------------

struct OrderCase {
  const char* name;
  std::vector<std::string> input;
  std::vector<std::string> expected;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class CanonicalOrderTest : public ::testing::TestWithParam<OrderCase> {};

std::vector<std::string> values_of(const std::vector<SpannedText>& list) {
  std::vector<std::string> out;
  for (const SpannedText& t : list) out.push_back(t.value);
  return out;
}

TEST_P(CanonicalOrderTest, SortsTextsByBytes) {
  std::vector<SpannedText> list = texts(GetParam().input);
  detail::sort_texts(list);
  EXPECT_EQ(values_of(list), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalOrders, CanonicalOrderTest,
    ::testing::Values(
        OrderCase{"Empty", {}, {}},
        OrderCase{"Single", {"x"}, {"x"}},
        OrderCase{"Reversed", {"c", "b", "a"}, {"a", "b", "c"}},
        OrderCase{"PrefixFirst", {"ab", "a", "abc", ""}, {"", "a", "ab", "abc"}},
        OrderCase{"UpperBeforeLower", {"a", "B", "_", "Z"}, {"B", "Z", "_", "a"}},
        OrderCase{"DigitsAsBytes", {"10", "9", "1"}, {"1", "10", "9"}},
        // Non-ASCII bytes are above every ASCII byte: unsigned comparison.
        OrderCase{"NonAsciiLast",
                  {"\xc3\xa9t\xc3\xa9", "zebra", "\x7f"},
                  {"zebra", "\x7f", "\xc3\xa9t\xc3\xa9"}},
        OrderCase{"DuplicatesKeptTogether",
                  {"b", "a", "b", "a"},
                  {"a", "a", "b", "b"}},
        OrderCase{"SpaceAndPunctuation",
                  {"a b", "a", "a-b", "a!"},
                  {"a", "a b", "a!", "a-b"}}),
    [](const ::testing::TestParamInfo<OrderCase>& info) {
      return std::string(info.param.name);
    });

// Equal keys keep their source order: the second field named x stays second.
TEST(CanonicalOrder, EqualNamesKeepSourceOrder) {
  ContractNode tree = bare_contract();
  tree.data_semantics.state.push_back(field("x", string_type()));
  tree.data_semantics.state.push_back(field("a", integer_type()));
  tree.data_semantics.state.push_back(field("x", integer_type(), int_lit(1)));
  detail::sort_tree(tree);
  const auto& state = tree.data_semantics.state;
  ASSERT_EQ(state.size(), 3u);
  EXPECT_EQ(state[0].name.value, "a");
  EXPECT_EQ(state[1].type.text(), "String");
  EXPECT_EQ(state[2].type.text(), "Integer");
  EXPECT_TRUE(state[2].default_value.has_value());
}

// Short and long lists take different sorting paths; both must be stable.
TEST(CanonicalOrder, StableForShortAndLongLists) {
  for (const size_t size : {2u, 3u, 16u, 17u, 50u}) {
    std::vector<SpannedText> list;
    for (size_t i = 0; i < size; ++i) {
      // Keys cycle through c, a, b; the offset records the source position.
      list.push_back(SpannedText{std::string(1, "cab"[i % 3]), Span{1, 1, i}});
    }
    detail::sort_texts(list);
    ASSERT_EQ(list.size(), size);
    for (size_t i = 1; i < size; ++i) {
      const SpannedText& prev = list[i - 1];
      const SpannedText& cur = list[i];
      ASSERT_LE(prev.value, cur.value) << "size " << size;
      if (prev.value == cur.value) {
        EXPECT_LT(prev.span.offset, cur.span.offset) << "size " << size;
      }
    }
  }
}

TEST(CanonicalOrder, SpansStayWithTheirItems) {
  std::vector<SpannedText> list = {SpannedText{"b", Span{1, 2, 3}},
                                   SpannedText{"a", Span{4, 5, 6}}};
  detail::sort_texts(list);
  EXPECT_EQ(list[0].span, (Span{4, 5, 6}));
  EXPECT_EQ(list[1].span, (Span{1, 2, 3}));
}

// ---- The full canonical text ------------------------------------------------------

// A contract using every construct, written in anything but canonical order.
ContractNode full_contract() {
  ContractNode c = bare_contract();
  c.identity.stable_id = txt("payments.ledger");
  c.identity.version = SpannedInt{3, {}};
  c.identity.owner = txt("Ledger \"core\" team");
  c.identity.semantic_hash = txt("deadbeef");
  c.purpose_statement.narrative = txt("Keeps\nbalances");
  c.purpose_statement.intent_source = txt("C:\\specs\\ledger");
  c.purpose_statement.confidence_level = SpannedDouble{0.95, {}};

  std::vector<StateFieldNode> address;
  address.push_back(field("zip", string_type()));
  std::vector<StateFieldNode> inner;
  inner.push_back(field("street", string_type(), str_lit("Main")));
  inner.push_back(field("geo", object_of({})));
  address.push_back(field("city", object_of(std::move(inner))));
  c.data_semantics.state.push_back(field("owner_info", object_of(std::move(address))));
  c.data_semantics.state.push_back(
      field("balance", prim(PrimitiveType::kFloat), float_lit(0.0)));
  c.data_semantics.state.push_back(field("status", enum_of({"open", "closed"}),
                                         str_lit("open")));
  c.data_semantics.state.push_back(
      field("tags", array_of(string_type()),
            array_lit({str_lit("x"), int_lit(2), array_lit({bool_lit(false)})})));
  c.data_semantics.state.push_back(
      field("limits", map_of(string_type(), integer_type())));
  c.data_semantics.invariants = texts({"balance >= 0", "count >= 0", "balance >= 0"});

  OperationNode withdraw = operation("withdraw");
  withdraw.precondition = txt("amount <= balance");
  withdraw.postcondition = txt("balance >= 0");
  withdraw.idempotence = txt("non-idempotent");
  withdraw.parameters.push_back(field("note", string_type(), str_lit("n/a")));
  withdraw.parameters.push_back(field("amount", prim(PrimitiveType::kFloat)));
  withdraw.side_effects = texts({"write ledger", "emit event"});
  OperationNode audit = operation("audit");
  c.behavioral_semantics.operations.push_back(std::move(withdraw));
  c.behavioral_semantics.operations.push_back(std::move(audit));

  c.execution_constraints.trigger_types = texts({"manual", "api"});
  c.execution_constraints.external_permissions = texts({});
  c.human_machine_contract.system_commitments = texts({"log", "audit"});
  c.human_machine_contract.system_refusals = texts({});
  c.human_machine_contract.user_obligations = texts({"review"});

  ExtensionsNode ext;
  ext.systems.push_back(system_ext(
      "monitoring", {custom("window", float_lit(1e20)), custom("alert", bool_lit(true))}));
  ext.systems.push_back(system_ext("audit", {}));
  ext.systems.push_back(system_ext(
      "billing", {custom("tier", str_lit("gold")),
                  custom("codes", array_lit({int_lit(1), int_lit(2)}))}));
  c.extensions = std::move(ext);
  return c;
}

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

// Replaces the 64-character value on the semantic_hash line.
std::string with_hash(std::string text, const std::string& hash) {
  const std::string marker = "    semantic_hash: \"";
  const size_t at = text.find(marker);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) text.replace(at + marker.size(), 64, hash);
  return text;
}

bool is_lower_hex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

struct FullTextCase {
  const char* name;
  ContractNode (*make)();
  const char* expected_blanked;
};

void PrintTo(const FullTextCase& c, std::ostream* os) { *os << c.name; }

class CanonicalTextTest : public ::testing::TestWithParam<FullTextCase> {};

TEST_P(CanonicalTextTest, NormalisedTreeRendersExactly) {
  const std::string expected_blanked = GetParam().expected_blanked;
  const ContractNode normalised = normalize_ast(GetParam().make());
  const std::string& hash = normalised.identity.semantic_hash.value;
  EXPECT_TRUE(is_lower_hex64(hash)) << hash;
  EXPECT_EQ(normalised.identity.semantic_hash.span, (Span{0, 0, 0}));
  // The hash is the digest of the blanked text.
  const detail::HashText digest = detail::sha256_hex(expected_blanked);
  EXPECT_EQ(hash, std::string(digest.data(), digest.size()));
  EXPECT_EQ(serialize_canonical(normalised), with_hash(expected_blanked, hash));
  EXPECT_EQ(compute_semantic_hash(normalised), hash);
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalContracts, CanonicalTextTest,
    ::testing::Values(
        FullTextCase{"EveryConstruct", full_contract, kFullCanonicalBlanked},
        FullTextCase{"NoStateNoOperationsNoExtensions", bare_contract,
                     kBareCanonicalBlanked}),
    [](const ::testing::TestParamInfo<FullTextCase>& info) {
      return std::string(info.param.name);
    });

TEST(CanonicalText, EmptyExtensionsSectionIsStillWritten) {
  ContractNode tree = bare_contract();
  tree.extensions = ExtensionsNode{};
  detail::sort_tree(tree);
  EXPECT_EQ(render_with_hash(std::move(tree), kZeros),
            std::string(kBareCanonicalBlanked) + "\nExtensions {\n}\n");
}

TEST(CanonicalText, SerializeDoesNotSort) {
  ContractNode tree = bare_contract();
  tree.data_semantics.invariants = texts({"b", "a"});
  const std::string text = serialize_canonical(tree);
  EXPECT_NE(text.find("    invariants: [\"b\", \"a\"],\n"), std::string::npos);
}

TEST(CanonicalText, WrittenHashValueIsEscapedLikeAnyText) {
  EXPECT_NE(render_with_hash(bare_contract(), "a\"b\\")
                .find("    semantic_hash: \"a\\\"b\\\\\",\n"),
            std::string::npos);
}

// ---- The hash --------------------------------------------------------------------

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
    const detail::HashText hex = detail::sha256_hex(c.input);
    EXPECT_EQ(std::string(hex.data(), hex.size()), c.expected) << c.input;
  }
}

TEST(CanonicalHash, ComputeDoesNotChangeTheTree) {
  const ContractNode tree = full_contract();
  const std::string before = serialize_canonical(tree);
  (void)compute_semantic_hash(tree);
  EXPECT_EQ(serialize_canonical(tree), before);
  EXPECT_EQ(tree.identity.semantic_hash.value, "deadbeef");
}

TEST(CanonicalHash, WrittenHashNeverMatters) {
  const char* written[] = {"", "deadbeef", "a\"b", kZeros.c_str(),
                           "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"};
  const std::string reference = serialize_canonical(normalize_ast(full_contract()));
  for (const char* hash : written) {
    ContractNode tree = full_contract();
    tree.identity.semantic_hash = SpannedText{hash, Span{7, 8, 9}};
    EXPECT_EQ(serialize_canonical(normalize_ast(std::move(tree))), reference)
        << hash;
  }
}

TEST(CanonicalHash, NormalisingTwiceChangesNothing) {
  const ContractNode once = normalize_ast(full_contract());
  ContractNode copy = full_contract();
  const ContractNode twice = normalize_ast(normalize_ast(std::move(copy)));
  EXPECT_EQ(serialize_canonical(twice), serialize_canonical(once));
}

// Every way of writing the same lists in another order.
struct ReorderCase {
  const char* name;
  void (*reorder)(ContractNode&);
};

void PrintTo(const ReorderCase& c, std::ostream* os) { *os << c.name; }

class CanonicalReorderTest : public ::testing::TestWithParam<ReorderCase> {};

TEST_P(CanonicalReorderTest, SameTextAndHash) {
  ContractNode reordered = full_contract();
  GetParam().reorder(reordered);
  const ContractNode a = normalize_ast(full_contract());
  const ContractNode b = normalize_ast(std::move(reordered));
  EXPECT_EQ(b.identity.semantic_hash.value, a.identity.semantic_hash.value);
  EXPECT_EQ(serialize_canonical(b), serialize_canonical(a));
}

template <typename T>
void reverse(std::vector<T>& v) {
  std::reverse(v.begin(), v.end());
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalReorders, CanonicalReorderTest,
    ::testing::Values(
        ReorderCase{"State", [](ContractNode& c) { reverse(c.data_semantics.state); }},
        ReorderCase{"Invariants",
                    [](ContractNode& c) { reverse(c.data_semantics.invariants); }},
        ReorderCase{"Operations",
                    [](ContractNode& c) {
                      reverse(c.behavioral_semantics.operations);
                    }},
        ReorderCase{"Parameters",
                    [](ContractNode& c) {
                      for (auto& op : c.behavioral_semantics.operations) {
                        reverse(op.parameters);
                      }
                    }},
        ReorderCase{"SideEffects",
                    [](ContractNode& c) {
                      for (auto& op : c.behavioral_semantics.operations) {
                        reverse(op.side_effects);
                      }
                    }},
        ReorderCase{"TriggerTypes",
                    [](ContractNode& c) {
                      reverse(c.execution_constraints.trigger_types);
                    }},
        ReorderCase{"Commitments",
                    [](ContractNode& c) {
                      reverse(c.human_machine_contract.system_commitments);
                    }},
        ReorderCase{"ObjectFieldsAtEveryDepth",
                    [](ContractNode& c) {
                      for (auto& f : c.data_semantics.state) {
                        if (f.name.value != "owner_info") continue;
                        reverse(f.type.fields);
                        for (auto& g : f.type.fields) reverse(g.type.fields);
                      }
                    }},
        ReorderCase{"EnumVariants",
                    [](ContractNode& c) {
                      for (auto& f : c.data_semantics.state) {
                        reverse(f.type.variants);
                      }
                    }},
        ReorderCase{"ExtensionSystems",
                    [](ContractNode& c) { reverse(c.extensions->systems); }},
        ReorderCase{"ExtensionFields",
                    [](ContractNode& c) {
                      for (auto& s : c.extensions->systems) reverse(s.fields);
                    }},
        ReorderCase{"SpansOnly",
                    [](ContractNode& c) {
                      c.span = Span{9, 9, 99};
                      c.identity.owner.span = Span{3, 4, 5};
                      c.data_semantics.state[0].span = Span{2, 2, 2};
                    }}),
    [](const ::testing::TestParamInfo<ReorderCase>& info) {
      return std::string(info.param.name);
    });

// Every change of meaning: a text, a number, a type, a default, the order of
// characters inside a text, or the presence of extensions.
struct ChangeCase {
  const char* name;
  void (*change)(ContractNode&);
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

class CanonicalChangeTest : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(CanonicalChangeTest, ChangesTheHash) {
  ContractNode changed = full_contract();
  GetParam().change(changed);
  const ContractNode a = normalize_ast(full_contract());
  const ContractNode b = normalize_ast(std::move(changed));
  EXPECT_NE(b.identity.semantic_hash.value, a.identity.semantic_hash.value);
  EXPECT_NE(serialize_canonical(b), serialize_canonical(a));
}

StateFieldNode& state_named(ContractNode& c, const char* name) {
  for (auto& f : c.data_semantics.state) {
    if (f.name.value == name) return f;
  }
  ADD_FAILURE() << "no state field " << name;
  return c.data_semantics.state.front();
}

INSTANTIATE_TEST_SUITE_P(
    CanonicalChanges, CanonicalChangeTest,
    ::testing::Values(
        ChangeCase{"StableId", [](ContractNode& c) { c.identity.stable_id.value += "x"; }},
        ChangeCase{"Version", [](ContractNode& c) { c.identity.version.value = 4; }},
        ChangeCase{"Timestamp",
                   [](ContractNode& c) {
                     c.identity.created_timestamp.value = "2024-01-15T10:30:01Z";
                   }},
        ChangeCase{"Owner", [](ContractNode& c) { c.identity.owner.value = "x"; }},
        ChangeCase{"Narrative",
                   [](ContractNode& c) { c.purpose_statement.narrative.value = "N"; }},
        ChangeCase{"IntentSource",
                   [](ContractNode& c) {
                     c.purpose_statement.intent_source.value = "";
                   }},
        ChangeCase{"Confidence",
                   [](ContractNode& c) {
                     c.purpose_statement.confidence_level.value = 0.9500000000000001;
                   }},
        ChangeCase{"CharactersSwappedInText",
                   [](ContractNode& c) {
                     c.data_semantics.invariants[1].value = "cuont >= 0";
                   }},
        ChangeCase{"InvariantAdded",
                   [](ContractNode& c) {
                     c.data_semantics.invariants.push_back(txt("count >= 0"));
                   }},
        ChangeCase{"StateFieldRenamed",
                   [](ContractNode& c) { state_named(c, "limits").name.value = "limit"; }},
        ChangeCase{"PrimitiveType",
                   [](ContractNode& c) {
                     state_named(c, "balance").type = integer_type();
                   }},
        ChangeCase{"MapValueType",
                   [](ContractNode& c) {
                     *state_named(c, "limits").type.value = string_type();
                   }},
        ChangeCase{"EnumVariant",
                   [](ContractNode& c) {
                     state_named(c, "status").type.variants[0].value = "shut";
                   }},
        ChangeCase{"DefaultValue",
                   [](ContractNode& c) {
                     state_named(c, "balance").default_value = float_lit(1.0);
                   }},
        ChangeCase{"DefaultKindIntegerForFloat",
                   [](ContractNode& c) {
                     state_named(c, "balance").default_value = int_lit(0);
                   }},
        ChangeCase{"DefaultRemoved",
                   [](ContractNode& c) {
                     state_named(c, "status").default_value.reset();
                   }},
        ChangeCase{"DefaultAdded",
                   [](ContractNode& c) {
                     state_named(c, "limits").default_value = array_lit({});
                   }},
        ChangeCase{"NestedDefaultElement",
                   [](ContractNode& c) {
                     state_named(c, "tags").default_value->elements[2].elements[0] =
                         bool_lit(true);
                   }},
        ChangeCase{"ObjectFieldType",
                   [](ContractNode& c) {
                     state_named(c, "owner_info").type.fields[0].type =
                         integer_type();
                   }},
        ChangeCase{"OperationPrecondition",
                   [](ContractNode& c) {
                     c.behavioral_semantics.operations[0].precondition.value =
                         "amount < balance";
                   }},
        ChangeCase{"ParameterDefault",
                   [](ContractNode& c) {
                     c.behavioral_semantics.operations[0].parameters[0]
                         .default_value = str_lit("N/A");
                   }},
        ChangeCase{"Idempotence",
                   [](ContractNode& c) {
                     c.behavioral_semantics.operations[1].idempotence.value = "x";
                   }},
        ChangeCase{"Limit",
                   [](ContractNode& c) {
                     c.execution_constraints.resource_limits.max_memory_bytes.value =
                         1025;
                   }},
        ChangeCase{"SandboxMode",
                   [](ContractNode& c) {
                     c.execution_constraints.sandbox_mode.value = "none";
                   }},
        ChangeCase{"Permission",
                   [](ContractNode& c) {
                     c.execution_constraints.external_permissions.push_back(txt("net"));
                   }},
        ChangeCase{"Obligation",
                   [](ContractNode& c) {
                     c.human_machine_contract.user_obligations[0].value = "Review";
                   }},
        ChangeCase{"ItemMovedBetweenLists",
                   [](ContractNode& c) {
                     auto& hmc = c.human_machine_contract;
                     hmc.system_refusals.push_back(hmc.user_obligations.back());
                     hmc.user_obligations.pop_back();
                   }},
        ChangeCase{"ExtensionsRemoved",
                   [](ContractNode& c) { c.extensions.reset(); }},
        ChangeCase{"ExtensionValue",
                   [](ContractNode& c) {
                     c.extensions->systems[2].fields[0].value = str_lit("silver");
                   }},
        ChangeCase{"ExtensionFloatVersusInteger",
                   [](ContractNode& c) {
                     c.extensions->systems[0].fields[0].value = int_lit(1);
                     c.extensions->systems[1].fields.push_back(custom("n", float_lit(1.0)));
                   }}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) {
      return std::string(info.param.name);
    });

// Without escaping these two render identically; they mean different things.
TEST(CanonicalHash, QuotesInTextsCannotForgeOtherFields) {
  ContractNode first = bare_contract();
  first.purpose_statement.intent_source = txt("a\",\n    narrative: \"b");
  first.purpose_statement.narrative = txt("c");
  ContractNode second = bare_contract();
  second.purpose_statement.intent_source = txt("a");
  second.purpose_statement.narrative = txt("b\",\n    narrative: \"c");

  const ContractNode a = normalize_ast(std::move(first));
  const ContractNode b = normalize_ast(std::move(second));
  EXPECT_NE(a.identity.semantic_hash.value, b.identity.semantic_hash.value);
  const std::string text_a = serialize_canonical(a);
  EXPECT_NE(text_a, serialize_canonical(b));
  EXPECT_NE(text_a.find("    intent_source: \"a\\\",\n    narrative: \\\"b\",\n"
                        "    narrative: \"c\",\n"),
            std::string::npos)
      << text_a;
}

TEST(CanonicalHash, ListBoundariesCannotBeForged) {
  // ["a", "b"] against the single item a", "b.
  ContractNode two = bare_contract();
  two.data_semantics.invariants = texts({"a", "b"});
  ContractNode one = bare_contract();
  one.data_semantics.invariants = texts({"a\", \"b"});
  EXPECT_NE(normalize_ast(std::move(two)).identity.semantic_hash.value,
            normalize_ast(std::move(one)).identity.semantic_hash.value);
}


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

std::string hash_line_of(const std::string& canonical) {
  const std::string marker = "    semantic_hash: \"";
  const size_t at = canonical.find(marker);
  if (at == std::string::npos) return "";
  return canonical.substr(at + marker.size(), 64);
}

std::string normalized(std::string_view text) {
  Result<std::string> result = normalize(text);
  EXPECT_TRUE(result.ok()) << result.error().to_string();
  return result.ok() ? result.value() : std::string();
}

TEST(CanonicalFromText, FullContractRendersExactly) {
  const detail::HashText digest = detail::sha256_hex(kFullCanonicalBlanked);
  const std::string hash(digest.data(), digest.size());
  EXPECT_EQ(normalized(kFullSource), with_hash(kFullCanonicalBlanked, hash));
  Result<std::string> hashed = semantic_hash(kFullSource);
  ASSERT_TRUE(hashed.ok());
  EXPECT_EQ(hashed.value(), hash);
}

TEST(CanonicalFromText, AgreesWithTheTreeFunctions) {
  Result<ContractNode> tree = parse(kFullSource);
  ASSERT_TRUE(tree.ok());
  const ContractNode normalised = normalize_ast(std::move(tree.value()));
  EXPECT_EQ(normalized(kFullSource), serialize_canonical(normalised));
  EXPECT_EQ(compute_semantic_hash(normalised),
            normalised.identity.semantic_hash.value);
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

}  // namespace
}  // namespace qel
