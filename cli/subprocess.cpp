#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace qel::cli {
namespace {

constexpr std::size_t kMaxErrorBytes = 4096;
// A reply line is a few dozen bytes; a program that sends more without a
// line feed is not answering.
constexpr std::size_t kMaxLineBytes = 1 << 20;

// Closes a descriptor when it goes out of scope, unless released.
class Fd {
 public:
  Fd() = default;
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int& get() { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
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

// The program's input is one end of a socket pair rather than a pipe: a
// socket can be written with MSG_NOSIGNAL, so a program that went away
// makes the write fail instead of ending this process with SIGPIPE.
bool make_input(Fd& ours, Fd& theirs) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return false;
  }
  ours.get() = fds[0];
  theirs.get() = fds[1];
  return true;
}

// The spawn file actions, destroyed on every path.
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

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Process::~Process() {
  if (pid_ < 0) return;
  // Nothing more is wanted from it: with its pipes closed it ends at its
  // next read or write.
  close_input();
  close_fd(out_);
  close_fd(err_fd_);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

bool Process::start(const std::vector<std::string>& argv, bool with_input,
                    std::string& why) {
  Fd in_ours, in_theirs, out_read, out_write, err_read, err_write;
  if ((with_input && !make_input(in_ours, in_theirs)) ||
      !make_pipe(out_read, out_write) || !make_pipe(err_read, err_write)) {
    why = std::strerror(errno);
    return false;
  }
  SpawnSetup setup;
  // dup2 clears close-on-exec on the copies: the child keeps only these.
  const bool input_ok =
      with_input
          ? posix_spawn_file_actions_adddup2(&setup.actions, in_theirs.get(),
                                             STDIN_FILENO) == 0
          : posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO,
                                             "/dev/null", O_RDONLY, 0) == 0;
  if (!setup.ok || !input_ok ||
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
  pid_ = pid;
  in_ = in_ours.release();
  out_ = out_read.release();
  err_fd_ = err_read.release();
  return true;
}

void Process::close_input() {
  close_fd(in_);
  pending_.clear();
}

bool Process::pump(std::string& why) {
  pollfd fds[3];
  int* owners[3];
  nfds_t n = 0;
  if (in_ >= 0 && !pending_.empty()) {
    fds[n] = {in_, POLLOUT, 0};
    owners[n++] = &in_;
  }
  if (out_ >= 0) {
    fds[n] = {out_, POLLIN, 0};
    owners[n++] = &out_;
  }
  if (err_fd_ >= 0) {
    fds[n] = {err_fd_, POLLIN, 0};
    owners[n++] = &err_fd_;
  }
  if (n == 0) {
    why = "it closed its output";
    return false;
  }
  if (::poll(fds, n, -1) < 0) {
    if (errno == EINTR) return true;
    why = std::strerror(errno);
    return false;
  }
  char chunk[1 << 16];
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    int& fd = *owners[i];
    if (&fd == &in_) {
      const ssize_t w = ::send(in_, pending_.data(), pending_.size(),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0) {
        pending_.erase(0, static_cast<std::size_t>(w));
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // It stopped reading; what it printed says why.
        close_input();
      }
      continue;
    }
    const ssize_t r = ::read(fd, chunk, sizeof chunk);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      close_fd(fd);
      continue;
    }
    const auto bytes = static_cast<std::size_t>(r);
    if (&fd == &out_) {
      buffer_.append(chunk, bytes);
    } else if (err_.size() < kMaxErrorBytes) {
      err_.append(chunk, std::min(bytes, kMaxErrorBytes - err_.size()));
    }
  }
  return true;
}

bool Process::send(std::string_view request, std::string& why) {
  if (in_ < 0) {
    why = "it no longer reads its input";
    return false;
  }
  pending_.append(request);
  while (!pending_.empty()) {
    if (in_ < 0) {
      why = "it stopped reading its input";
      return false;
    }
    if (!pump(why)) return false;
  }
  return true;
}

bool Process::read_line(std::string& line, std::string& why) {
  std::size_t searched = taken_;
  for (;;) {
    const std::size_t nl = buffer_.find('\n', searched);
    if (nl != std::string::npos) {
      line.assign(buffer_, taken_, nl - taken_);
      taken_ = nl + 1;
      if (taken_ == buffer_.size()) {
        buffer_.clear();
        taken_ = 0;
      }
      return true;
    }
    searched = buffer_.size();
    if (buffer_.size() - taken_ > kMaxLineBytes) {
      why = "it printed a line longer than " +
            std::to_string(kMaxLineBytes) + " bytes";
      return false;
    }
    if (out_ < 0) {
      why = "its output ended early";
      return false;
    }
    if (!pump(why)) return false;
  }
}

bool Process::read_bytes(std::size_t n, std::string* out, std::string& why) {
  if (out != nullptr) out->reserve(out->size() + n);
  while (n > 0) {
    const std::size_t available = buffer_.size() - taken_;
    if (available == 0) {
      buffer_.clear();
      taken_ = 0;
      if (out_ < 0) {
        why = "its output ended early";
        return false;
      }
      if (!pump(why)) return false;
      continue;
    }
    const std::size_t k = std::min(n, available);
    if (out != nullptr) out->append(buffer_, taken_, k);
    taken_ += k;
    n -= k;
  }
  if (taken_ == buffer_.size()) {
    buffer_.clear();
    taken_ = 0;
  }
  return true;
}

bool Process::read_rest(uint64_t limit, std::string& out, std::string& why) {
  bool too_long = false;
  for (;;) {
    const std::size_t available = buffer_.size() - taken_;
    too_long = too_long || out.size() + available > limit;
    if (!too_long) out.append(buffer_, taken_, available);
    buffer_.clear();
    taken_ = 0;
    if (out_ < 0) break;
    if (!pump(why)) return false;
  }
  if (too_long) {
    out.clear();
    why = "larger than the input size limit of " + std::to_string(limit) +
          " bytes (see --max-input-size)";
    return false;
  }
  return true;
}

int Process::finish() {
  close_input();
  std::string why;
  while (out_ >= 0 || err_fd_ >= 0) {
    buffer_.clear();
    taken_ = 0;
    if (!pump(why)) break;
  }
  // Should polling have failed, it now sees its pipes closed rather than
  // waiting on them for ever.
  close_fd(out_);
  close_fd(err_fd_);
  int status = 0;
  pid_t waited;
  while ((waited = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (waited < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool run_process(const std::vector<std::string>& argv, uint64_t limit,
                 ProcessResult& result, std::string& why) {
  result = ProcessResult{};
  Process p;
  if (!p.start(argv, false, why)) return false;
  const bool read = p.read_rest(limit, result.out, why);
  result.exit_status = p.finish();
  result.err = p.errors();
  return read;
}

}  // namespace qel::cli
