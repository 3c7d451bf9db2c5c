// The one syntax tree of a contract text, shared by every reader: the
// contract JSON, the model for execute, the canonical form and hash, the
// verifier, the lints and the command line's diagnostics.
//
// It is lossless and flat. Tokens, comments included, lie in one array in
// source order; whitespace is the gap between two tokens. Nodes lie in one
// array in pre-order, each naming its first and last token and the index
// one past its subtree, so walking children is a loop and no node owns
// memory. Texts are views into the source, which must outlive the tree;
// only a string literal holding an escape keeps a decoded copy.
//
// A token stores its kind and byte offset only (five bytes): its end is
// found again by scanning the one token, which every kind allows cheaply.
// That keeps a tree near the size of its text.
//
// Readers use the typed views of namespace qel::syntax below, never the
// arrays: the views are the only code besides the parser that knows where
// a value sits among a node's tokens.
#ifndef QEL_SYNTAX_TREE_H_
#define QEL_SYNTAX_TREE_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/span.h"
#include "qel/token.h"

namespace qel {

enum class NodeKind : uint8_t {
  kDocument,  // the whole text: a Contract, then maybe Extensions
  kContract,  // Contract { the six sections }
  kIdentity,  // the six sections: keyword { fields }
  kPurposeStatement,
  kDataSemantics,
  kBehavioralSemantics,
  kExecutionConstraints,
  kHumanMachineContract,
  kExtensions,       // Extensions { systems }
  kField,            // name: value, inside a section, operation or limits
  kOperation,        // { fields }
  kStateField,       // name: type [= literal]
  kArrayType,        // Array<T>
  kMapType,          // Map<K, V>
  kObjectType,       // Object { state fields }
  kEnumType,         // Enum [ strings ]
  kArrayLiteral,     // [ literals ]
  kSystemExtension,  // name { custom fields }
  kCustomField,      // name: literal
  kError,            // tokens a tolerant parse skipped, or a node it left
                     // unfinished; only in trees with errors
};

// "Document", "Contract", ..., "CustomField": for dumps and messages.
const char* node_kind_name(NodeKind kind);

namespace syntax {
class ContractNode;
}  // namespace syntax

namespace detail {

class TreeBuilder;

// Memory for the tree's arrays. Blocks of kMappedBlock bytes or more are
// mapped from the system, so that reserved but untouched room costs
// nothing; smaller ones come from the heap. A freed mapped block is kept
// by the freeing thread for its next tree, within a bound set by the last
// text parsed (note_call_input), and given back beyond it and when the
// thread ends.
inline constexpr std::size_t kMappedBlock = std::size_t{256} << 10;
void* allocate_pages(std::size_t bytes);
void free_pages(void* block, std::size_t bytes) noexcept;
// A call on a text of `bytes` begins: what the thread keeps is cut to a
// few times that (or a few megabytes).
void note_call_input(std::size_t bytes) noexcept;
// The bytes of mapped blocks this thread keeps.
std::size_t kept_block_bytes() noexcept;

template <typename T>
struct PageAllocator {
  using value_type = T;
  PageAllocator() = default;
  template <typename U>
  PageAllocator(const PageAllocator<U>&) {}  // NOLINT: rebinding
  T* allocate(std::size_t n) {
    return static_cast<T*>(allocate_pages(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) { free_pages(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const PageAllocator<U>&) const {
    return true;
  }
};

template <typename T>
using PageVector = std::vector<T, PageAllocator<T>>;

}  // namespace detail

class SyntaxTree {
 public:
  struct Node {
    NodeKind kind;
    // kField: which field of its block, as numbered in the views below
    // (IdentityField, ...); 0 for other kinds.
    uint8_t field;
    // kFieldsOnce: no field number occurs twice among the node's kField
    // children (the usual case), so the first found is the last.
    uint16_t flags;
    uint32_t first_token;
    uint32_t last_token;  // inclusive
    uint32_t next;        // one past the subtree: the next sibling, if any
  };

  static constexpr uint16_t kFieldsOnce = 1;

  SyntaxTree() = default;
  SyntaxTree(SyntaxTree&&) noexcept = default;
  SyntaxTree& operator=(SyntaxTree&&) noexcept = default;
  SyntaxTree(const SyntaxTree&) = delete;
  SyntaxTree& operator=(const SyntaxTree&) = delete;

  std::string_view source() const { return source_; }

  // ---- Tokens ---------------------------------------------------------
  // Every token of the text in source order, comments (TokenKind::kComment,
  // "//" up to the line feed) included; the last one is always Eof, at the
  // end of the text.

  uint32_t token_count() const { return static_cast<uint32_t>(kinds_.size()); }
  TokenKind token_kind(uint32_t token) const { return kinds_[token]; }
  uint32_t token_offset(uint32_t token) const { return offsets_[token]; }
  // One past the token's last byte.
  uint32_t token_end(uint32_t token) const;
  // The token as written (a string literal with its quotes).
  std::string_view token_text(uint32_t token) const {
    return source_.substr(offsets_[token], token_end(token) - offsets_[token]);
  }
  // The first token after `token` that is not a comment (Eof stays Eof).
  uint32_t next_code_token(uint32_t token) const {
    do {
      ++token;
    } while (kinds_[token] == TokenKind::kComment);
    return token;
  }

  // Values of literal tokens, as the language reads them.
  std::string_view string_value(uint32_t token) const;  // escapes decoded
  int64_t integer_value(uint32_t token) const;
  double float_value(uint32_t token) const;  // too large: infinity
  bool boolean_value(uint32_t token) const;

  // ---- Positions ------------------------------------------------------
  // Line and column in characters, computed on demand from a table of line
  // starts built on first use; each costs a binary search and at most a
  // few hundred bytes of counting, however long the line. Building that
  // table writes to the tree: threads that share a tree must not ask for
  // positions at the same time.

  Span token_span(uint32_t token) const { return span_at(offsets_[token]); }
  Span span_at(uint32_t byte_offset) const;

  // The token holding `byte_offset` (the last one starting at or before
  // it; Eof at the end of the text).
  uint32_t token_at(uint32_t byte_offset) const;

  // ---- Nodes ----------------------------------------------------------
  // Node 0 is the kDocument node.

  uint32_t node_count() const { return static_cast<uint32_t>(nodes_.size()); }
  const Node& node(uint32_t index) const { return nodes_[index]; }

  syntax::ContractNode contract() const;

 private:
  friend class detail::TreeBuilder;

  // A string literal with escapes: its decoded value in decoded_.
  struct Decoded {
    uint32_t token;
    uint32_t offset;
    uint32_t length;
  };

  void build_positions() const;

  std::string_view source_;
  detail::PageVector<TokenKind> kinds_;
  detail::PageVector<uint32_t> offsets_;
  detail::PageVector<Node> nodes_;
  std::string decoded_;
  std::vector<Decoded> decoded_index_;  // by token
  // Whether some bytes belong to no token (a tolerant parse skipped them
  // after a lexical error). Without gaps only layout lies between tokens.
  bool gaps_ = false;

  // Built on first use of a position.
  mutable bool positions_built_ = false;
  mutable detail::PageVector<uint32_t> line_starts_;  // byte offsets
  // Without non-ASCII text a byte offset is a character offset; otherwise
  // the UTF-8 continuation bytes before every 256-byte block.
  mutable detail::PageVector<uint32_t> continuation_before_block_;
};

// ---- Typed views ----------------------------------------------------------
// Small values over (tree, position): copy them freely, keep them no longer
// than the tree. A field repeated in the text reads as its last occurrence;
// the tree itself keeps every occurrence.

namespace syntax {

inline constexpr uint32_t kNoNode = UINT32_MAX;

// Field numbers of the blocks with named fields (SyntaxTree::Node::field),
// in the order their required fields are checked.
enum class IdentityField : uint8_t {
  kStableId, kVersion, kCreatedTimestamp, kOwner, kSemanticHash };
enum class PurposeField : uint8_t {
  kNarrative, kIntentSource, kConfidenceLevel };
enum class DataField : uint8_t { kState, kInvariants };
enum class BehaviorField : uint8_t { kOperations };
enum class OperationField : uint8_t {
  kName, kPrecondition, kParameters, kPostcondition, kSideEffects,
  kIdempotence };
enum class ConstraintField : uint8_t {
  kTriggerTypes, kResourceLimits, kExternalPermissions, kSandboxMode };
enum class LimitField : uint8_t {
  kMaxMemoryBytes, kComputationTimeoutMs, kMaxStateSizeBytes };
enum class HumanMachineField : uint8_t {
  kSystemCommitments, kSystemRefusals, kUserObligations };

// Any node.
class Node {
 public:
  Node() = default;
  Node(const SyntaxTree& tree, uint32_t index) : tree_(&tree), index_(index) {}

  const SyntaxTree& tree() const { return *tree_; }
  uint32_t index() const { return index_; }
  NodeKind kind() const { return raw().kind; }
  uint32_t first_token() const { return raw().first_token; }
  uint32_t last_token() const { return raw().last_token; }
  // The position of the node's first token (a section's keyword, an
  // operation's opening brace, a field's name, a type's keyword).
  Span span() const { return tree_->token_span(raw().first_token); }

  class Children;
  Children children() const;

  // Whether the block holds field number `field` (as a kField child). A
  // tree without errors has every required field, and the typed views
  // read them without asking; in a tree with errors ask first.
  bool has_field(uint8_t field) const { return last_field(field) != kNoNode; }

 protected:
  const SyntaxTree::Node& raw() const { return tree_->node(index_); }
  // The last child of kind kField numbered `field`: a repeated field
  // reads as its last occurrence. kNoNode when there is none.
  uint32_t last_field(uint8_t field) const;
  // The node after `node`'s subtree.
  uint32_t after(uint32_t node) const { return tree_->node(node).next; }
  // The first token of a field node's value (after the name and colon).
  uint32_t value_token(uint32_t field_node) const;

  const SyntaxTree* tree_ = nullptr;
  uint32_t index_ = 0;
};

// The direct children of a node, each as a view of type V.
template <typename V>
class NodeRange {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = V;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = V;

    iterator() = default;
    iterator(const SyntaxTree* tree, uint32_t index, uint32_t end)
        : tree_(tree), index_(skip_errors(tree, index, end)), end_(end) {}
    V operator*() const { return V(*tree_, index_); }
    iterator& operator++() {
      index_ = skip_errors(tree_, tree_->node(index_).next, end_);
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const {
      return index_ == other.index_;
    }

   private:
    const SyntaxTree* tree_ = nullptr;
    uint32_t index_ = 0;
    uint32_t end_ = 0;
  };

  NodeRange() = default;
  NodeRange(const SyntaxTree& tree, uint32_t parent)
      : tree_(&tree),
        begin_(parent + 1),
        end_(tree.node(parent).next) {}

  iterator begin() const { return iterator(tree_, begin_, end_); }
  iterator end() const { return iterator(tree_, end_, end_); }
  bool empty() const { return begin() == end(); }
  std::size_t size() const;  // counts: a walk over the children

 private:
  // Error nodes are not children a view can read: they are passed over.
  static uint32_t skip_errors(const SyntaxTree* tree, uint32_t index,
                              uint32_t end) {
    while (index != end && tree->node(index).kind == NodeKind::kError) {
      index = tree->node(index).next;
    }
    return index;
  }

  const SyntaxTree* tree_ = nullptr;
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
};

template <typename V>
std::size_t NodeRange<V>::size() const {
  std::size_t n = 0;
  for (iterator i = begin(); i != end(); ++i) ++n;
  return n;
}

class Node::Children : public NodeRange<Node> {
 public:
  using NodeRange<Node>::NodeRange;
};

inline Node::Children Node::children() const {
  return Children(*tree_, index_);
}

// ---- Values written as one token ------------------------------------------

class Token {
 public:
  Token() = default;
  Token(const SyntaxTree& tree, uint32_t token) : tree_(&tree), token_(token) {}
  const SyntaxTree& tree() const { return *tree_; }
  uint32_t token() const { return token_; }
  TokenKind kind() const { return tree_->token_kind(token_); }
  Span span() const { return tree_->token_span(token_); }
  std::string_view source_text() const { return tree_->token_text(token_); }

 protected:
  const SyntaxTree* tree_ = nullptr;
  uint32_t token_ = 0;
};

// A string literal, quoted or a bare timestamp.
class Text : public Token {
 public:
  using Token::Token;
  std::string_view text() const { return tree_->string_value(token_); }
};

class Integer : public Token {
 public:
  using Token::Token;
  int64_t value() const { return tree_->integer_value(token_); }
};

class Float : public Token {
 public:
  using Token::Token;
  double value() const { return tree_->float_value(token_); }
};

// [ "a", "b" ] — a string list, or an enumeration's variants: the string
// literals between two brackets.
class TextList {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Text;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Text;

    iterator() = default;
    iterator(const SyntaxTree* tree, uint32_t token)
        : tree_(tree), token_(token) {}
    Text operator*() const { return Text(*tree_, token_); }
    iterator& operator++();
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const {
      return token_ == other.token_;
    }

   private:
    const SyntaxTree* tree_ = nullptr;
    uint32_t token_ = 0;
  };

  TextList() = default;
  // `open` is the opening bracket, `close` the closing one.
  TextList(const SyntaxTree& tree, uint32_t open, uint32_t close)
      : tree_(&tree), open_(open), close_(close) {}

  iterator begin() const {
    return iterator(tree_, tree_->next_code_token(open_));
  }
  iterator end() const { return iterator(tree_, close_); }
  bool empty() const { return tree_->next_code_token(open_) == close_; }
  std::size_t size() const;
  uint32_t open_token() const { return open_; }
  uint32_t close_token() const { return close_; }
  Span span() const { return tree_->token_span(open_); }

 private:
  const SyntaxTree* tree_ = nullptr;
  uint32_t open_ = 0;
  uint32_t close_ = 0;
};

// ---- Types and literals ---------------------------------------------------

enum class PrimitiveKind : uint8_t {
  kInteger, kFloat, kString, kBoolean, kIso8601, kUuid };

// "Integer", "Float", "String", "Boolean", "ISO8601", "UUID".
const char* primitive_kind_name(PrimitiveKind kind);

class StateField;

// A type expression: a primitive keyword, or a node for the others.
class Type {
 public:
  enum class Kind : uint8_t { kPrimitive, kArray, kMap, kObject, kEnum };

  Type() = default;
  // `node` is kNoNode for a primitive type.
  Type(const SyntaxTree& tree, uint32_t token, uint32_t node)
      : tree_(&tree), token_(token), node_(node) {}

  const SyntaxTree& tree() const { return *tree_; }
  Kind kind() const;
  PrimitiveKind primitive() const;  // kPrimitive only
  Span span() const { return tree_->token_span(token_); }  // the keyword
  uint32_t first_token() const { return token_; }
  uint32_t last_token() const;
  uint32_t node() const { return node_; }  // kNoNode for a primitive

  Type element() const;  // kArray
  Type key() const;      // kMap
  Type value() const;    // kMap
  NodeRange<StateField> fields() const;  // kObject
  TextList variants() const;             // kEnum

  // The type's text form: Integer, Array<T>, Map<K, V>,
  // Object { a: T, b: U }, Enum ["x", "y"] (variants unescaped).
  void append_text(std::string& out) const;
  std::string text() const;

 private:
  const SyntaxTree* tree_ = nullptr;
  uint32_t token_ = 0;
  uint32_t node_ = kNoNode;
};

// A literal value: one token, or an array node.
class Literal {
 public:
  enum class Kind : uint8_t { kString, kInteger, kFloat, kBoolean, kArray };

  class Elements;

  Literal() = default;
  // `node` is kNoNode for a literal of one token.
  Literal(const SyntaxTree& tree, uint32_t token, uint32_t node)
      : tree_(&tree), token_(token), node_(node) {}

  const SyntaxTree& tree() const { return *tree_; }
  Kind kind() const;
  Span span() const { return tree_->token_span(token_); }  // "[" for arrays
  uint32_t first_token() const { return token_; }
  uint32_t last_token() const;
  uint32_t node() const { return node_; }

  std::string_view text() const { return tree_->string_value(token_); }
  int64_t integer() const { return tree_->integer_value(token_); }
  double number() const { return tree_->float_value(token_); }
  bool boolean() const { return tree_->boolean_value(token_); }
  Elements elements() const;  // kArray

 private:
  const SyntaxTree* tree_ = nullptr;
  uint32_t token_ = 0;
  uint32_t node_ = kNoNode;
};

class Literal::Elements {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Literal;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Literal;

    iterator() = default;
    iterator(const SyntaxTree* tree, uint32_t token, uint32_t child)
        : tree_(tree), token_(token), child_(child) {}
    Literal operator*() const;
    iterator& operator++();
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const {
      return token_ == other.token_;
    }

   private:
    const SyntaxTree* tree_ = nullptr;
    uint32_t token_ = 0;  // the element's first token
    uint32_t child_ = 0;  // the next nested array's node
  };

  Elements(const SyntaxTree& tree, uint32_t node) : tree_(&tree), node_(node) {}
  iterator begin() const;
  iterator end() const;
  bool empty() const { return begin() == end(); }
  std::size_t size() const;

 private:
  const SyntaxTree* tree_;
  uint32_t node_;
};

// name: type [= default] — a state field, a parameter or an object field.
class StateField : public Node {
 public:
  using Node::Node;
  std::string_view name() const { return tree_->token_text(first_token()); }
  Span name_span() const { return span(); }
  Type type() const;
  std::optional<Literal> default_value() const;
};

using StateFields = NodeRange<StateField>;

// ---- Sections -------------------------------------------------------------

class Identity : public Node {
 public:
  using Node::Node;
  Text stable_id() const;
  Integer version() const;
  Text created_timestamp() const;
  Text owner() const;
  Text semantic_hash() const;
};

class PurposeStatement : public Node {
 public:
  using Node::Node;
  Text narrative() const;
  Text intent_source() const;
  Float confidence_level() const;
};

class DataSemantics : public Node {
 public:
  using Node::Node;
  StateFields state() const;
  TextList invariants() const;
};

class OperationNode : public Node {
 public:
  using Node::Node;
  Text name() const;
  Text precondition() const;
  StateFields parameters() const;
  Text postcondition() const;
  TextList side_effects() const;
  Text idempotence() const;
};

class BehavioralSemantics : public Node {
 public:
  using Node::Node;
  NodeRange<OperationNode> operations() const;
};

// The resource_limits block: the node of its field; its span is that of
// the block's opening brace.
class ResourceLimits : public Node {
 public:
  using Node::Node;
  Integer max_memory_bytes() const;
  Integer computation_timeout_ms() const;
  Integer max_state_size_bytes() const;
  Span span() const { return tree_->token_span(value_token(index_)); }
};

class ExecutionConstraints : public Node {
 public:
  using Node::Node;
  TextList trigger_types() const;
  ResourceLimits resource_limits() const;
  TextList external_permissions() const;
  Text sandbox_mode() const;
};

class HumanMachineContract : public Node {
 public:
  using Node::Node;
  TextList system_commitments() const;
  TextList system_refusals() const;
  TextList user_obligations() const;
};

class CustomField : public Node {
 public:
  using Node::Node;
  std::string_view name() const { return tree_->token_text(first_token()); }
  Span name_span() const { return span(); }
  Literal value() const;
};

class SystemExtension : public Node {
 public:
  using Node::Node;
  std::string_view name() const { return tree_->token_text(first_token()); }
  Span name_span() const { return span(); }
  NodeRange<CustomField> fields() const { return {*tree_, index_}; }
};

class Extensions : public Node {
 public:
  using Node::Node;
  NodeRange<SystemExtension> systems() const { return {*tree_, index_}; }
};

// The contract: the six sections, then the Extensions section if written.
// The six accessors below find the sections by place, as a tree without
// errors has them; in a tree with errors a section may be missing or
// unfinished: find it with section().
class ContractNode : public Node {
 public:
  using Node::Node;
  // The section of kind `kind` (kIdentity ... kHumanMachineContract) among
  // the contract's children, if the parse finished one.
  std::optional<Node> section(NodeKind kind) const;
  Identity identity() const;
  PurposeStatement purpose_statement() const;
  DataSemantics data_semantics() const;
  BehavioralSemantics behavioral_semantics() const;
  ExecutionConstraints execution_constraints() const;
  HumanMachineContract human_machine_contract() const;
  std::optional<Extensions> extensions() const;
};

}  // namespace syntax

inline syntax::ContractNode SyntaxTree::contract() const {
  return syntax::ContractNode(*this, 1);
}

}  // namespace qel

#endif  // QEL_SYNTAX_TREE_H_
