// The fixes of findings and the loop that applies the safe ones. A fix is
// built only where it is provably what the author meant; every pass of
// the loop is checked again before its text is taken.
#include "qel/fixes.h"

#include <algorithm>
#include <string>
#include <utility>

#include "diagnostics/fixes.h"
#include "executor/condition_form.h"
#include "executor/text.h"
#include "qel/canonical.h"
#include "qel/parser.h"
#include "qel/rules.h"

namespace qel {

namespace detail {

namespace {

using Kind = ConditionForm::Kind;

std::optional<Kind> comparison_kind(std::string_view op) {
  if (op == ">=") return Kind::kGreaterEqual;
  if (op == "<=") return Kind::kLessEqual;
  if (op == ">") return Kind::kGreater;
  if (op == "<") return Kind::kLess;
  return std::nullopt;
}

// The offset in `whole` where `part`, a view into it, ends.
size_t end_in(std::string_view whole, std::string_view part) {
  return static_cast<size_t>(part.data() - whole.data()) + part.size();
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\f'; }

// The start of the line holding `at`.
size_t line_start(std::string_view text, size_t at) {
  const size_t lf = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
  return lf == std::string_view::npos ? 0 : lf + 1;
}

bool only_blanks(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return is_blank(c) || c == '\r'; });
}

}  // namespace

std::optional<Fix> condition_spacing_fix(
    const syntax::Text& literal,
    const std::function<bool(std::string_view)>& known) {
  const SyntaxTree& tree = literal.tree();
  const std::string_view written = tree.token_text(literal.token());
  // The edit counts bytes of the value as written: only a literal without
  // escapes has them one for one.
  if (written.size() < 2 || written.front() != '"' ||
      written.find('\\') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view value = written.substr(1, written.size() - 2);
  const size_t op_at = value.find_first_of("<>");
  if (op_at == std::string_view::npos) return std::nullopt;
  const size_t op_end =
      op_at + (op_at + 1 < value.size() && value[op_at + 1] == '=' ? 2 : 1);
  const std::string_view op = value.substr(op_at, op_end - op_at);
  const std::string_view field = trim_white_space(value.substr(0, op_at));
  const std::string_view number = trim_white_space(value.substr(op_end));
  if (field.empty() || number.empty()) return std::nullopt;
  const size_t left_end = end_in(value, field);
  const size_t right_begin = static_cast<size_t>(number.data() - value.data());

  std::string spaced = " ";
  spaced += op;
  spaced += ' ';
  std::string fixed(value.substr(0, left_end));
  fixed += spaced;
  fixed += value.substr(right_begin);
  // The fix is right only when the run time reads the new text as this
  // very comparison, of a field that exists.
  const std::optional<ConditionForm> form = recognise_condition(fixed);
  if (!form || form->kind != comparison_kind(op) || form->field != field ||
      !known(field)) {
    return std::nullopt;
  }
  const uint32_t inside = tree.token_offset(literal.token()) + 1;
  std::string title = "Write '";
  title += field;
  title += spaced;
  title += number;
  title += '\'';
  return Fix{std::move(title), true,
             {Edit{ByteRange{inside + static_cast<uint32_t>(left_end),
                             inside + static_cast<uint32_t>(right_begin)},
                   std::move(spaced)}}};
}

Fix remove_suppression_comment_fix(std::string_view text, ByteRange comment) {
  uint32_t end = comment.end;
  // A carriage return belongs to the line's end, which stays.
  if (end > comment.begin && text[end - 1] == '\r') --end;
  const size_t start = line_start(text, comment.begin);
  ByteRange removed{comment.begin, end};
  if (only_blanks(text.substr(start, comment.begin - start))) {
    removed.begin = static_cast<uint32_t>(start);
    size_t after = end;
    while (after < text.size() && text[after] == '\r') ++after;
    // The line above cannot be a suppression that this line's going would
    // retarget: one aimed at a comment line silences nothing, and is
    // removed as well.
    if (after < text.size() && text[after] == '\n') {
      removed.end = static_cast<uint32_t>(after + 1);
    }
  } else {
    while (removed.begin > start && is_blank(text[removed.begin - 1])) {
      --removed.begin;
    }
  }
  return Fix{"Remove the unused suppression", true, {Edit{removed, ""}}};
}

Fix remove_suppression_code_fix(std::string_view code, ByteRange removed) {
  std::string title = "Remove '";
  title += code;
  title += "' from the suppression";
  return Fix{std::move(title), true, {Edit{removed, ""}}};
}

Fix hash_literal_fix(const syntax::Text& written, std::string_view computed) {
  const SyntaxTree& tree = written.tree();
  std::string literal = "\"";
  literal += computed;
  literal += '"';
  return Fix{"Write the semantic hash", true,
             {Edit{ByteRange{tree.token_offset(written.token()),
                             tree.token_end(written.token())},
                   std::move(literal)}}};
}

}  // namespace detail

std::optional<Fix> hash_fix(const SyntaxTree& tree) {
  const syntax::Text written = tree.contract().identity().semantic_hash();
  const std::string computed = compute_semantic_hash(tree);
  // Upper-case digits are the same digest: nothing to write.
  const std::string_view text = written.text();
  const bool same =
      text.size() == computed.size() &&
      std::equal(text.begin(), text.end(), computed.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'F' ? static_cast<char>(a - 'A' + 'a') : a) ==
               b;
      });
  if (same) return std::nullopt;
  return detail::hash_literal_fix(written, computed);
}

bool fix_changes_meaning(std::string_view code) {
  return code == rule::kUnevaluatedCondition;
}

std::string apply_edits(std::string_view text, std::vector<Edit> edits) {
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
    return a.range.begin < b.range.begin;
  });
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  for (const Edit& e : edits) {
    out += text.substr(at, e.range.begin - at);
    out += e.replacement;
    at = e.range.end;
  }
  out += text.substr(at);
  return out;
}

namespace {

// Touching ranges count as overlapping: two insertions at one place, or a
// removal and an insertion at its end, have no order of their own.
bool overlap(const ByteRange& a, const ByteRange& b) {
  return a.begin <= b.end && b.begin <= a.end;
}

// The fixes of one pass.
struct Pass {
  std::vector<const Fix*> fixes;
  std::vector<std::string_view> codes;  // each fix's finding's code
  uint64_t fixed = 0;  // findings, counting those an equal fix resolves
};

Pass choose(const std::vector<Diagnostic>& findings, size_t text_size) {
  Pass pass;
  for (const Diagnostic& d : findings) {
    // A finding's fixes are alternatives: its first safe one is taken.
    const auto safe = std::find_if(d.fixes.begin(), d.fixes.end(),
                                   [](const Fix& f) { return f.safe; });
    if (safe == d.fixes.end() || safe->edits.empty()) continue;
    const bool in_text = std::all_of(
        safe->edits.begin(), safe->edits.end(), [&](const Edit& e) {
          return e.range.begin <= e.range.end && e.range.end <= text_size;
        });
    if (!in_text) continue;
    // Two findings of one cause (two unused codes of one comment) may
    // share their fix: it is applied once and resolves both.
    const bool same = std::any_of(
        pass.fixes.begin(), pass.fixes.end(),
        [&](const Fix* taken) { return taken->edits == safe->edits; });
    if (same) {
      ++pass.fixed;
      continue;
    }
    const bool clash = std::any_of(
        pass.fixes.begin(), pass.fixes.end(), [&](const Fix* taken) {
          for (const Edit& a : taken->edits) {
            for (const Edit& b : safe->edits) {
              if (overlap(a.range, b.range)) return true;
            }
          }
          return false;
        });
    if (clash) continue;  // the next pass takes it
    pass.fixes.push_back(&*safe);
    pass.codes.push_back(d.code);
    ++pass.fixed;
  }
  return pass;
}

std::vector<Edit> edits_of(const Pass& pass, bool meaning_changes_too) {
  std::vector<Edit> edits;
  for (size_t i = 0; i < pass.fixes.size(); ++i) {
    if (!meaning_changes_too && fix_changes_meaning(pass.codes[i])) continue;
    edits.insert(edits.end(), pass.fixes[i]->edits.begin(),
                 pass.fixes[i]->edits.end());
  }
  return edits;
}

// Why the pass that turned `before` into `after` is wrong, or "".
Result<std::string> pass_fault(std::string_view before,
                               const std::string& after, const Pass& pass,
                               const Interrupter& interrupter) {
  const Result<SyntaxTree> tree = parse_tree(after, interrupter);
  if (!tree.ok()) {
    if (tree.error().kind() == ErrorKind::kInterrupted) return tree.error();
    return "the fixed text does not parse: " + tree.error().to_string();
  }
  const bool all_keep = std::none_of(pass.codes.begin(), pass.codes.end(),
                                     fix_changes_meaning);
  const bool any_keep = std::any_of(
      pass.codes.begin(), pass.codes.end(),
      [](std::string_view code) { return !fix_changes_meaning(code); });
  if (!any_keep) return std::string();
  // The fixes that keep the meaning, on their own, keep the hash.
  const std::string kept =
      all_keep ? after : apply_edits(before, edits_of(pass, false));
  QEL_ASSIGN_OR_RETURN(const std::string old_hash,
                       semantic_hash(before, interrupter));
  const Result<std::string> new_hash = semantic_hash(kept, interrupter);
  if (!new_hash.ok()) {
    if (new_hash.error().kind() == ErrorKind::kInterrupted) {
      return new_hash.error();
    }
    return "the fixed text does not parse: " + new_hash.error().to_string();
  }
  if (*new_hash != old_hash) return std::string("the semantic hash changes");
  return std::string();
}

}  // namespace

Result<FixedText> fix_text(std::string_view text, const CheckOptions& options,
                           const Interrupter& interrupter) {
  FixedText out;
  out.text = text;
  QEL_ASSIGN_OR_RETURN(out.remaining, check(out.text, options, interrupter));
  for (int i = 0; i < kMaxFixPasses; ++i) {
    const Pass pass = choose(out.remaining.findings, out.text.size());
    if (pass.fixes.empty()) break;
    std::string next = apply_edits(out.text, edits_of(pass, true));
    QEL_ASSIGN_OR_RETURN(std::string fault,
                         pass_fault(out.text, next, pass, interrupter));
    if (!fault.empty()) {
      FixedText refused;
      refused.text = text;
      QEL_ASSIGN_OR_RETURN(refused.remaining,
                           check(text, options, interrupter));
      refused.fault = std::move(fault);
      return refused;
    }
    out.fixed += pass.fixed;
    out.text = std::move(next);
    QEL_ASSIGN_OR_RETURN(out.remaining, check(out.text, options, interrupter));
  }
  return out;
}

}  // namespace qel
