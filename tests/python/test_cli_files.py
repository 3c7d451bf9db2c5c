"""The command line with the user's files: read whole or not at all, within
a size limit, and rewritten by -w without losing the file, its links, its
owner or its mode, under faults and signals."""
import os
import pathlib
import resource
import shutil
import signal
import stat
import subprocess
import tempfile
import time

import pytest

import qel

from conftest import MINIMAL

QEL = shutil.which("qel")
pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")
ROOT_USER = os.geteuid() == 0

NOT_CANONICAL = MINIMAL  # its semantic_hash field is not the computed one
CANONICAL = qel.normalize(MINIMAL)

OPERATION = """      {{
        name: "op_{i}"
        precondition: "count >= {i}"
        parameters: {{ count: Integer }}
        postcondition: "count >= 0"
        side_effects: []
        idempotence: "no"
      }},
"""


def big_contract(operations):
    """MINIMAL with many operations: slow enough to interrupt mid-rewrite."""
    ops = "".join(OPERATION.format(i=i) for i in range(operations))
    return MINIMAL.replace("    operations: [\n", "    operations: [\n" + ops)


def run(*args, limits=(), stdin=None, **kwargs):
    def preexec():
        for which, value in limits:
            resource.setrlimit(which, (value, value))
    return subprocess.run([QEL, *map(str, args)], capture_output=True,
                          stdin=stdin, preexec_fn=preexec if limits else None,
                          **kwargs)


def snapshot(path):
    st = os.lstat(path)
    return (path.read_bytes(), st.st_ino, st.st_mode, st.st_uid, st.st_gid)


def leftovers(directory):
    return sorted(p.name for p in directory.iterdir() if ".qel-" in p.name)


# ---- Reading --------------------------------------------------------------

@pytest.mark.parametrize("args", [["hash"], ["check"], ["normalize"],
                                  ["normalize", "-w"], ["parse"]])
def test_out_of_memory_while_reading_is_an_error_not_a_prefix(tmp_path, args):
    path = tmp_path / "big.qel"
    with open(path, "wb") as f:  # sparse: costs no disk
        f.truncate(300 << 20)
    before = snapshot(path)
    result = run(*args, path, limits=[(resource.RLIMIT_AS, 200 << 20)])
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr == b"qel: out of memory\n"
    assert snapshot(path) == before


def test_a_contract_near_the_memory_limit_is_whole_or_refused(tmp_path):
    # Mostly blanks, with the part that changes the meaning at the very end.
    text = MINIMAL.rstrip()[:-1] + " " * (40 << 20) + (
        "}\nExtensions { tail { seen: true } }\n")
    path = tmp_path / "c.qel"
    path.write_text(text)
    limits = [(resource.RLIMIT_AS, 100 << 20)]
    hashed = run("hash", path, limits=limits)
    if hashed.returncode == 0:
        assert hashed.stdout.decode() == f"{qel.semantic_hash(text)}  {path}\n"
    else:
        assert (hashed.returncode, hashed.stdout) == (2, b"")
    rewritten = run("normalize", "-w", path, limits=limits)
    if rewritten.returncode == 0:
        assert path.read_text() == qel.normalize(text)
    else:
        assert rewritten.returncode == 2
        assert path.read_text() == text


def test_read_errors_name_the_file():
    result = run("check", "/proc/self/mem")
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr == (
        b"qel: cannot read '/proc/self/mem': Input/output error\n")


@pytest.mark.parametrize("size,limit,readable", [
    (len(CANONICAL), f"{len(CANONICAL)}", True),
    (len(CANONICAL), f"{len(CANONICAL) - 1}", False),
    (len(CANONICAL), "1K", False),
    (len(CANONICAL), "1M", True),
])
@pytest.mark.parametrize("source", ["file", "stdin"])
def test_input_size_limit(tmp_path, size, limit, readable, source):
    path = tmp_path / "c.qel"
    path.write_text(CANONICAL)
    assert path.stat().st_size == size
    if source == "file":
        result = run("--max-input-size", limit, "hash", path)
    else:
        with open(path, "rb") as f:  # a pipe has no size to check ahead
            proc = subprocess.run(["sh", "-c", f'cat | "{QEL}" hash '
                                   f'--max-input-size={limit} -'],
                                  stdin=f, capture_output=True)
        result = proc
    if readable:
        assert result.returncode == 0, result.stderr
    else:
        assert (result.returncode, result.stdout) == (2, b"")
        assert b"larger than the input size limit of" in result.stderr


def test_endless_input_stops_at_the_limit():
    result = run("hash", "--max-input-size=4M", "/dev/zero",
                 limits=[(resource.RLIMIT_AS, 512 << 20)])
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr == (
        b"qel: cannot read '/dev/zero': larger than the input size limit of "
        b"4194304 bytes (see --max-input-size)\n")


@pytest.mark.parametrize("value", ["", "x", "1T", "-1", "99999999999999999999"])
def test_bad_size_limit_is_a_usage_error(value):
    result = run(f"--max-input-size={value}", "hash", "-", stdin=subprocess.DEVNULL)
    assert result.returncode == 2
    assert b"--max-input-size takes a number of bytes" in result.stderr


# ---- Writing ----------------------------------------------------------------

def test_a_symlink_stays_a_link_to_the_rewritten_file(tmp_path):
    target = tmp_path / "real.qel"
    target.write_text(NOT_CANONICAL)
    link = tmp_path / "link.qel"
    link.symlink_to("real.qel")
    result = run("normalize", "-w", link)
    assert result.returncode == 0, result.stderr
    assert link.is_symlink() and os.readlink(link) == "real.qel"
    assert target.read_text() == CANONICAL


def test_a_file_with_hard_links_is_refused(tmp_path):
    first = tmp_path / "a.qel"
    first.write_text(NOT_CANONICAL)
    os.link(first, tmp_path / "b.qel")
    before = snapshot(first)
    result = run("normalize", "-w", first)
    assert result.returncode == 2
    assert b"has 2 hard links" in result.stderr
    assert snapshot(first) == before
    assert leftovers(tmp_path) == []


@pytest.mark.skipif(not ROOT_USER, reason="changing owners needs root")
@pytest.mark.parametrize("mode", [0o640, 0o4750, 0o2644, 0o444])
def test_owner_group_and_mode_are_kept(tmp_path, mode):
    path = tmp_path / "c.qel"
    path.write_text(NOT_CANONICAL)
    os.chown(path, 1234, 5678)
    os.chmod(path, mode)
    result = run("normalize", "-w", path)
    assert result.returncode == 0, result.stderr
    st = path.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (1234, 5678, mode)
    assert path.read_text() == CANONICAL


@pytest.mark.parametrize("make", ["fifo", "/dev/stdin"])
def test_only_regular_files_are_rewritten(tmp_path, make):
    if make == "fifo":
        target = tmp_path / "f.qel"
        os.mkfifo(target)
    else:
        target = make
    before = sorted(os.listdir(tmp_path))
    result = run("normalize", "-w", target, stdin=subprocess.DEVNULL,
                 timeout=10)
    assert result.returncode == 2
    assert result.stderr.startswith(f"qel: cannot rewrite '{target}': ".encode())
    assert result.stderr.endswith(b"qel: rewrote 0 of 1 file\n")
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.skipif(not ROOT_USER, reason="needs root to run as another user")
def test_a_read_only_file_is_refused_for_other_users():
    # pytest's own directory is closed to other users.
    tmp_path = pathlib.Path(tempfile.mkdtemp(dir="/tmp"))
    os.chmod(tmp_path, 0o777)
    path = tmp_path / "c.qel"
    path.write_text(NOT_CANONICAL)
    os.chown(path, 65534, 65534)
    os.chmod(path, 0o444)
    before = snapshot(path)

    def as_nobody():
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    result = subprocess.run([QEL, "normalize", "-w", str(path)],
                            capture_output=True, preexec_fn=as_nobody)
    assert result.returncode == 2
    assert result.stderr == (
        f"qel: cannot rewrite '{path}': permission denied\n"
        "qel: rewrote 0 of 1 file\n").encode()
    assert snapshot(path) == before
    assert leftovers(tmp_path) == []
    shutil.rmtree(tmp_path)


def read_bytes_of(pid):
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    return 0


def test_a_file_changed_after_reading_is_not_overwritten(tmp_path):
    path = tmp_path / "c.qel"
    text = big_contract(60000)
    path.write_text(text)
    proc = subprocess.Popen([QEL, "normalize", "-w", str(path)],
                            stderr=subprocess.PIPE)
    while read_bytes_of(proc.pid) < len(text) and proc.poll() is None:
        time.sleep(0.001)
    edited = text + "// edited by someone else\n"
    path.write_text(edited)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 2
    assert err == (f"qel: cannot rewrite '{path}': changed while being "
                   f"rewritten\nqel: rewrote 0 of 1 file\n").encode()
    assert path.read_text() == edited
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("sig,status", [(signal.SIGINT, 130),
                                        (signal.SIGTERM, 2)])
def test_a_signal_during_the_rewrite_leaves_no_trace(tmp_path, sig, status):
    path = tmp_path / "c.qel"
    text = big_contract(60000)
    path.write_text(text)
    proc = subprocess.Popen([QEL, "normalize", "-w", str(path)],
                            stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while not leftovers(tmp_path) and proc.poll() is None:
        assert time.monotonic() < deadline
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=60)
    # The signal may land just after the rename; then the rewrite is whole.
    if proc.returncode == 0:
        assert path.read_text() == qel.normalize(text)
    else:
        assert (proc.returncode, err) == (status, b"qel: interrupted\n")
        assert path.read_text() == text
    assert leftovers(tmp_path) == []


def test_a_failed_write_leaves_the_file_and_says_why(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(NOT_CANONICAL)
    before = snapshot(path)

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
        resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))
    result = subprocess.run([QEL, "normalize", "-w", str(path)],
                            capture_output=True, preexec_fn=small_files)
    assert result.returncode == 2
    assert result.stderr == (f"qel: cannot rewrite '{path}': File too large\n"
                             "qel: rewrote 0 of 1 file\n").encode()
    assert snapshot(path) == before
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("options", [["--check", "-w"], ["--diff", "-w"]])
def test_conflicting_rewrite_options_are_usage_errors(tmp_path, options):
    path = tmp_path / "c.qel"
    path.write_text(NOT_CANONICAL)
    result = run("normalize", *options, path)
    assert result.returncode == 2
    assert b"cannot be used together" in result.stderr
    assert path.read_text() == NOT_CANONICAL
