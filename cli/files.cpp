#include "files.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace qel::cli {
namespace {

// strerror_r comes in two flavours, returning an int or the text; these
// take either. std::strerror may share one buffer among threads.
[[maybe_unused]] const char* error_text_of(int status, const char* buffer) {
  return status == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* error_text_of(const char* text, const char*) {
  return text;
}

std::string errno_text(int error) {
  char buffer[256];
  return error_text_of(::strerror_r(error, buffer, sizeof buffer), buffer);
}

std::string limit_text(uint64_t limit) {
  return "larger than the input size limit of " + std::to_string(limit) +
         " bytes (see --max-input-size)";
}

// Closes a descriptor on every path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

FileStamp stamp_of(const struct stat& st) {
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_stamp(const FileStamp& a, const FileStamp& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         same_time(a.modified, b.modified) && same_time(a.changed, b.changed);
}

// Whether `st` is the file open as standard input: reading it by a name
// such as /dev/stdin is reading standard input, and rewriting it would
// replace the file the shell redirected.
bool is_standard_input(const struct stat& st) {
  struct stat in;
  return ::fstat(STDIN_FILENO, &in) == 0 && in.st_dev == st.st_dev &&
         in.st_ino == st.st_ino;
}

// Up to `size` bytes into `buffer`, retried when a signal interrupts;
// -1 with `why` set on an error.
ssize_t read_some(int fd, char* buffer, size_t size, std::string& why) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) {
      why = errno_text(errno);
      return -1;
    }
  }
}

// Makes room for `size` bytes in `text`, keeping its first `used` ones,
// with exactly that capacity: growing a string in place may double its
// capacity, which near the input limit would allocate twice the limit.
void grow_exactly(std::string& text, size_t used, size_t size) {
  std::string bigger;
  bigger.reserve(size);
  bigger.append(text, 0, used);
  bigger.resize(size);
  text.swap(bigger);
}

// The longest prefix of `name` of at most `size` bytes that does not end
// inside a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view name, size_t size) {
  if (name.size() <= size) return name;
  size_t end = size;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
    --end;
  }
  return name.substr(0, end);
}

// The temporary files of the rewrites in progress, for the signal handler:
// one slot per rewrite, since several threads may rewrite at once. A slot
// is claimed (kFree to kNaming) with the signals blocked in the claiming
// thread, named by mkostemp, then marked kNamed; the name never changes
// while the slot is kNamed, so the handler never reads half a name.
// The handler raises `dying` first and then waits out any slot still
// being named on another thread; a thread that claims a slot after `dying`
// is raised sees it and creates nothing. Both sides use sequentially
// consistent operations, so one of them always sees the other.
enum TempState : int { kFree, kNaming, kNamed };
constexpr int kTempSlots = 64;
struct TempSlot {
  std::atomic<int> state{kFree};
  char name[PATH_MAX + 32];
};
TempSlot temp_slots[kTempSlots];
std::atomic<bool> dying{false};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_fatal_signal(int sig) {
  if (dying.exchange(true)) {
    // Another thread is handling a signal and ends the process.
    for (;;) ::pause();
  }
  for (TempSlot& slot : temp_slots) {
    int state;
    while ((state = slot.state.load()) == kNaming) {
      // Another thread is inside mkostemp with the signals blocked; it
      // is done in a moment.
    }
    if (state == kNamed) ::unlink(slot.name);
  }
  static const char kMessage[] = "qel: interrupted\n";
  [[maybe_unused]] const ssize_t n =
      ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  ::_exit(sig == SIGINT ? 130 : 2);
}

// Blocks the fatal signals in this thread for its lifetime, so that a
// temporary file is never created without the handler knowing its name,
// and the handler never waits for this thread from within it.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t old_;
};

// Claims a free slot for a name to come; nullptr once a signal is being
// handled. Waits while every slot is busy: that takes more rewrites at
// once than there are slots.
TempSlot* claim_temp_slot() {
  for (;;) {
    for (TempSlot& slot : temp_slots) {
      int expected = kFree;
      if (slot.state.compare_exchange_strong(expected, kNaming)) {
        if (dying.load()) {
          slot.state.store(kFree);
          return nullptr;
        }
        return &slot;
      }
    }
    std::this_thread::yield();
  }
}

// The temporary file beside the target: removed when the rewrite fails.
class TempFile {
 public:
  // Creates it; false with `why` set when it cannot.
  bool create(const std::string& real_path, std::string& why) {
    const size_t slash = real_path.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "" : real_path.substr(0, slash + 1);
    const std::string base =
        slash == std::string::npos ? real_path : real_path.substr(slash + 1);
    // A hidden name: editors and directory walks pass it over. A long
    // name is cut so that the whole fits in a directory entry; mkostemp
    // keeps it unique.
    constexpr std::string_view kSuffix = ".qel-XXXXXX";
    const std::string name =
        dir + "." +
        std::string(utf8_prefix(base, NAME_MAX - 1 - kSuffix.size())) +
        std::string(kSuffix);
    if (name.size() >= sizeof TempSlot::name) {
      why = errno_text(ENAMETOOLONG);
      return false;
    }
    SignalsBlocked blocked;
    TempSlot* slot = claim_temp_slot();
    if (slot == nullptr) {
      why = "interrupted";
      return false;
    }
    std::memcpy(slot->name, name.c_str(), name.size() + 1);
    fd_ = ::mkostemp(slot->name, O_CLOEXEC);
    if (fd_ < 0) {
      why = errno_text(errno);
      slot->state.store(kFree);
      return false;
    }
    path_ = slot->name;
    slot_ = slot;
    slot->state.store(kNamed);
    return true;
  }

  int fd() const { return fd_; }

  // Closes now, reporting the error that a deferred write may only show
  // here (NFS, a full disk).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

  // Renames it over `target`; from then on it is no longer ours to remove.
  bool rename_to(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    forget();
    return true;
  }

  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) {
      ::unlink(path_.c_str());
      forget();
    }
  }

 private:
  void forget() {
    slot_->state.store(kFree);
    slot_ = nullptr;
    path_.clear();
  }

  int fd_ = -1;
  std::string path_;
  TempSlot* slot_ = nullptr;
};

bool write_all(int fd, std::string_view data, std::string& why) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      why = errno_text(errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool read_all(int fd, uint64_t limit, std::string& text, std::string& why) {
  text.clear();
  // A regular file's size says how much to expect: one allocation of
  // exactly that. Anything else starts small and doubles, up to the limit.
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (static_cast<uint64_t>(st.st_size) > limit) {
      why = limit_text(limit);
      return false;
    }
    text.resize(static_cast<size_t>(st.st_size));
  }
  constexpr size_t kFirstBuffer = size_t{1} << 16;
  size_t used = 0;
  for (;;) {
    if (used == text.size()) {
      // Full: one byte more tells the end from more input, without
      // growing the buffer just to find the end.
      char byte;
      const ssize_t n = read_some(fd, &byte, 1, why);
      if (n < 0) break;
      if (n == 0) {
        text.resize(used);
        return true;
      }
      if (used >= limit) {
        why = limit_text(limit);
        break;
      }
      const uint64_t doubled =
          std::max<uint64_t>(kFirstBuffer, uint64_t{used} * 2);
      grow_exactly(text, used, static_cast<size_t>(std::min(doubled, limit)));
      text[used++] = byte;
      continue;
    }
    const ssize_t n =
        read_some(fd, text.data() + used, text.size() - used, why);
    if (n < 0) break;
    if (n == 0) {
      text.resize(used);
      return true;
    }
    used += static_cast<size_t>(n);
  }
  text.clear();
  return false;
}

bool read_file(const std::string& path, uint64_t limit, std::string& text,
               std::string& why, FileStamp* stamp) {
  // Without blocking: opening a FIFO would wait for a writer forever.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    why = errno_text(errno);
    return false;
  }
  struct stat before;
  if (::fstat(fd.get(), &before) != 0) {
    why = errno_text(errno);
    return false;
  }
  if (S_ISDIR(before.st_mode)) {
    why = errno_text(EISDIR);
    return false;
  }
  const bool regular = S_ISREG(before.st_mode);
  if (!regular && !is_standard_input(before)) {
    why = "not a regular file";
    return false;
  }
  // Standard input by another name is read as "-" would be: waiting for
  // what is written to it.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    why = errno_text(errno);
    return false;
  }
  if (!read_all(fd.get(), limit, text, why)) return false;
  // A pipe or a terminal changes its times as it is written to; only a
  // file's stamp says whether what was read is one version of it.
  if (regular) {
    struct stat after;
    if (::fstat(fd.get(), &after) != 0) {
      why = errno_text(errno);
      text.clear();
      return false;
    }
    if (!same_stamp(stamp_of(before), stamp_of(after))) {
      why = "changed while being read";
      text.clear();
      return false;
    }
  }
  if (stamp != nullptr) *stamp = stamp_of(before);
  return true;
}

bool rewrite_target(const std::string& path, std::string& real_path,
                    std::string& why) {
  std::unique_ptr<char, decltype(&std::free)> real(
      ::realpath(path.c_str(), nullptr), &std::free);
  if (real == nullptr) {
    why = errno_text(errno);
    return false;
  }
  struct stat st;
  if (::stat(real.get(), &st) != 0) {
    why = errno_text(errno);
    return false;
  }
  if (is_standard_input(st)) {
    why = "it is standard input";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    why = S_ISDIR(st.st_mode) ? errno_text(EISDIR) : "not a regular file";
    return false;
  }
  // Renaming a new file over one name would split the names apart: the
  // others would keep the old text. Such a file is left for a person.
  if (st.st_nlink > 1) {
    why = "it has " + std::to_string(st.st_nlink) +
          " hard links and only one of them would be rewritten";
    return false;
  }
  // The rename needs only the directory's permission; the file's own
  // decides whether it may be changed. Root may write any file.
  if (::faccessat(AT_FDCWD, real.get(), W_OK, AT_EACCESS) != 0) {
    why = errno == EACCES || errno == EPERM || errno == EROFS
              ? (errno == EROFS ? errno_text(EROFS) : "permission denied")
              : errno_text(errno);
    return false;
  }
  real_path = real.get();
  return true;
}

bool rewrite_file(const std::string& real_path, std::string_view text,
                  const FileStamp& as_read, std::string& why) {
  struct stat st;
  if (::stat(real_path.c_str(), &st) != 0) {
    why = errno_text(errno);
    return false;
  }
  TempFile temp;
  if (!temp.create(real_path, why)) return false;
  // Owner and group first: changing them clears the set-user-ID and
  // set-group-ID bits, which the mode then restores only as they were.
  if (::fchown(temp.fd(), st.st_uid, st.st_gid) != 0) {
    why = "cannot keep its owner and group (" + errno_text(errno) + ")";
    return false;
  }
  if (::fchmod(temp.fd(), st.st_mode & 07777) != 0) {
    why = "cannot keep its mode (" + errno_text(errno) + ")";
    return false;
  }
  if (!write_all(temp.fd(), text, why)) return false;
  if (::fsync(temp.fd()) != 0 || !temp.close()) {
    why = errno_text(errno);
    return false;
  }
  struct stat now;
  if (::stat(real_path.c_str(), &now) != 0 ||
      !same_stamp(stamp_of(now), as_read)) {
    why = "changed while being rewritten";
    return false;
  }
  if (!temp.rename_to(real_path)) {
    why = errno_text(errno);
    return false;
  }
  // The rename is durable once the directory is flushed too; the new text
  // is in place either way, so a failure here is not reported.
  Fd dir(::open(directory_of(real_path).c_str(),
                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return true;
}

bool shutting_down() { return dying.load(); }

void install_signal_handlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_fatal_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&action.sa_mask, sig);
  }
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored by whoever started us (nohup, a background job)
    // stays ignored.
    struct sigaction old;
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      continue;
    }
    ::sigaction(sig, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace qel::cli
