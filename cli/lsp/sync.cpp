// Documents as the client opens, changes, saves and closes them. A change
// only updates the text and marks the document stale: the server publishes
// diagnostics once no more input is waiting, so a burst of edits is
// analysed once, at its newest version.
#include <algorithm>
#include <memory>
#include <utility>

#include "lsp/features.h"
#include "qel/json.h"

namespace qel::cli::lsp {

std::string did_open(Session& session, const json& params) {
  const json& item = params.at("textDocument");
  const std::string& uri = item.at("uri").get_ref<const std::string&>();
  auto doc = std::make_unique<Document>();
  doc->version = document_version(item, 0);
  doc->set_text(item.at("text").get<std::string>());
  session.documents[uri] = std::move(doc);
  return {};
}

std::string did_change(Session& session, const json& params) {
  Document& doc = session.document(params);
  const int64_t version =
      document_version(params.at("textDocument"), doc.version);
  for (const json& change : params.at("contentChanges")) {
    const std::string& text = change.at("text").get_ref<const std::string&>();
    const auto edit = change.find("range");
    if (edit == change.end()) {
      doc.set_text(text);
      continue;
    }
    // Each range is in the text as the changes before it left it.
    const size_t begin = session.protocol.offset_of(doc, edit->at("start"));
    const size_t end =
        std::max(begin, session.protocol.offset_of(doc, edit->at("end")));
    doc.replace(begin, end, text);
  }
  doc.version = version;
  return {};
}

// The text a client may send with a save is not asked for and not read:
// one client sends it with its line breaks changed, and the document is
// already what the changes made it.
std::string did_save(Session& session, const json& params) {
  session.document(params).stale = true;
  return {};
}

// A closed document shows no findings any more.
std::string did_close(Session& session, const json& params) {
  const std::string uri = document_uri(params);
  if (session.documents.erase(uri) == 0) return {};
  std::string body =
      "{\"jsonrpc\":\"2.0\",\"method\":\"textDocument/publishDiagnostics\","
      "\"params\":{\"uri\":";
  append_json_string(body, uri);
  body += ",\"diagnostics\":[]}}";
  return body;
}

}  // namespace qel::cli::lsp
