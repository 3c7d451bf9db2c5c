// The front end's entry points: text to syntax tree, and text to model.
#ifndef QEL_PARSER_H_
#define QEL_PARSER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/error.h"
#include "qel/interrupt.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/syntax_tree.h"

namespace qel {

// Scans and parses a whole contract text (UTF-8) into its syntax tree,
// which refers to `text`: keep the text alive as long as the tree. Every
// error is a ParseError whose message ends with " at line:column"; invalid
// UTF-8 comes first, then a lexical error anywhere, then the grammar's.
// `interrupter` is asked as tokens and nodes are added; when it says stop,
// the result is Error::interrupted().
Result<SyntaxTree> parse_tree(std::string_view text,
                              const Interrupter& interrupter = {});

// One error of a tolerant parse. Its message is the text parse_tree()
// would give for it, without the " at line:column" ending, which is the
// position of `begin`.
struct ParseError {
  enum class Kind : uint8_t { kEncoding, kLexical, kGrammar };
  uint32_t begin = 0;  // bytes [begin, end) of the text
  uint32_t end = 0;
  Kind kind = Kind::kGrammar;
  std::string message;
  // The order in which the parse found it: a missing field is placed at
  // its block's start but found at its end, after the errors inside.
  uint32_t found = 0;
  // What may put it right, on a line of its own ("did you mean 'owner'?");
  // empty when the parse has nothing to offer.
  std::string help{};
};

// A tree for any text, with the errors found in it in source order.
struct Parse {
  SyntaxTree tree;
  std::vector<ParseError> errors;
};

// Parses any text into a tree: what does not fit the grammar goes into
// error nodes (NodeKind::kError), a block with an error goes on from its
// next field name or ends at a closing bracket or section keyword, and
// nodes left unfinished become error nodes. An error that only follows
// from the one before (no token taken normally in between) is not
// reported, nor more than 100. Invalid UTF-8 ends the text that is
// scanned (the tree's source is the text before it); a token with a
// lexical error has no token in the tree, and scanning goes on after it
// unless it runs to the end (a string never closed). With no errors the
// tree is parse_tree()'s. Fails only when `interrupter` says stop.
Result<Parse> parse(std::string_view text,
                    const Interrupter& interrupter = {});

// The tree keeps any written version; the model holds 32 bits, so
// parse_contract() refuses a larger one once the whole text has parsed,
// with this error.
std::optional<ParseError> version_refusal(const SyntaxTree& tree);

// parse_tree() followed by lowering to the model; a version above 32 bits
// is refused once the whole text has parsed.
Result<Contract> parse_contract(std::string_view text,
                                const Interrupter& interrupter = {});

// Lowering: never fails, never modifies the tree.
Contract lower_contract(const SyntaxTree& tree);
// The same, asking `interrupter` as it goes; Error::interrupted() when it
// says stop.
Result<Contract> lower_contract(const SyntaxTree& tree,
                                const Interrupter& interrupter);
Json lower_literal(const syntax::Literal& literal);

// The contract JSON of the tree's model, appended to `out`: the bytes of
// write_contract_json(lower_contract(tree), out), without the model.
void write_contract_json(const SyntaxTree& tree, std::string& out);
void write_contract_json(const SyntaxTree& tree, Output& out);
// The same, asking `interrupter` as it goes; false when it says stop, `out`
// then holding a part of the text.
bool write_contract_json(const SyntaxTree& tree, Output& out,
                         const Interrupter& interrupter);

}  // namespace qel

#endif  // QEL_PARSER_H_
