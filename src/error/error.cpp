#include "qel/error.h"

namespace qel {

std::string Error::to_string() const {
  switch (kind_) {
    case ErrorKind::kParseError:
      return "Parse error: " + first_;
    case ErrorKind::kTypeMismatch:
      return "Type mismatch: expected " + first_ + ", found " + second_;
    case ErrorKind::kDeterminismViolation:
      return "Determinism violation: " + first_;
    case ErrorKind::kContractViolation:
      return "Contract violation - " + first_ + ": " + second_;
    case ErrorKind::kValidationError:
      return "Validation error: " + first_;
    case ErrorKind::kExecutionError:
      return "Execution error: " + first_;
    case ErrorKind::kNormalizationError:
      return "Normalization error: " + first_;
    case ErrorKind::kInterrupted:
      return "Interrupted";
  }
  return first_;
}

}  // namespace qel
