// What the language asks for in each block, as the editor offers it: the
// field names and section keywords in their order, one line on each, and
// the type names.
#ifndef QEL_CLI_LSP_SCHEMA_H_
#define QEL_CLI_LSP_SCHEMA_H_

#include <cstdint>
#include <span>
#include <string_view>

namespace qel::cli::lsp {

// The blocks of the language, by what opened them.
enum class Block : uint8_t {
  kTop,  // outside every bracket: Contract and Extensions
  kContract,
  kIdentity,
  kPurposeStatement,
  kDataSemantics,
  kBehavioralSemantics,
  kExecutionConstraints,
  kHumanMachineContract,
  kExtensions,
  kOperation,       // one operation's braces
  kResourceLimits,
  kOther,
};

// The fields (or, at the top and inside Contract, the sections) a block
// takes, in the order the language lists them; empty for blocks whose
// names are the author's own.
std::span<const std::string_view> block_fields(Block block);

// One line on what a field or section means; empty for an unknown name.
std::string_view field_explanation(std::string_view name);

// The type names a declaration may use, primitives first.
std::span<const std::string_view> type_names();

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_SCHEMA_H_
