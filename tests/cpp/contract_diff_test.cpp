// A contract change as a finding: its code, severity and message, the new
// side's token as its place and range, and the old side's as a note.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "qel/contract_diff.h"

namespace qel {
namespace {

constexpr std::string_view kBase =
    "Contract {\n"
    "  Identity { stable_id: \"shop\" version: 1 created_timestamp: "
    "2026-01-01T00:00:00Z owner: \"t\" semantic_hash: \"\" }\n"
    "  PurposeStatement { narrative: \"n\" intent_source: \"t\" "
    "confidence_level: 0.5 }\n"
    "  DataSemantics { state: { stock: Integer = 0 } invariants: [] }\n"
    "  BehavioralSemantics { operations: [] }\n"
    "  ExecutionConstraints { trigger_types: [\"manual\"] resource_limits: "
    "{ max_memory_bytes: 65536, computation_timeout_ms: 1000, "
    "max_state_size_bytes: 65536 } external_permissions: [] sandbox_mode: "
    "\"none\" }\n"
    "  HumanMachineContract { system_commitments: [] system_refusals: [] "
    "user_obligations: [] }\n"
    "}\n";

// Version 2 of kBase with one edit.
std::string version_2(std::string_view from, std::string_view to) {
  std::string text(kBase);
  text.replace(text.find("version: 1"), 10, "version: 2");
  text.replace(text.find(from), from.size(), to);
  return text;
}

std::string_view in(std::string_view text, ByteRange r) {
  return text.substr(r.begin, r.end - r.begin);
}

struct Row {
  const char* name;
  std::string_view from, to;  // the edit making version 2
  std::string_view code;
  Severity severity;
  std::string_view new_token, old_token;  // what the ranges cover
};

const Row kRows[] = {
    {"stable id", "\"shop\"", "\"store\"", "D001", Severity::kError,
     "\"store\"", "\"shop\""},
    {"state field added", "stock: Integer = 0 }",
     "stock: Integer = 0, sold: Integer }", "D302", Severity::kWarning,
     "sold", "DataSemantics"},
    {"limit lowered", "max_memory_bytes: 65536", "max_memory_bytes: 512",
     "D401", Severity::kError, "512", "65536"},
};

TEST(ContractDiffTest, ChangesAreFindingsOfTheNewText) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    const std::string new_text = version_2(row.from, row.to);
    Result<std::vector<Change>> changes = diff_contract_texts(kBase, new_text);
    ASSERT_TRUE(changes.ok());
    ASSERT_EQ(changes->size(), 1u);
    const Diagnostic d = change_diagnostic(changes->front());
    EXPECT_EQ(d.code, row.code);
    EXPECT_EQ(d.kind, DiagnosticKind::kChange);
    EXPECT_EQ(d.severity, row.severity);
    EXPECT_EQ(d.message, changes->front().reason);
    ASSERT_TRUE(d.span.has_value());
    EXPECT_EQ(d.span->byte, d.range.begin);
    EXPECT_EQ(in(new_text, d.range), row.new_token);
    ASSERT_EQ(d.notes.size(), 1u);
    EXPECT_EQ(in(kBase, d.notes[0].range), row.old_token);
  }
}

TEST(ContractDiffTest, ANewContractHasNoNote) {
  const Change added{DiffCode::kNewContract, std::nullopt, Span{1, 1, 0},
                     "no contract before"};
  const Diagnostic d = change_diagnostic(added);
  EXPECT_TRUE(d.notes.empty());
  EXPECT_EQ(d.code, "D005");
}

// A parameter removed and another of the same type added may be one
// renamed: both changes say so, their classes unchanged. Pairs are one to
// one, by canonical type.
TEST(ContractDiffTest, PossibleRenamesAreNoted) {
  const auto with_parameters = [](std::string_view parameters) {
    return version_2("operations: []",
                     "operations: [{ name: \"sell\" precondition: \"\" "
                     "parameters: { " +
                         std::string(parameters) +
                         " } postcondition: \"\" side_effects: [] "
                         "idempotence: \"no\" }]");
  };
  struct RenameRow {
    std::string_view old_parameters, new_parameters;
    // Each change as "CODE note", in the order found.
    std::vector<std::string> expected;
  };
  const RenameRow rows[] = {
      {"memo: String", "note: String",
       {"D104 possibly renamed to note, added with the same type",
        "D103 possibly a rename of memo, removed with the same type"}},
      {"memo: String", "note: Integer", {"D104 ", "D103 "}},
      {"a: Enum [\"x\", \"y\"], b: Enum [\"x\", \"y\"]",
       "c: Enum [\"y\", \"x\"]",
       {"D104 possibly renamed to c, added with the same type", "D104 ",
        "D103 possibly a rename of a, removed with the same type"}},
  };
  for (const RenameRow& row : rows) {
    SCOPED_TRACE(row.old_parameters);
    std::string old_text = with_parameters(row.old_parameters);
    old_text.replace(old_text.find("version: 2"), 10, "version: 1");
    Result<std::vector<Change>> changes =
        diff_contract_texts(old_text, with_parameters(row.new_parameters));
    ASSERT_TRUE(changes.ok());
    std::vector<std::string> got;
    for (const Change& c : *changes) {
      got.push_back(std::string(c.rule().code) + " " + c.note);
      EXPECT_EQ(change_diagnostic(c).help, c.note);
    }
    EXPECT_EQ(got, row.expected);
  }
}

}  // namespace
}  // namespace qel
