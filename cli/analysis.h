// The language server's view of check(), until it reads core diagnostics
// itself.
#ifndef QEL_CLI_ANALYSIS_H_
#define QEL_CLI_ANALYSIS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qel::cli {

struct Finding {
  bool error = true;
  std::string kind;
  std::string code;
  std::string message;
  uint64_t line = 0;  // 0: no position
  uint64_t column = 0;
};

struct FileReport {
  std::vector<Finding> findings;
};

struct LintSelection {};

FileReport analyze(std::string_view path, std::string_view text,
                   const LintSelection& lints);

}  // namespace qel::cli

#endif  // QEL_CLI_ANALYSIS_H_
