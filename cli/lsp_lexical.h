// What the language server reads from the text alone, without parsing:
// which block a position stands in and what that block already holds. A
// contract being typed rarely parses, and completion is asked for exactly
// then, so this view tolerates unclosed strings and brackets.
#ifndef QEL_CLI_LSP_LEXICAL_H_
#define QEL_CLI_LSP_LEXICAL_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lsp_text.h"

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
  kExtension,        // one system inside Extensions
  kOperations,       // the operations list
  kOperation,        // one operation's braces
  kResourceLimits,
  kState,            // state: { ... }
  kParameters,       // parameters: { ... }
  kObjectType,       // Object { ... }
  kTypeArguments,    // Array< ... >, Map< ... >
  kInvariants,       // invariants: [ ... ]
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

struct CompletionContext {
  enum class Kind { kNone, kFields, kTypes, kConditionNames };
  Kind kind = Kind::kNone;
  Block block = Block::kTop;
  std::vector<std::string> missing;     // kFields: not yet written, in order
  std::vector<std::string> state;       // kConditionNames: state fields
  std::vector<std::string> parameters;  // kConditionNames: the operation's
  ByteRange word;  // the partial name before the position, to be replaced
};

// A field name written as a key (or a section keyword), with its block.
struct FieldKey {
  Block block = Block::kTop;
  std::string_view name;
  ByteRange range;
};

class LexicalView {
 public:
  // `text` must outlive the view.
  explicit LexicalView(std::string_view text);

  CompletionContext completion_at(size_t offset) const;

  // The field name or section keyword at `offset`, if one stands there in
  // a block that takes it.
  std::optional<FieldKey> field_key_at(size_t offset) const;

 private:
  enum class Kind : uint8_t { kWord, kString, kNumber, kPunct, kOther };
  struct Lexeme {
    Kind kind;
    bool closed = true;   // a string with its closing quote
    uint32_t frame = 0;   // for an opening bracket: the frame it opens
    size_t begin;
    size_t end;
  };
  struct Frame {
    Block block;
    size_t open;    // lexeme index of the opening bracket (none for the top)
    size_t close;   // lexeme index of the closing bracket (none if open)
    uint32_t parent;
  };
  static constexpr size_t kNone = static_cast<size_t>(-1);

  std::string_view text_of(const Lexeme& l) const {
    return text_.substr(l.begin, l.end - l.begin);
  }
  bool is_punct(size_t i, char c) const;
  bool is_word(size_t i, std::string_view word) const;
  Block classify(size_t open, Block parent) const;
  // The index of the last lexeme that begins before `offset`, or kNone.
  size_t lexeme_before(size_t offset) const;
  // The innermost frame whose brackets enclose `offset`.
  uint32_t frame_at(size_t offset) const;
  // Names written as keys directly inside a frame ("name :", or for the
  // section levels "Name {"), skipping nested brackets.
  std::vector<std::string_view> keys_of(uint32_t frame,
                                        size_t except = kNone) const;
  std::optional<uint32_t> child_frame(uint32_t parent, Block block) const;

  std::string_view text_;
  std::vector<Lexeme> lexemes_;
  std::vector<Frame> frames_;  // in order of opening; frame 0 is the top
};

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_LEXICAL_H_
