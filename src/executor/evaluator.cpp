// The condition evaluator: a fixed set of recognised forms, everything else
// undetermined.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "executor/condition_form.h"
#include "executor/text.h"
#include "qel/executor.h"

namespace qel {

namespace {

constexpr std::string_view kNotEmptySuffix = " is not empty";
constexpr std::string_view kBooleanSuffix = " is boolean";

using detail::ConditionForm;
using Op = ConditionForm::Kind;

struct OpText {
  Op op;
  std::string_view text;
};

// Tried in this order; the first that splits off a number decides.
constexpr OpText kOperators[] = {
    {Op::kGreaterEqual, " >= "},
    {Op::kLessEqual, " <= "},
    {Op::kGreater, " > "},
    {Op::kLess, " < "},
};

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.substr(text.size() - suffix.size()) == suffix;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

// Whether digits[.digits]e<exponent> lies above the double range (rather
// than below it); called only when the conversion reports a value out of
// range, which an all-zero mantissa never is.
bool overflows(std::string_view int_digits, std::string_view frac_digits,
               int64_t exponent) {
  for (size_t i = 0; i < int_digits.size(); ++i) {
    if (int_digits[i] != '0') {
      return static_cast<int64_t>(int_digits.size() - 1 - i) + exponent >= 0;
    }
  }
  for (size_t j = 0; j < frac_digits.size(); ++j) {
    if (frac_digits[j] != '0') {
      return exponent - static_cast<int64_t>(j + 1) >= 0;
    }
  }
  return false;
}

// A whole decimal floating-point number: [sign] (digits [. digits] | . digits)
// [(e|E) [sign] digits], or [sign] inf / infinity / nan in any case. The
// nearest double; overflow gives infinity and underflow zero.
std::optional<double> parse_number(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_case(text, "inf") ||
      equals_ignoring_case(text, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_case(text, "nan")) {
    return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  }
  size_t i = 0;
  const size_t int_begin = i;
  while (i < text.size() && is_digit(text[i])) ++i;
  const std::string_view int_digits = text.substr(int_begin, i - int_begin);
  std::string_view frac_digits;
  if (i < text.size() && text[i] == '.') {
    const size_t frac_begin = ++i;
    while (i < text.size() && is_digit(text[i])) ++i;
    frac_digits = text.substr(frac_begin, i - frac_begin);
  }
  if (int_digits.empty() && frac_digits.empty()) return std::nullopt;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exponent_negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      exponent_negative = text[i] == '-';
      ++i;
    }
    const size_t exp_begin = i;
    while (i < text.size() && is_digit(text[i])) {
      // Saturate: anything this large over- or underflows anyway.
      if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (i == exp_begin) return std::nullopt;
    if (exponent_negative) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;

  double value = 0.0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(),
                                   value, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    value = overflows(int_digits, frac_digits, exponent)
                ? std::numeric_limits<double>::infinity()
                : 0.0;
  } else if (res.ec != std::errc() ||
             res.ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  return sign * value;
}

// The number a field holds, for a comparison: Integer (to the nearest
// double) or Float; nothing for any other kind.
std::optional<double> numeric_value(const Value& value) {
  if (value.kind() == Value::Kind::kInteger) {
    return static_cast<double>(value.as_integer());
  }
  if (value.kind() == Value::Kind::kFloat) return value.as_float();
  return std::nullopt;
}

bool less_than(const NameScope& scope, std::string_view field, double number) {
  const Value* value = scope.find(field);
  if (value == nullptr) return false;
  const std::optional<double> x = numeric_value(*value);
  return x.has_value() && number > *x;
}

}  // namespace

EvaluationOutcome ExpressionEvaluator::evaluate(
    std::string_view condition, const ExecutionState::Fields& state) {
  return evaluate(condition, FieldScope(state));
}

// The one place that decides which texts are conditions: evaluate() and
// the lints that tell authors about unchecked conditions both read it.
std::optional<ConditionForm> detail::recognise_condition(
    std::string_view condition) {
  const std::string_view t = detail::trim_white_space(condition);

  if (ends_with(t, kNotEmptySuffix)) {
    return ConditionForm{Op::kNotEmpty,
                         detail::trim_white_space(t.substr(
                             0, t.size() - kNotEmptySuffix.size())),
                         0.0};
  }

  for (const OpText& op : kOperators) {
    const std::optional<Comparison> cmp =
        ExpressionEvaluator::parse_comparison(t, op.text);
    if (cmp.has_value()) return ConditionForm{op.op, cmp->field, cmp->number};
  }

  if (ends_with(t, kBooleanSuffix)) {
    return ConditionForm{Op::kBoolean,
                         detail::trim_white_space(t.substr(
                             0, t.size() - kBooleanSuffix.size())),
                         0.0};
  }

  return std::nullopt;
}

EvaluationOutcome ExpressionEvaluator::evaluate(std::string_view condition,
                                                const NameScope& scope) {
  return detail::evaluate_form(detail::recognise_condition(condition), scope);
}

EvaluationOutcome detail::evaluate_form(
    const std::optional<ConditionForm>& form, const NameScope& scope) {
  if (!form.has_value()) return {true, false};
  const Value* value = scope.find(form->field);

  switch (form->kind) {
    case Op::kNotEmpty:
      return {value != nullptr && value->truthy(), true};
    case Op::kBoolean:
      return {value != nullptr && value->kind() == Value::Kind::kBoolean,
              true};
    default:
      break;
  }

  if (value == nullptr) return {false, true};
  const std::optional<double> x = numeric_value(*value);
  if (!x.has_value()) return {false, true};
  const double n = form->number;
  switch (form->kind) {
    case Op::kGreaterEqual: return {*x >= n, true};
    case Op::kLessEqual: return {*x <= n, true};
    case Op::kGreater: return {*x > n, true};
    case Op::kLess: return {less_than(scope, form->field, n), true};
    default: return {false, true};  // handled above
  }
}

std::optional<Comparison> ExpressionEvaluator::parse_comparison(
    std::string_view text, std::string_view op) {
  const size_t at = text.find(op);
  if (at == std::string_view::npos) return std::nullopt;
  const std::optional<double> number =
      parse_number(detail::trim_white_space(text.substr(at + op.size())));
  if (!number.has_value()) return std::nullopt;
  return Comparison{detail::trim_white_space(text.substr(0, at)), *number};
}

bool ExpressionEvaluator::numeric_cmp(const ExecutionState::Fields& state,
                                      std::string_view field, double number) {
  return less_than(FieldScope(state), field, number);
}

std::optional<std::vector<std::string>> ExpressionEvaluator::check_invariants(
    const std::vector<std::string>& invariants,
    const ExecutionState::Fields& state) {
  const FieldScope scope(state);
  std::vector<std::string> violated;
  for (const std::string& invariant : invariants) {
    const EvaluationOutcome outcome = evaluate(invariant, scope);
    if (outcome.determined && !outcome.holds) violated.push_back(invariant);
  }
  if (violated.empty()) return std::nullopt;
  return violated;
}

}  // namespace qel
