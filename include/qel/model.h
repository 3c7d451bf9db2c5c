// The contract model: the position-free record that lowering builds and the
// executor reads. Field order here is the key order of its JSON form.
#ifndef QEL_MODEL_H_
#define QEL_MODEL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "qel/json.h"

namespace qel {

struct Identity {
  std::string stable_id;
  uint32_t version = 0;
  std::string created_timestamp;
  std::string owner;
  std::string semantic_hash;  // as written; never computed here
};

struct PurposeStatement {
  std::string narrative;
  std::string intent_source;
  double confidence_level = 0.0;
};

struct DataSemantics {
  // Always an object: field name -> type text, or {"default", "type"}.
  Json state = Json::Object{};
  std::vector<std::string> invariants;
};

struct Operation {
  std::string name;
  std::string precondition;
  Json parameters = Json::Object{};  // parameter name -> type text
  std::string postcondition;
  std::vector<std::string> side_effects;
  std::string idempotence;
};

struct BehavioralSemantics {
  std::vector<Operation> operations;
};

struct ResourceLimits {
  uint64_t max_memory_bytes = 0;
  uint64_t computation_timeout_ms = 0;
  uint64_t max_state_size_bytes = 0;
};

struct ExecutionConstraints {
  std::vector<std::string> trigger_types;
  ResourceLimits resource_limits;
  std::vector<std::string> external_permissions;
  std::string sandbox_mode;
};

struct HumanMachineContract {
  std::vector<std::string> system_commitments;
  std::vector<std::string> system_refusals;
  std::vector<std::string> user_obligations;
};

struct Contract {
  Identity identity;
  PurposeStatement purpose_statement;
  DataSemantics data_semantics;
  BehavioralSemantics behavioral_semantics;
  ExecutionConstraints execution_constraints;
  HumanMachineContract human_machine_contract;
};

// The pretty-printed JSON form of a contract, appended to `out`.
void write_contract_json(const Contract& contract, std::string& out);

}  // namespace qel

#endif  // QEL_MODEL_H_
