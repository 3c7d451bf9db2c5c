// The one error type of the core library, and the result-or-error wrapper
// that every fallible core operation returns.
#ifndef QEL_ERROR_H_
#define QEL_ERROR_H_

#include <string>
#include <utility>
#include <variant>

namespace qel {

// Closed set of error kinds, in declaration order. Callers never branch on
// the kind; they show the text form.
enum class ErrorKind {
  kParseError,            // tokenizer and parser failures
  kTypeMismatch,          // expected, found
  kDeterminismViolation,  // message
  kContractViolation,     // clause, detail
  kValidationError,       // message
  kExecutionError,        // executor failures of a request or of a call
  kNormalizationError,    // message
  kInterrupted,           // the caller's Interrupter asked the call to stop
};

class Error {
 public:
  static Error parse_error(std::string message) {
    return Error(ErrorKind::kParseError, std::move(message));
  }
  static Error type_mismatch(std::string expected, std::string found) {
    return Error(ErrorKind::kTypeMismatch, std::move(expected),
                 std::move(found));
  }
  static Error determinism_violation(std::string message) {
    return Error(ErrorKind::kDeterminismViolation, std::move(message));
  }
  static Error contract_violation(std::string clause, std::string detail) {
    return Error(ErrorKind::kContractViolation, std::move(clause),
                 std::move(detail));
  }
  static Error validation_error(std::string message) {
    return Error(ErrorKind::kValidationError, std::move(message));
  }
  static Error execution_error(std::string message) {
    return Error(ErrorKind::kExecutionError, std::move(message));
  }
  static Error normalization_error(std::string message) {
    return Error(ErrorKind::kNormalizationError, std::move(message));
  }
  // Not a fault of the input: the caller stopped the call.
  static Error interrupted() { return Error(ErrorKind::kInterrupted, {}); }

  ErrorKind kind() const { return kind_; }
  // The single payload, or the first of two (expected / clause).
  const std::string& first() const { return first_; }
  // The second payload (found / detail); empty for one-text kinds.
  const std::string& second() const { return second_; }

  // The user-visible text form: a fixed prefix and the payloads verbatim.
  std::string to_string() const;

 private:
  Error(ErrorKind kind, std::string first, std::string second = {})
      : kind_(kind), first_(std::move(first)), second_(std::move(second)) {}

  ErrorKind kind_;
  std::string first_;
  std::string second_;
};

// Either a T or an Error. Propagate with QEL_ASSIGN_OR_RETURN.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : data_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return data_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(data_); }
  const T& value() const& { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(data_); }
  Error&& error() && { return std::get<1>(std::move(data_)); }

 private:
  std::variant<T, Error> data_;
};

#define QEL_CONCAT_INNER_(a, b) a##b
#define QEL_CONCAT_(a, b) QEL_CONCAT_INNER_(a, b)

// Evaluates `expr` (a Result<T>); on error returns the Error from the
// enclosing function, otherwise moves the value into `lhs`.
#define QEL_ASSIGN_OR_RETURN(lhs, expr) \
  QEL_ASSIGN_OR_RETURN_IMPL_(QEL_CONCAT_(qel_result_, __LINE__), lhs, expr)
#define QEL_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                               \
  if (!tmp.ok()) return std::move(tmp).error();    \
  lhs = std::move(tmp).value()

}  // namespace qel

#endif  // QEL_ERROR_H_
