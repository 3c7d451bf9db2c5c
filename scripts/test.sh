#!/usr/bin/env bash
# Installs what is needed, then runs the tests, compiled with warnings as
# errors:
#   core      the core's GoogleTest suite, optimised with assertions on
#             (build/release), then its scanner, parser and corpus tests
#             again on the scalar path (QEL_SIMD=scalar);
#   sanitize  the same suite under AddressSanitizer and
#             UndefinedBehaviorSanitizer (build/sanitize, clang);
#   tsan      the multi-threaded tests under ThreadSanitizer (build/tsan);
#   fuzz      a short run of every fuzz target (in build/sanitize);
#   python    the pytest suite of the Python module and the command line
#             of build/release, run with the Python of .venv.
#
#   scripts/test.sh              everything
#   scripts/test.sh --core       the core suite only
#   scripts/test.sh --python     the Python and command-line suite only
#   scripts/test.sh --no-fuzz    everything but the clang builds (sanitizers,
#                                fuzzing, ThreadSanitizer): clang not needed
# --core and --python together run both.
# Environment: QEL_WERROR=OFF keeps warnings as warnings (a newer compiler
# may warn where ours does not); QEL_FUZZ_SECONDS (default 30) is each fuzz
# target's run time.
set -euo pipefail
cd "$(dirname "$0")/.."

steps=()
clang_steps=(sanitize tsan fuzz)
for arg in "$@"; do
  case "$arg" in
    --core) steps+=(core) ;;
    --python) steps+=(python) ;;
    --no-fuzz) steps+=(core python) ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown option '$arg' (see scripts/test.sh --help)" >&2
       exit 2 ;;
  esac
done
[ ${#steps[@]} -eq 0 ] && steps=(core sanitize tsan fuzz python)
wants() { [[ " ${steps[*]} " == *" $1 "* ]]; }
# Each heading shows the time taken so far, so one run tells what each
# step costs.
say() { printf '== [%d:%02d] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }
needs_clang=0
for s in "${clang_steps[@]}"; do wants "$s" && needs_clang=1; done

if [ "$needs_clang" -eq 1 ]; then
  bash scripts/install-deps.sh --fuzz
else
  bash scripts/install-deps.sh
fi

jobs=$(nproc)
python=$PWD/.venv/bin/python
export PATH="$PWD/.venv/bin:$PATH"
export QEL_WERROR=${QEL_WERROR:-ON}
cmake_common=(-G Ninja -DQEL_WERROR="$QEL_WERROR")
# A cache makes a build after `rm -rf build` cheap; it is used when present.
if command -v ccache >/dev/null; then
  cmake_common+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

if wants core || wants python; then
  say "build (Release, assertions on)"
  cmake -S . -B build/release "${cmake_common[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DQEL_ASSERTIONS=ON -DQEL_BUILD_PYTHON=ON -DPython3_EXECUTABLE="$python" \
    >/dev/null
  cmake --build build/release -j "$jobs"
fi

if wants core; then
  say "core tests"
  ctest --test-dir build/release -j "$jobs" --output-on-failure
  say "scanner, parser and corpus tests on the scalar path"
  QEL_SIMD=scalar ctest --test-dir build/release -j "$jobs" \
    --output-on-failure -R 'Tokenizer|Parser|SyntaxTree|Corpus|TolerantParse'
fi

if wants sanitize || wants fuzz; then
  say "core tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
  # One process for the whole suite: a sanitizer start-up per test case
  # would cost more than the tests. The fuzz targets share this build, so the
  # core is compiled once, with the fuzzer's coverage instrumentation too.
  CXX=clang++ cmake -S . -B build/sanitize "${cmake_common[@]}" \
    -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_CXX_FLAGS_SANITIZE="-O1" \
    -DQEL_SANITIZE=ON -DQEL_FUZZ=ON -DQEL_BUILD_PYTHON=OFF >/dev/null
  cmake --build build/sanitize -j "$jobs" --target qel_tests qel_fuzzers
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    build/sanitize/qel_tests --gtest_brief=1
fi

if wants tsan; then
  say "the core from several threads at once (ThreadSanitizer)"
  bash scripts/tsan.sh build/tsan
fi

if wants fuzz; then
  seconds=${QEL_FUZZ_SECONDS:-30}
  say "fuzz targets over their corpus (${seconds} s each)"
  bash scripts/fuzz-smoke.sh build/sanitize/fuzz "$seconds"
fi

if wants python; then
  say "Python module and command line"
  PYTHONPATH="$PWD/build/release" QEL_BUILD_DIR="$PWD/build/release" \
    PATH="$PWD/build/release:$PATH" "$python" -m pytest -q tests/python
fi

say "done"
