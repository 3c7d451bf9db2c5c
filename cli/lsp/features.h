// The server's features, one file each: every request handler takes the
// session and the request's params and returns its answer, or throws
// RpcError (or a json exception for params of the wrong shape).
#ifndef QEL_CLI_LSP_FEATURES_H_
#define QEL_CLI_LSP_FEATURES_H_

#include <string>

#include "lsp/document.h"
#include "lsp/protocol.h"

namespace qel::cli::lsp {

// sync.cpp: the text of open documents. Each returns the notification to
// send next: the document's diagnostics (none, once it is closed), or
// nothing.
std::string did_open(Session& session, const json& params);
std::string did_change(Session& session, const json& params);
std::string did_save(Session& session, const json& params);
std::string did_close(Session& session, const json& params);

// diagnostics.cpp: the publishDiagnostics notification of a document.
std::string diagnostics_notification(const Protocol& protocol,
                                     const std::string& uri, Document& doc);

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
