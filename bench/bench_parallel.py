"""`qel check` over a directory of many small contracts with -j 1, -j 2,
...: files per second and the speed-up over one thread. Also checks that
every run prints the same bytes.

With --python, the same in Python for what examples/dask_contracts.py
records of each contract (parse, normalize, hash, verify): a plain loop, a
pool of threads and a pool of processes, one worker per core (qel's
functions hold the interpreter lock, so only processes add speed). With
--dask, its check_tree in this process and on a local cluster of one
worker process per core.

Usage: python3 bench/bench_parallel.py [--qel PATH] [--files N] [--runs N]
           [--jobs 1,2] [--python] [--dask]
The contracts are generated into a temporary directory: 3.5 KB to 9 KB
each, a hundred per subdirectory, every tenth one with a verifier error.
"""
import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
import generate  # noqa: E402


def write_tree(root, files):
    rng = random.Random(2026)
    total = 0
    for i in range(files):
        text = generate.contract(rng.randrange(3500, 9000), seed=i)
        # Every tenth has a verifier error: a stable_id out of its pattern.
        name = f"Bench_{i}" if i % 10 == 9 else f"bench-{i}"
        text = text.replace('"bench-contract"', f'"{name}"', 1)
        directory = os.path.join(root, f"d{i // 100:03d}")
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, f"c{i:05d}.qel"), "w",
                  encoding="utf-8") as f:
            f.write(text)
        total += len(text)
    return total


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def best_time(qel, root, jobs, runs):
    """The best wall time of `runs`, the processor time of that run, and the
    output."""
    best, cpu, out = float("inf"), 0.0, None
    for _ in range(runs):
        c0, t0 = cpu_seconds(), time.perf_counter()
        result = subprocess.run([qel, "check", "-j", str(jobs), root],
                                capture_output=True)
        wall, used = time.perf_counter() - t0, cpu_seconds() - c0
        if wall < best:
            best, cpu = wall, used
        if out is not None and result.stdout != out:
            sys.exit(f"-j {jobs}: the output changed between runs")
        out = result.stdout
    return best, cpu, out


def record_file(path):
    import dask_contracts
    with open(path, "rb") as f:
        return len(dask_contracts.contract_record(f.read()))


def best_python_time(paths, pool, runs):
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        if pool is None:
            sum(map(record_file, paths))
        else:
            sum(pool.map(record_file, paths, chunksize=64))
        best = min(best, time.perf_counter() - t0)
    return best


def bench_python(root, files, runs):
    from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
    paths = sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs)
    workers = os.cpu_count()
    print(f"\nparse, normalize, hash, verify in Python, {workers} workers")
    print(f"{'how':>10}{'seconds':>10}{'files/s':>10}{'speed-up':>10}")
    base = best_python_time(paths, None, runs)
    rows = [("loop", base)]
    with ThreadPoolExecutor(workers) as pool:
        rows.append(("threads", best_python_time(paths, pool, runs)))
    with ProcessPoolExecutor(workers) as pool:
        pool.submit(record_file, paths[0]).result()  # started before timing
        rows.append(("processes", best_python_time(paths, pool, runs)))
    for how, seconds in rows:
        print(f"{how:>10}{seconds:>10.3f}{files / seconds:>10.0f}"
              f"{base / seconds:>9.2f}x")


def bench_dask(root, files, runs):
    from distributed import Client, LocalCluster
    import dask_contracts
    workers = os.cpu_count()
    print(f"\ndask_contracts.check_tree, {workers} worker processes")
    print(f"{'where':>10}{'seconds':>10}{'files/s':>10}{'speed-up':>10}")

    def best(client):
        t = float("inf")
        for _ in range(runs):
            t0 = time.perf_counter()
            dask_contracts.check_tree(root, client)
            t = min(t, time.perf_counter() - t0)
        return t

    base = best(None)
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster) as client:
        cluster_time = best(client)
    for where, seconds in [("process", base), ("cluster", cluster_time)]:
        print(f"{where:>10}{seconds:>10.3f}{files / seconds:>10.0f}"
              f"{base / seconds:>9.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qel", default=shutil.which("qel"))
    parser.add_argument("--files", type=int, default=10_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--jobs", default="1,2",
                        help="comma-separated thread counts; the first is "
                             "the base of the speed-up")
    parser.add_argument("--python", action="store_true")
    parser.add_argument("--dask", action="store_true")
    args = parser.parse_args()
    if not args.qel:
        sys.exit("qel is not on PATH; pass --qel")
    jobs = [int(j) for j in args.jobs.split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        size = write_tree(tmp, args.files)
        print(f"{args.files} contracts, {size / 1e6:.1f} MB, "
              f"{os.cpu_count()} cores; best of {args.runs}")
        # cores busy: processor time over wall time, which a loaded machine
        # holds down whatever -j says.
        print(f"{'jobs':>6}{'seconds':>10}{'files/s':>10}{'speed-up':>10}"
              f"{'cpu s':>8}{'cores busy':>12}")
        base, first_out = None, None
        for n in jobs:
            seconds, cpu, out = best_time(args.qel, tmp, n, args.runs)
            if first_out is None:
                first_out = out
            elif out != first_out:
                sys.exit(f"-j {n} printed other bytes than -j {jobs[0]}")
            base = base or seconds
            print(f"{n:>6}{seconds:>10.3f}{args.files / seconds:>10.0f}"
                  f"{base / seconds:>9.2f}x{cpu:>8.2f}{cpu / seconds:>12.2f}")
        if args.python:
            bench_python(tmp, args.files, args.runs)
        if args.dask:
            bench_dask(tmp, args.files, args.runs)


if __name__ == "__main__":
    main()
