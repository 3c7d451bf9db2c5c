// The server proper: every message already waiting is read, then handled
// in order (requests dispatched to the features, notifications to the
// documents, a request cancelled meanwhile answered as such), and only
// then are the changed documents analysed, the newest version of each once;
// an analysis stops when more input arrives. Every failure is answered or
// logged, never fatal.
#include "lsp_server.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "command.h"
#include "lsp/features.h"
#include "lsp/transport.h"
#include "qel/limits.h"

namespace qel::cli {
namespace lsp {
namespace {

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

class Server {
 public:
  explicit Server(int out) : out_(out) {}

  // Queues one message, parsed.
  void take(const std::string& body);
  // Whether the last body was not a whole message: its frame's length may
  // have been wrong, so the next header is searched for.
  bool body_was_malformed() const { return malformed_; }
  void framing_error(const MessageReader::Frame& frame) {
    queue_.push_back(Incoming{{},
                              frame.oversized ? kInvalidRequest : kParseError,
                              frame.error});
  }
  // Whether reading ahead should stop: enough messages, or enough bytes of
  // them, wait to be handled.
  bool queue_full() const {
    return queue_.size() >= kMaxQueued || queued_bytes_ >= kMaxQueuedBytes;
  }
  // Handles the queued messages in order; false once `exit` has come.
  bool run_queue();
  // Publishes the diagnostics of every changed document, until
  // `interrupter` stops an analysis.
  void publish_stale(const Interrupter& interrupter);
  int exit_status() const { return shutdown_ ? 0 : 1; }
  bool output_closed() const { return output_closed_; }

 private:
  // A parsed message, or the error that answers a body that was none.
  struct Incoming {
    json message;
    int error_code = 0;
    std::string error;
  };

  bool dispatch(const json& message);
  void request(const json& id, const std::string& method,
               const json& params);
  void notification(const std::string& method, const json& params);

  void send(const json& message);
  void send_text(const std::string& body);
  void send_result(const json& id, Answer result);
  void send_error(const json& id, int code, std::string message);

  Answer initialize(const json& params);

  int out_;
  bool output_closed_ = false;
  bool malformed_ = false;
  bool initialized_ = false;
  bool shutdown_ = false;
  Session session_;
  static constexpr size_t kMaxQueued = 256;
  static constexpr size_t kMaxQueuedBytes = size_t{64} << 20;
  std::deque<Incoming> queue_;
  size_t queued_bytes_ = 0;
  // Ids of queued requests the client has cancelled.
  std::vector<json> cancelled_;
};

// ---- Messages ----------------------------------------------------------------

void Server::take(const std::string& body) {
  malformed_ = false;
  queued_bytes_ += body.size();
  try {
    try {
      json message = parse_json(body);
      malformed_ = !message.is_object();
      queue_.push_back(Incoming{std::move(message), 0, {}});
    } catch (const json::parse_error& e) {
      malformed_ = true;
      queue_.push_back(Incoming{{}, kParseError, e.what()});
    } catch (const NestingTooDeep&) {
      malformed_ = true;
      queue_.push_back(Incoming{{}, kParseError,
                                "JSON nested deeper than " +
                                    std::to_string(kMaxNestingDepth) +
                                    " levels"});
    }
  } catch (const std::bad_alloc&) {
    send_error(nullptr, kInternalError, "out of memory");
  } catch (const std::exception& e) {
    send_error(nullptr, kInternalError, e.what());
  }
}

bool Server::run_queue() {
  // A cancellation queued after its request still reaches it.
  for (const Incoming& in : queue_) {
    const json& m = in.message;
    if (!m.is_object()) continue;
    const auto method = m.find("method");
    if (method == m.end() || *method != "$/cancelRequest") continue;
    const json* id = find_path(m, {"params", "id"});
    if (id != nullptr && (id->is_number_integer() || id->is_string())) {
      cancelled_.push_back(*id);
    }
  }
  bool go_on = true;
  while (go_on && !queue_.empty()) {
    Incoming in = std::move(queue_.front());
    queue_.pop_front();
    try {
      if (in.error_code != 0) {
        send_error(nullptr, in.error_code, std::move(in.error));
      } else {
        go_on = dispatch(in.message);
      }
    } catch (const std::bad_alloc&) {
      send_error(nullptr, kInternalError, "out of memory");
    } catch (const std::exception& e) {
      send_error(nullptr, kInternalError, e.what());
    }
  }
  queue_.clear();
  queued_bytes_ = 0;
  cancelled_.clear();
  return go_on;
}

void Server::publish_stale(const Interrupter& interrupter) {
  if (!initialized_ || shutdown_) return;
  for (auto& [uri, doc] : session_.documents) {
    if (!doc->stale) continue;
    std::string published;
    try {
      published = diagnostics_notification(session_, uri, *doc, interrupter);
    } catch (const std::bad_alloc&) {
      log_ignored("diagnostics", "out of memory");
      doc->stale = false;
      continue;
    } catch (const std::exception& e) {
      log_ignored("diagnostics", e.what());
      doc->stale = false;
      continue;
    }
    if (published.empty()) return;  // newer input first
    doc->stale = false;
    send_text(published);
    if (output_closed_) return;
  }
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
  using Handler = Answer (*)(Session&, const json&);
  static const std::map<std::string_view, Handler> kRequests = {
      {"textDocument/documentSymbol", document_symbol},
      {"textDocument/hover", hover},
      {"textDocument/definition", definition},
      {"textDocument/references", references},
      {"textDocument/completion", completion},
      {"textDocument/codeAction", code_action},
      {"textDocument/formatting", formatting},
      {"textDocument/prepareRename", prepare_rename},
      {"textDocument/rename", rename},
      {"textDocument/documentHighlight", document_highlight},
      {"textDocument/semanticTokens/full", semantic_tokens_full},
      {"textDocument/foldingRange", folding_range},
      {"textDocument/selectionRange", selection_range},
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
  const bool lifecycle = method == "initialize" || method == "shutdown";
  if (it == kRequests.end() && !lifecycle) {
    send_error(id, kMethodNotFound, "unknown method '" + method + "'");
    return;
  }
  if (!lifecycle && std::find(cancelled_.begin(), cancelled_.end(), id) !=
                        cancelled_.end()) {
    send_error(id, kRequestCancelled, "the request was cancelled");
    return;
  }
  try {
    if (method == "initialize") {
      send_result(id, initialize(params));
    } else if (method == "shutdown") {
      shutdown_ = true;
      send_result(id, nullptr);
    } else {
      send_result(id, it->second(session_, params));
    }
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

void Server::notification(const std::string& method, const json& params) {
  if (!initialized_ || shutdown_) return;
  try {
    std::string published;
    if (method == "textDocument/didOpen") {
      published = did_open(session_, params);
    } else if (method == "textDocument/didChange") {
      published = did_change(session_, params);
    } else if (method == "textDocument/didSave") {
      published = did_save(session_, params);
    } else if (method == "textDocument/didClose") {
      published = did_close(session_, params);
    } else if (method == "workspace/didChangeConfiguration") {
      did_change_configuration(session_, params);
    }
    if (!published.empty()) send_text(published);
    // Every other notification ($/cancelRequest among them, read ahead by
    // run_queue) needs nothing.
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

// ---- Lifecycle -----------------------------------------------------------------

Answer Server::initialize(const json& params) {
  if (initialized_) {
    throw RpcError{kInvalidRequest, "initialize was already received"};
  }
  initialized_ = true;
  if (array_holds(find_path(params,
                            {"capabilities", "general", "positionEncodings"}),
                  "utf-8")) {
    session_.protocol.encoding = ColumnUnit::kUtf8;
  }
  session_.protocol.markdown = array_holds(
      find_path(params, {"capabilities", "textDocument", "hover",
                         "contentFormat"}),
      "markdown");
  const json* hierarchical =
      find_path(params, {"capabilities", "textDocument", "documentSymbol",
                         "hierarchicalDocumentSymbolSupport"});
  session_.protocol.hierarchical_symbols = hierarchical != nullptr &&
                                           hierarchical->is_boolean() &&
                                           hierarchical->get<bool>();
  return json{
      {"capabilities",
       {
           {"positionEncoding",
            session_.protocol.encoding == ColumnUnit::kUtf8 ? "utf-8"
                                                            : "utf-16"},
           {"textDocumentSync",
            {{"openClose", true},
             {"change", 2},  // ranges, applied to the stored text
             {"save", {{"includeText", false}}}}},
           {"documentSymbolProvider", true},
           {"hoverProvider", true},
           {"definitionProvider", true},
           {"referencesProvider", true},
           {"completionProvider", {{"resolveProvider", false}}},
           {"codeActionProvider",
            {{"codeActionKinds", {kWriteHashKind, kNormalizeKind}}}},
           {"documentFormattingProvider", true},
           {"renameProvider", {{"prepareProvider", true}}},
           {"documentHighlightProvider", true},
           {"semanticTokensProvider",
            {{"legend", semantic_tokens_legend()}, {"full", true}}},
           {"foldingRangeProvider", true},
           {"selectionRangeProvider", true},
       }},
      {"serverInfo", {{"name", "qel"}}},
  };
}

}  // namespace

// Stops an analysis once the client has sent more.
bool input_arrived(void* reader) {
  return static_cast<const MessageReader*>(reader)->descriptor_readable();
}

int serve(int in, int out) {
  MessageReader reader(in);
  Server server(out);
  const Interrupter interrupter{input_arrived, &reader};
  for (;;) {
    bool ended = false;
    do {
      MessageReader::Frame frame;
      try {
        frame = reader.next();
      } catch (const std::bad_alloc&) {
        server.framing_error(MessageReader::Frame{
            MessageReader::Status::kInvalid, {}, "out of memory", false});
        continue;
      }
      if (frame.status == MessageReader::Status::kEnd) {
        ended = true;
      } else if (frame.status == MessageReader::Status::kInvalid) {
        server.framing_error(frame);
      } else {
        server.take(frame.body);
        if (server.body_was_malformed()) {
          reader.skip_to_next_header(frame.body.size());
        }
      }
    } while (!ended && !server.queue_full() && reader.input_waiting());
    if (!server.run_queue() || ended) return server.exit_status();
    if (server.output_closed()) return 1;
    if (!reader.input_waiting()) server.publish_stale(interrupter);
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
