// Fuzzes the front end: the scanner must agree with a plainly written
// second tokenizer, the syntax tree must hold every byte of an accepted
// text with nodes properly nested, the tree entry point and the model entry
// point must agree on every text, and the contract JSON written from the
// tree must be the model's, valid JSON that reflects the tree.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "contract_generator.h"
#include "fuzz_check.h"
#include "qel/api.h"
#include "qel/check.h"
#include "qel/rules.h"
#include "qel/model.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "reference_tokenizer.h"
#include "syntax/tokenizer.h"

namespace {

using qel::fuzz::check;
using qel::fuzz::check_equal;

constexpr int64_t kMaxModelVersion = 4294967295;

// Every front-end message ends with " at line:column".
bool ends_with_position(std::string_view message) {
  const size_t at = message.rfind(" at ");
  if (at == std::string_view::npos) return false;
  std::string_view position = message.substr(at + 4);
  const size_t colon = position.find(':');
  if (colon == std::string_view::npos || colon == 0 ||
      colon + 1 == position.size()) {
    return false;
  }
  for (size_t i = 0; i < position.size(); ++i) {
    if (i == colon) continue;
    if (position[i] < '0' || position[i] > '9') return false;
  }
  return true;
}

bool same_token(const qel::SpannedToken& a, const qel::SpannedToken& b) {
  if (a.token.kind != b.token.kind || !(a.span == b.span)) return false;
  switch (a.token.kind) {
    case qel::TokenKind::kStringLiteral:
    case qel::TokenKind::kIdentifier:
      return a.token.text == b.token.text;
    case qel::TokenKind::kIntegerLiteral:
      return a.token.integer == b.token.integer;
    case qel::TokenKind::kFloatLiteral:
      return std::memcmp(&a.token.number, &b.token.number,
                         sizeof(double)) == 0;
    case qel::TokenKind::kBooleanLiteral:
      return a.token.boolean == b.token.boolean;
    default:
      return true;
  }
}

std::string describe(const qel::SpannedToken& t) {
  return qel::token_description(t.token) + " at " + t.span.to_string() +
         " offset " + std::to_string(t.span.offset);
}

// The scanner against the second tokenizer; a lexical error anywhere is
// also the error of the whole parse.
void check_tokens(std::string_view text,
                  const qel::Result<qel::SyntaxTree>& tree) {
  auto tokens = qel::tokenize(text);
  auto chars = qel::fuzz::decode_utf8(text);
  if (!chars) {
    check(!tokens.ok(), "malformed UTF-8 is refused");
    const std::string error = tokens.error().to_string();
    check(qel::fuzz::starts_with(error, "Parse error: Invalid UTF-8 at "),
          "the malformed UTF-8 message", error);
    check(!tree.ok(), "parse refuses malformed UTF-8");
    check_equal(tree.error().to_string(), error, "malformed UTF-8 comes first");
    return;
  }
  const qel::fuzz::ReferenceTokens expected =
      qel::fuzz::ReferenceTokenizer(std::move(*chars)).run();
  if (expected.error) {
    const std::string message = "Parse error: " + *expected.error;
    check(!tokens.ok(), "the scanner accepts a lexical error", message);
    check_equal(tokens.error().to_string(), message, "the lexical error");
    check(!tree.ok(), "parse accepts a lexical error", message);
    check_equal(tree.error().to_string(), message,
                "a lexical error anywhere is the parse error");
    return;
  }
  check(tokens.ok(), "the scanner refuses a lexically valid text",
        tokens.ok() ? std::string_view() : tokens.error().to_string());
  check(tokens->size() == expected.tokens.size(), "the number of tokens",
        std::to_string(tokens->size()), std::to_string(expected.tokens.size()));
  for (size_t i = 0; i < tokens->size(); ++i) {
    if (!same_token((*tokens)[i], expected.tokens[i])) {
      qel::fuzz::violated("the same token", describe((*tokens)[i]),
                          describe(expected.tokens[i]));
    }
  }
}

// Tokens and the whitespace between them give back the text; every node
// lies within its parent's tokens, after its previous sibling.
void check_tree(std::string_view text, const qel::SyntaxTree& tree) {
  std::string rebuilt;
  uint32_t end = 0;
  for (uint32_t i = 0; i < tree.token_count(); ++i) {
    const std::string_view gap = text.substr(end, tree.token_offset(i) - end);
    check(gap.find_first_not_of(" \t\r\n\f") == std::string_view::npos,
          "only whitespace between tokens", std::string(gap));
    rebuilt += gap;
    rebuilt += tree.token_text(i);
    end = tree.token_end(i);
  }
  check_equal(rebuilt, std::string(text), "the tokens are the text");
  check(tree.node_count() >= 1 && tree.node(0).next == tree.node_count(),
        "the document spans every node");
  // Open ancestors; each child starts after the previous sibling's end.
  std::vector<uint32_t> open;
  std::vector<uint32_t> previous_last;
  for (uint32_t i = 0; i < tree.node_count(); ++i) {
    const qel::SyntaxTree::Node& n = tree.node(i);
    while (!open.empty() && tree.node(open.back()).next <= i) {
      open.pop_back();
      previous_last.pop_back();
    }
    check(n.first_token <= n.last_token && n.last_token < tree.token_count(),
          "a node's tokens are in order", std::to_string(i));
    check(i < n.next && n.next <= tree.node_count(), "a node's subtree ends after it",
          std::to_string(i));
    // The document is every token, a leading comment included.
    check(n.kind == qel::NodeKind::kDocument ||
              (tree.token_kind(n.first_token) != qel::TokenKind::kComment &&
               tree.token_kind(n.last_token) != qel::TokenKind::kComment),
          "nodes start and end at code tokens", std::to_string(i));
    if (!open.empty()) {
      const qel::SyntaxTree::Node& parent = tree.node(open.back());
      check(n.next <= parent.next && n.first_token >= parent.first_token &&
                n.last_token <= parent.last_token,
            "a child lies within its parent", std::to_string(i));
      check(previous_last.back() == UINT32_MAX ||
                n.first_token > previous_last.back(),
            "siblings follow each other", std::to_string(i));
      previous_last.back() = n.last_token;
    }
    open.push_back(i);
    previous_last.push_back(UINT32_MAX);
  }
}

// The tolerant parse and the check pipeline over any text: a tree always,
// errors in order and in range, nothing when the strict parse succeeds, and
// the strict error chosen from them; every finding of check has a rule.
void check_tolerant(std::string_view text,
                    const qel::Result<qel::SyntaxTree>& tree) {
  auto tolerant = qel::parse(text);
  check(tolerant.ok(), "the tolerant parse always gives a tree");
  const auto& errors = tolerant->errors;
  check(errors.size() <= 100, "at most 100 parse errors");
  for (size_t i = 0; i < errors.size(); ++i) {
    check(errors[i].begin <= errors[i].end && errors[i].end <= text.size(),
          "a parse error's range lies in the text", errors[i].message);
    check(i == 0 || errors[i - 1].begin <= errors[i].begin,
          "parse errors in source order", errors[i].message);
  }
  check(tree.ok() == errors.empty(),
        "the tolerant parse finds errors exactly when the strict one fails");
  if (!tree.ok()) {
    const std::optional<qel::Diagnostic> first = qel::strict_parse_error(text);
    check(first.has_value(), "the strict error is among the tolerant ones");
    check_equal("Parse error: " + first->message + " at " +
                    first->span->to_string(),
                tree.error().to_string(),
                "the strict error chosen from the tolerant ones");
  }
  auto checked = qel::check(text);
  check(checked.ok(), "check never fails uninterrupted");
  check(checked->parsed == tree.ok(), "check parses as parse_tree does");
  for (const qel::Diagnostic& d : checked->findings) {
    check(qel::find_rule(d.code) != nullptr, "every finding has a rule",
          d.message);
    check(d.range.begin <= d.range.end && d.range.end <= text.size(),
          "a finding's range lies in the text", d.message);
  }
}

int check_text(std::string_view text) {
  auto tree = qel::parse_tree(text);
  check_tokens(text, tree);
  check_tolerant(text, tree);
  auto model = qel::parse_contract(text);
  if (tree.ok()) check_tree(text, *tree);

  if (!tree.ok()) {
    const std::string tree_error = tree.error().to_string();
    check(qel::fuzz::starts_with(tree_error, "Parse error: "),
          "a front-end failure is a ParseError", tree_error);
    check(ends_with_position(tree_error), "a ParseError ends with its position",
          tree_error);
    check(!model.ok(), "parse_tree fails but parse_contract succeeds",
          tree_error);
    check_equal(tree_error, model.error().to_string(),
                "parse_tree and parse_contract fail alike");
    return 0;
  }

  const qel::syntax::ContractNode contract = tree->contract();
  const int64_t version = contract.identity().version().value();
  if (version > kMaxModelVersion) {
    // The tree keeps any version; the model refuses what 32 bits cannot hold.
    check(!model.ok(), "parse_contract accepts a version above 32 bits");
    const std::string error = model.error().to_string();
    check(qel::fuzz::starts_with(error, "Parse error: version ") &&
              ends_with_position(error),
          "the out-of-range version message", error);
    return 0;
  }
  check(model.ok(), "parse_tree succeeds but parse_contract fails",
        model.ok() ? std::string_view() : model.error().to_string());

  // The contract JSON written from the tree equals the JSON form of the
  // model lowered from it.
  std::string from_model;
  qel::write_contract_json(*model, from_model);
  auto api = qel::parse_contract_json(text);
  check(api.ok(), "parse_contract_json fails on a parsed text");
  check_equal(*api, from_model, "parse_contract_json renders the model");

  const auto doc = nlohmann::json::parse(from_model, nullptr, false);
  check(!doc.is_discarded(), "the contract JSON is valid JSON", from_model);
  const auto& identity = doc.at("identity");
  check(identity.at("stable_id").get<std::string>() ==
            contract.identity().stable_id().text(),
        "stable_id survives", from_model);
  check(identity.at("version").get<int64_t>() == version, "version survives",
        from_model);
  check(doc.at("behavioral_semantics").at("operations").size() ==
            contract.behavioral_semantics().operations().size(),
        "one JSON operation per operation", from_model);
  check(doc.at("data_semantics").at("invariants").size() ==
            contract.data_semantics().invariants().size(),
        "one JSON invariant per invariant", from_model);
  check(doc.at("data_semantics").at("state").size() <=
            contract.data_semantics().state().size(),
        "at most one state member per state field", from_model);
  return 0;
}

}  // namespace

// An input that starts with NUL is read as choices for the contract
// generator, so the checks also see valid contracts of every shape.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (qel::fuzz::is_generator_input(data, size)) {
    return check_text(qel::fuzz::generate_contract(data + 1, size - 1));
  }
  return check_text(
      std::string_view(reinterpret_cast<const char*>(data), size));
}
