#include "lsp/document.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace qel::cli::lsp {

void Document::set_text(std::string new_text) {
  outline.reset();
  parsed.reset();
  text = std::move(new_text);
  body = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  index.emplace(text);
  stale = true;
}

void Document::replace(size_t begin, size_t end, std::string_view with) {
  outline.reset();
  parsed.reset();
  index.reset();  // it refers to the old text
  begin = std::min(begin, text.size());
  end = std::clamp(end, begin, text.size());
  text.replace(begin, end - begin, with);
  body = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  index.emplace(text);
  stale = true;
}

const Parse& Document::parse() {
  if (!parsed) {
    Result<Parse> result = qel::parse(contract());
    // Only an interrupter stops a tolerant parse, and none is given.
    if (!result.ok()) throw std::runtime_error(result.error().to_string());
    parsed = std::move(*result);
  }
  return *parsed;
}

const Outline& Document::get_outline() {
  if (!outline) {
    const Parse& p = parse();
    outline = build_outline(p.tree, body, p.errors.empty());
  }
  return *outline;
}

Document& Session::document(const json& params) {
  const std::string& uri = document_uri(params);
  const auto it = documents.find(uri);
  if (it == documents.end()) {
    throw RpcError{kInvalidParams, "the document '" + uri + "' is not open"};
  }
  return *it->second;
}

}  // namespace qel::cli::lsp
