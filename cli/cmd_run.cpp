// qel run: requests executed against a contract, each result told as it
// comes, a failure explained with its place in the request file.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command.h"
#include "parallel.h"
#include "qel/compiled.h"
#include "qel/result_document.h"
#include "qel/check.h"
#include "qel/nearest_name.h"
#include "qel/source_view.h"

namespace qel::cli {
namespace {

constexpr std::string_view kInvalidRequests = "Invalid JSON requests: ";

// ---- Output ----------------------------------------------------------------

// The result document in pages of its own that grow in place (mremap): a
// larger buffer is never a second copy of the text beside the first, so
// the peak is the document itself.
class MappedOutput final : public Output {
 public:
  MappedOutput() = default;
  ~MappedOutput() {
    if (capacity_ != 0) ::munmap(data_, capacity_);
  }

 private:
  void grow(std::size_t total) override {
    constexpr std::size_t kPage = std::size_t{1} << 16;
    std::size_t wanted = total > 2 * capacity_ ? total : 2 * capacity_;
    wanted = (wanted + kPage - 1) / kPage * kPage;
    void* p = capacity_ == 0
                  ? ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : ::mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = wanted;
  }
};

// Hands `text` to standard output in pieces, so that io.out never holds a
// copy of a long text.
void write_out(Io& io, std::string_view text) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  for (std::size_t at = 0; at < text.size(); at += kPiece) {
    io.out.append(text.substr(at, kPiece));
    flush_output(io);
  }
}

// ---- Compact JSON of results ---------------------------------------------

// One request's result as the document's "operations" holds it, on one
// line.
void append_operation_line(std::string& out, const OperationResult& r) {
  out += "{\"operation\":";
  append_json_string(out, r.operation);
  out += r.success ? ",\"success\":true,\"state\":"
                   : ",\"success\":false,\"state\":";
  append_compact_json(out, r.state);
  out += ",\"error\":";
  if (r.error) {
    append_json_string(out, *r.error);
  } else {
    out += "null";
  }
  out += ",\"provenance\":";
  if (r.provenance == nullptr) {
    out += "null}\n";
    return;
  }
  const ProvenanceEntry& e = *r.provenance;
  out += "{\"sequence\":";
  append_uint(out, e.sequence);
  out += ",\"operation\":";
  append_json_string(out, e.operation);
  out += ",\"inputs\":";
  append_compact_json(out, e.inputs);
  out += ",\"state_before\":";
  append_compact_json(out, e.state_before);
  out += ",\"state_after\":";
  append_compact_json(out, e.state_after);
  out += ",\"changes\":[";
  bool first = true;
  for (const StateChange& c : e.changes) {
    if (!first) out += ',';
    first = false;
    out += "{\"field\":";
    append_json_string(out, c.field);
    out += ",\"old_value\":";
    append_compact_json(out, c.old_value);
    out += ",\"new_value\":";
    append_compact_json(out, c.new_value);
    out += '}';
  }
  out += "],\"postconditions_verified\":";
  out += e.postconditions_verified ? "true" : "false";
  out += ",\"invariants_verified\":";
  out += e.invariants_verified ? "true" : "false";
  out += "}}\n";
}

// "3 withdraw FAILED: ..." or "0 deposit ok: balance 0 → 500".
void append_text_line(std::string& out, uint64_t index,
                      const OperationResult& r) {
  append_uint(out, index);
  out += ' ';
  append_printable(r.operation, out);
  if (!r.success) {
    out += " FAILED: ";
    append_printable(r.error.value_or(""), out);
    out += '\n';
    return;
  }
  out += " ok: ";
  if (r.provenance == nullptr || r.provenance->changes.empty()) {
    out += "nothing changed\n";
    return;
  }
  bool first = true;
  std::string value;
  for (const StateChange& c : r.provenance->changes) {
    if (!first) out += ", ";
    first = false;
    append_printable(c.field, out);
    out += ' ';
    value.clear();
    append_compact_json(value, c.old_value);
    append_printable(value, out);
    out += " \u2192 ";
    value.clear();
    append_compact_json(value, c.new_value);
    append_printable(value, out);
  }
  out += '\n';
}

// ---- Positions --------------------------------------------------------------

struct Position {
  uint64_t line = 1;
  uint64_t column = 1;
};

// Counts lines and characters (UTF-8 sequences) up to growing offsets of
// one text, so that positioning every request costs one pass.
class PositionCounter {
 public:
  explicit PositionCounter(std::string_view text) : text_(text) {}
  Position at(std::size_t offset) {
    for (; at_ < offset && at_ < text_.size(); ++at_) {
      const unsigned char c = static_cast<unsigned char>(text_[at_]);
      if (c == '\n') {
        ++pos_.line;
        pos_.column = 1;
      } else if ((c & 0xC0) != 0x80) {
        ++pos_.column;
      }
    }
    return pos_;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  Position pos_;
};

// The offsets of the elements of a well-formed JSON array (or of the one
// object a text may hold instead).
std::vector<std::size_t> element_offsets(std::string_view text) {
  std::vector<std::size_t> offsets;
  std::size_t i = 0;
  auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
  };
  while (i < text.size() && blank(text[i])) ++i;
  if (i >= text.size()) return offsets;
  if (text[i] != '[') {
    offsets.push_back(i);
    return offsets;
  }
  int depth = 0;
  bool element_due = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (blank(c)) continue;
    if (element_due && c != ']') offsets.push_back(i);
    element_due = false;
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (c == '[' || c == '{') {
      element_due = depth == 0;
      ++depth;
    } else if (c == ']' || c == '}') {
      if (--depth == 0) break;
    } else if (c == ',' && depth == 1) {
      element_due = true;
    }
  }
  return offsets;
}

// Splits " at line L column C" off the end of a JSON parser's message.
bool split_position(std::string& message, Position& pos) {
  const std::size_t at = message.rfind(" at line ");
  if (at == std::string::npos) return false;
  const std::string tail = message.substr(at + 9);
  const std::size_t sep = tail.find(" column ");
  if (sep == std::string::npos) return false;
  char* end = nullptr;
  const unsigned long long line = std::strtoull(tail.c_str(), &end, 10);
  if (end != tail.c_str() + sep) return false;
  const char* col = tail.c_str() + sep + 8;
  const unsigned long long column = std::strtoull(col, &end, 10);
  if (*end != '\0' || end == col || line == 0) return false;
  pos = {line, column == 0 ? 1 : column};
  message.resize(at);
  return true;
}

// "PATH:LINE:COL: error[execution]: MESSAGE", then the line and a caret.
void report_at(Io& io, std::string_view path, Position pos,
               std::string_view line_text, std::string_view message) {
  io.err += shown_path(path);
  io.err += ':';
  append_uint(io.err, pos.line);
  io.err += ':';
  append_uint(io.err, pos.column);
  io.err += ": error[execution]: ";
  append_printable(message, io.err);
  io.err += '\n';
  const display::EchoedLine echo = display::echo_line(line_text, pos.column);
  io.err += echo.text;
  io.err += '\n';
  io.err += echo.caret;
  io.err += '\n';
}

// A core error about a part of a text that starts at `base` in its file:
// placed where its own message says, or else at `base`.
void report_in_text(Io& io, std::string_view path, std::string_view file_text,
                    Position base, const Error& error,
                    std::string_view line_text = {}) {
  std::string message = error.to_string();
  Position pos = base;
  Position inner;
  if (split_position(message, inner)) {
    pos.line = base.line + inner.line - 1;
    pos.column = inner.line == 1 ? base.column + inner.column - 1 : inner.column;
  }
  if (!file_text.empty() || line_text.empty()) {
    line_text = display::SourceView(file_text).line(pos.line);
  }
  report_at(io, path, pos, line_text, message);
}

// ---- Requests ----------------------------------------------------------------

// One line at a time from a file, never the whole file.
class LineReader {
 public:
  LineReader(int fd, uint64_t limit) : fd_(fd), limit_(limit) {}
  ~LineReader() { ::close(fd_); }

  // The next line without its line feed (nor a carriage return before it);
  // false at the end or on an error (why() then set).
  bool next(std::string_view& line) {
    for (;;) {
      const std::size_t feed = buffer_.find('\n', scan_);
      if (feed != std::string::npos) {
        line = std::string_view(buffer_).substr(start_, feed - start_);
        start_ = scan_ = feed + 1;
        return finish(line);
      }
      scan_ = buffer_.size();
      if (eof_) {
        if (start_ == buffer_.size()) return false;
        line = std::string_view(buffer_).substr(start_);
        start_ = scan_ = buffer_.size();
        return finish(line);
      }
      if (!fill()) return false;
    }
  }
  uint64_t line_number() const { return line_number_; }
  const std::string& why() const { return why_; }

 private:
  bool finish(std::string_view& line) {
    ++line_number_;
    if (line_number_ == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") {
      line.remove_prefix(3);
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }
  bool fill() {
    // What was handed out is gone; the line being read moves to the front.
    buffer_.erase(0, start_);
    scan_ -= start_;
    start_ = 0;
    if (buffer_.size() > limit_) {
      why_ = "line " + std::to_string(line_number_ + 1) + " is longer than " +
             std::to_string(limit_) + " bytes";
      return false;
    }
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    const std::size_t used = buffer_.size();
    buffer_.resize(used + kChunk);
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_.data() + used, kChunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        why_ = std::strerror(errno);
        buffer_.resize(used);
        return false;
      }
      buffer_.resize(used + static_cast<std::size_t>(n));
      eof_ = n == 0;
      return true;
    }
  }

  int fd_;
  uint64_t limit_;
  std::string buffer_;
  std::size_t start_ = 0;  // where the next line starts
  std::size_t scan_ = 0;   // how far line feeds have been looked for
  bool eof_ = false;
  uint64_t line_number_ = 0;
  std::string why_;
};

bool blank_line(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// What a run needs while requests are handed to it one at a time.
class Runner {
 public:
  Runner(Io& io, std::string format, Session& session, RunOptions options,
         std::string path)
      : io_(io),
        format_(std::move(format)),
        session_(session),
        options_(options),
        path_(std::move(path)) {
    if (format_ == "json") {
      document_.emplace(document_out_,
                        session_.contract().contract().identity.stable_id);
    }
  }

  // Runs one parsed request found at `pos`. False when it is malformed
  // (reported at `pos`, with `line_text` echoed) or fails.
  bool run(Json& request, Position pos, std::string_view line_text) {
    Result<OperationResult> done = session_.run_request(request, options_);
    if (!done.ok()) {
      report_in_text(io_, path_, {}, pos, done.error(), line_text);
      malformed_ = true;
      return false;
    }
    const OperationResult& r = *done;
    if (document_) {
      document_->operation(r);
    } else {
      if (format_ == "jsonl") {
        append_operation_line(io_.out, r);
      } else {
        append_text_line(io_.out, index_, r);
      }
      // Each line is out as soon as it is known: an interrupted run leaves
      // whole lines behind.
      flush_output(io_);
    }
    if (!r.success) {
      failure_ = explain(r, pos);
      error_ = r.error;
      help_ = operation_help(r.operation);
      return false;
    }
    ++index_;
    return true;
  }

  // After the last request (or the failed one): the document, then the
  // failure line. `not_run` counts the requests after a failed one.
  int finish(uint64_t not_run, bool quiet_failure = false) {
    if (malformed_) return 1;
    if (document_) {
      document_->finish(session_.state(), error_);
      document_out_ += '\n';
    }
    if (!failure_) return 0;
    if (!quiet_failure) {
      io_.err += *failure_;
      if (not_run != 0) {
        io_.err += "; ";
        append_uint(io_.err, not_run);
        io_.err += not_run == 1 ? " request not run" : " requests not run";
      }
      io_.err += '\n';
      if (!help_.empty()) {
        io_.err += "help: ";
        append_printable(help_, io_.err);
        io_.err += '\n';
      }
    }
    return 1;
  }

  bool has_document() const { return document_.has_value(); }
  bool failed_request() const { return failure_.has_value(); }
  std::string_view document() const { return document_out_.view(); }
  bool malformed() const { return malformed_; }

 private:
  // For an operation the contract does not have: the nearest one, or else
  // the first few it has. Empty when it has `name`.
  std::string operation_help(std::string_view name) const {
    constexpr std::size_t kShown = 10;
    std::vector<std::string_view> names;
    for (const Operation& op :
         session_.contract().contract().behavioral_semantics.operations) {
      if (op.name == name) return {};
      names.push_back(op.name);
    }
    std::string help = did_you_mean(name, names);
    if (!help.empty() || names.empty()) return help;
    help = "the contract's operations: ";
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
      if (i > 0) help += ", ";
      help += names[i];
    }
    if (names.size() > kShown) help += ", ...";
    return help;
  }

  // "PATH:L:C: error[execution]: request N (operation 'x'): ERROR (f = v)"
  std::string explain(const OperationResult& r, Position pos) const {
    std::string text = shown_path(path_);
    text += ':';
    append_uint(text, pos.line);
    text += ':';
    append_uint(text, pos.column);
    text += ": error[execution]: request ";
    append_uint(text, index_);
    text += " (operation '";
    append_printable(r.operation, text);
    text += "'): ";
    append_printable(r.error.value_or(""), text);
    std::vector<std::string_view> shown;
    std::string value;
    for (const FailedCondition& c : r.failed_conditions) {
      bool seen = false;
      for (std::string_view s : shown) seen = seen || s == c.field;
      if (seen || c.field.empty()) continue;
      text += shown.empty() ? " (" : ", ";
      shown.push_back(c.field);
      append_printable(c.field, text);
      if (c.value) {
        text += " = ";
        value.clear();
        append_compact_json(value, *c.value);
        append_printable(value, text);
      } else {
        text += " absent";
      }
    }
    if (!shown.empty()) text += ')';
    return text;
  }

  Io& io_;
  std::string format_;
  Session& session_;
  RunOptions options_;
  std::string path_;
  MappedOutput document_out_;
  std::optional<ResultDocument> document_;
  uint64_t index_ = 0;
  bool malformed_ = false;
  std::optional<std::string> failure_;
  std::optional<std::string> error_;
  std::string help_;  // a line after the failure's, when there is one
};

// A request file holding one JSON object or an array of them.
int run_json_requests(Io& io, Runner& runner, const Input& in,
                      bool quiet_failure) {
  std::size_t start = 0;
  bool wrapped = false;
  Result<Json> parsed = parse_requests(in.text, start, wrapped);
  PositionCounter counter(in.text);
  const Position base = counter.at(start);
  if (!parsed.ok()) {
    std::string message = parsed.error().to_string();
    Position inner;
    if (!split_position(message, inner)) {
      report_error(io, in.path, in.text, parsed.error());
      return 1;
    }
    // Positions count the bracket put in front of a single request.
    if (wrapped && inner.line == 1 && inner.column > 1) --inner.column;
    const Position pos{base.line + inner.line - 1,
                       inner.line == 1 ? base.column + inner.column - 1
                                       : inner.column};
    report_at(io, in.path, pos, display::SourceView(in.text).line(pos.line), message);
    return 1;
  }
  const std::string_view text = std::string_view(in.text).substr(start);
  std::vector<std::size_t> offsets =
      wrapped ? std::vector<std::size_t>{0} : element_offsets(text);
  Json::Array& requests = parsed->as_array();
  display::SourceView view(in.text);
  std::size_t i = 0;
  for (; i < requests.size(); ++i) {
    const Position pos =
        counter.at(start + (i < offsets.size() ? offsets[i] : 0));
    if (!runner.run(requests[i], pos, view.line(pos.line))) break;
    requests[i] = Json();  // freed while at hand
  }
  const uint64_t not_run = i < requests.size() ? requests.size() - i - 1 : 0;
  return runner.finish(not_run, quiet_failure);
}

// A request log of one JSON object per line; blank lines are skipped.
int run_jsonl_requests(Io& io, Runner& runner, const std::string& path,
                       bool quiet_failure) {
  std::unique_ptr<LineReader> reader;
  Input whole;
  if (path == "-") {
    // Standard input is read as every command reads it: whole.
    InputReader input(io);
    if (!input.read(path, whole)) return 2;
  } else {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const std::string why = fd < 0 ? std::strerror(errno)
                              : S_ISDIR(st.st_mode) ? std::strerror(EISDIR)
                                                    : "not a regular file";
      if (fd >= 0) ::close(fd);
      io.err += "qel: cannot read '" + shown_path(path) + "': " + why + '\n';
      return 2;
    }
    reader = std::make_unique<LineReader>(fd, io.max_input_size);
  }
  std::size_t at = 0;  // in `whole`
  uint64_t line_number = 0;
  auto next = [&](std::string_view& line) {
    if (reader) {
      if (!reader->next(line)) return false;
      line_number = reader->line_number();
      return true;
    }
    if (at >= whole.text.size()) return false;
    std::size_t end = whole.text.find('\n', at);
    if (end == std::string::npos) end = whole.text.size();
    line = std::string_view(whole.text).substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = end + 1;
    ++line_number;
    return true;
  };
  std::string_view line;
  bool stopped = false;
  while (next(line)) {
    if (blank_line(line)) continue;
    const std::size_t start = line.find_first_not_of(" \t");
    PositionCounter counter(line);
    const Position pos{line_number, counter.at(start).column};
    Result<Json> request = parse_request_json(line, kInvalidRequests);
    if (!request.ok()) {
      report_in_text(io, path, {}, Position{line_number, 1}, request.error(),
                     line);
      return 1;
    }
    if (!runner.run(*request, pos, line)) {
      if (runner.malformed()) return 1;
      stopped = true;
      break;
    }
  }
  if (reader && !reader->why().empty()) {
    io.err += "qel: cannot read '" + shown_path(path) + "': " + reader->why() +
              '\n';
    return 2;
  }
  uint64_t not_run = 0;
  if (stopped) {
    while (next(line)) not_run += blank_line(line) ? 0 : 1;
  }
  return runner.finish(not_run, quiet_failure);
}

// ---- Files written and compared ---------------------------------------------

// Replaces or creates `path` with `text` atomically: a temporary file
// beside it, renamed over it.
bool save_file(const std::string& path, const std::string& text,
               std::string& why) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    std::string real_path;
    if (!rewrite_target(path, real_path, why)) return false;
    if (::stat(real_path.c_str(), &st) != 0) {
      why = std::strerror(errno);
      return false;
    }
    FileStamp stamp;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim;
    stamp.changed = st.st_ctim;
    return rewrite_file(real_path, text, stamp, why);
  }
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = (slash == std::string::npos ? std::string() : dir) + "." +
                     base.substr(0, 200) + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    why = std::strerror(errno);
    ::unlink(temp.c_str());
  }
  return ok;
}

void append_path_key(std::string& path, std::string_view key) {
  bool plain = !key.empty() && !(key[0] >= '0' && key[0] <= '9');
  for (char c : key) {
    plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '_');
  }
  if (plain) {
    path += '.';
    path += key;
  } else {
    path += '[';
    append_json_string(path, key);
    path += ']';
  }
}

std::string shown_json(const Json* v) {
  if (v == nullptr) return "nothing";
  std::string out;
  append_compact_json(out, *v);
  return out;
}

bool same_number(const Json& a, const Json& b) {
  auto as_double = [](const Json& j) {
    switch (j.kind()) {
      case Json::Kind::kInteger: return static_cast<double>(j.as_integer());
      case Json::Kind::kUnsigned: return static_cast<double>(j.as_unsigned());
      default: return j.as_double();
    }
  };
  if (a.kind() == b.kind()) {
    switch (a.kind()) {
      case Json::Kind::kInteger: return a.as_integer() == b.as_integer();
      case Json::Kind::kUnsigned: return a.as_unsigned() == b.as_unsigned();
      default: return a.as_double() == b.as_double();
    }
  }
  return as_double(a) == as_double(b);
}

// The objects of a result document whose members come in a fixed order
// rather than in key order; the members of any other object (states,
// inputs) are written in key order.
enum class Layout { kPlain, kResult, kOperation, kLog, kEntry, kChange };

// The members of `layout` in the order the result writes them, and the
// layout of each one's value (of each element, for an array).
struct LaidOutMember {
  std::string_view key;
  Layout layout;
};
std::span<const LaidOutMember> members_of(Layout layout) {
  using enum Layout;
  static constexpr LaidOutMember kResultMembers[] = {
      {"contract_id", kPlain}, {"success", kPlain},
      {"operations", kOperation}, {"final_state", kPlain},
      {"provenance", kLog}, {"error", kPlain}};
  static constexpr LaidOutMember kOperationMembers[] = {
      {"operation", kPlain}, {"success", kPlain}, {"state", kPlain},
      {"error", kPlain}, {"provenance", kEntry}};
  static constexpr LaidOutMember kLogMembers[] = {{"entries", kEntry}};
  static constexpr LaidOutMember kEntryMembers[] = {
      {"sequence", kPlain}, {"operation", kPlain}, {"inputs", kPlain},
      {"state_before", kPlain}, {"state_after", kPlain},
      {"changes", kChange}, {"postconditions_verified", kPlain},
      {"invariants_verified", kPlain}};
  static constexpr LaidOutMember kChangeMembers[] = {
      {"field", kPlain}, {"old_value", kPlain}, {"new_value", kPlain}};
  switch (layout) {
    case kResult: return kResultMembers;
    case kOperation: return kOperationMembers;
    case kLog: return kLogMembers;
    case kEntry: return kEntryMembers;
    case kChange: return kChangeMembers;
    case kPlain: break;
  }
  return {};
}

// The first place where `got` differs from `expected`, in the order the
// result document is written (so that a run that went another way is
// reported at the first operation where it did, not at the final state):
// its path and both values. Nothing when they are equal. Both come from
// the request parser, which bounds their nesting.
std::optional<std::string> first_difference(const Json& expected,
                                            const Json& got,
                                            std::string& path,
                                            Layout layout = Layout::kResult) {
  auto differ = [&](const Json* e, const Json* g) {
    return path + ": expected " + shown_json(e) + ", got " + shown_json(g);
  };
  if (expected.is_number() && got.is_number()) {
    if (same_number(expected, got)) return std::nullopt;
    return differ(&expected, &got);
  }
  if (expected.kind() != got.kind()) return differ(&expected, &got);
  const std::size_t length = path.size();
  switch (expected.kind()) {
    case Json::Kind::kArray: {
      const Json::Array& e = expected.as_array();
      const Json::Array& g = got.as_array();
      for (std::size_t i = 0; i < e.size() || i < g.size(); ++i) {
        path += '[';
        append_uint(path, i);
        path += ']';
        if (i >= e.size() || i >= g.size()) {
          return differ(i < e.size() ? &e[i] : nullptr,
                        i < g.size() ? &g[i] : nullptr);
        }
        if (auto d = first_difference(e[i], g[i], path, layout)) return d;
        path.resize(length);
      }
      return std::nullopt;
    }
    case Json::Kind::kObject: {
      const Json::Object& e = expected.as_object();
      const Json::Object& g = got.as_object();
      const std::span<const LaidOutMember> laid_out = members_of(layout);
      const auto member = [&](std::string_view key, const Json* ev,
                              const Json* gv, Layout inner)
          -> std::optional<std::string> {
        append_path_key(path, key);
        if (ev == nullptr || gv == nullptr) return differ(ev, gv);
        if (auto d = first_difference(*ev, *gv, path, inner)) return d;
        path.resize(length);
        return std::nullopt;
      };
      const auto find = [](const Json::Object& o,
                           std::string_view key) -> const Json* {
        const auto at = o.find(key);
        return at == o.end() ? nullptr : &at->second;
      };
      for (const LaidOutMember& m : laid_out) {
        const Json* ev = find(e, m.key);
        const Json* gv = find(g, m.key);
        if (ev == nullptr && gv == nullptr) continue;
        if (auto d = member(m.key, ev, gv, m.layout)) return d;
      }
      // The rest in key order.
      const auto laid = [&](const std::string& key) {
        return std::any_of(laid_out.begin(), laid_out.end(),
                           [&](const LaidOutMember& m) { return m.key == key; });
      };
      auto ei = e.begin();
      auto gi = g.begin();
      for (;;) {
        while (ei != e.end() && laid(ei->first)) ++ei;
        while (gi != g.end() && laid(gi->first)) ++gi;
        if (ei == e.end() && gi == g.end()) break;
        if (gi == g.end() || (ei != e.end() && ei->first < gi->first)) {
          return member(ei->first, &ei->second, nullptr, Layout::kPlain);
        }
        if (ei == e.end() || gi->first < ei->first) {
          return member(gi->first, nullptr, &gi->second, Layout::kPlain);
        }
        if (auto d = member(ei->first, &ei->second, &gi->second,
                            Layout::kPlain)) {
          return d;
        }
        ++ei;
        ++gi;
      }
      return std::nullopt;
    }
    case Json::Kind::kString:
      if (expected.as_string() == got.as_string()) return std::nullopt;
      return differ(&expected, &got);
    case Json::Kind::kBoolean:
      if (expected.as_boolean() == got.as_boolean()) return std::nullopt;
      return differ(&expected, &got);
    default:
      return std::nullopt;  // both null
  }
}

}  // namespace

int cmd_run(const std::vector<std::string>& args, Io& io) {
  const Args a =
      Args::parse(args, {"--format", "--state", "--save-state", "--expect"});
  if (!a.error.empty()) return usage_error(io, "run: " + a.error);
  std::string format = "json";
  std::string state_path, save_path, expect_path;
  bool jsonl = false;
  RunOptions options;
  for (const auto& [name, value] : a.options) {
    if (name == "--format") {
      if (value != "json" && value != "jsonl" && value != "text") {
        return usage_error(io, "run: unknown format '" + value +
                                   "' (expected json, jsonl or text)");
      }
      format = value;
    } else if (name == "--state") {
      state_path = value;
    } else if (name == "--save-state") {
      save_path = value;
    } else if (name == "--expect") {
      expect_path = value;
    } else if (name == "--jsonl") {
      jsonl = true;
    } else if (name == "--check-inputs") {
      options.check_inputs = true;
    } else {
      return usage_error(io, "run: unknown option '" + name + "'");
    }
  }
  if (a.operands.size() != 2) {
    return usage_error(io, "run takes a contract file and a requests file");
  }
  const std::string& contract_path = a.operands[0];
  const std::string& requests_path = a.operands[1];
  if (!expect_path.empty() && format != "json") {
    return usage_error(io, "run: --expect compares the json result; it takes "
                           "no other --format");
  }
  int from_stdin = (contract_path == "-") + (requests_path == "-") +
                   (state_path == "-") + (expect_path == "-");
  if (from_stdin > 1) {
    return usage_error(io, "run: only one of the files can be standard input");
  }
  auto ends_with = [](std::string_view s, std::string_view end) {
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
  };
  jsonl = jsonl || ends_with(requests_path, ".jsonl") ||
          ends_with(requests_path, ".ndjson");

  InputReader reader(io);
  Input contract_in;
  if (!reader.read(contract_path, contract_in)) return 2;
  Result<CompiledContractRef> compiled =
      CompiledContract::compile(contract_in.text);
  if (!compiled.ok()) {
    report_error(io, contract_in.path, contract_in.text, compiled.error());
    return 1;
  }
  contract_in.text = std::string();

  std::optional<Session> session;
  if (!state_path.empty()) {
    Input state_in;
    if (!reader.read(state_path, state_in)) return 2;
    Result<ExecutionState> state = read_state_json(state_in.text);
    if (!state.ok()) {
      report_in_text(io, state_in.path, state_in.text, Position{},
                     state.error());
      return 1;
    }
    session.emplace(*compiled, std::move(*state));
  } else {
    session.emplace(*compiled);
  }

  const bool quiet = !expect_path.empty();
  Runner runner(io, format, *session, options, requests_path);
  int status;
  if (jsonl) {
    status = run_jsonl_requests(io, runner, requests_path, quiet);
  } else {
    Input requests_in;
    if (!reader.read(requests_path, requests_in)) return 2;
    status = run_json_requests(io, runner, requests_in, quiet);
  }
  // A call that could not run its requests has no result to give.
  if (status != 0 && !runner.failed_request()) return status;

  if (!save_path.empty()) {
    std::string text;
    session->write_state(text);
    text += '\n';
    std::string why;
    if (!save_file(save_path, text, why)) {
      io.err += "qel: cannot write '" + shown_path(save_path) + "': " + why +
                '\n';
      return 2;
    }
  }

  if (!expect_path.empty()) {
    Input expect_in;
    if (!reader.read(expect_path, expect_in)) return 2;
    const std::string_view got_text = runner.document();
    if (got_text == expect_in.text) return 0;
    Result<Json> expected = parse_request_json(expect_in.text, "Invalid result: ");
    if (!expected.ok()) {
      report_in_text(io, expect_in.path, expect_in.text, Position{},
                     expected.error());
      return 1;
    }
    Result<Json> got = parse_request_json(got_text, "Invalid result: ");
    if (!got.ok()) {
      report_error(io, requests_path, {}, got.error());
      return 1;
    }
    std::string path = "$";
    if (std::optional<std::string> d =
            first_difference(*expected, *got, path)) {
      io.err += shown_path(expect_in.path) + ": ";
      append_printable(*d, io.err);
      io.err += '\n';
      return 1;
    }
    return 0;
  }
  if (runner.has_document()) write_out(io, runner.document());
  return status;
}

}  // namespace qel::cli
