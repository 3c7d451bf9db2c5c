#!/usr/bin/env bash
# Installs what is needed, then runs every test: the core's GoogleTest suite
# (optimised, assertions on), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Python module's pytest suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

echo "== core tests (Release, assertions on)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQEL_ASSERTIONS=ON -DQEL_BUILD_PYTHON=OFF >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== core tests (ASan + UBSan)"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQEL_ASSERTIONS=ON -DQEL_SANITIZE=ON -DQEL_BUILD_PYTHON=OFF >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize -j "$jobs" --output-on-failure

echo "== Python module"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
python3 -m pytest -q tests/python
