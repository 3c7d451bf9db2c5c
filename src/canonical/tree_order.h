// Canonical order: every order-insensitive list sorted by its key. Lists
// are sorted as (key, position) pairs whose keys are views into the text
// (or into the tree's decoded strings): no text is ever copied.
#ifndef QEL_CANONICAL_TREE_ORDER_H_
#define QEL_CANONICAL_TREE_ORDER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "qel/interrupt.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

// An item of a list to sort: its key, and the node or token it stands for.
// Refs grow in source order, which makes them the tie-break of a stable
// sort. Sixteen bytes: the key's length fits in 32 bits like any offset.
struct Keyed {
  Keyed(std::string_view k, uint32_t r)
      : data(k.data()), size(static_cast<uint32_t>(k.size())), ref(r) {}
  std::string_view key() const { return std::string_view(data, size); }

  const char* data;
  uint32_t size;
  uint32_t ref;
};

// Lists of many thousands of items are mapped memory, given back as soon
// as they are freed.
using KeyedList = PageVector<Keyed>;

// Stable ascending order by key, compared byte by byte as unsigned values
// (a text sorts before any longer text it starts). Nothing is removed. A
// list already in order (a canonical text read back) costs one pass.
void sort_keyed(KeyedList& items);
// The same, asking `poll` as it goes; false when it said stop, the items
// then in no particular order. So for the overloads below.
bool sort_keyed(KeyedList& items, InterruptPoll& poll);

// The texts of a list (ref: the token), sorted.
void sorted_texts(const syntax::TextList& texts, KeyedList& out);
bool sorted_texts(const syntax::TextList& texts, KeyedList& out,
                  InterruptPoll& poll);

// Nodes sorted by their name (ref: the node): state fields, parameters,
// object fields, extension systems and their fields.
template <typename V>
void sorted_by_name(const syntax::NodeRange<V>& nodes,
                    KeyedList& out) {
  out.clear();
  for (const V node : nodes) out.emplace_back(node.name(), node.index());
  sort_keyed(out);
}
template <typename V>
bool sorted_by_name(const syntax::NodeRange<V>& nodes, KeyedList& out,
                    InterruptPoll& poll) {
  out.clear();
  for (const V node : nodes) out.emplace_back(node.name(), node.index());
  return sort_keyed(out, poll);
}

// Operations sorted by their name's text (ref: the node).
void sorted_operations(const syntax::NodeRange<syntax::OperationNode>& operations,
                       KeyedList& out);
bool sorted_operations(const syntax::NodeRange<syntax::OperationNode>& operations,
                       KeyedList& out, InterruptPoll& poll);

}  // namespace qel::detail

#endif  // QEL_CANONICAL_TREE_ORDER_H_
