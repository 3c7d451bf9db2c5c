// Running another program and collecting what it prints, without a shell:
// the arguments go to it as they are, so no path or revision is ever
// interpreted by anything but the program itself.
#ifndef QEL_CLI_SUBPROCESS_H_
#define QEL_CLI_SUBPROCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

// A program kept running to answer requests written to its standard
// input, one at a time. Its standard output and standard error are drained
// together whenever it is waited on, so it never blocks on a full pipe,
// and a program that has gone away makes writes fail, never a signal.
class Process {
 public:
  Process() = default;
  ~Process();  // its input closed, its output dropped, waited for
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `argv`; with `with_input` false its standard input is empty.
  bool start(const std::vector<std::string>& argv, bool with_input,
             std::string& why);
  // Writes `request` whole.
  bool send(std::string_view request, std::string& why);
  // The next line of standard output, without its line feed.
  bool read_line(std::string& line, std::string& why);
  // The next `n` bytes of standard output, appended to `out`, or dropped
  // when `out` is null.
  bool read_bytes(std::size_t n, std::string* out, std::string& why);
  // All that is left of standard output; false with `why` set when it is
  // more than `limit` bytes (the rest is then dropped).
  bool read_rest(uint64_t limit, std::string& out, std::string& why);
  // Closes its input and waits for it to end: its exit status, -1 when
  // ended by a signal or when it could not be waited for.
  int finish();
  // What it printed on standard error so far, at most a few kilobytes.
  const std::string& errors() const { return err_; }

 private:
  // Waits until a descriptor is ready and serves it: pending input is
  // written, output read. False when nothing is left to wait for.
  bool pump(std::string& why);
  void close_input();

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_fd_ = -1;
  std::string pending_;  // input not yet written
  std::string buffer_;   // output read and not yet taken
  std::size_t taken_ = 0;
  std::string err_;
};

}  // namespace qel::cli

#endif  // QEL_CLI_SUBPROCESS_H_
