// The protocol's side of the language server: JSON-RPC's errors and
// answers, the JSON helpers every feature uses, and the conversions
// between byte ranges and the client's positions.
#ifndef QEL_CLI_LSP_PROTOCOL_H_
#define QEL_CLI_LSP_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "lsp/byte_range.h"
#include "qel/line_index.h"

namespace qel::cli::lsp {

using nlohmann::json;

struct Document;

// JSON-RPC's error codes, and the protocol's for a premature request.
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
inline constexpr int kServerNotInitialized = -32002;
inline constexpr int kRequestCancelled = -32800;

// The largest of the protocol's unsigned integers.
inline constexpr uint64_t kMaxUinteger = 2147483647;

// A request's failure, answered as an error.
struct RpcError {
  int code;
  std::string message;
};

// A result: a JSON value, or JSON text written directly. The answers that
// grow with the document (diagnostics, symbols) are written as text: a tree
// of values for a large contract costs more than all the other work.
struct Answer {
  Answer(json v) : value(std::move(v)) {}  // NOLINT: any value answers
  Answer(std::nullptr_t) : value(nullptr) {}  // NOLINT
  static Answer text(std::string t) {
    Answer a(nullptr);
    a.raw = std::move(t);
    return a;
  }
  json value;
  std::optional<std::string> raw;
};

// Thrown while parsing JSON nested deeper than kMaxNestingDepth.
struct NestingTooDeep {};

// JSON nested deeper than the library's limit is refused while parsing, so
// that no later walk of it can exhaust the stack.
json parse_json(const std::string& body);

// The member at a path of object keys, or nullptr.
const json* find_path(const json& j, std::initializer_list<const char*> path);

// Whether `j` is an array holding the string `value`.
bool array_holds(const json* j, std::string_view value);

// The document a request names: params.textDocument.uri.
const std::string& document_uri(const json& params);

// A document's version: an integer. One that is missing or is not an
// integer the server can hold is passed over for the fallback, rather than
// losing the text that came with it.
int64_t document_version(const json& item, int64_t fallback);

// What the client negotiated, and the conversions that follow from it.
struct Protocol {
  ColumnUnit encoding = ColumnUnit::kUtf16;  // or kUtf8, when offered
  bool markdown = false;
  bool hierarchical_symbols = false;

  // The byte offset of a protocol position; RpcError when its line or
  // character is not the protocol's uinteger.
  size_t offset_of(const Document& doc, const json& position) const;
  // The byte offset of params.position.
  size_t offset_at(const Document& doc, const json& params) const;

  json position(const Document& doc, size_t offset) const;
  json range(const Document& doc, ByteRange r) const;
  void append_range(std::string& out, const Document& doc, ByteRange r) const;
  json location(const std::string& uri, const Document& doc,
                ByteRange r) const;
  json text_edit(const Document& doc, ByteRange replaced,
                 std::string text) const;
  // Replaces everything, a byte order mark included: the form of the
  // normalize action and of formatting.
  json whole_document_edit(const Document& doc, std::string text) const;
  // Code in the language's fence, then text: markdown, or plain text for a
  // client that takes no markdown.
  json markup(const std::string& code, const std::string& text) const;
};

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_PROTOCOL_H_
