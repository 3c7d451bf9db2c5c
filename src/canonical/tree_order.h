// Putting a syntax tree into canonical order: every order-insensitive list
// sorted by its key.
#ifndef QEL_CANONICAL_TREE_ORDER_H_
#define QEL_CANONICAL_TREE_ORDER_H_

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/ast.h"

namespace qel::detail {

// Lists up to this length are sorted in place by insertion.
inline constexpr size_t kInsertionSortLimit = 16;

// Stable ascending sort of `items` by the text `key(item)`, compared byte by
// byte as unsigned values (a text sorts before any longer text it starts).
// Items with equal keys keep their order; nothing is removed.
//
// The keys are sorted as (key, index) pairs and the items then moved once
// into place, so large nodes move n times instead of n log n times, and a
// list that is already in order (a canonical text read back) costs one pass.
template <typename T, typename KeyOf>
void stable_sort_by_key(std::vector<T>& items, KeyOf key_of) {
  const size_t n = items.size();
  if (n < 2) return;
  size_t first_unordered = 1;
  while (first_unordered < n &&
         !(std::string_view(key_of(items[first_unordered])) <
           std::string_view(key_of(items[first_unordered - 1])))) {
    ++first_unordered;
  }
  if (first_unordered == n) return;

  // Short lists (object fields, enum variants) are the common case: sort
  // them in place by insertion, which allocates nothing. upper_bound keeps
  // equal keys in their order.
  if (n <= kInsertionSortLimit) {
    const auto less = [&](const T& probe, const T& item) {
      return std::string_view(key_of(probe)) < std::string_view(key_of(item));
    };
    for (size_t i = first_unordered; i < n; ++i) {
      const auto next = items.begin() + static_cast<std::ptrdiff_t>(i);
      std::rotate(std::upper_bound(items.begin(), next, *next, less), next,
                  next + 1);
    }
    return;
  }

  // string_view's ordering goes through char_traits<char>, which compares
  // as unsigned char: the byte order every canonical output needs. The index
  // as second member makes the sort stable.
  std::vector<std::pair<std::string_view, size_t>> order;
  order.reserve(n);
  for (size_t i = 0; i < n; ++i) order.emplace_back(key_of(items[i]), i);
  std::sort(order.begin(), order.end());

  std::vector<T> sorted;
  sorted.reserve(n);
  for (const auto& entry : order) sorted.push_back(std::move(items[entry.second]));
  items = std::move(sorted);
}

// Sorts a list of texts.
void sort_texts(std::vector<SpannedText>& texts);

// Object fields sorted by name and enum variants sorted, at every depth of
// the type. Walks with an explicit stack, so the depth of a type cannot
// exhaust the call stack.
void normalize_type_fields(TypeExpression& type);

// Every sort of the canonical order, in place; the hash is not touched.
void sort_tree(ContractNode& tree);

}  // namespace qel::detail

#endif  // QEL_CANONICAL_TREE_ORDER_H_
