// The three ways of showing a check's findings.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "qel/source_view.h"
#include "qel/check.h"
#include "qel/json.h"
#include "qel/line_index.h"

namespace qel {

namespace {

constexpr const char* kRed = "\x1b[1;31m";
constexpr const char* kYellow = "\x1b[1;33m";
constexpr const char* kCyan = "\x1b[1;36m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kReset = "\x1b[0m";

std::string plural(uint64_t n, std::string_view word) {
  std::string out = std::to_string(n);
  out += ' ';
  out += word;
  if (n != 1) out += 's';
  return out;
}

const char* severity_name(Severity s) {
  return s == Severity::kError ? "error" : "warning";
}

// The findings of a file, or none for one that could not be read.
const std::vector<Diagnostic>& findings_of(const CheckedFile& file) {
  static const std::vector<Diagnostic> kNone;
  return file.result != nullptr ? file.result->findings : kNone;
}

// Positions in the file's text, indexed on first use.
class Places {
 public:
  explicit Places(std::string_view text) : text_(text) {}
  Span at(uint32_t byte) {
    if (!index_) index_.emplace(text_);
    return index_->span_of(byte);
  }

 private:
  std::string_view text_;
  std::optional<LineIndex> index_;
};

// The line of `span` with [span, span + bytes) underlined, the carets in
// `color` when colours are on.
void append_echo(display::SourceView& view, const Span& span, size_t bytes,
                 const char* color, const RenderStyle& style,
                 std::string& out) {
  const display::EchoedLine echo = view.echo(span.line, span.column, bytes);
  out += echo.text;
  out += '\n';
  if (style.color) {
    const size_t first = echo.caret.find('^');
    out.append(echo.caret, 0, first).append(color);
    out.append(echo.caret, first).append(kReset);
  } else {
    out += echo.caret;
  }
  out += '\n';
}

// How many bytes of a range lie on the line where it starts.
size_t bytes_on_line(std::string_view text, ByteRange range) {
  const size_t begin = std::min<size_t>(range.begin, text.size());
  const size_t end = std::min<size_t>(range.end, text.size());
  if (end <= begin) return 1;
  const size_t lf = text.find('\n', begin);
  return (lf == std::string_view::npos ? end : std::min(end, lf)) - begin;
}

}  // namespace

void render_human(const CheckedFile& file, const RenderStyle& style,
                  std::string& out) {
  std::vector<const Diagnostic*> sorted;
  for (const Diagnostic& d : findings_of(file)) sorted.push_back(&d);
  const auto line_column = [](const Diagnostic* d) {
    return d->span ? std::make_pair(d->span->line, d->span->column)
                   : std::make_pair(uint64_t{0}, uint64_t{0});
  };
  std::stable_sort(sorted.begin(), sorted.end(),
                   [&](const Diagnostic* a, const Diagnostic* b) {
                     return line_column(a) < line_column(b);
                   });
  std::optional<display::SourceView> view;
  Places places(file.text);
  const std::string shown = shown_path(file.path);
  for (const Diagnostic* d : sorted) {
    const char* color = d->severity == Severity::kError ? kRed : kYellow;
    if (style.color) out += kBold;
    out += shown;
    if (d->span) {
      out += ':' + std::to_string(d->span->line) + ':' +
             std::to_string(d->span->column);
    }
    out += ": ";
    if (style.color) out.append(kReset).append(color);
    out += severity_name(d->severity);
    out += '[';
    out += d->code;
    out += ']';
    if (style.color) out += kReset;
    out += ": ";
    append_printable(d->message, out);
    out += '\n';
    if (!d->span) continue;
    if (!view) view.emplace(file.text);
    append_echo(*view, *d->span, bytes_on_line(file.text, d->range), color,
                style, out);
    for (const Label& note : d->notes) {
      const Span at = places.at(note.range.begin);
      out += shown + ':' + std::to_string(at.line) + ':' +
             std::to_string(at.column) + ": ";
      out += style.color ? std::string(kCyan) + "note" + kReset : "note";
      out += ": ";
      append_printable(note.text, out);
      out += '\n';
      append_echo(*view, at, bytes_on_line(file.text, note.range), kCyan,
                  style, out);
    }
    if (!d->help.empty()) {
      out += style.color ? std::string(kCyan) + "help" + kReset : "help";
      out += ": ";
      append_printable(d->help, out);
      out += '\n';
    }
  }
}

void render_github(const CheckedFile& file, std::string& out) {
  Places places(file.text);
  for (const Diagnostic& d : findings_of(file)) {
    out += "::";
    out += severity_name(d.severity);
    out += " file=" + github_escape(file.path, true);
    if (d.span) {
      const Span end = places.at(std::max(d.range.end, d.range.begin));
      out += ",line=" + std::to_string(d.span->line) +
             ",col=" + std::to_string(d.span->column);
      if (end.line == d.span->line && end.column > d.span->column) {
        out += ",endColumn=" + std::to_string(end.column);
      }
    }
    out += ",title=" + github_escape("qel " + std::string(d.code), true);
    out += "::" + github_escape(d.message, false) + '\n';
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

void render_json(const CheckedFile& file, std::string& out) {
  // Written as the first file of a document and cut out of it, so that it
  // has the writer's own layout at the depth where it is printed.
  std::string doc;
  JsonWriter w(doc);
  open_report(w);
  const size_t start = doc.size();
  const CheckResult* r = file.result;
  Places places(file.text);
  w.begin_object();
  w.key("path"); w.string(valid_utf8(file.path));
  w.key("error");
  if (r != nullptr) w.null(); else w.string(valid_utf8(file.unreadable));
  w.key("parsed"); w.boolean(r != nullptr && r->parsed);
  w.key("valid"); w.boolean(r != nullptr && r->valid);
  w.key("diagnostics");
  w.begin_array();
  for (const Diagnostic& d : findings_of(file)) {
    w.begin_object();
    w.key("severity"); w.string(severity_name(d.severity));
    w.key("kind"); w.string(diagnostic_kind_name(d.kind));
    w.key("code"); w.string(d.code);
    w.key("message"); w.string(valid_utf8(d.message));
    if (d.span) {
      const Span end = places.at(std::max(d.range.end, d.range.begin));
      w.key("line"); w.unsigned_integer(d.span->line);
      w.key("column"); w.unsigned_integer(d.span->column);
      w.key("end_line"); w.unsigned_integer(end.line);
      w.key("end_column"); w.unsigned_integer(end.column);
    } else {
      for (const char* key : {"line", "column", "end_line", "end_column"}) {
        w.key(key);
        w.null();
      }
    }
    w.key("notes");
    w.begin_array();
    for (const Label& note : d.notes) {
      const Span at = places.at(note.range.begin);
      const Span end = places.at(std::max(note.range.end, note.range.begin));
      w.begin_object();
      w.key("message"); w.string(valid_utf8(note.text));
      w.key("line"); w.unsigned_integer(at.line);
      w.key("column"); w.unsigned_integer(at.column);
      w.key("end_line"); w.unsigned_integer(end.line);
      w.key("end_column"); w.unsigned_integer(end.column);
      w.end_object();
    }
    w.end_array();
    w.key("help");
    if (d.help.empty()) w.null(); else w.string(valid_utf8(d.help));
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

}  // namespace qel
