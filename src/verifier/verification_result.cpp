// The verifier's result and its JSON form.
#include <string>
#include <string_view>
#include <vector>

#include "qel/json.h"
#include "qel/verifier.h"

namespace qel {

const char* diagnostic_kind_name(DiagnosticKind kind) {
  switch (kind) {
    case DiagnosticKind::kType: return "type";
    case DiagnosticKind::kInvariant: return "invariant";
    case DiagnosticKind::kDeterminism: return "determinism";
    case DiagnosticKind::kCoherence: return "coherence";
    case DiagnosticKind::kParse: return "parse";
    case DiagnosticKind::kLint: return "lint";
    case DiagnosticKind::kChange: return "diff";
  }
  return "";
}

std::vector<const Diagnostic*> VerificationResult::errors() const {
  std::vector<const Diagnostic*> out;
  for (const Diagnostic& d : diagnostics_) {
    if (d.severity == Severity::kError) out.push_back(&d);
  }
  return out;
}

std::vector<const Diagnostic*> VerificationResult::warnings() const {
  std::vector<const Diagnostic*> out;
  for (const Diagnostic& d : diagnostics_) {
    if (d.severity == Severity::kWarning) out.push_back(&d);
  }
  return out;
}

bool VerificationResult::is_valid() const {
  for (const Diagnostic& d : diagnostics_) {
    if (d.severity == Severity::kError) return false;
  }
  return true;
}

namespace {

// Diagnostics between two questions to the interrupter: a few megabytes
// of JSON.
constexpr uint64_t kDiagnosticsPerPoll = 16384;

// Every diagnostic of one severity, in list order; members in key order.
// False when `poll` said stop.
template <typename W>
bool write_diagnostics(W& w, const VerificationResult& result,
                       Severity severity, detail::InterruptPoll& poll) {
  const char* severity_name =
      severity == Severity::kError ? "error" : "warning";
  w.begin_array();
  for (const Diagnostic& d : result.diagnostics()) {
    if (poll.tick()) return false;
    if (d.severity != severity) continue;
    w.begin_object();
    w.key("kind");
    w.string(diagnostic_kind_name(d.kind));
    w.key("message");
    w.string(d.message);
    w.key("severity");
    w.string(severity_name);
    w.end_object();
  }
  w.end_array();
  return true;
}

template <typename Out>
bool write_json(const VerificationResult& result, Out& out,
                const Interrupter& interrupter) {
  std::size_t estimate = 64;
  for (const Diagnostic& d : result.diagnostics()) {
    estimate += d.message.size() + 96;
  }
  out.reserve(out.size() + estimate);
  detail::InterruptPoll poll(interrupter, kDiagnosticsPerPoll);
  BasicJsonWriter<Out> w(out);
  w.begin_object();
  w.key("errors");
  if (!write_diagnostics(w, result, Severity::kError, poll)) return false;
  w.key("valid");
  w.boolean(result.is_valid());
  w.key("warnings");
  if (!write_diagnostics(w, result, Severity::kWarning, poll)) return false;
  w.end_object();
  return true;
}

}  // namespace

void write_verification_json(const VerificationResult& result,
                             std::string& out) {
  (void)write_json(result, out, {});
}

void write_verification_json(const VerificationResult& result, Output& out) {
  (void)write_json(result, out, {});
}

bool write_verification_json(const VerificationResult& result, Output& out,
                             const Interrupter& interrupter) {
  return write_json(result, out, interrupter);
}

}  // namespace qel
