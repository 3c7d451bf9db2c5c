// Judges what the parser accepts without judging: map key types, empty or
// repeated enumeration variants, repeated object fields, and defaults that
// do not fit their declared type.
//
// The walks below keep their own stack instead of recursing, so that how
// deeply a tree nests never decides how deep the call stack goes.
#include <string>
#include <string_view>
#include <vector>

#include "verifier/checks.h"

namespace qel::detail {

namespace {

void add_type_error(VerificationResult& result, std::string message,
                    const Span& span) {
  result.add(Diagnostic{Severity::kError, DiagnosticKind::kType,
                        std::move(message), span});
}

// A default against a type that is not an Array.
bool scalar_fits(const TypeExpression& type, const LiteralValue& literal) {
  using K = LiteralValue::Kind;
  switch (type.kind) {
    case TypeExpression::Kind::kPrimitive:
      switch (type.primitive) {
        case PrimitiveType::kString:
        case PrimitiveType::kIso8601:
        case PrimitiveType::kUuid:
          return literal.kind == K::kString;
        case PrimitiveType::kInteger:
          return literal.kind == K::kInteger;
        case PrimitiveType::kFloat:
          return literal.kind == K::kInteger || literal.kind == K::kFloat;
        case PrimitiveType::kBoolean:
          return literal.kind == K::kBoolean;
      }
      return false;
    case TypeExpression::Kind::kEnum:
      if (literal.kind != K::kString) return false;
      for (const SpannedText& variant : type.variants) {
        if (variant.value == literal.text) return true;
      }
      return false;
    case TypeExpression::Kind::kArray:  // handled by the caller
    case TypeExpression::Kind::kMap:
    case TypeExpression::Kind::kObject:
      return false;
  }
  return false;
}

}  // namespace

void append_type_expr_name(std::string& out, const TypeExpression& type) {
  // Either a type still to name or a fixed piece of text.
  struct Item {
    const TypeExpression* type;
    const char* text;
  };
  std::vector<Item> todo;
  todo.push_back({&type, nullptr});
  while (!todo.empty()) {
    const Item item = todo.back();
    todo.pop_back();
    if (item.type == nullptr) {
      out += item.text;
      continue;
    }
    const TypeExpression& t = *item.type;
    switch (t.kind) {
      case TypeExpression::Kind::kPrimitive:
        out += primitive_type_name(t.primitive);
        break;
      case TypeExpression::Kind::kArray:
        out += "Array<";
        todo.push_back({nullptr, ">"});
        todo.push_back({t.element.get(), nullptr});
        break;
      case TypeExpression::Kind::kMap:
        out += "Map<";
        todo.push_back({nullptr, ">"});
        todo.push_back({t.value.get(), nullptr});
        todo.push_back({nullptr, ", "});
        todo.push_back({t.key.get(), nullptr});
        break;
      case TypeExpression::Kind::kObject:
        out += "Object";
        break;
      case TypeExpression::Kind::kEnum:
        out += "Enum";
        break;
    }
  }
}

std::string type_expr_name(const TypeExpression& type) {
  std::string out;
  append_type_expr_name(out, type);
  return out;
}

const char* literal_kind_name(const LiteralValue& literal) {
  switch (literal.kind) {
    case LiteralValue::Kind::kString: return "String";
    case LiteralValue::Kind::kInteger: return "Integer";
    case LiteralValue::Kind::kFloat: return "Float";
    case LiteralValue::Kind::kBoolean: return "Boolean";
    case LiteralValue::Kind::kArray: return "Array";
  }
  return "";
}

bool default_matches_type(const TypeExpression& type,
                          const LiteralValue& literal) {
  if (type.kind != TypeExpression::Kind::kArray) {
    return scalar_fits(type, literal);
  }
  if (literal.kind != LiteralValue::Kind::kArray) return false;
  // One frame per open array literal: its element type and the next
  // element to check. The first element that does not fit ends the check.
  struct Frame {
    const TypeExpression* element_type;
    const LiteralValue* array;
    std::size_t next;
  };
  std::vector<Frame> stack;
  stack.push_back({type.element.get(), &literal, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.array->elements.size()) {
      stack.pop_back();
      continue;
    }
    const LiteralValue& element = top.array->elements[top.next++];
    const TypeExpression& element_type = *top.element_type;
    if (element_type.kind == TypeExpression::Kind::kArray) {
      if (element.kind != LiteralValue::Kind::kArray) return false;
      stack.push_back({element_type.element.get(), &element, 0});
    } else if (!scalar_fits(element_type, element)) {
      return false;
    }
  }
  return true;
}

void verify_default_matches_type(std::string_view name,
                                 const TypeExpression& type,
                                 const LiteralValue& literal,
                                 VerificationResult& result) {
  if (default_matches_type(type, literal)) return;
  std::string message;
  message.reserve(64 + name.size());
  message += "default value for '";
  message += name;
  message += "' has type ";
  message += literal_kind_name(literal);
  message += ", expected ";
  append_type_expr_name(message, type);
  add_type_error(result, std::move(message), literal.span);
}

namespace {

void check_map_key(const TypeExpression& map, VerificationResult& result) {
  const TypeExpression& key = *map.key;
  switch (key.kind) {
    case TypeExpression::Kind::kPrimitive:
      if (key.primitive == PrimitiveType::kFloat) {
        add_type_error(
            result,
            "Float cannot be used as Map key type (non-deterministic equality)",
            map.span);
      }
      return;
    case TypeExpression::Kind::kEnum:
      return;
    case TypeExpression::Kind::kArray:
    case TypeExpression::Kind::kMap:
    case TypeExpression::Kind::kObject: {
      std::string message = "Map key type must be a primitive or Enum, found ";
      append_type_expr_name(message, key);
      add_type_error(result, std::move(message), map.span);
      return;
    }
  }
}

// Small lists are searched directly; long ones go through one sort, so no
// list of names costs quadratic time.
constexpr std::size_t kLinearSearchLimit = 16;

template <typename T, typename Name>
bool repeats_earlier(const std::vector<T>& items, std::size_t index,
                     Name name) {
  for (std::size_t i = 0; i < index; ++i) {
    if (name(items[i]) == name(items[index])) return true;
  }
  return false;
}

template <typename T, typename Name>
std::vector<bool> repeated_names(const std::vector<T>& items, Name name) {
  std::vector<std::string_view> names;
  names.reserve(items.size());
  for (const T& item : items) names.push_back(name(item));
  return repetitions(names);
}

std::string_view variant_text(const SpannedText& v) { return v.value; }
std::string_view field_name(const StateFieldNode& f) { return f.name.value; }

void check_enum(const TypeExpression& type, VerificationResult& result) {
  const std::vector<SpannedText>& variants = type.variants;
  if (variants.empty()) {
    add_type_error(result, "Enum type must have at least one variant",
                   type.span);
    return;
  }
  std::vector<bool> repeated;
  if (variants.size() > kLinearSearchLimit) {
    repeated = repeated_names(variants, variant_text);
  }
  for (std::size_t i = 0; i < variants.size(); ++i) {
    const bool repeat = repeated.empty()
                            ? repeats_earlier(variants, i, variant_text)
                            : repeated[i];
    if (repeat) {
      add_type_error(result,
                     "duplicate Enum variant '" + variants[i].value + "'",
                     variants[i].span);
    }
  }
}

}  // namespace

void verify_type_expression(const TypeExpression& type,
                            VerificationResult& result) {
  TypeChecker checker;
  checker.check(type, result);
}

// Each frame is one type being walked. `stage` says how far it got: for a
// map, 0 = key next, 1 = value next, 2 = children done; for an object,
// whether field `next` has had its type walked already.
void TypeChecker::check(const TypeExpression& type,
                        VerificationResult& result) {
  if (type.kind == TypeExpression::Kind::kPrimitive) return;
  stack_.clear();
  stack_.emplace_back(&type);
  while (!stack_.empty()) {
    const std::size_t top = stack_.size() - 1;
    const TypeExpression& t = *stack_[top].type;
    switch (t.kind) {
      case TypeExpression::Kind::kPrimitive:
        stack_.pop_back();
        break;
      case TypeExpression::Kind::kEnum:
        check_enum(t, result);
        stack_.pop_back();
        break;
      case TypeExpression::Kind::kArray:
        if (stack_[top].stage == 0) {
          stack_[top].stage = 1;
          stack_.emplace_back(t.element.get());
        } else {
          stack_.pop_back();
        }
        break;
      case TypeExpression::Kind::kMap:
        if (stack_[top].stage == 0) {
          stack_[top].stage = 1;
          stack_.emplace_back(t.key.get());
        } else if (stack_[top].stage == 1) {
          stack_[top].stage = 2;
          stack_.emplace_back(t.value.get());
        } else {
          check_map_key(t, result);
          stack_.pop_back();
        }
        break;
      case TypeExpression::Kind::kObject: {
        Frame& frame = stack_[top];
        if (frame.next == t.fields.size()) {
          stack_.pop_back();
          break;
        }
        const std::size_t i = frame.next;
        const StateFieldNode& field = t.fields[i];
        if (frame.stage == 0) {
          if (i == 0 && t.fields.size() > kLinearSearchLimit) {
            frame.repeated = repeated_names(t.fields, field_name);
          }
          const bool repeat = frame.repeated.empty()
                                  ? repeats_earlier(t.fields, i, field_name)
                                  : frame.repeated[i];
          if (repeat) {
            add_type_error(result,
                           "duplicate field name '" + field.name.value +
                               "' in Object type",
                           field.name.span);
          }
          frame.stage = 1;
          stack_.emplace_back(&field.type);  // invalidates `frame`
        } else {
          if (field.default_value) {
            verify_default_matches_type(field.name.value, field.type,
                                        *field.default_value, result);
          }
          frame.stage = 0;
          ++frame.next;
        }
        break;
      }
    }
  }
}

}  // namespace qel::detail
