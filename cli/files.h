// Reading and rewriting the user's files. A file is read whole or not at
// all, and a rewrite either replaces the file's contents completely, keeping
// what makes it the same file (links, owner, group, mode), or leaves it as
// it was.
#ifndef QEL_CLI_FILES_H_
#define QEL_CLI_FILES_H_

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace qel::cli {

// Inputs larger than this are refused unless --max-input-size says
// otherwise: a contract is text written by people, and without a bound
// `qel hash /dev/zero` would read until memory runs out.
constexpr uint64_t kDefaultMaxInputSize = uint64_t{1} << 30;

// What identifies a file's contents as they were read; a read is refused
// when any of it differs after reading, and a rewrite when any of it
// differs just before the new text replaces the old. The change time is
// there because a writer can set the modification time back; nobody can
// set the change time.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
};

// Reads everything from `fd`. False with `why` set on a read error or when
// there are more than `limit` bytes, which is found out by reading one byte
// past the limit, never more. An allocation failure throws std::bad_alloc:
// the caller reports it as running out of memory.
bool read_all(int fd, uint64_t limit, std::string& text, std::string& why);

// Reads the file at `path` whole. It is opened without blocking, so that a
// FIFO cannot hang the command, and refused unless it is a regular file or
// the process's standard input (/dev/stdin and the like). A regular file is
// stamped before reading and again after: on any difference the read is
// refused, since the text may hold parts of two versions. `stamp`, when
// given, receives the stamp taken before reading.
bool read_file(const std::string& path, uint64_t limit, std::string& text,
               std::string& why, FileStamp* stamp = nullptr);

// The file that a rewrite of `path` replaces: links followed to the real
// file, which must be a regular file with one name that the caller may
// write, and not the process's standard input. False with `why` set
// otherwise, before anything is read.
bool rewrite_target(const std::string& path, std::string& real_path,
                    std::string& why);

// Replaces the contents of `real_path` (from rewrite_target) by `text`:
// written to a temporary file beside it, given the old file's owner, group
// and mode, flushed, and renamed over it only if the file still matches
// `as_read`. The temporary file's name is hidden and unique, shortened to
// fit a directory entry when the file's own name is long. On any failure
// the temporary file is removed and the old file is untouched. Rewrites of
// different files may run on several threads.
bool rewrite_file(const std::string& real_path, std::string_view text,
                  const FileStamp& as_read, std::string& why);
// Whether a fatal signal is being handled: the process is about to end
// with its one line "qel: interrupted", which a rewrite stopped by it must
// not precede with a failure of its own.
bool shutting_down();

// From here on SIGINT, SIGTERM and SIGHUP remove the temporary file of
// every rewrite in progress, on whichever thread, and end the process
// with a message (status 130 for SIGINT, 2 otherwise); SIGXFSZ is
// ignored, so that exceeding the file size limit is a write error rather
// than a silent death.
void install_signal_handlers();

}  // namespace qel::cli

#endif  // QEL_CLI_FILES_H_
