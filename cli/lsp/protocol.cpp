#include "lsp/protocol.h"

#include <algorithm>

#include "lsp/document.h"
#include "qel/json.h"
#include "qel/limits.h"

namespace qel::cli::lsp {

namespace {

// A position's line or character: the protocol's uinteger. Anything else
// (a fraction, a string, a negative or larger number) is refused here, as
// converting it would be undefined.
uint64_t position_number(const json& position, const char* name) {
  const json& n = position.at(name);
  if (!n.is_number_unsigned() || n.get<uint64_t>() > kMaxUinteger) {
    throw RpcError{kInvalidParams, std::string("a position's ") + name +
                                       " must be an integer from 0 to " +
                                       std::to_string(kMaxUinteger)};
  }
  return n.get<uint64_t>();
}

}  // namespace

json parse_json(const std::string& body) {
  return json::parse(body, [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxNestingDepth) throw NestingTooDeep{};
    return true;
  });
}

const json* find_path(const json& j, std::initializer_list<const char*> path) {
  const json* at = &j;
  for (const char* key : path) {
    if (!at->is_object()) return nullptr;
    const auto it = at->find(key);
    if (it == at->end()) return nullptr;
    at = &*it;
  }
  return at;
}

bool array_holds(const json* j, std::string_view value) {
  if (j == nullptr || !j->is_array()) return false;
  return std::any_of(j->begin(), j->end(), [&](const json& v) {
    return v.is_string() && v.get_ref<const std::string&>() == value;
  });
}

const std::string& document_uri(const json& params) {
  return params.at("textDocument").at("uri").get_ref<const std::string&>();
}

int64_t document_version(const json& item, int64_t fallback) {
  const auto it = item.find("version");
  if (it == item.end() || !it->is_number_integer()) return fallback;
  if (it->is_number_unsigned() && it->get<uint64_t>() > uint64_t{INT64_MAX}) {
    return fallback;
  }
  return it->get<int64_t>();
}

size_t Protocol::offset_of(const Document& doc, const json& position) const {
  const uint64_t line = position_number(position, "line");
  const uint64_t character = position_number(position, "character");
  // An edit's position comes before any answer needs the line index.
  if (!doc.index) return doc.offset_of(line, character, encoding);
  return doc.index->offset_of(LineColumn{line, character}, encoding);
}

size_t Protocol::offset_at(const Document& doc, const json& params) const {
  return offset_of(doc, params.at("position"));
}

json Protocol::position(const Document& doc, size_t offset) const {
  const LineColumn p = doc.lines().position_of(offset, encoding);
  return json{{"line", p.line}, {"character", p.column}};
}

json Protocol::range(const Document& doc, ByteRange r) const {
  return json{{"start", position(doc, r.begin)}, {"end", position(doc, r.end)}};
}

void Protocol::append_range(std::string& out, const Document& doc,
                            ByteRange r) const {
  const LineColumn start = doc.lines().position_of(r.begin, encoding);
  const LineColumn end = doc.lines().position_of(r.end, encoding);
  out += "{\"start\":{\"line\":";
  append_uint(out, start.line);
  out += ",\"character\":";
  append_uint(out, start.column);
  out += "},\"end\":{\"line\":";
  append_uint(out, end.line);
  out += ",\"character\":";
  append_uint(out, end.column);
  out += "}}";
}

json Protocol::location(const std::string& uri, const Document& doc,
                        ByteRange r) const {
  return json{{"uri", uri}, {"range", range(doc, r)}};
}

json Protocol::text_edit(const Document& doc, ByteRange replaced,
                         std::string text) const {
  return json{{"range", range(doc, replaced)}, {"newText", std::move(text)}};
}

json Protocol::whole_document_edit(const Document& doc,
                                   std::string text) const {
  return text_edit(doc, ByteRange{0, doc.text.size()}, std::move(text));
}

json Protocol::markup(const std::string& code, const std::string& text) const {
  if (markdown) {
    return json{{"kind", "markdown"},
                {"value", "```qel\n" + code + "\n```\n" + text}};
  }
  return json{{"kind", "plaintext"}, {"value", code + "\n" + text}};
}

}  // namespace qel::cli::lsp
