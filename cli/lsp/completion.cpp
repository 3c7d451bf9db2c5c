// Completion: the fields a block lacks, type names, and the names a
// condition may read, as the tolerant tree sees the cursor's place.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lsp/context.h"
#include "lsp/features.h"
#include "lsp/schema.h"

namespace qel::cli::lsp {

namespace {

// The protocol's completion kinds that the server uses.
constexpr int kCompletionField = 5;
constexpr int kCompletionVariable = 6;
constexpr int kCompletionClass = 7;
constexpr int kCompletionModule = 9;

}  // namespace

Answer completion(Session& session, const json& params) {
  Document& doc = session.document(params);
  const Protocol& protocol = session.protocol;
  const size_t offset = protocol.offset_at(doc, params);
  CompletionContext context;
  if (offset >= doc.body) {
    context = completion_at(doc.tree(), offset - doc.body);
    context.word.begin += doc.body;
    context.word.end += doc.body;
  }
  json items = json::array();
  const json replace = protocol.range(doc, context.word);
  const auto add = [&](std::string_view label, int kind, std::string detail) {
    json item{{"label", label},
              {"kind", kind},
              {"textEdit", {{"range", replace}, {"newText", label}}}};
    if (!detail.empty()) item["detail"] = std::move(detail);
    items.push_back(std::move(item));
  };
  using Kind = CompletionContext::Kind;
  switch (context.kind) {
    case Kind::kFields: {
      const bool sections = context.block == Block::kTop ||
                            context.block == Block::kContract;
      for (const std::string& name : context.missing) {
        add(name, sections ? kCompletionModule : kCompletionField,
            std::string(field_explanation(name)));
      }
      break;
    }
    case Kind::kTypes:
      for (std::string_view name : type_names()) {
        add(name, kCompletionClass, "type");
      }
      break;
    case Kind::kConditionNames: {
      std::vector<std::string_view> seen;
      for (const std::string& name : context.parameters) {
        add(name, kCompletionVariable, "parameter");
        seen.push_back(name);
      }
      for (const std::string& name : context.state) {
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
        add(name, kCompletionField, "state field");
      }
      break;
    }
    case Kind::kNone:
      break;
  }
  return json{{"isIncomplete", false}, {"items", std::move(items)}};
}

}  // namespace qel::cli::lsp
