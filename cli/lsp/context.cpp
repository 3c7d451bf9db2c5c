#include "lsp/context.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace qel::cli::lsp {

namespace {

using K = TokenKind;

// What a node around the cursor is, for completion: a block with named
// fields, the braces of declarations, a declaration, a type's angle
// brackets, a list of invariants, another value, or nothing to go by
// (an error node that names nothing).
enum class Role : uint8_t {
  kFields,
  kDeclarations,
  kDeclaration,
  kTypeArguments,
  kInvariants,
  kOperations,
  kValue,
  kNone,
};

struct Place {
  Role role = Role::kNone;
  Block block = Block::kOther;  // kFields: which block
};

constexpr std::array<std::pair<K, Block>, 8> kSectionKeywords{{
    {K::kContract, Block::kContract},
    {K::kIdentity, Block::kIdentity},
    {K::kPurposeStatement, Block::kPurposeStatement},
    {K::kDataSemantics, Block::kDataSemantics},
    {K::kBehavioralSemantics, Block::kBehavioralSemantics},
    {K::kExecutionConstraints, Block::kExecutionConstraints},
    {K::kHumanMachineContract, Block::kHumanMachineContract},
    {K::kExtensions, Block::kExtensions},
}};

std::optional<Block> section_of(K keyword) {
  for (const auto& [kind, block] : kSectionKeywords) {
    if (kind == keyword) return block;
  }
  return std::nullopt;
}

bool is_word(K kind) {
  return kind == K::kIdentifier || kind == K::kBooleanLiteral ||
         (kind >= K::kContract && kind <= K::kEnumType);
}

bool is_closer(K kind) {
  return kind == K::kRBrace || kind == K::kRBracket || kind == K::kRAngle;
}

bool is_word_part(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '-';
}

class Reader {
 public:
  Reader(const SyntaxTree& tree, size_t offset)
      : t_(tree), offset_(offset) {}

  CompletionContext complete();

 private:
  // The code token before `token`; UINT32_MAX before the first (and
  // before UINT32_MAX itself).
  uint32_t previous_code(uint32_t token) const {
    while (token > 0 && token != UINT32_MAX) {
      --token;
      if (t_.token_kind(token) != K::kComment) return token;
    }
    return UINT32_MAX;
  }
  K kind(uint32_t token) const {
    return token == UINT32_MAX ? K::kEof : t_.token_kind(token);
  }

  // The node's last token is its own closing bracket, not a child's.
  bool own_closer(uint32_t node) const;
  bool contains(uint32_t node) const;
  // What `node` is, its parent being `parent`; a block whose opening
  // bracket is not before the cursor is no block around it.
  Place place_of(uint32_t node, const Place& parent) const;
  // A key written as `name :` at the node's start: its name, or empty.
  std::string_view key_of(uint32_t node) const;
  // The names of a block's fields (or sections) written so far.
  std::vector<std::string_view> present(uint32_t node) const;
  // The names declared in `field` of `block` (state, parameters),
  // including those of a declaration block an error cut short.
  std::vector<std::string> declared(uint32_t block, std::string_view field) const;
  void complete_condition(uint32_t string_token, size_t begin,
                          CompletionContext& context) const;

  const SyntaxTree& t_;
  size_t offset_;
  uint32_t typed_ = UINT32_MAX;  // the word being typed
  std::vector<uint32_t> path_;   // nodes around the cursor, outermost first
};

bool Reader::own_closer(uint32_t node) const {
  const SyntaxTree::Node& n = t_.node(node);
  if (!is_closer(t_.token_kind(n.last_token))) return false;
  for (uint32_t i = node + 1; i != n.next; i = t_.node(i).next) {
    if (t_.node(i).last_token == n.last_token) return false;
  }
  return true;
}

bool Reader::contains(uint32_t node) const {
  const SyntaxTree::Node& n = t_.node(node);
  if (n.first_token == typed_) return false;  // the cursor is on its key
  if (t_.token_offset(n.first_token) >= offset_) return false;
  size_t end = t_.token_end(n.last_token);
  if (own_closer(node)) {
    end = t_.token_offset(n.last_token);
  } else if (n.kind != NodeKind::kStateField &&
             n.kind != NodeKind::kCustomField &&
             n.kind != NodeKind::kArrayLiteral &&
             (n.kind != NodeKind::kField ||
              t_.token_kind(t_.next_code_token(t_.next_code_token(
                  n.first_token))) == K::kLBrace)) {
    // A block without its closing bracket, or what an error cut short,
    // runs on to whatever comes next.
    const uint32_t next = t_.next_code_token(n.last_token);
    end = t_.token_kind(next) == K::kEof ? t_.source().size()
                                         : t_.token_offset(next);
  }
  return offset_ <= end;
}

std::string_view Reader::key_of(uint32_t node) const {
  const uint32_t first = t_.node(node).first_token;
  if (t_.token_kind(first) != K::kIdentifier ||
      t_.token_kind(t_.next_code_token(first)) != K::kColon) {
    return {};
  }
  return t_.token_text(first);
}

Place Reader::place_of(uint32_t node, const Place& parent) const {
  const SyntaxTree::Node& n = t_.node(node);
  const uint32_t first = n.first_token;
  // The opening bracket a block's body follows, and the block it opens.
  const auto block_after = [&](uint32_t opener, K bracket, Place place) {
    if (opener > n.last_token || t_.token_kind(opener) != bracket ||
        t_.token_offset(opener) >= offset_) {
      return Place{};
    }
    return place;
  };
  const auto keyed = [&](std::string_view key) -> Place {
    const uint32_t value = t_.next_code_token(t_.next_code_token(first));
    if (parent.role == Role::kDeclarations) return {Role::kDeclaration};
    if (key == "state" || key == "parameters") {
      return block_after(value, K::kLBrace, {Role::kDeclarations});
    }
    if (key == "resource_limits") {
      return block_after(value, K::kLBrace,
                         {Role::kFields, Block::kResourceLimits});
    }
    if (key == "invariants") {
      return block_after(value, K::kLBracket, {Role::kInvariants});
    }
    if (key == "operations") {
      return block_after(value, K::kLBracket, {Role::kOperations});
    }
    return {Role::kValue};
  };
  const K first_kind = t_.token_kind(first);
  switch (n.kind) {
    case NodeKind::kDocument:
      return {Role::kFields, Block::kTop};
    case NodeKind::kOperation:
      return block_after(first, K::kLBrace, {Role::kFields, Block::kOperation});
    case NodeKind::kObjectType:
      return block_after(t_.next_code_token(first), K::kLBrace,
                         {Role::kDeclarations});
    case NodeKind::kArrayType:
    case NodeKind::kMapType:
      return block_after(t_.next_code_token(first), K::kLAngle,
                         {Role::kTypeArguments});
    case NodeKind::kStateField:
      return {Role::kDeclaration};
    case NodeKind::kField:
      return keyed(t_.token_text(first));
    case NodeKind::kError:
      break;
    default:
      if (const auto block = section_of(first_kind)) {
        return block_after(t_.next_code_token(first), K::kLBrace,
                           {Role::kFields, *block});
      }
      return {Role::kValue};
  }
  // An error node: what its first tokens say it was going to be.
  if (const auto block = section_of(first_kind)) {
    return block_after(t_.next_code_token(first), K::kLBrace,
                       {Role::kFields, *block});
  }
  if (first_kind == K::kObjectType) {
    return block_after(t_.next_code_token(first), K::kLBrace,
                       {Role::kDeclarations});
  }
  if (first_kind == K::kArrayType || first_kind == K::kMapType) {
    return block_after(t_.next_code_token(first), K::kLAngle,
                       {Role::kTypeArguments});
  }
  if (first_kind == K::kLBrace && parent.role == Role::kOperations) {
    return block_after(first, K::kLBrace, {Role::kFields, Block::kOperation});
  }
  if (const std::string_view key = key_of(node); !key.empty()) {
    return keyed(key);
  }
  return {};
}

std::vector<std::string_view> Reader::present(uint32_t node) const {
  std::vector<std::string_view> names;
  const uint32_t end = t_.node(node).next;
  for (uint32_t i = node + 1; i != end; i = t_.node(i).next) {
    const SyntaxTree::Node& c = t_.node(i);
    if (c.first_token == typed_) continue;
    const K first = t_.token_kind(c.first_token);
    if (section_of(first)) {
      names.push_back(t_.token_text(c.first_token));
    } else if (c.kind == NodeKind::kField || c.kind == NodeKind::kError) {
      if (const std::string_view key = key_of(i); !key.empty()) {
        names.push_back(key);
      }
    }
  }
  return names;
}

std::vector<std::string> Reader::declared(uint32_t block,
                                          std::string_view field) const {
  std::vector<std::string> names;
  const uint32_t end = t_.node(block).next;
  for (uint32_t i = block + 1; i != end; i = t_.node(i).next) {
    const NodeKind kind = t_.node(i).kind;
    if ((kind != NodeKind::kField && kind != NodeKind::kError) ||
        key_of(i) != field) {
      continue;
    }
    for (uint32_t d = i + 1; d != t_.node(i).next; d = t_.node(d).next) {
      if (t_.node(d).kind == NodeKind::kStateField) {
        names.emplace_back(t_.token_text(t_.node(d).first_token));
      }
    }
  }
  return names;
}

// A string is a condition as the value of a precondition or postcondition,
// or as an item of the invariants list.
void Reader::complete_condition(uint32_t string_token, size_t begin,
                                CompletionContext& context) const {
  size_t start = offset_;
  const std::string_view source = t_.source();
  while (start > begin + 1 && is_word_part(source[start - 1])) --start;
  context.word = ByteRange{start, offset_};
  uint32_t p = previous_code(string_token);
  bool invariant = false;
  if (kind(p) == K::kColon) {
    const uint32_t key = previous_code(p);
    if (kind(key) != K::kIdentifier) return;
    const std::string_view name = t_.token_text(key);
    if (name != "precondition" && name != "postcondition") return;
  } else {
    while (kind(p) == K::kStringLiteral || kind(p) == K::kComma) {
      p = previous_code(p);
    }
    const uint32_t colon = previous_code(p);
    const uint32_t key = previous_code(colon);
    invariant = kind(p) == K::kLBracket && kind(colon) == K::kColon &&
                kind(key) == K::kIdentifier &&
                t_.token_text(key) == "invariants";
    if (!invariant) return;
  }
  context.kind = CompletionContext::Kind::kConditionNames;
  const syntax::ContractNode contract = t_.contract();
  if (const auto data = contract.section(NodeKind::kDataSemantics)) {
    context.state = declared(data->index(), "state");
  }
  if (invariant) return;
  for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
    if (t_.node(*it).kind == NodeKind::kOperation) {
      context.parameters = declared(*it, "parameters");
      break;
    }
  }
}

CompletionContext Reader::complete() {
  CompletionContext context;
  context.word = ByteRange{offset_, offset_};
  // The token the cursor is in or after.
  uint32_t at = offset_ == 0 ? UINT32_MAX
                             : t_.token_at(static_cast<uint32_t>(offset_ - 1));
  if (at != UINT32_MAX && t_.token_kind(at) == K::kComment) {
    if (offset_ <= t_.token_end(at)) return context;
    at = previous_code(at);
  }
  // A string never closed ends the tokens: the end is at its quote.
  const bool open_string = at != UINT32_MAX && kind(at) == K::kEof &&
                           t_.token_offset(at) < t_.source().size() &&
                           t_.source()[t_.token_offset(at)] == '"';
  uint32_t prev = at;
  if (at != UINT32_MAX && is_word(t_.token_kind(at)) &&
      offset_ <= t_.token_end(at)) {
    typed_ = at;
    context.word = ByteRange{t_.token_offset(at), offset_};
    prev = previous_code(at);
  }
  // The nodes around the cursor, from the document in.
  std::vector<Place> places{Place{Role::kFields, Block::kTop}};
  path_.push_back(0);
  for (bool deeper = true; deeper;) {
    deeper = false;
    const uint32_t node = path_.back();
    const uint32_t end = t_.node(node).next;
    for (uint32_t i = node + 1; i != end; i = t_.node(i).next) {
      if (!contains(i)) continue;
      Place place = place_of(i, places.back());
      if (place.role == Role::kNone && t_.node(i).kind != NodeKind::kError) {
        break;  // a block whose brace comes after the cursor
      }
      if (place.role == Role::kNone) place = places.back();
      path_.push_back(i);
      places.push_back(place);
      deeper = true;
      break;
    }
  }
  if (open_string || (kind(at) == K::kStringLiteral && typed_ == UINT32_MAX &&
                      offset_ < t_.token_end(at))) {
    complete_condition(at, t_.token_offset(at), context);
    return context;
  }
  const Place& inner = places.back();
  const K before = kind(prev);
  switch (inner.role) {
    case Role::kDeclarations:
    case Role::kDeclaration:
    case Role::kTypeArguments:
      if (before == K::kColon || before == K::kLAngle ||
          (before == K::kComma && inner.role == Role::kTypeArguments)) {
        context.kind = CompletionContext::Kind::kTypes;
      }
      return context;
    case Role::kFields: {
      context.block = inner.block;
      const auto names = block_fields(inner.block);
      if (before == K::kColon || names.empty()) return context;
      // The block is the innermost named one: find its node.
      uint32_t block_node = 0;
      for (size_t i = path_.size(); i-- > 0;) {
        if (places[i].role == Role::kFields) {
          block_node = path_[i];
          break;
        }
      }
      const std::vector<std::string_view> written = present(block_node);
      context.kind = CompletionContext::Kind::kFields;
      for (std::string_view name : names) {
        if (std::find(written.begin(), written.end(), name) == written.end()) {
          context.missing.emplace_back(name);
        }
      }
      return context;
    }
    default:
      return context;
  }
}

}  // namespace

CompletionContext completion_at(const SyntaxTree& tree, size_t offset) {
  if (tree.node_count() == 0) return {};
  return Reader(tree, std::min(offset, tree.source().size())).complete();
}

std::optional<FieldKey> field_key_at(const SyntaxTree& tree, size_t offset) {
  if (tree.node_count() == 0) return std::nullopt;
  offset = std::min(offset, tree.source().size());
  const uint32_t token = tree.token_at(static_cast<uint32_t>(offset));
  if (!is_word(tree.token_kind(token)) || offset > tree.token_end(token)) {
    return std::nullopt;
  }
  // Nodes lie in pre-order, so their first tokens never decrease.
  uint32_t lo = 0, hi = tree.node_count();
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (tree.node(mid).first_token < token) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  for (uint32_t i = lo; i < tree.node_count() && tree.node(i).first_token == token;
       ++i) {
    const NodeKind kind = tree.node(i).kind;
    const bool key = kind == NodeKind::kField ||
                     (kind != NodeKind::kError && kind != NodeKind::kDocument &&
                      section_of(tree.token_kind(token)).has_value());
    if (key) {
      return FieldKey{tree.token_text(token),
                      ByteRange{tree.token_offset(token), tree.token_end(token)}};
    }
  }
  return std::nullopt;
}

}  // namespace qel::cli::lsp
