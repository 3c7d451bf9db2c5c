// Resource limits of one execution.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qel/executor.h"

namespace qel {

namespace {

Error size_failure(std::string_view what, uint64_t total, uint64_t limit) {
  std::string message(what);
  message += ' ';
  append_uint(message, total);
  message += " bytes exceeds limit of ";
  append_uint(message, limit);
  message += " bytes";
  return Error::execution_error(std::move(message));
}

}  // namespace

Sandbox::Sandbox(const ExecutionConstraints& constraints)
    : permissions_(constraints.external_permissions),
      limits_(constraints.resource_limits),
      mode_(mode_from_text(constraints.sandbox_mode)) {}

SandboxMode Sandbox::mode_from_text(std::string_view text) {
  if (text == "none") return SandboxMode::kNone;
  if (text == "restricted") return SandboxMode::kRestricted;
  return SandboxMode::kFullIsolation;
}

uint64_t Sandbox::state_size(const ExecutionState::Fields& fields) {
  uint64_t total = 0;
  for (const auto& [name, value] : fields) {
    total += static_cast<uint64_t>(name.size()) +
             ExecutionState::value_size(value);
  }
  return total;
}

uint64_t Sandbox::whole_milliseconds(std::chrono::nanoseconds elapsed) {
  if (elapsed.count() < 0) return 0;  // a monotonic clock never goes back
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

std::optional<Error> Sandbox::check_memory(
    const ExecutionState::Fields& fields) const {
  const uint64_t total = state_size(fields);
  if (total > limits_.max_state_size_bytes) {
    return size_failure("State size", total, limits_.max_state_size_bytes);
  }
  if (total > limits_.max_memory_bytes) {
    return size_failure("Memory usage", total, limits_.max_memory_bytes);
  }
  return std::nullopt;
}

std::optional<Error> Sandbox::check_time(std::string_view operation,
                                         uint64_t elapsed_ms) const {
  if (elapsed_ms <= limits_.computation_timeout_ms) return std::nullopt;
  std::string message = "Operation '";
  message += operation;
  message += "' exceeded timeout of ";
  append_uint(message, limits_.computation_timeout_ms);
  message += "ms (took ";
  append_uint(message, elapsed_ms);
  message += "ms)";
  return Error::execution_error(std::move(message));
}

}  // namespace qel
