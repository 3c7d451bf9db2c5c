#include "lsp/document.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace qel::cli::lsp {

namespace {

// Whether a line starts at `p` (0 < p <= text.size()).
bool starts_line(std::string_view text, size_t p) {
  const char before = text[p - 1];
  return before == '\n' ||
         (before == '\r' && (p == text.size() || text[p] != '\n'));
}

}  // namespace

void Document::set_text(std::string new_text) {
  outline.reset();
  parsed.reset();
  index.reset();
  text = std::move(new_text);
  body = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  line_starts.assign(1, 0);
  for (size_t p = 1; p <= text.size(); ++p) {
    if (starts_line(text, p)) line_starts.push_back(p);
  }
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
  // Whether a line starts at p depends on the bytes at p - 1 and p: the
  // starts from the line before the edit's through its new end are found
  // again; the ones after move by the change in length.
  const size_t new_end = begin + with.size();
  auto it = std::upper_bound(line_starts.begin(), line_starts.end(), begin);
  const size_t keep = static_cast<size_t>(it - line_starts.begin()) >= 2
                          ? static_cast<size_t>(it - line_starts.begin()) - 1
                          : 1;
  const size_t from = line_starts[keep - 1];
  const auto old_after =
      std::upper_bound(line_starts.begin(), line_starts.end(), end);
  std::vector<size_t> after(old_after, line_starts.end());
  line_starts.resize(keep);
  for (size_t p = from + 1; p <= std::min(new_end, text.size()); ++p) {
    if (starts_line(text, p)) line_starts.push_back(p);
  }
  for (const size_t p : after) line_starts.push_back(p - end + new_end);
  stale = true;
}

size_t Document::offset_of(uint64_t line, uint64_t column,
                           ColumnUnit unit) const {
  if (line >= line_starts.size()) return text.size();
  size_t p = line_starts[line];
  uint64_t counted = 0;
  while (p < text.size() && text[p] != '\n' && text[p] != '\r') {
    const auto lead = static_cast<unsigned char>(text[p]);
    size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    length = std::min(length, text.size() - p);
    const uint64_t units = unit == ColumnUnit::kUtf8    ? length
                           : unit == ColumnUnit::kUtf16 ? (length == 4 ? 2 : 1)
                                                        : 1;
    if (counted + units > column) break;
    counted += units;
    p += length;
  }
  return p;
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
