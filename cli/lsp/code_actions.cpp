// Code actions: write the computed semantic hash, and normalize the whole
// text to its canonical form.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "lsp/features.h"
#include "lsp/quick_fixes.h"

namespace qel::cli::lsp {

Answer code_action(Session& session, const json& params) {
  Document& doc = session.document(params);
  const Protocol& protocol = session.protocol;
  json actions = json::array();
  append_quick_fixes(session, params, actions);
  const Outline* outline = &doc.get_outline();
  // Both actions rewrite the whole contract: they need one without errors.
  if (!outline->complete) return actions;
  const json* only = find_path(params, {"context", "only"});
  const auto wanted = [&](std::string_view kind) {
    if (only == nullptr || !only->is_array()) return true;
    return std::any_of(only->begin(), only->end(), [&](const json& k) {
      if (!k.is_string()) return false;
      const std::string& prefix = k.get_ref<const std::string&>();
      return kind == prefix || (kind.starts_with(prefix) &&
                                kind.size() > prefix.size() &&
                                kind[prefix.size()] == '.');
    });
  };
  const std::string& uri = document_uri(params);
  const auto action = [&](std::string_view title, std::string_view kind,
                          json edits) {
    if (!edits.is_array()) edits = json::array({std::move(edits)});
    actions.push_back(json{{"title", title},
                           {"kind", kind},
                           {"edit", {{"changes", {{uri, std::move(edits)}}}}}});
  };
  if (outline->semantic_hash &&
      outline->written_hash != outline->computed_hash &&
      wanted(kWriteHashKind)) {
    action("Write the semantic hash", kWriteHashKind,
           protocol.text_edit(doc, *outline->semantic_hash,
                     "\"" + outline->computed_hash + "\""));
  }
  if (!outline->canonical.empty() && outline->canonical != doc.text &&
      wanted(kNormalizeKind)) {
    action("Normalize to canonical form (drops comments)", kNormalizeKind,
           minimal_edits(protocol, doc, outline->canonical));
  }
  return actions;
}

}  // namespace qel::cli::lsp
