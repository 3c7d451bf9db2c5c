// The front end's entry points above the syntax tree: the model and the
// contract JSON, each read from the one tree that parse_tree builds.
#include <optional>
#include <string>
#include <utility>

#include "qel/api.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "syntax/lower.h"
#include "util/string_result.h"

namespace qel {

std::optional<ParseError> version_refusal(const SyntaxTree& tree) {
  const syntax::Integer version = tree.contract().identity().version();
  if (static_cast<uint64_t>(version.value()) <= detail::kMaxVersion) {
    return std::nullopt;
  }
  ParseError error;
  error.begin = tree.token_offset(version.token());
  error.end = tree.token_end(version.token());
  error.message = "version ";
  append_int(error.message, version.value());
  error.message += " is out of range (maximum 4294967295)";
  return error;
}

namespace {

std::optional<Error> version_out_of_range(const SyntaxTree& tree) {
  std::optional<ParseError> refusal = version_refusal(tree);
  if (!refusal) return std::nullopt;
  refusal->message += " at ";
  refusal->message += tree.span_at(refusal->begin).to_string();
  return Error::parse_error(std::move(refusal->message));
}

}  // namespace

Result<Contract> parse_contract(std::string_view text,
                                const Interrupter& interrupter) {
  QEL_ASSIGN_OR_RETURN(SyntaxTree tree, parse_tree(text, interrupter));
  if (std::optional<Error> error = version_out_of_range(tree)) {
    return std::move(*error);
  }
  return lower_contract(tree, interrupter);
}

Result<std::string> parse_contract_json(std::string_view text) {
  return detail::string_result(
      [&](Output& out) { return parse_contract_json(text, out); });
}

std::optional<Error> parse_contract_json(std::string_view text, Output& out,
                                         const Interrupter& interrupter) {
  Result<SyntaxTree> tree = parse_tree(text, interrupter);
  if (!tree.ok()) return std::move(tree).error();
  if (std::optional<Error> error = version_out_of_range(*tree)) return error;
  // Room for what is about sure to be written (the JSON form is seldom
  // shorter than the contract); an output that takes large pages takes
  // them for this part only, and grows past it by small pages.
  out.reserve(out.size() + text.size() + 1024);
  if (!write_contract_json(*tree, out, interrupter)) {
    return Error::interrupted();
  }
  return std::nullopt;
}

}  // namespace qel
