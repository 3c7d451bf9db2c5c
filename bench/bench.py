"""Throughput and memory of the qel functions against JSON peers, in one run.

Usage: python3 bench/bench.py [parse|normalize|semantic_hash|verify|execute|update|interrupt|latency ...]
Each text function is timed against the orjson round trip (loads, then dumps
with OPT_INDENT_2) of the same contract's JSON form: the ratio is the round
trip's time over qel's (>= 1.0 means qel is at least as fast), on two
generated shapes: the first (many fields and operations) and a second with
many conditions, long texts holding escapes and non-ASCII characters, and
deeply nested types. parse_contract at 1 MB is also set against
orjson.loads alone. Peak memory beyond the input is measured in a fresh
process per call, as a multiple of the input str the caller holds (for
an ASCII text its UTF-8 size; a text holding a character beyond U+FFFF is
stored, like its result, at 4 bytes per character), and also shown as a
multiple of the text's UTF-8 size; minor page faults
per call once warm, as a share of the input's pages. A table of the ratios,
memory and faults against their targets closes the run. "interrupt" prints how soon Ctrl-C stops a long execute (target: 0.2 s);
"latency" how soon it stops each function in each phase of a 200 MB
contract, and the longest stretch each function goes without asking.
Measure a module built as `pip install .` builds it: a build with assertions
on (the test build) also checks every result it returns.
"""
import gc
import json
import os
import resource
import subprocess
import sys
import time

import orjson

import qel

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate  # noqa: E402

SIZES = [("1 MB", 1_000_000), ("10 MB", 10_000_000)]
# The generated shapes of contract: (name, generator); the first one's
# lines carry no shape name.
SHAPES = [("", "contract"), ("wide", "contract_wide")]


def best_time(fn, arg_tuple, min_seconds=1.0, min_runs=3):
    """Best wall time of fn(*arg_tuple) over repeated runs."""
    best = float("inf")
    runs = 0
    start = time.perf_counter()
    while runs < min_runs or time.perf_counter() - start < min_seconds:
        gc.disable()
        t0 = time.perf_counter()
        fn(*arg_tuple)
        dt = time.perf_counter() - t0
        gc.enable()
        best = min(best, dt)
        runs += 1
        if runs >= 50:
            break
    return best


def orjson_round_trip(doc):
    orjson.dumps(orjson.loads(doc), option=orjson.OPT_INDENT_2)


PEAK_SCRIPT = r"""
import sys
sys.path.insert(0, {bench_dir!r})
import generate, qel

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

fn = getattr(qel, "execute" if {fn!r} == "update" else {fn!r})
if {fn!r} == "execute":
    args = (generate.exec_contract(), generate.exec_requests({size}))
    fn(generate.exec_contract(), generate.exec_requests(10))
elif {fn!r} == "update":
    args = (generate.update_contract(), generate.update_requests({size}))
    fn(generate.update_contract(), generate.update_requests(10))
else:
    args = (generate.{shape}({size}),)
    # A first call on a small text faults in the module's code and static
    # tables, which are not the call's memory.
    fn(generate.{shape}(20_000))
# Reset the peak so that only the call itself is measured.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
out = fn(*args)
peak = status("VmHWM")
print(peak - before, len(out.encode()))
"""


def peak_extra_bytes(fn, size, shape="contract"):
    """Peak resident memory that one call adds, measured in a fresh process."""
    code = PEAK_SCRIPT.format(bench_dir=os.path.dirname(os.path.abspath(__file__)),
                              size=size, fn=fn, shape=shape)
    out = subprocess.run([sys.executable, "-c", code], check=True,
                         capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def faults_per_call(fn, arg_tuple, calls=10, warm_up=5):
    """Minor page faults of one call once warm: what a repeated call maps
    afresh instead of reusing."""
    for _ in range(warm_up):
        fn(*arg_tuple)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        fn(*arg_tuple)
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls


# Targets of the text functions: the least throughput ratio at 1 MB and at
# 10 MB, and the most peak memory beyond the input, as a multiple of it.
TARGETS = {
    "parse_contract": (1.0, 1.0, 2.5),
    "normalize": (1.0, 1.0, 2.5),
    "semantic_hash": (1.0, 1.0, 2.5),
    "verify": (1.0, 1.0, 2.5),
}
# The most minor page faults per call once warm, as a share of the
# input's pages; the least ratio of parse_contract to orjson.loads alone.
MAX_FAULT_SHARE = 0.02
MIN_LOADS_RATIO = 1.0
SUMMARY = []
SUMMARY_LOADS = []
SUMMARY_EXECUTE = []


def bench_text_function(name):
    fn = getattr(qel, name)
    print(f"\n## qel.{name} vs the orjson round trip of the contract's JSON form")
    for shape, generator in SHAPES:
        per_mb = []
        for (size_label, size), min_ratio in zip(SIZES, TARGETS[name][:2]):
            label = f"{size_label} {shape}".strip()
            text = getattr(generate, generator)(size)
            json_form = qel.parse_contract(text)
            nbytes = len(text.encode())
            mb = nbytes / 1e6
            t_qel = best_time(fn, (text,))
            t_peer = best_time(orjson_round_trip, (json_form,))
            per_mb.append(t_qel / mb)
            peak, out_size = peak_extra_bytes(name, size, generator)
            ratio, memory = t_peer / t_qel, peak / sys.getsizeof(text)
            faults = faults_per_call(fn, (text,))
            fault_share = faults / (nbytes / 4096)
            print(f"{label:>6}: qel {mb / t_qel:7.1f} MB/s | orjson round trip "
                  f"{mb / t_peer:7.1f} MB/s (of contract) | ratio {ratio:5.2f} "
                  f"| peak beyond input {memory:4.2f}x the input str "
                  f"({peak / nbytes:4.2f}x its UTF-8; output "
                  f"{out_size / nbytes:4.2f}x its UTF-8)")
            print(f"{'':>6}  minor page faults per call once warm: {faults:7.1f} "
                  f"({fault_share:6.2%} of the input's {nbytes / 4096:.0f} pages)")
            if name == "parse_contract" and size_label == "1 MB":
                t_loads = best_time(orjson.loads, (json_form,))
                loads_ratio = t_loads / t_qel
                print(f"{'':>6}  orjson.loads alone {mb / t_loads:7.1f} MB/s "
                      f"(of contract) | ratio {loads_ratio:5.2f}")
                SUMMARY_LOADS.append((label, loads_ratio))
            SUMMARY.append((name, label, ratio, min_ratio, memory, TARGETS[name][2],
                            fault_share))
        print(f"  growth 1 MB -> 10 MB{' ' + shape if shape else ''}: time per MB "
              f"x{per_mb[1] / per_mb[0]:.2f} (1.00 = linear)")


def print_summary():
    if not SUMMARY and not SUMMARY_EXECUTE:
        return
    print("\n## Side by side: throughput ratio vs the orjson round trip, "
          "peak memory beyond the input (as a multiple of the input str), and page "
          "faults per warm call")
    for name, label, ratio, min_ratio, memory, max_memory, faults in SUMMARY:
        ok_ratio = "ok" if ratio >= min_ratio else "MISS"
        ok_memory = "ok" if memory <= max_memory else "MISS"
        ok_faults = "ok" if faults <= MAX_FAULT_SHARE else "MISS"
        print(f"{name:>15} {label:>10} | ratio {ratio:5.2f} (>= {min_ratio:.1f} "
              f"{ok_ratio:>4}) | memory {memory:4.2f}x (<= {max_memory:.1f}x "
              f"{ok_memory:>4}) | faults {faults:6.2%} of input pages "
              f"(<= {MAX_FAULT_SHARE:.0%} {ok_faults:>4})")
    for label, ratio in SUMMARY_LOADS:
        print(f"{'parse_contract':>15} {label:>10} | ratio {ratio:5.2f} to orjson.loads "
              f"alone (>= {MIN_LOADS_RATIO:.1f} "
              f"{'ok' if ratio >= MIN_LOADS_RATIO else 'MISS':>4})")
    for ratio in SUMMARY_EXECUTE:
        print(f"{'execute':>15} {'10k':>6} | ratio {ratio:5.2f} (>= 1.0 "
              f"{'ok' if ratio >= 1.0 else 'MISS':>4}) | 20-field updates")


def bench_execute():
    print("\n## qel.execute vs orjson.dumps(indent 2) of the same result")
    contract = generate.exec_contract()
    per_req = []
    for n in (10_000, 100_000):
        requests = generate.exec_requests(n)
        out = qel.execute(contract, requests)
        result = json.loads(out)
        ok = sum(1 for op in result["operations"] if op["success"])
        t_qel = best_time(qel.execute, (contract, requests), min_seconds=0.5)
        t_orj = best_time(lambda r: orjson.dumps(r, option=orjson.OPT_INDENT_2),
                          (result,), min_seconds=0.5)
        per_req.append(t_qel / n)
        peak, out_size = peak_extra_bytes("execute", n)
        print(f"{n:>7} requests ({ok} succeeded): qel {n / t_qel:9.0f} req/s, "
              f"{t_qel * 1e3:7.1f} ms | orjson.dumps {t_orj * 1e3:7.1f} ms "
              f"| ratio {t_orj / t_qel:5.2f} | result {out_size / 1e6:6.1f} MB, "
              f"peak extra memory {peak / out_size:4.2f}x result")
    print(f"  growth 10k -> 100k: time per request x{per_req[1] / per_req[0]:.2f} "
          f"(1.00 = linear)")


def bench_update():
    """10,000 requests to one operation over a 20-field state, each setting 1
    to 5 fields (target: at least as fast as orjson.dumps of the result)."""
    print("\n## qel.execute of 10,000 updates of a 20-field state vs "
          "orjson.dumps(indent 2) of the same result (target >= 1.0)")
    contract = generate.update_contract()
    requests = generate.update_requests(10_000)
    out = qel.execute(contract, requests)
    result = json.loads(out)
    ok = sum(1 for op in result["operations"] if op["success"])
    t_qel = best_time(qel.execute, (contract, requests), min_seconds=1.0)
    t_orj = best_time(lambda r: orjson.dumps(r, option=orjson.OPT_INDENT_2),
                      (result,), min_seconds=1.0)
    peak, out_size = peak_extra_bytes("update", 10_000)
    print(f"  {ok} succeeded: qel {t_qel * 1e3:7.1f} ms | orjson.dumps "
          f"{t_orj * 1e3:7.1f} ms | ratio {t_orj / t_qel:5.2f} | result "
          f"{out_size / 1e6:5.1f} MB, peak extra memory {peak / out_size:4.2f}x result")
    SUMMARY_EXECUTE.append(t_orj / t_qel)


INTERRUPT_SCRIPT = r"""
import os, signal, subprocess, sys, time
import qel
delay, count = float(sys.argv[1]), int(sys.argv[2])
contract = sys.stdin.read()
requests = "[" + ",".join(['{"operation":"set","inputs":{"n":1}}'] * count) + "]"
handled = []

def handler(signum, frame):
    # What Ctrl-C does, noting when the call noticed the signal.
    handled.extend([time.monotonic(), time.process_time()])
    raise KeyboardInterrupt

signal.signal(signal.SIGINT, handler)
killer = subprocess.Popen(
    [sys.executable, "-c", "import os, signal, sys, time; time.sleep(float(sys.argv[1])); "
     "os.kill(int(sys.argv[2]), signal.SIGINT); print(time.monotonic())",
     str(delay), str(os.getpid())], stdout=subprocess.PIPE, text=True)
start = time.monotonic()
try:
    qel.execute(contract, requests)
    print("finished", time.monotonic() - start)
    killer.kill()  # its signal would now stop this script instead
except KeyboardInterrupt:
    raised, cpu = time.monotonic(), time.process_time()
    sent = float(killer.communicate()[0])
    print("interrupted", raised - sent, handled[0] - sent, cpu - handled[1])
killer.wait()
"""

INTERRUPT_CONTRACT = """Contract {
  Identity { stable_id: "interrupt-bench" version: 1 created_timestamp: 2026-01-15T10:30:00Z
    owner: "bench" semantic_hash: "00" }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics { state: { n: Integer } invariants: ["n >= 0"] }
  BehavioralSemantics { operations: [
    { name: "set" precondition: "n >= 0" parameters: { n: Integer } postcondition: "n >= 0"
      side_effects: [] idempotence: "yes" } ] }
  ExecutionConstraints { trigger_types: ["manual"]
    resource_limits: { max_memory_bytes: 100000000, computation_timeout_ms: 10000,
                       max_state_size_bytes: 100000000 }
    external_permissions: [] sandbox_mode: "full_isolation" }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
}
"""


def bench_interrupt():
    """Time from SIGINT to KeyboardInterrupt out of an execute of a million
    requests, the signal sent at several points of the call (reading the
    requests, running them, writing the result), each in a fresh process:
    until the call notices the signal, and the processor time it then takes
    to free what it had built and return."""
    count = 1_000_000
    print(f"\n## Ctrl-C during qel.execute of {count} requests (target: 0.2 s)")
    for delay in (0.5, 1.0, 2.0, 4.0, 8.0):
        out = subprocess.run([sys.executable, "-c", INTERRUPT_SCRIPT, str(delay), str(count)],
                             input=INTERRUPT_CONTRACT, check=True, capture_output=True,
                             text=True).stdout.split()
        if out[0] == "finished":
            print(f"  signal after {delay:4.1f} s: the call had finished "
                  f"({float(out[1]):.2f} s)")
        else:
            total, noticed, unwind = (float(x) * 1e3 for x in out[1:])
            print(f"  signal after {delay:4.1f} s: KeyboardInterrupt {total:5.0f} ms later "
                  f"(noticed after {noticed:4.0f} ms, then {unwind:4.0f} ms of processor "
                  f"time to free and return)")


# Where Ctrl-C lands in each function: a fraction of the parse, or of what
# follows it (the same table as the module's tests, on a larger contract).
LATENCY_PHASES = [
    ("parse_contract", "parsing", "parse", 0.5),
    ("parse_contract", "writing the contract JSON", "rest", 0.3),
    ("parse_contract", "decoding the result", "rest", 0.9),
    ("normalize", "parsing", "parse", 0.5),
    ("normalize", "writing the canonical text", "rest", 0.2),
    ("normalize", "hashing", "rest", 0.6),
    ("normalize", "decoding the result", "rest", 0.9),
    ("semantic_hash", "parsing", "parse", 0.5),
    ("semantic_hash", "writing and hashing", "rest", 0.5),
    ("verify", "parsing", "parse", 0.5),
    ("verify", "checking", "rest", 0.5),
    ("execute", "parsing", "parse", 0.5),
    ("execute", "lowering", "rest", 0.1),
    ("execute", "compiling, before the first request", "rest", 0.45),
    ("execute", "freeing the model, the result written", "rest", 0.85),
]
LATENCY_FUNCTIONS = ["parse_contract", "normalize", "semantic_hash", "verify", "execute"]


def latency_call(fn, args, due):
    """fn(*args) with a processor-time timer due after `due` seconds whose
    handler raises KeyboardInterrupt as Ctrl-C's does: the processor
    seconds from the timer's expiry to the handler, and from the handler to
    KeyboardInterrupt out of the call (freeing what the call had built); or
    None when the call had finished first. Processor time of the whole
    process, which the timer counts: other work on the machine does not
    inflate it."""
    import signal
    handled = []
    returned = []

    def handler(signum, frame):
        # A timer that expires once the call has returned is not the call's.
        if returned:
            return
        handled.append(time.process_time())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGPROF, handler)
    try:
        start = time.process_time()
        signal.setitimer(signal.ITIMER_PROF, due)
        try:
            fn(*args)
            returned.append(True)
            return None
        except KeyboardInterrupt:
            raised = time.process_time()
        finally:
            signal.setitimer(signal.ITIMER_PROF, 0)
    finally:
        signal.signal(signal.SIGPROF, previous)
    # The timer expires on a clock tick, a few milliseconds after `due`.
    return max(0.0, handled[0] - start - due), raised - handled[0]


def longest_stretch(fn, args):
    """The longest processor time the call goes without running a pending
    signal handler (a timer keeps one pending every millisecond), and where
    in the call it starts: the worst wait for Ctrl-C, unwinding apart."""
    import signal
    handled = []
    previous = signal.signal(signal.SIGPROF,
                             lambda signum, frame: handled.append(time.process_time()))
    try:
        start = time.process_time()
        signal.setitimer(signal.ITIMER_PROF, 0.001, 0.001)
        try:
            fn(*args)
        finally:
            end = time.process_time()
            signal.setitimer(signal.ITIMER_PROF, 0)
    finally:
        signal.signal(signal.SIGPROF, previous)
    marks = [start] + [t for t in handled if start <= t <= end] + [end]
    return max((b - a, a - start) for a, b in zip(marks, marks[1:])), end - start


def bench_latency(size=200_000_000):
    print(f"\n## Ctrl-C in each phase of a {size // 1_000_000} MB contract with a "
          f"euro sign in every operation (target: 0.2 s)")
    text = generate.contract(size).replace("journal entry", "journal \u20ac entry")
    refused = text.replace("version: 42", "version: 99999999999", 1)
    args = {name: (text, "[]") if name == "execute" else (text,)
            for name in LATENCY_FUNCTIONS}
    start = time.process_time()
    try:
        qel.parse_contract(refused)
    except ValueError:
        pass
    parse = time.process_time() - start
    print(f"  parse alone: {parse:.2f} s (all times are processor time)")
    whole = {}
    for name in LATENCY_FUNCTIONS:
        (gap, at), whole[name] = longest_stretch(getattr(qel, name), args[name])
        print(f"  {name:>15}: {whole[name]:5.2f} s; longest stretch without asking "
              f"{gap * 1e3:5.0f} ms, from {at:5.2f} s")
    for name, phase, within, fraction in LATENCY_PHASES:
        first, length = (0.0, parse) if within == "parse" else (parse, whole[name] - parse)
        # Processor time varies from run to run on a busy machine: a call
        # that finished first is tried again with the signal earlier.
        for _ in range(4):
            # An interrupted call may leave what it built to be freed by a
            # thread of its own, whose processor time the timer would count.
            time.sleep(1.0)
            got = latency_call(getattr(qel, name), args[name], first + fraction * length)
            if got is not None:
                break
            fraction *= 0.7
        if got is None:
            print(f"  {name:>15} {phase:<36}: finished first")
            continue
        noticed, unwind = got
        print(f"  {name:>15} {phase:<36}: KeyboardInterrupt after "
              f"{(noticed + unwind) * 1e3:4.0f} ms (noticed after {noticed * 1e3:4.0f} ms, "
              f"then {unwind * 1e3:4.0f} ms to free and return)")


def main(argv):
    wanted = argv or ["parse_contract", "normalize", "semantic_hash", "verify",
                      "execute", "update", "interrupt", "latency"]
    for name in wanted:
        if name == "parse":
            name = "parse_contract"
        if name == "interrupt":
            bench_interrupt()
            continue
        if name == "latency":
            bench_latency()
            continue
        if name == "update":
            bench_update()
            continue
        if not hasattr(qel, name):
            print(f"\n## qel.{name}: not in this build")
            continue
        if name == "execute":
            bench_execute()
        else:
            bench_text_function(name)
    print_summary()


if __name__ == "__main__":
    main(sys.argv[1:])
