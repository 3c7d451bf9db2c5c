// The front end's entry points above the syntax tree: the old owning tree
// and the model, each read from the one tree that parse_tree builds.
#include <string>
#include <utility>

#include "qel/api.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "syntax/lower.h"
#include "syntax/tree_adapter.h"

namespace qel {

Result<ContractNode> parse(std::string_view text) {
  QEL_ASSIGN_OR_RETURN(SyntaxTree tree, parse_tree(text));
  return detail::to_contract_node(tree);
}

namespace {

Error version_out_of_range(const SpannedInt& version) {
  std::string message = "version ";
  append_int(message, version.value);
  message += " is out of range (maximum 4294967295) at ";
  message += version.span.to_string();
  return Error::parse_error(std::move(message));
}

}  // namespace

Result<Contract> parse_contract(std::string_view text) {
  QEL_ASSIGN_OR_RETURN(ContractNode tree, parse(text));
  // The tree keeps any written version; the model holds 32 bits.
  if (static_cast<uint64_t>(tree.identity.version.value) > detail::kMaxVersion) {
    return version_out_of_range(tree.identity.version);
  }
  return lower_contract(tree);
}

Result<std::string> parse_contract_json(std::string_view text) {
  QEL_ASSIGN_OR_RETURN(Contract contract, parse_contract(text));
  std::string out;
  write_contract_json(contract, out);
  return out;
}

}  // namespace qel
