// Definition and references of the names a contract declares.
#include "lsp/names.h"

#include <algorithm>
#include <string>

#include "lsp/features.h"

namespace qel::cli::lsp {

const Declaration& declaration_of(const Outline& outline,
                                  const Target& target) {
  if (target.operation < 0) return outline.state[target.index];
  return outline.operations[static_cast<size_t>(target.operation)]
      .parameters[target.index];
}

std::optional<Hit> hit_at(const Outline& outline, size_t offset) {
  // Object fields nest, without a bound of their own beyond the parser's;
  // an explicit stack keeps the walk flat.
  std::vector<const Declaration*> nested;
  for (size_t i = 0; i < outline.state.size(); ++i) {
    const Declaration& d = outline.state[i];
    if (d.name_range.contains(offset)) return Hit{d.name_range, {{-1, i}}};
    if (d.range.contains(offset)) {
      for (const Declaration& f : d.fields) nested.push_back(&f);
    }
  }
  for (size_t k = 0; k < outline.operations.size(); ++k) {
    const OutlinedOperation& op = outline.operations[k];
    if (!op.range.contains(offset)) continue;
    for (size_t i = 0; i < op.parameters.size(); ++i) {
      const Declaration& p = op.parameters[i];
      if (p.name_range.contains(offset)) {
        return Hit{p.name_range, {{static_cast<int>(k), i}}};
      }
      if (p.range.contains(offset)) {
        for (const Declaration& f : p.fields) nested.push_back(&f);
      }
    }
  }
  while (!nested.empty()) {
    const Declaration* d = nested.back();
    nested.pop_back();
    if (d->name_range.contains(offset)) return Hit{d->name_range, {}, d};
    if (d->range.contains(offset)) {
      for (const Declaration& f : d->fields) nested.push_back(&f);
    }
  }
  for (const Condition& c : outline.conditions) {
    if (!c.range.contains(offset)) continue;
    for (const NameUse& use : c.names) {
      if (use.range.contains(offset)) return Hit{use.range, use.targets};
    }
  }
  return std::nullopt;
}

Answer definition(Session& session, const json& params) {
  Document& doc = session.document(params);
  const Protocol& protocol = session.protocol;
  const Outline* outline = &doc.get_outline();
  const std::optional<Hit> hit = hit_at(*outline, protocol.offset_at(doc, params));
  if (!hit) return nullptr;
  const std::string& uri = document_uri(params);
  if (hit->nested != nullptr) {
    return json::array({protocol.location(uri, doc, hit->nested->name_range)});
  }
  json locations = json::array();
  for (const Target& t : hit->targets) {
    locations.push_back(
        protocol.location(uri, doc, declaration_of(*outline, t).name_range));
  }
  return locations;
}

Answer references(Session& session, const json& params) {
  Document& doc = session.document(params);
  const Protocol& protocol = session.protocol;
  const Outline* outline = &doc.get_outline();
  json locations = json::array();
  const std::optional<Hit> hit = hit_at(*outline, protocol.offset_at(doc, params));
  if (!hit || hit->targets.empty()) return locations;
  const std::string& uri = document_uri(params);
  const json* include = find_path(params, {"context", "includeDeclaration"});
  if (include != nullptr && include->is_boolean() && include->get<bool>()) {
    for (const Target& t : hit->targets) {
      locations.push_back(
          protocol.location(uri, doc, declaration_of(*outline, t).name_range));
    }
  }
  std::vector<ByteRange> uses;
  for (const Condition& c : outline->conditions) {
    for (const NameUse& use : c.names) {
      const bool names_it = std::any_of(
          use.targets.begin(), use.targets.end(), [&](const Target& t) {
            return std::find(hit->targets.begin(), hit->targets.end(), t) !=
                   hit->targets.end();
          });
      if (names_it) uses.push_back(use.range);
    }
  }
  std::sort(uses.begin(), uses.end(), [](const ByteRange& a, const ByteRange& b) {
    return a.begin < b.begin;
  });
  for (const ByteRange& r : uses) locations.push_back(protocol.location(uri, doc, r));
  return locations;
}

}  // namespace qel::cli::lsp
