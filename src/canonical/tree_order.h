// Canonical order: every order-insensitive list sorted by its key. Lists
// are sorted as (key, position) pairs whose keys are views into the text
// (or into the tree's decoded strings): no text is ever copied.
#ifndef QEL_CANONICAL_TREE_ORDER_H_
#define QEL_CANONICAL_TREE_ORDER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "qel/syntax_tree.h"

namespace qel::detail {

// An item of a list to sort: its key, and the node or token it stands for.
// Refs grow in source order, which makes them the tie-break of a stable
// sort.
struct Keyed {
  std::string_view key;
  uint32_t ref;
};

// Stable ascending order by key, compared byte by byte as unsigned values
// (a text sorts before any longer text it starts). Nothing is removed. A
// list already in order (a canonical text read back) costs one pass.
void sort_keyed(std::vector<Keyed>& items);

// The texts of a list (ref: the token), sorted.
void sorted_texts(const syntax::TextList& texts, std::vector<Keyed>& out);

// Nodes sorted by their name (ref: the node): state fields, parameters,
// object fields, extension systems and their fields.
template <typename V>
void sorted_by_name(const syntax::NodeRange<V>& nodes,
                    std::vector<Keyed>& out) {
  out.clear();
  for (const V node : nodes) out.push_back(Keyed{node.name(), node.index()});
  sort_keyed(out);
}

// Operations sorted by their name's text (ref: the node).
void sorted_operations(const syntax::NodeRange<syntax::Operation>& operations,
                       std::vector<Keyed>& out);

}  // namespace qel::detail

#endif  // QEL_CANONICAL_TREE_ORDER_H_
