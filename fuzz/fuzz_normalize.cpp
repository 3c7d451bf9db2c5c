// Fuzzes the canonical form and the semantic hash: the canonical text of an
// accepted contract parses back to itself, and the hash agrees with the
// hash line of the canonical text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "contract_generator.h"
#include "fuzz_check.h"
#include "qel/canonical.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "syntax/tokenizer.h"

namespace {

using qel::fuzz::check;
using qel::fuzz::check_equal;

bool is_lower_hex_digest(std::string_view hash) {
  if (hash.size() != 64) return false;
  for (char c : hash) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The canonical text copies texts unescaped, so a text holding a quotation
// mark or a backslash cannot be read back; neither can a float too large
// for a double, written inf.0.
bool reads_back(std::string_view source, std::string_view canonical) {
  if (canonical.find("inf.0") != std::string_view::npos) return false;
  auto tokens = qel::tokenize(source);
  if (!tokens.ok()) return false;
  for (const qel::SpannedToken& t : *tokens) {
    if (t.token.kind == qel::TokenKind::kStringLiteral &&
        t.token.text.find_first_of("\"\\") != std::string::npos) {
      return false;
    }
  }
  return true;
}

// The same contract written with every order-insensitive list in
// descending order of its keys (equal keys keep their order, which the
// canonical form keeps too) and another semantic_hash, made by moving the
// lists' items within the text: each slot between two separators receives
// another item, and nested lists are rewritten inside the items that hold
// them.
class Rewriter {
 public:
  explicit Rewriter(const qel::SyntaxTree& tree)
      : t_(tree), src_(tree.source()) {}

  std::string run() {
    const qel::syntax::ContractNode c = t_.contract();
    replace_token_ = c.identity().semantic_hash().token();
    const qel::syntax::DataSemantics data = c.data_semantics();
    add_fields(data.state());
    add_texts(data.invariants());
    std::vector<Item> operations;
    for (const qel::syntax::OperationNode op : c.behavioral_semantics().operations()) {
      operations.push_back(Item{std::string(op.name().text()), op.first_token(),
                                op.last_token()});
      add_fields(op.parameters());
      add_texts(op.side_effects());
    }
    add(std::move(operations));
    const qel::syntax::ExecutionConstraints ec = c.execution_constraints();
    add_texts(ec.trigger_types());
    add_texts(ec.external_permissions());
    const qel::syntax::HumanMachineContract hmc = c.human_machine_contract();
    add_texts(hmc.system_commitments());
    add_texts(hmc.system_refusals());
    add_texts(hmc.user_obligations());
    if (const auto ext = c.extensions()) {
      std::vector<Item> systems;
      for (const qel::syntax::SystemExtension s : ext->systems()) {
        systems.push_back(
            Item{std::string(s.name()), s.first_token(), s.last_token()});
        std::vector<Item> fields;
        for (const qel::syntax::CustomField f : s.fields()) {
          fields.push_back(
              Item{std::string(f.name()), f.first_token(), f.last_token()});
        }
        add(std::move(fields));
      }
      add(std::move(systems));
    }
    std::string out(src_.substr(0, t_.token_offset(0)));
    emit(0, t_.token_count() - 1, out);
    return out;
  }

 private:
  struct Item {
    std::string key;
    uint32_t first, last;  // tokens
  };

  void add(std::vector<Item> items) {
    if (items.size() < 2) return;
    const uint32_t first = items.front().first;
    lists_.emplace(first, std::move(items));
  }

  void add_texts(const qel::syntax::TextList& texts) {
    std::vector<Item> items;
    for (const qel::syntax::Text t : texts) {
      items.push_back(Item{std::string(t.text()), t.token(), t.token()});
    }
    add(std::move(items));
  }

  // Nesting is bounded by the parser, so this recursion is too.
  void add_type(const qel::syntax::Type& type) {
    using Kind = qel::syntax::Type::Kind;
    switch (type.kind()) {
      case Kind::kPrimitive: return;
      case Kind::kArray: add_type(type.element()); return;
      case Kind::kMap:
        add_type(type.key());
        add_type(type.value());
        return;
      case Kind::kObject: add_fields(type.fields()); return;
      case Kind::kEnum: add_texts(type.variants()); return;
    }
  }

  void add_fields(const qel::syntax::StateFields& fields) {
    std::vector<Item> items;
    for (const qel::syntax::StateField f : fields) {
      items.push_back(Item{std::string(f.name()), f.first_token(), f.last_token()});
      add_type(f.type());
    }
    add(std::move(items));
  }

  // Tokens first through last, with the gaps between them, lists rewritten;
  // an item of a list starts where its list does, and is not that list.
  void emit(uint32_t first, uint32_t last, std::string& out,
            bool item = false) {
    uint32_t t = first;
    for (;;) {
      const auto list = item && t == first ? lists_.end() : lists_.find(t);
      if (list != lists_.end()) {
        t = emit_list(list->second, out);
      } else {
        out += t == replace_token_ ? std::string_view("\"0f\"")
                                   : t_.token_text(t);
      }
      if (t == last) return;
      out += src_.substr(t_.token_end(t), t_.token_offset(t + 1) - t_.token_end(t));
      ++t;
    }
  }

  // Returns the list's last token.
  uint32_t emit_list(const std::vector<Item>& items, std::string& out) {
    std::vector<size_t> order(items.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return items[b].key < items[a].key;
    });
    for (size_t slot = 0; slot < items.size(); ++slot) {
      const Item& item = items[order[slot]];
      emit(item.first, item.last, out, true);
      if (slot + 1 == items.size()) break;
      const uint32_t from = t_.token_end(items[slot].last);
      const uint32_t to = t_.token_offset(items[slot + 1].first);
      // Two items that touched may not touch in their new order.
      out += from == to ? std::string_view(" ") : src_.substr(from, to - from);
    }
    return items.back().last;
  }

  const qel::SyntaxTree& t_;
  std::string_view src_;
  uint32_t replace_token_ = 0;
  std::map<uint32_t, std::vector<Item>> lists_;  // by first token
};

int check_text(std::string_view text) {
  auto tree = qel::parse_tree(text);
  auto canonical = qel::normalize(text);
  auto hash = qel::semantic_hash(text);

  if (!tree.ok()) {
    const std::string error = tree.error().to_string();
    check(!canonical.ok(), "normalize accepts what parse refuses", error);
    check_equal(canonical.error().to_string(), error,
                "normalize fails like parse");
    check(!hash.ok(), "semantic_hash accepts what parse refuses", error);
    check_equal(hash.error().to_string(), error,
                "semantic_hash fails like parse");
    return 0;
  }
  check(canonical.ok(), "normalize fails on a parsed text",
        canonical.ok() ? std::string_view() : canonical.error().to_string());
  check(hash.ok(), "semantic_hash fails on a parsed text");
  check(is_lower_hex_digest(*hash), "the hash is 64 lower-case hex digits",
        *hash);

  const std::string hash_line = "    semantic_hash: \"" + *hash + "\",\n";
  check(canonical->find(hash_line) != std::string::npos,
        "semantic_hash equals the hash line of normalize", *canonical, *hash);
  check(!canonical->empty() && canonical->back() == '\n',
        "the canonical text ends with a line feed", *canonical);

  // Order and the written hash do not matter.
  const std::string rewritten = Rewriter(*tree).run();
  auto canonical_rewritten = qel::normalize(rewritten);
  check(canonical_rewritten.ok(), "the rewritten text parses", rewritten,
        canonical_rewritten.ok() ? std::string_view()
                                 : canonical_rewritten.error().to_string());
  check_equal(*canonical_rewritten, *canonical,
              "the canonical text ignores order and written hash");

  // The tree-level functions give what the text-level entry points give.
  check_equal(qel::serialize_canonical(*tree), *canonical,
              "serialize_canonical(parse_tree) equals normalize");
  check_equal(qel::compute_semantic_hash(*tree), *hash,
              "compute_semantic_hash of the tree");

  if (!reads_back(text, *canonical)) return 0;
  auto again = qel::normalize(*canonical);
  check(again.ok(), "the canonical text parses", *canonical,
        again.ok() ? std::string_view() : again.error().to_string());
  check_equal(*again, *canonical, "the canonical text is a fixed point");
  auto hash_again = qel::semantic_hash(*canonical);
  check(hash_again.ok(), "the canonical text hashes");
  check_equal(*hash_again, *hash, "the canonical text keeps the hash");
  return 0;
}

}  // namespace

// An input that starts with NUL is read as choices for the contract
// generator, so the checks also see valid contracts of every shape.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (qel::fuzz::is_generator_input(data, size)) {
    return check_text(qel::fuzz::generate_contract(data + 1, size - 1));
  }
  return check_text(
      std::string_view(reinterpret_cast<const char*>(data), size));
}
