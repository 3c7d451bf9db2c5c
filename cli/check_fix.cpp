// check --fix and --diff: fix_text() per file, on -j N files at a time.
#include "check_fix.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "parallel.h"
#include "qel/fixes.h"
#include "unified_diff.h"

namespace qel::cli {
namespace {

struct FixedFile {
  std::string out, err;
  bool counted = false;    // a file, not a directory that could not be read
  bool failed = false;     // unreadable, refused or not rewritten: status 2
  bool valid = true;       // what remains is valid
  bool differs = false;    // a fix changes the text
  bool rewritten = false;
  uint64_t fixed = 0, errors = 0, warnings = 0;
};

void render(const std::string& format, const RenderStyle& style,
            const CheckedFile& file, std::string& out) {
  if (format == "human") render_human(file, style, out);
  if (format == "github") render_github(file, out);
  if (format == "json") render_json(file, out);
}

FixedFile fix_one(const Operand& operand, const CheckOptions& options,
                  const FixMode& mode, const std::string& format,
                  const RenderStyle& style, Io job) {
  FixedFile r;
  if (!operand.error.empty()) {
    r.err = "qel: cannot read '" + shown_path(operand.path) +
            "': " + operand.error + '\n';
    r.failed = true;
    if (mode.write) {
      render(format, style, {operand.path, {}, nullptr, operand.error},
             r.out);
    }
    return r;
  }
  Input in;
  std::string bom, why;
  InputReader reader(job);
  const bool read = mode.write
                        ? read_for_rewrite(operand.path, job, in, bom, why)
                        : reader.read(operand.path, in, why);
  r.err = std::move(job.err);
  if (!read) {
    r.failed = true;
    if (mode.write) {
      render(format, style, {operand.path, {}, nullptr, why}, r.out);
    }
    return r;
  }
  r.counted = true;
  // Nothing interrupts this call: the command's handler ends the process.
  Result<FixedText> fixed = fix_text(in.text, options);
  if (!fixed.ok()) {
    r.err += "qel: " + shown_path(in.path) + ": " +
             fixed.error().to_string() + '\n';
    r.failed = true;
    return r;
  }
  const std::string shown = shown_path(in.path);
  if (!fixed->fault.empty()) {
    r.err += "qel: internal error: check --fix of '" + shown +
             "' would break the contract (" + fixed->fault +
             "); the file is left as it was. Please report this as a bug, "
             "with the file.\n";
    r.failed = true;
  }
  r.differs = fixed->text != in.text;
  if (mode.diff) {
    r.out = unified_diff(in.text, fixed->text, "a/" + shown, "b/" + shown);
    return r;
  }
  if (r.differs) {
    if (rewrite_file(in.real_path, bom + fixed->text, in.stamp, why)) {
      r.rewritten = true;
      r.fixed = fixed->fixed;
    } else {
      if (!shutting_down()) {
        r.err += "qel: cannot rewrite '" + shown + "': " + why + '\n';
      }
      r.failed = true;
      // The file keeps its old text, and so its old findings.
      Result<CheckResult> old = check(in.text, options);
      if (old.ok()) fixed->remaining = std::move(*old);
      fixed->text = std::move(in.text);
    }
  }
  const CheckResult& remaining = fixed->remaining;
  render(format, style, {in.path, fixed->text, &remaining, {}}, r.out);
  r.valid = remaining.valid;
  for (const Diagnostic& d : remaining.findings) {
    ++(d.severity == Severity::kError ? r.errors : r.warnings);
  }
  return r;
}

std::string plural(uint64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + ' ' + std::string(n == 1 ? one : many);
}

}  // namespace

bool read_for_rewrite(const std::string& path, Io& io, Input& in,
                      std::string& bom, std::string& why) {
  in.path = path;
  if (!rewrite_target(path, in.real_path, why)) {
    io.err += "qel: cannot rewrite '" + shown_path(path) + "': " + why + '\n';
    return false;
  }
  if (!read_file(in.real_path, io.max_input_size, in.text, why, &in.stamp)) {
    io.err += "qel: cannot read '" + shown_path(path) + "': " + why + '\n';
    return false;
  }
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  bom.clear();
  if (std::string_view(in.text).starts_with(kByteOrderMark)) {
    bom = kByteOrderMark;
    in.text.erase(0, kByteOrderMark.size());
  }
  return true;
}

int run_check_fix(const std::vector<Operand>& operands,
                  const std::vector<CheckOptions>& per_file,
                  const FixMode& mode, const std::string& format,
                  const RenderStyle& style, unsigned jobs, Io& io) {
  if (mode.write && mode.diff) {
    return usage_error(io, "check: --fix and --diff cannot be used together");
  }
  if (mode.diff && format != "human") {
    return usage_error(io, "check: --diff prints a diff, not --format " +
                               format);
  }
  if (mode.write) {
    for (const Operand& operand : operands) {
      if (operand.path == "-") {
        return usage_error(io, "check: --fix cannot rewrite standard input");
      }
    }
  }
  const SharedStdin stdin_text(io, operands);
  const bool json = mode.write && format == "json";
  if (json) io.out += json_report_head();
  flush_output(io);
  bool failed = false, valid = true, differs = false;
  uint64_t files = 0, rewritten = 0, fixed = 0, errors = 0, warnings = 0;
  map_in_order<FixedFile>(
      operands.size(), jobs,
      [&](size_t i) {
        return fix_one(operands[i], per_file[i], mode, format, style,
                       stdin_text.job_io(io));
      },
      [&](size_t i, FixedFile& r) {
        if (json && i != 0) io.out += ',';
        io.out += r.out;
        io.err += r.err;
        files += r.counted ? 1 : 0;
        rewritten += r.rewritten ? 1 : 0;
        fixed += r.fixed;
        errors += r.errors;
        warnings += r.warnings;
        failed = failed || r.failed;
        valid = valid && r.valid;
        differs = differs || r.differs;
        flush_output(io);
      });
  if (mode.diff) return failed ? 2 : differs ? 1 : 0;
  if (json) io.out += json_report_tail(!operands.empty(), valid && !failed);
  if (format == "human" && files != 0) {
    io.out += summary_line(errors, warnings, files);
  }
  io.err += "qel: fixed " + plural(fixed, "finding", "findings") +
            ", rewrote " + std::to_string(rewritten) + " of " +
            plural(files, "file", "files") + '\n';
  if (failed) return 2;
  return valid ? 0 : 1;
}

}  // namespace qel::cli
