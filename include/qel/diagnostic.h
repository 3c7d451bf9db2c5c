// One finding, whoever finds it: the parser, the verifier, a lint or the
// contract comparison. Positions inside are byte offsets into the text;
// front ends turn them into lines and columns with a LineIndex.
#ifndef QEL_DIAGNOSTIC_H_
#define QEL_DIAGNOSTIC_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/span.h"

namespace qel {

enum class Severity { kError, kWarning };

// Who found it. The first four are the verifier's phases, in their order.
enum class DiagnosticKind {
  kType,
  kInvariant,
  kDeterminism,
  kCoherence,
  kParse,
  kLint,
  kChange,  // a contract comparison
};

// "type", "invariant", "determinism", "coherence", "parse", "lint", "diff".
const char* diagnostic_kind_name(DiagnosticKind kind);

// Bytes [begin, end) of a text.
struct ByteRange {
  uint32_t begin = 0;
  uint32_t end = 0;
  bool operator==(const ByteRange&) const = default;
};

// A second place that explains the first: "first written here".
struct Label {
  ByteRange range;
  std::string text;
  bool operator==(const Label&) const = default;
};

struct Edit {
  ByteRange range;
  std::string replacement;
  bool operator==(const Edit&) const = default;
};

// Edits that resolve a finding; `safe` when applying them keeps what the
// contract means, so that a tool may apply them unasked.
struct Fix {
  std::string title;
  bool safe = false;
  std::vector<Edit> edits;
  bool operator==(const Fix&) const = default;
};

struct Diagnostic {
  Severity severity = Severity::kError;
  DiagnosticKind kind = DiagnosticKind::kType;
  std::string message{};      // one line, no position text
  std::optional<Span> span{};  // where it starts
  // A code of the registry (rules.h), such as "V101" or "L002"; it points
  // into the registry's static table.
  std::string_view code{};
  ByteRange range{};  // the offending token or text
  std::vector<Label> notes{};
  std::string help{};  // empty: none
  std::vector<Fix> fixes{};
};

}  // namespace qel

#endif  // QEL_DIAGNOSTIC_H_
