// Fixes: the edits attached to findings, applied to a text. `qel check
// --fix` and the language server apply them; the hash fix also serves
// `qel hash -w`.
// Pure functions: no state is kept or shared between calls.
#ifndef QEL_FIXES_H_
#define QEL_FIXES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/check.h"
#include "qel/diagnostic.h"
#include "qel/error.h"
#include "qel/interrupt.h"
#include "qel/syntax_tree.h"

namespace qel {

// The fix that writes the contract's computed semantic hash into its
// semantic_hash literal (the occurrence that counts, when the field is
// written twice), every other byte kept; nullopt when the literal holds
// that hash already, in either case of its digits. `tree` is a tree
// without errors.
std::optional<Fix> hash_fix(const SyntaxTree& tree);

// Whether the fix of a finding with this code changes what the contract
// means, and so its hash: a condition the run time starts checking does.
// Every other fix keeps the hash.
bool fix_changes_meaning(std::string_view code);

// `text` with `edits` applied; they must not overlap.
std::string apply_edits(std::string_view text, std::vector<Edit> edits);

// Passes of fix_text at most: a fix can make another finding (a hash goes
// stale when a condition is fixed), but never without end.
inline constexpr int kMaxFixPasses = 8;

struct FixedText {
  std::string text;      // the text after every fix applied
  uint64_t fixed = 0;    // findings whose fix was applied
  CheckResult remaining;  // check() of `text`
  // Set when a pass failed the check below: then `text` is the original
  // and nothing was fixed. Never happens unless a fix is wrong.
  std::string fault;
};

// Applies the safe fixes of the findings check(text, options) reports:
// in each pass every fix whose edits overlap no other's, then a new check,
// until no finding has a safe fix or kMaxFixPasses have run. Each pass is
// checked: its text parses, and it has the hash of the text before it
// unless a fix that changes the meaning was among the pass's fixes (the
// others are then checked on their own). Fails only when `interrupter`
// says stop.
Result<FixedText> fix_text(std::string_view text, const CheckOptions& options,
                           const Interrupter& interrupter = {});

}  // namespace qel

#endif  // QEL_FIXES_H_
