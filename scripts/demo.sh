#!/usr/bin/env bash
# Installs what is needed, builds and installs qel (the module and the `qel`
# command) into the project's virtual environment .venv, and runs the demo
# over the example contracts. A second run rebuilds only what changed
# (pip keeps its build in build/, named after the wheel tag).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
werror=()
# CI compiles with warnings as errors, as scripts/test.sh does.
[ -n "${CI:-}" ] && werror=(--config-settings=cmake.define.QEL_WERROR=ON)
.venv/bin/python -m pip install -q --disable-pip-version-check \
  --no-build-isolation "${werror[@]}" .
PATH="$PWD/.venv/bin:$PATH" .venv/bin/python examples/demo.py
