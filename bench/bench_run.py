"""qel run over long request logs: with --format jsonl a log runs in
constant memory and constant time per request, and the default JSON result
costs little more memory than its own size.

Prints, for `qel run --format jsonl` of a log of SMALL and of LARGE
requests (one per line), the peak resident memory and the time per
request, and their ratios (LARGE against SMALL; the targets are at most
1.2 for both); then, for the default JSON result of JSON requests, its
peak resident memory against the size of the result.

Usage: python3 bench/bench_run.py [--qel PATH] [--small N] [--large N]
                                  [--document N]
"""
import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
CONTRACT = ROOT / "examples/account_transfers.qel"


def request(i):
    amount = 1 + i % 1000
    return {"operation": "deposit",
            "inputs": {"amount": amount, "balance": amount}}


def write_log(path, n):
    with open(path, "w", encoding="utf-8") as f:
        for i in range(n):
            f.write(json.dumps(request(i)) + "\n")


def measure(args, out_path=os.devnull):
    """Status, seconds and peak resident kilobytes of one run, as
    /usr/bin/time counts them (the rusage of a child forked from Python
    would count Python's own pages)."""
    with tempfile.NamedTemporaryFile("r") as peak, \
            open(out_path, "wb") as out:
        start = time.perf_counter()
        status = subprocess.run(["/usr/bin/time", "-o", peak.name, "-f",
                                 "%M", *args], stdout=out,
                                stderr=subprocess.DEVNULL).returncode
        seconds = time.perf_counter() - start
        return status, seconds, int(peak.read().split()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qel", default=shutil.which("qel"))
    parser.add_argument("--small", type=int, default=10_000)
    parser.add_argument("--large", type=int, default=1_000_000)
    parser.add_argument("--document", type=int, default=20_000)
    args = parser.parse_args()
    if not args.qel:
        sys.exit("no qel executable: pass --qel PATH")

    with tempfile.TemporaryDirectory() as tmp:
        rows = {}
        for n in (args.small, args.large):
            log = os.path.join(tmp, f"r{n}.jsonl")
            write_log(log, n)
            status, seconds, peak = measure(
                [args.qel, "run", "--format", "jsonl", str(CONTRACT), log])
            if status != 0:
                sys.exit(f"qel run failed on {n} requests (status {status})")
            rows[n] = (seconds / n, peak)
            print(f"jsonl, {n:>9} requests: {seconds / n * 1e6:8.2f} us per "
                  f"request, peak {peak / 1024:8.1f} MB")
            os.unlink(log)
        small, large = rows[args.small], rows[args.large]
        print(f"  time per request, {args.large} against {args.small}: "
              f"{large[0] / small[0]:.2f}x (target <= 1.2)")
        print(f"  peak memory, {args.large} against {args.small}: "
              f"{large[1] / small[1]:.2f}x (target <= 1.2)")

        requests = os.path.join(tmp, "r.json")
        with open(requests, "w", encoding="utf-8") as f:
            json.dump([request(i) for i in range(args.document)], f)
        result = os.path.join(tmp, "result.json")
        status, seconds, peak = measure(
            [args.qel, "run", str(CONTRACT), requests], result)
        size_kb = os.path.getsize(result) / 1024
        print(f"json, {args.document} requests: result {size_kb / 1024:.1f} "
              f"MB, peak {peak / 1024:.1f} MB: {peak / size_kb:.2f}x the "
              "result")


if __name__ == "__main__":
    main()
