#!/usr/bin/env bash
# Installs what building and testing qel needs: compilers and libraries from
# apt, Python packages from pip into the project's virtual environment .venv
# (made with `python3 -m venv` from the first python3 on PATH). Nothing goes
# into the system Python, which Debian marks as externally managed. Safe to
# run again; it skips what is present.
#   scripts/install-deps.sh [--fuzz]   --fuzz adds clang for the sanitizer,
#                                      fuzz and ThreadSanitizer builds
# QEL_APT_LOCK_WAIT (seconds, default 300) bounds the wait for another
# package manager (an unattended upgrade, a second terminal) to finish.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++ cmake ninja-build python3-dev python3-venv python3-pip
              libssl-dev nlohmann-json3-dev libtomlplusplus-dev libgtest-dev
              neovim)
if [ "${1:-}" = "--fuzz" ]; then
  apt_packages+=(clang libclang-rt-dev)
fi
lock_wait=${QEL_APT_LOCK_WAIT:-300}

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

# Runs apt-get, waiting while another process holds one of its locks. The
# dpkg lock has its own timeout option; the lists lock of `apt-get update`
# has none, so a refused attempt is retried until the deadline.
apt_get() {
  local deadline=$((SECONDS + lock_wait)) told=0 err status
  while :; do
    status=0
    err=$(LC_ALL=C DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" \
          apt-get -o DPkg::Lock::Timeout="$lock_wait" "$@" 2>&1 >/dev/null) \
      || status=$?
    [ "$status" -eq 0 ] && return 0
    if ! grep -q "Could not get lock\|Unable to acquire the dpkg" <<<"$err"; then
      printf '%s\n' "$err" >&2
      return "$status"
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      printf '%s\n' "$err" >&2
      echo "install-deps: another package manager still holds the apt lock" \
           "after ${lock_wait} s (see above); let it finish, then run this" \
           "again (QEL_APT_LOCK_WAIT=SECONDS waits longer)" >&2
      return 1
    fi
    if [ "$told" -eq 0 ]; then
      echo "install-deps: another package manager holds the apt lock;" \
           "waiting up to ${lock_wait} s" >&2
      told=1
    fi
    sleep 5
  done
}

missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt_get update -qq
  apt_get install -y -qq "${missing[@]}"
fi

# A venv whose interpreter is gone (a removed pyenv version) is made again.
if ! .venv/bin/python -c "" >/dev/null 2>&1; then
  rm -rf .venv
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.8" pytest hypothesis pytest-lsp mypy orjson \
  "dask[distributed]"
