// Static checks of a parsed contract, reported as diagnostics.
// verify() keeps no state and shares none between calls, so any number of
// threads may call it at once.
#ifndef QEL_VERIFIER_H_
#define QEL_VERIFIER_H_

#include <optional>
#include <string>
#include <vector>

#include "qel/diagnostic.h"
#include "qel/error.h"
#include "qel/interrupt.h"
#include "qel/syntax_tree.h"
#include "qel/output.h"
#include "qel/span.h"

namespace qel {

class VerificationResult {
 public:
  void add(Diagnostic d) { diagnostics_.push_back(std::move(d)); }
  const std::vector<Diagnostic>& diagnostics() const { return diagnostics_; }
  std::vector<Diagnostic>& diagnostics() { return diagnostics_; }
  std::vector<const Diagnostic*> errors() const;
  std::vector<const Diagnostic*> warnings() const;
  bool is_valid() const;

 private:
  std::vector<Diagnostic> diagnostics_;
};

// Runs the four phases in their fixed order; never fails. Every diagnostic
// has its code and the byte range of the token it points at.
VerificationResult verify(const SyntaxTree& tree);
// The same, asking `interrupter` as it goes; Error::interrupted() when it
// says stop.
Result<VerificationResult> verify(const SyntaxTree& tree,
                                  const Interrupter& interrupter);

// The verification JSON, pretty-printed, appended to `out`.
void write_verification_json(const VerificationResult& result,
                             std::string& out);
void write_verification_json(const VerificationResult& result, Output& out);
// The same, asking `interrupter` between diagnostics; false when it says
// stop, `out` then holding a part of the text.
bool write_verification_json(const VerificationResult& result, Output& out,
                             const Interrupter& interrupter);

}  // namespace qel

#endif  // QEL_VERIFIER_H_
