// What `qel check` finds in a document, as the protocol's diagnostics: each
// finding's whole byte range, its code, the rule's name, and its notes as
// related information.
#include <algorithm>
#include <string>
#include <vector>

#include "config.h"
#include "lsp/features.h"
#include "qel/check.h"
#include "qel/json.h"
#include "qel/rules.h"

namespace qel::cli::lsp {

std::string diagnostics_notification(const Session& session,
                                     const std::string& uri, Document& doc,
                                     const Interrupter& interrupter) {
  const Protocol& protocol = session.protocol;
  const CheckOptions options =
      with_client_settings(check_options_for_uri(uri), session.settings);
  const Result<CheckResult> checked =
      check(doc.contract(), options, interrupter);
  // Stopped because newer input is waiting: it is read first.
  if (!checked.ok()) return {};
  std::string body =
      "{\"jsonrpc\":\"2.0\",\"method\":\"textDocument/publishDiagnostics\","
      "\"params\":{\"uri\":";
  append_json_string(body, uri);
  body += ",\"version\":";
  append_int(body, doc.version);
  body += ",\"diagnostics\":[";
  // Ranges count from the contract's start, after a byte order mark; a
  // finding without a place stands at the start.
  const auto in_document = [&](const qel::ByteRange& r, bool placed) {
    if (!placed) return ByteRange{doc.body, doc.body};
    return ByteRange{doc.body + r.begin, doc.body + std::max(r.begin, r.end)};
  };
  const std::vector<Diagnostic>& findings = checked->findings;
  for (size_t i = 0; i < findings.size(); ++i) {
    const Diagnostic& d = findings[i];
    if (i > 0) body += ',';
    body += "{\"range\":";
    protocol.append_range(body, doc, in_document(d.range, d.span.has_value()));
    body += d.severity == Severity::kError ? ",\"severity\":1,\"code\":"
                                           : ",\"severity\":2,\"code\":";
    append_json_string(body, d.code.empty()
                                 ? std::string_view(diagnostic_kind_name(d.kind))
                                 : d.code);
    body += ",\"source\":\"qel\",\"message\":";
    append_json_string(body, d.message);
    // The protocol's codeDescription takes only a URL: the rule's name
    // goes with the finding's data instead.
    if (const Rule* rule = find_rule(d.code)) {
      body += ",\"data\":{\"rule\":";
      append_json_string(body, rule->name);
      body += '}';
    }
    if (!d.notes.empty()) {
      body += ",\"relatedInformation\":[";
      for (size_t n = 0; n < d.notes.size(); ++n) {
        if (n > 0) body += ',';
        body += "{\"location\":{\"uri\":";
        append_json_string(body, uri);
        body += ",\"range\":";
        protocol.append_range(body, doc, in_document(d.notes[n].range, true));
        body += "},\"message\":";
        append_json_string(body, d.notes[n].text);
        body += '}';
      }
      body += ']';
    }
    body += '}';
  }
  body += "]}}";
  return body;
}

}  // namespace qel::cli::lsp
