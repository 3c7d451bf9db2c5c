#include "diagnostics.h"

#include <algorithm>
#include <optional>

#include "qel/json.h"
#include "source_view.h"

namespace qel::cli {
namespace {

const char* kind_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kParseError: return "parse";
    case ErrorKind::kTypeMismatch: return "type";
    case ErrorKind::kDeterminismViolation: return "determinism";
    case ErrorKind::kContractViolation: return "contract";
    case ErrorKind::kValidationError: return "validation";
    case ErrorKind::kExecutionError: return "execution";
    case ErrorKind::kNormalizationError: return "normalization";
    case ErrorKind::kInterrupted: return "interrupted";
  }
  return "error";
}

// Parses the digits of `text` whole; nullopt for anything else.
std::optional<uint64_t> number(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

constexpr const char* kRed = "\x1b[1;31m";
constexpr const char* kYellow = "\x1b[1;33m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kReset = "\x1b[0m";

void append_number(uint64_t n, std::string& out) { out += std::to_string(n); }

std::string plural(uint64_t n, std::string_view word) {
  std::string out = std::to_string(n);
  out += ' ';
  out += word;
  if (n != 1) out += 's';
  return out;
}

}  // namespace

Finding finding_of(const Error& error) {
  Finding f;
  f.kind = kind_of(error.kind());
  if (error.kind() != ErrorKind::kParseError) {
    f.message = error.to_string();
    return f;
  }
  f.message = error.first();
  const size_t at = f.message.rfind(" at ");
  if (at == std::string::npos) return f;
  const std::string_view pos = std::string_view(f.message).substr(at + 4);
  const size_t colon = pos.find(':');
  if (colon == std::string_view::npos) return f;
  const std::optional<uint64_t> line = number(pos.substr(0, colon));
  const std::optional<uint64_t> column = number(pos.substr(colon + 1));
  if (!line || !column || *line == 0) return f;
  f.line = *line;
  f.column = *column;
  f.message.resize(at);
  return f;
}

void write_human(const FileReport& report, std::string_view text,
                 const Style& style, std::string& out) {
  std::vector<const Finding*> sorted;
  sorted.reserve(report.findings.size());
  for (const Finding& f : report.findings) sorted.push_back(&f);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Finding* a, const Finding* b) {
                     if (a->line != b->line) return a->line < b->line;
                     return a->column < b->column;
                   });
  std::optional<SourceView> view;  // indexed at the first finding with a line
  const std::string shown = shown_path(report.path);
  for (const Finding* f : sorted) {
    const char* color = f->error ? kRed : kYellow;
    if (style.color) out += kBold;
    out += shown;
    if (f->line != 0) {
      out += ':';
      append_number(f->line, out);
      out += ':';
      append_number(f->column, out);
    }
    out += ": ";
    if (style.color) out.append(kReset).append(color);
    out += f->error ? "error" : "warning";
    out += '[';
    out += f->code.empty() ? f->kind : f->code;
    out += ']';
    if (style.color) out += kReset;
    out += ": ";
    append_printable(f->message, out);
    out += '\n';
    if (f->line != 0) {
      if (!view) view.emplace(text);
      const EchoedLine echo = view->echo(f->line, f->column);
      out += echo.text;
      out += '\n';
      if (style.color) {
        // The caret in the severity's colour; the padding before it as is.
        const size_t caret = echo.caret.size() - 1;
        out.append(echo.caret, 0, caret).append(color).append("^").append(
            kReset);
      } else {
        out += echo.caret;
      }
      out += '\n';
    }
  }
}

void write_github(const FileReport& report, std::string& out) {
  for (const Finding& f : report.findings) {
    out += "::";
    out += f.error ? "error" : "warning";
    out += " file=" + github_escape(report.path, true);
    if (f.line != 0) {
      out += ",line=" + std::to_string(f.line) +
             ",col=" + std::to_string(f.column);
    }
    out += ",title=" +
           github_escape("qel " + (f.code.empty() ? f.kind : f.code), true);
    out += "::" + github_escape(f.message, false) + '\n';
  }
}

namespace {

// The document's opening up to where its first file starts, as the writer
// lays it out.
void open_report(JsonWriter& w) {
  w.begin_object();
  w.key("files");
  w.begin_array();
}

}  // namespace

std::string json_report_head() {
  std::string out;
  JsonWriter w(out);
  open_report(w);
  return out;
}

void write_json_file(const FileReport& r, std::string& out) {
  // Written as the first file of a document and cut out of it, so that it
  // has the writer's own layout at the depth where it is printed.
  std::string doc;
  JsonWriter w(doc);
  open_report(w);
  const size_t start = doc.size();
  w.begin_object();
  w.key("path"); w.string(valid_utf8(r.path));
  w.key("error");
  if (r.unreadable.empty()) w.null(); else w.string(valid_utf8(r.unreadable));
  w.key("parsed"); w.boolean(r.parsed);
  w.key("valid"); w.boolean(r.valid);
  w.key("diagnostics");
  w.begin_array();
  for (const Finding& f : r.findings) {
    w.begin_object();
    w.key("severity"); w.string(f.error ? "error" : "warning");
    w.key("kind"); w.string(f.kind);
    w.key("code");
    if (f.code.empty()) w.null(); else w.string(f.code);
    w.key("message"); w.string(valid_utf8(f.message));
    w.key("line");
    if (f.line != 0) w.unsigned_integer(f.line); else w.null();
    w.key("column");
    if (f.line != 0) w.unsigned_integer(f.column); else w.null();
    w.end_object();
  }
  w.end_array();
  w.end_object();
  out.append(doc, start);
}

std::string json_report_tail(bool any_files, bool valid) {
  std::string out = any_files ? "\n  ]" : "]";
  out += valid ? ",\n  \"valid\": true\n}\n" : ",\n  \"valid\": false\n}\n";
  return out;
}

// GitHub workflow commands escape these characters in data and properties.
std::string github_escape(std::string_view s, bool property) {
  // Control characters (terminal escapes, bidirectional overrides) are
  // shown, as in the human output, never passed on to the log.
  std::string printable;
  append_printable(s, printable);
  std::string out;
  for (char c : printable) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      case ':': out += property ? "%3A" : ":"; break;
      case ',': out += property ? "%2C" : ","; break;
      default: out += c;
    }
  }
  return out;
}

std::string summary_line(uint64_t errors, uint64_t warnings, uint64_t files) {
  if (errors == 0 && warnings == 0) {
    return plural(files, "file") + " checked: all valid\n";
  }
  return plural(errors, "error") + ", " + plural(warnings, "warning") +
         " in " + plural(files, "file") + "\n";
}

}  // namespace qel::cli
