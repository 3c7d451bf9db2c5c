#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace qel::cli {
namespace {

constexpr std::size_t kMaxErrorBytes = 4096;

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int& get() { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

bool make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.get() = fds[0];
  write_end.get() = fds[1];
  return true;
}

// The spawn attributes and file actions, destroyed on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  bool ok = false;
  SpawnSetup() { ok = posix_spawn_file_actions_init(&actions) == 0; }
  ~SpawnSetup() {
    if (ok) posix_spawn_file_actions_destroy(&actions);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

bool run_process(const std::vector<std::string>& argv, uint64_t limit,
                 ProcessResult& result, std::string& why) {
  result = ProcessResult{};
  Fd out_read, out_write, err_read, err_write;
  if (!make_pipe(out_read, out_write) || !make_pipe(err_read, err_write)) {
    why = std::strerror(errno);
    return false;
  }
  SpawnSetup setup;
  // dup2 clears close-on-exec on the copies: the child keeps only these.
  if (!setup.ok ||
      posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO,
                                       "/dev/null", O_RDONLY, 0) != 0 ||
      posix_spawn_file_actions_adddup2(&setup.actions, out_write.get(),
                                       STDOUT_FILENO) != 0 ||
      posix_spawn_file_actions_adddup2(&setup.actions, err_write.get(),
                                       STDERR_FILENO) != 0) {
    why = "cannot prepare to start " + argv[0];
    return false;
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &setup.actions, nullptr,
                                   args.data(), environ);
  if (spawned != 0) {
    why = "cannot run " + argv[0] + ": " + std::strerror(spawned);
    return false;
  }
  out_write.reset();
  err_write.reset();

  // Both pipes are drained together, so that neither can fill up and stop
  // the program while the other is being waited on.
  bool too_long = false;
  pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
  int open_fds = 2;
  char buffer[1 << 16];
  while (open_fds > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      const auto bytes = static_cast<std::size_t>(n);
      if (i == 0) {
        too_long = too_long || result.out.size() + bytes > limit;
        if (!too_long) result.out.append(buffer, bytes);
      } else if (result.err.size() < kMaxErrorBytes) {
        result.err.append(buffer, std::min(bytes, kMaxErrorBytes -
                                                      result.err.size()));
      }
    }
  }
  // Should polling have failed, the program now sees its pipes closed
  // rather than waiting on them for ever.
  out_read.reset();
  err_read.reset();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      why = std::strerror(errno);
      return false;
    }
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (too_long) {
    result.out.clear();
    why = "larger than the input size limit of " + std::to_string(limit) +
          " bytes (see --max-input-size)";
    return false;
  }
  return true;
}

}  // namespace qel::cli
