// Many files on many threads, with the output of one thread. A command
// turns each file into a result of its own (its text for standard output
// and standard error, what it found) on whichever thread is free, and the
// results are emitted one at a time strictly in operand order, so
// the bytes printed do not depend on the number of threads or on how the
// files were scheduled.
#ifndef QEL_CLI_PARALLEL_H_
#define QEL_CLI_PARALLEL_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "walk.h"

namespace qel::cli {

// More threads than this are not started, whatever -j says: past the
// number of cores they only cost memory.
constexpr unsigned kMaxJobs = 256;

// The number of threads when -j is not given: one per core, at least one.
unsigned default_jobs();

// The value of -j/--jobs: a whole number, at least 1. Larger than kMaxJobs
// is accepted and means kMaxJobs.
std::optional<unsigned> parse_jobs(std::string_view text);

// The usage error for a bad -j value, for `command`.
std::string jobs_usage(std::string_view command);

// Calls work(i) for every i below `count` on `jobs` threads (the calling
// one and jobs - 1 more), and emit(i) for i = 0, 1, ... in turn, each as
// soon as work(i) and every earlier emit are done: on whichever thread
// finds it due, never two at once, so emit may use the caller's state
// without a lock. work(i) never starts while emit(i - window) has not
// returned, so a caller can keep the results in `window` slots indexed by
// i % window. An exception thrown by work(i) or emit(i) stops the run after
// emit(0 .. i-1), as if it ran on one thread, and is rethrown here once
// every thread has ended.
void run_in_order(size_t count, unsigned jobs, size_t window,
                  const std::function<void(size_t)>& work,
                  const std::function<void(size_t)>& emit);

// run_in_order with the results held in a ring: work(i) returns what
// emit(i, result) receives.
template <class Result, class Work, class Emit>
void map_in_order(size_t count, unsigned jobs, Work&& work, Emit&& emit) {
  // Enough for every thread to run ahead of a slow file without waiting.
  const size_t window = size_t{4} * (jobs == 0 ? 1 : jobs);
  std::vector<std::optional<Result>> ring(count < window ? count : window);
  run_in_order(
      count, jobs, window,
      [&](size_t i) { ring[i % window].emplace(work(i)); },
      [&](size_t i) {
        std::optional<Result>& slot = ring[i % window];
        emit(i, *slot);
        slot.reset();
      });
}

// The operands with every file kept at its first place only: a file named
// twice, or reached again through a link inside a walked directory, is
// worked on once, so that no two jobs ever read and rewrite the same file
// and the output is that of one pass over distinct files. Files are told
// apart by device and inode, links followed. Standard input, and operands
// that cannot be looked at (their reading says why), are all kept.
std::vector<Operand> distinct_files(std::vector<Operand> operands);

// Prints what `io` holds so far through io.flush, when there is one.
inline void flush_output(Io& io) {
  if (io.flush) io.flush(io);
}

// Standard input for per-file jobs: read once, on the calling thread,
// before the files are shared out, and then handed to every job that
// names "-".
class SharedStdin {
 public:
  // Reads standard input through `io` now when an operand is "-".
  SharedStdin(Io& io, const std::vector<Operand>& operands);

  // An Io for one job: its own empty output and error texts, the limits
  // and terminal settings of `io`, and standard input as read here.
  Io job_io(const Io& io) const;

 private:
  bool ok_ = false;
  std::string text_;
  std::string why_;
};

}  // namespace qel::cli

#endif  // QEL_CLI_PARALLEL_H_
