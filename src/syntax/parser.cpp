// Recursive-descent parser over the scanner's tokens: one token of
// lookahead, no backtracking, no recovery. Grammar functions throw
// ParseFailure, which parse() turns into the returned Error; the result
// checks would otherwise bury the grammar.
#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/api.h"
#include "qel/ast.h"
#include "qel/error.h"
#include "qel/json.h"
#include "qel/limits.h"
#include "qel/parser.h"
#include "qel/token.h"
#include "syntax/lower.h"
#include "syntax/tokenizer.h"

namespace qel {
namespace detail {
namespace {

using K = TokenKind;

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
  explicit Parser(Scanner& scanner) : scanner_(scanner) {
    scanner_.next(current_);
  }

  ContractNode parse_contract_definition();

  // The same grammar, building the model directly: each section is lowered
  // as soon as it is parsed, and state blocks go straight to JSON, so no
  // whole tree is ever held. `version` receives the written version, which
  // the caller checks against the model's range.
  Contract parse_contract_model(SpannedInt& version);

  // The same grammar once more, appending the model's JSON form to `out`
  // while parsing: nothing of the model is built. Each section is written
  // once it is complete, since its fields come in any order and the last of
  // a repeated field wins.
  void parse_contract_json(std::string& out, SpannedInt& version);

 private:
  // ---- Token primitives ----------------------------------------------------

  bool at(K kind) const { return current_.kind == kind; }

  // Payloads must be read from current_ before this: the scanner reuses its
  // buffer for the next token.
  void advance() {
    if (current_.kind != K::kEof) scanner_.next(current_);
  }

  [[noreturn]] static void fail(std::string message) {
    throw ParseFailure{std::move(message), false};
  }

  // "{prefix}{token description} at {span}" for the current token.
  [[noreturn]] void fail_found(std::string_view prefix) const {
    std::string message(prefix);
    append_token_description(message, current_);
    message += " at ";
    message += current_.span.to_string();
    fail(std::move(message));
  }

  [[noreturn]] static void fail_at(std::string message, const Span& span) {
    message += " at ";
    message += span.to_string();
    fail(std::move(message));
  }

  // Only called with kinds without payload, so the kind alone decides.
  void expect(K kind) {
    if (current_.kind != kind) {
      std::string prefix = "Expected ";
      prefix += token_kind_name(kind);
      prefix += ", found ";
      fail_found(prefix);
    }
    advance();
  }

  Span expect_field(std::string_view name) {
    if (!at(K::kIdentifier) || current_.text != name) {
      std::string prefix = "Expected field '";
      prefix += name;
      prefix += "', found ";
      fail_found(prefix);
    }
    const Span span = current_.span;
    advance();
    expect(K::kColon);
    return span;
  }

  void optional_comma() {
    if (at(K::kComma)) advance();
  }

  SpannedText expect_string_literal() {
    if (!at(K::kStringLiteral)) fail_found("Expected string literal, found ");
    SpannedText value{std::string(current_.text), current_.span};
    advance();
    return value;
  }

  SpannedInt expect_integer_literal() {
    if (!at(K::kIntegerLiteral)) {
      fail_found("Expected integer literal, found ");
    }
    const SpannedInt value{current_.integer, current_.span};
    advance();
    return value;
  }

  // ---- Values -------------------------------------------------------------

  SpannedDouble parse_confidence_level();
  std::vector<SpannedText> parse_string_list();
  TypeExpression parse_type_expression();
  TypeExpression parse_map_type(const Span& span);
  LiteralValue parse_literal_value();
  // Calls on_field(name, name_span, type, default) for each state field.
  template <typename OnField>
  void parse_state_fields(OnField&& on_field);
  std::vector<StateFieldNode> parse_state_fields();
  std::vector<StateFieldNode> parse_state_block();
  // A state block lowered on the fly: name -> type text, or with
  // `keep_defaults` name -> {"default", "type"} where a default is written.
  Json parse_state_block_json(bool keep_defaults);

  // Entering a type expression or a literal value: one level deeper.
  void check_depth(const DepthGuard& guard) const {
    if (guard.exceeded()) {
      fail_at("Nesting too deep (maximum 128 levels)", current_.span);
    }
  }

  // ---- Sections -----------------------------------------------------------

  // The field loop shared by every brace-delimited block with named fields:
  // the opening tokens are already consumed; `read_value(i)` reads the value
  // of field i (a repeated field is read again, so the last one wins). Ends
  // after the closing brace, having checked the required fields in table
  // order against `block_span`.
  template <std::size_t N, typename ReadValue>
  void parse_fields(const std::array<std::string_view, N>& names,
                    std::string_view where, const Span& block_span,
                    ReadValue&& read_value);

  void parse_identity(IdentityNode& node);
  void parse_purpose_statement(PurposeStatementNode& node);
  // With `state_json`, the state block is lowered into it instead of the
  // node; likewise `parameters_json` for an operation.
  void parse_data_semantics(DataSemanticsNode& node, Json* state_json);
  template <typename ParseOperation>
  void parse_behavioral_semantics(Span& span,
                                  ParseOperation&& parse_one_operation);
  OperationNode parse_operation(Json* parameters_json);
  void parse_execution_constraints(ExecutionConstraintsNode& node);
  ResourceLimitsNode parse_resource_limits();
  void parse_human_machine_contract(HumanMachineContractNode& node);
  ExtensionsNode parse_extensions();

  // ---- JSON form, written while parsing ----------------------------------

  // The current string literal as a JSON string, replacing `slot`.
  void expect_string_json(std::string& slot);
  // A string list as a JSON array whose items stand at `depth`.
  void parse_string_list_json(std::string& out, int depth);
  // A type expression's text form.
  void parse_type_text(std::string& out);
  // A literal value as JSON whose nested items stand at `depth` + 1; with
  // `out` null the literal is only checked.
  void parse_literal_json(std::string* out, int depth);
  // A state block as a JSON object whose members stand at `depth`: names in
  // byte order, the last of a repeated name winning.
  void parse_state_block_json_text(std::string& out, int depth,
                                   bool keep_defaults);

  struct MemberSlice {
    size_t name_begin, name_end, value_begin, value_end;
  };

  Scanner& scanner_;
  TokenView current_;
  int depth_ = 0;
  // Reused across state blocks and operations, so that writing the JSON
  // form allocates only while these grow.
  std::string member_arena_;
  std::vector<MemberSlice> members_;
  std::string type_text_;
  std::array<std::string, 6> slots_;
};

// ---- Values ---------------------------------------------------------------

SpannedDouble Parser::parse_confidence_level() {
  if (!at(K::kFloatLiteral)) fail_found("Expected float literal, found ");
  const SpannedDouble value{current_.number, current_.span};
  if (!(value.value >= 0.0 && value.value <= 1.0)) {
    std::string message = "confidence_level must be in [0.0, 1.0], found ";
    append_double(message, value.value, FloatStyle::kPlain);
    fail_at(std::move(message), value.span);
  }
  advance();
  return value;
}

std::vector<SpannedText> Parser::parse_string_list() {
  expect(K::kLBracket);
  std::vector<SpannedText> items;
  if (!at(K::kRBracket)) {
    for (;;) {
      items.push_back(expect_string_literal());
      if (!at(K::kComma)) break;
      advance();
      if (at(K::kRBracket)) break;
    }
  }
  expect(K::kRBracket);
  return items;
}

TypeExpression Parser::parse_type_expression() {
  DepthGuard guard(depth_);
  check_depth(guard);
  TypeExpression type;
  type.span = current_.span;
  auto primitive = [&](PrimitiveType kind) {
    type.kind = TypeExpression::Kind::kPrimitive;
    type.primitive = kind;
    advance();
  };
  switch (current_.kind) {
    case K::kIntegerType: primitive(PrimitiveType::kInteger); break;
    case K::kFloatType: primitive(PrimitiveType::kFloat); break;
    case K::kStringType: primitive(PrimitiveType::kString); break;
    case K::kBooleanType: primitive(PrimitiveType::kBoolean); break;
    case K::kIso8601Type: primitive(PrimitiveType::kIso8601); break;
    case K::kUuidType: primitive(PrimitiveType::kUuid); break;
    case K::kArrayType:
      advance();
      expect(K::kLAngle);
      type.kind = TypeExpression::Kind::kArray;
      type.element = std::make_unique<TypeExpression>(parse_type_expression());
      expect(K::kRAngle);
      break;
    case K::kMapType:
      return parse_map_type(type.span);
    case K::kObjectType:
      advance();
      expect(K::kLBrace);
      type.kind = TypeExpression::Kind::kObject;
      type.fields = parse_state_fields();
      expect(K::kRBrace);
      break;
    case K::kEnumType:
      advance();
      expect(K::kLBracket);
      type.kind = TypeExpression::Kind::kEnum;
      if (!at(K::kRBracket)) {
        for (;;) {
          type.variants.push_back(expect_string_literal());
          if (!at(K::kComma)) break;
          advance();
          if (at(K::kRBracket)) break;
        }
      }
      expect(K::kRBracket);
      break;
    default:
      fail_found("Expected type expression, found ");
  }
  return type;
}

// Called at the Map keyword, within the level of its type expression.
TypeExpression Parser::parse_map_type(const Span& span) {
  TypeExpression type;
  type.kind = TypeExpression::Kind::kMap;
  type.span = span;
  advance();
  expect(K::kLAngle);
  type.key = std::make_unique<TypeExpression>(parse_type_expression());
  expect(K::kComma);
  type.value = std::make_unique<TypeExpression>(parse_type_expression());
  expect(K::kRAngle);
  return type;
}

LiteralValue Parser::parse_literal_value() {
  DepthGuard guard(depth_);
  check_depth(guard);
  LiteralValue literal;
  literal.span = current_.span;
  switch (current_.kind) {
    case K::kStringLiteral:
      literal.kind = LiteralValue::Kind::kString;
      literal.text.assign(current_.text);
      break;
    case K::kIntegerLiteral:
      literal.kind = LiteralValue::Kind::kInteger;
      literal.integer = current_.integer;
      break;
    case K::kFloatLiteral:
      literal.kind = LiteralValue::Kind::kFloat;
      literal.number = current_.number;
      break;
    case K::kBooleanLiteral:
      literal.kind = LiteralValue::Kind::kBoolean;
      literal.boolean = current_.boolean;
      break;
    case K::kLBracket:
      literal.kind = LiteralValue::Kind::kArray;
      advance();
      if (!at(K::kRBracket)) {
        for (;;) {
          literal.elements.push_back(parse_literal_value());
          if (!at(K::kComma)) break;
          advance();
          if (at(K::kRBracket)) break;
        }
      }
      expect(K::kRBracket);
      return literal;
    default:
      fail_found("Expected literal value, found ");
  }
  advance();
  return literal;
}

template <typename OnField>
void Parser::parse_state_fields(OnField&& on_field) {
  while (!at(K::kRBrace)) {
    if (!at(K::kIdentifier)) fail_found("Expected field name, found ");
    std::string name(current_.text);
    const Span span = current_.span;
    advance();
    expect(K::kColon);
    TypeExpression type = parse_type_expression();
    std::optional<LiteralValue> default_value;
    if (at(K::kEquals)) {
      advance();
      default_value = parse_literal_value();
    }
    on_field(std::move(name), span, std::move(type), std::move(default_value));
    optional_comma();
  }
}

std::vector<StateFieldNode> Parser::parse_state_fields() {
  std::vector<StateFieldNode> fields;
  parse_state_fields([&fields](std::string name, const Span& span,
                               TypeExpression type,
                               std::optional<LiteralValue> default_value) {
    StateFieldNode& field = fields.emplace_back();
    field.name.value = std::move(name);
    field.name.span = span;
    field.type = std::move(type);
    field.default_value = std::move(default_value);
    field.span = span;
  });
  return fields;
}

std::vector<StateFieldNode> Parser::parse_state_block() {
  expect(K::kLBrace);
  std::vector<StateFieldNode> fields = parse_state_fields();
  expect(K::kRBrace);
  return fields;
}

Json Parser::parse_state_block_json(bool keep_defaults) {
  expect(K::kLBrace);
  Json::Object members;
  parse_state_fields([&](std::string name, const Span&, TypeExpression type,
                         std::optional<LiteralValue> default_value) {
    LiteralValue* kept =
        keep_defaults && default_value ? &*default_value : nullptr;
    // A repeated name: the later declaration wins. Fields are often
    // written in key order, which the end hint turns into O(1) inserts.
    members.insert_or_assign(members.end(), std::move(name),
                             lower_state_member(type, kept));
  });
  expect(K::kRBrace);
  return Json(std::move(members));
}

// ---- Sections -------------------------------------------------------------

template <std::size_t N, typename ReadValue>
void Parser::parse_fields(const std::array<std::string_view, N>& names,
                          std::string_view where, const Span& block_span,
                          ReadValue&& read_value) {
  std::array<bool, N> given{};
  while (!at(K::kRBrace)) {
    if (!at(K::kIdentifier)) {
      fail_found("Expected field name identifier, found ");
    }
    std::size_t i = 0;
    const std::string_view name = current_.text;
    while (i < N && (names[i].size() != name.size() || names[i][0] != name[0] ||
                     names[i] != name)) {
      ++i;
    }
    if (i == N) {
      std::string message = "Unknown field '";
      message += current_.text;
      message += "' in ";
      message += where;
      fail_at(std::move(message), current_.span);
    }
    // expect_field(names[i]), without comparing the name a second time.
    advance();
    expect(K::kColon);
    read_value(i);
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
    fail_at(std::move(message), block_span);
  }
}

void Parser::parse_identity(IdentityNode& node) {
  node.span = current_.span;
  expect(K::kIdentity);
  expect(K::kLBrace);
  parse_fields(kIdentityFields, "Identity", node.span, [&](std::size_t i) {
    switch (i) {
      case 0: node.stable_id = expect_string_literal(); break;
      case 1: node.version = expect_integer_literal(); break;
      case 2: node.created_timestamp = expect_string_literal(); break;
      case 3: node.owner = expect_string_literal(); break;
      default: node.semantic_hash = expect_string_literal(); break;
    }
  });
}

void Parser::parse_purpose_statement(PurposeStatementNode& node) {
  node.span = current_.span;
  expect(K::kPurposeStatement);
  expect(K::kLBrace);
  parse_fields(kPurposeFields, "PurposeStatement", node.span,
               [&](std::size_t i) {
                 switch (i) {
                   case 0: node.narrative = expect_string_literal(); break;
                   case 1: node.intent_source = expect_string_literal(); break;
                   default:
                     node.confidence_level = parse_confidence_level();
                     break;
                 }
               });
}

void Parser::parse_data_semantics(DataSemanticsNode& node,
                                  Json* state_json) {
  node.span = current_.span;
  expect(K::kDataSemantics);
  expect(K::kLBrace);
  parse_fields(kDataFields, "DataSemantics", node.span, [&](std::size_t i) {
    if (i != 0) {
      node.invariants = parse_string_list();
    } else if (state_json != nullptr) {
      *state_json = parse_state_block_json(true);
    } else {
      node.state = parse_state_block();
    }
  });
}

OperationNode Parser::parse_operation(Json* parameters_json) {
  OperationNode node;
  node.span = current_.span;
  expect(K::kLBrace);
  parse_fields(kOperationFields, "operation", node.span, [&](std::size_t i) {
    switch (i) {
      case 0: node.name = expect_string_literal(); break;
      case 1: node.precondition = expect_string_literal(); break;
      case 2:
        // Parameter defaults are not part of the model.
        if (parameters_json != nullptr) {
          *parameters_json = parse_state_block_json(false);
        } else {
          node.parameters = parse_state_block();
        }
        break;
      case 3: node.postcondition = expect_string_literal(); break;
      case 4: node.side_effects = parse_string_list(); break;
      default: node.idempotence = expect_string_literal(); break;
    }
  });
  return node;
}

template <typename ParseOperation>
void Parser::parse_behavioral_semantics(Span& span,
                                        ParseOperation&& parse_one_operation) {
  span = current_.span;
  expect(K::kBehavioralSemantics);
  expect(K::kLBrace);
  expect_field("operations");
  expect(K::kLBracket);
  while (!at(K::kRBracket)) {
    parse_one_operation();
    optional_comma();
  }
  expect(K::kRBracket);
  optional_comma();
  expect(K::kRBrace);
}

ResourceLimitsNode Parser::parse_resource_limits() {
  ResourceLimitsNode node;
  node.span = current_.span;
  expect(K::kLBrace);
  parse_fields(kLimitFields, "resource_limits", node.span, [&](std::size_t i) {
    switch (i) {
      case 0: node.max_memory_bytes = expect_integer_literal(); break;
      case 1: node.computation_timeout_ms = expect_integer_literal(); break;
      default: node.max_state_size_bytes = expect_integer_literal(); break;
    }
  });
  return node;
}

void Parser::parse_execution_constraints(ExecutionConstraintsNode& node) {
  node.span = current_.span;
  expect(K::kExecutionConstraints);
  expect(K::kLBrace);
  parse_fields(kConstraintFields, "ExecutionConstraints", node.span,
               [&](std::size_t i) {
                 switch (i) {
                   case 0: node.trigger_types = parse_string_list(); break;
                   case 1: node.resource_limits = parse_resource_limits(); break;
                   case 2:
                     node.external_permissions = parse_string_list();
                     break;
                   default: node.sandbox_mode = expect_string_literal(); break;
                 }
               });
}

void Parser::parse_human_machine_contract(HumanMachineContractNode& node) {
  node.span = current_.span;
  expect(K::kHumanMachineContract);
  expect(K::kLBrace);
  parse_fields(kHumanMachineFields, "HumanMachineContract", node.span,
               [&](std::size_t i) {
                 switch (i) {
                   case 0: node.system_commitments = parse_string_list(); break;
                   case 1: node.system_refusals = parse_string_list(); break;
                   default: node.user_obligations = parse_string_list(); break;
                 }
               });
}

ExtensionsNode Parser::parse_extensions() {
  ExtensionsNode node;
  node.span = current_.span;
  expect(K::kExtensions);
  expect(K::kLBrace);
  while (!at(K::kRBrace)) {
    if (!at(K::kIdentifier)) {
      fail_found("Expected system extension name, found ");
    }
    SystemExtensionNode& system = node.systems.emplace_back();
    system.name.value.assign(current_.text);
    system.name.span = current_.span;
    system.span = current_.span;
    advance();
    expect(K::kLBrace);
    while (!at(K::kRBrace)) {
      if (!at(K::kIdentifier)) fail_found("Expected field name, found ");
      CustomFieldNode& field = system.fields.emplace_back();
      field.name.value.assign(current_.text);
      field.name.span = current_.span;
      field.span = current_.span;
      advance();
      expect(K::kColon);
      field.value = parse_literal_value();
      optional_comma();
    }
    advance();
  }
  advance();
  return node;
}

ContractNode Parser::parse_contract_definition() {
  ContractNode node;
  node.span = current_.span;
  expect(K::kContract);
  expect(K::kLBrace);
  parse_identity(node.identity);
  parse_purpose_statement(node.purpose_statement);
  parse_data_semantics(node.data_semantics, nullptr);
  BehavioralSemanticsNode& behavior = node.behavioral_semantics;
  parse_behavioral_semantics(behavior.span, [&] {
    behavior.operations.push_back(parse_operation(nullptr));
  });
  parse_execution_constraints(node.execution_constraints);
  parse_human_machine_contract(node.human_machine_contract);
  expect(K::kRBrace);
  // Whatever follows, other than an Extensions section, is not examined
  // (it has been scanned, so it is lexically valid).
  if (at(K::kExtensions)) node.extensions = parse_extensions();
  return node;
}

Contract Parser::parse_contract_model(SpannedInt& version) {
  Contract contract;
  expect(K::kContract);
  expect(K::kLBrace);
  {
    IdentityNode identity;
    parse_identity(identity);
    version = identity.version;
    lower_identity(identity, contract.identity);
  }
  {
    PurposeStatementNode purpose;
    parse_purpose_statement(purpose);
    lower_purpose_statement(purpose, contract.purpose_statement);
  }
  {
    DataSemanticsNode data;
    Json state = Json::Object{};
    parse_data_semantics(data, &state);
    contract.data_semantics.state = std::move(state);
    contract.data_semantics.invariants = lower_texts(data.invariants);
  }
  Span behavior_span;
  std::vector<Operation>& operations = contract.behavioral_semantics.operations;
  parse_behavioral_semantics(behavior_span, [&] {
    Json parameters = Json::Object{};
    OperationNode node = parse_operation(&parameters);
    Operation& op = operations.emplace_back();
    lower_operation_texts(node, op);
    op.parameters = std::move(parameters);
  });
  {
    ExecutionConstraintsNode constraints;
    parse_execution_constraints(constraints);
    lower_execution_constraints(constraints, contract.execution_constraints);
  }
  {
    HumanMachineContractNode human;
    parse_human_machine_contract(human);
    lower_human_machine_contract(human, contract.human_machine_contract);
  }
  expect(K::kRBrace);
  // Checked like any contract, then dropped: the model has no extensions.
  if (at(K::kExtensions)) parse_extensions();
  return contract;
}

// ---- JSON form, written while parsing ---------------------------------------

void indent(std::string& out, int depth) {
  out.append(static_cast<size_t>(2 * depth), ' ');
}

void Parser::expect_string_json(std::string& slot) {
  if (!at(K::kStringLiteral)) fail_found("Expected string literal, found ");
  slot.clear();
  append_json_string(slot, current_.text);
  advance();
}

void Parser::parse_string_list_json(std::string& out, int depth) {
  expect(K::kLBracket);
  out += '[';
  bool any = false;
  if (!at(K::kRBracket)) {
    for (;;) {
      if (!at(K::kStringLiteral)) fail_found("Expected string literal, found ");
      out += any ? ",\n" : "\n";
      any = true;
      indent(out, depth);
      append_json_string(out, current_.text);
      advance();
      if (!at(K::kComma)) break;
      advance();
      if (at(K::kRBracket)) break;
    }
  }
  expect(K::kRBracket);
  if (any) {
    out += '\n';
    indent(out, depth - 1);
  }
  out += ']';
}

void Parser::parse_type_text(std::string& out) {
  DepthGuard guard(depth_);
  check_depth(guard);
  switch (current_.kind) {
    case K::kIntegerType: out += "Integer"; advance(); return;
    case K::kFloatType: out += "Float"; advance(); return;
    case K::kStringType: out += "String"; advance(); return;
    case K::kBooleanType: out += "Boolean"; advance(); return;
    case K::kIso8601Type: out += "ISO8601"; advance(); return;
    case K::kUuidType: out += "UUID"; advance(); return;
    case K::kArrayType:
      advance();
      expect(K::kLAngle);
      out += "Array<";
      parse_type_text(out);
      expect(K::kRAngle);
      out += '>';
      return;
    case K::kMapType:
      advance();
      expect(K::kLAngle);
      out += "Map<";
      parse_type_text(out);
      expect(K::kComma);
      out += ", ";
      parse_type_text(out);
      expect(K::kRAngle);
      out += '>';
      return;
    case K::kObjectType: {
      advance();
      expect(K::kLBrace);
      out += "Object { ";
      bool first = true;
      // The fields' grammar of parse_state_fields; defaults are checked but
      // not part of the text form.
      while (!at(K::kRBrace)) {
        if (!at(K::kIdentifier)) fail_found("Expected field name, found ");
        if (!first) out += ", ";
        first = false;
        out += current_.text;
        advance();
        expect(K::kColon);
        out += ": ";
        parse_type_text(out);
        if (at(K::kEquals)) {
          advance();
          parse_literal_json(nullptr, 0);
        }
        optional_comma();
      }
      expect(K::kRBrace);
      out += " }";
      return;
    }
    case K::kEnumType: {
      advance();
      expect(K::kLBracket);
      out += "Enum [";
      if (!at(K::kRBracket)) {
        bool first = true;
        for (;;) {
          if (!at(K::kStringLiteral)) {
            fail_found("Expected string literal, found ");
          }
          if (!first) out += ", ";
          first = false;
          out += '"';
          out += current_.text;
          out += '"';
          advance();
          if (!at(K::kComma)) break;
          advance();
          if (at(K::kRBracket)) break;
        }
      }
      expect(K::kRBracket);
      out += ']';
      return;
    }
    default:
      fail_found("Expected type expression, found ");
  }
}

void Parser::parse_literal_json(std::string* out, int depth) {
  DepthGuard guard(depth_);
  check_depth(guard);
  switch (current_.kind) {
    case K::kStringLiteral:
      if (out) append_json_string(*out, current_.text);
      break;
    case K::kIntegerLiteral:
      // Held as unsigned in the model; the language has no negative numbers.
      if (out) append_int(*out, current_.integer);
      break;
    case K::kFloatLiteral:
      if (out) append_double(*out, current_.number, FloatStyle::kJson);
      break;
    case K::kBooleanLiteral:
      if (out) *out += current_.boolean ? "true" : "false";
      break;
    case K::kLBracket: {
      advance();
      if (out) *out += '[';
      bool any = false;
      if (!at(K::kRBracket)) {
        for (;;) {
          if (out) {
            *out += any ? ",\n" : "\n";
            indent(*out, depth + 1);
          }
          any = true;
          parse_literal_json(out, depth + 1);
          if (!at(K::kComma)) break;
          advance();
          if (at(K::kRBracket)) break;
        }
      }
      expect(K::kRBracket);
      if (out) {
        if (any) {
          *out += '\n';
          indent(*out, depth);
        }
        *out += ']';
      }
      return;
    }
    default:
      fail_found("Expected literal value, found ");
  }
  advance();
}

void Parser::parse_state_block_json_text(std::string& out, int depth,
                                         bool keep_defaults) {
  expect(K::kLBrace);
  member_arena_.clear();
  members_.clear();
  while (!at(K::kRBrace)) {
    if (!at(K::kIdentifier)) fail_found("Expected field name, found ");
    MemberSlice m;
    m.name_begin = member_arena_.size();
    member_arena_ += current_.text;
    m.name_end = member_arena_.size();
    advance();
    expect(K::kColon);
    type_text_.clear();
    parse_type_text(type_text_);
    m.value_begin = member_arena_.size();
    if (at(K::kEquals)) {
      advance();
      if (keep_defaults) {
        member_arena_ += "{\n";
        indent(member_arena_, depth + 1);
        member_arena_ += "\"default\": ";
        parse_literal_json(&member_arena_, depth + 1);
        member_arena_ += ",\n";
        indent(member_arena_, depth + 1);
        member_arena_ += "\"type\": ";
        append_json_string(member_arena_, type_text_);
        member_arena_ += '\n';
        indent(member_arena_, depth);
        member_arena_ += '}';
      } else {
        parse_literal_json(nullptr, 0);
        append_json_string(member_arena_, type_text_);
      }
    } else {
      append_json_string(member_arena_, type_text_);
    }
    m.value_end = member_arena_.size();
    members_.push_back(m);
    optional_comma();
  }
  expect(K::kRBrace);

  const std::string& arena = member_arena_;
  auto name_of = [&arena](const MemberSlice& m) {
    return std::string_view(arena).substr(m.name_begin,
                                          m.name_end - m.name_begin);
  };
  std::stable_sort(members_.begin(), members_.end(),
                   [&](const MemberSlice& a, const MemberSlice& b) {
                     return name_of(a) < name_of(b);
                   });
  out += '{';
  bool any = false;
  for (size_t i = 0; i < members_.size(); ++i) {
    // Of equal names only the last written declaration counts.
    if (i + 1 < members_.size() &&
        name_of(members_[i]) == name_of(members_[i + 1])) {
      continue;
    }
    const MemberSlice& m = members_[i];
    out += any ? ",\n" : "\n";
    any = true;
    indent(out, depth);
    append_json_string(out, name_of(m));
    out += ": ";
    out.append(arena, m.value_begin, m.value_end - m.value_begin);
  }
  if (any) {
    out += '\n';
    indent(out, depth - 1);
  }
  out += '}';
}

void Parser::parse_contract_json(std::string& out, SpannedInt& version) {
  std::array<std::string, 6>& slot = slots_;
  auto member = [&out](int depth, std::string_view key, bool first) {
    out += first ? "\n" : ",\n";
    indent(out, depth);
    out += '"';
    out += key;
    out += "\": ";
  };

  expect(K::kContract);
  expect(K::kLBrace);
  out += '{';

  Span span = current_.span;
  expect(K::kIdentity);
  expect(K::kLBrace);
  parse_fields(kIdentityFields, "Identity", span, [&](std::size_t i) {
    if (i == 1) {
      version = expect_integer_literal();
    } else {
      expect_string_json(slot[i]);
    }
  });
  member(1, "identity", true);
  out += '{';
  member(2, "stable_id", true);
  out += slot[0];
  member(2, "version", false);
  // The model holds 32 bits; the caller refuses anything larger.
  append_uint(out, lower_version(version.value));
  member(2, "created_timestamp", false);
  out += slot[2];
  member(2, "owner", false);
  out += slot[3];
  member(2, "semantic_hash", false);
  out += slot[4];
  out += "\n  }";

  span = current_.span;
  expect(K::kPurposeStatement);
  expect(K::kLBrace);
  double confidence = 0.0;
  parse_fields(kPurposeFields, "PurposeStatement", span, [&](std::size_t i) {
    if (i == 2) {
      confidence = parse_confidence_level().value;
    } else {
      expect_string_json(slot[i]);
    }
  });
  member(1, "purpose_statement", false);
  out += '{';
  member(2, "narrative", true);
  out += slot[0];
  member(2, "intent_source", false);
  out += slot[1];
  member(2, "confidence_level", false);
  append_double(out, confidence, FloatStyle::kJson);
  out += "\n  }";

  span = current_.span;
  expect(K::kDataSemantics);
  expect(K::kLBrace);
  parse_fields(kDataFields, "DataSemantics", span, [&](std::size_t i) {
    slot[i].clear();
    if (i == 0) {
      parse_state_block_json_text(slot[0], 3, true);
    } else {
      parse_string_list_json(slot[1], 3);
    }
  });
  member(1, "data_semantics", false);
  out += '{';
  member(2, "state", true);
  out += slot[0];
  member(2, "invariants", false);
  out += slot[1];
  out += "\n  }";

  member(1, "behavioral_semantics", false);
  out += '{';
  member(2, "operations", true);
  out += '[';
  bool any_operation = false;
  Span behavior_span;
  parse_behavioral_semantics(behavior_span, [&] {
    const Span op_span = current_.span;
    expect(K::kLBrace);
    parse_fields(kOperationFields, "operation", op_span, [&](std::size_t i) {
      switch (i) {
        case 2:
          slot[2].clear();
          parse_state_block_json_text(slot[2], 5, false);
          break;
        case 4:
          slot[4].clear();
          parse_string_list_json(slot[4], 5);
          break;
        default:
          expect_string_json(slot[i]);
          break;
      }
    });
    out += any_operation ? ",\n" : "\n";
    any_operation = true;
    indent(out, 3);
    out += '{';
    static constexpr std::array<std::string_view, 6> kOrder = {
        "name", "precondition", "parameters",
        "postcondition", "side_effects", "idempotence"};
    for (size_t i = 0; i < kOrder.size(); ++i) {
      member(4, kOrder[i], i == 0);
      out += slot[i];
    }
    out += '\n';
    indent(out, 3);
    out += '}';
  });
  if (any_operation) {
    out += '\n';
    indent(out, 2);
  }
  out += "]\n  }";

  span = current_.span;
  expect(K::kExecutionConstraints);
  expect(K::kLBrace);
  std::array<int64_t, 3> limits{};
  parse_fields(kConstraintFields, "ExecutionConstraints", span,
               [&](std::size_t i) {
                 switch (i) {
                   case 0:
                   case 2:
                     slot[i].clear();
                     parse_string_list_json(slot[i], 3);
                     break;
                   case 1: {
                     const ResourceLimitsNode node = parse_resource_limits();
                     limits = {node.max_memory_bytes.value,
                               node.computation_timeout_ms.value,
                               node.max_state_size_bytes.value};
                     break;
                   }
                   default:
                     expect_string_json(slot[3]);
                     break;
                 }
               });
  member(1, "execution_constraints", false);
  out += '{';
  member(2, "trigger_types", true);
  out += slot[0];
  member(2, "resource_limits", false);
  out += '{';
  for (size_t i = 0; i < kLimitFields.size(); ++i) {
    member(3, kLimitFields[i], i == 0);
    append_uint(out, static_cast<uint64_t>(limits[i]));
  }
  out += "\n    }";
  member(2, "external_permissions", false);
  out += slot[2];
  member(2, "sandbox_mode", false);
  out += slot[3];
  out += "\n  }";

  span = current_.span;
  expect(K::kHumanMachineContract);
  expect(K::kLBrace);
  parse_fields(kHumanMachineFields, "HumanMachineContract", span,
               [&](std::size_t i) {
                 slot[i].clear();
                 parse_string_list_json(slot[i], 3);
               });
  member(1, "human_machine_contract", false);
  out += '{';
  for (size_t i = 0; i < kHumanMachineFields.size(); ++i) {
    member(2, kHumanMachineFields[i], i == 0);
    out += slot[i];
  }
  out += "\n  }\n}";

  expect(K::kRBrace);
  // Checked like any contract, then dropped: the model has no extensions.
  if (at(K::kExtensions)) parse_extensions();
}

}  // namespace
}  // namespace detail

namespace {

// Runs `parse_with(parser)` over the text with the front end's error
// rules: invalid UTF-8 first; then a lexical error anywhere wins over a
// grammar error, and the whole text is scanned even when the grammar stops
// early.
template <typename T, typename ParseWith>
Result<T> run_parser(std::string_view text, ParseWith&& parse_with) {
  if (auto invalid = detail::check_utf8(text)) {
    return Error::parse_error(std::move(*invalid));
  }
  detail::Scanner scanner(text);
  try {
    detail::Parser parser(scanner);
    T result = parse_with(parser);
    if (auto lexical = scanner.first_error_in_rest()) {
      return Error::parse_error(std::move(*lexical));
    }
    return result;
  } catch (detail::ParseFailure& failure) {
    if (!failure.lexical) {
      if (auto lexical = scanner.first_error_in_rest()) {
        return Error::parse_error(std::move(*lexical));
      }
    }
    return Error::parse_error(std::move(failure.message));
  }
}

}  // namespace

Result<ContractNode> parse(std::string_view text) {
  return run_parser<ContractNode>(text, [](detail::Parser& parser) {
    return parser.parse_contract_definition();
  });
}

namespace {

Error version_out_of_range(const SpannedInt& version) {
  std::string message = "version ";
  append_int(message, version.value);
  message += " is out of range (maximum 4294967295) at ";
  message += version.span.to_string();
  return Error::parse_error(std::move(message));
}

}  // namespace

Result<std::string> parse_contract_json(std::string_view text) {
  SpannedInt version;
  QEL_ASSIGN_OR_RETURN(
      std::string json,
      run_parser<std::string>(text, [&](detail::Parser& parser) {
        std::string out;
        // The JSON form runs about a third longer than a typical contract.
        out.reserve(text.size() + text.size() / 2 + 1024);
        parser.parse_contract_json(out, version);
        return out;
      }));
  if (static_cast<uint64_t>(version.value) > detail::kMaxVersion) {
    return version_out_of_range(version);
  }
  return json;
}

Result<Contract> parse_contract(std::string_view text) {
  SpannedInt version;
  QEL_ASSIGN_OR_RETURN(Contract contract,
                       run_parser<Contract>(text, [&](detail::Parser& parser) {
                         return parser.parse_contract_model(version);
                       }));
  // The tree keeps any written version; the model holds 32 bits.
  if (static_cast<uint64_t>(version.value) > detail::kMaxVersion) {
    return version_out_of_range(version);
  }
  return contract;
}

}  // namespace qel
