// Fuzzes the contract comparison. The input is two contract texts split at
// the first NUL byte (without one, the text is compared with itself). Any
// two contracts that parse are compared without fault, every change is
// positioned on both sides; and a contract compared with itself, its
// formatted text or its canonical text shows no change at all.
// An input that starts with NUL is read as choices for the contract
// generator: its next two bytes name one choice and its other value, and
// the contract so changed is compared with the one first chosen.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contract_generator.h"
#include "fuzz_check.h"
#include "qel/canonical.h"
#include "qel/contract_diff.h"
#include "qel/format.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"

namespace {

using qel::fuzz::check;

std::string listing(const std::vector<qel::Change>& changes) {
  std::string out;
  for (const qel::Change& c : changes) {
    out += c.rule().code;
    out += ' ';
    out += c.reason;
    out += '\n';
  }
  return out;
}

void check_unchanged(const qel::SyntaxTree& tree, std::string_view other_text,
                     const char* property) {
  auto other = qel::parse_tree(other_text);
  check(other.ok(), property, tree.source(), other_text);
  const std::vector<qel::Change> changes = qel::diff_contracts(tree, *other);
  check(changes.empty(), property, listing(changes), other_text);
}

void check_pair(std::string_view old_text, std::string_view new_text) {
  auto old_tree = qel::parse_tree(old_text);
  if (!old_tree.ok()) return;
  auto new_tree = qel::parse_tree(new_text);
  if (new_tree.ok()) {
    for (const qel::Change& c : qel::diff_contracts(*old_tree, *new_tree)) {
      check(c.old_span.has_value() && c.new_span.has_value() &&
                c.old_span->line >= 1 && c.new_span->line >= 1,
            "every change is positioned in both versions", c.reason);
    }
  }

  check_unchanged(*old_tree, old_text, "a contract has no change from itself");
  auto formatted = qel::format_contract(old_text);
  check(formatted.ok(), "a parsed contract formats", old_text);
  check_unchanged(*old_tree, *formatted, "formatting changes nothing");
  // The canonical text of a float too large for a double does not parse.
  auto canonical = qel::normalize(old_text);
  if (canonical.ok() && canonical->find("inf.0") == std::string::npos) {
    check_unchanged(*old_tree, *canonical, "normalizing changes nothing");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (qel::fuzz::is_generator_input(data, size) && size > 3) {
    std::vector<uint8_t> choices(data + 3, data + size);
    const std::string old_text =
        qel::fuzz::generate_contract(choices.data(), choices.size());
    choices[data[1] % choices.size()] = data[2];
    const std::string new_text =
        qel::fuzz::generate_contract(choices.data(), choices.size());
    check_pair(old_text, new_text);
    return 0;
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  check_pair(input.substr(0, nul),
             nul == std::string_view::npos ? input : input.substr(nul + 1));
  return 0;
}
