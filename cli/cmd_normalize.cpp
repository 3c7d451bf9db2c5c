// qel normalize: the canonical text; --check lists the files that are not
// canonical, --diff shows how, -w rewrites them.
#include "command.h"
#include "diff.h"
#include "parallel.h"
#include "qel/canonical.h"
#include "walk.h"

namespace qel::cli {
namespace {

struct Mode {
  bool check = false, diff = false, write = false;
};

struct Normalized {
  std::string out, err;
  bool counted = false;    // a file, not a directory that could not be read
  bool failed = false;     // unreadable or not rewritten: status 2
  bool invalid = false;    // does not parse: status 1
  bool differs = false;    // not in canonical form
  bool rewritten = false;
};

// Each file is read, normalised and (with -w) rewritten on its own: the
// rewrites of different files share nothing, so they run in parallel too.
Normalized normalize_one(const Operand& operand, const Mode& mode, Io job) {
  Normalized r;
  if (!operand.error.empty()) {
    r.err = "qel: cannot read '" + operand.path + "': " + operand.error + '\n';
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
  Result<std::string> canonical = normalize(in.text);
  if (!canonical.ok()) {
    report_error(job, in.path, in.text, canonical.error());
    r.err = std::move(job.err);
    r.invalid = true;
    return r;
  }
  r.differs = *canonical != in.text;
  if (mode.check && r.differs) r.out += in.path + '\n';
  if (mode.diff) {
    r.out += unified_diff(in.text, *canonical, "a/" + in.path, "b/" + in.path);
  }
  if (mode.write && r.differs) {
    std::string why;
    if (rewrite_file(in.real_path, *canonical, in.stamp, why)) {
      r.rewritten = true;
    } else {
      r.err += "qel: cannot rewrite '" + in.path + "': " + why + '\n';
      r.failed = true;
    }
  }
  if (!mode.check && !mode.diff && !mode.write) r.out = std::move(*canonical);
  return r;
}

}  // namespace

int cmd_normalize(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {"-j", "--jobs"});
  if (!a.error.empty()) return usage_error(io, "normalize: " + a.error);
  Mode mode;
  unsigned jobs = default_jobs();
  for (const auto& [o, value] : a.options) {
    if (o == "--check" || o == "-l") {
      mode.check = true;
    } else if (o == "--diff" || o == "-d") {
      mode.diff = true;
    } else if (o == "-w" || o == "--write") {
      mode.write = true;
    } else if (o == "-j" || o == "--jobs") {
      const std::optional<unsigned> n = parse_jobs(value);
      if (!n) return usage_error(io, jobs_usage("normalize"));
      jobs = *n;
    } else {
      return usage_error(io, "normalize: unknown option '" + o + "'");
    }
  }
  if (mode.write && (mode.check || mode.diff)) {
    return usage_error(io, std::string("normalize: ") +
                               (mode.check ? "--check" : "--diff") +
                               " and -w cannot be used together");
  }
  if (a.operands.empty()) return usage_error(io, "normalize: no input files");
  if (mode.write) {
    for (const std::string& path : a.operands) {
      if (path == "-") {
        return usage_error(io, "normalize: -w cannot rewrite standard input");
      }
    }
  }
  const std::vector<Operand> operands = expand_operands(a.operands);
  const SharedStdin stdin_text(io, operands);
  bool failed = false, invalid = false, differs_any = false;
  uint64_t files = 0, rewritten = 0;
  map_in_order<Normalized>(
      operands.size(), jobs,
      [&](size_t i) {
        return normalize_one(operands[i], mode, stdin_text.job_io(io));
      },
      [&](size_t, Normalized& r) {
        io.out += r.out;
        io.err += r.err;
        files += r.counted ? 1 : 0;
        rewritten += r.rewritten ? 1 : 0;
        failed = failed || r.failed;
        invalid = invalid || r.invalid;
        differs_any = differs_any || r.differs;
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
