// qel hash: "HASH  PATH" lines, like sha256sum.
#include "command.h"
#include "parallel.h"
#include "qel/canonical.h"
#include "qel/check.h"
#include "walk.h"

namespace qel::cli {
namespace {

struct Hashed {
  std::string out, err;
  bool failed = false;   // unreadable: status 2
  bool invalid = false;  // does not parse: status 1
};

Hashed hash_one(const Operand& operand, Io job) {
  Hashed r;
  if (!operand.error.empty()) {
    r.err = "qel: cannot read '" + shown_path(operand.path) +
            "': " + operand.error + '\n';
    r.failed = true;
    return r;
  }
  InputReader reader(job);
  Input in;
  if (!reader.read(operand.path, in)) {
    r.err = std::move(job.err);
    r.failed = true;
    return r;
  }
  Result<std::string> hash = semantic_hash(in.text);
  if (!hash.ok()) {
    report_error(job, in.path, in.text, hash.error());
    r.err = std::move(job.err);
    r.invalid = true;
    return r;
  }
  r.out = *hash + "  " + shown_path(in.path) + '\n';
  return r;
}

}  // namespace

int cmd_hash(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {"-j", "--jobs"});
  if (!a.error.empty()) return usage_error(io, "hash: " + a.error);
  unsigned jobs = default_jobs();
  for (const auto& [name, value] : a.options) {
    if (name == "-j" || name == "--jobs") {
      const std::optional<unsigned> n = parse_jobs(value);
      if (!n) return usage_error(io, jobs_usage("hash"));
      jobs = *n;
    } else {
      return usage_error(io, "hash: unknown option '" + name + "'");
    }
  }
  if (a.operands.empty()) return usage_error(io, "hash: no input files");
  const std::vector<Operand> operands =
      distinct_files(expand_operands(a.operands, io.err));
  const SharedStdin stdin_text(io, operands);
  flush_output(io);
  bool failed = false, invalid = false;
  map_in_order<Hashed>(
      operands.size(), jobs,
      [&](size_t i) { return hash_one(operands[i], stdin_text.job_io(io)); },
      [&](size_t, Hashed& r) {
        io.out += r.out;
        io.err += r.err;
        failed = failed || r.failed;
        invalid = invalid || r.invalid;
        flush_output(io);
      });
  return failed ? 2 : invalid ? 1 : 0;
}

}  // namespace qel::cli
