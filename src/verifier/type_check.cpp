// Judges what the parser accepts without judging: map key types, empty or
// repeated enumeration variants, repeated object fields, and defaults that
// do not fit their declared type.
//
// The walks below keep their own stack instead of recursing, so that how
// deeply a type nests never decides how deep the call stack goes.
#include <string>
#include <string_view>
#include <vector>

#include "qel/json.h"
#include "qel/nearest_name.h"
#include "qel/rules.h"
#include "verifier/verifier_checks.h"

namespace qel::detail {

namespace {

using TypeKind = syntax::Type::Kind;
using LiteralKind = syntax::Literal::Kind;

void add_type_error(VerificationResult& result, std::string_view code,
                    std::string message, const Span& span,
                    std::string help = {}) {
  Diagnostic d{Severity::kError, DiagnosticKind::kType, std::move(message),
               span};
  d.code = code;
  d.help = std::move(help);
  result.add(std::move(d));
}

// A default against a type that is not an Array.
bool scalar_fits(const syntax::Type& type, const syntax::Literal& literal) {
  const LiteralKind kind = literal.kind();
  switch (type.kind()) {
    case TypeKind::kPrimitive:
      switch (type.primitive()) {
        case syntax::PrimitiveKind::kString:
        case syntax::PrimitiveKind::kIso8601:
        case syntax::PrimitiveKind::kUuid:
          return kind == LiteralKind::kString;
        case syntax::PrimitiveKind::kInteger:
          return kind == LiteralKind::kInteger;
        case syntax::PrimitiveKind::kFloat:
          return kind == LiteralKind::kInteger || kind == LiteralKind::kFloat;
        case syntax::PrimitiveKind::kBoolean:
          return kind == LiteralKind::kBoolean;
      }
      return false;
    case TypeKind::kEnum: {
      if (kind != LiteralKind::kString) return false;
      const std::string_view text = literal.text();
      for (const syntax::Text variant : type.variants()) {
        if (variant.text() == text) return true;
      }
      return false;
    }
    case TypeKind::kArray:  // handled by the caller
    case TypeKind::kMap:
    case TypeKind::kObject:
      return false;
  }
  return false;
}

}  // namespace

void append_type_expr_name(std::string& out, const syntax::Type& type) {
  // Either a type still to name or a fixed piece of text.
  struct Item {
    syntax::Type type;
    const char* text;
  };
  std::vector<Item> todo;
  todo.push_back({type, nullptr});
  while (!todo.empty()) {
    const Item item = todo.back();
    todo.pop_back();
    if (item.text != nullptr) {
      out += item.text;
      continue;
    }
    const syntax::Type& t = item.type;
    switch (t.kind()) {
      case TypeKind::kPrimitive:
        out += syntax::primitive_kind_name(t.primitive());
        break;
      case TypeKind::kArray:
        out += "Array<";
        todo.push_back({{}, ">"});
        todo.push_back({t.element(), nullptr});
        break;
      case TypeKind::kMap:
        out += "Map<";
        todo.push_back({{}, ">"});
        todo.push_back({t.value(), nullptr});
        todo.push_back({{}, ", "});
        todo.push_back({t.key(), nullptr});
        break;
      case TypeKind::kObject:
        out += "Object";
        break;
      case TypeKind::kEnum:
        out += "Enum";
        break;
    }
  }
}

std::string type_expr_name(const syntax::Type& type) {
  std::string out;
  append_type_expr_name(out, type);
  return out;
}

const char* literal_kind_name(const syntax::Literal& literal) {
  switch (literal.kind()) {
    case LiteralKind::kString: return "String";
    case LiteralKind::kInteger: return "Integer";
    case LiteralKind::kFloat: return "Float";
    case LiteralKind::kBoolean: return "Boolean";
    case LiteralKind::kArray: return "Array";
  }
  return "";
}

bool default_matches_type(const syntax::Type& type,
                          const syntax::Literal& literal) {
  if (type.kind() != TypeKind::kArray) return scalar_fits(type, literal);
  if (literal.kind() != LiteralKind::kArray) return false;
  // One frame per open array literal: its element type and the next
  // element to check. The first element that does not fit ends the check.
  struct Frame {
    syntax::Type element_type;
    syntax::Literal::Elements::iterator next;
    syntax::Literal::Elements::iterator end;
  };
  std::vector<Frame> stack;
  const syntax::Literal::Elements elements = literal.elements();
  stack.push_back({type.element(), elements.begin(), elements.end()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.end) {
      stack.pop_back();
      continue;
    }
    const syntax::Literal element = *top.next;
    ++top.next;
    const syntax::Type element_type = top.element_type;
    if (element_type.kind() == TypeKind::kArray) {
      if (element.kind() != LiteralKind::kArray) return false;
      const syntax::Literal::Elements inner = element.elements();
      stack.push_back({element_type.element(), inner.begin(), inner.end()});
    } else if (!scalar_fits(element_type, element)) {
      return false;
    }
  }
  return true;
}

namespace {

// Variants shown in a help line; an Enum may have thousands.
constexpr std::size_t kShownVariants = 10;

// For a default of an Enum, or of an Array of them: the values it takes,
// and the one nearest to a string written for the Enum itself.
std::string enum_help(const syntax::Type& type,
                      const syntax::Literal& literal) {
  syntax::Type inner = type;
  while (inner.kind() == TypeKind::kArray) inner = inner.element();
  if (inner.kind() != TypeKind::kEnum) return {};
  std::vector<std::string_view> variants;
  for (const syntax::Text v : inner.variants()) variants.push_back(v.text());
  if (variants.empty()) return {};  // no value fits: V109 says why
  std::string help;
  if (type.kind() == TypeKind::kEnum && literal.kind() == LiteralKind::kString) {
    if (const auto near = nearest_name(literal.text(), variants)) {
      help += "did you mean \"";
      help += *near;
      help += "\"? ";
    }
  }
  help += "allowed values: ";
  for (std::size_t i = 0; i < variants.size() && i < kShownVariants; ++i) {
    if (i > 0) help += ", ";
    help += '"';
    help += variants[i];
    help += '"';
  }
  if (variants.size() > kShownVariants) {
    help += ", ... (";
    append_uint(help, variants.size());
    help += " in all)";
  }
  return help;
}

}  // namespace

void verify_default_matches_type(std::string_view name,
                                 const syntax::Type& type,
                                 const syntax::Literal& literal,
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
  add_type_error(result, rule::kDefaultType, std::move(message),
                 literal.span(), enum_help(type, literal));
}

namespace {

void check_map_key(const syntax::Type& map, VerificationResult& result) {
  const syntax::Type key = map.key();
  switch (key.kind()) {
    case TypeKind::kPrimitive:
      if (key.primitive() == syntax::PrimitiveKind::kFloat) {
        add_type_error(
            result, rule::kMapKeyType,
            "Float cannot be used as Map key type (non-deterministic equality)",
            map.span());
      }
      return;
    case TypeKind::kEnum:
      return;
    case TypeKind::kArray:
    case TypeKind::kMap:
    case TypeKind::kObject: {
      std::string message = "Map key type must be a primitive or Enum, found ";
      append_type_expr_name(message, key);
      add_type_error(result, rule::kMapKeyType, std::move(message),
                     map.span());
      return;
    }
  }
}

// Small lists are searched directly; long ones go through one sort, so no
// list of names costs quadratic time.
constexpr std::size_t kLinearSearchLimit = 16;

bool repeats_earlier(const std::vector<std::string_view>& names,
                     std::size_t index) {
  for (std::size_t i = 0; i < index; ++i) {
    if (names[i] == names[index]) return true;
  }
  return false;
}

void check_enum(const syntax::Type& type, VerificationResult& result) {
  std::vector<std::string_view> variants;
  std::vector<uint32_t> tokens;
  for (const syntax::Text v : type.variants()) {
    variants.push_back(v.text());
    tokens.push_back(v.token());
  }
  if (variants.empty()) {
    add_type_error(result, rule::kEmptyEnum, "Enum type must have at least one variant",
                   type.span());
    return;
  }
  std::vector<bool> repeated;
  if (variants.size() > kLinearSearchLimit) repeated = repetitions(variants);
  for (std::size_t i = 0; i < variants.size(); ++i) {
    const bool repeat =
        repeated.empty() ? repeats_earlier(variants, i) : repeated[i];
    if (repeat) {
      std::string message = "duplicate Enum variant '";
      message += variants[i];
      message += '\'';
      add_type_error(result, rule::kDuplicateVariant, std::move(message),
                     type.tree().token_span(tokens[i]));
    }
  }
}

}  // namespace

// Each frame is one type being walked. `stage` says how far it got: for a
// map, 0 = key next, 1 = value next, 2 = children done; for an object,
// whether field `next` has had its type walked already.
void TypeChecker::check(const syntax::Type& type,
                        VerificationResult& result) {
  if (type.kind() == TypeKind::kPrimitive) return;
  stack_.clear();
  stack_.emplace_back(type);
  while (!stack_.empty()) {
    const std::size_t top = stack_.size() - 1;
    const syntax::Type t = stack_[top].type;
    switch (t.kind()) {
      case TypeKind::kPrimitive:
        stack_.pop_back();
        break;
      case TypeKind::kEnum:
        check_enum(t, result);
        stack_.pop_back();
        break;
      case TypeKind::kArray:
        if (stack_[top].stage == 0) {
          stack_[top].stage = 1;
          stack_.emplace_back(t.element());
        } else {
          stack_.pop_back();
        }
        break;
      case TypeKind::kMap:
        if (stack_[top].stage == 0) {
          stack_[top].stage = 1;
          stack_.emplace_back(t.key());
        } else if (stack_[top].stage == 1) {
          stack_[top].stage = 2;
          stack_.emplace_back(t.value());
        } else {
          check_map_key(t, result);
          stack_.pop_back();
        }
        break;
      case TypeKind::kObject: {
        Frame& frame = stack_[top];
        const syntax::StateFields fields = t.fields();
        if (frame.stage == 0 && frame.index == 0) {
          frame.next = (*fields.begin()).index();
          std::vector<std::string_view> names;
          for (const syntax::StateField f : fields) names.push_back(f.name());
          if (names.size() > kLinearSearchLimit) {
            frame.repeated = repetitions(names);
          } else {
            // Small: computed here once rather than searched per field.
            frame.repeated.assign(names.size(), false);
            for (std::size_t i = 0; i < names.size(); ++i) {
              frame.repeated[i] = repeats_earlier(names, i);
            }
          }
        }
        if (frame.index == frame.repeated.size()) {
          stack_.pop_back();
          break;
        }
        const syntax::StateField field(t.tree(), frame.next);
        if (frame.stage == 0) {
          if (frame.repeated[frame.index]) {
            std::string message = "duplicate field name '";
            message += field.name();
            message += "' in Object type";
            add_type_error(result, rule::kDuplicateObjectField,
                           std::move(message), field.name_span());
          }
          frame.stage = 1;
          stack_.emplace_back(field.type());  // invalidates `frame`
        } else {
          if (const std::optional<syntax::Literal> d = field.default_value()) {
            verify_default_matches_type(field.name(), field.type(), *d,
                                        result);
          }
          frame.stage = 0;
          frame.next = t.tree().node(frame.next).next;
          ++frame.index;
        }
        break;
      }
    }
  }
}

}  // namespace qel::detail
