// qel check: parse, verify and lint contracts; report every finding.
#include "check_fix.h"
#include "command.h"
#include "config.h"
#include "parallel.h"
#include "qel/check.h"
#include "walk.h"

namespace qel::cli {
namespace {

struct Options {
  std::string format = "human";
  RenderStyle style;
  CheckOptions check;
};

// A comma-separated list of codes or code prefixes ("L", "V1"); false with
// `why` set for one that names no rule.
bool parse_codes(const std::string& list, std::vector<std::string>& out,
                 std::string& why) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string code = list.substr(start, end - start);
    if (!code.empty()) {
      if (!is_rule_selector(code)) {
        why = "unknown rule code '" + code + "' (see 'qel help rules')";
        return false;
      }
      out.push_back(code);
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

Checked check_one(const Operand& operand, const Options& options,
                  const CheckOptions& check_options, Io job) {
  Checked c;
  Input in;
  InputReader reader(job);
  std::string unreadable;
  std::optional<CheckResult> result;
  if (!operand.error.empty()) {
    job.err += "qel: cannot read '" + shown_path(operand.path) +
               "': " + operand.error + '\n';
    unreadable = operand.error;
  } else if (reader.read(operand.path, in, unreadable)) {
    Result<CheckResult> checked = check(in.text, check_options);
    // Nothing interrupts this call: the command's handler ends the process.
    if (checked.ok()) result = std::move(*checked);
    else unreadable = checked.error().to_string();
  }
  const CheckedFile file{result ? std::string_view(in.path)
                                : std::string_view(operand.path),
                         in.text, result ? &*result : nullptr, unreadable};
  if (options.format == "human") render_human(file, options.style, c.out);
  if (options.format == "github") render_github(file, c.out);
  if (options.format == "json") render_json(file, c.out);
  c.err = std::move(job.err);
  c.readable = result.has_value();
  c.valid = result && result->valid;
  if (result) {
    for (const Diagnostic& d : result->findings) {
      ++(d.severity == Severity::kError ? c.errors : c.warnings);
    }
  }
  return c;
}

}  // namespace

int cmd_check(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(
      args, {"--format", "--color", "--select", "--ignore", "-j", "--jobs",
             "--config"});
  if (!a.error.empty()) return usage_error(io, "check: " + a.error);
  Options options;
  std::string color = "auto";
  unsigned jobs = default_jobs();
  FixMode fix;
  ConfigSource source;
  bool select_given = false, ignore_given = false;
  for (const auto& [name, value] : a.options) {
    std::string why;
    if (output_option("check", name, value, options.format, color, why) ||
        config_option(name, value, source, why)) {
      if (!why.empty()) return usage_error(io, "check: " + why);
    } else if (name == "--select") {
      select_given = true;
      if (!options.check.select) options.check.select.emplace();
      if (!parse_codes(value, *options.check.select, why)) {
        return usage_error(io, why);
      }
    } else if (name == "--ignore") {
      ignore_given = true;
      if (!parse_codes(value, options.check.ignore, why)) {
        return usage_error(io, why);
      }
    } else if (name == "--strict") {
      options.check.strict = true;
    } else if (name == "--fix") {
      fix.write = true;
    } else if (name == "--diff") {
      fix.diff = true;
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

  ConfigFinder configs(source);
  const std::vector<Operand> operands =
      distinct_files(expand_operands(a.operands, io.err, &configs, true));
  // Each file's options are settled before any is checked, so that a
  // broken configuration stops the command before it reports anything.
  std::vector<CheckOptions> per_file;
  per_file.reserve(operands.size());
  for (const Operand& operand : operands) {
    const std::shared_ptr<const ProjectConfig> config =
        configs.load_config_for(operand.path);
    per_file.push_back(config ? config->check_options(operand.path,
                                                      options.check,
                                                      select_given,
                                                      ignore_given)
                              : options.check);
  }
  if (const std::string error = configs.error(); !error.empty()) {
    io.err += error + '\n';
    return 2;
  }
  if (fix.write || fix.diff) {
    return run_check_fix(operands, per_file, fix, options.format,
                         options.style, jobs, io);
  }
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
        return check_one(operands[i], options, per_file[i],
                         stdin_text.job_io(io));
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
  // Only strictness fails a check without errors: say so, or the summary
  // reads like a pass.
  if (!all_valid && errors == 0) {
    io.err += "qel: warnings fail the check in strict mode (";
    io.err += std::to_string(warnings);
    io.err += warnings == 1 ? " warning)\n" : " warnings)\n";
  }
  return all_valid ? 0 : 1;
}

}  // namespace qel::cli
