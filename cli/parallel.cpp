#include "parallel.h"

#include <sys/stat.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace qel::cli {

unsigned default_jobs() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

std::optional<unsigned> parse_jobs(std::string_view text) {
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > kMaxJobs) value = kMaxJobs;  // no overflow, however long
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::string jobs_usage(std::string_view command) {
  return std::string(command) +
         ": -j takes a number of threads, at least 1, such as -j 4";
}

namespace {

// The state the threads of one run share, guarded by `mutex_`. Every
// thread, the caller's included, takes the next index while there is room
// for it in the window, works on it, and then emits whatever is due: the
// items done from the first one not yet emitted on. `emitted_` passes an
// item only once its emit has returned, so emits never overlap, and a
// thread emitting sees, before it stops, every item done meanwhile. No
// thread ever sleeps waiting for another's output, only for room in the
// window.
class Schedule {
 public:
  Schedule(size_t count, size_t window, const std::function<void(size_t)>& work,
           const std::function<void(size_t)>& emit)
      : window_(window), work_(work), emit_(emit), done_(window, false),
        stop_at_(count) {}

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (next_ < stop_at_ && next_ >= emitted_ + window_) {
        ++waiting_for_room_;
        room_.wait(lock, [&] {
          return next_ >= stop_at_ || next_ < emitted_ + window_;
        });
        --waiting_for_room_;
      }
      if (next_ >= stop_at_) return;
      const size_t i = next_++;
      lock.unlock();
      std::exception_ptr failure;
      try {
        work_(i);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      if (failure) {
        fail(i, failure);
        continue;
      }
      done_[i % window_] = true;
      emit_due(lock);
    }
  }

  std::exception_ptr failure() {
    std::lock_guard lock(mutex_);
    return failure_;
  }

 private:
  void emit_due(std::unique_lock<std::mutex>& lock) {
    while (emitted_ < stop_at_ && done_[emitted_ % window_]) {
      const size_t i = emitted_;
      done_[i % window_] = false;
      lock.unlock();
      std::exception_ptr failure;
      try {
        emit_(i);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      if (failure) {
        fail(i, failure);
        break;
      }
      emitted_ = i + 1;
      if (waiting_for_room_ != 0) room_.notify_all();
    }
  }

  // Records a failure at item `i`; the earliest one wins, and nothing at
  // or after it is started or emitted.
  void fail(size_t i, std::exception_ptr failure) {
    if (i < stop_at_) {
      stop_at_ = i;
      failure_ = failure;
    }
    room_.notify_all();
  }

  const size_t window_;
  const std::function<void(size_t)>& work_;
  const std::function<void(size_t)>& emit_;
  std::mutex mutex_;
  std::condition_variable room_;
  std::vector<bool> done_;  // by i % window
  size_t stop_at_;          // no index from here on is started or emitted
  size_t next_ = 0;
  size_t emitted_ = 0;
  unsigned waiting_for_room_ = 0;
  std::exception_ptr failure_;
};

}  // namespace

void run_in_order(size_t count, unsigned jobs, size_t window,
                  const std::function<void(size_t)>& work,
                  const std::function<void(size_t)>& emit) {
  if (jobs > kMaxJobs) jobs = kMaxJobs;
  if (jobs > count) jobs = static_cast<unsigned>(count);
  if (window == 0) window = 1;
  if (jobs <= 1) {
    for (size_t i = 0; i < count; ++i) {
      work(i);
      emit(i);
    }
    return;
  }
  Schedule schedule(count, window, work, emit);
  std::vector<std::thread> threads;
  threads.reserve(jobs - 1);
  for (unsigned t = 1; t < jobs; ++t) {
    try {
      threads.emplace_back([&schedule] { schedule.run(); });
    } catch (const std::system_error&) {
      break;  // fewer threads than asked for: the output is the same
    }
  }
  schedule.run();
  for (std::thread& t : threads) t.join();
  if (std::exception_ptr failure = schedule.failure()) {
    std::rethrow_exception(failure);
  }
}

std::vector<Operand> distinct_files(std::vector<Operand> operands) {
  std::set<std::pair<dev_t, ino_t>> seen;
  std::vector<Operand> kept;
  kept.reserve(operands.size());
  for (Operand& operand : operands) {
    struct stat st;
    if (operand.path != "-" && operand.error.empty() &&
        ::stat(operand.path.c_str(), &st) == 0 &&
        !seen.emplace(st.st_dev, st.st_ino).second) {
      continue;
    }
    kept.push_back(std::move(operand));
  }
  return kept;
}

SharedStdin::SharedStdin(Io& io, const std::vector<Operand>& operands) {
  for (const Operand& operand : operands) {
    if (operand.path == "-" && operand.error.empty()) {
      ok_ = io.read_stdin(io.max_input_size, text_, why_);
      return;
    }
  }
}

Io SharedStdin::job_io(const Io& io) const {
  Io job;
  job.max_input_size = io.max_input_size;
  job.stdout_is_terminal = io.stdout_is_terminal;
  job.no_color = io.no_color;
  job.read_stdin = [this](uint64_t, std::string& text, std::string& why) {
    if (!ok_) {
      why = why_;
      return false;
    }
    text = text_;
    return true;
  };
  return job;
}

}  // namespace qel::cli
