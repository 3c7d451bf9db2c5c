// qel check: parse, verify and lint contracts; report every finding.
#include "analysis.h"
#include "command.h"
#include "diagnostics.h"
#include "parallel.h"
#include "qel/lint.h"
#include "source_view.h"
#include "walk.h"

namespace qel::cli {
namespace {

struct Options {
  std::string format = "human";
  Style style;
  LintSelection lints;
};

// A comma-separated list of lint codes; false with `why` set for an
// unknown code.
bool parse_codes(const std::string& list, CodeSet& out, std::string& why) {
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

// One file's outcome, its report already written out in the chosen format,
// so that nothing but counts outlives its printing.
struct Checked {
  std::string out, err;  // the report as text; messages
  bool readable = true, valid = true;
  uint64_t errors = 0, warnings = 0;
};

Checked check_one(const Operand& operand, const Options& options, Io job) {
  Checked c;
  FileReport report;
  Input in;
  InputReader reader(job);
  if (!operand.error.empty()) {
    job.err += "qel: cannot read '" + shown_path(operand.path) +
               "': " + operand.error + '\n';
    report.path = operand.path;
    report.unreadable = operand.error;
  } else if (!reader.read(operand.path, in, report.unreadable)) {
    report.path = operand.path;
  } else {
    report = analyze(in.path, in.text, options.lints);
  }
  if (options.format == "human") write_human(report, in.text, options.style, c.out);
  if (options.format == "github") write_github(report, c.out);
  if (options.format == "json") write_json_file(report, c.out);
  c.err = std::move(job.err);
  c.readable = report.unreadable.empty();
  c.valid = report.valid;
  for (const Finding& f : report.findings) ++(f.error ? c.errors : c.warnings);
  return c;
}

}  // namespace

int cmd_check(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(
      args, {"--format", "--color", "--select", "--ignore", "-j", "--jobs"});
  if (!a.error.empty()) return usage_error(io, "check: " + a.error);
  Options options;
  std::string color = "auto";
  unsigned jobs = default_jobs();
  for (const auto& [name, value] : a.options) {
    std::string why;
    if (output_option("check", name, value, options.format, color, why)) {
      if (!why.empty()) return usage_error(io, why);
    } else if (name == "--select") {
      if (!options.lints.select) options.lints.select.emplace();
      if (!parse_codes(value, *options.lints.select, why)) {
        return usage_error(io, why);
      }
    } else if (name == "--ignore") {
      if (!parse_codes(value, options.lints.ignore, why)) {
        return usage_error(io, why);
      }
    } else if (name == "--strict") {
      options.lints.strict = true;
    } else if (name == "-j" || name == "--jobs") {
      const std::optional<unsigned> n = parse_jobs(value);
      if (!n) return usage_error(io, jobs_usage("check"));
      jobs = *n;
    } else {
      return usage_error(io, "check: unknown option '" + name + "'");
    }
  }
  if (a.operands.empty()) return usage_error(io, "check: no input files");
  options.style.color =
      color == "always" || (color == "auto" && io.stdout_is_terminal &&
                            !io.no_color);

  const std::vector<Operand> operands =
      distinct_files(expand_operands(a.operands, io.err));
  const SharedStdin stdin_text(io, operands);
  const bool json = options.format == "json";
  if (json) io.out += json_report_head();
  flush_output(io);
  bool readable = true;
  bool all_valid = true;
  uint64_t errors = 0, warnings = 0, files = 0;
  map_in_order<Checked>(
      operands.size(), jobs,
      [&](size_t i) {
        return check_one(operands[i], options, stdin_text.job_io(io));
      },
      [&](size_t i, Checked& c) {
        if (json && i != 0) io.out += ',';
        io.out += c.out;
        io.err += c.err;
        if (c.readable) ++files; else readable = false;
        all_valid = all_valid && c.valid;
        errors += c.errors;
        warnings += c.warnings;
        flush_output(io);
      });
  if (json) {
    io.out += json_report_tail(!operands.empty(), all_valid && readable);
  }
  // Unreadable files were named on standard error already.
  if (options.format == "human" && files != 0) {
    io.out += summary_line(errors, warnings, files);
  }
  if (!readable) return 2;
  return all_valid ? 0 : 1;
}

}  // namespace qel::cli
