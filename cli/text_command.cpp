// The driver shared by normalize and fmt: the same options, the same
// file handling, only the transform differs.
#include "text_command.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "command.h"
#include "config.h"
#include "unified_diff.h"
#include "parallel.h"
#include "qel/check.h"
#include "walk.h"

namespace qel::cli {
namespace {

struct Mode {
  bool check = false, diff = false, write = false;
};

struct Transformed {
  std::string out, err;
  bool counted = false;    // a file, not a directory that could not be read
  bool failed = false;     // unreadable or not rewritten: status 2
  bool invalid = false;    // does not parse: status 1
  bool differs = false;    // the new text is not the old one
  bool rewritten = false;
};

// Each file is read, transformed and (with -w) rewritten on its own: the
// rewrites of different files share nothing, so they run in parallel too.
Transformed transform_one(std::string_view name, TextTransform transform,
                          const Operand& operand,
                          const Mode& mode, Io job) {
  Transformed r;
  if (!operand.error.empty()) {
    r.err = "qel: cannot read '" + shown_path(operand.path) +
            "': " + operand.error + '\n';
    r.failed = true;
    return r;
  }
  r.counted = true;
  InputReader reader(job);
  Input in;
  if (!reader.read(operand.path, in, mode.write)) {
    r.err = std::move(job.err);
    r.failed = true;
    return r;
  }
  Rewrite rewrite = transform(in.text);
  Result<std::string>& result = rewrite.text;
  if (!result.ok()) {
    report_error(job, in.path, in.text, result.error());
    r.err = std::move(job.err);
    r.invalid = true;
    return r;
  }
  if (!rewrite.fault.empty()) {
    // Neither shown nor written: a wrong text is worse than none.
    r.err = rewrite.known_limit
                ? "qel: cannot " + std::string(name) + " '" +
                      shown_path(in.path) + "': " + rewrite.fault +
                      "; the file is left as it was\n"
                : "qel: internal error: " + std::string(name) + " of '" +
                      shown_path(in.path) + "' would change the contract (" +
                      rewrite.fault +
                      "); the file is left as it was. Please report this as "
                      "a bug, with the file.\n";
    r.failed = true;
    return r;
  }
  r.differs = *result != in.text;
  const std::string shown = shown_path(in.path);
  if (mode.check && r.differs) r.out += shown + '\n';
  if (mode.diff) {
    r.out += unified_diff(in.text, *result, "a/" + shown, "b/" + shown);
  }
  if (mode.write && r.differs) {
    std::string why;
    if (rewrite_file(in.real_path, *result, in.stamp, why)) {
      r.rewritten = true;
    } else {
      if (!shutting_down()) {
        r.err += "qel: cannot rewrite '" + shown + "': " + why + '\n';
      }
      r.failed = true;
    }
  }
  if (!mode.check && !mode.diff && !mode.write) r.out = std::move(*result);
  return r;
}

}  // namespace

int run_text_command(std::string_view name, TextTransform transform,
                     const std::vector<std::string>& args, Io& io) {
  const std::string prefix = std::string(name) + ": ";
  const Args a = Args::parse(args, {"-j", "--jobs", "--config"});
  if (!a.error.empty()) return usage_error(io, prefix + a.error);
  Mode mode;
  unsigned jobs = default_jobs();
  ConfigSource source;
  for (const auto& [o, value] : a.options) {
    std::string why;
    if (config_option(o, value, source, why)) {
      if (!why.empty()) return usage_error(io, prefix + why);
    } else if (o == "--check" || o == "-l") {
      mode.check = true;
    } else if (o == "--diff" || o == "-d") {
      mode.diff = true;
    } else if (o == "-w" || o == "--write") {
      mode.write = true;
    } else if (o == "-j" || o == "--jobs") {
      const std::optional<unsigned> n = parse_jobs(value);
      if (!n) return usage_error(io, jobs_usage(name));
      jobs = *n;
    } else {
      return usage_error(io, prefix + "unknown option '" + o + "'");
    }
  }
  if (mode.write && (mode.check || mode.diff)) {
    return usage_error(io, prefix + (mode.check ? "--check" : "--diff") +
                               " and -w cannot be used together");
  }
  if (a.operands.empty()) return usage_error(io, prefix + "no input files");
  if (mode.write) {
    for (const std::string& path : a.operands) {
      if (path == "-") {
        return usage_error(io, prefix + "-w cannot rewrite standard input");
      }
    }
  }
  // Only exclude applies here, and only to the files a walk finds.
  ConfigFinder configs(source);
  const std::vector<Operand> operands =
      distinct_files(expand_operands(a.operands, io.err, &configs, true));
  // A broken configuration is reported even where nothing was excluded.
  for (const Operand& operand : operands) configs.load_config_for(operand.path);
  if (const std::string error = configs.error(); !error.empty()) {
    io.err += error + '\n';
    return 2;
  }
  const SharedStdin stdin_text(io, operands);
  flush_output(io);
  bool failed = false, invalid = false, differs_any = false;
  uint64_t files = 0, rewritten = 0;
  map_in_order<Transformed>(
      operands.size(), jobs,
      [&](size_t i) {
        return transform_one(name, transform, operands[i], mode,
                             stdin_text.job_io(io));
      },
      [&](size_t, Transformed& r) {
        io.out += r.out;
        io.err += r.err;
        files += r.counted ? 1 : 0;
        rewritten += r.rewritten ? 1 : 0;
        failed = failed || r.failed;
        invalid = invalid || r.invalid;
        differs_any = differs_any || r.differs;
        flush_output(io);
      });
  if (mode.write) {
    io.err += "qel: rewrote " + std::to_string(rewritten) + " of " +
              std::to_string(files) + (files == 1 ? " file\n" : " files\n");
  }
  if (failed) return 2;
  if (invalid || ((mode.check || mode.diff) && differs_any)) return 1;
  return 0;
}

}  // namespace qel::cli
