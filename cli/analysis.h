// What `qel check` finds in one contract, for every tool that shows it
// (the check command, the language server).
#ifndef QEL_CLI_ANALYSIS_H_
#define QEL_CLI_ANALYSIS_H_

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "diagnostics.h"

namespace qel::cli {

using CodeSet = std::set<std::string, std::less<>>;

// Which lints to report, and whether warnings make a contract fail.
struct LintSelection {
  std::optional<CodeSet> select;  // every lint when unset
  CodeSet ignore;
  bool strict = false;
};

// Parses, verifies and lints `text`: every independent parse error, or
// the verifier's findings in its order followed by the selected lints.
FileReport analyze(std::string_view path, std::string_view text,
                   const LintSelection& lints);

}  // namespace qel::cli

#endif  // QEL_CLI_ANALYSIS_H_
