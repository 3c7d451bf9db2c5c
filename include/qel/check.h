// What `qel check` does for one text, for every front end that shows it
// (the command line, the language server, Python): parse, verify, lint,
// apply suppressions and the selection of rules; and the three ways of
// showing the result (human, JSON, GitHub workflow commands).
#ifndef QEL_CHECK_H_
#define QEL_CHECK_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/diagnostic.h"
#include "qel/error.h"
#include "qel/interrupt.h"

namespace qel {

// Which rules to report. A selector is a code ("L002") or the start of
// codes ("V1" for the verifier's type rules, "L" for every lint). Parse
// errors are always reported: nothing else can be checked without them.
struct CheckOptions {
  std::optional<std::vector<std::string>> select;  // every rule when unset
  std::vector<std::string> ignore;
  bool strict = false;  // a warning fails the check too
};

// Whether `selector` names at least one rule of the registry.
bool is_rule_selector(std::string_view selector);

struct CheckResult {
  bool parsed = false;  // the text parsed, so it was verified and linted
  bool valid = false;   // no error reported (with strict: no finding)
  // Every independent parse error in source order; or the verifier's
  // findings in its order, then the lints in source order. Each has a
  // span, a code and a range.
  std::vector<Diagnostic> findings;
};

// Runs the pipeline over `text`. Fails only when `interrupter` says stop.
Result<CheckResult> check(std::string_view text,
                          const CheckOptions& options = {},
                          const Interrupter& interrupter = {});

// The error parse_tree() reports for `text`, as a finding at its place
// (its message without the position text); nullopt when the text parses.
std::optional<Diagnostic> strict_parse_error(std::string_view text);

// ---- Rendering ------------------------------------------------------------

// One file as the renderers show it: its findings, or why it could not be
// read (then `result` is null).
struct CheckedFile {
  std::string_view path;
  std::string_view text;
  const CheckResult* result = nullptr;
  std::string_view unreadable;
};

struct RenderStyle {
  bool color = false;  // ANSI colours for severities and underlines
};

// `path:line:column: severity[CODE]: message`, the source line with the
// range underlined, then each note and the help line; findings sorted by
// position. Paths, lines and messages are shown escaped.
void render_human(const CheckedFile& file, const RenderStyle& style,
                  std::string& out);

// GitHub Actions workflow commands, one per finding.
void render_github(const CheckedFile& file, std::string& out);

// One JSON document for every file, written file by file so that it
// streams: json_report_head(), then each file's entry (a comma before every
// one but the first), then json_report_tail(), which ends with a line feed.
// Text that is not UTF-8 (a file name's stray bytes) has U+FFFD for each
// such byte, so the document is always UTF-8.
std::string json_report_head();
void render_json(const CheckedFile& file, std::string& out);
std::string json_report_tail(bool any_files, bool valid);

// "2 errors, 1 warning in 3 files" or "3 files checked: all valid".
std::string summary_line(uint64_t errors, uint64_t warnings, uint64_t files);

// ---- Text safe to print -----------------------------------------------------

// Appends `text` with C0 and C1 controls, DEL, the bidirectional controls
// and the line and paragraph separators as \u{hex}, and bytes that are not
// UTF-8 as \xhh; tabs kept.
void append_printable(std::string_view text, std::string& out);

// `path` with the escapes of append_printable(): a file name can then
// neither start a line of its own nor reach a terminal as an escape.
std::string shown_path(std::string_view path);

// `text` with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD.
std::string valid_utf8(std::string_view text);

// `s` escaped for a GitHub workflow command's message, or for one of its
// properties (file=, title=) when `property` is set.
std::string github_escape(std::string_view s, bool property);

}  // namespace qel

#endif  // QEL_CHECK_H_
