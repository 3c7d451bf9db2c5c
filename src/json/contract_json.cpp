#include <string_view>

#include "qel/model.h"

namespace qel {
namespace {

void write_texts(JsonWriter& w, std::string_view name,
                 const std::vector<std::string>& texts) {
  w.key(name);
  w.begin_array();
  for (const std::string& t : texts) w.string(t);
  w.end_array();
}

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

}  // namespace qel
