// The server's features, one file each: every request handler takes the
// session and the request's params and returns its answer, or throws
// RpcError (or a json exception for params of the wrong shape).
#ifndef QEL_CLI_LSP_FEATURES_H_
#define QEL_CLI_LSP_FEATURES_H_

#include <string>
#include <string_view>

#include "lsp/document.h"
#include "lsp/protocol.h"
#include "qel/check.h"
#include "qel/interrupt.h"

namespace qel::cli::lsp {

// sync.cpp: the text of open documents. A change marks its document stale
// (the server publishes stale documents' diagnostics once no input waits);
// each returns the notification to send at once: the empty diagnostics of
// a closed document, or nothing.
std::string did_open(Session& session, const json& params);
std::string did_change(Session& session, const json& params);
std::string did_save(Session& session, const json& params);
std::string did_close(Session& session, const json& params);

// diagnostics.cpp: the publishDiagnostics notification of a document;
// empty when `interrupter` stopped the analysis.
std::string diagnostics_notification(const Session& session,
                                     const std::string& uri, Document& doc,
                                     const Interrupter& interrupter = {});

// settings.cpp: workspace/didChangeConfiguration's "qel" settings, and
// `options` with each setting the client gave in place of its own.
void did_change_configuration(Session& session, const json& params);
CheckOptions with_client_settings(CheckOptions options,
                                  const ClientSettings& settings);

// rename.cpp
Answer prepare_rename(Session& session, const json& params);
Answer rename(Session& session, const json& params);
Answer document_highlight(Session& session, const json& params);
// semantic_tokens.cpp: the legend goes with the server's capabilities.
json semantic_tokens_legend();
Answer semantic_tokens_full(Session& session, const json& params);
// ranges.cpp
Answer folding_range(Session& session, const json& params);
Answer selection_range(Session& session, const json& params);
// edits.cpp: the few edits that turn the document into `new_text`: its
// changed runs of lines, not the whole text.
json minimal_edits(const Protocol& protocol, const Document& doc,
                   std::string_view new_text);

Answer document_symbol(Session& session, const json& params);  // symbols.cpp
Answer hover(Session& session, const json& params);            // hover.cpp
Answer definition(Session& session, const json& params);       // names.cpp
Answer references(Session& session, const json& params);       // names.cpp
Answer completion(Session& session, const json& params);  // completion.cpp
Answer code_action(Session& session, const json& params);  // code_actions.cpp
Answer formatting(Session& session, const json& params);  // formatting.cpp

// The code action kinds offered.
inline constexpr std::string_view kWriteHashKind = "quickfix";
inline constexpr std::string_view kNormalizeKind = "source.normalize";

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_FEATURES_H_
