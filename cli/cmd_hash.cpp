// qel hash: "HASH  PATH" lines, like sha256sum.
#include "command.h"
#include "qel/canonical.h"
#include "walk.h"

namespace qel::cli {

int cmd_hash(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {});
  if (!a.error.empty()) return usage_error(io, "hash: " + a.error);
  if (!a.options.empty()) {
    return usage_error(io, "hash: unknown option '" + a.options[0].first + "'");
  }
  if (a.operands.empty()) return usage_error(io, "hash: no input files");
  InputReader reader(io);
  bool failed = false, invalid = false;
  for (const Operand& operand : expand_operands(a.operands)) {
    if (!operand.error.empty()) {
      io.err += "qel: cannot read '" + operand.path + "': " + operand.error + '\n';
      failed = true;
      continue;
    }
    Input in;
    if (!reader.read(operand.path, in)) {
      failed = true;
      continue;
    }
    Result<std::string> hash = semantic_hash(in.text);
    if (!hash.ok()) {
      report_error(io, in.path, in.text, hash.error());
      invalid = true;
      continue;
    }
    io.out += *hash + "  " + in.path + '\n';
  }
  return failed ? 2 : invalid ? 1 : 0;
}

}  // namespace qel::cli
