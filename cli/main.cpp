// Entry point of the `qel` executable: argument vector in, exit status out.
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli.h"
#include "files.h"

namespace {

// The deepest contract the parser accepts needs less than 64 KB of stack.
constexpr size_t kJobStackSize = size_t{1} << 20;

// Writes all of `data`; 0, or the errno of the write that failed.
int write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Standard output and error as the commands flush them. Once a write to
// standard output fails, later output is dropped and the failure is told
// at the end: what was printed is then not all there is.
struct Streams {
  int stdout_error = 0;

  void flush(qel::cli::Io& io) {
    if (!io.out.empty()) {
      if (stdout_error == 0) stdout_error = write_all(STDOUT_FILENO, io.out);
      io.out.clear();
    }
    if (!io.err.empty()) {
      write_all(STDERR_FILENO, io.err);
      io.err.clear();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Each thread would otherwise get an allocator arena of its own, each
  // reserving 64 MB of address space: under an address-space limit
  // (ulimit -v), -j N would then fail where -j 1 succeeds.
  mallopt(M_ARENA_MAX, 1);
  // Likewise the stacks of the -j threads: nesting in contracts is bounded,
  // so the default of 8 MB each is address space that is never used.
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) == 0) {
    if (pthread_attr_setstacksize(&attr, kJobStackSize) == 0) {
      pthread_setattr_default_np(&attr);
    }
    pthread_attr_destroy(&attr);
  }
  qel::cli::install_signal_handlers();
  Streams streams;
  qel::cli::Io io;
  io.stdout_is_terminal = ::isatty(STDOUT_FILENO) == 1;
  const char* no_color = std::getenv("NO_COLOR");
  io.no_color = no_color != nullptr && no_color[0] != '\0';
  io.read_stdin = [](uint64_t limit, std::string& text, std::string& why) {
    return qel::cli::read_all(STDIN_FILENO, limit, text, why);
  };
  io.flush = [&streams](qel::cli::Io& o) { streams.flush(o); };
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
  streams.flush(io);
  if (streams.stdout_error != 0) {
    // Every other thread has ended: strerror's buffer is not shared.
    io.err = std::string("qel: cannot write to standard output: ") +
             std::strerror(streams.stdout_error) + "\n";
    streams.flush(io);
    return 2;
  }
  return status;
}
