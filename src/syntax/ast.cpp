#include "qel/ast.h"

namespace qel {

const char* primitive_type_name(PrimitiveType type) {
  switch (type) {
    case PrimitiveType::kInteger: return "Integer";
    case PrimitiveType::kFloat: return "Float";
    case PrimitiveType::kString: return "String";
    case PrimitiveType::kBoolean: return "Boolean";
    case PrimitiveType::kIso8601: return "ISO8601";
    case PrimitiveType::kUuid: return "UUID";
  }
  return "";
}

TypeExpression::TypeExpression(const TypeExpression& other)
    : kind(other.kind),
      primitive(other.primitive),
      element(other.element ? std::make_unique<TypeExpression>(*other.element)
                            : nullptr),
      key(other.key ? std::make_unique<TypeExpression>(*other.key) : nullptr),
      value(other.value ? std::make_unique<TypeExpression>(*other.value)
                        : nullptr),
      fields(other.fields),
      variants(other.variants),
      span(other.span) {}

TypeExpression& TypeExpression::operator=(const TypeExpression& other) {
  if (this != &other) {
    TypeExpression copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TypeExpression::~TypeExpression() = default;

std::string TypeExpression::text() const {
  std::string out;
  append_text(out);
  return out;
}

// Nesting is bounded by the parser, so this recursion is too.
void TypeExpression::append_text(std::string& out) const {
  switch (kind) {
    case Kind::kPrimitive:
      out += primitive_type_name(primitive);
      return;
    case Kind::kArray:
      out += "Array<";
      element->append_text(out);
      out += '>';
      return;
    case Kind::kMap:
      out += "Map<";
      key->append_text(out);
      out += ", ";
      value->append_text(out);
      out += '>';
      return;
    case Kind::kObject: {
      out += "Object { ";
      bool first = true;
      for (const StateFieldNode& f : fields) {
        if (!first) out += ", ";
        first = false;
        out += f.name.value;
        out += ": ";
        f.type.append_text(out);
      }
      out += " }";
      return;
    }
    case Kind::kEnum: {
      out += "Enum [";
      bool first = true;
      for (const SpannedText& v : variants) {
        if (!first) out += ", ";
        first = false;
        out += '"';
        out += v.value;
        out += '"';
      }
      out += ']';
      return;
    }
  }
}

}  // namespace qel
