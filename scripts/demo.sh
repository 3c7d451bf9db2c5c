#!/usr/bin/env bash
# Installs what is needed, builds and installs the qel module, and runs the
# demo over the example contracts.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
python3 examples/demo.py
