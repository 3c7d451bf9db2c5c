// Quick fixes: the same fixes `qel check --fix` applies, offered one by
// one on their findings, and a suppression comment for any finding that
// one can silence.
#include "lsp/quick_fixes.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lsp/features.h"
#include "qel/check.h"
#include "qel/rules.h"

namespace qel::cli::lsp {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Where a "// qel: allow" comment's list of codes starts (just after
// "allow"), or npos when `comment` is not one.
size_t after_allow(std::string_view comment) {
  size_t i = 2;  // the slashes
  const auto blanks = [&] {
    while (i < comment.size() && is_blank(comment[i])) ++i;
  };
  blanks();
  if (comment.substr(i, 4) != "qel:") return std::string_view::npos;
  i += 4;
  blanks();
  if (comment.substr(i, 5) != "allow") return std::string_view::npos;
  i += 5;
  if (i < comment.size() && !is_blank(comment[i])) {
    return std::string_view::npos;
  }
  return i;
}

// The edit that silences `code` on the line holding `at`: a code added to
// the line's suppression, a suppression put before the line's other
// comment (which becomes its reason), or one appended to the line.
qel::Edit allow_edit(const SyntaxTree& tree, uint32_t at,
                     std::string_view code) {
  const std::string_view text = tree.source();
  const size_t lf = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
  const size_t start = lf == std::string_view::npos ? 0 : lf + 1;
  size_t end = text.find('\n', at);
  if (end == std::string_view::npos) end = text.size();
  if (end > at && text[end - 1] == '\r') --end;
  std::string allow = "// qel: allow ";
  allow += code;
  if (end > start) {
    // A comment runs to the line's end: it is the line's last token.
    const uint32_t last = tree.token_at(static_cast<uint32_t>(end - 1));
    const uint32_t begin = tree.token_offset(last);
    if (tree.token_kind(last) == TokenKind::kComment && begin >= start) {
      const std::string_view comment = tree.token_text(last);
      const size_t list = after_allow(comment);
      if (list != std::string_view::npos) {
        const bool empty = comment.find_first_not_of(" \t", list) ==
                           std::string_view::npos;
        const auto where = static_cast<uint32_t>(begin + list);
        std::string added = " ";
        added += code;
        if (!empty) added += ',';
        return {{where, where}, std::move(added)};
      }
      return {{begin, begin}, allow + " "};
    }
  }
  const auto where = static_cast<uint32_t>(end);
  allow.insert(0, "  ");
  return {{where, where}, std::move(allow)};
}

}  // namespace

void append_quick_fixes(Session& session, const json& params, json& actions) {
  const json* only = find_path(params, {"context", "only"});
  if (only != nullptr && only->is_array() &&
      !array_holds(only, "quickfix")) {
    return;
  }
  Document& doc = session.document(params);
  const Protocol& protocol = session.protocol;
  const size_t from = protocol.offset_of(doc, params.at("range").at("start"));
  const size_t to = protocol.offset_of(doc, params.at("range").at("end"));
  const Result<CheckResult> checked =
      check(doc.contract(), with_client_settings({}, session.settings));
  if (!checked.ok() || !checked->parsed) return;
  const SyntaxTree& tree = doc.tree();
  const std::string& uri = document_uri(params);

  const auto in_document = [&](const qel::ByteRange& r) {
    return ByteRange{doc.body + r.begin, doc.body + std::max(r.begin, r.end)};
  };
  const auto action = [&](std::string title, const json& diagnostic,
                          const std::vector<qel::Edit>& edits, bool preferred) {
    json changes = json::array();
    for (const qel::Edit& e : edits) {
      changes.push_back(
          protocol.text_edit(doc, in_document(e.range), e.replacement));
    }
    json a{{"title", std::move(title)},
           {"kind", "quickfix"},
           {"diagnostics", json::array({diagnostic})},
           {"edit", {{"changes", {{uri, std::move(changes)}}}}}};
    if (preferred) a["isPreferred"] = true;
    actions.push_back(std::move(a));
  };

  std::vector<json> allows;
  for (const Diagnostic& d : checked->findings) {
    const ByteRange range = in_document(d.range);
    if (!d.span || range.begin > std::max(from, to) ||
        std::min(from, to) > range.end) {
      continue;
    }
    // As published, so that the client ties the action to its finding.
    const json diagnostic{
        {"range", protocol.range(doc, range)},
        {"severity", d.severity == Severity::kError ? 1 : 2},
        {"code", d.code},
        {"source", "qel"},
        {"message", d.message}};
    // The hash is written by the code action of its own, on any line.
    if (d.code != rule::kStaleSemanticHash) {
      for (const Fix& fix : d.fixes) {
        action(fix.title, diagnostic, fix.edits, fix.safe);
      }
    }
    // A parse error cannot be silenced: nothing is checked without a parse.
    if (d.kind == DiagnosticKind::kParse) continue;
    const qel::Edit edit = allow_edit(tree, d.range.begin, d.code);
    std::string title = "Allow ";
    title += d.code;
    title += " on this line";
    allows.push_back(json{
        {"title", std::move(title)},
        {"kind", "quickfix"},
        {"diagnostics", json::array({diagnostic})},
        {"edit",
         {{"changes",
           {{uri, json::array({protocol.text_edit(
                      doc, in_document(edit.range), edit.replacement)})}}}}}});
  }
  for (json& a : allows) actions.push_back(std::move(a));
}

}  // namespace qel::cli::lsp
