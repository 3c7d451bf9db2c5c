// The contract's structure as the language server uses it: names, kinds,
// type texts and byte ranges, with no syntax tree type in sight. It is
// read from the tolerant tree, so a text with errors keeps everything of
// the parts that parse.
#ifndef QEL_CLI_LSP_OUTLINE_H_
#define QEL_CLI_LSP_OUTLINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lsp/byte_range.h"
#include "qel/syntax_tree.h"

namespace qel::cli::lsp {

// A state field, an operation parameter, or a field of an Object type.
struct Declaration {
  std::string name;
  std::string type;              // as Integer, Array<String>, Object { ... }
  std::optional<std::string> default_text;  // the default as written
  ByteRange name_range;
  ByteRange range;               // the name through its type or default
  std::vector<Declaration> fields;  // an Object type's fields
};

// What a name inside a condition refers to.
struct Target {
  int operation = -1;  // -1: a state field
  size_t index = 0;    // into the state, or the operation's parameters
  bool operator==(const Target&) const = default;
};

struct NameUse {
  ByteRange range;
  std::vector<Target> targets;  // a parameter first, then a state field
};

struct Condition {
  enum class Clause { kInvariant, kPrecondition, kPostcondition };
  Clause clause = Clause::kInvariant;
  int operation = -1;  // -1 for an invariant
  ByteRange range;     // the literal, quotes included
  std::vector<NameUse> names;
};

struct OutlinedOperation {
  std::string name;
  ByteRange name_range;  // the name's literal
  ByteRange range;       // the operation's braces
  std::vector<Declaration> parameters;
};

struct Section {
  std::string name;      // Contract, Identity, ..., Extensions
  ByteRange name_range;  // its keyword
  ByteRange range;       // the keyword through the closing brace
};

struct ExtensionField {
  std::string name;
  ByteRange name_range;
  ByteRange range;  // the name through the value
};

struct Extension {
  std::string name;
  ByteRange name_range;
  ByteRange range;
  std::vector<ExtensionField> fields;
};

struct Outline {
  std::optional<Section> contract;  // when the text begins one
  std::vector<Section> sections;    // the contract's, as written
  std::optional<Section> extensions_section;
  std::vector<Declaration> state;
  std::vector<OutlinedOperation> operations;
  std::vector<Condition> conditions;  // invariants, then each operation's
  std::vector<Extension> extensions;
  // The written literal, quotes included, when the tree has one.
  std::optional<ByteRange> semantic_hash;
  std::string written_hash;
  // Only for a text without errors: the hash and canonical form are the
  // whole contract's.
  bool complete = false;
  std::string computed_hash;  // what normalize writes
  std::string canonical;      // the canonical text
};

// The outline of a tree whose source starts `body` bytes into the document
// (after a byte order mark); `complete` when the parse found no error.
// Ranges are byte offsets into the document.
Outline build_outline(const SyntaxTree& tree, size_t body, bool complete);

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_OUTLINE_H_
