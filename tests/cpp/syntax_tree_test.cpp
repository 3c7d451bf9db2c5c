// The syntax tree: node layout as compact dumps of contract texts, every
// byte kept in tokens and gaps, positions against a plain count, and the
// typed views, last written field first.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "qel/api.h"
#include "qel/error.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "syntax/tokenizer.h"

namespace qel {
namespace {

// A valid contract; `state` and `extensions` replace the state block's
// inside and what follows the contract.
std::string contract_text(std::string_view state,
                          std::string_view extensions = "") {
  std::string t =
      "Contract {\n"
      "  Identity { stable_id: \"s\" version: 1 created_timestamp: \"t\" "
      "owner: \"o\" semantic_hash: \"h\" }\n"
      "  PurposeStatement { narrative: \"n\" intent_source: \"i\" "
      "confidence_level: 0.5 }\n"
      "  DataSemantics { state: { ";
  t += state;
  t += " } invariants: [] }\n"
       "  BehavioralSemantics { operations: [] }\n"
       "  ExecutionConstraints { trigger_types: [] resource_limits: { "
       "max_memory_bytes: 1 computation_timeout_ms: 2 max_state_size_bytes: 3 "
       "} external_permissions: [] sandbox_mode: \"m\" }\n"
       "  HumanMachineContract { system_commitments: [] system_refusals: [] "
       "user_obligations: [] }\n}";
  t += extensions;
  return t;
}

// The tree refers to `text`, which must outlive it.
SyntaxTree parse_ok(std::string_view text) {
  Result<SyntaxTree> tree = parse_tree(text);
  EXPECT_TRUE(tree.ok()) << tree.error().to_string();
  return tree.ok() ? std::move(tree).value() : SyntaxTree();
}

// A node as its kind (a field with its name), the text of its tokens, and
// its children in parentheses: Kind"tokens"(children).
void dump_node(const SyntaxTree& tree, uint32_t index, std::string& out) {
  const SyntaxTree::Node& n = tree.node(index);
  out += node_kind_name(n.kind);
  out += '"';
  for (uint32_t t = n.first_token; t <= n.last_token; ++t) {
    if (t != n.first_token) out += ' ';
    out += tree.token_text(t);
  }
  out += '"';
  if (index + 1 == n.next) return;
  out += '(';
  for (uint32_t c = index + 1; c < n.next; c = tree.node(c).next) {
    if (c != index + 1) out += ' ';
    dump_node(tree, c, out);
  }
  out += ')';
}

// The state block's field nodes, or the error.
std::string dump_state(std::string_view state) {
  const std::string text = contract_text(state);
  Result<SyntaxTree> tree = parse_tree(text);
  if (!tree.ok()) return tree.error().to_string();
  const syntax::StateFields fields = tree->contract().data_semantics().state();
  std::string out;
  for (const syntax::StateField f : fields) {
    if (!out.empty()) out += ' ';
    dump_node(*tree, f.index(), out);
  }
  return out;
}

struct DumpCase {
  const char* name;
  std::string state;
  std::string expected;
};

void PrintTo(const DumpCase& c, std::ostream* os) { *os << c.name; }

class SyntaxTreeDumpTest : public ::testing::TestWithParam<DumpCase> {};

TEST_P(SyntaxTreeDumpTest, StateFieldNodes) {
  EXPECT_EQ(dump_state(GetParam().state), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, SyntaxTreeDumpTest,
    ::testing::Values(
        DumpCase{"primitive_is_a_token", "x: Integer",
                 "StateField\"x : Integer\""},
        DumpCase{"scalar_default_is_a_token", "x: Integer = 5,",
                 "StateField\"x : Integer = 5\""},
        DumpCase{"repeated_names_are_kept", "x: Integer x: String",
                 "StateField\"x : Integer\" StateField\"x : String\""},
        DumpCase{"nested_types",
                 "m: Map<String, Array<Integer>>",
                 "StateField\"m : Map < String , Array < Integer > >\"("
                 "MapType\"Map < String , Array < Integer > >\"("
                 "ArrayType\"Array < Integer >\"))"},
        DumpCase{"object_fields_and_enum",
                 "o: Object { a: Enum [\"x\", \"y\",] = \"x\" b: Float }",
                 "StateField\"o : Object { a : Enum [ \"x\" , \"y\" , ] = \"x\" "
                 "b : Float }\"(ObjectType\"Object { a : Enum [ \"x\" , \"y\" , "
                 "] = \"x\" b : Float }\"(StateField\"a : Enum [ \"x\" , \"y\" , "
                 "] = \"x\"\"(EnumType\"Enum [ \"x\" , \"y\" , ]\") "
                 "StateField\"b : Float\"))"},
        DumpCase{"array_default_after_composite_type",
                 "a: Array<Integer> = [1, [2, []], 3]",
                 "StateField\"a : Array < Integer > = [ 1 , [ 2 , [ ] ] , 3 ]\"("
                 "ArrayType\"Array < Integer >\" ArrayLiteral\"[ 1 , [ 2 , [ ] ] , "
                 "3 ]\"(ArrayLiteral\"[ 2 , [ ] ]\"(ArrayLiteral\"[ ]\")))"},
        DumpCase{"comments_inside_a_node_stay_in_its_range",
                 "x // why\n : // type\n Integer // after\n",
                 "StateField\"x // why : // type Integer\""},
        DumpCase{"error_is_the_parsers",
                 "x: Integer = yes",
                 "Parse error: Expected literal value, found Identifier(\"yes\") "
                 "at 4:41"}));

// The whole document of a small contract: sections, fields numbered by the
// block they sit in, the operations list as one field, extensions after
// the contract.
TEST(SyntaxTreeLayout, DocumentAndSections) {
  const std::string text =
      "// head\nContract { Identity { owner: \"a\" stable_id: \"s\" version: 1 "
      "created_timestamp: \"t\" semantic_hash: \"h\" owner: \"b\" } "
      "PurposeStatement { narrative: \"n\" intent_source: \"i\" "
      "confidence_level: 0.5 } DataSemantics { state: {} invariants: [] } "
      "BehavioralSemantics { operations: [ { name: \"op\" precondition: \"p\" "
      "parameters: {} postcondition: \"q\" side_effects: [] idempotence: \"i\" "
      "}, ], } ExecutionConstraints { trigger_types: [] resource_limits: { "
      "max_memory_bytes: 1 computation_timeout_ms: 2 max_state_size_bytes: 3 } "
      "external_permissions: [] sandbox_mode: \"m\" } HumanMachineContract { "
      "system_commitments: [] system_refusals: [] user_obligations: [] } }\n"
      "Extensions { sys { f: [1] } } trailing";
  const SyntaxTree tree = parse_ok(text);
  std::string kinds;
  for (uint32_t i = 0; i < tree.node_count(); ++i) {
    const SyntaxTree::Node& n = tree.node(i);
    if (!kinds.empty()) kinds += ' ';
    kinds += node_kind_name(n.kind);
    if (n.kind == NodeKind::kField) {
      kinds += ':';
      kinds += tree.token_text(n.first_token);
      kinds += '#';
      kinds += std::to_string(n.field);
    }
  }
  EXPECT_EQ(kinds,
            "Document Contract Identity Field:owner#3 Field:stable_id#0 "
            "Field:version#1 Field:created_timestamp#2 Field:semantic_hash#4 "
            "Field:owner#3 PurposeStatement Field:narrative#0 "
            "Field:intent_source#1 Field:confidence_level#2 DataSemantics "
            "Field:state#0 Field:invariants#1 BehavioralSemantics "
            "Field:operations#0 Operation Field:name#0 Field:precondition#1 "
            "Field:parameters#2 Field:postcondition#3 Field:side_effects#4 "
            "Field:idempotence#5 ExecutionConstraints Field:trigger_types#0 "
            "Field:resource_limits#1 Field:max_memory_bytes#0 "
            "Field:computation_timeout_ms#1 Field:max_state_size_bytes#2 "
            "Field:external_permissions#2 Field:sandbox_mode#3 "
            "HumanMachineContract Field:system_commitments#0 "
            "Field:system_refusals#1 Field:user_obligations#2 Extensions "
            "SystemExtension CustomField ArrayLiteral");
  // The document covers every token, the leading comment and what follows
  // the contract included; the contract ends at its closing brace.
  EXPECT_EQ(tree.node(0).first_token, 0u);
  EXPECT_EQ(tree.node(0).last_token, tree.token_count() - 1);
  EXPECT_EQ(tree.token_kind(tree.node(0).last_token), TokenKind::kEof);
  EXPECT_EQ(tree.token_text(tree.node(1).first_token), "Contract");
  EXPECT_EQ(tree.token_text(tree.node(1).last_token), "}");
  EXPECT_EQ(tree.token_kind(tree.node(1).last_token + 1), TokenKind::kExtensions);
  // Separators after an operation and after the list are outside the
  // nodes: the operations field ends at its bracket.
  const syntax::BehavioralSemantics behavior =
      tree.contract().behavioral_semantics();
  const SyntaxTree::Node& operations = tree.node(behavior.index() + 1);
  EXPECT_EQ(tree.token_text(operations.last_token), "]");
}

// ---- Losslessness ---------------------------------------------------------

// Tokens and the gaps between them give back the text byte for byte, and
// every gap is whitespace.
TEST(SyntaxTreeTokens, TokensAndGapsAreTheText) {
  const std::vector<std::string> texts = {
      contract_text("x: Integer = 1 // one\r\n  y: String = \"a\\\"b\\n\"\t",
                    "\n// tail \xE2\x82\xAC\nExtensions { s { t: "
                    "2026-01-15T10:30:00Z, u: [true, 1.5] } }\n// last"),
      contract_text("// \xC3\xA9\xC3\xA9 only a comment\n"),
  };
  for (const std::string& text : texts) {
    Result<SyntaxTree> tree = parse_tree(text);
    ASSERT_TRUE(tree.ok()) << tree.error().to_string();
    std::string rebuilt;
    uint32_t previous_end = 0;
    for (uint32_t i = 0; i < tree->token_count(); ++i) {
      const std::string_view gap = std::string_view(text).substr(
          previous_end, tree->token_offset(i) - previous_end);
      EXPECT_EQ(gap.find_first_not_of(" \t\r\n\f"), std::string_view::npos)
          << "gap before token " << i;
      rebuilt += gap;
      rebuilt += tree->token_text(i);
      previous_end = tree->token_end(i);
    }
    EXPECT_EQ(rebuilt, text);
  }
}

TEST(SyntaxTreeTokens, CommentsAreTokensTheGrammarSkips) {
  const std::string text =
      "// a\n" + contract_text("x: Integer // b\n y: Float = 1.0") + " // c";
  const SyntaxTree tree = parse_ok(text);
  std::vector<std::string> comments;
  for (uint32_t i = 0; i < tree.token_count(); ++i) {
    if (tree.token_kind(i) == TokenKind::kComment) {
      comments.emplace_back(tree.token_text(i));
    }
  }
  EXPECT_EQ(comments, (std::vector<std::string>{"// a", "// b", "// c"}));
  EXPECT_EQ(tree.token_kind(tree.token_count() - 1), TokenKind::kEof);
  EXPECT_EQ(tree.token_offset(tree.token_count() - 1), text.size());
}

// A comment between any two tokens changes nothing but the tree's tokens.
TEST(SyntaxTreeTokens, CommentAfterEveryTokenReadsTheSame) {
  const std::string plain = contract_text(
      "x: Map<String, Array<Integer>> = [1, [2]] o: Object { a: Enum "
      "[\"p\", \"q\"] = \"p\" }",
      " Extensions { s { f: [1, [true]], g: 2 } }");
  const SyntaxTree tree = parse_ok(plain);
  std::string commented;
  for (uint32_t i = 0; i + 1 < tree.token_count(); ++i) {
    commented += tree.token_text(i);
    commented += " // c\n";
  }
  Result<std::string> a = parse_contract_json(plain);
  Result<std::string> b = parse_contract_json(commented);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(*a, *b);
  const SyntaxTree again = parse_ok(commented);
  const syntax::StateFields state = again.contract().data_semantics().state();
  std::vector<std::string> types;
  for (const syntax::StateField f : state) {
    std::string t = f.type().text();
    if (const auto d = f.default_value()) {
      t += " = ";
      t += std::to_string(d->elements().size());
    }
    types.push_back(t);
  }
  EXPECT_EQ(types, (std::vector<std::string>{
                       "Map<String, Array<Integer>> = 2",
                       "Object { a: Enum [\"p\", \"q\"] }"}));
}

// ---- Positions ------------------------------------------------------------

// Every token's span against a count from the start of the text, on lines
// of mixed widths, one of them much longer than a block of 256 bytes.
TEST(SyntaxTreePositions, AgreeWithCountingFromTheStart) {
  std::string long_text;
  for (int i = 0; i < 200; ++i) long_text += (i % 3 == 0) ? "\xE2\x82\xAC" : "ab";
  const std::vector<std::string> texts = {
      contract_text("x: String = \"" + long_text + "\" y: Integer = 1",
                    " // \xC3\xA9\n\n\t Extensions { s { t: \"\xC3\xA9\" } }"),
      contract_text("a: String = \"\xF0\x9F\x98\x80\" b: Float = 1.5"),
      contract_text("x: Integer"),
  };
  for (const std::string& text : texts) {
    Result<SyntaxTree> tree = parse_tree(text);
    ASSERT_TRUE(tree.ok()) << tree.error().to_string();
    for (uint32_t i = 0; i < tree->token_count(); ++i) {
      EXPECT_EQ(tree->token_span(i),
                detail::span_of_byte(text, tree->token_offset(i)))
          << "token " << i << " " << tree->token_text(i);
    }
  }
}

TEST(SyntaxTreePositions, ColumnsCountCharacters) {
  const std::string text = "\"\xC3\xA9\xC3\xA9\"\n  x // \xE2\x82\xAC\n";
  EXPECT_EQ(detail::span_of_byte(text, 0), (Span{1, 1, 0}));
  EXPECT_EQ(detail::span_of_byte(text, 9), (Span{2, 3, 7}));
  EXPECT_EQ(detail::span_of_byte(text, text.size()), (Span{3, 1, 14}));
}

// ---- Views ----------------------------------------------------------------

TEST(SyntaxTreeViews, RepeatedFieldsReadAsTheLast) {
  const std::string text =
      "Contract { Identity { stable_id: \"s\" version: 1 version: 7 "
      "created_timestamp: 2026-01-15T10:30:00Z owner: \"a\" semantic_hash: "
      "\"h\" owner: \"b\\\"c\" } PurposeStatement { narrative: \"n\" "
      "intent_source: \"i\" confidence_level: 0.5 confidence_level: 1. } "
      "DataSemantics { invariants: [\"x\"] state: { a: Integer } invariants: "
      "[] state: { b: String, } } BehavioralSemantics { operations: [ { name: "
      "\"one\" name: \"two\" precondition: \"p\" parameters: { q: Integer } "
      "postcondition: \"q\" side_effects: [\"e\"] idempotence: \"i\" } ] } "
      "ExecutionConstraints { trigger_types: [\"a\"] trigger_types: [\"b\", "
      "\"c\",] resource_limits: { max_memory_bytes: 1 computation_timeout_ms: "
      "2 max_state_size_bytes: 3 max_memory_bytes: 9 } external_permissions: "
      "[] sandbox_mode: \"m\" } HumanMachineContract { system_commitments: "
      "[] system_refusals: [] user_obligations: [] }}";
  const SyntaxTree tree = parse_ok(text);
  const syntax::ContractNode c = tree.contract();
  EXPECT_EQ(c.identity().version().value(), 7);
  EXPECT_EQ(c.identity().owner().text(), "b\"c");
  EXPECT_EQ(c.identity().owner().source_text(), "\"b\\\"c\"");
  EXPECT_EQ(c.identity().created_timestamp().text(), "2026-01-15T10:30:00Z");
  EXPECT_EQ(c.purpose_statement().confidence_level().value(), 1.0);
  EXPECT_TRUE(c.data_semantics().invariants().empty());
  ASSERT_EQ(c.data_semantics().state().size(), 1u);
  EXPECT_EQ((*c.data_semantics().state().begin()).name(), "b");
  const syntax::OperationNode op = *c.behavioral_semantics().operations().begin();
  EXPECT_EQ(op.name().text(), "two");
  EXPECT_EQ(op.side_effects().size(), 1u);
  std::vector<std::string> triggers;
  for (const syntax::Text t : c.execution_constraints().trigger_types()) {
    triggers.emplace_back(t.text());
  }
  EXPECT_EQ(triggers, (std::vector<std::string>{"b", "c"}));
  const syntax::ResourceLimits limits =
      c.execution_constraints().resource_limits();
  EXPECT_EQ(limits.max_memory_bytes().value(), 9);
  EXPECT_EQ(limits.span(), tree.token_span(limits.first_token() + 2));
  EXPECT_FALSE(c.extensions().has_value());
}

TEST(SyntaxTreeViews, LiteralValues) {
  const std::string text = contract_text(
      "a: Integer = 9223372036854775807 b: Float = 1" + std::string(400, '0') +
      ".0 c: Float = 0.25 d: Boolean = false e: Boolean = "
      "true f: String = \"tab\\there\\\\\" g: Array<String> = [\"x\", \"\"]");
  const SyntaxTree tree = parse_ok(text);
  std::vector<std::string> seen;
  for (const syntax::StateField f : tree.contract().data_semantics().state()) {
    const syntax::Literal d = *f.default_value();
    switch (d.kind()) {
      case syntax::Literal::Kind::kInteger:
        seen.push_back(std::to_string(d.integer()));
        break;
      case syntax::Literal::Kind::kFloat:
        seen.push_back(d.number() == std::numeric_limits<double>::infinity()
                           ? "inf"
                           : std::to_string(d.number()));
        break;
      case syntax::Literal::Kind::kBoolean:
        seen.push_back(d.boolean() ? "true" : "false");
        break;
      case syntax::Literal::Kind::kString:
        seen.emplace_back(d.text());
        break;
      case syntax::Literal::Kind::kArray:
        for (const syntax::Literal e : d.elements()) {
          seen.push_back(std::string("[").append(e.text()).append("]"));
        }
        break;
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "9223372036854775807", "inf", "0.250000", "false",
                      "true", "tab\there\\", "[x]", "[]"}));
}

TEST(SyntaxTreeViews, TypesAndTheirParts) {
  const std::string text = contract_text(
      "m: Map<Array<String>, Object { k: UUID = \"u\" }> e: Enum []");
  const SyntaxTree tree = parse_ok(text);
  auto it = tree.contract().data_semantics().state().begin();
  const syntax::Type map = (*it).type();
  EXPECT_EQ(map.kind(), syntax::Type::Kind::kMap);
  EXPECT_EQ(map.key().text(), "Array<String>");
  EXPECT_EQ(map.key().element().primitive(), syntax::PrimitiveKind::kString);
  EXPECT_EQ(map.value().text(), "Object { k: UUID }");
  const syntax::StateField k = *map.value().fields().begin();
  EXPECT_EQ(k.name(), "k");
  EXPECT_EQ(k.default_value()->text(), "u");
  EXPECT_EQ(map.span(), tree.token_span(map.first_token()));
  EXPECT_EQ(tree.token_text(map.last_token()), ">");
  ++it;
  const syntax::Type e = (*it).type();
  EXPECT_EQ(e.kind(), syntax::Type::Kind::kEnum);
  EXPECT_TRUE(e.variants().empty());
  EXPECT_EQ(e.text(), "Enum []");
  EXPECT_FALSE((*it).default_value().has_value());
}

TEST(SyntaxTreeViews, ExtensionsInOrder) {
  const std::string text = contract_text(
      "", "\nExtensions { wms { site: \"DUS\", levels: [1, 2] site: 2 } "
          "empty { } }");
  const SyntaxTree tree = parse_ok(text);
  const std::optional<syntax::Extensions> ext = tree.contract().extensions();
  ASSERT_TRUE(ext.has_value());
  std::string out;
  for (const syntax::SystemExtension s : ext->systems()) {
    out += std::string(s.name()) + "{";
    for (const syntax::CustomField f : s.fields()) {
      out += std::string(f.name()) + "@" + f.name_span().to_string() + " ";
    }
    out += "}";
  }
  EXPECT_EQ(out, "wms{site@9:20 levels@9:33 site@9:48 }empty{}");
}

// A thread keeps the blocks of its trees for the next one, and gives them
// back once a text far smaller than the kept memory comes.
TEST(SyntaxTreeMemory, BlocksAreKeptWithinTheLastTextsBound) {
  std::thread([] {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    detail::note_call_input(20 * kMiB);
    void* first = detail::allocate_pages(3 * kMiB);
    detail::free_pages(first, 3 * kMiB);
    EXPECT_GE(detail::kept_block_bytes(), 3 * kMiB);
    // The kept block serves a request it holds, larger than it or not.
    void* again = detail::allocate_pages(2 * kMiB);
    EXPECT_EQ(again, first);
    EXPECT_EQ(detail::kept_block_bytes(), 0u);
    std::vector<void*> blocks;
    for (int i = 0; i < 12; ++i) blocks.push_back(detail::allocate_pages(8 * kMiB));
    detail::free_pages(again, 2 * kMiB);
    for (void* b : blocks) detail::free_pages(b, 8 * kMiB);
    // At most eight blocks, the largest given back first.
    EXPECT_LE(detail::kept_block_bytes(), 64 * kMiB);
    // A small text: what is kept shrinks to the floor.
    const std::string text = contract_text("x: Integer");
    ASSERT_TRUE(parse_tree(text).ok());
    EXPECT_LE(detail::kept_block_bytes(), 16 * kMiB);
  }).join();
}

}  // namespace
}  // namespace qel
