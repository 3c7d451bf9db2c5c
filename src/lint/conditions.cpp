// L001, L004 and L005: conditions the run time never checks, invariants the
// initial state breaks, and checked conditions on fields that never exist.
// What counts as a condition, and what the initial state holds, is decided
// by the executor's own code, so the lints cannot drift from the run time.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/fixes.h"
#include "executor/condition_form.h"
#include "executor/text.h"
#include "lint/lint_checks.h"
#include "qel/executor.h"
#include "qel/model.h"
#include "qel/parser.h"
#include "qel/verifier.h"

namespace qel::detail {

namespace {

using Clause = ConditionSite::Clause;

// Names in byte-wise order, for membership tests.
class NameSet {
 public:
  explicit NameSet(const syntax::StateFields& fields) {
    for (const syntax::StateField f : fields) names_.push_back(f.name());
    std::sort(names_.begin(), names_.end());
  }
  bool contains(std::string_view name) const {
    return std::binary_search(names_.begin(), names_.end(), name);
  }

 private:
  std::vector<std::string_view> names_;
};

class ConditionLinter {
 public:
  ConditionLinter(const SyntaxTree& tree, const VerificationResult& verified,
                  std::vector<Diagnostic>& out)
      : state_names_(tree.contract().data_semantics().state()),
        initial_(ExecutionState::from_contract(lower_contract(tree))),
        out_(out) {
    // The verifier's coherence warnings that point at a condition are its
    // unknown-name warnings; a condition it has warned about is not
    // reported a second time.
    for (const Diagnostic& d : verified.diagnostics()) {
      if (d.severity == Severity::kWarning &&
          d.kind == DiagnosticKind::kCoherence && d.span.has_value()) {
        warned_offsets_.push_back(d.span->offset);
      }
    }
    std::sort(warned_offsets_.begin(), warned_offsets_.end());
  }

  void operation(const syntax::OperationNode& op) {
    const NameSet parameters(op.parameters());
    const syntax::Text pre = op.precondition();
    check({Clause::kPrecondition, pre.text(), &op}, pre, &parameters);
    const syntax::Text post = op.postcondition();
    check({Clause::kPostcondition, post.text(), &op}, post, &parameters);
  }

  void invariant(const syntax::Text& invariant) {
    check({Clause::kInvariant, invariant.text(), nullptr}, invariant, nullptr);
  }

 private:
  void add(std::string_view code, std::string message, const Span& span) {
    out_.push_back(lint_finding(code, std::move(message), span));
  }

  bool verifier_warned(const Span& span) const {
    return std::binary_search(warned_offsets_.begin(), warned_offsets_.end(),
                              span.offset);
  }

  void check(const ConditionSite& site, const syntax::Text& literal,
             const NameSet* parameters) {
    // An empty condition states nothing, so there is nothing to miss.
    if (trim_white_space(site.text).empty()) return;
    const Span span = literal.span();
    const auto known = [&](std::string_view name) {
      return state_names_.contains(name) ||
             (parameters != nullptr && parameters->contains(name));
    };
    const std::optional<ConditionForm> form =
        recognise_condition(site.text);
    if (!form.has_value()) {
      add(kUnevaluatedCondition, unevaluated_condition_message(site), span);
      if (std::optional<Fix> fix = condition_spacing_fix(literal, known)) {
        out_.back().fixes.push_back(std::move(*fix));
      }
      return;
    }
    if (!known(form->field)) {
      if (site.operation != nullptr && verifier_warned(span)) return;
      // A missing field also breaks an invariant in the initial state; this
      // is the finding that names the cause.
      add(kUnknownConditionField, unknown_field_message(site, form->field),
          span);
      return;
    }
    if (site.clause != Clause::kInvariant) return;
    const EvaluationOutcome outcome =
        ExpressionEvaluator::evaluate(site.text, initial_.fields());
    if (outcome.determined && !outcome.holds) {
      const Value* start = initial_.find(form->field);
      add(kInitialStateViolation,
          initial_state_violation_message(site, form->field,
                                          start != nullptr ? *start : Value()),
          span);
    }
  }

  const NameSet state_names_;
  const ExecutionState initial_;
  std::vector<uint64_t> warned_offsets_;
  std::vector<Diagnostic>& out_;
};

}  // namespace

void lint_conditions(const SyntaxTree& tree, const VerificationResult& verified,
                     std::vector<Diagnostic>& out) {
  ConditionLinter linter(tree, verified, out);
  const syntax::ContractNode contract = tree.contract();
  for (const syntax::OperationNode op :
       contract.behavioral_semantics().operations()) {
    linter.operation(op);
  }
  for (const syntax::Text invariant : contract.data_semantics().invariants()) {
    linter.invariant(invariant);
  }
}

}  // namespace qel::detail
