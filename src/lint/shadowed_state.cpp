// L008: an operation parameter named like a state field but of another
// type. A request's inputs are merged into the state before the
// postcondition and invariants are checked, so the field then holds a
// value of the parameter's type.
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lint/lint_checks.h"

namespace qel::detail {

namespace {

// Whether every value of the parameter's type is a value of the field's:
// the same type, or an Enum whose variants the field's Enum all allows
// (an operation that moves a status to one of its values).
bool fits(const syntax::Type& parameter, const syntax::Type& field) {
  using Kind = syntax::Type::Kind;
  if (parameter.kind() == Kind::kEnum && field.kind() == Kind::kEnum) {
    std::set<std::string_view> allowed;
    for (const syntax::Text v : field.variants()) allowed.insert(v.text());
    for (const syntax::Text v : parameter.variants()) {
      if (!allowed.contains(v.text())) return false;
    }
    return true;
  }
  return parameter.text() == field.text();
}

}  // namespace

void lint_shadowed_state(const SyntaxTree& tree, std::vector<Diagnostic>& out) {
  const syntax::ContractNode contract = tree.contract();
  // By name; a repeated state field is declared by its last occurrence, as
  // the run time reads it.
  std::map<std::string_view, syntax::StateField> state;
  for (const syntax::StateField f : contract.data_semantics().state()) {
    state.insert_or_assign(f.name(), f);
  }
  if (state.empty()) return;
  for (const syntax::OperationNode op :
       contract.behavioral_semantics().operations()) {
    for (const syntax::StateField parameter : op.parameters()) {
      const auto it = state.find(parameter.name());
      if (it == state.end()) continue;
      const syntax::StateField& field = it->second;
      if (fits(parameter.type(), field.type())) continue;
      Diagnostic d = lint_finding(kParameterShadowsState,
                                  parameter_shadows_state_message(
                                      op, parameter, field),
                                  parameter.name_span());
      const uint32_t name = field.first_token();
      d.notes.push_back(
          Label{ByteRange{tree.token_offset(name), tree.token_end(name)},
                "the state field is declared here"});
      out.push_back(std::move(d));
    }
  }
}

}  // namespace qel::detail
