// Entry point of the `qel` executable: argument vector in, exit status out.
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli.h"
#include "files.h"

namespace {

bool write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qel::cli::install_signal_handlers();
  qel::cli::Io io;
  io.stdout_is_terminal = ::isatty(STDOUT_FILENO) == 1;
  const char* no_color = std::getenv("NO_COLOR");
  io.no_color = no_color != nullptr && no_color[0] != '\0';
  io.read_stdin = [](uint64_t limit, std::string& text, std::string& why) {
    return qel::cli::read_all(STDIN_FILENO, limit, text, why);
  };
  int status;
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    status = qel::cli::run(args, io);
  } catch (const std::bad_alloc&) {
    // Exit status 1 means a contract or a request has a problem; this is
    // not one.
    io.err += "qel: out of memory\n";
    status = 2;
  } catch (const std::exception& e) {
    io.err += std::string("qel: internal error: ") + e.what() + "\n";
    status = 2;
  }
  const bool ok = write_all(STDOUT_FILENO, io.out);
  write_all(STDERR_FILENO, io.err);
  return ok ? status : 2;
}
