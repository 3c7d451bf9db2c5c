// qel hash: "HASH  PATH" lines, like sha256sum; with -w the hash written
// into each file's semantic_hash, and with --check the files whose written
// hash is not their own.
#include "check_fix.h"
#include "command.h"
#include "config.h"
#include "parallel.h"
#include "qel/canonical.h"
#include "qel/check.h"
#include "qel/fixes.h"
#include "qel/parser.h"
#include "walk.h"

namespace qel::cli {
namespace {

enum class Mode { kPrint, kCheck, kWrite };

struct Hashed {
  std::string out, err;
  bool failed = false;   // unreadable or not rewritten: status 2
  bool invalid = false;  // does not parse: status 1
  bool counted = false;  // a file was read
  bool stale = false;    // the written hash is not the computed one
  bool rewritten = false;
};

// Writes the hash into the one literal and nowhere else, and proves it:
// the new text parses, has the same hash, and holds it.
void write_hash(const Input& in, const std::string& bom, const SyntaxTree& tree,
                Hashed& r) {
  const std::optional<Fix> fix = hash_fix(tree);
  if (!fix) return;
  r.stale = true;
  const std::string shown = shown_path(in.path);
  const std::string text = apply_edits(in.text, fix->edits);
  const Result<SyntaxTree> written = parse_tree(text);
  if (!written.ok() || hash_fix(*written) ||
      compute_semantic_hash(*written) != compute_semantic_hash(tree)) {
    r.err += "qel: internal error: hash -w of '" + shown +
             "' would change the contract; the file is left as it was. "
             "Please report this as a bug, with the file.\n";
    r.failed = true;
    return;
  }
  std::string why;
  if (rewrite_file(in.real_path, bom + text, in.stamp, why)) {
    r.rewritten = true;
  } else {
    if (!shutting_down()) {
      r.err += "qel: cannot rewrite '" + shown + "': " + why + '\n';
    }
    r.failed = true;
  }
}

Hashed hash_one(const Operand& operand, Mode mode, Io job) {
  Hashed r;
  if (!operand.error.empty()) {
    r.err = "qel: cannot read '" + shown_path(operand.path) +
            "': " + operand.error + '\n';
    r.failed = true;
    return r;
  }
  InputReader reader(job);
  Input in;
  std::string bom, why;
  if (mode == Mode::kWrite ? !read_for_rewrite(operand.path, job, in, bom, why)
                           : !reader.read(operand.path, in)) {
    r.err = std::move(job.err);
    r.failed = true;
    return r;
  }
  r.counted = true;
  if (mode != Mode::kPrint) {
    const Result<SyntaxTree> tree = parse_tree(in.text);
    if (!tree.ok()) {
      report_error(job, in.path, in.text, tree.error());
      r.err = std::move(job.err);
      r.invalid = true;
      return r;
    }
    if (mode == Mode::kWrite) {
      write_hash(in, bom, *tree, r);
    } else if (hash_fix(*tree)) {
      r.stale = true;
      r.out = shown_path(in.path) + '\n';
    }
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
  const Args a = Args::parse(args, {"-j", "--jobs", "--config"});
  if (!a.error.empty()) return usage_error(io, "hash: " + a.error);
  unsigned jobs = default_jobs();
  bool check = false, write = false;
  ConfigSource source;
  for (const auto& [name, value] : a.options) {
    std::string why;
    if (config_option(name, value, source, why)) {
      if (!why.empty()) return usage_error(io, "hash: " + why);
    } else if (name == "-j" || name == "--jobs") {
      const std::optional<unsigned> n = parse_jobs(value);
      if (!n) return usage_error(io, jobs_usage("hash"));
      jobs = *n;
    } else if (name == "--check") {
      check = true;
    } else if (name == "-w" || name == "--write") {
      write = true;
    } else {
      return usage_error(io, "hash: unknown option '" + name + "'");
    }
  }
  if (check && write) {
    return usage_error(io, "hash: --check and -w cannot be used together");
  }
  if (a.operands.empty()) return usage_error(io, "hash: no input files");
  for (const std::string& path : a.operands) {
    if (write && path == "-") {
      return usage_error(io, "hash: -w cannot rewrite standard input");
    }
  }
  const Mode mode = write ? Mode::kWrite : check ? Mode::kCheck : Mode::kPrint;
  ConfigFinder configs(source);  // for exclude
  const std::vector<Operand> operands =
      distinct_files(expand_operands(a.operands, io.err, &configs, true));
  for (const Operand& operand : operands) configs.load_config_for(operand.path);
  if (const std::string error = configs.error(); !error.empty()) {
    io.err += error + '\n';
    return 2;
  }
  const SharedStdin stdin_text(io, operands);
  flush_output(io);
  bool failed = false, invalid = false, stale = false;
  uint64_t files = 0, rewritten = 0;
  map_in_order<Hashed>(
      operands.size(), jobs,
      [&](size_t i) {
        return hash_one(operands[i], mode, stdin_text.job_io(io));
      },
      [&](size_t, Hashed& r) {
        io.out += r.out;
        io.err += r.err;
        failed = failed || r.failed;
        invalid = invalid || r.invalid;
        stale = stale || r.stale;
        files += r.counted ? 1 : 0;
        rewritten += r.rewritten ? 1 : 0;
        flush_output(io);
      });
  if (write) {
    io.err += "qel: rewrote " + std::to_string(rewritten) + " of " +
              std::to_string(files) + (files == 1 ? " file\n" : " files\n");
  }
  if (failed) return 2;
  return invalid || (check && stale) ? 1 : 0;
}

}  // namespace qel::cli
