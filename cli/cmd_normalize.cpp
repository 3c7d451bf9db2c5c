// qel normalize: the canonical text; --check lists the files that are not
// canonical, --diff shows how, -w rewrites them.
#include "command.h"
#include "diff.h"
#include "qel/canonical.h"
#include "walk.h"

namespace qel::cli {

int cmd_normalize(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {});
  if (!a.error.empty()) return usage_error(io, "normalize: " + a.error);
  bool check = false, diff = false, write = false;
  for (const auto& [o, value] : a.options) {
    if (o == "--check" || o == "-l") check = true;
    else if (o == "--diff" || o == "-d") diff = true;
    else if (o == "-w" || o == "--write") write = true;
    else return usage_error(io, "normalize: unknown option '" + o + "'");
  }
  if (write && (check || diff)) {
    return usage_error(io, std::string("normalize: ") +
                               (check ? "--check" : "--diff") +
                               " and -w cannot be used together");
  }
  if (a.operands.empty()) return usage_error(io, "normalize: no input files");
  if (write) {
    for (const std::string& path : a.operands) {
      if (path == "-") {
        return usage_error(io, "normalize: -w cannot rewrite standard input");
      }
    }
  }
  InputReader reader(io);
  bool failed = false;  // unreadable or not rewritten: status 2
  bool invalid = false;
  bool differs_any = false;
  uint64_t files = 0, rewritten = 0;
  for (const Operand& operand : expand_operands(a.operands)) {
    if (!operand.error.empty()) {
      io.err += "qel: cannot read '" + operand.path + "': " + operand.error + '\n';
      failed = true;
      continue;
    }
    ++files;
    Input in;
    if (!reader.read(operand.path, in, write)) {
      failed = true;
      continue;
    }
    Result<std::string> canonical = normalize(in.text);
    if (!canonical.ok()) {
      report_error(io, in.path, in.text, canonical.error());
      invalid = true;
      continue;
    }
    const bool differs = *canonical != in.text;
    differs_any = differs_any || differs;
    if (check && differs) io.out += in.path + '\n';
    if (diff) {
      io.out += unified_diff(in.text, *canonical, "a/" + in.path,
                             "b/" + in.path);
    }
    if (write && differs) {
      std::string why;
      if (rewrite_file(in.real_path, *canonical, in.stamp, why)) {
        ++rewritten;
      } else {
        io.err += "qel: cannot rewrite '" + in.path + "': " + why + '\n';
        failed = true;
      }
    }
    if (!check && !diff && !write) io.out += *canonical;
  }
  if (write) {
    io.err += "qel: rewrote " + std::to_string(rewritten) + " of " +
              std::to_string(files) + (files == 1 ? " file\n" : " files\n");
  }
  if (failed) return 2;
  if (invalid || ((check || diff) && differs_any)) return 1;
  return 0;
}

}  // namespace qel::cli
