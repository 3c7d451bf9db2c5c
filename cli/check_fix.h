// `qel check --fix` and `qel check --diff`: the safe fixes of each file's
// findings, written into the file or shown as a unified diff; and the
// reading of a file that is to be rewritten byte for byte but for the
// fixes, which `qel hash -w` shares.
#ifndef QEL_CLI_CHECK_FIX_H_
#define QEL_CLI_CHECK_FIX_H_

#include <string>
#include <vector>

#include "cli.h"
#include "command.h"
#include "qel/check.h"
#include "walk.h"

namespace qel::cli {

struct FixMode {
  bool write = false;  // --fix
  bool diff = false;   // --diff
};

// Runs check --fix or --diff over `operands`, each checked with its own
// options (`per_file[i]` for `operands[i]`). --fix rewrites every file
// that a fix changes, then reports the findings that remain in `format`
// as check does; --diff prints the diffs only and exits 1 when there is
// one. Refuses standard input for --fix.
int run_check_fix(const std::vector<Operand>& operands,
                  const std::vector<CheckOptions>& per_file,
                  const FixMode& mode, const std::string& format,
                  const RenderStyle& style, unsigned jobs, Io& io);

// Reads `path` for a rewrite (as InputReader::read with for_rewrite), but
// keeps a leading byte order mark in `bom`, so that the rewrite can put it
// back: a fix changes the bytes it must and no other. False with `why`
// set, after saying it on `io.err`.
bool read_for_rewrite(const std::string& path, Io& io, Input& in,
                      std::string& bom, std::string& why);

}  // namespace qel::cli

#endif  // QEL_CLI_CHECK_FIX_H_
