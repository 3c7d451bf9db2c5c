#!/usr/bin/env bash
# Installs what is needed, then runs every test: the core's GoogleTest suite
# (optimised, assertions on), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the multi-threaded tests under
# ThreadSanitizer, a short run of every fuzz target, and the
# pytest suite of the Python module and the command line built alongside.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --fuzz

jobs=$(nproc)
python=$(command -v python3)

echo "== build and core tests (Release, assertions on)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQEL_ASSERTIONS=ON -DQEL_BUILD_PYTHON=ON -DPython3_EXECUTABLE="$python" \
  >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== core tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
# One process for the whole suite: a sanitizer start-up per test case
# would cost more than the tests. The fuzz targets share this build, so the
# core is compiled once, with the fuzzer's coverage instrumentation too.
CXX=clang++ cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Sanitize \
  -DCMAKE_CXX_FLAGS_SANITIZE="-O1" -DQEL_SANITIZE=ON -DQEL_FUZZ=ON \
  -DQEL_BUILD_PYTHON=OFF >/dev/null
cmake --build build/sanitize -j "$jobs" --target qel_tests qel_fuzzers
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build/sanitize/qel_tests --gtest_brief=1

echo "== the core from several threads at once (ThreadSanitizer)"
bash scripts/tsan.sh build/tsan

echo "== fuzz targets over their corpus (30 s each)"
bash scripts/fuzz-smoke.sh build/sanitize/fuzz 30

echo "== Python module and command line"
PYTHONPATH="$PWD/build/release" QEL_BUILD_DIR="$PWD/build/release" \
  PATH="$PWD/build/release:$PATH" "$python" -m pytest -q tests/python
