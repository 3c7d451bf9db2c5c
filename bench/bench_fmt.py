"""Throughput of `qel fmt` against `qel normalize` on the same generated
contracts (bench/generate.py, with comments added: one after every fifth
line and one above every operation, so that fmt has comments to place).

Usage: python3 bench/bench_fmt.py [--qel PATH] [--runs N] [--baseline PATH]
Prints MB/s of each and the ratio fmt / normalize (>= 1.0 means fmt is at
least as fast), from the least CPU time (user + system) of --runs runs
of each, taken in turns.
Both run on one thread (-j 1) and write to a pipe.

With --baseline, another qel binary built without the safety net (the
same sources with the net bypassed), each command's cost with the net
against it: target at most 1.20 for fmt and for normalize. Build the
baseline with
  cmake -S . -B build/no-net -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DQEL_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-DQEL_BENCH_WITHOUT_NET
  cmake --build build/no-net --target qel_cli
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate  # noqa: E402

SIZES = [("1 MB", 1_000_000), ("10 MB", 10_000_000)]


def commented_contract(size):
    lines = generate.contract(size).split("\n")
    out = []
    for i, line in enumerate(lines):
        if line.strip() == "{":  # an operation
            out.append(line[:len(line) - len(line.lstrip())]
                       + "// the next operation")
        if i % 5 == 4 and line.strip() and not line.lstrip().startswith("//"):
            line += "  // line %d" % i
        out.append(line)
    return "\n".join(out)


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def cpu_time(qel, command, path):
    """CPU time (user + system) of one run: on a shared machine it varies
    far less than the wall time."""
    before = cpu_seconds()
    result = subprocess.run([qel, command, "-j", "1", path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        sys.exit(f"qel {command} failed: {result.stderr.decode()}")
    return cpu_seconds() - before


def best_times(qels, path, runs):
    """The least time of fmt and of normalize for each binary, run in
    turns so that all see the same load."""
    best = {(q, c): float("inf") for q in qels for c in ("fmt", "normalize")}
    for _ in range(runs):
        for key in best:
            best[key] = min(best[key], cpu_time(key[0], key[1], path))
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qel", default=shutil.which("qel"))
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--baseline")
    args = parser.parse_args()
    if not args.qel:
        sys.exit("qel is not on PATH; pass --qel")
    qels = [args.qel] + ([args.baseline] if args.baseline else [])
    net = f"{'net fmt':>9}{'net normalize':>15}" if args.baseline else ""
    print(f"{'input':<8}{'fmt MB/s':>12}{'normalize MB/s':>16}{'ratio':>8}"
          + net)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.qel")
        for label, size in SIZES:
            text = commented_contract(size)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            mb = len(text.encode()) / 1e6
            best = best_times(qels, path, args.runs)
            fmt, normalize = best[args.qel, "fmt"], best[args.qel, "normalize"]
            line = (f"{label:<8}{mb / fmt:>12.1f}{mb / normalize:>16.1f}"
                    f"{normalize / fmt:>8.2f}")
            if args.baseline:
                line += (f"{fmt / best[args.baseline, 'fmt']:>9.2f}"
                         f"{normalize / best[args.baseline, 'normalize']:>15.2f}")
            print(line)


if __name__ == "__main__":
    main()
