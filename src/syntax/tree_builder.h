// Filling a SyntaxTree: the scanner appends tokens, the parser opens and
// closes nodes. Nothing else writes a tree.
#ifndef QEL_SYNTAX_TREE_BUILDER_H_
#define QEL_SYNTAX_TREE_BUILDER_H_

#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "qel/interrupt.h"
#include "qel/syntax_tree.h"
#include "util/large_pages.h"

namespace qel::detail {

// Thrown by the builder when the interrupter says stop, and caught where
// the front end is entered.
struct Interrupted {};

class TreeBuilder {
 public:
  // Offsets are 32 bits: a text of 4 GiB or more cannot be held, and is
  // refused as memory that cannot be had.
  explicit TreeBuilder(std::string_view source,
                       const Interrupter& interrupter = {})
      : poll_(interrupter, kUnitsPerPoll) {
    if (source.size() >= UINT32_MAX) throw std::bad_alloc();
    tree_.source_ = source;
  }

  const SyntaxTree& tree() const { return tree_; }

  void reserve_tokens(std::size_t count) {
    tree_.kinds_.reserve(count);
    tree_.offsets_.reserve(count);
  }
  void reserve_nodes(std::size_t count) { tree_.nodes_.reserve(count); }

  void add_token(TokenKind kind, std::size_t offset) {
    if (poll_.tick()) throw Interrupted{};
    tree_.kinds_.push_back(kind);
    tree_.offsets_.push_back(static_cast<uint32_t>(offset));
  }

  // The decoded value of the string literal just added, which holds an
  // escape; appended to by the scanner while it decodes.
  std::string& decoded() { return tree_.decoded_; }
  void end_decoded(std::size_t start) {
    tree_.decoded_index_.push_back(SyntaxTree::Decoded{
        static_cast<uint32_t>(tree_.kinds_.size() - 1),
        static_cast<uint32_t>(start),
        static_cast<uint32_t>(tree_.decoded_.size() - start)});
  }

  uint32_t open(NodeKind kind, uint32_t first_token, uint8_t field = 0) {
    if (poll_.tick()) throw Interrupted{};
    tree_.nodes_.push_back(SyntaxTree::Node{kind, field, 0, first_token,
                                            first_token, 0});
    return static_cast<uint32_t>(tree_.nodes_.size() - 1);
  }
  void close(uint32_t node, uint32_t last_token) {
    SyntaxTree::Node& n = tree_.nodes_[node];
    n.last_token = last_token;
    n.next = static_cast<uint32_t>(tree_.nodes_.size());
    if (fields_once(node)) n.flags = SyntaxTree::kFieldsOnce;
  }

  uint32_t node_count() const { return tree_.node_count(); }

  // A tolerant parse that gives up on the nodes from `from` on that are
  // still open (their subtree unfinished) makes each an error node ending
  // at `last_token`, so that no view reads half a field.
  void abandon_open(uint32_t from, uint32_t last_token) {
    const auto end = static_cast<uint32_t>(tree_.nodes_.size());
    for (uint32_t i = from; i < end; ++i) {
      SyntaxTree::Node& n = tree_.nodes_[i];
      if (n.next != 0) continue;  // closed: every closed node has a next
      n.kind = NodeKind::kError;
      n.field = 0;
      if (last_token > n.last_token) n.last_token = last_token;
      n.next = end;
    }
  }

  // The tokens of `part`, a tree of the text from byte `shift` on, added
  // after these (its Eof only when `with_eof`), decoded values included.
  void append_tokens(const SyntaxTree& part, uint32_t shift, bool with_eof) {
    const uint32_t base = tree_.token_count();
    uint32_t count = part.token_count();
    if (!with_eof && count != 0 &&
        part.token_kind(count - 1) == TokenKind::kEof) {
      --count;
    }
    for (uint32_t i = 0; i < count; ++i) {
      tree_.kinds_.push_back(part.kinds_[i]);
      tree_.offsets_.push_back(part.offsets_[i] + shift);
    }
    const auto decoded_base = static_cast<uint32_t>(tree_.decoded_.size());
    tree_.decoded_ += part.decoded_;
    for (const SyntaxTree::Decoded& d : part.decoded_index_) {
      tree_.decoded_index_.push_back(SyntaxTree::Decoded{
          d.token + base, d.offset + decoded_base, d.length});
    }
  }

  // After a lexical error: bytes from there to where scanning resumes
  // belong to no token.
  void note_gaps() { tree_.gaps_ = true; }

  // After a lexical error that stopped the scanner inside a string
  // literal: that token and any value decoded for it go.
  void drop_last_token() {
    tree_.kinds_.pop_back();
    tree_.offsets_.pop_back();
    const auto kept = static_cast<uint32_t>(tree_.kinds_.size());
    while (!tree_.decoded_index_.empty() &&
           tree_.decoded_index_.back().token >= kept) {
      tree_.decoded_index_.pop_back();
    }
    const SyntaxTree::Decoded* last =
        tree_.decoded_index_.empty() ? nullptr : &tree_.decoded_index_.back();
    tree_.decoded_.resize(last ? last->offset + last->length : 0);
  }

  // Room reserved past the end of each mapped array is given back: its
  // last large page was faulted in whole, which for a tree of ten
  // megabytes is a sizeable share of its memory. A repeated call on the
  // same text leaves those pages untouched again. Heap blocks keep their
  // room, which the heap hands out again and would fault in anew.
  SyntaxTree finish() {
    release_unused(tree_.kinds_);
    release_unused(tree_.offsets_);
    release_unused(tree_.nodes_);
    return std::move(tree_);
  }

 private:
  // Tokens and nodes between two questions to the interrupter: well under
  // a millisecond of scanning or parsing.
  static constexpr uint64_t kUnitsPerPoll = uint64_t{1} << 15;

  // Whether no field number occurs twice among the node's kField
  // children; false as well when a child is still open (a tolerant parse
  // that gave up inside it), whose subtree cannot be passed over.
  bool fields_once(uint32_t node) const {
    uint64_t seen[4] = {};
    const auto& nodes = tree_.nodes_;
    const uint32_t end = nodes[node].next;
    for (uint32_t i = node + 1; i != end; i = nodes[i].next) {
      const SyntaxTree::Node& child = nodes[i];
      if (child.next <= i || child.next > end) return false;
      if (child.kind != NodeKind::kField) continue;
      uint64_t& word = seen[child.field >> 6];
      const uint64_t bit = uint64_t{1} << (child.field & 63);
      if (word & bit) return false;
      word |= bit;
    }
    return true;
  }

  template <typename Vector>
  static void release_unused(Vector& v) {
    if (v.capacity() * sizeof(*v.data()) < kMappedBlock) return;
    release_pages(v.data() + v.size(),
                  (v.capacity() - v.size()) * sizeof(*v.data()));
  }

  SyntaxTree tree_;
  InterruptPoll poll_;
};

}  // namespace qel::detail

#endif  // QEL_SYNTAX_TREE_BUILDER_H_
