#!/usr/bin/env bash
# Builds the core and the command line library with ThreadSanitizer and
# runs the tests that call them from several threads at once
# (tests/cpp/threads_test.cpp): any data race between calls fails the run.
# Only that test file is compiled with them, not the whole suite, which
# would take four times as long and race with nothing.
#   scripts/tsan.sh [build directory]     (default build/tsan)
# Needs clang++ (scripts/install-deps.sh --fuzz installs it). QEL_WERROR=ON
# (set by scripts/test.sh) makes compiler warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build/tsan}
jobs=$(nproc)
werror=${QEL_WERROR:-OFF}
flags=(-O1 -g -fsanitize=thread -fno-omit-frame-pointer)
warnings=(-Wall -Wextra -Wpedantic)
[ "$werror" = ON ] && warnings+=(-Werror)

CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Tsan \
  -DCMAKE_CXX_FLAGS_TSAN="${flags[*]}" -DQEL_BUILD_TESTS=OFF \
  -DQEL_BUILD_PYTHON=OFF -DQEL_WERROR="$werror" >/dev/null
cmake --build "$build_dir" -j "$jobs" --target qel_cli_lib
clang++ -std=c++20 "${flags[@]}" "${warnings[@]}" -Iinclude -Isrc -Icli \
  -DQEL_SOURCE_DIR="\"$PWD\"" tests/cpp/threads_test.cpp \
  "$build_dir/libqel_cli_lib.a" "$build_dir/libqel_core.a" \
  -lgtest_main -lgtest -lcrypto -ltomlplusplus -pthread \
  -o "$build_dir/threads_test"
# halt_on_error: the first race fails the run, with its report.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  "$build_dir/threads_test" --gtest_brief=1
