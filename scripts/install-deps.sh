#!/usr/bin/env bash
# Installs what building and testing qel needs: compilers and libraries from
# apt, Python tools from pip. Safe to run again; it skips what is present.
set -euo pipefail

apt_packages=(g++ cmake ninja-build pkg-config python3-dev libssl-dev
              nlohmann-json3-dev libgtest-dev neovim)
if [ "${1:-}" = "--fuzz" ]; then
  apt_packages+=(clang libclang-rt-dev)
fi

missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
    "${missing[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.8" cmake ninja pytest hypothesis orjson mypy build \
  pytest-lsp \
  "dask[distributed]"
