#include "lsp/features.h"
#include "qel/format.h"

namespace qel::cli::lsp {

// `qel fmt`'s text as one edit. The one house style has no options, so the
// client's (tab size, spaces) are not read. A text that does not parse is
// left alone: its diagnostics already say why. So is one whose formatted
// text fails the safety net, as `qel fmt` refuses it.
Answer formatting(Session& session, const json& params) {
  Document& doc = session.document(params);
  const Rewrite formatted = format_checked(doc.contract());
  if (!formatted.text.ok() || !formatted.fault.empty()) return nullptr;
  if (*formatted.text == doc.text) return json::array();
  return json::array({session.protocol.whole_document_edit(doc, *formatted.text)});
}

}  // namespace qel::cli::lsp
