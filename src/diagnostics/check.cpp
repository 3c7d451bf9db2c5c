// The check pipeline: parse, verify, lint, suppressions, selection.
#include "qel/check.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "diagnostics/suppressions.h"
#include "qel/lint.h"
#include "qel/parser.h"
#include "qel/rules.h"
#include "qel/verifier.h"

namespace qel {

namespace {

std::string_view parse_code(ParseError::Kind kind) {
  switch (kind) {
    case ParseError::Kind::kEncoding: return rule::kInvalidEncoding;
    case ParseError::Kind::kLexical: return rule::kLexical;
    case ParseError::Kind::kGrammar: return rule::kGrammar;
  }
  return rule::kGrammar;
}

bool matches(const std::vector<std::string>& selectors, std::string_view code) {
  for (const std::string& s : selectors) {
    if (code.starts_with(s)) return true;
  }
  return false;
}

// Every independent parse error of a text that did not parse.
Result<std::vector<Diagnostic>> parse_errors(std::string_view text,
                                             const Error& strict,
                                             const Interrupter& interrupter) {
  QEL_ASSIGN_OR_RETURN(const Parse parsed, parse(text, interrupter));
  std::vector<Diagnostic> out;
  for (const ParseError& e : parsed.errors) {
    Diagnostic d{Severity::kError, DiagnosticKind::kParse, e.message,
                 parsed.tree.span_at(e.begin)};
    d.code = parse_code(e.kind);
    d.range = ByteRange{e.begin, e.end};
    d.help = e.help;
    out.push_back(std::move(d));
  }
  if (out.empty()) {
    // The tolerant parse agrees with the strict one by construction; should
    // it ever not, the strict error is still reported, without a place.
    Diagnostic d{Severity::kError, DiagnosticKind::kParse, strict.to_string(),
                 std::nullopt};
    d.code = rule::kGrammar;
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace

bool is_rule_selector(std::string_view selector) {
  if (selector.empty()) return false;
  for (const Rule& r : rules()) {
    if (r.code.starts_with(selector)) return true;
  }
  return false;
}

std::optional<Diagnostic> strict_parse_error(std::string_view text) {
  Result<Parse> parsed = parse(text);
  if (!parsed.ok()) return std::nullopt;
  if (parsed->errors.empty()) {
    std::optional<ParseError> refusal = version_refusal(parsed->tree);
    if (!refusal) return std::nullopt;
    Diagnostic d{Severity::kError, DiagnosticKind::kParse,
                 std::move(refusal->message),
                 parsed->tree.span_at(refusal->begin)};
    d.code = rule::kVersionTooLarge;
    d.range = ByteRange{refusal->begin, refusal->end};
    return d;
  }
  // The strict parse's order: invalid UTF-8, then the first lexical error
  // anywhere, then the grammar's first, in the order they were found.
  const ParseError* first = nullptr;
  for (const ParseError& e : parsed->errors) {
    if (first == nullptr ||
        std::tie(e.kind, e.found) < std::tie(first->kind, first->found)) {
      first = &e;
    }
  }
  Diagnostic d{Severity::kError, DiagnosticKind::kParse, first->message,
               parsed->tree.span_at(first->begin)};
  d.code = parse_code(first->kind);
  d.range = ByteRange{first->begin, first->end};
  d.help = first->help;
  return d;
}

Result<CheckResult> check(std::string_view text, const CheckOptions& options,
                          const Interrupter& interrupter) {
  CheckResult result;
  const Result<SyntaxTree> tree = parse_tree(text, interrupter);
  if (!tree.ok()) {
    if (tree.error().kind() == ErrorKind::kInterrupted) return tree.error();
    QEL_ASSIGN_OR_RETURN(result.findings,
                         parse_errors(text, tree.error(), interrupter));
    return result;
  }
  result.parsed = true;
  QEL_ASSIGN_OR_RETURN(VerificationResult verified,
                       verify(*tree, interrupter));
  std::vector<Diagnostic> lints = lint(*tree, verified);
  std::vector<Diagnostic> found = std::move(verified.diagnostics());
  found.insert(found.end(), std::make_move_iterator(lints.begin()),
               std::make_move_iterator(lints.end()));
  found = detail::apply_suppressions(std::move(found), *tree);
  // The verifier's findings keep its order; lints, the reports about
  // suppressions among them, go after them in source order.
  const auto lints_begin = std::stable_partition(
      found.begin(), found.end(),
      [](const Diagnostic& d) { return d.kind != DiagnosticKind::kLint; });
  std::stable_sort(lints_begin, found.end(),
                   [](const Diagnostic& a, const Diagnostic& b) {
                     return std::tie(a.range.begin, a.code) <
                            std::tie(b.range.begin, b.code);
                   });
  for (Diagnostic& d : found) {
    if (options.select && !matches(*options.select, d.code)) continue;
    if (matches(options.ignore, d.code)) continue;
    result.findings.push_back(std::move(d));
  }
  result.valid = true;
  for (const Diagnostic& d : result.findings) {
    if (d.severity == Severity::kError || options.strict) result.valid = false;
  }
  return result;
}

}  // namespace qel
