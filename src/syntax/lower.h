// Pieces of lowering shared by lower_contract (a finished tree) and
// parse_contract (which lowers each section as soon as it is parsed).
//
// The functions are templates over the constness of the tree part they
// read: with a const part every std::move below binds to a const rvalue and
// copies; with a part the caller owns, texts move into the model and lists
// are released as soon as they have been lowered.
#ifndef QEL_SYNTAX_LOWER_H_
#define QEL_SYNTAX_LOWER_H_

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "qel/ast.h"
#include "qel/json.h"
#include "qel/model.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

inline constexpr uint64_t kMaxVersion = 4294967295u;

// A declared state field's member value in the model: the type text, or,
// with a default, {"default": literal, "type": text}.
Json lower_state_member(const syntax::StateField& field);

template <typename Part>
inline constexpr bool kOwned = !std::is_const_v<Part>;

template <typename List>
void release(List& list) {
  if constexpr (kOwned<List>) List().swap(list);
}

// Recursion depth is that of the literal, which the parser bounds.
template <typename Literal>
Json lower_literal_value(Literal& literal) {
  switch (literal.kind) {
    case LiteralValue::Kind::kString:
      return Json(std::string(std::move(literal.text)));
    case LiteralValue::Kind::kInteger:
      // The language has no negative numbers, but keep the sign if one is
      // ever built by hand.
      if (literal.integer >= 0) {
        return Json(static_cast<uint64_t>(literal.integer));
      }
      return Json(static_cast<int64_t>(literal.integer));
    case LiteralValue::Kind::kFloat:
      // Not finite (an overlong literal becomes infinity): JSON null.
      if (!(literal.number - literal.number == 0.0)) return Json(nullptr);
      return Json(static_cast<double>(literal.number));
    case LiteralValue::Kind::kBoolean:
      return Json(static_cast<bool>(literal.boolean));
    case LiteralValue::Kind::kArray: {
      Json::Array elements;
      elements.reserve(literal.elements.size());
      for (auto& element : literal.elements) {
        elements.push_back(lower_literal_value(element));
      }
      release(literal.elements);
      return Json(std::move(elements));
    }
  }
  return Json();
}

// A declared state field's member value: the type text, or, with a default,
// {"default": literal, "type": text}.
template <typename Literal>
Json lower_state_member(const TypeExpression& type, Literal* default_value) {
  if (default_value == nullptr) return Json(type.text());
  Json::Object declared;
  declared.emplace("default", lower_literal_value(*default_value));
  declared.emplace("type", type.text());
  return Json(std::move(declared));
}

template <typename TextList>
std::vector<std::string> lower_texts(TextList& items) {
  std::vector<std::string> out;
  out.reserve(items.size());
  for (auto& item : items) out.push_back(std::move(item.value));
  release(items);
  return out;
}

// The written version when the model can hold it; saturated otherwise
// (parse_contract refuses such a version before lowering).
inline uint32_t lower_version(int64_t version) {
  if (version < 0) return 0;
  if (static_cast<uint64_t>(version) > kMaxVersion) {
    return static_cast<uint32_t>(kMaxVersion);
  }
  return static_cast<uint32_t>(version);
}

template <typename Node>
void lower_identity(Node& node, Identity& out) {
  out.stable_id = std::move(node.stable_id.value);
  out.version = lower_version(node.version.value);
  out.created_timestamp = std::move(node.created_timestamp.value);
  out.owner = std::move(node.owner.value);
  out.semantic_hash = std::move(node.semantic_hash.value);
}

template <typename Node>
void lower_purpose_statement(Node& node, PurposeStatement& out) {
  out.narrative = std::move(node.narrative.value);
  out.intent_source = std::move(node.intent_source.value);
  out.confidence_level = node.confidence_level.value;
}

// The operation's texts and side effects; `parameters` is lowered by the
// caller (from the node's list, or directly while parsing).
template <typename Node>
void lower_operation_texts(Node& node, Operation& out) {
  out.name = std::move(node.name.value);
  out.precondition = std::move(node.precondition.value);
  out.postcondition = std::move(node.postcondition.value);
  out.side_effects = lower_texts(node.side_effects);
  out.idempotence = std::move(node.idempotence.value);
}

template <typename Node>
void lower_execution_constraints(Node& node, ExecutionConstraints& out) {
  out.trigger_types = lower_texts(node.trigger_types);
  // The parser only produces non-negative integers.
  const ResourceLimitsNode& limits = node.resource_limits;
  out.resource_limits.max_memory_bytes =
      static_cast<uint64_t>(limits.max_memory_bytes.value);
  out.resource_limits.computation_timeout_ms =
      static_cast<uint64_t>(limits.computation_timeout_ms.value);
  out.resource_limits.max_state_size_bytes =
      static_cast<uint64_t>(limits.max_state_size_bytes.value);
  out.external_permissions = lower_texts(node.external_permissions);
  out.sandbox_mode = std::move(node.sandbox_mode.value);
}

template <typename Node>
void lower_human_machine_contract(Node& node, HumanMachineContract& out) {
  out.system_commitments = lower_texts(node.system_commitments);
  out.system_refusals = lower_texts(node.system_refusals);
  out.user_obligations = lower_texts(node.user_obligations);
}

}  // namespace qel::detail

#endif  // QEL_SYNTAX_LOWER_H_
