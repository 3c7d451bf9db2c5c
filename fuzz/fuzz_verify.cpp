// Fuzzes the verifier: it never fails on a parsed tree, it finds exactly
// what a plainly written second verifier finds, and its JSON is valid JSON
// that lists exactly the result's errors and warnings.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "qel/api.h"
#include "qel/parser.h"
#include "qel/verifier.h"
#include "reference_verifier.h"

namespace {

using qel::fuzz::check;
using qel::fuzz::check_equal;

void check_entries(const nlohmann::json& entries,
                   const std::vector<const qel::Diagnostic*>& expected,
                   const char* severity, const std::string& json) {
  check(entries.is_array() && entries.size() == expected.size(),
        "one JSON entry per diagnostic", json);
  for (size_t i = 0; i < expected.size(); ++i) {
    const nlohmann::json& entry = entries[i];
    check(entry.is_object() && entry.size() == 3, "three members per entry",
          json);
    check(entry.at("severity") == severity, "the entry's severity", json);
    check(entry.at("kind") == qel::diagnostic_kind_name(expected[i]->kind),
          "the entry's kind", json);
    check(entry.at("message") == expected[i]->message, "the entry's message",
          json);
  }
}

std::string describe(const qel::Diagnostic& d) {
  std::string out = d.severity == qel::Severity::kError ? "error " : "warning ";
  out += qel::diagnostic_kind_name(d.kind);
  out += " ";
  out += d.span ? d.span->to_string() + " offset " + std::to_string(d.span->offset)
                : "no span";
  out += ": ";
  out += d.message;
  return out;
}

void check_against_reference(const qel::SyntaxTree& tree,
                             const qel::VerificationResult& result) {
  const std::vector<qel::Diagnostic> expected =
      qel::fuzz::ReferenceVerifier().run(tree);
  const std::vector<qel::Diagnostic>& found = result.diagnostics();
  for (size_t i = 0; i < found.size() || i < expected.size(); ++i) {
    const std::string a = i < found.size() ? describe(found[i]) : "(none)";
    const std::string b = i < expected.size() ? describe(expected[i]) : "(none)";
    check_equal(a, b, "the same diagnostic as the second verifier");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto tree = qel::parse_tree(text);
  auto api = qel::verify_json(text);
  if (!tree.ok()) {
    check(!api.ok(), "verify_json accepts what parse_tree refuses");
    check_equal(api.error().to_string(), tree.error().to_string(),
                "verify_json fails like parse_tree");
    return 0;
  }
  check(api.ok(), "verify_json fails on a parsed text");

  const qel::VerificationResult result = qel::verify(*tree);
  check_against_reference(*tree, result);
  for (const qel::Diagnostic& d : result.diagnostics()) {
    check(d.span.has_value(), "every diagnostic has a span", d.message);
    check(!d.message.empty(), "every diagnostic has a message");
  }
  const auto errors = result.errors();
  const auto warnings = result.warnings();
  check(errors.size() + warnings.size() == result.diagnostics().size(),
        "errors and warnings partition the diagnostics");
  check(result.is_valid() == errors.empty(), "valid exactly without errors");

  std::string json;
  qel::write_verification_json(result, json);
  check_equal(*api, json, "verify_json renders verify's result");
  const auto doc = nlohmann::json::parse(json, nullptr, false);
  check(!doc.is_discarded(), "the verification JSON is valid JSON", json);
  check(doc.is_object() && doc.size() == 3, "three top-level members", json);
  check(doc.at("valid") == result.is_valid(), "\"valid\" agrees", json);
  check_entries(doc.at("errors"), errors, "error", json);
  check_entries(doc.at("warnings"), warnings, "warning", json);
  return 0;
}
