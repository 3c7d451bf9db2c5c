// The core and the command line's scheduler from many threads at once.
// Every pipeline gives on each thread what it gives on one; built with
// ThreadSanitizer (scripts/tsan.sh) these tests also show that calls share
// no mutable state and that run_in_order hands results between threads
// safely.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "parallel.h"
#include "qel/api.h"
#include "qel/canonical.h"
#include "qel/check.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

struct Case {
  std::string name;
  std::string text;
  std::string requests;  // "[]" when the example has none
};

// Every example, with its requests, and each cut in half: the error paths
// run concurrently too.
std::vector<Case> example_cases() {
  std::vector<Case> cases;
  for (const auto& entry :
       fs::directory_iterator(fs::path(QEL_SOURCE_DIR) / "examples")) {
    const fs::path& path = entry.path();
    if (path.extension() != ".qel") continue;
    Case c{path.stem().string(), read_text(path), "[]"};
    fs::path requests = path;
    requests.replace_extension(".requests.json");
    if (fs::exists(requests)) c.requests = read_text(requests);
    cases.push_back(c);
    cases.push_back({c.name + " (cut)", c.text.substr(0, c.text.size() / 2),
                     c.requests});
  }
  std::sort(cases.begin(), cases.end(),
            [](const Case& a, const Case& b) { return a.name < b.name; });
  return cases;
}

std::string show(const Result<std::string>& r) {
  return r.ok() ? *r : "error: " + r.error().to_string();
}

std::string show(const Result<CheckResult>& r) {
  if (!r.ok()) return "error: " + r.error().to_string();
  std::string out;
  for (const Diagnostic& d : r->findings) {
    out += std::to_string(d.range.begin) + "-" + std::to_string(d.range.end) +
           " " + std::string(d.code) + " " + d.message + "\n";
  }
  return out;
}

// The result of every pipeline on one case.
std::vector<std::string> run_pipelines(const Case& c) {
  return {show(parse_contract_json(c.text)), show(normalize(c.text)),
          show(semantic_hash(c.text)),       show(verify_json(c.text)),
          show(execute_json(c.text, c.requests)), show(check(c.text))};
}

TEST(Threads, EveryPipelineGivesOnEachThreadWhatItGivesOnOne) {
  const std::vector<Case> cases = example_cases();
  ASSERT_GE(cases.size(), 8u) << "examples/ not found";
  std::vector<std::vector<std::string>> expected;
  for (const Case& c : cases) expected.push_back(run_pipelines(c));

  constexpr unsigned kThreads = 6;
  constexpr size_t kRounds = 4;
  std::vector<std::vector<std::string>> wrong(kThreads);
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread starts at a different case, so that different
      // pipelines and texts run at the same moment.
      for (size_t k = 0; k < kRounds * cases.size(); ++k) {
        const size_t i = (k + t) % cases.size();
        if (run_pipelines(cases[i]) != expected[i]) {
          wrong[t].push_back(cases[i].name);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (unsigned t = 0; t < kThreads; ++t) {
    EXPECT_EQ(wrong[t], std::vector<std::string>{}) << "thread " << t;
  }
}

// A little jitter, so that items finish out of order.
void jitter(size_t i) {
  std::this_thread::sleep_for(std::chrono::microseconds((i * 37) % 5 * 40));
}

TEST(ThreadsRunInOrder, EmitsEveryItemOnceInOrderAndWorksOnlyWithinTheWindow) {
  struct Shape {
    size_t count;
    unsigned jobs;
    size_t window;
  };
  for (const Shape s : {Shape{0, 4, 4}, Shape{1, 4, 4}, Shape{9, 1, 2},
                        Shape{60, 4, 1}, Shape{120, 4, 3}, Shape{200, 7, 16},
                        Shape{40, 300, 8}}) {
    SCOPED_TRACE(::testing::Message() << s.count << " items, " << s.jobs
                                      << " jobs, window " << s.window);
    std::vector<size_t> results(s.count, 0);
    std::vector<size_t> emitted_order;
    std::atomic<size_t> emitted{0};
    std::atomic<size_t> ahead{0};  // items started outside the window
    cli::run_in_order(
        s.count, s.jobs, s.window,
        [&](size_t i) {
          if (i >= emitted.load() + s.window) ++ahead;
          jitter(i);
          results[i] = i * i + 1;
        },
        [&](size_t i) {
          EXPECT_EQ(results[i], i * i + 1) << "item " << i;
          emitted_order.push_back(i);
          emitted.store(i + 1);
        });
    std::vector<size_t> all(s.count);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(emitted_order, all);
    EXPECT_EQ(ahead.load(), 0u);
  }
}

TEST(ThreadsRunInOrder, AFailureEndsTheRunAfterTheItemsBeforeItAsOnOneThread) {
  struct Failing {
    unsigned jobs;
    std::set<size_t> work_throws;  // items whose work throws
    size_t emit_throws;            // an item whose emit throws, or ~0
    size_t emitted;                // items emitted in full
    std::string what;
  };
  constexpr size_t kNone = ~size_t{0};
  for (const Failing& f : {
           Failing{1, {7}, kNone, 7, "work 7"},
           Failing{4, {7}, kNone, 7, "work 7"},
           Failing{4, {30, 7, 8}, kNone, 7, "work 7"},
           Failing{4, {0}, kNone, 0, "work 0"},
           Failing{4, {}, 5, 5, "emit 5"},
           Failing{4, {9}, 5, 5, "emit 5"},
           Failing{4, {3}, 5, 3, "work 3"},
       }) {
    SCOPED_TRACE(f.what + " with " + std::to_string(f.jobs) + " jobs");
    std::vector<size_t> emitted;
    std::string caught;
    try {
      cli::run_in_order(
          40, f.jobs, 8,
          [&](size_t i) {
            jitter(i);
            if (f.work_throws.contains(i)) {
              throw std::runtime_error("work " + std::to_string(i));
            }
          },
          [&](size_t i) {
            if (i == f.emit_throws) {
              throw std::runtime_error("emit " + std::to_string(i));
            }
            emitted.push_back(i);
          });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    std::vector<size_t> before(f.emitted);
    std::iota(before.begin(), before.end(), 0);
    EXPECT_EQ(emitted, before);
    EXPECT_EQ(caught, f.what);
  }
}

TEST(ThreadsCli, StandardInputIsReadOnceForAllJobs) {
  const std::string text = read_text(fs::path(QEL_SOURCE_DIR) /
                                     "examples/inventory.qel");
  const std::string hash = *semantic_hash(text);
  for (const char* jobs : {"1", "4"}) {
    cli::Io io;
    int reads = 0;
    io.read_stdin = [&](uint64_t, std::string& out, std::string&) {
      ++reads;
      out = text;
      return true;
    };
    EXPECT_EQ(cli::run({"hash", "-j", jobs, "-", "-", "-"}, io), 0);
    EXPECT_EQ(reads, 1) << "-j " << jobs;
    EXPECT_EQ(io.out, hash + "  -\n" + hash + "  -\n" + hash + "  -\n");
  }
}

}  // namespace
}  // namespace qel
