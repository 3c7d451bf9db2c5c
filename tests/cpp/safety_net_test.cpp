// The safety net of fmt and normalize: a table of rewrites it must let
// through or refuse, and the command's behaviour when it refuses one: exit
// status 2, a message asking for a report, the file left as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "qel/canonical.h"
#include "qel/format.h"
#include "qel/parser.h"
#include "text_command.h"

namespace qel {
namespace {

constexpr std::string_view kContract = R"(Contract {
  Identity {
    stable_id: "net" version: 1 created_timestamp: 2026-01-15T10:30:00Z
    owner: "team" semantic_hash: "abc"
  }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics {
    state: { a: Integer = 1, b: Object {} } // the state
    invariants: ["a >= 0", "a < 9"]
  }
  BehavioralSemantics { operations: [] }
  ExecutionConstraints {
    trigger_types: ["manual"]
    resource_limits: { max_memory_bytes: 1024 computation_timeout_ms: 1000 max_state_size_bytes: 1024 }
    external_permissions: [] sandbox_mode: "full_isolation"
  }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
}
)";

std::string replaced(std::string_view text, std::string_view from,
                     std::string_view to) {
  std::string s(text);
  const size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

struct NetCase {
  const char* name;
  std::string rewritten;
  const char* fault;  // the start of the reason; empty: let through
};

class FormatNetTest : public testing::TestWithParam<NetCase> {};

TEST_P(FormatNetTest, LetsThroughOnlyTheSameContract) {
  const Result<SyntaxTree> tree = parse_tree(kContract);
  ASSERT_TRUE(tree.ok());
  const std::optional<std::string> why =
      same_contract(*tree, GetParam().rewritten, true);
  const std::string_view fault = GetParam().fault;
  if (fault.empty()) {
    EXPECT_FALSE(why.has_value()) << *why;
  } else {
    ASSERT_TRUE(why.has_value());
    EXPECT_EQ(why->substr(0, fault.size()), fault) << *why;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Net, FormatNetTest,
    testing::Values(
        NetCase{"unchanged", std::string(kContract), ""},
        NetCase{"layout_and_commas", replaced(replaced(kContract, "\"a < 9\"]", "\"a < 9\",\n\n]"), "max_memory_bytes: 1024 ", "max_memory_bytes: 1024,\n"), ""},
        NetCase{"comment_loses_trailing_spaces", replaced(kContract, "// the state", "// the state   "), ""},
        NetCase{"closing_brace_lost", replaced(kContract, "Object {}", "Object {"), "the new text does not parse"},
        NetCase{"text_changed", replaced(kContract, "\"a < 9\"", "\"a < 8\""), "the token '\"a < 9\"' at line 9:28 became '\"a < 8\"'"},
        NetCase{"comment_gains_words", replaced(kContract, "// the state", "// the state x"), "the token '// the state' at line 8:45 became '// the state x'"},
        NetCase{"comment_dropped", replaced(kContract, " // the state", ""), "the token '// the state'"},
        NetCase{"comment_moved", replaced(replaced(kContract, " // the state", ""), "state:", "// the state\n state:"), "the token 'state' at line 8:5 became '// the state'"},
        NetCase{"number_respelt", replaced(kContract, "= 1,", "= 01,"), "the token '1'"},
        NetCase{"items_reordered", replaced(kContract, "[\"a >= 0\", \"a < 9\"]", "[\"a < 9\", \"a >= 0\"]"), "the token '\"a >= 0\"'"}),
    [](const testing::TestParamInfo<NetCase>& info) { return info.param.name; });

// What the net promises, computed the long way: the new text parses, has
// the same tokens but for commas (comments without trailing layout), and
// the same nodes.
bool same_contract_by_definition(const SyntaxTree& before,
                                 std::string_view text) {
  const Result<SyntaxTree> after = parse_tree(text);
  if (!after.ok()) return false;
  const auto tokens = [](const SyntaxTree& t) {
    std::string out;
    for (uint32_t i = 0; i < t.token_count(); ++i) {
      if (t.token_kind(i) == TokenKind::kComma) continue;
      std::string_view s = t.token_text(i);
      while (!s.empty() && std::string_view(" \t\r\f").find(s.back()) !=
                               std::string_view::npos) {
        s.remove_suffix(1);
      }
      out += token_kind_name(t.token_kind(i));
      out.append(s).push_back('\n');
    }
    return out;
  };
  if (tokens(before) != tokens(*after)) return false;
  if (before.node_count() != after->node_count()) return false;
  for (uint32_t n = 0; n < before.node_count(); ++n) {
    const SyntaxTree::Node &x = before.node(n), &y = after->node(n);
    if (x.kind != y.kind || x.field != y.field || x.next != y.next) {
      return false;
    }
  }
  return true;
}

// Every text one byte away from the formatted contract or from the
// original: the net's quick walk over an unparsed text must never let
// through what the definition refuses, nor refuse what it allows. The
// contract has a comma in every kind of gap, a Map, Extensions and a
// comment that ends the text without a line feed.
TEST(FormatNet, OneByteEditsAgreeWithTheDefinition) {
  const std::string original = std::string(kContract) +
                               "Extensions { sys { a: [1, [2.5,],], b: "
                               "\"x\", } other { m: true } "
                               "}, // end";
  // Tokens that one space keeps apart, which without it scan as one, and
  // a comment after a gap where no comma may go.
  const std::string source = replaced(
      replaced(replaced(replaced(original, "Object {}",
                                 "Map<String, Integer>, c: Object {},"),
                        "10:30:00Z\n    owner", "10:30:00Z owner"),
               "m: true", "m: true n: 1"),
      "operations: [] }", "operations: [] } // none");
  const Result<SyntaxTree> tree = parse_tree(source);
  ASSERT_TRUE(tree.ok()) << tree.error().to_string();
  const Result<std::string> formatted = format_contract(source);
  ASSERT_TRUE(formatted.ok());
  int refused = 0, let_through = 0;
  for (const std::string& base : {source, *formatted}) {
    for (std::size_t at = 0; at <= base.size(); ++at) {
      std::vector<std::string> edits;
      if (at < base.size()) edits.push_back(std::string(base).erase(at, 1));
      for (const char* insert : {",", " ", "\n", "x", "/", "0", "]", "-"}) {
        edits.push_back(std::string(base).insert(at, insert));
      }
      for (const std::string& text : edits) {
        const bool same = same_contract_by_definition(*tree, text);
        const std::optional<std::string> why = same_contract(*tree, text, true);
        ASSERT_EQ(!why.has_value(), same) << text;
        ++(same ? let_through : refused);
      }
    }
  }
  // Both answers are common, so both paths were taken.
  EXPECT_GT(let_through, 1000);
  EXPECT_GT(refused, 1000);
}

TEST(NormalizeNet, LetsThroughTheCanonicalTextOnly) {
  const Result<SyntaxTree> tree = parse_tree(kContract);
  ASSERT_TRUE(tree.ok());
  const std::string canonical = serialize_canonical(*tree);
  EXPECT_FALSE(same_contract(*tree, canonical, false).has_value());
  // A canonical text of another contract carries a hash it does not have.
  const std::string other = replaced(canonical, "a >= 0", "a >= 1");
  const std::optional<std::string> why = same_contract(*tree, other, false);
  ASSERT_TRUE(why.has_value());
  EXPECT_EQ(why->substr(0, 29), "the semantic hash changed fro");
  EXPECT_EQ(same_contract(*tree, canonical.substr(0, 40), false)->substr(0, 27),
            "the new text does not parse");
}

// What normalize's check compares: the tree's canonical text, rendered in
// pieces, against a text whose hash value is read as zeros.
TEST(NormalizeNet, FindsTheFirstByteThatDiffersFromTheRendering) {
  const Result<SyntaxTree> tree = parse_tree(kContract);
  ASSERT_TRUE(tree.ok());
  const CanonicalText c = render_canonical(*tree);
  ASSERT_EQ(c.text, serialize_canonical(*tree));
  const std::size_t last = c.text.size() - 1;
  std::string zeros = c.text, changed = c.text, in_hash = c.text;
  zeros.replace(c.hash_offset, 64, std::string(64, '0'));
  changed[200] ^= 1;
  in_hash[c.hash_offset + 63] = 'x';
  const struct {
    std::string text;
    std::optional<std::size_t> difference;
  } rows[] = {
      {c.text, std::nullopt},
      {zeros, std::nullopt},
      {changed, 200},
      {c.text.substr(0, last), last},
      {c.text + "\n", c.text.size()},
      {std::string(), 0},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(canonical_difference(*tree, row.text, c.hash_offset),
              row.difference);
  }
  // The hash value is never compared; the bytes around it are.
  EXPECT_EQ(canonical_difference(*tree, in_hash, c.hash_offset),
            std::nullopt);
  EXPECT_EQ(canonical_difference(*tree, zeros, c.hash_offset + 1),
            c.hash_offset + 64);
}

// A writer that loses the last closing brace, as a broken formatter would.
Rewrite losing_a_brace(std::string_view text) {
  Rewrite r = format_checked(text);
  if (!r.text.ok()) return r;
  std::string broken = *r.text;
  broken.erase(broken.rfind('}'), 1);
  const Result<SyntaxTree> tree = parse_tree(text);
  std::optional<std::string> fault = same_contract(*tree, broken, true);
  return {std::move(broken), fault ? *fault : std::string()};
}

TEST(SafetyNetCommand, RefusesTheFileAndLeavesItAsItWas) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("qel-net-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "c.qel").string();
  std::ofstream(path) << kContract;
  for (const char* mode : {"-w", "--check", "--diff", ""}) {
    cli::Io io;
    std::vector<std::string> args = {"fmt", path};
    if (*mode) args.insert(args.begin() + 1, mode);
    EXPECT_EQ(cli::run_text_command("fmt", losing_a_brace, args, io), 2) << mode;
    EXPECT_EQ(io.out, "") << mode;
    EXPECT_EQ(io.err.rfind("qel: internal error: fmt of '" + path +
                               "' would change the contract (the new text "
                               "does not parse: ",
                           0),
              0u)
        << io.err;
    EXPECT_NE(io.err.find("the file is left as it was. Please report this as "
                          "a bug, with the file.\n"),
              std::string::npos)
        << io.err;
    std::ifstream in(path);
    std::stringstream now;
    now << in.rdbuf();
    EXPECT_EQ(now.str(), kContract) << mode;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qel
