// What a position names: a declaration with its type and default, a
// field or section and what it means, the semantic hash and whether it
// matches.
#include <optional>
#include <string>

#include "lsp/context.h"
#include "lsp/features.h"
#include "lsp/names.h"
#include "lsp/schema.h"

namespace qel::cli::lsp {

namespace {

std::string declaration_code(const Declaration& d) {
  std::string code = d.name + ": " + d.type;
  if (d.default_text) code += " = " + *d.default_text;
  return code;
}

std::string describe(const Outline& outline, const Target& target) {
  const Declaration& d = declaration_of(outline, target);
  std::string text =
      target.operation < 0
          ? "State field"
          : "Parameter of operation '" +
                outline.operations[static_cast<size_t>(target.operation)]
                    .name +
                "'";
  text += d.default_text ? "; default " + *d.default_text + "." : "; no default.";
  return text;
}

std::string hash_status(const Outline& outline) {
  if (!outline.complete) {
    return "The hash is computed once the contract parses.";
  }
  if (outline.written_hash == outline.computed_hash) {
    return "The written hash matches the computed hash.";
  }
  return "The written hash does not match the computed hash " +
         outline.computed_hash + ".";
}

}  // namespace

Answer hover(Session& session, const json& params) {
  Document& doc = session.document(params);
  const Protocol& protocol = session.protocol;
  const size_t offset = protocol.offset_at(doc, params);
  const Outline& outline = doc.get_outline();
  if (const std::optional<Hit> hit = hit_at(outline, offset)) {
    json contents;
    if (hit->nested != nullptr) {
      contents = protocol.markup(declaration_code(*hit->nested),
                                 "Field of an Object type.");
    } else {
      std::string code, text;
      for (const Target& t : hit->targets) {
        if (!code.empty()) code += '\n';
        if (!text.empty()) text += '\n';
        code += declaration_code(declaration_of(outline, t));
        text += describe(outline, t);
      }
      contents = protocol.markup(code, text);
    }
    return json{{"contents", contents},
                {"range", protocol.range(doc, hit->range)}};
  }
  if (outline.semantic_hash && outline.semantic_hash->contains(offset)) {
    return json{
        {"contents",
         protocol.markup("semantic_hash: \"" + outline.written_hash + "\"",
                         hash_status(outline))},
        {"range", protocol.range(doc, *outline.semantic_hash)}};
  }
  // A key the tree read as one: what the field or section means.
  if (offset < doc.body) return nullptr;
  const std::optional<FieldKey> key =
      field_key_at(doc.tree(), offset - doc.body);
  if (!key) return nullptr;
  std::string text(field_explanation(key->name));
  if (key->name == "semantic_hash") text += ' ' + hash_status(outline);
  const ByteRange at{doc.body + key->range.begin, doc.body + key->range.end};
  return json{{"contents", protocol.markup(std::string(key->name), text)},
              {"range", protocol.range(doc, at)}};
}

}  // namespace qel::cli::lsp
