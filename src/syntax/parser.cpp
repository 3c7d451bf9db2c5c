// The one parser of the contract language: recursive descent over the
// token array, one token of lookahead, no backtracking, no recovery. It
// builds the syntax tree that every reader uses; nothing else walks the
// grammar. Grammar functions throw ParseFailure, which parse_tree() turns
// into the returned Error: a result check after every token would bury the
// grammar.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "qel/error.h"
#include "qel/json.h"
#include "qel/limits.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "qel/token.h"
#include "syntax/tokenizer.h"
#include "syntax/tree_builder.h"

namespace qel {
namespace detail {
namespace {

using K = TokenKind;

// Field names in the order of their field numbers (syntax_tree.h), which is
// the order in which missing fields are reported.
constexpr std::array<std::string_view, 5> kIdentityFields = {
    "stable_id", "version", "created_timestamp", "owner", "semantic_hash"};
constexpr std::array<std::string_view, 3> kPurposeFields = {
    "narrative", "intent_source", "confidence_level"};
constexpr std::array<std::string_view, 2> kDataFields = {"state",
                                                         "invariants"};
constexpr std::array<std::string_view, 6> kOperationFields = {
    "name",          "precondition", "parameters",
    "postcondition", "side_effects", "idempotence"};
constexpr std::array<std::string_view, 4> kConstraintFields = {
    "trigger_types", "resource_limits", "external_permissions",
    "sandbox_mode"};
constexpr std::array<std::string_view, 3> kLimitFields = {
    "max_memory_bytes", "computation_timeout_ms", "max_state_size_bytes"};
constexpr std::array<std::string_view, 3> kHumanMachineFields = {
    "system_commitments", "system_refusals", "user_obligations"};

class Parser {
 public:
  Parser(std::string_view text, TreeBuilder& builder)
      : text_(text), b_(builder), t_(builder.tree()) {
    while (t_.token_kind(pos_) == K::kComment) ++pos_;
    // About one node for every four tokens; room that is reserved but
    // never used is never touched.
    b_.reserve_nodes(t_.token_count() / 3 + 16);
  }

  void parse_document();

 private:
  // ---- Token primitives ----------------------------------------------------

  K current() const { return t_.token_kind(pos_); }
  bool at(K kind) const { return t_.token_kind(pos_) == kind; }

  // Comments are passed over; at Eof the position stays.
  void advance() {
    last_ = pos_;
    if (t_.token_kind(pos_) != K::kEof) pos_ = t_.next_code_token(pos_);
  }

  Span span_of(uint32_t token) const {
    return span_of_byte(text_, t_.token_offset(token));
  }

  [[noreturn]] static void fail(std::string message) {
    throw ParseFailure{std::move(message)};
  }

  [[noreturn]] void fail_at(std::string message, uint32_t token) const {
    message += " at ";
    message += span_of(token).to_string();
    fail(std::move(message));
  }

  // "{prefix}{token description} at {span}" for the current token.
  [[noreturn]] void fail_found(std::string_view prefix) const {
    std::string message(prefix);
    TokenView view;
    view.kind = current();
    switch (view.kind) {
      case K::kStringLiteral: view.text = t_.string_value(pos_); break;
      case K::kIdentifier: view.text = t_.token_text(pos_); break;
      case K::kIntegerLiteral: view.integer = t_.integer_value(pos_); break;
      case K::kFloatLiteral: view.number = t_.float_value(pos_); break;
      case K::kBooleanLiteral: view.boolean = t_.boolean_value(pos_); break;
      default: break;
    }
    append_token_description(message, view);
    fail_at(std::move(message), pos_);
  }

  // Only called with kinds without payload, so the kind alone decides.
  void expect(K kind) {
    if (current() != kind) {
      std::string prefix = "Expected ";
      prefix += token_kind_name(kind);
      prefix += ", found ";
      fail_found(prefix);
    }
    advance();
  }

  void optional_comma() {
    if (at(K::kComma)) advance();
  }

  void expect_string_literal() {
    if (!at(K::kStringLiteral)) fail_found("Expected string literal, found ");
    advance();
  }

  void expect_integer_literal() {
    if (!at(K::kIntegerLiteral)) {
      fail_found("Expected integer literal, found ");
    }
    advance();
  }

  uint32_t open(NodeKind kind, uint8_t field = 0) {
    return b_.open(kind, pos_, field);
  }
  // Closes a node at the last token consumed.
  void close(uint32_t node) { b_.close(node, last_); }

  // ---- Values -------------------------------------------------------------

  void parse_confidence_level();
  void parse_string_list();
  void parse_type_expression();
  void parse_literal_value();
  void parse_state_fields();
  void parse_state_block();

  // Entering a type expression or a literal value: one level deeper.
  void check_depth(const DepthGuard& guard) const {
    if (guard.exceeded()) {
      fail_at("Nesting too deep (maximum 128 levels)", pos_);
    }
  }

  // ---- Sections -----------------------------------------------------------

  // The field loop shared by every brace-delimited block with named fields:
  // the opening tokens are already consumed. Each field becomes a kField
  // node numbered by its place in `names`, holding what `read_value(i)`
  // reads. Ends after the closing brace, having checked the required fields
  // in table order against the block's first token.
  template <std::size_t N, typename ReadValue>
  void parse_fields(const std::array<std::string_view, N>& names,
                    std::string_view where, uint32_t block_token,
                    ReadValue&& read_value);

  // keyword { fields }
  template <std::size_t N, typename ReadValue>
  void parse_section(NodeKind kind, K keyword,
                     const std::array<std::string_view, N>& names,
                     std::string_view where, ReadValue&& read_value);

  void parse_operation();
  void parse_behavioral_semantics();
  void parse_extensions();

  std::string_view text_;
  TreeBuilder& b_;
  const SyntaxTree& t_;
  uint32_t pos_ = 0;   // the current token, never a comment
  uint32_t last_ = 0;  // the token consumed last
  int depth_ = 0;
};

// ---- Values ---------------------------------------------------------------

void Parser::parse_confidence_level() {
  if (!at(K::kFloatLiteral)) fail_found("Expected float literal, found ");
  const double value = t_.float_value(pos_);
  if (!(value >= 0.0 && value <= 1.0)) {
    std::string message = "confidence_level must be in [0.0, 1.0], found ";
    append_double(message, value, FloatStyle::kPlain);
    fail_at(std::move(message), pos_);
  }
  advance();
}

void Parser::parse_string_list() {
  expect(K::kLBracket);
  if (!at(K::kRBracket)) {
    for (;;) {
      expect_string_literal();
      if (!at(K::kComma)) break;
      advance();
      if (at(K::kRBracket)) break;
    }
  }
  expect(K::kRBracket);
}

void Parser::parse_type_expression() {
  DepthGuard guard(depth_);
  check_depth(guard);
  switch (current()) {
    case K::kIntegerType:
    case K::kFloatType:
    case K::kStringType:
    case K::kBooleanType:
    case K::kIso8601Type:
    case K::kUuidType:
      advance();
      return;
    case K::kArrayType: {
      const uint32_t node = open(NodeKind::kArrayType);
      advance();
      expect(K::kLAngle);
      parse_type_expression();
      expect(K::kRAngle);
      close(node);
      return;
    }
    case K::kMapType: {
      const uint32_t node = open(NodeKind::kMapType);
      advance();
      expect(K::kLAngle);
      parse_type_expression();
      expect(K::kComma);
      parse_type_expression();
      expect(K::kRAngle);
      close(node);
      return;
    }
    case K::kObjectType: {
      const uint32_t node = open(NodeKind::kObjectType);
      advance();
      expect(K::kLBrace);
      parse_state_fields();
      expect(K::kRBrace);
      close(node);
      return;
    }
    case K::kEnumType: {
      const uint32_t node = open(NodeKind::kEnumType);
      advance();
      parse_string_list();
      close(node);
      return;
    }
    default:
      fail_found("Expected type expression, found ");
  }
}

void Parser::parse_literal_value() {
  DepthGuard guard(depth_);
  check_depth(guard);
  switch (current()) {
    case K::kStringLiteral:
    case K::kIntegerLiteral:
    case K::kFloatLiteral:
    case K::kBooleanLiteral:
      advance();
      return;
    case K::kLBracket: {
      const uint32_t node = open(NodeKind::kArrayLiteral);
      advance();
      if (!at(K::kRBracket)) {
        for (;;) {
          parse_literal_value();
          if (!at(K::kComma)) break;
          advance();
          if (at(K::kRBracket)) break;
        }
      }
      expect(K::kRBracket);
      close(node);
      return;
    }
    default:
      fail_found("Expected literal value, found ");
  }
}

void Parser::parse_state_fields() {
  while (!at(K::kRBrace)) {
    if (!at(K::kIdentifier)) fail_found("Expected field name, found ");
    const uint32_t node = open(NodeKind::kStateField);
    advance();
    expect(K::kColon);
    parse_type_expression();
    if (at(K::kEquals)) {
      advance();
      parse_literal_value();
    }
    close(node);
    optional_comma();
  }
}

void Parser::parse_state_block() {
  expect(K::kLBrace);
  parse_state_fields();
  expect(K::kRBrace);
}

// ---- Sections -------------------------------------------------------------

template <std::size_t N, typename ReadValue>
void Parser::parse_fields(const std::array<std::string_view, N>& names,
                          std::string_view where, uint32_t block_token,
                          ReadValue&& read_value) {
  std::array<bool, N> given{};
  while (!at(K::kRBrace)) {
    if (!at(K::kIdentifier)) {
      fail_found("Expected field name identifier, found ");
    }
    const std::string_view name = t_.token_text(pos_);
    std::size_t i = 0;
    while (i < N && names[i] != name) ++i;
    if (i == N) {
      std::string message = "Unknown field '";
      message += name;
      message += "' in ";
      message += where;
      fail_at(std::move(message), pos_);
    }
    const uint32_t field = open(NodeKind::kField, static_cast<uint8_t>(i));
    advance();
    expect(K::kColon);
    read_value(i);
    close(field);
    given[i] = true;
    optional_comma();
  }
  advance();
  for (std::size_t i = 0; i < N; ++i) {
    if (given[i]) continue;
    std::string message = "Missing required field '";
    message += names[i];
    message += "' in ";
    message += where;
    fail_at(std::move(message), block_token);
  }
}

template <std::size_t N, typename ReadValue>
void Parser::parse_section(NodeKind kind, K keyword,
                           const std::array<std::string_view, N>& names,
                           std::string_view where, ReadValue&& read_value) {
  const uint32_t node = open(kind);
  const uint32_t keyword_token = pos_;
  expect(keyword);
  expect(K::kLBrace);
  parse_fields(names, where, keyword_token, read_value);
  close(node);
}

void Parser::parse_operation() {
  const uint32_t node = open(NodeKind::kOperation);
  const uint32_t brace = pos_;
  expect(K::kLBrace);
  parse_fields(kOperationFields, "operation", brace, [&](std::size_t i) {
    switch (i) {
      case 2: parse_state_block(); break;
      case 4: parse_string_list(); break;
      default: expect_string_literal(); break;
    }
  });
  close(node);
}

void Parser::parse_behavioral_semantics() {
  const uint32_t node = open(NodeKind::kBehavioralSemantics);
  expect(K::kBehavioralSemantics);
  expect(K::kLBrace);
  if (!at(K::kIdentifier) || t_.token_text(pos_) != "operations") {
    fail_found("Expected field 'operations', found ");
  }
  const uint32_t field = open(NodeKind::kField, 0);
  advance();
  expect(K::kColon);
  expect(K::kLBracket);
  while (!at(K::kRBracket)) {
    parse_operation();
    optional_comma();
  }
  expect(K::kRBracket);
  close(field);
  optional_comma();
  expect(K::kRBrace);
  close(node);
}

void Parser::parse_extensions() {
  const uint32_t node = open(NodeKind::kExtensions);
  expect(K::kExtensions);
  expect(K::kLBrace);
  while (!at(K::kRBrace)) {
    if (!at(K::kIdentifier)) {
      fail_found("Expected system extension name, found ");
    }
    const uint32_t system = open(NodeKind::kSystemExtension);
    advance();
    expect(K::kLBrace);
    while (!at(K::kRBrace)) {
      if (!at(K::kIdentifier)) fail_found("Expected field name, found ");
      const uint32_t field = open(NodeKind::kCustomField);
      advance();
      expect(K::kColon);
      parse_literal_value();
      close(field);
      optional_comma();
    }
    advance();
    close(system);
  }
  advance();
  close(node);
}

void Parser::parse_document() {
  const uint32_t document = b_.open(NodeKind::kDocument, 0);
  const uint32_t contract = open(NodeKind::kContract);
  expect(K::kContract);
  expect(K::kLBrace);
  parse_section(NodeKind::kIdentity, K::kIdentity, kIdentityFields, "Identity",
                [&](std::size_t i) {
                  if (i == 1) {
                    expect_integer_literal();
                  } else {
                    expect_string_literal();
                  }
                });
  parse_section(NodeKind::kPurposeStatement, K::kPurposeStatement,
                kPurposeFields, "PurposeStatement", [&](std::size_t i) {
                  if (i == 2) {
                    parse_confidence_level();
                  } else {
                    expect_string_literal();
                  }
                });
  parse_section(NodeKind::kDataSemantics, K::kDataSemantics, kDataFields,
                "DataSemantics", [&](std::size_t i) {
                  if (i == 0) {
                    parse_state_block();
                  } else {
                    parse_string_list();
                  }
                });
  parse_behavioral_semantics();
  parse_section(NodeKind::kExecutionConstraints, K::kExecutionConstraints,
                kConstraintFields, "ExecutionConstraints", [&](std::size_t i) {
                  switch (i) {
                    case 1: {
                      const uint32_t brace = pos_;
                      expect(K::kLBrace);
                      parse_fields(kLimitFields, "resource_limits", brace,
                                   [&](std::size_t) {
                                     expect_integer_literal();
                                   });
                      break;
                    }
                    case 3: expect_string_literal(); break;
                    default: parse_string_list(); break;
                  }
                });
  parse_section(NodeKind::kHumanMachineContract, K::kHumanMachineContract,
                kHumanMachineFields, "HumanMachineContract",
                [&](std::size_t) { parse_string_list(); });
  expect(K::kRBrace);
  close(contract);
  // Whatever follows, other than an Extensions section, is not examined
  // (it has been scanned, so it is lexically valid).
  if (at(K::kExtensions)) parse_extensions();
  b_.close(document, t_.token_count() - 1);
}

}  // namespace
}  // namespace detail

// Invalid UTF-8 first; then the whole text is scanned before the grammar
// looks at it, so a lexical error anywhere wins over a grammar error.
Result<SyntaxTree> parse_tree(std::string_view text,
                              const Interrupter& interrupter) {
  if (auto invalid = detail::check_utf8(text)) {
    return Error::parse_error(std::move(*invalid));
  }
  detail::TreeBuilder builder(text, interrupter);
  try {
    detail::scan_tokens(text, builder);
    detail::Parser(text, builder).parse_document();
  } catch (detail::ParseFailure& failure) {
    return Error::parse_error(std::move(failure.message));
  } catch (detail::Interrupted&) {
    return Error::interrupted();
  }
  return builder.finish();
}

}  // namespace qel
