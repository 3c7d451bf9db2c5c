"""Throughput of `qel fmt` against `qel normalize` on the same generated
contracts (bench/generate.py, with comments added: one after every fifth
line and one above every operation, so that fmt has comments to place).

Usage: python3 bench/bench_fmt.py [--qel PATH] [--runs N]
Prints MB/s of each and the ratio fmt / normalize (>= 1.0 means fmt is at
least as fast). Both run on one thread (-j 1) and write to a pipe.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

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


def best_time(qel, command, path, runs):
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        result = subprocess.run([qel, command, "-j", "1", path],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        best = min(best, time.perf_counter() - t0)
        if result.returncode != 0:
            sys.exit(f"qel {command} failed: {result.stderr.decode()}")
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qel", default=shutil.which("qel"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if not args.qel:
        sys.exit("qel is not on PATH; pass --qel")
    print(f"{'input':<8}{'fmt MB/s':>12}{'normalize MB/s':>16}{'ratio':>8}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.qel")
        for label, size in SIZES:
            text = commented_contract(size)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            mb = len(text.encode()) / 1e6
            fmt = best_time(args.qel, "fmt", path, args.runs)
            normalize = best_time(args.qel, "normalize", path, args.runs)
            print(f"{label:<8}{mb / fmt:>12.1f}{mb / normalize:>16.1f}"
                  f"{normalize / fmt:>8.2f}")


if __name__ == "__main__":
    main()
