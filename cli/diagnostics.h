// Findings as the command line prints them: one format for every command,
// `path:line:column: severity[kind]: message`, then the source line and a
// caret, so that editors and CI jobs can jump to the place.
#ifndef QEL_CLI_DIAGNOSTICS_H_
#define QEL_CLI_DIAGNOSTICS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qel/error.h"

namespace qel::cli {

struct Finding {
  bool error = true;   // an error, or else a warning
  std::string kind;    // "parse", "type", ..., "lint"
  std::string code;    // a lint's code ("L001"); empty for other findings
  std::string message;
  uint64_t line = 0;  // 0: no position
  uint64_t column = 0;
};

struct FileReport {
  std::string path;
  std::string unreadable;  // why the file could not be read; empty if read
  bool parsed = false;
  bool valid = false;
  std::vector<Finding> findings;
};

// The finding of a core Error: its message without the kind's prefix, and
// for a parse error the position split off its " at line:column" ending.
Finding finding_of(const Error& error);

struct Style {
  bool color = false;  // ANSI colours for severities and carets
};

// A file's findings sorted by line and column (those without a position
// first), each with its echoed source line and caret; the path is shown
// escaped (shown_path).
void write_human(const FileReport& report, std::string_view text,
                 const Style& style, std::string& out);

// GitHub Actions workflow commands, one per finding.
void write_github(const FileReport& report, std::string& out);
// `s` escaped for a workflow command's message, or for one of its
// properties (file=, title=) when `property` is set.
std::string github_escape(std::string_view s, bool property);

// One JSON document for every file, findings in the verifier's order,
// written file by file so that it streams: json_report_head(), then each
// file's entry (a comma before every one but the first), then
// json_report_tail(), which ends with a line feed. Text that is not UTF-8
// (a file name's stray bytes) has U+FFFD for each such byte, so the
// document is always UTF-8.
std::string json_report_head();
void write_json_file(const FileReport& report, std::string& out);
std::string json_report_tail(bool any_files, bool valid);

// "2 errors, 1 warning in 3 files" or "3 files checked: all valid".
std::string summary_line(uint64_t errors, uint64_t warnings, uint64_t files);

}  // namespace qel::cli

#endif  // QEL_CLI_DIAGNOSTICS_H_
