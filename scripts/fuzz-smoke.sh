#!/usr/bin/env bash
# Runs every fuzz target for a short while over its committed corpus and
# fails on the first crash, leak or violated property.
#   scripts/fuzz-smoke.sh [directory of the fuzz binaries] [seconds per target]
# The binaries come from a build configured with -DQEL_FUZZ=ON (clang++).
# New inputs go to a scratch directory; the committed corpus is only read.
set -euo pipefail
cd "$(dirname "$0")/.."

bin_dir=${1:-build/sanitize/fuzz}
seconds=${2:-30}
targets=(fuzz_parse fuzz_normalize fuzz_verify fuzz_execute fuzz_format fuzz_diff)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
for target in "${targets[@]}"; do
  binary="$bin_dir/$target"
  if [ ! -x "$binary" ]; then
    echo "missing fuzz binary: $binary" >&2
    exit 1
  fi
  mkdir -p "$scratch/$target/new" "$scratch/$target/artifacts"
  echo "-- $target (${seconds}s)"
  if ! "$binary" -max_total_time="$seconds" -rss_limit_mb=4096 \
      -max_len=65536 -timeout=60 -print_final_stats=1 \
      -dict=fuzz/dict/qel.dict \
      -artifact_prefix="$scratch/$target/artifacts/" \
      "$scratch/$target/new" "fuzz/corpus/$target" \
      >"$scratch/$target/log" 2>&1; then
    echo "$target failed; its log ends:" >&2
    tail -n 60 "$scratch/$target/log" >&2
    for crash in "$scratch/$target/artifacts/"*; do
      [ -e "$crash" ] || continue
      echo "input $(basename "$crash") (base64):" >&2
      base64 "$crash" >&2
    done
    status=1
    continue
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' \
    "$scratch/$target/log" || true
done
exit "$status"
