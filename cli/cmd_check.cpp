// qel check: parse, verify and lint contracts; report every finding.
#include <set>

#include "command.h"
#include "diagnostics.h"
#include "qel/lint.h"
#include "qel/parser.h"
#include "qel/verifier.h"
#include "walk.h"

namespace qel::cli {
namespace {

struct Options {
  std::string format = "human";
  Style style;
  std::optional<std::set<std::string, std::less<>>> select;  // all if unset
  std::set<std::string, std::less<>> ignore;
  bool strict = false;
};

// A comma-separated list of lint codes; false with `why` set for an
// unknown code.
bool parse_codes(const std::string& list, std::set<std::string, std::less<>>& out,
                 std::string& why) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string code = list.substr(start, end - start);
    if (!code.empty()) {
      if (find_lint_rule(code) == nullptr) {
        why = "unknown lint code '" + code + "' (see 'qel help check')";
        return false;
      }
      out.insert(code);
    }
    start = end + 1;
  }
  return true;
}

FileReport check_one(const Input& in, const Options& options) {
  FileReport report;
  report.path = in.path;
  Result<ContractNode> tree = parse(in.text);
  if (!tree.ok()) {
    report.findings.push_back(finding_of(tree.error()));
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
  for (Lint& l : lint(*tree, in.text)) {
    if (options.select && !options.select->contains(l.code)) continue;
    if (options.ignore.contains(l.code)) continue;
    Finding f;
    f.error = false;
    f.kind = "lint";
    f.code = std::move(l.code);
    f.message = std::move(l.message);
    f.line = l.span.line;
    f.column = l.span.column;
    report.findings.push_back(std::move(f));
  }
  if (options.strict && !report.findings.empty()) report.valid = false;
  return report;
}

}  // namespace

int cmd_check(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {"--format", "--color", "--select", "--ignore"});
  if (!a.error.empty()) return usage_error(io, "check: " + a.error);
  Options options;
  std::string color = "auto";
  for (const auto& [name, value] : a.options) {
    std::string why;
    if (name == "--format") {
      if (value != "human" && value != "json" && value != "github") {
        return usage_error(io, "unknown format '" + value +
                                   "' (expected human, json or github)");
      }
      options.format = value;
    } else if (name == "--color") {
      if (value != "auto" && value != "always" && value != "never") {
        return usage_error(io, "check: --color takes auto, always or never");
      }
      color = value;
    } else if (name == "--select") {
      if (!options.select) options.select.emplace();
      if (!parse_codes(value, *options.select, why)) return usage_error(io, why);
    } else if (name == "--ignore") {
      if (!parse_codes(value, options.ignore, why)) return usage_error(io, why);
    } else if (name == "--strict") {
      options.strict = true;
    } else {
      return usage_error(io, "check: unknown option '" + name + "'");
    }
  }
  if (a.operands.empty()) return usage_error(io, "check: no input files");
  options.style.color =
      color == "always" || (color == "auto" && io.stdout_is_terminal &&
                            !io.no_color);

  InputReader reader(io);
  bool readable = true;
  bool all_valid = true;
  uint64_t errors = 0, warnings = 0, files = 0;
  std::vector<FileReport> reports;  // for the JSON document only
  for (const Operand& operand : expand_operands(a.operands)) {
    FileReport report;
    Input in;
    if (!operand.error.empty()) {
      io.err += "qel: cannot read '" + operand.path + "': " + operand.error + '\n';
      report.path = operand.path;
      report.unreadable = operand.error;
    } else if (!reader.read(operand.path, in, report.unreadable)) {
      report.path = operand.path;
    } else {
      report = check_one(in, options);
    }
    if (report.unreadable.empty()) ++files; else readable = false;
    all_valid = all_valid && report.valid;
    for (const Finding& f : report.findings) ++(f.error ? errors : warnings);
    if (options.format == "human") write_human(report, in.text, options.style, io.out);
    if (options.format == "github") write_github(report, io.out);
    if (options.format == "json") reports.push_back(std::move(report));
  }
  if (options.format == "json") write_json(reports, all_valid && readable, io.out);
  // Unreadable files were named on standard error already.
  if (options.format == "human" && files != 0) {
    io.out += summary_line(errors, warnings, files);
  }
  if (!readable) return 2;
  return all_valid ? 0 : 1;
}

}  // namespace qel::cli
