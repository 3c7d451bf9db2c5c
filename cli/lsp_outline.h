// The contract's structure as the language server uses it: names, kinds,
// type texts and byte ranges, with no syntax tree type in sight. This is
// the server's one reader of the tree; when the tree changes, only
// lsp_outline.cpp changes with it.
#ifndef QEL_CLI_LSP_OUTLINE_H_
#define QEL_CLI_LSP_OUTLINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lsp_text.h"

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

struct Operation {
  std::string name;
  ByteRange name_range;  // the name's literal
  ByteRange range;       // the operation's braces
  std::vector<Declaration> parameters;
};

struct Section {
  std::string name;      // Contract, Identity, ..., Extensions
  ByteRange name_range;  // its keyword
  ByteRange range;       // the keyword through the closing brace
  std::vector<size_t> children;  // Contract only: its sections
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
  std::vector<Section> sections;  // Contract first, then its sections
  std::vector<Declaration> state;
  std::vector<Operation> operations;
  std::vector<Condition> conditions;  // invariants, then each operation's
  std::vector<Extension> extensions;
  ByteRange semantic_hash;  // the written literal, quotes included
  std::string written_hash;
  std::string computed_hash;  // what normalize writes
  std::string canonical;      // the canonical text
};

// The outline of a document whose contract starts `body` bytes in (after a
// byte order mark), or nothing when it does not parse. Ranges are byte
// offsets into `text`.
std::optional<Outline> build_outline(std::string_view text, size_t body);

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_OUTLINE_H_
