// A generic JSON value with byte-ordered object members, the number forms
// the system writes, and a pretty-printing writer with an exact layout.
#ifndef QEL_JSON_H_
#define QEL_JSON_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "qel/output.h"

namespace qel {

class Json {
 public:
  using Array = std::vector<Json>;
  // std::less<std::string> compares through char_traits<char>, which orders
  // as unsigned bytes: exactly the byte-wise key order every output needs.
  using Object = std::map<std::string, Json, std::less<>>;

  enum class Kind { kNull, kBoolean, kInteger, kUnsigned, kDouble, kString,
                    kArray, kObject };

  Json() = default;
  Json(std::nullptr_t) {}
  Json(bool b) : v_(b) {}
  Json(int64_t i) : v_(i) {}
  Json(uint64_t u) : v_(u) {}
  Json(double d) : v_(d) {}
  Json(std::string s) : v_(std::move(s)) {}
  Json(const char* s) : v_(std::string(s)) {}
  Json(Array a) : v_(std::move(a)) {}
  Json(Object o) : v_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_boolean() const { return kind() == Kind::kBoolean; }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }
  bool is_number() const {
    return kind() == Kind::kInteger || kind() == Kind::kUnsigned ||
           kind() == Kind::kDouble;
  }

  bool as_boolean() const { return std::get<bool>(v_); }
  int64_t as_integer() const { return std::get<int64_t>(v_); }
  uint64_t as_unsigned() const { return std::get<uint64_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }

  // Member lookup on an object; nullptr when absent or not an object.
  const Json* find(std::string_view key) const;

 private:
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string,
               Array, Object>
      v_;
};

// ---- Number forms -------------------------------------------------------

// How a double is rendered. Every style uses the shortest decimal digits
// that read back as the same double; they differ in notation.
enum class FloatStyle {
  // JSON output: positional when the decimal exponent is in [-5, 15] (with
  // at least one fractional digit), otherwise d[.ddd]e+X / e-X; non-finite
  // values are "null".
  kJson,
  // Token descriptions in parser messages: positional when the magnitude is
  // in [1e-4, 1e16) or zero (at least one fractional digit), otherwise
  // d[.ddd]eX without a plus sign; infinity is "inf".
  kTokenDescription,
  // Positional, never an exponent, no fraction for whole values: "1.5",
  // "2", "1000000"; "inf", "-inf", "NaN" for non-finite values.
  kPlain,
  // Positional, never an exponent, ".0" appended when there is no point:
  // "0.5", "2.0", "100000000000000000000.0"; non-finite as "inf.0".
  kCanonical,
};

// The append_ functions write into a std::string or an Output.
template <typename Out>
void append_double(Out& out, double value, FloatStyle style);
std::string format_double(double value, FloatStyle style);

template <typename Out>
void append_int(Out& out, int64_t value);
template <typename Out>
void append_uint(Out& out, uint64_t value);

// Appends `text` as a quoted JSON string: \" \\ \b \f \n \r \t, other
// control characters as \u00XX, everything else (non-ASCII included) as is.
template <typename Out>
void append_json_string(Out& out, std::string_view text);

extern template void append_double(std::string&, double, FloatStyle);
extern template void append_double(Output&, double, FloatStyle);
extern template void append_int(std::string&, int64_t);
extern template void append_int(Output&, int64_t);
extern template void append_uint(std::string&, uint64_t);
extern template void append_uint(Output&, uint64_t);
extern template void append_json_string(std::string&, std::string_view);
extern template void append_json_string(Output&, std::string_view);

// ---- Writer -------------------------------------------------------------

// Streams pretty-printed JSON into one growing buffer: two spaces per level,
// ": " after keys, "{}" / "[]" for empty containers, no trailing newline.
// Records call begin_object/key/... in declaration order; generic values go
// through value(), which writes object members in key order. Writes into
// a std::string or an Output.
template <typename Out>
class BasicJsonWriter {
 public:
  explicit BasicJsonWriter(Out& out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(std::string_view name);
  // A constant name, which needs no escape: written as it is.
  template <std::size_t N>
  void key(const char (&name)[N]) {
    plain_key(name, N - 1);
  }

  void null();
  void boolean(bool b);
  void integer(int64_t i);
  void unsigned_integer(uint64_t u);
  void number(double d);  // FloatStyle::kJson
  void string(std::string_view s);
  void value(const Json& v);

  // Convenience for "key": value members.
  template <typename F>
  void member(std::string_view name, F&& write_value) {
    key(name);
    write_value();
  }

 private:
  void before_value();
  void plain_key(const char* name, std::size_t n);
  void open(char bracket);
  void close(char bracket);
  void newline_indent();

  Out& out_;
  // One entry per open container: whether it has had a member yet.
  std::vector<char> has_member_;
  bool after_key_ = false;
};

using JsonWriter = BasicJsonWriter<std::string>;
extern template class BasicJsonWriter<std::string>;
extern template class BasicJsonWriter<Output>;

// Compact JSON (no white space at all), object members in key order.
void append_compact_json(std::string& out, const Json& v);

}  // namespace qel

#endif  // QEL_JSON_H_
