// L002 and L003: defaults the run time never applies. A state field's
// default is judged by the executor's own initial value for the field's
// lowered declaration; a parameter's default never reaches the model at all,
// and neither does a default inside an Object type.
#include <string>
#include <vector>

#include "lint/checks.h"
#include "qel/executor.h"
#include "qel/json.h"
#include "syntax/lower.h"

namespace qel::detail {

namespace {

// Every field with a default inside `type`'s Object types, however deeply
// nested. An explicit stack: type nesting is bounded by the parser, but a
// walk need not rely on it.
template <typename Visit>
void for_each_nested_default(const TypeExpression& type, Visit&& visit) {
  std::vector<const TypeExpression*> todo{&type};
  while (!todo.empty()) {
    const TypeExpression& t = *todo.back();
    todo.pop_back();
    switch (t.kind) {
      case TypeExpression::Kind::kPrimitive:
      case TypeExpression::Kind::kEnum:
        break;
      case TypeExpression::Kind::kArray:
        if (t.element) todo.push_back(t.element.get());
        break;
      case TypeExpression::Kind::kMap:
        if (t.value) todo.push_back(t.value.get());
        if (t.key) todo.push_back(t.key.get());
        break;
      case TypeExpression::Kind::kObject:
        for (auto it = t.fields.rbegin(); it != t.fields.rend(); ++it) {
          todo.push_back(&it->type);
        }
        for (const StateFieldNode& f : t.fields) {
          if (f.default_value) visit(f);
        }
        break;
    }
  }
}

}  // namespace

void lint_defaults(const ContractNode& tree, std::vector<Lint>& out) {
  const auto add = [&](std::string_view code, std::string message,
                       const LiteralValue& literal) {
    out.push_back(Lint{std::string(code), std::move(message), literal.span});
  };

  for (const StateFieldNode& field : tree.data_semantics.state) {
    if (field.default_value) {
      const Json declared =
          lower_state_member(field.type, &*field.default_value);
      const Value start = ExecutionState::default_for_type(declared);
      const Json* written = declared.find("default");
      if (written != nullptr && !(start == Value::from_json(*written))) {
        add(kIgnoredStateDefault, ignored_state_default_message(field, start),
            *field.default_value);
      }
    }
    for_each_nested_default(field.type, [&](const StateFieldNode& nested) {
      add(kIgnoredStateDefault,
          ignored_nested_default_message(nested, field, nullptr),
          *nested.default_value);
    });
  }

  for (const OperationNode& op : tree.behavioral_semantics.operations) {
    for (const StateFieldNode& parameter : op.parameters) {
      if (parameter.default_value) {
        add(kIgnoredParameterDefault,
            ignored_parameter_default_message(op, parameter),
            *parameter.default_value);
      }
      for_each_nested_default(parameter.type,
                              [&](const StateFieldNode& nested) {
                                add(kIgnoredParameterDefault,
                                    ignored_nested_default_message(
                                        nested, parameter, &op),
                                    *nested.default_value);
                              });
    }
  }
}

}  // namespace qel::detail
