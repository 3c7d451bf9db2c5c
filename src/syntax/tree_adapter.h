// The old owning tree, built from the syntax tree, for the readers not yet
// reading the syntax tree's views. Goes away with the last of them.
#ifndef QEL_SYNTAX_TREE_ADAPTER_H_
#define QEL_SYNTAX_TREE_ADAPTER_H_

#include "qel/ast.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

ContractNode to_contract_node(const SyntaxTree& tree);

}  // namespace qel::detail

#endif  // QEL_SYNTAX_TREE_ADAPTER_H_
