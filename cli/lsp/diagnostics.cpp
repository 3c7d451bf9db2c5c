// What `qel check` finds in a document, as the protocol's diagnostics.
#include "analysis.h"
#include "lsp/features.h"
#include "qel/json.h"

namespace qel::cli::lsp {

namespace {

// A finding points at a token's start: its range is the token as the
// tolerant tree read it, or one character where no token starts.
size_t finding_end(Document& doc, size_t begin) {
  const SyntaxTree& tree = doc.tree();
  if (begin >= doc.text.size() || tree.token_count() == 0) return begin;
  const auto at = static_cast<uint32_t>(begin - doc.body);
  const uint32_t token = tree.token_at(at);
  if (tree.token_offset(token) == at && tree.token_end(token) > at) {
    return doc.body + tree.token_end(token);
  }
  size_t end = begin + 1;
  while (end < doc.text.size() &&
         (static_cast<unsigned char>(doc.text[end]) & 0xC0) == 0x80) {
    ++end;
  }
  return end;
}

}  // namespace

std::string diagnostics_notification(const Protocol& protocol,
                                     const std::string& uri, Document& doc) {
  const FileReport report = analyze(uri, doc.contract(), LintSelection{});
  std::string body =
      "{\"jsonrpc\":\"2.0\",\"method\":\"textDocument/publishDiagnostics\","
      "\"params\":{\"uri\":";
  append_json_string(body, uri);
  body += ",\"version\":";
  append_int(body, doc.version);
  body += ",\"diagnostics\":[";
  for (size_t i = 0; i < report.findings.size(); ++i) {
    const Finding& f = report.findings[i];
    // Findings count from the contract's start: a byte order mark is
    // one character before the first line's columns.
    const uint64_t column = (f.column > 0 ? f.column - 1 : 0) +
                            (f.line == 1 && doc.body > 0 ? 1 : 0);
    const size_t begin =
        f.line == 0 ? doc.body
                    : doc.index->offset_of(LineColumn{f.line - 1, column},
                                           ColumnUnit::kChars,
                                           LineBreaks::kLineFeed);
    const size_t end = f.line == 0 ? begin : finding_end(doc, begin);
    if (i > 0) body += ',';
    body += "{\"range\":";
    protocol.append_range(body, doc, ByteRange{begin, end});
    body += f.error ? ",\"severity\":1,\"code\":" : ",\"severity\":2,\"code\":";
    append_json_string(body, f.code.empty() ? f.kind : f.code);
    body += ",\"source\":\"qel\",\"message\":";
    append_json_string(body, f.message);
    body += '}';
  }
  body += "]}}";
  return body;
}

}  // namespace qel::cli::lsp
