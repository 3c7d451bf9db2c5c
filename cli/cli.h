// The `qel` command line, as a function so that tests can drive it.
#ifndef QEL_CLI_CLI_H_
#define QEL_CLI_CLI_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "files.h"

namespace qel::cli {

struct Io {
  // Reads all of standard input, at most `limit` bytes; false with `why`
  // set when it cannot. Called at most once per run.
  std::function<bool(uint64_t limit, std::string& text, std::string& why)>
      read_stdin;
  uint64_t max_input_size = kDefaultMaxInputSize;  // --max-input-size
  bool stdout_is_terminal = false;  // colours when --color=auto
  bool no_color = false;            // NO_COLOR is set and not empty
  std::string out;  // standard output
  std::string err;  // standard error
  // Writes `out` and `err` as they are to their streams and empties them,
  // so that a command working file after file prints each result as soon
  // as it is due. Unset (as in tests) both texts are kept whole.
  std::function<void(Io&)> flush;
};

// Runs one command line (without the program name). Returns the exit
// status: 0 success, 1 a contract or request problem, 2 a usage error, an
// unreadable or unwritable file. Running out of memory throws
// std::bad_alloc, which the caller reports (status 2).
int run(const std::vector<std::string>& args, Io& io);

}  // namespace qel::cli

#endif  // QEL_CLI_CLI_H_
