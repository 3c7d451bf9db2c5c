// Fuzzes the canonical form and the semantic hash: the canonical text of an
// accepted contract parses back to itself, and the hash agrees with the
// hash line of the canonical text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "qel/canonical.h"
#include "qel/parser.h"
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

// Orders a list by descending key, equal keys kept in written order.
template <typename T, typename Key>
void descend(std::vector<T>& items, Key key) {
  std::stable_sort(items.begin(), items.end(),
                   [&](const T& a, const T& b) { return key(b) < key(a); });
}

const std::string& text_key(const qel::SpannedText& t) { return t.value; }

template <typename Named>
const std::string& name_key(const Named& n) {
  return n.name.value;
}

void descend_fields(std::vector<qel::StateFieldNode>& fields);

void descend_type(qel::TypeExpression& type) {
  using Kind = qel::TypeExpression::Kind;
  switch (type.kind) {
    case Kind::kPrimitive: break;
    case Kind::kArray: descend_type(*type.element); break;
    case Kind::kMap:
      descend_type(*type.key);
      descend_type(*type.value);
      break;
    case Kind::kObject: descend_fields(type.fields); break;
    case Kind::kEnum: descend(type.variants, text_key); break;
  }
}

void descend_fields(std::vector<qel::StateFieldNode>& fields) {
  for (qel::StateFieldNode& field : fields) descend_type(field.type);
  descend(fields, name_key<qel::StateFieldNode>);
}

// The same contract written with every order-insensitive list reversed
// (items with equal keys keep their order, which the canonical form keeps
// too) and another written semantic_hash.
qel::ContractNode rewritten(qel::ContractNode tree) {
  tree.identity.semantic_hash.value += "f";
  descend_fields(tree.data_semantics.state);
  descend(tree.data_semantics.invariants, text_key);
  for (qel::OperationNode& op : tree.behavioral_semantics.operations) {
    descend_fields(op.parameters);
    descend(op.side_effects, text_key);
  }
  descend(tree.behavioral_semantics.operations, name_key<qel::OperationNode>);
  descend(tree.execution_constraints.trigger_types, text_key);
  descend(tree.execution_constraints.external_permissions, text_key);
  descend(tree.human_machine_contract.system_commitments, text_key);
  descend(tree.human_machine_contract.system_refusals, text_key);
  descend(tree.human_machine_contract.user_obligations, text_key);
  if (tree.extensions) {
    for (qel::SystemExtensionNode& system : tree.extensions->systems) {
      descend(system.fields, name_key<qel::CustomFieldNode>);
    }
    descend(tree.extensions->systems, name_key<qel::SystemExtensionNode>);
  }
  return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto tree = qel::parse(text);
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
  check_equal(qel::serialize_canonical(qel::normalize_ast(rewritten(*tree))),
              *canonical, "the canonical text ignores order and written hash");

  // The tree-level steps give the same text as the text-level entry point.
  qel::ContractNode normalised = qel::normalize_ast(std::move(*tree));
  check_equal(qel::serialize_canonical(normalised), *canonical,
              "serialize_canonical(normalize_ast(parse)) equals normalize");
  check_equal(qel::compute_semantic_hash(normalised), *hash,
              "compute_semantic_hash of the normalised tree");

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
