// `qel lsp`: a language server over standard input and output. It reuses
// the check command's analysis, so an editor shows exactly what `qel check`
// reports.
#ifndef QEL_CLI_LSP_SERVER_H_
#define QEL_CLI_LSP_SERVER_H_

#include <string>
#include <vector>

#include "cli.h"

namespace qel::cli {

int cmd_lsp(const std::vector<std::string>& args, Io& io);

namespace lsp {

// Serves the messages read from `in`, answering on `out`, one at a time
// and in order, until `exit` or the end of the input. Returns the exit
// status: 0 when `shutdown` came first, 1 otherwise.
int serve(int in, int out);

}  // namespace lsp
}  // namespace qel::cli

#endif  // QEL_CLI_LSP_SERVER_H_
