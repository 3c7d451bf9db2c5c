// Byte offsets into a document: the one position currency inside the
// language server; lines and characters exist only in messages.
#ifndef QEL_CLI_LSP_BYTE_RANGE_H_
#define QEL_CLI_LSP_BYTE_RANGE_H_

#include <cstddef>

namespace qel::cli::lsp {

// Bytes [begin, end); `contains` takes the end too, as a cursor just after
// a name is on it.
struct ByteRange {
  size_t begin = 0;
  size_t end = 0;
  size_t size() const { return end - begin; }
  bool contains(size_t at) const { return at >= begin && at <= end; }
};

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_BYTE_RANGE_H_
