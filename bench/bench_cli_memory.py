"""Peak memory of the qel command against its input: `qel parse` of one
large contract (its JSON goes out as it is written, so the peak is the
input and its tree, not the output), and `qel check -j N` of the same
contract beside small ones under an address-space limit just above what
-j 1 needs (threads share one allocator arena and take small stacks).

Usage: python3 bench/bench_cli_memory.py [--qel PATH] [--mb N] [--jobs N]
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import generate  # noqa: E402


def peak_kb(args, limit_kb=None):
    """The status and peak resident kilobytes of one run, output discarded."""
    def limit():
        if limit_kb is not None:
            resource.setrlimit(resource.RLIMIT_AS, (limit_kb << 10,) * 2)
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, preexec_fn=limit)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_maxrss


def smallest_limit(args, low, high):
    """The smallest address-space limit, in kilobytes (to 1 MB), under
    which `args` succeeds; `high` must be enough."""
    while high - low > 1024:
        mid = (low + high) // 2
        if peak_kb(args, mid)[0] == 0:
            high = mid
        else:
            low = mid
    return high


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qel", default=shutil.which("qel"))
    parser.add_argument("--mb", type=int, default=60)
    parser.add_argument("--jobs", type=int, default=4)
    a = parser.parse_args()
    with tempfile.TemporaryDirectory() as root:
        big = os.path.join(root, "big.qel")
        with open(big, "w", encoding="utf-8") as f:
            f.write(generate.contract(a.mb << 20))
        size_kb = os.path.getsize(big) >> 10
        status, kb = peak_kb([a.qel, "parse", big])
        print(f"qel parse, {size_kb >> 10} MB: status {status}, "
              f"peak {kb >> 10} MB = {kb / size_kb:.2f}x the input")
        for i in range(2 * a.jobs):
            with open(os.path.join(root, f"s{i}.qel"), "w") as f:
                f.write(generate.contract(4000, seed=i))
        one = [a.qel, "check", "-j", "1", root]
        need = smallest_limit(one, 0, 64 * size_kb)
        many = [a.qel, "check", "-j", str(a.jobs), root]
        print(f"qel check: -j 1 needs {need >> 10} MB of address space; "
              f"-j {a.jobs} under it: status {peak_kb(many, need)[0]}, "
              f"needs {smallest_limit(many, need, 64 * size_kb) >> 10} MB")


if __name__ == "__main__":
    main()
