// What the tolerant tree says about a position while the text is being
// typed: the innermost block around it and what that block already holds,
// or the key that stands there. Offsets count from the tree's source.
#ifndef QEL_CLI_LSP_CONTEXT_H_
#define QEL_CLI_LSP_CONTEXT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lsp/byte_range.h"
#include "lsp/schema.h"
#include "qel/syntax_tree.h"

namespace qel::cli::lsp {

struct CompletionContext {
  enum class Kind { kNone, kFields, kTypes, kConditionNames };
  Kind kind = Kind::kNone;
  Block block = Block::kTop;
  std::vector<std::string> missing;     // kFields: not yet written, in order
  std::vector<std::string> state;       // kConditionNames: state fields
  std::vector<std::string> parameters;  // kConditionNames: the operation's
  ByteRange word;  // the partial name before the position, to be replaced
};

// What completion offers at `offset` of the tree's source: the fields a
// block lacks where a key may start, type names where a declaration's type
// goes, the names a condition may read inside one.
CompletionContext completion_at(const SyntaxTree& tree, size_t offset);

// A field name written as a key, or a section keyword, that the tree read
// as one.
struct FieldKey {
  std::string_view name;
  ByteRange range;
};
std::optional<FieldKey> field_key_at(const SyntaxTree& tree, size_t offset);

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_CONTEXT_H_
