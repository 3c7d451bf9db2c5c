#include "canonical/tree_order.h"

#include <algorithm>

#include "util/sort_asking.h"

namespace qel::detail {

namespace {

// Refs are unique within a list: a strict total order.
bool before(const Keyed& a, const Keyed& b) {
  // string_view compares through char_traits<char>, which orders bytes as
  // unsigned char: the byte order every canonical output needs.
  const int c = a.key().compare(b.key());
  return c != 0 ? c < 0 : a.ref < b.ref;
}

}  // namespace

void sort_keyed(KeyedList& items) {
  if (std::is_sorted(items.begin(), items.end(), before)) return;
  std::sort(items.begin(), items.end(), before);
}

bool sort_keyed(KeyedList& items, InterruptPoll& poll) {
  if (std::is_sorted(items.begin(), items.end(), before)) return true;
  return sort_asking(items.begin(), items.end(), before,
                     [&] { return poll.ask(); });
}

void sorted_texts(const syntax::TextList& texts, KeyedList& out) {
  out.clear();
  for (const syntax::Text t : texts) out.emplace_back(t.text(), t.token());
  sort_keyed(out);
}

bool sorted_texts(const syntax::TextList& texts, KeyedList& out,
                  InterruptPoll& poll) {
  out.clear();
  for (const syntax::Text t : texts) out.emplace_back(t.text(), t.token());
  return sort_keyed(out, poll);
}

namespace {

void list_operations(const syntax::NodeRange<syntax::OperationNode>& operations,
                     KeyedList& out) {
  out.clear();
  for (const syntax::OperationNode op : operations) {
    out.emplace_back(op.name().text(), op.index());
  }
}

}  // namespace

void sorted_operations(const syntax::NodeRange<syntax::OperationNode>& operations,
                       KeyedList& out) {
  list_operations(operations, out);
  sort_keyed(out);
}

bool sorted_operations(const syntax::NodeRange<syntax::OperationNode>& operations,
                       KeyedList& out, InterruptPoll& poll) {
  list_operations(operations, out);
  return sort_keyed(out, poll);
}

}  // namespace qel::detail
