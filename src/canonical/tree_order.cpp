#include "canonical/tree_order.h"

#include <algorithm>

namespace qel::detail {

void sort_keyed(KeyedList& items) {
  const auto before = [](const Keyed& a, const Keyed& b) {
    // string_view compares through char_traits<char>, which orders bytes as
    // unsigned char: the byte order every canonical output needs.
    const int c = a.key().compare(b.key());
    return c != 0 ? c < 0 : a.ref < b.ref;
  };
  if (std::is_sorted(items.begin(), items.end(), before)) return;
  std::sort(items.begin(), items.end(), before);
}

void sorted_texts(const syntax::TextList& texts, KeyedList& out) {
  out.clear();
  for (const syntax::Text t : texts) out.emplace_back(t.text(), t.token());
  sort_keyed(out);
}

void sorted_operations(const syntax::NodeRange<syntax::Operation>& operations,
                       KeyedList& out) {
  out.clear();
  for (const syntax::Operation op : operations) {
    out.emplace_back(op.name().text(), op.index());
  }
  sort_keyed(out);
}

}  // namespace qel::detail
