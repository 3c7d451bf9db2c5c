// Lowering the syntax tree to the model, read through the views. The model
// keeps the last of a repeated field, a repeated state or parameter name
// once (the later declaration), and no extensions.
#include <string>
#include <utility>

#include "qel/json.h"
#include "qel/model.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "syntax/lower.h"
#include "util/dispose.h"

namespace qel {

namespace {

// Items (a text, a state field; an operation counts a few) between two
// questions to the interrupter: about a millisecond of lowering.
constexpr uint64_t kItemsPerPoll = 4096;

// Stops early, short, once `poll` has said stop.
std::vector<std::string> lower_texts(const syntax::TextList& list,
                                     detail::InterruptPoll& poll) {
  std::vector<std::string> out;
  for (const syntax::Text t : list) {
    if (poll.tick()) break;
    out.emplace_back(t.text());
  }
  return out;
}

}  // namespace

// Recursion as deep as the literal, which the parser bounds.
Json lower_literal(const syntax::Literal& literal) {
  switch (literal.kind()) {
    case syntax::Literal::Kind::kString:
      return Json(std::string(literal.text()));
    case syntax::Literal::Kind::kInteger:
      // The language has no negative numbers.
      return Json(static_cast<uint64_t>(literal.integer()));
    case syntax::Literal::Kind::kFloat: {
      const double d = literal.number();
      // Not finite (an overlong literal becomes infinity): JSON null.
      if (!(d - d == 0.0)) return Json(nullptr);
      return Json(d);
    }
    case syntax::Literal::Kind::kBoolean:
      return Json(literal.boolean());
    case syntax::Literal::Kind::kArray: {
      Json::Array elements;
      for (const syntax::Literal e : literal.elements()) {
        elements.push_back(lower_literal(e));
      }
      return Json(std::move(elements));
    }
  }
  return Json();
}

namespace detail {

Json lower_state_member(const syntax::StateField& field) {
  const std::optional<syntax::Literal> default_value = field.default_value();
  if (!default_value) return Json(field.type().text());
  Json::Object declared;
  declared.emplace("default", lower_literal(*default_value));
  declared.emplace("type", field.type().text());
  return Json(std::move(declared));
}

}  // namespace detail

namespace {

// False when `poll` said stop, `out` then lowered in part.
bool lower_into(const SyntaxTree& tree, detail::InterruptPoll& poll,
                Contract& out) {
  const syntax::ContractNode c = tree.contract();

  const syntax::Identity identity = c.identity();
  out.identity.stable_id = identity.stable_id().text();
  out.identity.version = detail::lower_version(identity.version().value());
  out.identity.created_timestamp = identity.created_timestamp().text();
  out.identity.owner = identity.owner().text();
  out.identity.semantic_hash = identity.semantic_hash().text();

  const syntax::PurposeStatement purpose = c.purpose_statement();
  out.purpose_statement.narrative = purpose.narrative().text();
  out.purpose_statement.intent_source = purpose.intent_source().text();
  out.purpose_statement.confidence_level = purpose.confidence_level().value();

  const syntax::DataSemantics data = c.data_semantics();
  Json::Object state;
  for (const syntax::StateField field : data.state()) {
    if (poll.tick()) return false;
    // A repeated name: the later declaration wins. Fields are often
    // written in key order, which the end hint turns into O(1) inserts.
    state.insert_or_assign(state.end(), std::string(field.name()),
                           detail::lower_state_member(field));
  }
  out.data_semantics.state = Json(std::move(state));
  out.data_semantics.invariants = lower_texts(data.invariants(), poll);

  for (const syntax::OperationNode node : c.behavioral_semantics().operations()) {
    if (poll.tick(4)) return false;
    Operation& op = out.behavioral_semantics.operations.emplace_back();
    op.name = node.name().text();
    op.precondition = node.precondition().text();
    // Parameter defaults are not part of the model.
    Json::Object parameters;
    for (const syntax::StateField p : node.parameters()) {
      parameters.insert_or_assign(parameters.end(), std::string(p.name()),
                                  Json(p.type().text()));
    }
    op.parameters = Json(std::move(parameters));
    op.postcondition = node.postcondition().text();
    op.side_effects = lower_texts(node.side_effects(), poll);
    op.idempotence = node.idempotence().text();
  }

  const syntax::ExecutionConstraints constraints = c.execution_constraints();
  ExecutionConstraints& ec = out.execution_constraints;
  ec.trigger_types = lower_texts(constraints.trigger_types(), poll);
  const syntax::ResourceLimits limits = constraints.resource_limits();
  // The parser only produces non-negative integers.
  ec.resource_limits.max_memory_bytes =
      static_cast<uint64_t>(limits.max_memory_bytes().value());
  ec.resource_limits.computation_timeout_ms =
      static_cast<uint64_t>(limits.computation_timeout_ms().value());
  ec.resource_limits.max_state_size_bytes =
      static_cast<uint64_t>(limits.max_state_size_bytes().value());
  ec.external_permissions =
      lower_texts(constraints.external_permissions(), poll);
  ec.sandbox_mode = constraints.sandbox_mode().text();

  const syntax::HumanMachineContract human = c.human_machine_contract();
  out.human_machine_contract.system_commitments =
      lower_texts(human.system_commitments(), poll);
  out.human_machine_contract.system_refusals =
      lower_texts(human.system_refusals(), poll);
  out.human_machine_contract.user_obligations =
      lower_texts(human.user_obligations(), poll);
  return !poll.stopped();
}

}  // namespace

Contract lower_contract(const SyntaxTree& tree) {
  Contract out;
  detail::InterruptPoll never({}, kItemsPerPoll);
  (void)lower_into(tree, never, out);
  return out;
}

Result<Contract> lower_contract(const SyntaxTree& tree,
                                const Interrupter& interrupter) {
  Contract out;
  detail::InterruptPoll poll(interrupter, kItemsPerPoll);
  if (!lower_into(tree, poll, out)) {
    // Freeing what was built would take about as long as building it.
    detail::dispose_later(std::move(out));
    return Error::interrupted();
  }
  return out;
}

}  // namespace qel
