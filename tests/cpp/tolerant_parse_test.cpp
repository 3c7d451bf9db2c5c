// The tolerant parse against the strict one, over every corpus contract and
// over broken variants of each: the same tree for a valid text, the strict
// error among the tolerant ones, a well-formed tree and readable views for
// any text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "syntax/tokenizer.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> corpus_texts() {
  std::vector<std::string> texts;
  for (const char* dir :
       {"/examples", "/tests/corpus/contracts", "/tests/corpus/tolerant"}) {
    for (const auto& entry :
         fs::directory_iterator(std::string(QEL_SOURCE_DIR) + dir)) {
      if (entry.path().extension() != ".qel") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      texts.push_back(text.str());
    }
  }
  return texts;
}

// The one error parse_tree reports, chosen from the tolerant list by its
// rule: invalid UTF-8, then a lexical error, then the grammar's first
// found (not the first placed: a missing field is placed at its block).
std::string strict_choice(const Parse& parse) {
  const ParseError* chosen = nullptr;
  for (const ParseError& e : parse.errors) {
    if (chosen == nullptr || std::tie(e.kind, e.found) <
                                 std::tie(chosen->kind, chosen->found)) {
      chosen = &e;
    }
  }
  return chosen->message + " at " +
         parse.tree.span_at(chosen->begin).to_string();
}

// Every node lies inside its parent, in pre-order, over existing tokens;
// and the views a reader of a broken text uses do not fail.
void expect_readable(const SyntaxTree& tree) {
  const uint32_t count = tree.node_count();
  ASSERT_GE(count, 2u);
  EXPECT_EQ(tree.node(0).kind, NodeKind::kDocument);
  EXPECT_EQ(tree.node(1).kind, NodeKind::kContract);
  std::vector<uint32_t> open = {0};
  for (uint32_t i = 1; i < count; ++i) {
    const SyntaxTree::Node& n = tree.node(i);
    while (tree.node(open.back()).next <= i) open.pop_back();
    ASSERT_GT(n.next, i);
    ASSERT_LE(n.next, tree.node(open.back()).next);
    ASSERT_LE(n.first_token, n.last_token + 1);
    ASSERT_LT(n.last_token, tree.token_count());
    open.push_back(i);
  }
  // A field the views can see was read whole: its value is of its kind.
  const syntax::ContractNode contract = tree.contract();
  using K = TokenKind;
  if (auto s = contract.section(NodeKind::kIdentity)) {
    const syntax::Identity identity(tree, s->index());
    if (identity.has_field(0)) {
      EXPECT_EQ(identity.stable_id().kind(), K::kStringLiteral);
    }
    if (identity.has_field(1)) {
      EXPECT_EQ(identity.version().kind(), K::kIntegerLiteral);
    }
  }
  if (auto s = contract.section(NodeKind::kDataSemantics)) {
    const syntax::DataSemantics data(tree, s->index());
    if (data.has_field(0)) {
      for (const syntax::StateField f : data.state()) {
        EXPECT_FALSE(f.type().text().empty());
      }
    }
  }
  if (auto s = contract.section(NodeKind::kBehavioralSemantics)) {
    const syntax::BehavioralSemantics behavior(tree, s->index());
    if (behavior.has_field(0)) {
      for (const syntax::OperationNode op : behavior.operations()) {
        EXPECT_EQ(op.kind(), NodeKind::kOperation);
        if (op.has_field(0)) {
          EXPECT_EQ(op.name().kind(), K::kStringLiteral);
        }
        if (op.has_field(2)) {
          for (const syntax::StateField p : op.parameters()) {
            EXPECT_EQ(p.kind(), NodeKind::kStateField);
          }
        }
      }
    }
  }
  if (auto s = contract.section(NodeKind::kExecutionConstraints)) {
    const syntax::ExecutionConstraints ec(tree, s->index());
    if (ec.has_field(1) && ec.resource_limits().has_field(0)) {
      EXPECT_EQ(ec.resource_limits().max_memory_bytes().kind(),
                K::kIntegerLiteral);
    }
  }
}

void expect_agreement(const std::string& text) {
  SCOPED_TRACE(text);
  const Result<SyntaxTree> strict = parse_tree(text);
  const Result<Parse> tolerant = parse(text);
  ASSERT_TRUE(tolerant.ok());
  ASSERT_LE(tolerant->errors.size(), 100u);
  // The scanner reads valid UTF-8 only: what the tree holds is that.
  ASSERT_FALSE(detail::check_utf8(tolerant->tree.source()).has_value());
  for (std::size_t i = 1; i < tolerant->errors.size(); ++i) {
    EXPECT_LE(tolerant->errors[i - 1].begin, tolerant->errors[i].begin);
  }
  if (strict.ok()) {
    ASSERT_TRUE(tolerant->errors.empty()) << tolerant->errors[0].message;
    const SyntaxTree& a = *strict;
    const SyntaxTree& b = tolerant->tree;
    ASSERT_EQ(a.token_count(), b.token_count());
    for (uint32_t i = 0; i < a.token_count(); ++i) {
      ASSERT_EQ(a.token_kind(i), b.token_kind(i));
      ASSERT_EQ(a.token_offset(i), b.token_offset(i));
    }
    ASSERT_EQ(a.node_count(), b.node_count());
    for (uint32_t i = 0; i < a.node_count(); ++i) {
      const SyntaxTree::Node& x = a.node(i);
      const SyntaxTree::Node& y = b.node(i);
      ASSERT_EQ(
          std::tuple(x.kind, x.field, x.first_token, x.last_token, x.next),
          std::tuple(y.kind, y.field, y.first_token, y.last_token, y.next));
    }
    return;
  }
  ASSERT_FALSE(tolerant->errors.empty());
  EXPECT_EQ(strict.error().first(), strict_choice(*tolerant));
  expect_readable(tolerant->tree);
}

TEST(TolerantParse, AgreesWithTheStrictParseOnTheCorpus) {
  for (const std::string& text : corpus_texts()) expect_agreement(text);
}

// Each valid contract broken at every seventh token: the token dropped,
// doubled, or replaced by a stray closing bracket, a character no token
// starts with, a string with a bad escape, or a byte that continues no
// UTF-8 sequence (the text is then scanned only up to it).
TEST(TolerantParse, AgreesWithTheStrictParseOnBrokenContracts) {
  for (const std::string& text : corpus_texts()) {
    const Result<SyntaxTree> tree = parse_tree(text);
    if (!tree.ok()) continue;
    for (uint32_t t = 0; t + 1 < tree->token_count(); t += 7) {
      const uint32_t begin = tree->token_offset(t);
      const uint32_t end = tree->token_end(t);
      const std::string token = text.substr(begin, end - begin);
      for (const std::string& replacement :
           {std::string(), token + " " + token, std::string("]"),
            std::string("$"), std::string("\"a\\q\""),
            std::string("\x83")}) {
        std::string broken = text;
        broken.replace(begin, end - begin, replacement);
        expect_agreement(broken);
      }
    }
  }
}

TEST(TolerantParse, StopsAtOneHundredErrors) {
  std::string text = "Contract { Identity {";
  for (int i = 0; i < 150; ++i) text += " version: \"x\"";
  const Result<Parse> parsed = parse(text);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->errors.size(), 100u);
  expect_readable(parsed->tree);
}

// Nesting past the limit is an error like any other, and the rest of the
// text is still read: a missing section, then the next field's error.
TEST(TolerantParse, DeepNestingIsOneErrorAndParsingGoesOn) {
  std::string text = "Contract { Identity { stable_id: \"x\" } DataSemantics"
                     " { state: { a: ";
  for (int i = 0; i < 100000; ++i) text += "Array<";
  text += "Integer";
  for (int i = 0; i < 100000; ++i) text += '>';
  text += " } invariants: [1] } }";
  const Result<Parse> parsed = parse(text);
  ASSERT_TRUE(parsed.ok());
  std::vector<std::string> messages;
  for (const ParseError& e : parsed->errors) messages.push_back(e.message);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "Missing required field 'version' in Identity",
                          "Expected PurposeStatement, found DataSemantics",
                          "Nesting too deep (maximum 128 levels)",
                          "Expected string literal, found IntegerLiteral(1)",
                          "Expected BehavioralSemantics, found RBrace"}));
  expect_readable(parsed->tree);
}

}  // namespace
}  // namespace qel
