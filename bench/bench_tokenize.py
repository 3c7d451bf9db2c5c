"""Speed of the scanner alone against one memchr pass over the same text.

Usage: python3 bench/bench_tokenize.py [--bench PATH] [--runs N]
Runs bench_tokenize (built with the tests, from bench/bench_tokenize.cpp:
use a build without assertions) on the 1 MB and 10 MB contracts of
bench/generate.py and the 1 MB commented contract of bench/bench_fmt.py.
For each, the best time of memchr for a byte the text does not hold, of
the UTF-8 check, of the scan into a fresh tree, and of both (what the front
end runs before parsing); then the ratio memchr time / scanner time.
Target: ratio >= 0.5 (the scanner at least half as fast as one plain read
of the text). QEL_SIMD=scalar (or sse2) in the environment measures that path.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_fmt  # noqa: E402
import generate  # noqa: E402

TARGET = 0.5
TEXTS = [
    ("1 MB", lambda: generate.contract(1_000_000)),
    ("10 MB", lambda: generate.contract(10_000_000)),
    ("commented", lambda: bench_fmt.commented_contract(1_000_000)),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", default=shutil.which("bench_tokenize"))
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    if not args.bench:
        sys.exit("bench_tokenize is not on PATH; pass --bench")
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i, (_, make) in enumerate(TEXTS):
            path = os.path.join(tmp, f"text{i}.qel")
            with open(path, "w", encoding="utf-8") as f:
                f.write(make())
            paths.append(path)
        out = subprocess.run([args.bench, "--runs", str(args.runs)] + paths,
                             check=True, capture_output=True, text=True)
    print(f"{'text':<11}{'memchr':>9}{'utf-8':>9}{'scan':>9}{'both':>9}"
          f"{'ratio':>8}{'scan only':>11}   (MB/s; ratio = memchr/both)")
    worst = float("inf")
    for (name, _), line in zip(TEXTS, out.stdout.splitlines()):
        size, memchr_s, utf8_s, scan_s, both_s = map(float, line.split())
        rate = [size / s / 1e6 for s in (memchr_s, utf8_s, scan_s, both_s)]
        ratio = memchr_s / both_s
        worst = min(worst, ratio)
        print(f"{name:<11}" + "".join(f"{r:>9.0f}" for r in rate)
              + f"{ratio:>8.2f}{memchr_s / scan_s:>11.2f}")
    print(f"target: ratio >= {TARGET}; worst {worst:.2f}")


if __name__ == "__main__":
    main()
