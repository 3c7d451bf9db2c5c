// The one parser of the contract language: recursive descent over the
// token array, one token of lookahead, no backtracking. It builds the
// syntax tree that every reader uses; nothing else walks the grammar.
// Grammar functions throw ParseFailure, which parse_tree() turns into the
// returned Error: a result check after every token would bury the grammar.
//
// The same grammar runs tolerant for parse(): an error is recorded and
// thrown to the nearest block with named fields, which skips to a token it
// can go on from and wraps what it skipped in an error node. The strict
// path only pays for that where an error is thrown.
#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/error.h"
#include "qel/json.h"
#include "qel/limits.h"
#include "qel/nearest_name.h"
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

// ---- Help for errors ------------------------------------------------------
// Only a tolerant parse asks for these: the strict error has no room for
// them, and they cost nothing until an error is found.

// Every block with named fields, for an unknown field that belongs in
// another one.
struct FieldTable {
  std::string_view where;
  std::span<const std::string_view> names;
};
constexpr std::string_view kBehavioralFields[] = {"operations"};
constexpr FieldTable kFieldTables[] = {
    {"Identity", kIdentityFields},
    {"PurposeStatement", kPurposeFields},
    {"DataSemantics", kDataFields},
    {"BehavioralSemantics", kBehavioralFields},
    {"operation", kOperationFields},
    {"ExecutionConstraints", kConstraintFields},
    {"resource_limits", kLimitFields},
    {"HumanMachineContract", kHumanMachineFields},
};

constexpr std::string_view kTypeNames[] = {
    "Integer", "Float", "String", "Boolean", "ISO8601",
    "UUID",    "Array", "Map",    "Object",  "Enum"};

constexpr std::string_view kSectionOrder =
    "a contract has these sections, in this order: Identity, "
    "PurposeStatement, DataSemantics, BehavioralSemantics, "
    "ExecutionConstraints, HumanMachineContract (Extensions may follow its "
    "closing brace)";

void append_names(std::string& out, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += names[i];
  }
}

// The nearest field of the block; else the block the name belongs to;
// else the block's fields.
std::string unknown_field_help(std::string_view name,
                               std::span<const std::string_view> names,
                               std::string_view where) {
  std::string help = did_you_mean(name, names);
  if (!help.empty()) return help;
  for (const FieldTable& table : kFieldTables) {
    if (table.where == where) continue;
    for (const std::string_view other : table.names) {
      if (other != name) continue;
      help = "'";
      help += name;
      help += "' is a field of ";
      help += table.where;
      return help;
    }
  }
  help = where;
  help += " takes: ";
  append_names(help, names);
  return help;
}

std::string type_help(std::string_view found) {
  std::string help = did_you_mean(found, kTypeNames);
  if (!help.empty()) return help;
  return "a type is one of: Integer, Float, String, Boolean, ISO8601, UUID, "
         "Array<T>, Map<K, V>, Object { ... }, Enum [ ... ]";
}

// Thrown when a tolerant parse has recorded as many errors as it reports.
struct TooManyErrors {};

constexpr std::size_t kMaxErrors = 100;

// Where a tolerant parse goes on after an error at any depth: these words
// can only begin a section.
bool is_section_keyword(K kind) {
  switch (kind) {
    case K::kIdentity:
    case K::kPurposeStatement:
    case K::kDataSemantics:
    case K::kBehavioralSemantics:
    case K::kExecutionConstraints:
    case K::kHumanMachineContract:
    case K::kExtensions:
      return true;
    default:
      return false;
  }
}

class Parser {
 public:
  // Tolerant when `errors` is given: errors are appended to it.
  Parser(std::string_view text, TreeBuilder& builder,
         std::vector<ParseError>* errors = nullptr)
      : text_(text), b_(builder), t_(builder.tree()), errors_(errors) {
    while (t_.token_kind(pos_) == K::kComment) ++pos_;
    // About one node for every four tokens; room that is reserved but
    // never used is never touched.
    b_.reserve_nodes(t_.token_count() / 3 + 16);
  }

  void parse_document();

  // A tolerant parse stopped short (too many errors, or a lexical error
  // ended the tokens): every node still open ends at the last token.
  void abandon_all() {
    b_.abandon_open(2, last_);
    if (t_.node(1).next == 0) b_.close(1, last_);
    if (t_.node(0).next == 0) b_.close(0, t_.token_count() - 1);
  }

  // The errors that follow from a lexical error which ended the tokens
  // early are not reported: treat it as the error just recorded.
  void quiet_at_end() { quiet_end_ = true; }

  // Tokens where scanning went on after a lexical error, in order: an
  // error found before a token from there on is taken normally follows
  // from the lexical one (the token it spoiled is missing).
  void set_gaps(std::vector<uint32_t> gaps) { gaps_ = std::move(gaps); }

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

  [[noreturn]] void fail_at(std::string message, uint32_t token,
                            std::string help = {}) {
    if (errors_ != nullptr) {
      record(std::move(message), token, true, std::move(help));
      throw ParseFailure{};
    }
    message += " at ";
    message += span_of(token).to_string();
    fail(std::move(message));
  }

  // Records an error of a tolerant parse unless no token has been taken
  // normally since the last one, which it would then only follow from.
  // A missing field is no token out of place: what comes next is read as
  // usual, and may be an error of its own (`skips` unset).
  void record(std::string message, uint32_t token, bool skips = true,
              std::string help = {}) {
    if (skips && last_ == quiet_last_) return;
    if (quiet_end_ && t_.token_kind(token) == K::kEof) return;
    const auto gap = std::upper_bound(gaps_.begin(), gaps_.end(), token);
    if (skips && gap != gaps_.begin() && last_ < *std::prev(gap)) {
      quiet_last_ = last_;
      return;
    }
    if (errors_->size() >= kMaxErrors) throw TooManyErrors{};
    const uint32_t begin = t_.token_offset(token);
    errors_->push_back(ParseError{begin, std::max(begin, t_.token_end(token)),
                                  ParseError::Kind::kGrammar,
                                  std::move(message), 0, std::move(help)});
    if (skips) quiet_last_ = last_;
  }

  // Where recover() is called from: a block with named fields, an item
  // of a list (which a closing bracket ends too), or a step of the
  // document (where only the contract's last brace is taken as closing:
  // a section keyword is the surer place to go on from).
  enum class Scope : uint8_t { kBlock, kListItem, kDocument };

  // After an error inside a block: skips to the next token the block can
  // go on from, at the depth of brackets where the block's body began
  // (`body`) or outside it — a closing bracket (see Scope), a section
  // keyword, the end, or one of the block's field names — and wraps what
  // it skipped in an error node. Nodes from `mark` on that the error left
  // open become error nodes.
  void recover(uint32_t body, uint32_t mark, const std::string_view* names,
               std::size_t name_count, Scope scope);

  bool is_field_name(const std::string_view* names, std::size_t count) const {
    if (!at(K::kIdentifier)) return false;
    const std::string_view name = t_.token_text(pos_);
    return std::find(names, names + count, name) != names + count;
  }

  // "{prefix}{token description} at {span}" for the current token.
  [[noreturn]] void fail_found(std::string_view prefix,
                               std::string help = {}) {
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
    fail_at(std::move(message), pos_, std::move(help));
  }

  bool tolerant() const { return errors_ != nullptr; }

  // The current token's text when it is an identifier, else empty.
  std::string_view identifier() const {
    return at(K::kIdentifier) ? t_.token_text(pos_) : std::string_view();
  }

  // Only called with kinds without payload, so the kind alone decides.
  void expect(K kind) {
    if (current() != kind) {
      std::string prefix = "Expected ";
      prefix += token_kind_name(kind);
      prefix += ", found ";
      fail_found(prefix, tolerant() ? expect_help(kind) : std::string());
    }
    advance();
  }

  // A section keyword written nearly right, or else the sections' order.
  std::string expect_help(K kind) const {
    if (kind != K::kContract && !is_section_keyword(kind)) return {};
    const std::string_view keyword = token_kind_name(kind);
    const std::string help =
        did_you_mean(identifier(), std::span(&keyword, 1));
    if (!help.empty() || kind == K::kContract) return help;
    return std::string(kSectionOrder);
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
  void check_depth(const DepthGuard& guard) {
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
                    ReadValue&& read_value, bool in_list = false);

  // One step of the document (the contract's opening, a section, ...):
  // in a tolerant parse an error in it skips to where the next step can
  // begin.
  template <typename Step>
  void document_step(Step&& step);

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
  std::vector<ParseError>* errors_;  // tolerant when set
  // last_ when the latest error was recorded or recovered from: while it
  // is unchanged no token has been taken normally since.
  uint32_t quiet_last_ = UINT32_MAX;
  bool quiet_end_ = false;
  std::vector<uint32_t> gaps_;
};

void Parser::recover(uint32_t body, uint32_t mark,
                     const std::string_view* names, std::size_t name_count,
                     Scope scope) {
  // The brackets opened since the body began and still open; a closing
  // one closes any unclosed ones inside its match. Counting the braces
  // among them spares a search that cannot succeed, so that a long run
  // of closers without openers stays linear.
  std::vector<K> open;
  std::size_t open_braces = 0;
  const auto push = [&](K opener) {
    open.push_back(opener);
    open_braces += opener == K::kLBrace;
  };
  const auto closes = [&](K opener) {
    const std::size_t of_kind =
        opener == K::kLBrace ? open_braces : open.size() - open_braces;
    if (of_kind == 0) return false;
    const auto match = std::find(open.rbegin(), open.rend(), opener);
    for (auto it = open.rbegin(); it != std::next(match); ++it) {
      open_braces -= *it == K::kLBrace;
    }
    open.erase(std::prev(match.base()), open.end());
    return true;
  };
  for (uint32_t i = body; i < pos_; ++i) {
    const K kind = t_.token_kind(i);
    if (kind == K::kLBrace || kind == K::kLBracket) push(kind);
    if (kind == K::kRBrace) closes(K::kLBrace);
    if (kind == K::kRBracket) closes(K::kLBracket);
  }
  const uint32_t first = pos_;
  for (;;) {
    const K kind = current();
    if (kind == K::kEof || is_section_keyword(kind)) break;
    if (kind == K::kLBrace || kind == K::kLBracket) {
      push(kind);
    } else if (kind == K::kRBrace) {
      if (!closes(K::kLBrace) &&
          (scope != Scope::kDocument ||
           t_.token_kind(t_.next_code_token(pos_)) == K::kEof ||
           t_.token_kind(t_.next_code_token(pos_)) == K::kExtensions)) {
        break;
      }
    } else if (kind == K::kRBracket) {
      if (!closes(K::kLBracket) && scope == Scope::kListItem) break;
    } else if (open.empty() && is_field_name(names, name_count)) {
      break;
    }
    last_ = pos_;
    pos_ = t_.next_code_token(pos_);
  }
  if (pos_ != first) close(b_.open(NodeKind::kError, first));
  b_.abandon_open(mark, last_);
  quiet_last_ = last_;
}

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
      fail_found("Expected type expression, found ",
                 tolerant() && at(K::kIdentifier) ? type_help(identifier())
                                                  : std::string());
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
                          ReadValue&& read_value, bool in_list) {
  std::array<bool, N> given{};
  const uint32_t body = pos_;
  // Nodes from here on that an error leaves open are the failed field's:
  // those of earlier fields are closed.
  const uint32_t mark = b_.node_count();
  bool broken = false;
  while (!at(K::kRBrace)) {
    try {
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
        fail_at(std::move(message), pos_,
                tolerant() ? unknown_field_help(name, names, where)
                           : std::string());
      }
      const uint32_t field = open(NodeKind::kField, static_cast<uint8_t>(i));
      advance();
      expect(K::kColon);
      read_value(i);
      close(field);
      given[i] = true;
      optional_comma();
    } catch (ParseFailure&) {
      if (errors_ == nullptr) throw;
      recover(body, mark, names.data(), N,
              in_list ? Scope::kListItem : Scope::kBlock);
      broken = true;
      // Not at a field name: the block ends here, its closing brace
      // missing or at hand.
      if (!at(K::kIdentifier)) break;
    }
  }
  // A block that had an error ends where its recovery stopped, and the
  // fields it lacks follow from that error.
  if (broken) {
    if (at(K::kRBrace)) advance();
    return;
  }
  advance();
  for (std::size_t i = 0; i < N; ++i) {
    if (given[i]) continue;
    std::string message = "Missing required field '";
    message += names[i];
    message += "' in ";
    message += where;
    if (errors_ == nullptr) fail_at(std::move(message), block_token);
    // One finding per block, at its first token, like the strict parse.
    record(std::move(message), block_token, false);
    return;
  }
}

template <typename Step>
void Parser::document_step(Step&& step) {
  if (errors_ == nullptr) {
    step();
    return;
  }
  const uint32_t start = pos_;
  const uint32_t mark = b_.node_count();
  try {
    step();
  } catch (ParseFailure&) {
    recover(start, mark, nullptr, 0, Scope::kDocument);
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
  parse_fields(
      kOperationFields, "operation", brace,
      [&](std::size_t i) {
        switch (i) {
          case 2: parse_state_block(); break;
          case 4: parse_string_list(); break;
          default: expect_string_literal(); break;
        }
      },
      true);
  close(node);
}

void Parser::parse_behavioral_semantics() {
  const uint32_t node = open(NodeKind::kBehavioralSemantics);
  expect(K::kBehavioralSemantics);
  expect(K::kLBrace);
  if (!at(K::kIdentifier) || t_.token_text(pos_) != "operations") {
    fail_found("Expected field 'operations', found ",
               tolerant() ? did_you_mean(identifier(), kBehavioralFields)
                          : std::string());
  }
  const uint32_t field = open(NodeKind::kField, 0);
  advance();
  expect(K::kColon);
  expect(K::kLBracket);
  const uint32_t mark = b_.node_count();
  while (!at(K::kRBracket)) {
    const uint32_t start = pos_;
    try {
      parse_operation();
      optional_comma();
    } catch (ParseFailure&) {
      if (errors_ == nullptr) throw;
      // Not even an operation's brace: on to the list's end, or the
      // section's.
      recover(start, mark, nullptr, 0, Scope::kListItem);
      if (!at(K::kRBracket)) break;
    }
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
  document_step([&] {
    expect(K::kContract);
    expect(K::kLBrace);
  });
  document_step([&] {
    parse_section(NodeKind::kIdentity, K::kIdentity, kIdentityFields,
                  "Identity", [&](std::size_t i) {
                    if (i == 1) {
                      expect_integer_literal();
                    } else {
                      expect_string_literal();
                    }
                  });
  });
  document_step([&] {
    parse_section(NodeKind::kPurposeStatement, K::kPurposeStatement,
                  kPurposeFields, "PurposeStatement", [&](std::size_t i) {
                    if (i == 2) {
                      parse_confidence_level();
                    } else {
                      expect_string_literal();
                    }
                  });
  });
  document_step([&] {
    parse_section(NodeKind::kDataSemantics, K::kDataSemantics, kDataFields,
                  "DataSemantics", [&](std::size_t i) {
                    if (i == 0) {
                      parse_state_block();
                    } else {
                      parse_string_list();
                    }
                  });
  });
  document_step([&] { parse_behavioral_semantics(); });
  document_step([&] {
    parse_section(
        NodeKind::kExecutionConstraints, K::kExecutionConstraints,
        kConstraintFields, "ExecutionConstraints", [&](std::size_t i) {
          switch (i) {
            case 1: {
              const uint32_t brace = pos_;
              expect(K::kLBrace);
              parse_fields(kLimitFields, "resource_limits", brace,
                           [&](std::size_t) { expect_integer_literal(); });
              break;
            }
            case 3: expect_string_literal(); break;
            default: parse_string_list(); break;
          }
        });
  });
  document_step([&] {
    parse_section(NodeKind::kHumanMachineContract, K::kHumanMachineContract,
                  kHumanMachineFields, "HumanMachineContract",
                  [&](std::size_t) { parse_string_list(); });
  });
  document_step([&] { expect(K::kRBrace); });
  close(contract);
  // Whatever follows, other than an Extensions section, is not examined
  // (it has been scanned, so it is lexically valid).
  if (at(K::kExtensions)) document_step([&] { parse_extensions(); });
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
  detail::note_call_input(text.size());
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

namespace {

// Byte offset and message of a scanner's failure, whose message ends with
// " at line:column": the scanner reports nothing else.
ParseError located_error(std::string_view text, std::string message,
                         ParseError::Kind kind) {
  ParseError error;
  error.kind = kind;
  const std::size_t at = message.rfind(" at ");
  uint64_t line = 0, column = 0;
  std::size_t i = at == std::string::npos ? message.size() : at + 4;
  for (; i < message.size() && message[i] != ':'; ++i) {
    line = line * 10 + static_cast<uint64_t>(message[i] - '0');
  }
  for (++i; i < message.size(); ++i) {
    column = column * 10 + static_cast<uint64_t>(message[i] - '0');
  }
  if (at != std::string::npos) message.resize(at);
  std::size_t offset = 0;
  for (uint64_t l = 1; l < line && offset < text.size(); ++l) {
    const std::size_t lf = text.find('\n', offset);
    offset = lf == std::string_view::npos ? text.size() : lf + 1;
  }
  // Columns count characters: pass over the continuation bytes of a
  // character, but not over a stray one, which may be the error itself.
  for (uint64_t c = 1; c < column && offset < text.size(); ++c) {
    const bool lead = static_cast<unsigned char>(text[offset]) >= 0xC0;
    ++offset;
    while (lead && offset < text.size() &&
           (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80) {
      ++offset;
    }
  }
  error.begin = static_cast<uint32_t>(offset);
  error.end = static_cast<uint32_t>(std::min(offset + 1, text.size()));
  while (error.end < text.size() &&
         (static_cast<unsigned char>(text[error.end]) & 0xC0) == 0x80) {
    ++error.end;
  }
  error.message = std::move(message);
  return error;
}

// Whether the string literal starting at `offset` closes before `limit`.
bool string_closes_before(std::string_view text, std::size_t offset,
                          std::size_t limit) {
  for (std::size_t i = offset + 1; i < limit && i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return true;
    }
  }
  return false;
}

// Where scanning can go on after the lexical error `error` (its message
// as the scanner gave it), or nothing when the rest of the text belongs
// to the broken token (a string never closed).
std::optional<std::size_t> resume_after(std::string_view text,
                                        const ParseError& error) {
  const std::string& m = error.message;
  const std::size_t open = m.find('\'');
  const std::size_t close = m.rfind('\'');
  if (open == std::string::npos || close <= open) return std::nullopt;
  const std::size_t length = close - open - 1;
  if (m.starts_with("Unexpected character") ||
      m.starts_with("Invalid timestamp") || m.starts_with("Invalid float") ||
      m.starts_with("Invalid integer")) {
    return error.begin + length;
  }
  if (m.starts_with("Invalid escape sequence")) {
    // After the string that held it.
    for (std::size_t i = error.begin; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '"') {
        return i + 1;
      }
    }
  }
  return std::nullopt;
}

// The lexical error a scan of `part` (the text from byte `shift` on)
// threw, placed in the whole text; a string literal it broke off is
// dropped from `builder`, which holds that scan's tokens.
ParseError lexical_error(std::string_view part, uint32_t shift,
                         std::string message, detail::TreeBuilder& builder) {
  ParseError error =
      located_error(part, std::move(message), ParseError::Kind::kLexical);
  const SyntaxTree& t = builder.tree();
  if (t.token_count() != 0) {
    const uint32_t last = t.token_count() - 1;
    if (t.token_kind(last) == TokenKind::kStringLiteral &&
        t.token_offset(last) >= shift &&
        !string_closes_before(part, t.token_offset(last) - shift,
                              error.begin)) {
      builder.drop_last_token();
    }
  }
  error.begin += shift;
  error.end += shift;
  return error;
}

}  // namespace

// Invalid UTF-8 ends what is scanned (the scanner reads valid UTF-8 only).
// After a lexical error scanning goes on past the broken token, when its
// end is known: what the grammar finds is reported, save what it finds
// only because of the broken token or the end of what was scanned.
Result<Parse> parse(std::string_view text, const Interrupter& interrupter) {
  std::vector<ParseError> stopped;  // invalid UTF-8 and lexical errors
  std::vector<uint32_t> gaps;
  std::string_view scanned = text;
  if (auto invalid = detail::check_utf8(text)) {
    stopped.push_back(located_error(text, std::move(*invalid),
                                    ParseError::Kind::kEncoding));
    scanned = text.substr(0, stopped.back().begin);
  }
  Parse result;
  detail::note_call_input(text.size());
  detail::TreeBuilder builder(scanned, interrupter);
  bool cut_short = !stopped.empty();
  try {
    // Where the next scan starts; npos when there is none.
    constexpr std::size_t kNone = std::string_view::npos;
    std::size_t resume = kNone;
    try {
      detail::scan_tokens(scanned, builder);
    } catch (detail::ParseFailure& failure) {
      builder.note_gaps();
      ParseError error =
          lexical_error(scanned, 0, std::move(failure.message), builder);
      // Where invalid UTF-8 cut the text short, its scan's error is
      // taken to follow from that.
      if (!cut_short) resume = resume_after(scanned, error).value_or(kNone);
      if (resume == kNone) builder.add_token(TokenKind::kEof, error.begin);
      if (!cut_short) stopped.push_back(std::move(error));
      cut_short = cut_short || resume == kNone;
    }
    while (resume != kNone) {
      const auto shift = static_cast<uint32_t>(resume);
      const std::string_view rest = scanned.substr(shift);
      gaps.push_back(builder.tree().token_count());
      detail::TreeBuilder part(rest, interrupter);
      try {
        detail::scan_tokens(rest, part);
        builder.append_tokens(part.tree(), shift, true);
        resume = kNone;
      } catch (detail::ParseFailure& failure) {
        ParseError error =
            lexical_error(rest, 0, std::move(failure.message), part);
        builder.append_tokens(part.tree(), shift, false);
        error.begin += shift;
        error.end += shift;
        // Each scan of the rest reserves room for its tokens: the
        // number of scans is bounded by the errors reported.
        resume = kNone;
        if (stopped.size() + 1 < detail::kMaxErrors) {
          resume = resume_after(scanned, error).value_or(kNone);
        }
        if (resume == kNone) {
          builder.add_token(TokenKind::kEof, error.begin);
          cut_short = true;
        }
        stopped.push_back(std::move(error));
      }
    }
    detail::Parser parser(scanned, builder, &result.errors);
    if (cut_short) parser.quiet_at_end();
    parser.set_gaps(std::move(gaps));
    try {
      parser.parse_document();
    } catch (detail::TooManyErrors&) {
      parser.abandon_all();
    }
  } catch (detail::Interrupted&) {
    return Error::interrupted();
  }
  for (ParseError& e : stopped) {
    if (result.errors.size() < detail::kMaxErrors) {
      result.errors.push_back(std::move(e));
    }
  }
  for (std::size_t i = 0; i < result.errors.size(); ++i) {
    result.errors[i].found = static_cast<uint32_t>(i);
  }
  std::stable_sort(result.errors.begin(), result.errors.end(),
                   [](const ParseError& a, const ParseError& b) {
                     return a.begin < b.begin;
                   });
  result.tree = builder.finish();
  return result;
}

}  // namespace qel
