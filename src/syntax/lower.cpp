// Lowering of a finished syntax tree to the contract model. parse_contract
// does not come through here: it lowers each section while parsing (see
// parser.cpp), with the same pieces from lower.h.
#include <utility>

#include "qel/ast.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/parser.h"
#include "syntax/lower.h"

namespace qel {

Json lower_literal(const LiteralValue& literal) {
  return detail::lower_literal_value(literal);
}

Contract lower_contract(const ContractNode& tree) {
  Contract c;
  detail::lower_identity(tree.identity, c.identity);
  detail::lower_purpose_statement(tree.purpose_statement, c.purpose_statement);

  Json::Object state;
  for (const StateFieldNode& field : tree.data_semantics.state) {
    const LiteralValue* default_value =
        field.default_value ? &*field.default_value : nullptr;
    // A repeated name: the later declaration wins.
    state.insert_or_assign(state.end(), field.name.value,
                           detail::lower_state_member(field.type, default_value));
  }
  c.data_semantics.state = Json(std::move(state));
  c.data_semantics.invariants =
      detail::lower_texts(tree.data_semantics.invariants);

  const auto& operations = tree.behavioral_semantics.operations;
  c.behavioral_semantics.operations.reserve(operations.size());
  for (const OperationNode& node : operations) {
    Operation& op = c.behavioral_semantics.operations.emplace_back();
    detail::lower_operation_texts(node, op);
    // Parameter defaults are not part of the model.
    Json::Object parameters;
    for (const StateFieldNode& p : node.parameters) {
      parameters.insert_or_assign(parameters.end(), p.name.value,
                                  Json(p.type.text()));
    }
    op.parameters = Json(std::move(parameters));
  }

  detail::lower_execution_constraints(tree.execution_constraints,
                                      c.execution_constraints);
  detail::lower_human_machine_contract(tree.human_machine_contract,
                                       c.human_machine_contract);
  // The model has no extensions.
  return c;
}

}  // namespace qel
