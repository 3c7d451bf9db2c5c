// Times the scanner alone against one memchr pass over the same text, in
// one process, for bench/bench_tokenize.py. For each file given: the best
// of --runs runs of check_utf8, of scan_tokens into a fresh tree (as the
// front end runs them), and of memchr for a byte the text does not hold.
//
//   bench_tokenize [--runs N] FILE...
//
// Prints one line per file: bytes, then the best seconds of memchr,
// check_utf8, scan_tokens and of both, separated by tabs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#include "syntax/tokenizer.h"
#include "syntax/tree_builder.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Fn>
double best_seconds(int runs, Fn&& fn) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    fn();
    const std::chrono::duration<double> took = Clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

// A byte the text does not hold, so that memchr reads all of it.
int absent_byte(std::string_view text) {
  bool seen[256] = {};
  for (const char c : text) seen[static_cast<unsigned char>(c)] = true;
  for (int b = 1; b < 256; ++b) {
    if (!seen[b]) return b;
  }
  return -1;
}

// Keeps a result alive so that the compiler cannot drop the work.
volatile std::size_t sink;

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
    runs = std::atoi(argv[2]);
    first = 3;
  }
  if (first >= argc || runs < 1) {
    std::fprintf(stderr, "usage: bench_tokenize [--runs N] FILE...\n");
    return 2;
  }
  for (int f = first; f < argc; ++f) {
    std::ifstream in(argv[f], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "bench_tokenize: cannot read %s\n", argv[f]);
      return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)),
                           std::istreambuf_iterator<char>());
    const int byte = absent_byte(text);
    if (byte < 0) {
      std::fprintf(stderr, "bench_tokenize: %s holds every byte\n", argv[f]);
      return 1;
    }
    if (qel::detail::check_utf8(text)) {
      std::fprintf(stderr, "bench_tokenize: %s is not UTF-8\n", argv[f]);
      return 1;
    }
    const auto scan = [&text] {
      qel::detail::TreeBuilder builder(text);
      try {
        qel::detail::scan_tokens(text, builder);
      } catch (const qel::detail::ParseFailure& failure) {
        std::fprintf(stderr, "bench_tokenize: %s\n", failure.message.c_str());
        std::exit(1);
      }
      sink = builder.tree().token_count();
    };
    // Runs taken in turns, so that a busy moment of the machine does not
    // fall on one of them only.
    double memchr_s = 1e30, utf8_s = 1e30, scan_s = 1e30, both_s = 1e30;
    for (int round = 0; round < 3; ++round) {
      const int n = (runs + 2) / 3;
      memchr_s = std::min(memchr_s, best_seconds(n, [&] {
        sink = std::memchr(text.data(), byte, text.size()) != nullptr;
      }));
      utf8_s = std::min(utf8_s, best_seconds(n, [&] {
        sink = qel::detail::check_utf8(text).has_value();
      }));
      scan_s = std::min(scan_s, best_seconds(n, scan));
      both_s = std::min(both_s, best_seconds(n, [&] {
        sink = qel::detail::check_utf8(text).has_value();
        scan();
      }));
    }
    std::printf("%zu\t%.9f\t%.9f\t%.9f\t%.9f\n", text.size(), memchr_s,
                utf8_s, scan_s, both_s);
  }
  return 0;
}
