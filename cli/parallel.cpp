#include "parallel.h"

#include <condition_variable>
#include <exception>
#include <mutex>
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

// The state the threads of one run share, guarded by `mutex`.
class Schedule {
 public:
  Schedule(size_t count, size_t window, const std::function<void(size_t)>& work)
      : count_(count), window_(window), work_(work), done_(window, false) {}

  // A worker: takes the next index while there is one and room for it in
  // the window, until the work ends or fails.
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++waiting_for_room_;
      room_.wait(lock, [&] {
        return next_ >= stop_at_ || next_ < emitted_ + window_;
      });
      --waiting_for_room_;
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
      } else {
        done_[i % window_] = true;
      }
      // Waking the caller costs a system call; only when it waits for this.
      if (awaited_ != kNothing && (awaited_ == i || stop_at_ <= awaited_)) {
        ready_.notify_one();
      }
    }
  }

  // Waits until item `i` is done; false when the run failed at or
  // before it instead.
  bool wait_for(size_t i) {
    std::unique_lock lock(mutex_);
    awaited_ = i;
    ready_.wait(lock, [&] { return done_[i % window_] || stop_at_ <= i; });
    awaited_ = kNothing;
    if (stop_at_ <= i) return false;
    done_[i % window_] = false;
    return true;
  }

  void emitted(size_t i) {
    std::lock_guard lock(mutex_);
    emitted_ = i + 1;
    if (waiting_for_room_ != 0) room_.notify_all();
  }

  // Records a failure at item `i`; the earliest one wins, and nothing at
  // or after it is started.
  void fail(size_t i, std::exception_ptr failure) {
    if (i < stop_at_) {
      stop_at_ = i;
      failure_ = failure;
    }
    room_.notify_all();
  }

  void fail_locked(size_t i, std::exception_ptr failure) {
    std::lock_guard lock(mutex_);
    fail(i, failure);
  }

  std::exception_ptr failure() {
    std::lock_guard lock(mutex_);
    return failure_;
  }

 private:
  const size_t count_;
  const size_t window_;
  const std::function<void(size_t)>& work_;
  std::mutex mutex_;
  std::condition_variable room_;   // workers: an index may be taken
  std::condition_variable ready_;  // the caller: an item is done
  std::vector<bool> done_;         // by i % window
  static constexpr size_t kNothing = ~size_t{0};
  size_t next_ = 0;
  size_t emitted_ = 0;
  size_t awaited_ = kNothing;  // the item the caller waits for
  unsigned waiting_for_room_ = 0;
  size_t stop_at_ = count_;  // no index from here on is started
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
  Schedule schedule(count, window, work);
  std::vector<std::thread> threads;
  threads.reserve(jobs);
  for (unsigned t = 0; t < jobs; ++t) {
    try {
      threads.emplace_back([&schedule] { schedule.work(); });
    } catch (const std::system_error&) {
      break;  // fewer threads than asked for: the output is the same
    }
  }
  if (threads.empty()) {
    for (size_t i = 0; i < count; ++i) {
      work(i);
      emit(i);
    }
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    if (!schedule.wait_for(i)) break;
    try {
      emit(i);
    } catch (...) {
      schedule.fail_locked(i, std::current_exception());
      break;
    }
    schedule.emitted(i);
  }
  for (std::thread& t : threads) t.join();
  if (std::exception_ptr failure = schedule.failure()) {
    std::rethrow_exception(failure);
  }
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
