// Running another program and collecting what it prints, without a shell:
// the arguments go to it as they are, so no path or revision is ever
// interpreted by anything but the program itself.
#ifndef QEL_CLI_SUBPROCESS_H_
#define QEL_CLI_SUBPROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qel::cli {

struct ProcessResult {
  int exit_status = -1;  // -1 when ended by a signal
  std::string out;       // standard output, whole
  std::string err;       // standard error, at most a few kilobytes
};

// Runs `argv` (argv[0] looked up on PATH) with standard input empty, and
// waits for it. False with `why` set when it cannot be started, or when it
// prints more than `limit` bytes on standard output (the rest is read and
// dropped, so the program is never left blocked on a full pipe).
bool run_process(const std::vector<std::string>& argv, uint64_t limit,
                 ProcessResult& result, std::string& why);

}  // namespace qel::cli

#endif  // QEL_CLI_SUBPROCESS_H_
