// Compiled contracts, declared types for checked inputs, and sessions.
#include "qel/compiled.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "executor/json_input.h"
#include "executor/prepared.h"
#include "executor/result_writer.h"
#include "executor/run_text.h"
#include "qel/canonical.h"
#include "qel/interrupt.h"
#include "qel/limits.h"
#include "qel/parser.h"
#include "syntax/lower.h"
#include "util/dispose.h"
#include "util/sort_asking.h"
#include "util/string_result.h"

namespace qel {

// ---- Declared types ---------------------------------------------------------

// Reads the text form that lowering gives a type (see Type::append_text).
class TypeReader {
 public:
  explicit TypeReader(std::string_view text) : text_(text) {}

  std::optional<DeclaredType> read_all() {
    std::optional<DeclaredType> type = read(0);
    if (!type || pos_ != text_.size()) return std::nullopt;
    return type;
  }

 private:
  bool take(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  void skip_spaces() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }

  std::optional<DeclaredType> read(int depth) {
    // The text comes from a parsed tree, whose nesting is bounded; a model
    // built elsewhere might not be, and its deeper types go unchecked.
    if (depth > kMaxNestingDepth) return std::nullopt;
    using Kind = DeclaredType::Kind;
    static constexpr std::pair<std::string_view, Kind> kPrimitives[] = {
        {"Integer", Kind::kInteger}, {"Float", Kind::kFloat},
        {"String", Kind::kString},   {"Boolean", Kind::kBoolean},
        {"ISO8601", Kind::kIso8601}, {"UUID", Kind::kUuid},
    };
    DeclaredType type;
    for (const auto& [name, kind] : kPrimitives) {
      if (take(name)) {
        type.kind_ = kind;
        return type;
      }
    }
    if (take("Array<")) {
      type.kind_ = Kind::kArray;
      if (!element(type, depth) || !take(">")) return std::nullopt;
      return type;
    }
    if (take("Map<")) {
      type.kind_ = Kind::kMap;
      if (!element(type, depth) || !take(", ") || !element(type, depth) ||
          !take(">")) {
        return std::nullopt;
      }
      return type;
    }
    if (take("Object {")) {
      type.kind_ = Kind::kObject;
      skip_spaces();
      while (!take("}")) {
        if (!type.names_.empty() && !take(", ")) return std::nullopt;
        const std::size_t colon = text_.find(": ", pos_);
        if (colon == std::string_view::npos) return std::nullopt;
        type.names_.emplace_back(text_.substr(pos_, colon - pos_));
        pos_ = colon + 2;
        std::optional<DeclaredType> field = read(depth + 1);
        if (!field) return std::nullopt;
        type.fields_.push_back(std::move(*field));
        skip_spaces();
      }
      return type;
    }
    if (take("Enum [")) {
      type.kind_ = Kind::kEnum;
      while (!take("]")) {
        if (!type.names_.empty() && !take(", ")) return std::nullopt;
        if (!take("\"")) return std::nullopt;
        // A variant ends at the quote before the next separator or the
        // closing bracket.
        std::size_t end = pos_;
        for (;; ++end) {
          end = text_.find('"', end);
          if (end == std::string_view::npos) return std::nullopt;
          const std::string_view rest = text_.substr(end + 1);
          if (rest.starts_with(", \"") || rest.starts_with("]")) break;
        }
        type.names_.emplace_back(text_.substr(pos_, end - pos_));
        pos_ = end + 1;
      }
      return type;
    }
    return std::nullopt;
  }

  bool element(DeclaredType& type, int depth) {
    std::optional<DeclaredType> inner = read(depth + 1);
    if (!inner) return false;
    type.elements_.push_back(std::move(*inner));
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::optional<DeclaredType> DeclaredType::read(std::string_view text) {
  return TypeReader(text).read_all();
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// YYYY-MM-DD, then anything (a time, a zone).
bool looks_like_timestamp(std::string_view s) {
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
  for (const std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!is_digit(s[i])) return false;
  }
  return true;
}

bool looks_like_uuid(std::string_view s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !is_hex(s[i])) return false;
  }
  return true;
}

}  // namespace

bool DeclaredType::accepts(const Json& value) const {
  switch (kind_) {
    case Kind::kInteger:
      return value.kind() == Json::Kind::kInteger;
    case Kind::kFloat:
      return value.is_number();
    case Kind::kString:
      return value.is_string();
    case Kind::kBoolean:
      return value.is_boolean();
    case Kind::kIso8601:
      return value.is_string() && looks_like_timestamp(value.as_string());
    case Kind::kUuid:
      return value.is_string() && looks_like_uuid(value.as_string());
    case Kind::kEnum:
      return value.is_string() &&
             std::find(names_.begin(), names_.end(), value.as_string()) !=
                 names_.end();
    case Kind::kArray:
      return value.is_array() &&
             std::all_of(value.as_array().begin(), value.as_array().end(),
                         [&](const Json& e) { return elements_[0].accepts(e); });
    case Kind::kMap:
      return value.is_object() &&
             std::all_of(value.as_object().begin(), value.as_object().end(),
                         [&](const auto& m) {
                           return elements_[1].accepts(m.second);
                         });
    case Kind::kObject: {
      if (!value.is_object()) return false;
      const Json::Object& members = value.as_object();
      for (const auto& [name, member] : members) {
        const auto it = std::find(names_.begin(), names_.end(), name);
        if (it == names_.end()) return false;
        if (!fields_[static_cast<std::size_t>(it - names_.begin())].accepts(
                member)) {
          return false;
        }
      }
      return std::all_of(names_.begin(), names_.end(), [&](const auto& n) {
        return members.find(n) != members.end();
      });
    }
  }
  return false;
}

// ---- Compiled contracts -------------------------------------------------------

namespace {

// Items (an operation, a state field, a condition) between two questions
// to the interrupter: well under a millisecond of compiling.
constexpr uint64_t kItemsPerPoll = 4096;

// Numbers told apart the contracts a thread has run.
std::atomic<uint64_t> next_contract_id{1};

// Initial states up to this size (as written) are kept per thread between
// calls; larger ones are copied for each call, not kept.
constexpr std::size_t kCachedStateBytes = std::size_t{64} << 10;

}  // namespace

CompiledContract::CompiledContract(Token, Contract contract,
                                   std::string source,
                                   std::string semantic_hash)
    : CompiledContract(std::move(contract), std::move(source),
                       std::move(semantic_hash)) {
  detail::InterruptPoll never({}, kItemsPerPoll);
  (void)build(never);
}

CompiledContract::CompiledContract(Contract contract, std::string source,
                                   std::string semantic_hash)
    : id_(next_contract_id.fetch_add(1, std::memory_order_relaxed)),
      contract_(std::move(contract)),
      source_(std::move(source)),
      semantic_hash_(std::move(semantic_hash)),
      sandbox_(contract_.execution_constraints) {}

CompiledContract::~CompiledContract() = default;

bool CompiledContract::build(detail::InterruptPoll& poll) {
  // ExecutionState::from_contract, asking as it goes. The model's state
  // object is in key order with unique names, as a state's fields are.
  const Json& declared = contract_.data_semantics.state;
  if (declared.is_object()) {
    ExecutionState::Fields fields;
    fields.reserve(declared.as_object().size());
    for (const auto& [name, description] : declared.as_object()) {
      if (poll.tick()) return false;
      fields.emplace_back(name, ExecutionState::default_for_type(description));
    }
    initial_state_ = ExecutionState(std::move(fields));
  }

  const std::vector<Operation>& ops = contract_.behavioral_semantics.operations;
  operations_by_name_.resize(ops.size());
  std::iota(operations_by_name_.begin(), operations_by_name_.end(),
            std::size_t{0});
  // By name, then declaration order: a strict order whose result is the
  // stable sort by name.
  if (!detail::sort_asking(
          operations_by_name_.begin(), operations_by_name_.end(),
          [&](std::size_t a, std::size_t b) {
            const int order = ops[a].name.compare(ops[b].name);
            return order < 0 || (order == 0 && a < b);
          },
          [&] { return poll.ask(); })) {
    return false;
  }
  parameter_types_.resize(ops.size());
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (!ops[i].parameters.is_object()) continue;
    for (const auto& [name, type] : ops[i].parameters.as_object()) {
      if (poll.tick()) return false;
      parameter_types_[i].emplace_back(
          name, type.is_string() ? DeclaredType::read(type.as_string())
                                 : std::nullopt);
    }
  }

  auto prepared = std::make_unique<detail::Prepared>();
  const bool built = prepared->build(contract_, initial_state_, poll);
  prepared_ = std::move(prepared);
  return built;
}

Result<CompiledContractRef> CompiledContract::build(
    Contract contract, std::string source, std::string semantic_hash,
    const Interrupter& interrupter) {
  std::shared_ptr<CompiledContract> compiled(new CompiledContract(
      std::move(contract), std::move(source), std::move(semantic_hash)));
  detail::InterruptPoll poll(interrupter, kItemsPerPoll);
  if (!compiled->build(poll)) {
    // The model alone takes a good part of a second to free.
    detail::dispose_later(std::move(compiled));
    return Error::interrupted();
  }
  return CompiledContractRef(std::move(compiled));
}

Result<CompiledContractRef> CompiledContract::compile(
    std::string_view text, const Interrupter& interrupter) {
  QEL_ASSIGN_OR_RETURN(SyntaxTree tree, parse_tree(text, interrupter));
  if (static_cast<uint64_t>(
          tree.contract().identity().version().value()) > detail::kMaxVersion) {
    // parse_contract words the refusal; this path is rare enough to parse
    // again for it.
    return parse_contract(text).error();
  }
  QEL_ASSIGN_OR_RETURN(Contract contract, lower_contract(tree, interrupter));
  return build(std::move(contract), std::string(text),
               compute_semantic_hash(tree), interrupter);
}

CompiledContractRef CompiledContract::from_contract(Contract contract) {
  return std::make_shared<const CompiledContract>(Token{}, std::move(contract),
                                                  std::string(), std::string());
}

Result<CompiledContractRef> CompiledContract::from_contract(
    Contract contract, const Interrupter& interrupter) {
  return build(std::move(contract), std::string(), std::string(), interrupter);
}

// The first operation in declaration order with this name: the first of
// its equal names in the stably sorted index.
const Operation* CompiledContract::find_operation(std::string_view name) const {
  const std::vector<Operation>& ops = contract_.behavioral_semantics.operations;
  const auto it = std::lower_bound(
      operations_by_name_.begin(), operations_by_name_.end(), name,
      [&](std::size_t i, std::string_view n) {
        return std::string_view(ops[i].name) < n;
      });
  if (it == operations_by_name_.end() || ops[*it].name != name) return nullptr;
  return &ops[*it];
}

EvaluationOutcome CompiledContract::check_precondition(
    const Operation& operation, const NameScope& scope) const {
  const std::vector<Operation>& ops = contract_.behavioral_semantics.operations;
  return detail::evaluate_form(
      prepared_->preconditions[static_cast<std::size_t>(&operation - ops.data())],
      scope);
}

EvaluationOutcome CompiledContract::check_postcondition(
    const Operation& operation, const NameScope& scope) const {
  const std::vector<Operation>& ops = contract_.behavioral_semantics.operations;
  return detail::evaluate_form(
      prepared_->postconditions[static_cast<std::size_t>(&operation -
                                                         ops.data())],
      scope);
}

std::optional<std::vector<std::string>> CompiledContract::check_invariants(
    const ExecutionState::Fields& state) const {
  const FieldScope scope(state);
  const std::vector<std::string>& invariants =
      contract_.data_semantics.invariants;
  std::vector<std::string> violated;
  for (std::size_t i = 0; i < invariants.size(); ++i) {
    const EvaluationOutcome outcome =
        detail::evaluate_form(prepared_->invariants[i], scope);
    if (outcome.determined && !outcome.holds) {
      violated.push_back(invariants[i]);
    }
  }
  if (violated.empty()) return std::nullopt;
  return violated;
}

std::optional<Error> CompiledContract::check_inputs(const Operation& operation,
                                                    const Json& inputs) const {
  const std::vector<Operation>& ops = contract_.behavioral_semantics.operations;
  const auto& types =
      parameter_types_[static_cast<std::size_t>(&operation - ops.data())];
  const auto value_text = [](const Json& value) {
    std::string text;
    append_compact_json(text, value);
    return text;
  };
  if (!inputs.is_object()) {
    std::string message = "Inputs of operation '";
    message += operation.name;
    message += "' must be an object, got ";
    message += value_text(inputs);
    return Error::execution_error(std::move(message));
  }
  const Json& state = contract_.data_semantics.state;
  for (const auto& [name, value] : inputs.as_object()) {
    const auto it = std::lower_bound(
        types.begin(), types.end(), name,
        [](const auto& entry, const std::string& n) { return entry.first < n; });
    std::string message = "Input '";
    message += name;
    message += "' of operation '";
    message += operation.name;
    if (it == types.end() || it->first != name) {
      if (state.find(name) != nullptr) continue;
      message += "' is neither a parameter nor a state field";
      return Error::execution_error(std::move(message));
    }
    if (!it->second || it->second->accepts(value)) continue;
    message += "' must be ";
    message += operation.parameters.find(name)->as_string();
    message += ", got ";
    message += value_text(value);
    return Error::execution_error(std::move(message));
  }
  return std::nullopt;
}

Result<std::string> CompiledContract::execute(std::string_view inputs,
                                              const RunOptions& options) const {
  return detail::string_result(
      [&](Output& out) { return execute(inputs, out, options); });
}

std::optional<Error> CompiledContract::execute(std::string_view inputs,
                                               Output& out,
                                               const RunOptions& options) const {
  // Threads running one contract share nothing they write: the contract
  // is borrowed for the call (no reference count bouncing between cores)
  // and the state starts as a copy of its own. A session's run, without
  // the session: nothing of this one outlives the call.
  // Each thread keeps its copy for the next call, so that a call of one
  // request does not copy the state first. Keyed by the contract's number,
  // never reused, rather than by its address, which may be; not while a
  // call on this thread uses it (a signal handler's call inside another).
  thread_local struct {
    uint64_t id = 0;
    ExecutionState state;
    bool busy = false;
  } cached;
  ExecutionState own;
  const ExecutionState* start = &own;
  bool* busy = nullptr;
  if (!cached.busy &&
      prepared_->initial_state_text.size() <= kCachedStateBytes) {
    if (cached.id != id_) {
      cached.id = 0;  // until the copy is made, should it fail
      cached.state = ExecutionState(initial_state_.fields());
      cached.id = id_;
    }
    start = &cached.state;
    busy = &cached.busy;
    *busy = true;
  } else {
    own = ExecutionState(initial_state_.fields());
  }
  struct Release {
    bool* busy;
    ~Release() {
      if (busy != nullptr) *busy = false;
    }
  } release{busy};
  Executor executor(CompiledContractRef(CompiledContractRef(), this), *start,
                    0);
  // The result writer knows the initial state by its fields' address.
  executor.initial_ = start;
  executor.set_keep_log(false);
  executor.set_interrupter(options.interrupter);
  executor.set_check_inputs(options.check_inputs);
  return detail::run_request_text(executor, inputs, out);
}

// ---- Prepared texts and forms ---------------------------------------------------

namespace detail {

Prepared::Prepared(const Contract& contract,
                   const ExecutionState& initial_state) {
  InterruptPoll never({}, kItemsPerPoll);
  (void)build(contract, initial_state, never);
}

bool Prepared::build(const Contract& contract,
                     const ExecutionState& initial_state, InterruptPoll& poll) {
  head_success = result_head_text(contract.identity.stable_id, true);
  head_failure = result_head_text(contract.identity.stable_id, false);
  // The writer asks through `poll`, whose answer stays once it said stop.
  const Interrupter asking{
      [](void* p) noexcept { return static_cast<InterruptPoll*>(p)->ask(); },
      &poll};
  initial_state_text = state_text(initial_state, kInitialStateIndent,
                                  &initial_field_texts, asking);
  if (poll.stopped()) return false;
  initial_state_non_ascii =
      std::any_of(initial_state_text.begin(), initial_state_text.end(),
                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  one_request_size = head_failure.size() + 12 * initial_state_text.size() + 1024;
  const std::vector<Operation>& ops = contract.behavioral_semantics.operations;
  preconditions.reserve(ops.size());
  postconditions.reserve(ops.size());
  for (const Operation& op : ops) {
    if (poll.tick(2)) return false;
    preconditions.push_back(recognise_condition(op.precondition));
    postconditions.push_back(recognise_condition(op.postcondition));
  }
  for (const std::string& invariant : contract.data_semantics.invariants) {
    if (poll.tick()) return false;
    invariants.push_back(recognise_condition(invariant));
  }
  return true;
}

}  // namespace detail

// ---- Sessions -------------------------------------------------------------

Result<ExecutionState> read_state_json(std::string_view text) {
  QEL_ASSIGN_OR_RETURN(Json parsed, detail::parse_json(text, "Invalid state: "));
  if (!parsed.is_object()) {
    return Error::execution_error(
        "State must be a JSON object of field names and values (a "
        "final_state)");
  }
  ExecutionState::Fields fields;
  fields.reserve(parsed.as_object().size());
  for (const auto& [name, value] : parsed.as_object()) {
    fields.emplace_back(name, Value::from_json(value));
  }
  return ExecutionState(std::move(fields));
}

Session::Session(CompiledContractRef contract)
    : Session(contract, contract->initial_state(), 0) {}

Session::Session(CompiledContractRef contract, ExecutionState state,
                 uint64_t next_sequence)
    : contract_(std::move(contract)),
      executor_(std::make_unique<Executor>(contract_, std::move(state),
                                           next_sequence)) {
  // Results carry their entries; a log kept here would grow with every call.
  executor_->set_keep_log(false);
}

Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;
Session::~Session() = default;

Result<std::string> Session::run(std::string_view inputs,
                                 const RunOptions& options) {
  return detail::string_result(
      [&](Output& out) { return run(inputs, out, options); });
}

std::optional<Error> Session::run(std::string_view inputs, Output& out,
                                  const RunOptions& options) {
  const ExecutionState before = executor_->state();
  const uint64_t sequence = executor_->next_sequence();
  executor_->set_interrupter(options.interrupter);
  executor_->set_check_inputs(options.check_inputs);
  std::optional<Error> error = detail::run_request_text(*executor_, inputs, out);
  // The interrupter lives only as long as this call.
  executor_->set_interrupter({});
  if (error) executor_->reset(before, sequence);
  return error;
}

Result<OperationResult> Session::run_request(Json& request,
                                             const RunOptions& options) {
  executor_->set_check_inputs(options.check_inputs);
  return executor_->run_request(request);
}

const ExecutionState& Session::state() const { return executor_->state(); }

uint64_t Session::next_sequence() const { return executor_->next_sequence(); }

void Session::write_state(std::string& out) const {
  write_state_json(executor_->state(), out);
}

}  // namespace qel
