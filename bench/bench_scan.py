"""Instructions spent by `qel fmt`, `qel normalize` and `qel hash` on the
1 MB commented contract of bench/bench_fmt.py, counted by valgrind's
callgrind: the whole run and the scanner's share (scan_tokens, which
normalize runs twice: once on the input and once on its output, to check
it; fmt checks its output against the input's tokens without scanning it
again). Counts do not depend on the machine's load, unlike times.

Usage: python3 bench/bench_scan.py [--qel PATH] [--size BYTES]
Target: the scanner at most about 4 instructions per input byte; the
scanner's count includes adding each token to the tree.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_fmt  # noqa: E402

SCANNER = "qel::detail::scan_tokens(*"
TARGET_PER_BYTE = 4.0


def instructions(qel, command, path, tmp, only=None):
    """Instructions callgrind counted in one run, or in `only` (a function
    pattern, with everything it calls) when given."""
    args = ["valgrind", "--tool=callgrind",
            "--callgrind-out-file=" + os.path.join(tmp, "callgrind.out")]
    if only:
        args.append("--toggle-collect=" + only)
    result = subprocess.run(args + [qel, command, "-j", "1", path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if result.returncode != 0:
        sys.exit(f"qel {command} failed: {result.stderr.decode()}")
    found = re.search(rb"Collected : (\d+)", result.stderr)
    if not found:
        sys.exit("no instruction count in callgrind's output")
    return int(found.group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qel", default=shutil.which("qel"))
    parser.add_argument("--size", type=int, default=1_000_000)
    args = parser.parse_args()
    if not args.qel:
        sys.exit("qel is not on PATH; pass --qel")
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.qel")
        text = bench_fmt.commented_contract(args.size)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        size = len(text.encode())
        print(f"{'command':<11}{'total':>14}{'scanner':>14}"
              f"{'scans':>7}{'scanner/byte':>14}")
        for command, scans in (("fmt", 1), ("normalize", 2), ("hash", 1)):
            total = instructions(args.qel, command, path, tmp)
            scanner = instructions(args.qel, command, path, tmp, SCANNER)
            per_byte = scanner / (scans * size)
            print(f"{command:<11}{total:>14,}{scanner:>14,}{scans:>7}"
                  f"{per_byte:>14.2f}")
        print(f"target: scanner/byte <= {TARGET_PER_BYTE}")


if __name__ == "__main__":
    main()
