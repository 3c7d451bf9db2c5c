// The contract JSON: the model's JSON form, written from the model or
// straight from the syntax tree. Both write the same bytes; the second
// builds nothing of the model.
#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/model.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "canonical/tree_order.h"
#include "syntax/lower.h"

namespace qel {
namespace {

template <typename W>
void write_texts(W& w, std::string_view name,
                 const std::vector<std::string>& texts) {
  w.key(name);
  w.begin_array();
  for (const std::string& t : texts) w.string(t);
  w.end_array();
}

template <typename W>
void write_texts(W& w, std::string_view name,
                 const syntax::TextList& texts) {
  w.key(name);
  w.begin_array();
  for (const syntax::Text t : texts) w.string(t.text());
  w.end_array();
}

// As lower_literal would give it; recursion as deep as the literal, which
// the parser bounds.
template <typename W>
void write_literal(W& w, const syntax::Literal& literal) {
  switch (literal.kind()) {
    case syntax::Literal::Kind::kString:
      w.string(literal.text());
      return;
    case syntax::Literal::Kind::kInteger:
      w.unsigned_integer(static_cast<uint64_t>(literal.integer()));
      return;
    case syntax::Literal::Kind::kFloat: {
      const double d = literal.number();
      if (d - d == 0.0) {
        w.number(d);
      } else {
        w.null();
      }
      return;
    }
    case syntax::Literal::Kind::kBoolean:
      w.boolean(literal.boolean());
      return;
    case syntax::Literal::Kind::kArray:
      w.begin_array();
      for (const syntax::Literal e : literal.elements()) write_literal(w, e);
      w.end_array();
      return;
  }
}

// A block of state fields or parameters as an object keyed by name in byte
// order, where of equal names the last written counts: with `defaults`,
// a field with a default becomes {"default", "type"}.
// False when `poll` said stop, the object then unfinished.
class StateWriter {
 public:
  StateWriter(const SyntaxTree& tree, detail::InterruptPoll& poll)
      : tree_(tree), poll_(poll) {}

  template <typename W>
  bool write(W& w, const syntax::StateFields& fields, bool defaults) {
    members_.clear();
    for (const syntax::StateField f : fields) {
      members_.emplace_back(f.name(), f.index());
    }
    // Sorted by name, equal names in written order.
    if (!detail::sort_keyed(members_, poll_)) return false;
    w.begin_object();
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (poll_.tick()) return false;
      if (i + 1 < members_.size() &&
          members_[i].key() == members_[i + 1].key()) {
        continue;
      }
      const syntax::StateField field(tree_, members_[i].ref);
      w.key(members_[i].key());
      type_text_.clear();
      field.type().append_text(type_text_);
      const std::optional<syntax::Literal> default_value =
          defaults ? field.default_value() : std::nullopt;
      if (!default_value) {
        w.string(type_text_);
        continue;
      }
      w.begin_object();
      w.key("default");
      write_literal(w, *default_value);
      w.key("type");
      w.string(type_text_);
      w.end_object();
    }
    w.end_object();
    return true;
  }

 private:
  const SyntaxTree& tree_;
  detail::InterruptPoll& poll_;
  detail::KeyedList members_;  // reused from block to block
  std::string type_text_;
};

}  // namespace

void write_contract_json(const Contract& c, std::string& out) {
  JsonWriter w(out);
  w.begin_object();

  w.key("identity");
  w.begin_object();
  w.key("stable_id"); w.string(c.identity.stable_id);
  w.key("version"); w.unsigned_integer(c.identity.version);
  w.key("created_timestamp"); w.string(c.identity.created_timestamp);
  w.key("owner"); w.string(c.identity.owner);
  w.key("semantic_hash"); w.string(c.identity.semantic_hash);
  w.end_object();

  w.key("purpose_statement");
  w.begin_object();
  w.key("narrative"); w.string(c.purpose_statement.narrative);
  w.key("intent_source"); w.string(c.purpose_statement.intent_source);
  w.key("confidence_level"); w.number(c.purpose_statement.confidence_level);
  w.end_object();

  w.key("data_semantics");
  w.begin_object();
  w.key("state"); w.value(c.data_semantics.state);
  write_texts(w, "invariants", c.data_semantics.invariants);
  w.end_object();

  w.key("behavioral_semantics");
  w.begin_object();
  w.key("operations");
  w.begin_array();
  for (const Operation& op : c.behavioral_semantics.operations) {
    w.begin_object();
    w.key("name"); w.string(op.name);
    w.key("precondition"); w.string(op.precondition);
    w.key("parameters"); w.value(op.parameters);
    w.key("postcondition"); w.string(op.postcondition);
    write_texts(w, "side_effects", op.side_effects);
    w.key("idempotence"); w.string(op.idempotence);
    w.end_object();
  }
  w.end_array();
  w.end_object();

  const ExecutionConstraints& ec = c.execution_constraints;
  w.key("execution_constraints");
  w.begin_object();
  write_texts(w, "trigger_types", ec.trigger_types);
  w.key("resource_limits");
  w.begin_object();
  w.key("max_memory_bytes");
  w.unsigned_integer(ec.resource_limits.max_memory_bytes);
  w.key("computation_timeout_ms");
  w.unsigned_integer(ec.resource_limits.computation_timeout_ms);
  w.key("max_state_size_bytes");
  w.unsigned_integer(ec.resource_limits.max_state_size_bytes);
  w.end_object();
  write_texts(w, "external_permissions", ec.external_permissions);
  w.key("sandbox_mode"); w.string(ec.sandbox_mode);
  w.end_object();

  const HumanMachineContract& hm = c.human_machine_contract;
  w.key("human_machine_contract");
  w.begin_object();
  write_texts(w, "system_commitments", hm.system_commitments);
  write_texts(w, "system_refusals", hm.system_refusals);
  write_texts(w, "user_obligations", hm.user_obligations);
  w.end_object();

  w.end_object();
}

namespace {

// State fields and parameters between two questions to the interrupter
// (an operation counts a few): about a millisecond of writing.
constexpr uint64_t kFieldsPerPoll = 4096;

// The same members in the same order, each read from the tree when its
// turn comes: sections may be written in any field order, and a repeated
// field reads as its last occurrence. False when `interrupter` said stop,
// `out` then holding a part of the text.
template <typename Out>
bool write_tree_json(const SyntaxTree& tree, Out& out,
                     const Interrupter& interrupter) {
  const syntax::ContractNode c = tree.contract();
  BasicJsonWriter<Out> w(out);
  detail::InterruptPoll poll(interrupter, kFieldsPerPoll);
  StateWriter state(tree, poll);
  w.begin_object();

  const syntax::Identity identity = c.identity();
  w.key("identity");
  w.begin_object();
  w.key("stable_id"); w.string(identity.stable_id().text());
  w.key("version");
  w.unsigned_integer(detail::lower_version(identity.version().value()));
  w.key("created_timestamp"); w.string(identity.created_timestamp().text());
  w.key("owner"); w.string(identity.owner().text());
  w.key("semantic_hash"); w.string(identity.semantic_hash().text());
  w.end_object();

  const syntax::PurposeStatement purpose = c.purpose_statement();
  w.key("purpose_statement");
  w.begin_object();
  w.key("narrative"); w.string(purpose.narrative().text());
  w.key("intent_source"); w.string(purpose.intent_source().text());
  w.key("confidence_level"); w.number(purpose.confidence_level().value());
  w.end_object();

  const syntax::DataSemantics data = c.data_semantics();
  w.key("data_semantics");
  w.begin_object();
  w.key("state");
  if (!state.write(w, data.state(), true)) return false;
  write_texts(w, "invariants", data.invariants());
  w.end_object();

  w.key("behavioral_semantics");
  w.begin_object();
  w.key("operations");
  w.begin_array();
  for (const syntax::OperationNode op : c.behavioral_semantics().operations()) {
    if (poll.tick(4)) return false;
    w.begin_object();
    w.key("name"); w.string(op.name().text());
    w.key("precondition"); w.string(op.precondition().text());
    w.key("parameters");
    // Parameter defaults are not part of the model.
    if (!state.write(w, op.parameters(), false)) return false;
    w.key("postcondition"); w.string(op.postcondition().text());
    write_texts(w, "side_effects", op.side_effects());
    w.key("idempotence"); w.string(op.idempotence().text());
    w.end_object();
  }
  w.end_array();
  w.end_object();

  const syntax::ExecutionConstraints ec = c.execution_constraints();
  const syntax::ResourceLimits limits = ec.resource_limits();
  w.key("execution_constraints");
  w.begin_object();
  write_texts(w, "trigger_types", ec.trigger_types());
  w.key("resource_limits");
  w.begin_object();
  // The parser only produces non-negative integers.
  w.key("max_memory_bytes");
  w.unsigned_integer(static_cast<uint64_t>(limits.max_memory_bytes().value()));
  w.key("computation_timeout_ms");
  w.unsigned_integer(
      static_cast<uint64_t>(limits.computation_timeout_ms().value()));
  w.key("max_state_size_bytes");
  w.unsigned_integer(
      static_cast<uint64_t>(limits.max_state_size_bytes().value()));
  w.end_object();
  write_texts(w, "external_permissions", ec.external_permissions());
  w.key("sandbox_mode"); w.string(ec.sandbox_mode().text());
  w.end_object();

  const syntax::HumanMachineContract hm = c.human_machine_contract();
  w.key("human_machine_contract");
  w.begin_object();
  write_texts(w, "system_commitments", hm.system_commitments());
  write_texts(w, "system_refusals", hm.system_refusals());
  write_texts(w, "user_obligations", hm.user_obligations());
  w.end_object();

  w.end_object();
  return true;
}

}  // namespace

void write_contract_json(const SyntaxTree& tree, std::string& out) {
  (void)write_tree_json(tree, out, {});
}

void write_contract_json(const SyntaxTree& tree, Output& out) {
  (void)write_tree_json(tree, out, {});
}

bool write_contract_json(const SyntaxTree& tree, Output& out,
                         const Interrupter& interrupter) {
  return write_tree_json(tree, out, interrupter);
}

}  // namespace qel
