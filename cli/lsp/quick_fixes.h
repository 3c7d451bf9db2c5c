// Quick fixes: the fixes check() attaches to the findings at the asked
// range, and a "// qel: allow CODE" for each of them.
#ifndef QEL_CLI_LSP_QUICK_FIXES_H_
#define QEL_CLI_LSP_QUICK_FIXES_H_

#include "lsp/document.h"
#include "lsp/protocol.h"

namespace qel::cli::lsp {

// Appends to `actions` the quick fixes for the findings whose range meets
// params.range of a textDocument/codeAction request, each naming its
// diagnostic; nothing when params.context.only leaves out "quickfix".
void append_quick_fixes(Session& session, const json& params, json& actions);

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_QUICK_FIXES_H_
