#include "analysis.h"

#include "qel/check.h"

namespace qel::cli {

FileReport analyze(std::string_view, std::string_view text,
                   const LintSelection&) {
  FileReport report;
  Result<CheckResult> checked = check(text);
  if (!checked.ok()) return report;
  for (const Diagnostic& d : checked->findings) {
    Finding f;
    f.error = d.severity == Severity::kError;
    f.kind = diagnostic_kind_name(d.kind);
    f.code = d.code;
    f.message = d.message;
    if (d.span) {
      f.line = d.span->line;
      f.column = d.span->column;
    }
    report.findings.push_back(std::move(f));
  }
  return report;
}

}  // namespace qel::cli
