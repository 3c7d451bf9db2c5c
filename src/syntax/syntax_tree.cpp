// The syntax tree's token values and positions, and the typed views: the
// only code besides the parser that knows where a value lies among a
// node's tokens.
#include "qel/syntax_tree.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstring>
#include <new>

#include "syntax/tokenizer.h"
#include "util/swar.h"

namespace qel {

namespace {

constexpr const char* kNodeKindNames[] = {
    "Document",       "Contract",         "Identity",
    "PurposeStatement", "DataSemantics",  "BehavioralSemantics",
    "ExecutionConstraints", "HumanMachineContract", "Extensions",
    "Field",          "Operation",        "StateField",
    "ArrayType",      "MapType",          "ObjectType",
    "EnumType",       "ArrayLiteral",     "SystemExtension",
    "CustomField",    "Error",
};

constexpr uint32_t kBlockShift = 8;  // blocks of 256 bytes

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

uint32_t count_continuation(const char* p, const char* end) {
  uint32_t n = 0;
  for (; p < end; ++p) n += is_continuation(static_cast<unsigned char>(*p));
  return n;
}

}  // namespace

const char* node_kind_name(NodeKind kind) {
  return kNodeKindNames[static_cast<int>(kind)];
}

// ---- Tokens -----------------------------------------------------------------

namespace {

// The scanner's layout, exactly.
bool is_layout(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

}  // namespace

uint32_t SyntaxTree::token_end(uint32_t token) const {
  // Without gaps a token is followed by layout up to the next one, and no
  // token but a comment ends in layout: its end is found from the next
  // token's start, without reading the token again (a string's body may
  // be long).
  const TokenKind kind = kinds_[token];
  if (!gaps_ && kind != TokenKind::kComment && kind != TokenKind::kEof) {
    const uint32_t start = offsets_[token];
    uint32_t end = offsets_[token + 1];
    while (end > start && is_layout(source_[end - 1])) --end;
    assert(end == detail::token_end_at(source_, start, kind));
    return end;
  }
  return static_cast<uint32_t>(
      detail::token_end_at(source_, offsets_[token], kind));
}

std::string_view SyntaxTree::string_value(uint32_t token) const {
  const uint32_t offset = offsets_[token];
  if (source_[offset] != '"') return token_text(token);  // a bare timestamp
  const uint32_t end = token_end(token);
  std::string_view inside = source_.substr(offset + 1, end - offset - 2);
  if (decoded_index_.empty() ||
      inside.find('\\') == std::string_view::npos) {
    return inside;
  }
  const auto it = std::lower_bound(
      decoded_index_.begin(), decoded_index_.end(), token,
      [](const Decoded& d, uint32_t t) { return d.token < t; });
  return std::string_view(decoded_).substr(it->offset, it->length);
}

int64_t SyntaxTree::integer_value(uint32_t token) const {
  const std::string_view text = token_text(token);
  int64_t value = 0;
  // The scanner has checked that the digits fit.
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

double SyntaxTree::float_value(uint32_t token) const {
  return detail::float_literal_value(token_text(token));
}

bool SyntaxTree::boolean_value(uint32_t token) const {
  return source_[offsets_[token]] == 't';
}

// ---- Positions --------------------------------------------------------------

void SyntaxTree::build_positions() const {
  const char* const begin = source_.data();
  const char* const end = begin + source_.size();
  line_starts_.clear();
  line_starts_.push_back(0);
  for (const char* p = begin;;) {
    const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (lf == nullptr) break;
    p = static_cast<const char*>(lf) + 1;
    line_starts_.push_back(static_cast<uint32_t>(p - begin));
  }
  bool ascii = true;
  for (const char* p = begin; ascii && p < end;) {
    if (end - p >= 8) {
      ascii = detail::has_non_ascii(detail::load_word(p)) == 0;
      p += 8;
    } else {
      ascii = static_cast<unsigned char>(*p++) < 0x80;
    }
  }
  continuation_before_block_.clear();
  if (!ascii) {
    const size_t blocks = (source_.size() >> kBlockShift) + 1;
    continuation_before_block_.reserve(blocks);
    uint32_t count = 0;
    for (size_t b = 0; b < blocks; ++b) {
      continuation_before_block_.push_back(count);
      const char* from = begin + (b << kBlockShift);
      const char* to = std::min(end, from + (size_t{1} << kBlockShift));
      if (from < to) count += count_continuation(from, to);
    }
  }
  positions_built_ = true;
}

uint32_t SyntaxTree::token_at(uint32_t byte_offset) const {
  const auto after =
      std::upper_bound(offsets_.begin(), offsets_.end(), byte_offset);
  if (after == offsets_.begin()) return 0;
  return static_cast<uint32_t>(after - offsets_.begin()) - 1;
}

Span SyntaxTree::span_at(uint32_t byte_offset) const {
  if (!positions_built_) build_positions();
  const auto line = std::upper_bound(line_starts_.begin(), line_starts_.end(),
                                     byte_offset) -
                    1;
  const uint32_t line_start = *line;
  // Characters before a byte offset: the bytes that start one.
  const auto chars_before = [this](uint32_t offset) -> uint64_t {
    if (continuation_before_block_.empty()) return offset;
    const uint32_t block = offset >> kBlockShift;
    const char* from = source_.data() + (size_t{block} << kBlockShift);
    return offset - continuation_before_block_[block] -
           count_continuation(from, source_.data() + offset);
  };
  const uint64_t offset = chars_before(byte_offset);
  Span span;
  span.line = static_cast<uint64_t>(line - line_starts_.begin()) + 1;
  span.column = offset - chars_before(line_start) + 1;
  span.offset = offset;
  span.byte = byte_offset;
  return span;
}

namespace syntax {

namespace {

bool is_composite_type(TokenKind kind) {
  return kind == TokenKind::kArrayType || kind == TokenKind::kMapType ||
         kind == TokenKind::kObjectType || kind == TokenKind::kEnumType;
}

// The type written at `token` whose node, if it has one, is `node`.
Type type_at(const SyntaxTree& tree, uint32_t token, uint32_t node) {
  return Type(tree, token,
              is_composite_type(tree.token_kind(token)) ? node : kNoNode);
}

Literal literal_at(const SyntaxTree& tree, uint32_t token, uint32_t node) {
  return Literal(tree, token,
                 tree.token_kind(token) == TokenKind::kLBracket ? node
                                                                : kNoNode);
}

}  // namespace

// ---- Node -------------------------------------------------------------------

uint32_t Node::last_field(uint8_t field) const {
  uint32_t found = kNoNode;
  const SyntaxTree::Node& block = raw();
  const bool once = (block.flags & SyntaxTree::kFieldsOnce) != 0;
  for (uint32_t i = index_ + 1; i != block.next; i = tree_->node(i).next) {
    const SyntaxTree::Node& n = tree_->node(i);
    if (n.kind == NodeKind::kField && n.field == field) {
      if (once) return i;
      found = i;
    }
  }
  return found;
}

uint32_t Node::value_token(uint32_t field_node) const {
  const uint32_t name = tree_->node(field_node).first_token;
  return tree_->next_code_token(tree_->next_code_token(name));
}

// ---- Lists of texts ---------------------------------------------------------

TextList::iterator& TextList::iterator::operator++() {
  token_ = tree_->next_code_token(token_);
  if (tree_->token_kind(token_) == TokenKind::kComma) {
    token_ = tree_->next_code_token(token_);
  }
  return *this;
}

std::size_t TextList::size() const {
  std::size_t n = 0;
  for (iterator it = begin(); it != end(); ++it) ++n;
  return n;
}

// ---- Types ------------------------------------------------------------------

const char* primitive_kind_name(PrimitiveKind kind) {
  switch (kind) {
    case PrimitiveKind::kInteger: return "Integer";
    case PrimitiveKind::kFloat: return "Float";
    case PrimitiveKind::kString: return "String";
    case PrimitiveKind::kBoolean: return "Boolean";
    case PrimitiveKind::kIso8601: return "ISO8601";
    case PrimitiveKind::kUuid: return "UUID";
  }
  return "";
}

Type::Kind Type::kind() const {
  switch (tree_->token_kind(token_)) {
    case TokenKind::kArrayType: return Kind::kArray;
    case TokenKind::kMapType: return Kind::kMap;
    case TokenKind::kObjectType: return Kind::kObject;
    case TokenKind::kEnumType: return Kind::kEnum;
    default: return Kind::kPrimitive;
  }
}

PrimitiveKind Type::primitive() const {
  switch (tree_->token_kind(token_)) {
    case TokenKind::kFloatType: return PrimitiveKind::kFloat;
    case TokenKind::kStringType: return PrimitiveKind::kString;
    case TokenKind::kBooleanType: return PrimitiveKind::kBoolean;
    case TokenKind::kIso8601Type: return PrimitiveKind::kIso8601;
    case TokenKind::kUuidType: return PrimitiveKind::kUuid;
    default: return PrimitiveKind::kInteger;
  }
}

uint32_t Type::last_token() const {
  return node_ == kNoNode ? token_ : tree_->node(node_).last_token;
}

// Array < T >: the element starts after the angle bracket, and its node,
// if any, is the first child.
Type Type::element() const {
  const uint32_t first = tree_->next_code_token(tree_->next_code_token(token_));
  return type_at(*tree_, first, node_ + 1);
}

Type Type::key() const { return element(); }

Type Type::value() const {
  const Type k = key();
  const uint32_t comma = tree_->next_code_token(k.last_token());
  const uint32_t first = tree_->next_code_token(comma);
  const uint32_t node =
      k.node() == kNoNode ? node_ + 1 : tree_->node(k.node()).next;
  return type_at(*tree_, first, node);
}

NodeRange<StateField> Type::fields() const { return {*tree_, node_}; }

TextList Type::variants() const {
  return TextList(*tree_, tree_->next_code_token(token_),
                  tree_->node(node_).last_token);
}

void Type::append_text(std::string& out) const {
  // Nesting is bounded by the parser's limit, so this recursion is too.
  switch (kind()) {
    case Kind::kPrimitive:
      out += primitive_kind_name(primitive());
      return;
    case Kind::kArray:
      out += "Array<";
      element().append_text(out);
      out += '>';
      return;
    case Kind::kMap:
      out += "Map<";
      key().append_text(out);
      out += ", ";
      value().append_text(out);
      out += '>';
      return;
    case Kind::kObject: {
      out += "Object { ";
      bool first = true;
      for (const StateField f : fields()) {
        if (!first) out += ", ";
        first = false;
        out += f.name();
        out += ": ";
        f.type().append_text(out);
      }
      out += " }";
      return;
    }
    case Kind::kEnum: {
      out += "Enum [";
      bool first = true;
      for (const Text v : variants()) {
        if (!first) out += ", ";
        first = false;
        out += '"';
        out += v.text();
        out += '"';
      }
      out += ']';
      return;
    }
  }
}

std::string Type::text() const {
  std::string out;
  append_text(out);
  return out;
}

// ---- Literals ---------------------------------------------------------------

Literal::Kind Literal::kind() const {
  switch (tree_->token_kind(token_)) {
    case TokenKind::kIntegerLiteral: return Kind::kInteger;
    case TokenKind::kFloatLiteral: return Kind::kFloat;
    case TokenKind::kBooleanLiteral: return Kind::kBoolean;
    case TokenKind::kLBracket: return Kind::kArray;
    default: return Kind::kString;
  }
}

uint32_t Literal::last_token() const {
  return node_ == kNoNode ? token_ : tree_->node(node_).last_token;
}

Literal::Elements Literal::elements() const { return Elements(*tree_, node_); }

Literal Literal::Elements::iterator::operator*() const {
  return literal_at(*tree_, token_, child_);
}

Literal::Elements::iterator& Literal::Elements::iterator::operator++() {
  uint32_t last = token_;
  if (tree_->token_kind(token_) == TokenKind::kLBracket) {
    last = tree_->node(child_).last_token;
    child_ = tree_->node(child_).next;
  }
  token_ = tree_->next_code_token(last);
  if (tree_->token_kind(token_) == TokenKind::kComma) {
    token_ = tree_->next_code_token(token_);
  }
  return *this;
}

Literal::Elements::iterator Literal::Elements::begin() const {
  const SyntaxTree::Node& n = tree_->node(node_);
  return iterator(tree_, tree_->next_code_token(n.first_token), node_ + 1);
}

Literal::Elements::iterator Literal::Elements::end() const {
  return iterator(tree_, tree_->node(node_).last_token, 0);
}

std::size_t Literal::Elements::size() const {
  std::size_t n = 0;
  for (iterator it = begin(); it != end(); ++it) ++n;
  return n;
}

// ---- State fields -------------------------------------------------------

// name : type [= default]; a composite type is the first child, an array
// default the child after it.
Type StateField::type() const {
  const uint32_t colon = tree_->next_code_token(first_token());
  return type_at(*tree_, tree_->next_code_token(colon), index_ + 1);
}

std::optional<Literal> StateField::default_value() const {
  const Type t = type();
  const uint32_t after_type = t.last_token();
  if (after_type == last_token()) return std::nullopt;
  const uint32_t equals = tree_->next_code_token(after_type);
  const uint32_t first = tree_->next_code_token(equals);
  const uint32_t node =
      t.node() == kNoNode ? index_ + 1 : tree_->node(t.node()).next;
  return literal_at(*tree_, first, node);
}

// ---- Sections -----------------------------------------------------------

#define QEL_FIELD_TOKEN(field) value_token(last_field(static_cast<uint8_t>(field)))

// A string list's tokens: from the bracket after the colon to the field
// node's last token.
#define QEL_FIELD_LIST(field)                                           \
  [&] {                                                                 \
    const uint32_t f = last_field(static_cast<uint8_t>(field));         \
    return TextList(*tree_, value_token(f), tree_->node(f).last_token); \
  }()

Text Identity::stable_id() const {
  return Text(*tree_, QEL_FIELD_TOKEN(IdentityField::kStableId));
}
Integer Identity::version() const {
  return Integer(*tree_, QEL_FIELD_TOKEN(IdentityField::kVersion));
}
Text Identity::created_timestamp() const {
  return Text(*tree_, QEL_FIELD_TOKEN(IdentityField::kCreatedTimestamp));
}
Text Identity::owner() const {
  return Text(*tree_, QEL_FIELD_TOKEN(IdentityField::kOwner));
}
Text Identity::semantic_hash() const {
  return Text(*tree_, QEL_FIELD_TOKEN(IdentityField::kSemanticHash));
}

Text PurposeStatement::narrative() const {
  return Text(*tree_, QEL_FIELD_TOKEN(PurposeField::kNarrative));
}
Text PurposeStatement::intent_source() const {
  return Text(*tree_, QEL_FIELD_TOKEN(PurposeField::kIntentSource));
}
Float PurposeStatement::confidence_level() const {
  return Float(*tree_, QEL_FIELD_TOKEN(PurposeField::kConfidenceLevel));
}

StateFields DataSemantics::state() const {
  return StateFields(*tree_, last_field(static_cast<uint8_t>(DataField::kState)));
}
TextList DataSemantics::invariants() const {
  return QEL_FIELD_LIST(DataField::kInvariants);
}

Text OperationNode::name() const {
  return Text(*tree_, QEL_FIELD_TOKEN(OperationField::kName));
}
Text OperationNode::precondition() const {
  return Text(*tree_, QEL_FIELD_TOKEN(OperationField::kPrecondition));
}
StateFields OperationNode::parameters() const {
  return StateFields(*tree_,
                     last_field(static_cast<uint8_t>(OperationField::kParameters)));
}
Text OperationNode::postcondition() const {
  return Text(*tree_, QEL_FIELD_TOKEN(OperationField::kPostcondition));
}
TextList OperationNode::side_effects() const {
  return QEL_FIELD_LIST(OperationField::kSideEffects);
}
Text OperationNode::idempotence() const {
  return Text(*tree_, QEL_FIELD_TOKEN(OperationField::kIdempotence));
}

NodeRange<OperationNode> BehavioralSemantics::operations() const {
  return NodeRange<OperationNode>(*tree_, index_ + 1);  // the one field
}

Integer ResourceLimits::max_memory_bytes() const {
  return Integer(*tree_, QEL_FIELD_TOKEN(LimitField::kMaxMemoryBytes));
}
Integer ResourceLimits::computation_timeout_ms() const {
  return Integer(*tree_, QEL_FIELD_TOKEN(LimitField::kComputationTimeoutMs));
}
Integer ResourceLimits::max_state_size_bytes() const {
  return Integer(*tree_, QEL_FIELD_TOKEN(LimitField::kMaxStateSizeBytes));
}

TextList ExecutionConstraints::trigger_types() const {
  return QEL_FIELD_LIST(ConstraintField::kTriggerTypes);
}
ResourceLimits ExecutionConstraints::resource_limits() const {
  return ResourceLimits(
      *tree_, last_field(static_cast<uint8_t>(ConstraintField::kResourceLimits)));
}
TextList ExecutionConstraints::external_permissions() const {
  return QEL_FIELD_LIST(ConstraintField::kExternalPermissions);
}
Text ExecutionConstraints::sandbox_mode() const {
  return Text(*tree_, QEL_FIELD_TOKEN(ConstraintField::kSandboxMode));
}

TextList HumanMachineContract::system_commitments() const {
  return QEL_FIELD_LIST(HumanMachineField::kSystemCommitments);
}
TextList HumanMachineContract::system_refusals() const {
  return QEL_FIELD_LIST(HumanMachineField::kSystemRefusals);
}
TextList HumanMachineContract::user_obligations() const {
  return QEL_FIELD_LIST(HumanMachineField::kUserObligations);
}

#undef QEL_FIELD_LIST
#undef QEL_FIELD_TOKEN

Literal CustomField::value() const {
  const uint32_t colon = tree_->next_code_token(first_token());
  return literal_at(*tree_, tree_->next_code_token(colon), index_ + 1);
}

// The sections are the contract's children, always all six, in order.
Identity ContractNode::identity() const { return Identity(*tree_, index_ + 1); }
PurposeStatement ContractNode::purpose_statement() const {
  return PurposeStatement(*tree_, after(identity().index()));
}
DataSemantics ContractNode::data_semantics() const {
  return DataSemantics(*tree_, after(purpose_statement().index()));
}
BehavioralSemantics ContractNode::behavioral_semantics() const {
  return BehavioralSemantics(*tree_, after(data_semantics().index()));
}
ExecutionConstraints ContractNode::execution_constraints() const {
  return ExecutionConstraints(*tree_, after(behavioral_semantics().index()));
}
HumanMachineContract ContractNode::human_machine_contract() const {
  return HumanMachineContract(*tree_, after(execution_constraints().index()));
}

std::optional<Node> ContractNode::section(NodeKind kind) const {
  for (Node child : children()) {
    if (child.kind() == kind) return child;
  }
  return std::nullopt;
}

// Extensions follow the contract's closing brace: the document's second
// child, when there is one.
std::optional<Extensions> ContractNode::extensions() const {
  const uint32_t next = raw().next;
  if (next >= tree_->node_count() ||
      tree_->node(next).kind != NodeKind::kExtensions) {
    return std::nullopt;
  }
  return Extensions(*tree_, next);
}

}  // namespace syntax
}  // namespace qel
