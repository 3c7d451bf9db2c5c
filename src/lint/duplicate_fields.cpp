// L006: a field written twice in one block. The parser keeps every
// occurrence in the tree and every reader takes the last, so an earlier
// value is silently dropped: a reviewer may read it, nothing else does.
#include <array>
#include <string>
#include <vector>

#include "lint/lint_checks.h"

namespace qel::detail {

namespace {

// Enough for the largest block's fields (an operation has six).
constexpr std::size_t kMaxFields = 8;

// "ExecutionConstraints", "operation 'withdraw'", "resource_limits".
std::string block_name(const SyntaxTree& tree, uint32_t block) {
  switch (tree.node(block).kind) {
    case NodeKind::kOperation: {
      std::string out = "operation";
      const syntax::OperationNode op(tree, block);
      if (op.has_field(static_cast<uint8_t>(syntax::OperationField::kName))) {
        out += ' ';
        append_quoted(out, op.name().text());
      }
      return out;
    }
    case NodeKind::kField:
      return std::string(tree.token_text(tree.node(block).first_token));
    default:
      return node_kind_name(tree.node(block).kind);
  }
}

// From the field's name to the end of its value.
ByteRange field_range(const SyntaxTree& tree, uint32_t field) {
  const SyntaxTree::Node& n = tree.node(field);
  return ByteRange{tree.token_offset(n.first_token),
                   tree.token_end(n.last_token)};
}

}  // namespace

void lint_duplicate_fields(const SyntaxTree& tree,
                           std::vector<Diagnostic>& out) {
  // Fields are the direct children of the blocks that hold them (sections,
  // operations, resource_limits), so one pass over every node's children
  // finds them all; each node is visited once as a child.
  const uint32_t count = tree.node_count();
  for (uint32_t block = 0; block < count; ++block) {
    std::array<uint32_t, kMaxFields> last;
    last.fill(syntax::kNoNode);
    bool repeated = false;
    const uint32_t end = tree.node(block).next;
    for (uint32_t c = block + 1; c < end; c = tree.node(c).next) {
      const SyntaxTree::Node& n = tree.node(c);
      if (n.kind != NodeKind::kField || n.field >= kMaxFields) continue;
      repeated = repeated || last[n.field] != syntax::kNoNode;
      last[n.field] = c;
    }
    if (!repeated) continue;
    for (uint32_t c = block + 1; c < end; c = tree.node(c).next) {
      const SyntaxTree::Node& n = tree.node(c);
      if (n.kind != NodeKind::kField || n.field >= kMaxFields ||
          last[n.field] == c) {
        continue;
      }
      const uint32_t used = last[n.field];
      Diagnostic d = lint_finding(
          kDuplicateField,
          duplicate_field_message(tree.token_text(n.first_token),
                                  block_name(tree, block),
                                  tree.token_span(tree.node(used).first_token)
                                      .line),
          tree.token_span(n.first_token));
      d.range = field_range(tree, c);
      d.notes.push_back(Label{field_range(tree, used),
                              "the value used is written here"});
      out.push_back(std::move(d));
    }
  }
}

}  // namespace qel::detail
