"""qelkit against the qel functions, as ratios measured in one run:

1. Contract.execute of one request on examples/account_transfers.qel, in
   calls per second, over qel.execute(text, request) (target: 10x or more);
2. Contract.verify() and Contract.execute() from 2 threads over 1 thread,
   in calls per second (target: 1.6x or more on 2 cores; the qel functions
   hold the interpreter lock, shown for comparison);
3. a session of 100,000 single-request calls: the time of the last 10,000
   over the first 10,000 (target: 1.1x or less: a call costs the same
   however long the session has run).

Usage: PYTHONPATH=build/DIR python3 bench/bench_runtime.py [--calls N]
           [--session-calls N] [--runs N] [--instructions]
Each figure is the best of --runs; single-thread figures count processor
time, the thread figures wall time (with the cores kept busy, which tells
on a loaded machine whether the threads ran at once). Exits 1 when a target
is missed. --instructions also counts, under valgrind's callgrind, the
instructions of one call of each kind (the difference between two runs of
different lengths, so start-up cancels out): a busy machine leaves that
ratio alone.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

import qel
import qelkit

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
TEXT = open(os.path.join(ROOT, "examples", "account_transfers.qel"),
            encoding="utf-8").read()
REQUEST = json.dumps({"operation": "deposit",
                      "inputs": {"amount": 500, "balance": 500}})


def best_rate(call, calls, runs):
    """The best calls per processor second of `runs` loops of `calls` calls
    (processor time, so that other work on a busy machine counts less)."""
    best = 0.0
    for _ in range(runs):
        start = time.process_time()
        for _ in range(calls):
            call()
        best = max(best, calls / (time.process_time() - start))
    return best


def threaded_rate(call, threads, calls, runs):
    """The best total calls per second of `threads` threads making `calls`
    calls each, and the processor seconds per second of that run (the cores
    it kept busy: on a loaded machine the rate alone shows little)."""
    best, cores = 0.0, 0.0
    for _ in range(runs):
        barrier = threading.Barrier(threads + 1)

        def work():
            barrier.wait()
            for _ in range(calls):
                call()

        pool = [threading.Thread(target=work) for _ in range(threads)]
        for t in pool:
            t.start()
        barrier.wait()
        start, cpu = time.perf_counter(), time.process_time()
        for t in pool:
            t.join()
        wall = time.perf_counter() - start
        if threads * calls / wall > best:
            best = threads * calls / wall
            cores = (time.process_time() - cpu) / wall
    return best, cores


def session_slopes(calls, window, runs):
    """The time of the last `window` calls over the first `window` of a
    session of `calls` single-request calls; the best run."""
    best = float("inf")
    for _ in range(runs):
        session = qelkit.Contract(TEXT).session()
        requests = [json.dumps({"operation": "deposit",
                                "inputs": {"amount": 1 + i % 7,
                                           "balance": i}})
                    for i in range(calls)]
        stamps = []
        for i, request in enumerate(requests):
            if i % window == 0:
                stamps.append(time.process_time())
            session.run(request)
        stamps.append(time.process_time())
        if session.next_sequence != calls:
            sys.exit("a session call failed")
        best = min(best, (stamps[-1] - stamps[-2]) / (stamps[1] - stamps[0]))
    return best


def calls_only(kind, calls):
    """Makes `calls` calls of one kind and nothing else (run under
    callgrind by instructions_per_call)."""
    contract = qelkit.Contract(TEXT)
    call = {"kit": lambda: contract.execute(REQUEST),
            "plain": lambda: qel.execute(TEXT, REQUEST)}[kind]
    for _ in range(calls):
        call()


def instructions_per_call(kind, calls):
    """Instructions of one call: callgrind's count for 2 * calls calls less
    that for `calls`, over `calls`."""
    counts = []
    for n in (calls, 2 * calls):
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
             sys.executable, os.path.abspath(__file__), "--calls-only", kind,
             str(n)],
            capture_output=True, text=True, check=True)
        counts.append(int(re.search(r"Collected : (\d+)",
                                    run.stderr).group(1)))
    return (counts[1] - counts[0]) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20_000)
    parser.add_argument("--session-calls", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--calls-only", nargs=2, metavar=("KIND", "N"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.calls_only:
        calls_only(args.calls_only[0], int(args.calls_only[1]))
        return 0

    contract = qelkit.Contract(TEXT)
    if contract.execute(REQUEST) != qel.execute(TEXT, REQUEST):
        sys.exit("Contract.execute differs from qel.execute")
    missed = []

    def report(label, ratio, target, higher_is_better=True):
        ok = ratio >= target if higher_is_better else ratio <= target
        sign = ">=" if higher_is_better else "<="
        print(f"{label}: {ratio:.2f}x (target {sign} {target}x)"
              f"{'' if ok else '  MISSED'}")
        if not ok:
            missed.append(label)

    kit = best_rate(lambda: contract.execute(REQUEST), args.calls, args.runs)
    plain = best_rate(lambda: qel.execute(TEXT, REQUEST),
                      args.calls // 4, args.runs)
    print(f"one request: Contract.execute {kit:,.0f}/s, "
          f"qel.execute {plain:,.0f}/s")
    report("Contract.execute / qel.execute", kit / plain, 10)
    if args.instructions:
        if shutil.which("valgrind") is None:
            sys.exit("--instructions needs valgrind")
        kit_ir = instructions_per_call("kit", 1000)
        plain_ir = instructions_per_call("plain", 200)
        print(f"one request in instructions: Contract.execute {kit_ir:,.0f}, "
              f"qel.execute {plain_ir:,.0f}")
        report("Contract.execute / qel.execute in instructions",
               plain_ir / kit_ir, 10)

    # Each thread makes as many calls as the single-thread figure: runs of a
    # few milliseconds measure thread start-up and scheduling, not the calls.
    per_thread = max(1, args.calls)
    for label, call in [
            ("Contract.verify()", contract.verify),
            ("Contract.execute()", lambda: contract.execute(REQUEST)),
            ("qel.verify (holds the lock)", lambda: qel.verify(TEXT))]:
        one, _ = threaded_rate(call, 1, per_thread, args.runs)
        two, cores = threaded_rate(call, 2, per_thread, args.runs)
        print(f"{label} with 2 threads: {cores:.2f} cores busy")
        if label.startswith("qel."):
            print(f"{label}: 2 threads / 1 thread {two / one:.2f}x")
        else:
            report(f"{label} 2 threads / 1 thread", two / one, 1.6)

    window = max(1, args.session_calls // 10)
    report(f"session of {args.session_calls:,} calls: last {window:,} / "
           f"first {window:,}",
           session_slopes(args.session_calls, window, args.runs), 1.1,
           higher_is_better=False)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
