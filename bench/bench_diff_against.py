"""Time of `qel diff --against HEAD DIR` over many small contracts in a
scratch git repository, every one of them edited since the commit (its
version raised and one condition tightened), so that each is read from
git and compared.

Usage: python3 bench/bench_diff_against.py [--qel PATH] [--runs N] [COUNT ...]
Prints the least wall time of --runs runs and the time per file. The
reading from git should cost about the same per file whatever the count.
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

COUNTS = [2_000]


def git(repo, *args):
    subprocess.run(["git", "-c", "user.name=b", "-c", "user.email=b@b",
                    *args], cwd=repo, check=True, capture_output=True)


def make_repository(repo, count):
    base = generate.contract(4_000)
    contracts = os.path.join(repo, "contracts")
    for i in range(count):
        # Spread over directories, as a real tree of contracts is.
        d = os.path.join(contracts, f"d{i // 100:03d}")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, f"c{i:05d}.qel"), "w",
                  encoding="utf-8") as f:
            f.write(base)
    git(repo, "init", "-q")
    git(repo, "add", ".")
    git(repo, "commit", "-q", "-m", "contracts")
    edited = base.replace("version: 42", "version: 43", 1)
    edited = edited.replace(" >= ", " > ", 1)
    for root, _, names in os.walk(contracts):
        for name in names:
            with open(os.path.join(root, name), "w", encoding="utf-8") as f:
                f.write(edited)


def best_time(qel, repo, runs):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        result = subprocess.run(
            [qel, "diff", "--against", "HEAD", "--format", "json",
             "contracts"], cwd=repo, capture_output=True)
        best = min(best, time.perf_counter() - start)
        if result.returncode not in (0, 1):
            sys.exit("qel diff failed: " + result.stderr.decode()[:2000])
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qel", default=shutil.which("qel"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("counts", type=int, nargs="*", default=COUNTS)
    args = parser.parse_args()
    if not args.qel:
        sys.exit("qel is not on PATH; pass --qel")
    qel = os.path.abspath(args.qel)
    print(f"{'files':>8}{'seconds':>10}{'ms/file':>10}")
    for count in args.counts:
        with tempfile.TemporaryDirectory() as repo:
            make_repository(repo, count)
            seconds = best_time(qel, repo, args.runs)
            print(f"{count:>8}{seconds:>10.2f}{1000 * seconds / count:>10.2f}")


if __name__ == "__main__":
    main()
