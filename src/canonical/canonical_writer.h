// Rendering a syntax tree as canonical text: sections and fields in their
// fixed order, every order-insensitive list sorted.
#ifndef QEL_CANONICAL_CANONICAL_WRITER_H_
#define QEL_CANONICAL_CANONICAL_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "canonical/canonical_hash.h"
#include "canonical/tree_order.h"
#include "qel/interrupt.h"
#include "qel/output.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

// Where a streaming writer empties its buffer, a piece at a time.
class PieceSink {
 public:
  virtual void take(std::string_view piece) = 0;

 protected:
  ~PieceSink() = default;
};

// Appends canonical text to one growing buffer (a std::string or an
// Output), or, once streaming, hands it on piece by piece. Types
// and literals are written by recursion as deep as they nest, which the
// parser bounds.
template <typename Out>
class CanonicalWriter {
 public:
  // `interrupter` is asked between state fields, operations and extension
  // systems; once it says stop, write_contract returns early and
  // interrupted() is true.
  CanonicalWriter(const SyntaxTree& tree, Out& out,
                  const Interrupter& interrupter = {})
      : tree_(tree), out_(out), poll_(interrupter, kItemsPerPoll) {}
  CanonicalWriter(const CanonicalWriter&) = delete;
  CanonicalWriter& operator=(const CanonicalWriter&) = delete;

  // From now on the buffer is emptied into `sink` whenever it has grown
  // past a piece; what is left at the end is the caller's to add.
  void stream_to(PieceSink& sink) { sink_ = &sink; }

  // The whole contract, and the Extensions block when present, with 64 "0"
  // digits for the semantic_hash value: the text the hash is computed
  // over. Returns the offset in the buffer of the first of them (not
  // meaningful when streaming).
  std::size_t write_contract();

  bool interrupted() const { return poll_.stopped(); }

 private:
  // A text between quotation marks; a backslash and a quotation mark inside
  // it are escaped as the contract language reads them back (\\ and \"),
  // every other character is written as it is.
  void write_quoted(std::string_view text);
  void write_field_int(std::string_view indent_and_name, int64_t value);
  void write_texts(const syntax::TextList& texts, std::size_t depth);
  void write_state_field(std::string_view indent, const syntax::StateField& f,
                         std::size_t depth);
  void write_type(const syntax::Type& type, std::size_t depth);
  void write_literal(const syntax::Literal& literal);
  void write_operation(const syntax::OperationNode& op);
  void write_extensions(const syntax::Extensions& extensions);
  void flush();

  // A list to sort at each depth of nesting, kept from call to call; a
  // deque, so that a deeper list never moves a shallower one.
  KeyedList& scratch(std::size_t depth) {
    while (scratch_.size() <= depth) scratch_.emplace_back();
    return scratch_[depth];
  }

  // Items (a state field, an operation) between two questions to the
  // interrupter: a millisecond or so of writing.
  static constexpr uint64_t kItemsPerPoll = 1024;

  const SyntaxTree& tree_;
  Out& out_;
  InterruptPoll poll_;
  PieceSink* sink_ = nullptr;
  std::deque<KeyedList> scratch_;
};

extern template class CanonicalWriter<std::string>;
extern template class CanonicalWriter<Output>;

// Enough room for the canonical text of `tree`: the written texts, plus a
// bound on the fixed words and indentation per node and per token.
std::size_t canonical_size_bound(const SyntaxTree& tree);

}  // namespace qel::detail

#endif  // QEL_CANONICAL_CANONICAL_WRITER_H_
