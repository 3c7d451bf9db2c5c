// L002 and L003: defaults the run time never applies. A state field's
// default is judged by the executor's own initial value for the field's
// lowered declaration; a parameter's default never reaches the model at all,
// and neither does a default inside an Object type.
#include <string>
#include <vector>

#include "lint/lint_checks.h"
#include "qel/executor.h"
#include "qel/json.h"
#include "syntax/lower.h"

namespace qel::detail {

namespace {

// Every field with a default inside `type`'s Object types, however deeply
// nested. An explicit stack: type nesting is bounded by the parser, but a
// walk need not rely on it.
template <typename Visit>
void for_each_nested_default(const syntax::Type& type, Visit&& visit) {
  std::vector<syntax::Type> todo{type};
  while (!todo.empty()) {
    const syntax::Type t = todo.back();
    todo.pop_back();
    switch (t.kind()) {
      case syntax::Type::Kind::kPrimitive:
      case syntax::Type::Kind::kEnum:
        break;
      case syntax::Type::Kind::kArray:
        todo.push_back(t.element());
        break;
      case syntax::Type::Kind::kMap:
        todo.push_back(t.value());
        todo.push_back(t.key());
        break;
      case syntax::Type::Kind::kObject: {
        std::vector<syntax::Type> fields;
        for (const syntax::StateField f : t.fields()) {
          fields.push_back(f.type());
          if (const std::optional<syntax::Literal> d = f.default_value()) {
            visit(f, *d);
          }
        }
        // Visited first to last, as a stack gives them back.
        todo.insert(todo.end(), fields.rbegin(), fields.rend());
        break;
      }
    }
  }
}

}  // namespace

void lint_defaults(const SyntaxTree& tree, std::vector<Diagnostic>& out) {
  const auto add = [&](std::string_view code, std::string message,
                       const syntax::Literal& literal) {
    out.push_back(lint_finding(code, std::move(message), literal.span()));
  };
  const syntax::ContractNode contract = tree.contract();

  for (const syntax::StateField field : contract.data_semantics().state()) {
    if (const std::optional<syntax::Literal> d = field.default_value()) {
      const Json declared = lower_state_member(field);
      const Value start = ExecutionState::default_for_type(declared);
      const Json* written = declared.find("default");
      if (written != nullptr && !(start == Value::from_json(*written))) {
        add(kIgnoredStateDefault, ignored_state_default_message(field, start),
            *d);
      }
    }
    for_each_nested_default(
        field.type(),
        [&](const syntax::StateField& nested, const syntax::Literal& d) {
          add(kIgnoredStateDefault,
              ignored_nested_default_message(nested, field, nullptr), d);
        });
  }

  for (const syntax::OperationNode op :
       contract.behavioral_semantics().operations()) {
    for (const syntax::StateField parameter : op.parameters()) {
      if (const std::optional<syntax::Literal> d = parameter.default_value()) {
        add(kIgnoredParameterDefault,
            ignored_parameter_default_message(op, parameter), *d);
      }
      for_each_nested_default(
          parameter.type(),
          [&](const syntax::StateField& nested, const syntax::Literal& d) {
            add(kIgnoredParameterDefault,
                ignored_nested_default_message(nested, parameter, &op), d);
          });
    }
  }
}

}  // namespace qel::detail
