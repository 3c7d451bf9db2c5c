#include "analysis.h"

#include "qel/lint.h"
#include "qel/parser.h"
#include "qel/verifier.h"

namespace qel::cli {

namespace {

// Every independent parse error of a text that does not parse, in source
// order; the strict parse's one error if the tolerant parse was stopped.
void add_parse_errors(std::string_view text, const Error& strict,
                      FileReport& report) {
  const Result<Parse> parsed = parse(text);
  if (!parsed.ok() || parsed->errors.empty()) {
    report.findings.push_back(finding_of(strict));
    return;
  }
  for (const ParseError& e : parsed->errors) {
    const Span at = parsed->tree.span_at(e.begin);
    Finding f;
    f.kind = "parse";
    f.message = e.message;
    f.line = at.line;
    f.column = at.column;
    report.findings.push_back(std::move(f));
  }
}

}  // namespace

FileReport analyze(std::string_view path, std::string_view text,
                   const LintSelection& lints) {
  FileReport report;
  report.path = path;
  const Result<SyntaxTree> tree = parse_tree(text);
  if (!tree.ok()) {
    add_parse_errors(text, tree.error(), report);
    return report;
  }
  report.parsed = true;
  const VerificationResult result = verify(*tree);
  report.valid = result.is_valid();
  for (const Diagnostic& d : result.diagnostics()) {
    Finding f;
    f.error = d.severity == Severity::kError;
    f.kind = diagnostic_kind_name(d.kind);
    f.message = d.message;
    if (d.span) {
      f.line = d.span->line;
      f.column = d.span->column;
    }
    report.findings.push_back(std::move(f));
  }
  for (Lint& l : lint(*tree)) {
    if (lints.select && !lints.select->contains(l.code)) continue;
    if (lints.ignore.contains(l.code)) continue;
    Finding f;
    f.error = false;
    f.kind = "lint";
    f.code = std::move(l.code);
    f.message = std::move(l.message);
    f.line = l.span.line;
    f.column = l.span.column;
    report.findings.push_back(std::move(f));
  }
  if (lints.strict && !report.findings.empty()) report.valid = false;
  return report;
}

}  // namespace qel::cli
