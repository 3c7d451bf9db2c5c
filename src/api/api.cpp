#include "qel/api.h"

#include "qel/executor.h"
#include "qel/parser.h"
#include "qel/verifier.h"
#include "util/string_result.h"

namespace qel {

Result<std::string> verify_json(std::string_view text,
                                const Interrupter& interrupter) {
  return detail::string_result(
      [&](Output& out) { return verify_json(text, out, interrupter); });
}

std::optional<Error> verify_json(std::string_view text, Output& out,
                                 const Interrupter& interrupter) {
  Result<SyntaxTree> tree = parse_tree(text, interrupter);
  if (!tree.ok()) return std::move(tree).error();
  Result<VerificationResult> verified = verify(*tree, interrupter);
  if (!verified.ok()) return std::move(verified).error();
  if (!write_verification_json(*verified, out, interrupter)) {
    return Error::interrupted();
  }
  return std::nullopt;
}

Result<std::string> execute_json(std::string_view text,
                                 std::string_view inputs,
                                 const Interrupter& interrupter) {
  QEL_ASSIGN_OR_RETURN(Contract contract, parse_contract(text, interrupter));
  return execute_contract(std::move(contract), inputs, interrupter);
}

std::optional<Error> execute_json(std::string_view text,
                                  std::string_view inputs, Output& out,
                                  const Interrupter& interrupter) {
  Result<Contract> contract = parse_contract(text, interrupter);
  if (!contract.ok()) return std::move(contract).error();
  return execute_contract(std::move(contract).value(), inputs, out,
                          interrupter);
}

}  // namespace qel
