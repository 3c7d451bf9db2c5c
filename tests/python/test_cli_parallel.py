"""-j N: the command line works on many files at once, and what it prints,
its exit status and the files it rewrites are those of -j 1 byte for byte,
whatever N and however the files were scheduled."""
import os
import pathlib
import re
import select
import shutil
import signal
import subprocess
import time

import pytest

import qel

from conftest import MINIMAL

QEL = shutil.which("qel")
pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")

EXAMPLES = sorted((pathlib.Path(__file__).parents[2] / "examples").glob("*.qel"))
LIMIT = 16 << 10  # --max-input-size: the padded files exceed it
# Three spellings of the option, so that each is exercised.
JOBS = [["-j1"], ["-j", "2"], ["--jobs=7"]]


def variant(i):
    """One of several kinds of contract: canonical, valid but laid out by
    hand, with verifier errors, unparsable, or too large to read."""
    base = EXAMPLES[i % len(EXAMPLES)].read_text()
    kind = i % 6
    if kind == 0:
        try:
            return qel.normalize(base)
        except ValueError:
            return base
    if kind == 1:
        return re.sub(r'stable_id: "[^"]*"', f'stable_id: "c-{i}"', base, 1)
    if kind == 2:
        return base[: len(base) * (i % 7 + 2) // 10]  # cut off: no parse
    if kind == 3:
        return f"// contract {i}\n" + base.replace("\n", "\n\n", i % 5)
    if kind == 4:
        return base + "// " + "x" * LIMIT + "\n"
    return MINIMAL.replace('"demo-contract"', f'"m-{i}"')


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """About 200 contracts in nested directories, with hidden files the walk
    passes over and files only their owner may read."""
    root = tmp_path_factory.mktemp("many")
    for i in range(200):
        path = root / "tree" / f"d{i % 3}" / f"s{i % 4}" / f"c{i:03d}.qel"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(variant(i))
        if i % 50 == 7:
            path.chmod(0)  # unreadable unless root
    (root / "tree" / ".hidden.qel").write_text("not read")
    (root / "stdin.qel").write_text(variant(3))
    return root


def run(cwd, args, stdin=None):
    with open(cwd / "stdin.qel", "rb") if stdin else open(os.devnull, "rb") as f:
        r = subprocess.run([QEL, f"--max-input-size={LIMIT}", *args],
                           cwd=cwd, stdin=f, capture_output=True, timeout=120)
    return r.returncode, r.stdout, r.stderr


OPERANDS = ["tree", "missing.qel", "-", "tree/d1"]


@pytest.mark.parametrize("command", [
    ["check"], ["check", "--format", "json"], ["check", "--format", "github"],
    ["hash"], ["normalize"], ["normalize", "--check"], ["normalize", "--diff"],
], ids=" ".join)
def test_output_and_status_do_not_depend_on_the_number_of_threads(tree, command):
    results = [run(tree, [*command, *jobs, *OPERANDS], stdin=True)
               for jobs in JOBS]
    status, out, err = results[0]
    assert status == 2 and out and err  # every kind of outcome is in there
    for other in results[1:]:
        assert other == results[0]


def test_rewrites_do_not_depend_on_the_number_of_threads(tree, tmp_path):
    outcomes = []
    for n, jobs in enumerate(JOBS):
        copy = tmp_path / str(n)
        shutil.copytree(tree / "tree", copy / "tree")
        status, out, err = run(copy, ["normalize", "-w", *jobs, "tree"])
        files = {p.relative_to(copy): p.read_bytes()
                 for p in sorted(copy.rglob("*")) if p.is_file()}
        outcomes.append((status, out, err, files))
    assert re.search(rb"rewrote \d+ of 200 files\n$", outcomes[0][2])
    assert outcomes[0][3] != {p.relative_to(tree): p.read_bytes()
                              for p in (tree / "tree").rglob("*") if p.is_file()}
    for other in outcomes[1:]:
        assert other == outcomes[0]


@pytest.mark.parametrize("command", ["check", "hash", "normalize"])
@pytest.mark.parametrize("jobs", [["-j", "0"], ["-jx"], ["--jobs=-1"],
                                  ["--jobs", ""], ["-j"]])
def test_a_bad_number_of_threads_is_a_usage_error(tmp_path, command, jobs):
    path = tmp_path / "c.qel"
    path.write_text(MINIMAL)
    result = subprocess.run([QEL, command, str(path), *jobs],
                            capture_output=True)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.startswith(b"qel: ")
    assert result.stderr.endswith(b" (see 'qel help')\n")


def big_contract(operations, name):
    ops = "".join(
        f'      {{ name: "op_{i}" precondition: "count >= {i}" '
        f'parameters: {{ count: Integer }} postcondition: "count >= 0" '
        f'side_effects: [] idempotence: "no" }},\n' for i in range(operations))
    return MINIMAL.replace("    operations: [\n", "    operations: [\n" + ops) \
                  .replace('"demo-contract"', f'"{name}"')


@pytest.mark.parametrize("sig,status", [(signal.SIGINT, 130),
                                        (signal.SIGTERM, 2)])
def test_a_signal_during_parallel_rewrites_leaves_no_temporary_file(
        tmp_path, sig, status):
    texts = {tmp_path / f"c{i}.qel": big_contract(30000 + 500 * i, f"c-{i}")
             for i in range(6)}
    for path, text in texts.items():
        path.write_text(text)
    proc = subprocess.Popen([QEL, "normalize", "-w", "-j", "3", str(tmp_path)],
                            stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    # Wait until at least one rewrite has its temporary file.
    while (not any(".qel-" in p.name for p in tmp_path.iterdir())
           and proc.poll() is None):
        assert time.monotonic() < deadline
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=60)
    if proc.returncode != 0:  # the signal may land after the last rename
        assert (proc.returncode, err) == (status, b"qel: interrupted\n")
    for path, text in texts.items():
        assert path.read_text() in (text, qel.normalize(text))
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        p.name for p in texts)


def overlapping(root):
    """Operand lists that reach one file more than once, and the number of
    distinct files each reaches."""
    d = root / "d"
    d.mkdir()
    (d / "a.qel").write_text(MINIMAL.replace("demo-contract", "a"))
    (d / "b.qel").write_text(MINIMAL.replace("\n", "\n\n", 3))
    (d / "link.qel").symlink_to("b.qel")
    return [
        (["d/a.qel", "d/a.qel", "./d/a.qel"], 1),   # named thrice
        (["d"], 2),                                 # link inside the walk
        (["d/b.qel", "d", "d/link.qel"], 2),        # named, walked, linked
    ]


@pytest.mark.parametrize("command", [["check"], ["hash"], ["fmt", "--check"],
                                     ["normalize", "-w"]], ids=" ".join)
def test_a_file_reached_twice_is_done_once_whatever_the_threads(
        tmp_path, command):
    for n, (operands, distinct) in enumerate(overlapping(tmp_path)):
        outcomes = []
        for jobs in ["1", "4"]:
            copy = tmp_path / f"{n}-{jobs}"
            shutil.copytree(tmp_path / "d", copy / "d", symlinks=True)
            status, out, err = run(copy, [*command, "-j", jobs, *operands])
            outcomes.append((status, out, err, sorted(
                (p.name, p.read_bytes()) for p in (copy / "d").iterdir())))
        assert outcomes[0] == outcomes[1], operands
        status, out, err, _ = outcomes[0]
        if command == ["hash"]:
            assert (status, out.count(b"\n")) == (0, distinct), out
        if command == ["normalize", "-w"]:
            assert err == f"qel: rewrote {distinct} of {distinct} file".encode() \
                + (b"s\n" if distinct > 1 else b"\n")


@pytest.mark.parametrize("command", [["check"], ["hash"], ["normalize"],
                                     ["fmt", "--check"], ["parse"]],
                         ids=" ".join)
def test_a_failed_write_to_standard_output_is_told(tmp_path, command):
    path = tmp_path / "c.qel"
    path.write_text(MINIMAL + "\n")
    with open("/dev/full", "wb") as full:
        r = subprocess.run([QEL, *command, str(path)], stdout=full,
                           stderr=subprocess.PIPE, timeout=60)
    assert (r.returncode, r.stderr) == (
        2, b"qel: cannot write to standard output: No space left on device\n")


def test_each_result_is_printed_as_soon_as_it_is_due(tmp_path):
    """The first file's report is readable while later, large files are
    still being checked, and stays there when the run is interrupted."""
    small = tmp_path / "a.qel"
    small.write_text(MINIMAL.replace('stable_id: "demo-contract"',
                                     'stable_id: "Demo"'))
    big = []
    for i in range(4):
        big.append(tmp_path / f"b{i}.qel")
        big[-1].write_text(big_contract(40000, f"b-{i}"))
    proc = subprocess.Popen([QEL, "check", "-j", "2", str(small), *map(str, big)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        # Generous: the point is only that it comes before the end.
        ready, _, _ = select.select([proc.stdout], [], [], 120)
        assert ready
        first = os.read(proc.stdout.fileno(), 1 << 16)
        assert proc.poll() is None, "the report came only at the end"
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert first.startswith(f"{small}:3:16: error[V103]: ".encode())
    assert (proc.returncode, err) == (130, b"qel: interrupted\n")
    assert b"in 5 files" not in first + rest
