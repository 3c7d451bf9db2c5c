// L009: a written semantic_hash that is a digest, but not this text's.
// Nothing in the run time compares the two, so a hash left from an earlier
// version goes unnoticed until a store or a reviewer trusts it. Texts that
// are not a digest (an empty one, zeros, a short stand-in) say plainly that
// no hash was written yet and are left alone.
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/fixes.h"
#include "lint/lint_checks.h"
#include "qel/canonical.h"

namespace qel::detail {

namespace {

constexpr std::size_t kDigestLength = 64;

char lower(char c) {
  return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
}

// 64 hexadecimal digits, not all zero.
bool is_digest(std::string_view text) {
  if (text.size() != kDigestLength) return false;
  bool zeros = true;
  for (const char c : text) {
    const char l = lower(c);
    if (!((l >= '0' && l <= '9') || (l >= 'a' && l <= 'f'))) return false;
    zeros = zeros && c == '0';
  }
  return !zeros;
}

// Digits compared without regard to case: the same digest either way.
bool same_digest(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

void lint_semantic_hash(const SyntaxTree& tree, std::vector<Diagnostic>& out) {
  const syntax::Text written = tree.contract().identity().semantic_hash();
  if (!is_digest(written.text())) return;
  const std::string computed = compute_semantic_hash(tree);
  if (same_digest(written.text(), computed)) return;
  Diagnostic d = lint_finding(
      kStaleSemanticHash,
      stale_semantic_hash_message(written.text(), computed), written.span());
  // The literal as written, quotes included: the text a fix replaces.
  d.range = ByteRange{tree.token_offset(written.token()),
                      tree.token_end(written.token())};
  d.fixes.push_back(hash_literal_fix(written, computed));
  out.push_back(std::move(d));
}

}  // namespace qel::detail
