#include "lsp_server.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "analysis.h"
#include "command.h"
#include "lsp/context.h"
#include "lsp/outline.h"
#include "lsp/schema.h"
#include "lsp_jsonrpc.h"
#include "qel/format.h"
#include "qel/json.h"
#include "qel/line_index.h"
#include "qel/parser.h"
#include "qel/limits.h"

namespace qel::cli {
namespace lsp {
namespace {

using nlohmann::json;

// JSON-RPC's error codes, and the protocol's for a premature request.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;
constexpr int kServerNotInitialized = -32002;

// The largest of the protocol's unsigned integers.
constexpr uint64_t kMaxUinteger = 2147483647;

// The protocol's symbol and completion kinds that the server uses.
constexpr int kSymbolModule = 2;
constexpr int kSymbolNamespace = 3;
constexpr int kSymbolMethod = 6;
constexpr int kSymbolProperty = 7;
constexpr int kSymbolField = 8;
constexpr int kSymbolVariable = 13;
constexpr int kSymbolStruct = 23;
constexpr int kCompletionVariable = 6;
constexpr int kCompletionField = 5;
constexpr int kCompletionModule = 9;
constexpr int kCompletionClass = 7;

constexpr std::string_view kWriteHashKind = "quickfix";
constexpr std::string_view kNormalizeKind = "source.normalize";

struct RpcError {
  int code;
  std::string message;
};

struct NestingTooDeep {};

// A result: a JSON value, or JSON text written directly. The answers that
// grow with the document (diagnostics, symbols) are written as text: a tree
// of values for a large contract costs more than all the other work.
struct Answer {
  Answer(json v) : value(std::move(v)) {}
  Answer(std::nullptr_t) : value(nullptr) {}
  static Answer text(std::string t) {
    Answer a(nullptr);
    a.raw = std::move(t);
    return a;
  }
  json value;
  std::optional<std::string> raw;
};

// JSON nested deeper than the library's limit is refused while parsing, so
// that no later walk of it can exhaust the stack.
json parse_json(const std::string& body) {
  return json::parse(body, [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxNestingDepth) throw NestingTooDeep{};
    return true;
  });
}

// The member at a path of object keys, or nullptr.
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

struct Document {
  std::string text;
  int64_t version = 0;
  size_t body = 0;  // 3 when the text starts with a byte order mark
  std::optional<qel::LineIndex> index;
  // Built when first asked for, for this version of the text: the
  // tolerant tree (which refers to `text`) and what is read from it.
  std::optional<Parse> parsed;
  std::optional<Outline> outline;

  void set_text(std::string new_text) {
    outline.reset();
    parsed.reset();
    text = std::move(new_text);
    body = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    index.emplace(text);
  }
  std::string_view contract() const {
    return std::string_view(text).substr(body);
  }
  const Parse& parse() {
    if (!parsed) {
      Result<Parse> result = qel::parse(contract());
      if (!result.ok()) throw std::runtime_error(result.error().to_string());
      parsed = std::move(*result);
    }
    return *parsed;
  }
  const SyntaxTree& tree() { return parse().tree; }
  const Outline& get_outline() {
    if (!outline) {
      const Parse& p = parse();
      outline = build_outline(p.tree, body, p.errors.empty());
    }
    return *outline;
  }
};

// What stands at a position: a declaration, or a name in a condition.
struct Hit {
  ByteRange range;
  std::vector<Target> targets;        // what the name refers to
  const Declaration* nested = nullptr;  // a field of an Object type
};

class Server {
 public:
  explicit Server(int out) : out_(out) {}

  // Handles one message; false once `exit` has come.
  bool handle(const std::string& body);
  // Whether the last body was not a whole message: its frame's length may
  // have been wrong, so the next header is searched for.
  bool body_was_malformed() const { return malformed_; }
  void framing_error(const MessageReader::Frame& frame) {
    send_error(nullptr, frame.oversized ? kInvalidRequest : kParseError,
               frame.error);
  }
  int exit_status() const { return shutdown_ ? 0 : 1; }
  bool output_closed() const { return output_closed_; }

 private:
  using Handler = Answer (Server::*)(const json& params);

  bool dispatch(const json& message);
  void request(const json& id, const std::string& method,
               const json& params);
  void notification(const std::string& method, const json& params);

  void send(const json& message);
  void send_text(const std::string& body);
  void send_result(const json& id, Answer result);
  void send_error(const json& id, int code, std::string message);
  void notify(std::string_view method, json params);

  Answer initialize(const json& params);
  Answer shutdown(const json& params);
  Answer document_symbol(const json& params);
  Answer hover(const json& params);
  Answer definition(const json& params);
  Answer references(const json& params);
  Answer completion(const json& params);
  Answer code_action(const json& params);
  Answer formatting(const json& params);

  void did_open(const json& params);
  void did_change(const json& params);
  void did_save(const json& params);
  void did_close(const json& params);

  Document& document(const json& params);
  size_t offset_of(const Document& doc, const json& position) const;
  size_t offset_at(Document& doc, const json& params) const;
  void publish_diagnostics(const std::string& uri, Document& doc);

  json position(const Document& doc, size_t offset) const;
  json range(const Document& doc, ByteRange r) const;
  void append_range(std::string& out, const Document& doc,
                    ByteRange r) const;
  json location(const std::string& uri, const Document& doc,
                ByteRange r) const;
  json markup(const std::string& code, const std::string& text) const;
  json text_edit(const Document& doc, ByteRange replaced,
                 std::string text) const;
  json whole_document_edit(const Document& doc, std::string text) const;

  std::optional<Hit> hit_at(const Outline& outline, size_t offset) const;
  static const Declaration& declaration_of(const Outline& outline,
                                           const Target& target);
  std::string describe(const Outline& outline, const Target& target) const;
  static std::string hash_status(const Outline& outline);

  int out_;
  bool output_closed_ = false;
  bool malformed_ = false;
  bool initialized_ = false;
  bool shutdown_ = false;
  ColumnUnit encoding_ = ColumnUnit::kUtf16;
  bool markdown_ = false;
  bool hierarchical_symbols_ = false;
  std::map<std::string, std::unique_ptr<Document>, std::less<>> documents_;
};

// ---- Messages ----------------------------------------------------------------

bool Server::handle(const std::string& body) {
  malformed_ = false;
  try {
    json message;
    try {
      message = parse_json(body);
    } catch (const json::parse_error& e) {
      malformed_ = true;
      send_error(nullptr, kParseError, e.what());
      return true;
    } catch (const NestingTooDeep&) {
      malformed_ = true;
      send_error(nullptr, kParseError,
                 "JSON nested deeper than " +
                     std::to_string(kMaxNestingDepth) + " levels");
      return true;
    }
    return dispatch(message);
  } catch (const std::bad_alloc&) {
    send_error(nullptr, kInternalError, "out of memory");
  } catch (const std::exception& e) {
    send_error(nullptr, kInternalError, e.what());
  }
  return true;
}

bool Server::dispatch(const json& message) {
  if (!message.is_object()) {
    malformed_ = true;
    send_error(nullptr, kInvalidRequest, "a message must be a JSON object");
    return true;
  }
  const auto id = message.find("id");
  const bool has_id = id != message.end();
  if (has_id && !id->is_number_integer() && !id->is_string()) {
    send_error(nullptr, kInvalidRequest, "an id must be an integer or a string");
    return true;
  }
  const json reply_id = has_id ? *id : json(nullptr);
  const auto version = message.find("jsonrpc");
  if (version == message.end() || *version != "2.0") {
    send_error(reply_id, kInvalidRequest, "jsonrpc must be \"2.0\"");
    return true;
  }
  const auto method = message.find("method");
  if (method == message.end()) {
    // A response to a request of ours; the server sends none.
    if (has_id && (message.contains("result") || message.contains("error"))) {
      return true;
    }
    send_error(reply_id, kInvalidRequest, "a message needs a method");
    return true;
  }
  if (!method->is_string()) {
    send_error(reply_id, kInvalidRequest, "a method must be a string");
    return true;
  }
  const auto params_it = message.find("params");
  static const json kNoParams = json::object();
  const json& params = params_it == message.end() ? kNoParams : *params_it;
  const std::string& name = method->get_ref<const std::string&>();
  if (!has_id) {
    if (name == "exit") return false;
    notification(name, params);
    return true;
  }
  request(reply_id, name, params);
  return true;
}

void Server::request(const json& id, const std::string& method,
                     const json& params) {
  static const std::map<std::string_view, Handler> kRequests = {
      {"initialize", &Server::initialize},
      {"shutdown", &Server::shutdown},
      {"textDocument/documentSymbol", &Server::document_symbol},
      {"textDocument/hover", &Server::hover},
      {"textDocument/definition", &Server::definition},
      {"textDocument/references", &Server::references},
      {"textDocument/completion", &Server::completion},
      {"textDocument/codeAction", &Server::code_action},
      {"textDocument/formatting", &Server::formatting},
  };
  if (shutdown_) {
    send_error(id, kInvalidRequest, "the server has been shut down");
    return;
  }
  if (!initialized_ && method != "initialize") {
    send_error(id, kServerNotInitialized, "the server is not initialized");
    return;
  }
  const auto it = kRequests.find(method);
  if (it == kRequests.end()) {
    send_error(id, kMethodNotFound, "unknown method '" + method + "'");
    return;
  }
  try {
    send_result(id, (this->*(it->second))(params));
  } catch (const RpcError& e) {
    send_error(id, e.code, e.message);
  } catch (const json::exception& e) {
    send_error(id, kInvalidParams, std::string("invalid params: ") + e.what());
  } catch (const std::bad_alloc&) {
    send_error(id, kInternalError, "out of memory");
  } catch (const std::exception& e) {
    send_error(id, kInternalError, e.what());
  }
}

// A notification has no answer; its fault goes where clients keep the
// server's log.
void log_ignored(std::string_view method, std::string_view why) {
  std::string line = "qel lsp: ignored ";
  line += method;
  line += ": ";
  line += why;
  line += '\n';
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

void Server::notification(const std::string& method, const json& params) {
  if (!initialized_ || shutdown_) return;
  try {
    if (method == "textDocument/didOpen") {
      did_open(params);
    } else if (method == "textDocument/didChange") {
      did_change(params);
    } else if (method == "textDocument/didSave") {
      did_save(params);
    } else if (method == "textDocument/didClose") {
      did_close(params);
    }
    // Every other notification ($/cancelRequest among them: requests are
    // answered one by one, before the next is read) needs nothing.
  } catch (const RpcError& e) {
    log_ignored(method, e.message);
  } catch (const std::bad_alloc&) {
    log_ignored(method, "out of memory");
  } catch (const std::exception& e) {
    log_ignored(method, e.what());
  }
}

void Server::send(const json& message) {
  if (output_closed_) return;
  const std::string body =
      message.dump(-1, ' ', false, json::error_handler_t::replace);
  if (!write_message(out_, body)) output_closed_ = true;
}

void Server::send_text(const std::string& body) {
  if (output_closed_) return;
  if (!write_message(out_, body)) output_closed_ = true;
}

void Server::send_result(const json& id, Answer result) {
  if (!result.raw) {
    send(json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result.value)}});
    return;
  }
  std::string body = "{\"jsonrpc\":\"2.0\",\"id\":" + id.dump() + ",\"result\":";
  body += *result.raw;
  body += '}';
  send_text(body);
}

void Server::send_error(const json& id, int code, std::string message) {
  send(json{{"jsonrpc", "2.0"},
            {"id", id},
            {"error", {{"code", code}, {"message", std::move(message)}}}});
}

void Server::notify(std::string_view method, json params) {
  send(json{{"jsonrpc", "2.0"},
            {"method", method},
            {"params", std::move(params)}});
}

// ---- Lifecycle -----------------------------------------------------------------

Answer Server::initialize(const json& params) {
  if (initialized_) {
    throw RpcError{kInvalidRequest, "initialize was already received"};
  }
  initialized_ = true;
  if (array_holds(find_path(params,
                            {"capabilities", "general", "positionEncodings"}),
                  "utf-8")) {
    encoding_ = ColumnUnit::kUtf8;
  }
  markdown_ = array_holds(
      find_path(params, {"capabilities", "textDocument", "hover",
                         "contentFormat"}),
      "markdown");
  const json* hierarchical =
      find_path(params, {"capabilities", "textDocument", "documentSymbol",
                         "hierarchicalDocumentSymbolSupport"});
  hierarchical_symbols_ = hierarchical != nullptr &&
                          hierarchical->is_boolean() && hierarchical->get<bool>();
  return json{
      {"capabilities",
       {
           {"positionEncoding",
            encoding_ == ColumnUnit::kUtf8 ? "utf-8" : "utf-16"},
           {"textDocumentSync",
            {{"openClose", true},
             {"change", 1},  // the whole text with every change
             {"save", {{"includeText", false}}}}},
           {"documentSymbolProvider", true},
           {"hoverProvider", true},
           {"definitionProvider", true},
           {"referencesProvider", true},
           {"completionProvider", {{"resolveProvider", false}}},
           {"codeActionProvider",
            {{"codeActionKinds", {kWriteHashKind, kNormalizeKind}}}},
           {"documentFormattingProvider", true},
       }},
      {"serverInfo", {{"name", "qel"}}},
  };
}

Answer Server::shutdown(const json&) {
  shutdown_ = true;
  return nullptr;
}

// ---- Documents and diagnostics ---------------------------------------------------

Document& Server::document(const json& params) {
  const std::string& uri =
      params.at("textDocument").at("uri").get_ref<const std::string&>();
  const auto it = documents_.find(uri);
  if (it == documents_.end()) {
    throw RpcError{kInvalidParams, "the document '" + uri + "' is not open"};
  }
  return *it->second;
}

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

// A document's version: an integer. One that is missing or is not an
// integer the server can hold is passed over for the fallback, rather than
// losing the text that came with it.
int64_t document_version(const json& item, int64_t fallback) {
  const auto it = item.find("version");
  if (it == item.end() || !it->is_number_integer()) return fallback;
  if (it->is_number_unsigned() && it->get<uint64_t>() > uint64_t{INT64_MAX}) {
    return fallback;
  }
  return it->get<int64_t>();
}

size_t Server::offset_of(const Document& doc, const json& position) const {
  return doc.index->offset_of(
      LineColumn{position_number(position, "line"),
                 position_number(position, "character")},
      encoding_);
}

size_t Server::offset_at(Document& doc, const json& params) const {
  return offset_of(doc, params.at("position"));
}

void Server::did_open(const json& params) {
  const json& item = params.at("textDocument");
  const std::string& uri = item.at("uri").get_ref<const std::string&>();
  auto doc = std::make_unique<Document>();
  doc->version = document_version(item, 0);
  doc->set_text(item.at("text").get<std::string>());
  Document& stored = *(documents_[uri] = std::move(doc));
  publish_diagnostics(uri, stored);
}

void Server::did_change(const json& params) {
  Document& doc = document(params);
  const std::string& uri =
      params.at("textDocument").at("uri").get_ref<const std::string&>();
  const int64_t version =
      document_version(params.at("textDocument"), doc.version);
  for (const json& change : params.at("contentChanges")) {
    const std::string& text = change.at("text").get_ref<const std::string&>();
    const auto edit = change.find("range");
    if (edit == change.end()) {
      doc.set_text(text);
      continue;
    }
    // Whole-text sync is what the server asks for; a client that sends a
    // range anyway still gets the right text.
    const size_t begin = offset_of(doc, edit->at("start"));
    const size_t end = std::max(begin, offset_of(doc, edit->at("end")));
    std::string updated = doc.text;
    updated.replace(begin, end - begin, text);
    doc.set_text(std::move(updated));
  }
  doc.version = version;
  publish_diagnostics(uri, doc);
}

// The text a client may send with a save is not asked for and not read:
// one client sends it with its line breaks changed, and the document is
// already what the changes made it.
void Server::did_save(const json& params) {
  Document& doc = document(params);
  publish_diagnostics(
      params.at("textDocument").at("uri").get_ref<const std::string&>(), doc);
}

void Server::did_close(const json& params) {
  const std::string uri =
      params.at("textDocument").at("uri").get<std::string>();
  if (documents_.erase(uri) == 0) return;
  notify("textDocument/publishDiagnostics",
         json{{"uri", uri}, {"diagnostics", json::array()}});
}

// A finding points at a token's start: its range is the token as the
// tolerant tree read it, or one character where no token starts.
size_t finding_end(Document& doc, size_t begin) {
  const SyntaxTree& tree = doc.tree();
  if (begin >= doc.text.size() || tree.token_count() == 0) return begin;
  const auto at = static_cast<uint32_t>(begin - doc.body);
  const uint32_t token = tree.token_at(at);
  if (tree.token_offset(token) == at && tree.token_end(token) > at) {
    return doc.body + tree.token_end(token);
  }
  size_t end = begin + 1;
  while (end < doc.text.size() &&
         (static_cast<unsigned char>(doc.text[end]) & 0xC0) == 0x80) {
    ++end;
  }
  return end;
}

void Server::publish_diagnostics(const std::string& uri, Document& doc) {
  const FileReport report = analyze(uri, doc.contract(), LintSelection{});
  std::string body =
      "{\"jsonrpc\":\"2.0\",\"method\":\"textDocument/publishDiagnostics\","
      "\"params\":{\"uri\":";
  append_json_string(body, uri);
  body += ",\"version\":";
  append_int(body, doc.version);
  body += ",\"diagnostics\":[";
  for (size_t i = 0; i < report.findings.size(); ++i) {
    const Finding& f = report.findings[i];
    // Findings count from the contract's start: a byte order mark is
    // one character before the first line's columns.
    const uint64_t column = (f.column > 0 ? f.column - 1 : 0) +
                            (f.line == 1 && doc.body > 0 ? 1 : 0);
    const size_t begin =
        f.line == 0 ? doc.body
                    : doc.index->offset_of(LineColumn{f.line - 1, column},
                                           ColumnUnit::kChars,
                                           LineBreaks::kLineFeed);
    const size_t end = f.line == 0 ? begin : finding_end(doc, begin);
    if (i > 0) body += ',';
    body += "{\"range\":";
    append_range(body, doc, ByteRange{begin, end});
    body += f.error ? ",\"severity\":1,\"code\":" : ",\"severity\":2,\"code\":";
    append_json_string(body, f.code.empty() ? f.kind : f.code);
    body += ",\"source\":\"qel\",\"message\":";
    append_json_string(body, f.message);
    body += '}';
  }
  body += "]}}";
  send_text(body);
}

// ---- Positions and shapes ------------------------------------------------------

json Server::position(const Document& doc, size_t offset) const {
  const LineColumn p = doc.index->position_of(offset, encoding_);
  return json{{"line", p.line}, {"character", p.column}};
}

json Server::range(const Document& doc, ByteRange r) const {
  return json{{"start", position(doc, r.begin)}, {"end", position(doc, r.end)}};
}

void Server::append_range(std::string& out, const Document& doc,
                          ByteRange r) const {
  const LineColumn start = doc.index->position_of(r.begin, encoding_);
  const LineColumn end = doc.index->position_of(r.end, encoding_);
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

json Server::location(const std::string& uri, const Document& doc,
                      ByteRange r) const {
  return json{{"uri", uri}, {"range", range(doc, r)}};
}

json Server::text_edit(const Document& doc, ByteRange replaced,
                       std::string text) const {
  return json{{"range", range(doc, replaced)}, {"newText", std::move(text)}};
}

// Replaces everything, a byte order mark included: the form of the
// normalize action and of formatting.
json Server::whole_document_edit(const Document& doc, std::string text) const {
  return text_edit(doc, ByteRange{0, doc.text.size()}, std::move(text));
}

json Server::markup(const std::string& code, const std::string& text) const {
  if (markdown_) {
    return json{{"kind", "markdown"},
                {"value", "```qel\n" + code + "\n```\n" + text}};
  }
  return json{{"kind", "plaintext"}, {"value", code + "\n" + text}};
}

// ---- Document symbols ----------------------------------------------------------

// Writes symbols as JSON text: nested DocumentSymbols, or for a client that
// takes only a list, SymbolInformation with each symbol's container.
class SymbolWriter {
 public:
  using RangeWriter = std::function<void(std::string&, ByteRange)>;
  SymbolWriter(bool hierarchical, std::string_view uri, RangeWriter range)
      : hierarchical_(hierarchical), uri_(uri), range_(std::move(range)) {
    out_ += '[';
  }

  // Opens a symbol; the symbols opened before its close() are its children.
  void open(std::string_view name, int kind, std::string_view detail,
            ByteRange whole, ByteRange selection) {
    // Clients reject a symbol without a name.
    if (name.empty()) name = "\"\"";
    // Children go in the innermost open symbol; a flat list has one level.
    auto first = hierarchical_ ? first_.back() : first_.front();
    if (!first) out_ += ',';
    first = false;
    out_ += "{\"name\":";
    append_json_string(out_, name);
    out_ += ",\"kind\":";
    append_int(out_, kind);
    if (hierarchical_) {
      if (!detail.empty()) {
        out_ += ",\"detail\":";
        append_json_string(out_, detail);
      }
      out_ += ",\"range\":";
      range_(out_, whole);
      out_ += ",\"selectionRange\":";
      range_(out_, selection);
      out_ += ",\"children\":[";
      first_.push_back(true);
      return;
    }
    out_ += ",\"location\":{\"uri\":";
    append_json_string(out_, uri_);
    out_ += ",\"range\":";
    range_(out_, whole);
    out_ += '}';
    if (!containers_.empty()) {
      out_ += ",\"containerName\":";
      append_json_string(out_, containers_.back());
    }
    out_ += '}';
    containers_.push_back(name);
  }

  void close() {
    if (hierarchical_) {
      out_ += "]}";
      first_.pop_back();
    } else {
      containers_.pop_back();
    }
  }

  void leaf(std::string_view name, int kind, std::string_view detail,
            ByteRange whole, ByteRange selection) {
    open(name, kind, detail, whole, selection);
    close();
  }

  std::string take() {
    out_ += ']';
    return std::move(out_);
  }

 private:
  bool hierarchical_;
  std::string_view uri_;
  RangeWriter range_;
  std::string out_;
  std::vector<bool> first_{true};  // per open list: nothing written yet
  std::vector<std::string_view> containers_;
};

// Object fields nest as deep as the parser allows, and no deeper.
void write_declaration(SymbolWriter& w, const Declaration& d, int kind) {
  w.open(d.name, kind, d.type, d.range, d.name_range);
  for (const Declaration& f : d.fields) {
    write_declaration(w, f, kSymbolField);
  }
  w.close();
}

Answer Server::document_symbol(const json& params) {
  Document& doc = document(params);
  const Outline* outline = &doc.get_outline();
  const std::string& uri =
      params.at("textDocument").at("uri").get_ref<const std::string&>();
  SymbolWriter w(hierarchical_symbols_, uri,
                 [&](std::string& out, ByteRange r) {
                   append_range(out, doc, r);
                 });
  const auto section = [&](const Section& s) {
    w.open(s.name, kSymbolNamespace, "", s.range, s.name_range);
    if (s.name == "DataSemantics") {
      for (const Declaration& d : outline->state) {
        write_declaration(w, d, kSymbolField);
      }
    } else if (s.name == "BehavioralSemantics") {
      std::string signature;
      for (const Operation& op : outline->operations) {
        signature = "(";
        for (const Declaration& p : op.parameters) {
          if (signature.size() > 1) signature += ", ";
          signature += p.name + ": " + p.type;
        }
        signature += ')';
        w.open(op.name, kSymbolMethod, signature, op.range, op.name_range);
        for (const Declaration& p : op.parameters) {
          write_declaration(w, p, kSymbolVariable);
        }
        w.close();
      }
    } else if (s.name == "Extensions") {
      for (const Extension& e : outline->extensions) {
        w.open(e.name, kSymbolStruct, "", e.range, e.name_range);
        for (const ExtensionField& f : e.fields) {
          w.leaf(f.name, kSymbolProperty, "", f.range, f.name_range);
        }
        w.close();
      }
    }
    w.close();
  };
  // Sections written without the contract around them stand alone.
  if (const auto& contract = outline->contract) {
    w.open(contract->name, kSymbolModule, "", contract->range,
           contract->name_range);
  }
  for (const Section& s : outline->sections) section(s);
  if (outline->contract) w.close();
  if (outline->extensions_section) section(*outline->extensions_section);
  return Answer::text(w.take());
}

// ---- Names: hover, definition, references -----------------------------------------

const Declaration& Server::declaration_of(const Outline& outline,
                                          const Target& target) {
  if (target.operation < 0) return outline.state[target.index];
  return outline.operations[static_cast<size_t>(target.operation)]
      .parameters[target.index];
}

std::optional<Hit> Server::hit_at(const Outline& outline,
                                  size_t offset) const {
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
    const Operation& op = outline.operations[k];
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

std::string declaration_code(const Declaration& d) {
  std::string code = d.name + ": " + d.type;
  if (d.default_text) code += " = " + *d.default_text;
  return code;
}

std::string Server::describe(const Outline& outline,
                             const Target& target) const {
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

std::string Server::hash_status(const Outline& outline) {
  if (!outline.complete) {
    return "The hash is computed once the contract parses.";
  }
  if (outline.written_hash == outline.computed_hash) {
    return "The written hash matches the computed hash.";
  }
  return "The written hash does not match the computed hash " +
         outline.computed_hash + ".";
}

Answer Server::hover(const json& params) {
  Document& doc = document(params);
  const size_t offset = offset_at(doc, params);
  const Outline* outline = &doc.get_outline();
  {
    if (const std::optional<Hit> hit = hit_at(*outline, offset)) {
      json contents;
      if (hit->nested != nullptr) {
        contents = markup(declaration_code(*hit->nested),
                          "Field of an Object type.");
      } else {
        std::string code, text;
        for (const Target& t : hit->targets) {
          if (!code.empty()) code += '\n';
          if (!text.empty()) text += '\n';
          code += declaration_code(declaration_of(*outline, t));
          text += describe(*outline, t);
        }
        contents = markup(code, text);
      }
      return json{{"contents", contents}, {"range", range(doc, hit->range)}};
    }
    if (outline->semantic_hash && outline->semantic_hash->contains(offset)) {
      return json{{"contents", markup("semantic_hash: \"" +
                                          outline->written_hash + "\"",
                                      hash_status(*outline))},
                  {"range", range(doc, *outline->semantic_hash)}};
    }
  }
  if (offset < doc.body) return nullptr;
  const std::optional<FieldKey> key =
      field_key_at(doc.tree(), offset - doc.body);
  if (!key) return nullptr;
  std::string text(field_explanation(key->name));
  if (key->name == "semantic_hash") text += ' ' + hash_status(*outline);
  const ByteRange at{doc.body + key->range.begin, doc.body + key->range.end};
  return json{{"contents", markup(std::string(key->name), text)},
              {"range", range(doc, at)}};
}

Answer Server::definition(const json& params) {
  Document& doc = document(params);
  const Outline* outline = &doc.get_outline();
  const std::optional<Hit> hit = hit_at(*outline, offset_at(doc, params));
  if (!hit) return nullptr;
  const std::string& uri =
      params.at("textDocument").at("uri").get_ref<const std::string&>();
  if (hit->nested != nullptr) {
    return json::array({location(uri, doc, hit->nested->name_range)});
  }
  json locations = json::array();
  for (const Target& t : hit->targets) {
    locations.push_back(
        location(uri, doc, declaration_of(*outline, t).name_range));
  }
  return locations;
}

Answer Server::references(const json& params) {
  Document& doc = document(params);
  const Outline* outline = &doc.get_outline();
  json locations = json::array();
  const std::optional<Hit> hit = hit_at(*outline, offset_at(doc, params));
  if (!hit || hit->targets.empty()) return locations;
  const std::string& uri =
      params.at("textDocument").at("uri").get_ref<const std::string&>();
  const json* include = find_path(params, {"context", "includeDeclaration"});
  if (include != nullptr && include->is_boolean() && include->get<bool>()) {
    for (const Target& t : hit->targets) {
      locations.push_back(
          location(uri, doc, declaration_of(*outline, t).name_range));
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
  for (const ByteRange& r : uses) locations.push_back(location(uri, doc, r));
  return locations;
}

// ---- Completion ----------------------------------------------------------------

Answer Server::completion(const json& params) {
  Document& doc = document(params);
  const size_t offset = offset_at(doc, params);
  CompletionContext context;
  if (offset >= doc.body) {
    context = completion_at(doc.tree(), offset - doc.body);
    context.word.begin += doc.body;
    context.word.end += doc.body;
  }
  json items = json::array();
  const json replace = range(doc, context.word);
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

// ---- Code actions ----------------------------------------------------------------

Answer Server::code_action(const json& params) {
  Document& doc = document(params);
  json actions = json::array();
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
  const std::string& uri =
      params.at("textDocument").at("uri").get_ref<const std::string&>();
  const auto action = [&](std::string_view title, std::string_view kind,
                          json edit) {
    actions.push_back(json{
        {"title", title},
        {"kind", kind},
        {"edit", {{"changes", {{uri, json::array({std::move(edit)})}}}}}});
  };
  if (outline->semantic_hash &&
      outline->written_hash != outline->computed_hash &&
      wanted(kWriteHashKind)) {
    action("Write the semantic hash", kWriteHashKind,
           text_edit(doc, *outline->semantic_hash,
                     "\"" + outline->computed_hash + "\""));
  }
  if (!outline->canonical.empty() && outline->canonical != doc.text &&
      wanted(kNormalizeKind)) {
    action("Normalize to canonical form (drops comments)", kNormalizeKind,
           whole_document_edit(doc, outline->canonical));
  }
  return actions;
}

// ---- Formatting ------------------------------------------------------------------

// `qel fmt`'s text as one edit. The one house style has no options, so the
// client's (tab size, spaces) are not read. A text that does not parse is
// left alone: its diagnostics already say why. So is one whose formatted
// text fails the safety net, as `qel fmt` refuses it.
Answer Server::formatting(const json& params) {
  Document& doc = document(params);
  const Rewrite formatted = format_checked(doc.contract());
  if (!formatted.text.ok() || !formatted.fault.empty()) return nullptr;
  if (*formatted.text == doc.text) return json::array();
  return json::array({whole_document_edit(doc, *formatted.text)});
}

}  // namespace

int serve(int in, int out) {
  MessageReader reader(in);
  Server server(out);
  for (;;) {
    MessageReader::Frame frame;
    try {
      frame = reader.next();
    } catch (const std::bad_alloc&) {
      server.framing_error(MessageReader::Frame{
          MessageReader::Status::kInvalid, {}, "out of memory", false});
      continue;
    }
    switch (frame.status) {
      case MessageReader::Status::kEnd:
        return server.exit_status();
      case MessageReader::Status::kInvalid:
        server.framing_error(frame);
        break;
      case MessageReader::Status::kMessage:
        if (!server.handle(frame.body)) return server.exit_status();
        if (server.body_was_malformed()) {
          reader.skip_to_next_header(frame.body.size());
        }
        break;
    }
    if (server.output_closed()) return 1;
  }
}

}  // namespace lsp

int cmd_lsp(const std::vector<std::string>& args, Io& io) {
  const Args parsed = Args::parse(args, {});
  if (!parsed.error.empty()) return usage_error(io, parsed.error);
  for (const auto& [name, value] : parsed.options) {
    // Editors' generic clients often pass --stdio; it is the only transport.
    if (name != "--stdio") {
      return usage_error(io, "unknown option '" + name + "' for lsp");
    }
  }
  if (!parsed.operands.empty()) {
    return usage_error(io, "lsp takes no operands");
  }
  // A client that goes away closes the pipe: a write then fails with EPIPE
  // and the server ends, instead of being killed mid-message.
  ::signal(SIGPIPE, SIG_IGN);
  return lsp::serve(STDIN_FILENO, STDOUT_FILENO);
}

}  // namespace qel::cli
