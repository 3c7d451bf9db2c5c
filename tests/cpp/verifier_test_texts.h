// Contract texts for the verifier tests, and findings written as where they
// point in the text: the place is the n-th occurrence of a piece of text,
// so a table row reads like the contract it describes.
#ifndef QEL_TESTS_VERIFIER_TEST_TEXTS_H_
#define QEL_TESTS_VERIFIER_TEST_TEXTS_H_

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/parser.h"
#include "qel/verifier.h"
#include "syntax/tokenizer.h"

namespace qel::testing_texts {

// A contract about which the verifier has nothing to say.
inline constexpr const char kClean[] =
    "Contract {\n"
    "  Identity {\n"
    "    stable_id: \"payment-ledger\"\n"
    "    version: 3\n"
    "    created_timestamp: 2024-01-15T10:30:00Z\n"
    "    owner: \"treasury\"\n"
    "    semantic_hash: \"00ff\"\n"
    "  }\n"
    "  PurposeStatement {\n"
    "    narrative: \"Keeps a balance\"\n"
    "    intent_source: \"finance team\"\n"
    "    confidence_level: 0.9\n"
    "  }\n"
    "  DataSemantics {\n"
    "    state: { balance: Integer = 0, owner_id: String }\n"
    "    invariants: [\"balance >= 0\"]\n"
    "  }\n"
    "  BehavioralSemantics {\n"
    "    operations: [\n"
    "      { name: \"deposit\" precondition: \"amount > 0\"\n"
    "        parameters: { amount: Integer }\n"
    "        postcondition: \"balance == balance + amount\"\n"
    "        side_effects: [\"balance updated\"] idempotence: \"not idempotent\" }\n"
    "    ]\n"
    "  }\n"
    "  ExecutionConstraints {\n"
    "    trigger_types: [\"manual\"]\n"
    "    resource_limits: { max_memory_bytes: 1024, computation_timeout_ms: 100,\n"
    "                       max_state_size_bytes: 4096 }\n"
    "    external_permissions: []\n"
    "    sandbox_mode: \"full_isolation\"\n"
    "  }\n"
    "  HumanMachineContract {\n"
    "    system_commitments: [\"be exact\"] system_refusals: [] user_obligations: []\n"
    "  }\n"
    "}\n";

// Replacements of the first occurrence of a text.
using Edits = std::vector<std::pair<std::string, std::string>>;

inline std::string edited(std::string text, const Edits& edits) {
  for (const auto& [from, to] : edits) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "no " << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
  }
  return text;
}

// One finding: "E type" or "W coherence", its message, and where it points:
// the `nth` occurrence of `at` in the text, at the "|" in `at` if it holds
// one, else at its start.
struct Finding {
  std::string severity_kind;
  std::string message;
  std::string at;
  int nth = 1;
};

inline std::string describe(const Diagnostic& d) {
  std::string out = d.severity == Severity::kError ? "E " : "W ";
  out += diagnostic_kind_name(d.kind);
  out += d.span ? " @" + d.span->to_string() : " @none";
  out += ": " + d.message;
  return out;
}

inline std::string describe(std::string_view text, const Finding& f) {
  std::string needle = f.at;
  const size_t bar = needle.find('|');
  const size_t skip = bar == std::string::npos ? 0 : bar;
  if (bar != std::string::npos) needle.erase(bar, 1);
  size_t at = std::string_view::npos;
  for (int i = 0; i < f.nth; ++i) {
    at = text.find(needle, at == std::string_view::npos ? 0 : at + 1);
    if (at == std::string_view::npos) return "no " + f.at + " in the text";
  }
  return f.severity_kind + " @" +
         detail::span_of_byte(text, at + skip).to_string() + ": " + f.message;
}

// What the verifier reports on `text`, and what `expected` says it should.
inline std::pair<std::vector<std::string>, std::vector<std::string>> compare(
    std::string_view text, const std::vector<Finding>& expected) {
  std::vector<std::string> want;
  for (const Finding& f : expected) want.push_back(describe(text, f));
  std::vector<std::string> got;
  const Result<SyntaxTree> tree = parse_tree(text);
  if (!tree.ok()) {
    got.push_back(tree.error().to_string());
    return {got, want};
  }
  const VerificationResult result = verify(*tree);
  for (const Diagnostic& d : result.diagnostics()) got.push_back(describe(d));
  return {got, want};
}

}  // namespace qel::testing_texts

#endif  // QEL_TESTS_VERIFIER_TEST_TEXTS_H_
