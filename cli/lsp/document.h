// An open document and what is read from it, built when first asked for
// and dropped with every change; the documents of one session.
#ifndef QEL_CLI_LSP_DOCUMENT_H_
#define QEL_CLI_LSP_DOCUMENT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lsp/outline.h"
#include "lsp/protocol.h"
#include "qel/line_index.h"
#include "qel/parser.h"

namespace qel::cli::lsp {

struct Document {
  std::string text;
  int64_t version = 0;
  size_t body = 0;  // 3 when the text starts with a byte order mark
  // Line starts (after "\n", "\r\n" or "\r"), kept up to date through
  // range edits: an edit's position then costs no pass over the text.
  std::vector<size_t> line_starts{0};
  // Built on first use after a change, for the positions answers show.
  mutable std::optional<LineIndex> index;
  // The tolerant tree (which refers to `text`) and the outline read from
  // it, for this version of the text.
  std::optional<Parse> parsed;
  std::optional<Outline> outline;
  // Changed since its diagnostics were last published.
  bool stale = true;

  void set_text(std::string new_text);
  // Replaces bytes [begin, end) (clamped to the text) with `with`.
  void replace(size_t begin, size_t end, std::string_view with);
  const LineIndex& lines() const {
    if (!index) index.emplace(text);
    return *index;
  }
  // The byte offset of a line and column, as LineIndex::offset_of reads
  // them, from the line starts.
  size_t offset_of(uint64_t line, uint64_t column, ColumnUnit unit) const;
  // The text the parser sees: without a byte order mark.
  std::string_view contract() const {
    return std::string_view(text).substr(body);
  }
  const Parse& parse();
  const SyntaxTree& tree() { return parse().tree; }
  const Outline& get_outline();
};

// What the client sets with workspace/didChangeConfiguration, under "qel":
// each one given overrides the configuration file's.
struct ClientSettings {
  std::optional<std::vector<std::string>> select;
  std::optional<std::vector<std::string>> ignore;
  std::optional<bool> strict;
};

struct Session {
  Protocol protocol;
  ClientSettings settings;
  std::map<std::string, std::unique_ptr<Document>, std::less<>> documents;

  // The open document params.textDocument names; RpcError when it is not
  // open.
  Document& document(const json& params);
};

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_DOCUMENT_H_
