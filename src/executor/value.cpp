// Runtime values and the execution state.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "qel/executor.h"
#include "qel/json.h"

namespace qel {

namespace {

bool key_less(const Value::Member& member, std::string_view key) {
  return std::string_view(member.first) < key;
}

// Sorts members by key; of equal keys the one given last is kept.
Value::Object sorted_unique(Value::Object members) {
  // Most callers hand over members already in order (a copy of a state's
  // fields): one look through them instead of a sort and a second copy.
  if (std::adjacent_find(members.begin(), members.end(),
                         [](const Value::Member& a, const Value::Member& b) {
                           // Most neighbours differ in their first byte.
                           if (!a.first.empty() && !b.first.empty() &&
                               a.first[0] != b.first[0]) {
                             return static_cast<unsigned char>(a.first[0]) >
                                    static_cast<unsigned char>(b.first[0]);
                           }
                           return !(a.first < b.first);
                         }) == members.end()) {
    return members;
  }
  std::stable_sort(members.begin(), members.end(),
                   [](const Value::Member& a, const Value::Member& b) {
                     return a.first < b.first;
                   });
  Value::Object out;
  out.reserve(members.size());
  for (Value::Member& m : members) {
    if (!out.empty() && out.back().first == m.first) {
      out.back().second = std::move(m.second);
    } else {
      out.push_back(std::move(m));
    }
  }
  return out;
}

// The initial values of the six primitive types; nullptr for any other name.
const Value* primitive_default(std::string_view type) {
  static const Value kInteger = Value::integer(0);
  static const Value kFloat = Value::floating(0.0);
  static const Value kString = Value::string("");
  static const Value kBoolean = Value::boolean(false);
  if (type == "Integer") return &kInteger;
  if (type == "Float") return &kFloat;
  if (type == "String" || type == "ISO8601" || type == "UUID") return &kString;
  if (type == "Boolean") return &kBoolean;
  return nullptr;
}

const ExecutionState::Fields& no_fields() {
  static const ExecutionState::Fields* const empty = new ExecutionState::Fields;
  return *empty;
}

}  // namespace

// ---- Value ------------------------------------------------------------------

Value Value::object(Object members) {
  return Value(Payload(sorted_unique(std::move(members))));
}

// Recursion is bounded by the nesting of the JSON, which every parser of the
// library limits to kMaxNestingDepth.
Value Value::from_json(const Json& json) {
  switch (json.kind()) {
    case Json::Kind::kNull: return Value();
    case Json::Kind::kBoolean: return boolean(json.as_boolean());
    case Json::Kind::kInteger: return integer(json.as_integer());
    case Json::Kind::kUnsigned: {
      const uint64_t u = json.as_unsigned();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return integer(static_cast<int64_t>(u));
      }
      return floating(static_cast<double>(u));
    }
    case Json::Kind::kDouble: return floating(json.as_double());
    case Json::Kind::kString: return string(json.as_string());
    case Json::Kind::kArray: {
      Array out;
      out.reserve(json.as_array().size());
      for (const Json& e : json.as_array()) out.push_back(from_json(e));
      return array(std::move(out));
    }
    case Json::Kind::kObject: {
      // Json objects are already in byte-wise key order.
      Object out;
      out.reserve(json.as_object().size());
      for (const auto& [k, e] : json.as_object()) {
        out.emplace_back(k, from_json(e));
      }
      return Value(Payload(std::move(out)));
    }
  }
  return Value();
}

bool Value::truthy() const {
  switch (kind()) {
    case Kind::kNull: return false;
    case Kind::kBoolean: return as_boolean();
    case Kind::kInteger: return as_integer() != 0;
    case Kind::kFloat: return !(as_float() == 0.0);
    case Kind::kString: return !as_string().empty();
    case Kind::kArray: return !as_array().empty();
    case Kind::kObject: return !as_object().empty();
  }
  return false;
}

bool operator==(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::kNull: return true;
    case Value::Kind::kBoolean: return a.as_boolean() == b.as_boolean();
    case Value::Kind::kInteger: return a.as_integer() == b.as_integer();
    case Value::Kind::kFloat: return a.as_float() == b.as_float();
    case Value::Kind::kString: return a.as_string() == b.as_string();
    case Value::Kind::kArray: return a.as_array() == b.as_array();
    case Value::Kind::kObject: return a.as_object() == b.as_object();
  }
  return false;
}

const Value* find_member(const Value::Object& object, std::string_view key) {
  // Conditions and changes look names up many times per request: most
  // steps of the search are decided by the first byte, without a call.
  const auto before = [](std::string_view a, std::string_view b) {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
      return static_cast<unsigned char>(a[0]) <
             static_cast<unsigned char>(b[0]);
    }
    return a < b;
  };
  std::size_t low = 0;
  std::size_t count = object.size();
  while (count > 0) {
    const std::size_t half = count / 2;
    if (before(object[low + half].first, key)) {
      low += half + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  if (low == object.size()) return nullptr;
  const std::string& name = object[low].first;
  if (name.size() != key.size() ||
      std::memcmp(name.data(), key.data(), key.size()) != 0) {
    return nullptr;
  }
  return &object[low].second;
}

// ---- ExecutionState -----------------------------------------------------------

// Every empty state points at one empty field list that is never freed and
// owns no count: results make several empty states per request, and this
// costs them neither an allocation nor a shared counter to update.
ExecutionState::ExecutionState()
    : fields_(std::shared_ptr<const Fields>(), &no_fields()) {}

ExecutionState::ExecutionState(Fields fields)
    : fields_(std::make_shared<const Fields>(sorted_unique(std::move(fields)))) {}

ExecutionState ExecutionState::from_contract(const Contract& contract) {
  const Json& declared = contract.data_semantics.state;
  if (!declared.is_object()) return ExecutionState();
  Fields fields;
  fields.reserve(declared.as_object().size());
  for (const auto& [name, description] : declared.as_object()) {
    fields.emplace_back(name, default_for_type(description));
  }
  ExecutionState state;
  state.fields_ = std::make_shared<const Fields>(std::move(fields));
  return state;
}

Value ExecutionState::default_for_type(const Json& description) {
  switch (description.kind()) {
    case Json::Kind::kString: {
      const Value* v = primitive_default(description.as_string());
      return v != nullptr ? *v : Value();
    }
    case Json::Kind::kArray:
      return Value::array({});
    case Json::Kind::kObject: {
      const Json* type = description.find("type");
      if (type != nullptr && type->is_string()) {
        const Value* v = primitive_default(type->as_string());
        if (v == nullptr) return Value();  // composite: any default ignored
        const Json* given = description.find("default");
        return given != nullptr ? Value::from_json(*given) : *v;
      }
      Value::Object out;
      out.reserve(description.as_object().size());
      for (const auto& [k, e] : description.as_object()) {
        out.emplace_back(k, default_for_type(e));
      }
      return Value::object(std::move(out));
    }
    default:
      return Value();
  }
}

uint64_t ExecutionState::value_size(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::kNull:
    case Value::Kind::kBoolean:
      return 1;
    case Value::Kind::kInteger:
    case Value::Kind::kFloat:
      return 8;
    case Value::Kind::kString:
      return 24 + static_cast<uint64_t>(value.as_string().size());
    case Value::Kind::kArray: {
      uint64_t total = 24;
      for (const Value& e : value.as_array()) total += value_size(e);
      return total;
    }
    case Value::Kind::kObject: {
      uint64_t total = 24;
      for (const auto& [k, e] : value.as_object()) {
        total += static_cast<uint64_t>(k.size()) + value_size(e);
      }
      return total;
    }
  }
  return 0;
}

const Value* ExecutionState::find(std::string_view name) const {
  return find_member(*fields_, name);
}

void ExecutionState::set(std::string name, Value value) {
  Fields fields = *fields_;
  auto it = std::lower_bound(fields.begin(), fields.end(),
                             std::string_view(name), key_less);
  if (it != fields.end() && it->first == name) {
    it->second = std::move(value);
  } else {
    fields.emplace(it, std::move(name), std::move(value));
  }
  fields_ = std::make_shared<const Fields>(std::move(fields));
}

void ExecutionState::merge(const Json::Object& members) {
  if (members.empty()) return;
  // Both sides are in key order: one linear merge, the inputs winning.
  const Fields& old = *fields_;
  Fields merged;
  merged.reserve(old.size() + members.size());
  auto f = old.begin();
  auto m = members.begin();
  while (f != old.end() || m != members.end()) {
    if (m == members.end() ||
        (f != old.end() && std::string_view(f->first) < m->first)) {
      merged.push_back(*f++);
      continue;
    }
    if (f != old.end() && f->first == m->first) ++f;
    merged.emplace_back(m->first, Value::from_json(m->second));
    ++m;
  }
  fields_ = std::make_shared<const Fields>(std::move(merged));
}

uint64_t ExecutionState::size_bytes() const {
  return Sandbox::state_size(*fields_);
}

namespace {

void append_compact_members(std::string& out, const Value::Object& members) {
  out += '{';
  bool first = true;
  for (const auto& [k, v] : members) {
    if (!first) out += ',';
    first = false;
    append_json_string(out, k);
    out += ':';
    append_compact_json(out, v);
  }
  out += '}';
}

}  // namespace

void append_compact_json(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::kNull: out += "null"; return;
    case Value::Kind::kBoolean:
      out += value.as_boolean() ? "true" : "false";
      return;
    case Value::Kind::kInteger: append_int(out, value.as_integer()); return;
    case Value::Kind::kFloat:
      append_double(out, value.as_float(), FloatStyle::kJson);
      return;
    case Value::Kind::kString:
      append_json_string(out, value.as_string());
      return;
    case Value::Kind::kArray: {
      out += '[';
      bool first = true;
      // Values come from parsed JSON, whose nesting the parser bounds.
      for (const Value& e : value.as_array()) {
        if (!first) out += ',';
        first = false;
        append_compact_json(out, e);
      }
      out += ']';
      return;
    }
    case Value::Kind::kObject:
      append_compact_members(out, value.as_object());
      return;
  }
}

void append_compact_json(std::string& out, const ExecutionState& state) {
  append_compact_members(out, state.fields());
}

}  // namespace qel
