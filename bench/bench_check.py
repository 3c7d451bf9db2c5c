"""Time of `qel check` against the number of findings, which should grow
linearly: each operation of the generated contracts reads a field the state
does not have, one warning apiece.

Usage: python3 bench/bench_check.py [--qel PATH] [--runs N]
           [--layout per-line|one-line|both] [COUNT ...]
Two layouts: one operation per line, and every operation on one line, where
all findings share one source line.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

COUNTS = [2_000, 8_000, 32_000, 64_000]

HEAD = """Contract {
  Identity {
    stable_id: "bench-check"
    version: 1
    created_timestamp: 2026-01-15T10:30:00Z
    owner: "benchmarks@example.com"
    semantic_hash: "abc"
  }
  PurposeStatement {
    narrative: "One finding per operation."
    intent_source: "bench/bench_check.py"
    confidence_level: 0.5
  }
  DataSemantics {
    state: { count: Integer = 0 }
    invariants: ["count >= 0"]
  }
  BehavioralSemantics {
    operations: ["""

TAIL = """
    ]
  }
  ExecutionConstraints {
    trigger_types: ["manual"]
    resource_limits: {
      max_memory_bytes: 1024
      computation_timeout_ms: 1000
      max_state_size_bytes: 1024
    }
    external_permissions: []
    sandbox_mode: "full_isolation"
  }
  HumanMachineContract {
    system_commitments: []
    system_refusals: []
    user_obligations: []
  }
}
"""

OPERATION = ('{{ name: "op_{i}" precondition: "ghost_{i} > 0" '
             'parameters: {{ count: Integer }} postcondition: "count >= 0" '
             'side_effects: [] idempotence: "no" }}')


def contract(count, one_line):
    separator = " " if one_line else "\n      "
    ops = (OPERATION.format(i=i) for i in range(count))
    return HEAD + separator + separator.join(ops) + TAIL


def best_time(qel, path, runs):
    best = float("inf")
    out = b""
    for _ in range(runs):
        t0 = time.perf_counter()
        result = subprocess.run([qel, "check", path], capture_output=True)
        best = min(best, time.perf_counter() - t0)
        out = result.stdout
    return best, out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qel", default=shutil.which("qel"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--layout", choices=["per-line", "one-line", "both"],
                        default="both")
    parser.add_argument("counts", nargs="*", type=int, default=COUNTS)
    args = parser.parse_args()
    if not args.qel:
        sys.exit("qel is not on PATH; pass --qel")
    print(f"{'layout':<10}{'findings':>10}{'input':>10}{'output':>10}"
          f"{'seconds':>10}{'us/finding':>12}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "check.qel")
        layouts = {"per-line": (False,), "one-line": (True,),
                   "both": (False, True)}[args.layout]
        for one_line in layouts:
            for count in args.counts:
                text = contract(count, one_line)
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
                seconds, out = best_time(args.qel, path, args.runs)
                findings = out.count(b": warning[")
                if findings != count:
                    sys.exit(f"expected {count} findings, got {findings}")
                print(f"{'one line' if one_line else 'per line':<10}"
                      f"{count:>10}{len(text) / 1e6:>9.1f}M"
                      f"{len(out) / 1e6:>9.1f}M{seconds:>10.3f}"
                      f"{seconds / count * 1e6:>12.1f}")


if __name__ == "__main__":
    main()
