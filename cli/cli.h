// The `qel` command line, as a function so that tests can drive it.
#ifndef QEL_CLI_CLI_H_
#define QEL_CLI_CLI_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qel::cli {

struct Io {
  // Reads all of standard input; nullopt when it cannot be read. Called at
  // most once per run.
  std::function<std::optional<std::string>()> read_stdin;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs one command line (without the program name). Returns the exit
// status: 0 success, 1 a contract or request problem, 2 a usage error or an
// unreadable file.
int run(const std::vector<std::string>& args, Io& io);

}  // namespace qel::cli

#endif  // QEL_CLI_CLI_H_
