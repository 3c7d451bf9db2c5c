#include "canonical/tree_order.h"

namespace qel::detail {

namespace {

const std::string& text_key(const SpannedText& text) { return text.value; }

template <typename Node>
const std::string& name_key(const Node& node) {
  return node.name.value;
}

// Visits the types still to be normalised. Sorting one level does not depend
// on any other level, so the visiting order is free.
class TypeNormalizer {
 public:
  void run(TypeExpression& root) {
    push(root);
    drain();
  }

  // Sorts state fields (or parameters) by name and normalises their types.
  void sort_state_fields(std::vector<StateFieldNode>& fields) {
    stable_sort_by_key(fields, name_key<StateFieldNode>);
    for (StateFieldNode& field : fields) push(field.type);
    drain();
  }

 private:
  void drain() {
    while (!pending_.empty()) {
      TypeExpression& type = *pending_.back();
      pending_.pop_back();
      switch (type.kind) {
        case TypeExpression::Kind::kPrimitive:
          break;
        case TypeExpression::Kind::kArray:
          push_child(type.element.get());
          break;
        case TypeExpression::Kind::kMap:
          push_child(type.key.get());
          push_child(type.value.get());
          break;
        case TypeExpression::Kind::kObject:
          stable_sort_by_key(type.fields, name_key<StateFieldNode>);
          for (StateFieldNode& field : type.fields) push(field.type);
          break;
        case TypeExpression::Kind::kEnum:
          sort_texts(type.variants);
          break;
      }
    }
  }

  void push(TypeExpression& type) {
    // Primitives are the common case and need no visit.
    if (type.kind != TypeExpression::Kind::kPrimitive) pending_.push_back(&type);
  }
  void push_child(TypeExpression* type) {
    if (type != nullptr) push(*type);
  }

  std::vector<TypeExpression*> pending_;
};

}  // namespace

void sort_texts(std::vector<SpannedText>& texts) {
  stable_sort_by_key(texts, text_key);
}

void normalize_type_fields(TypeExpression& type) {
  if (type.kind == TypeExpression::Kind::kPrimitive) return;
  TypeNormalizer().run(type);
}

void sort_tree(ContractNode& tree) {
  // One normaliser for the whole tree, so its stack is allocated once.
  TypeNormalizer types;
  DataSemanticsNode& data = tree.data_semantics;
  types.sort_state_fields(data.state);
  sort_texts(data.invariants);

  std::vector<OperationNode>& operations = tree.behavioral_semantics.operations;
  stable_sort_by_key(operations, name_key<OperationNode>);
  for (OperationNode& operation : operations) {
    types.sort_state_fields(operation.parameters);
    sort_texts(operation.side_effects);
  }

  ExecutionConstraintsNode& constraints = tree.execution_constraints;
  sort_texts(constraints.trigger_types);
  sort_texts(constraints.external_permissions);

  HumanMachineContractNode& hmc = tree.human_machine_contract;
  sort_texts(hmc.system_commitments);
  sort_texts(hmc.system_refusals);
  sort_texts(hmc.user_obligations);

  if (tree.extensions) {
    std::vector<SystemExtensionNode>& systems = tree.extensions->systems;
    stable_sort_by_key(systems, name_key<SystemExtensionNode>);
    for (SystemExtensionNode& system : systems) {
      stable_sort_by_key(system.fields, name_key<CustomFieldNode>);
    }
  }
}

}  // namespace qel::detail
