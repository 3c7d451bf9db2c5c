// Rename and document highlight of the names a contract declares: a state
// field, an operation's parameter (each with every condition naming it) and
// an operation's name.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "lsp/features.h"
#include "lsp/names.h"
#include "qel/parser.h"

namespace qel::cli::lsp {

namespace {

// What can be renamed at a position: a declared name and its uses, or an
// operation's name (-1 in `target`, its index in `operation`).
struct Renamable {
  ByteRange at;
  std::optional<Target> target;
  size_t operation = 0;
  ByteRange declaration;
  std::vector<ByteRange> uses;  // in conditions, in source order
};

std::optional<Renamable> renamable_at(const Outline& outline, size_t offset) {
  for (size_t k = 0; k < outline.operations.size(); ++k) {
    const OutlinedOperation& op = outline.operations[k];
    // An operation without a written name is outlined by its brace.
    if (!op.name.empty() && op.name_range.contains(offset)) {
      return Renamable{op.name_range, std::nullopt, k, op.name_range, {}};
    }
  }
  const std::optional<Hit> hit = hit_at(outline, offset);
  if (!hit || hit->nested != nullptr || hit->targets.empty()) {
    return std::nullopt;
  }
  // A name in a condition means its first target: a parameter hides the
  // state field it shares a name with.
  const Target target = hit->targets.front();
  Renamable r{hit->range, target, 0,
              declaration_of(outline, target).name_range, {}};
  for (const Condition& c : outline.conditions) {
    for (const NameUse& use : c.names) {
      if (use.targets.front() == target) r.uses.push_back(use.range);
    }
  }
  std::sort(r.uses.begin(), r.uses.end(),
            [](const ByteRange& a, const ByteRange& b) {
              return a.begin < b.begin;
            });
  return r;
}

// A name the language reads as one identifier, and not one with a '-',
// which a condition reads as a minus.
bool is_identifier(const std::string& name) {
  if (name.empty() || name.find('-') != std::string::npos) return false;
  Result<Parse> parsed = qel::parse(name);
  if (!parsed.ok()) return false;
  const SyntaxTree& tree = parsed->tree;
  return tree.token_count() == 2 &&
         tree.token_kind(0) == TokenKind::kIdentifier &&
         tree.token_text(0) == name;
}

// An operation's name is a string literal: the rename replaces what is
// between its quotes.
ByteRange inside_quotes(const Document& doc, ByteRange r) {
  if (r.size() >= 2 && doc.text[r.begin] == '"') return {r.begin + 1, r.end - 1};
  return r;
}

// Why `name` cannot be given, or nothing.
std::optional<std::string> collision(const Outline& outline,
                                     const Renamable& r,
                                     const std::string& name) {
  const auto taken = [&](const std::vector<Declaration>& ds) {
    return std::any_of(ds.begin(), ds.end(),
                       [&](const Declaration& d) { return d.name == name; });
  };
  if (!r.target) {
    for (const OutlinedOperation& op : outline.operations) {
      if (op.name == name) return "an operation is already named '" + name + "'";
    }
    return std::nullopt;
  }
  if (r.target->operation < 0) {
    if (taken(outline.state)) {
      return "a state field is already named '" + name + "'";
    }
    // A parameter of that name would take over the uses in its operation.
    for (const Condition& c : outline.conditions) {
      if (c.operation < 0) continue;
      const auto& params =
          outline.operations[static_cast<size_t>(c.operation)].parameters;
      const bool uses_it = std::any_of(
          c.names.begin(), c.names.end(),
          [&](const NameUse& u) { return u.targets.front() == *r.target; });
      if (uses_it && taken(params)) {
        return "a parameter named '" + name +
               "' would hide the field in its operation's conditions";
      }
    }
    return std::nullopt;
  }
  const auto& op = outline.operations[static_cast<size_t>(r.target->operation)];
  if (taken(op.parameters)) {
    return "a parameter of this operation is already named '" + name + "'";
  }
  if (taken(outline.state)) {
    return "a state field is already named '" + name +
           "'; the parameter would hide it";
  }
  return std::nullopt;
}

}  // namespace

Answer prepare_rename(Session& session, const json& params) {
  Document& doc = session.document(params);
  const std::optional<Renamable> r = renamable_at(
      doc.get_outline(), session.protocol.offset_at(doc, params));
  if (!r) return nullptr;
  const ByteRange at = r->target ? r->at : inside_quotes(doc, r->at);
  return json{{"range", session.protocol.range(doc, at)},
              {"placeholder", doc.text.substr(at.begin, at.size())}};
}

Answer rename(Session& session, const json& params) {
  Document& doc = session.document(params);
  const Outline& outline = doc.get_outline();
  const std::optional<Renamable> r =
      renamable_at(outline, session.protocol.offset_at(doc, params));
  if (!r) throw RpcError{kInvalidRequest, "nothing to rename here"};
  const std::string& name = params.at("newName").get_ref<const std::string&>();
  if (!is_identifier(name)) {
    throw RpcError{kInvalidParams, "'" + name + "' is not a valid name"};
  }
  if (const auto why = collision(outline, *r, name)) {
    throw RpcError{kInvalidRequest, *why};
  }
  json edits = json::array();
  if (!r->target) {
    edits.push_back(
        session.protocol.text_edit(doc, inside_quotes(doc, r->declaration), name));
  } else {
    edits.push_back(session.protocol.text_edit(doc, r->declaration, name));
    for (const ByteRange& use : r->uses) {
      edits.push_back(session.protocol.text_edit(doc, use, name));
    }
  }
  return json{{"changes", {{document_uri(params), std::move(edits)}}}};
}

Answer document_highlight(Session& session, const json& params) {
  Document& doc = session.document(params);
  json highlights = json::array();
  const std::optional<Renamable> r = renamable_at(
      doc.get_outline(), session.protocol.offset_at(doc, params));
  if (!r) return highlights;
  constexpr int kRead = 2;
  constexpr int kWrite = 3;  // where the name is declared
  highlights.push_back(json{
      {"range", session.protocol.range(doc, r->declaration)}, {"kind", kWrite}});
  for (const ByteRange& use : r->uses) {
    highlights.push_back(
        json{{"range", session.protocol.range(doc, use)}, {"kind", kRead}});
  }
  return highlights;
}

}  // namespace qel::cli::lsp
