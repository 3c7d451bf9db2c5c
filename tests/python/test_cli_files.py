"""The command line with the user's files: read whole or not at all, within
a size limit, and rewritten by -w without losing the file, its links, its
owner or its mode, under faults, signals and concurrent edits; walks and
named operands never hang on what is not a file."""
import os
import socket
import pathlib
import re
import resource
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
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


@pytest.fixture
def nobody():
    """Runs the built qel as user nobody, from a copy that user can reach
    (the build may sit in a home directory closed to others), in a scratch
    directory nobody may enter."""
    if not ROOT_USER:
        pytest.skip("needs root to run as another user")
    scratch = pathlib.Path(tempfile.mkdtemp(dir="/tmp"))
    os.chmod(scratch, 0o755)
    binary = scratch / "qel"
    shutil.copy2(QEL, binary)
    os.chmod(binary, 0o755)
    work = scratch / "work"
    work.mkdir(mode=0o777)
    os.chmod(work, 0o777)

    def as_nobody():
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)

    def run_as_nobody(*args):
        return subprocess.run([str(binary), *map(str, args)],
                              capture_output=True, preexec_fn=as_nobody,
                              timeout=30)
    run_as_nobody.work = work
    yield run_as_nobody
    shutil.rmtree(scratch)


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
    (len(CANONICAL), "18446744073709551615", True),  # no wrap to 0 at +1
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
    # Well below three times the limit, which growing the buffer by one
    # byte past a full limit would allocate.
    with open("/dev/zero", "rb") as zero:
        result = run("hash", "--max-input-size=64M", "-", stdin=zero,
                     limits=[(resource.RLIMIT_AS, 160 << 20)])
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr == (
        b"qel: cannot read standard input: larger than the input size limit "
        b"of 67108864 bytes (see --max-input-size)\n")


# ---- What is not a file -----------------------------------------------------

def make_fifo(path):
    os.mkfifo(path)


def make_socket(path):
    # By its name alone: a socket's full path may not exceed 107 bytes.
    here = os.getcwd()
    os.chdir(path.parent)
    try:
        with socket.socket(socket.AF_UNIX) as sock:
            sock.bind(path.name)
    finally:
        os.chdir(here)


def make_dangling_link(path):
    path.symlink_to("nowhere.qel")


def make_link_loop(path):
    path.symlink_to(path.name)


def make_link_to_fifo(path):
    os.mkfifo(path.parent / "fifo")
    path.symlink_to("fifo")


WALK_COMMANDS = [["check"], ["hash"], ["fmt"], ["normalize"], ["fmt", "-w"]]


@pytest.mark.parametrize("command", WALK_COMMANDS, ids=" ".join)
@pytest.mark.parametrize("make,why", [
    (make_fifo, "not a regular file"),
    (make_socket, "not a regular file"),
    (make_link_to_fifo, "not a regular file"),
    (make_dangling_link, "dangling symbolic link"),
    (make_link_loop, "Too many levels of symbolic links"),
])
def test_walks_skip_what_is_not_a_file_and_say_so(tmp_path, command, make,
                                                   why):
    (tmp_path / "good.qel").write_text(CANONICAL)
    odd = tmp_path / "odd\x1b[31m.qel"
    make(odd)
    result = run(*command, tmp_path, stdin=subprocess.DEVNULL, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stderr.startswith(
        f"qel: skipping '{tmp_path}/odd\\u{{1b}}[31m.qel': {why}\n".encode())


def test_walks_report_entries_they_cannot_look_at(nobody):
    closed = nobody.work / "closed"
    closed.mkdir()
    (closed / "c.qel").write_text(CANONICAL)
    os.chmod(closed, 0o744)  # listed, but not entered
    result = nobody("hash", nobody.work)
    # Nothing else was there, so nothing was hashed.
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr == (f"qel: skipping '{closed}/c.qel': Permission "
                             f"denied\nqel: cannot read '{nobody.work}': no "
                             "contract there (no *.qel file below it)\n"
                             ).encode()


NAMED_COMMANDS = [
    ["check", "{x}"], ["hash", "{x}"], ["fmt", "{x}"], ["normalize", "{x}"],
    ["parse", "{x}"], ["run", "{x}", "{good}"], ["diff", "{x}", "{good}"],
]


@pytest.mark.parametrize("command", NAMED_COMMANDS, ids=" ".join)
@pytest.mark.parametrize("make,why", [
    (make_fifo, "not a regular file"),
    (make_socket, "No such device or address"),  # cannot even be opened
    ("/dev/zero", "not a regular file"),
])
def test_named_operands_that_are_not_files_are_refused(tmp_path, command,
                                                       make, why):
    good = tmp_path / "good.qel"
    good.write_text(CANONICAL)
    odd = tmp_path / "odd.qel"
    if callable(make):
        make(odd)
    else:
        odd = make
    args = [a.format(x=odd, good=good) for a in command]
    result = run(*args, stdin=subprocess.DEVNULL, timeout=30)
    assert (result.returncode, result.stdout) == (2, b"")
    assert f"qel: cannot read '{odd}': {why}\n".encode() in result.stderr


def test_standard_input_by_name_is_read():
    # A pipe: not a file, but the one standard input is.
    result = run("hash", "/dev/stdin", input=CANONICAL.encode(), timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        f"{qel.semantic_hash(CANONICAL)}  /dev/stdin\n").encode()


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


@pytest.mark.parametrize("make", ["fifo", "/dev/stdin", "/dev/stdin < file"])
def test_only_regular_files_are_rewritten(tmp_path, make):
    path = tmp_path / "c.qel"
    path.write_text(NOT_CANONICAL)
    before = snapshot(path)
    if make == "fifo":
        target = tmp_path / "f.qel"
        os.mkfifo(target)
    else:
        target = "/dev/stdin"
    listed = sorted(os.listdir(tmp_path))
    with open(path if make.endswith("file") else os.devnull) as stdin:
        result = run("normalize", "-w", target, stdin=stdin, timeout=10)
    assert result.returncode == 2
    assert result.stderr.startswith(f"qel: cannot rewrite '{target}': ".encode())
    assert result.stderr.endswith(b"qel: rewrote 0 of 1 file\n")
    assert sorted(os.listdir(tmp_path)) == listed
    assert snapshot(path) == before


@pytest.mark.parametrize("name", [
    "a" * 251 + ".qel",
    "b" * 251 + ".q",
    "\u00e9" * 125 + ".qel",  # cut on a character, not inside one
])
def test_a_long_name_is_rewritten(tmp_path, name):
    path = tmp_path / name
    path.write_text(NOT_CANONICAL)
    result = run("normalize", "-w", path)
    assert result.returncode == 0, result.stderr
    assert path.read_text() == CANONICAL
    assert sorted(os.listdir(tmp_path)) == [name]


def test_a_read_only_file_is_refused_for_other_users(nobody):
    path = nobody.work / "c.qel"
    path.write_text(NOT_CANONICAL)
    os.chown(path, 65534, 65534)
    os.chmod(path, 0o444)
    before = snapshot(path)
    result = nobody("normalize", "-w", path)
    assert result.returncode == 2
    assert result.stderr == (
        f"qel: cannot rewrite '{path}': permission denied\n"
        "qel: rewrote 0 of 1 file\n").encode()
    assert snapshot(path) == before
    assert leftovers(nobody.work) == []


def read_bytes_of(pid):
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    return 0


def append_a_comment(path, text):
    path.write_text(text + "// edited by someone else\n")


def edit_in_place_and_set_the_time_back(path, text):
    # Same size, same modification time: only the change time tells.
    st = path.stat()
    path.write_text(text.replace("op_1\"", "op_X\""))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


@pytest.mark.parametrize("edit", [append_a_comment,
                                  edit_in_place_and_set_the_time_back])
def test_a_file_changed_after_reading_is_not_overwritten(tmp_path, edit):
    path = tmp_path / "c.qel"
    text = big_contract(60000)
    path.write_text(text)
    proc = subprocess.Popen([QEL, "normalize", "-w", str(path)],
                            stderr=subprocess.PIPE)
    while read_bytes_of(proc.pid) < len(text) and proc.poll() is None:
        time.sleep(0.001)
    edit(path, text)
    edited = path.read_bytes()
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 2
    # Just after the last byte is read, the edit is seen by the read.
    assert err in (f"qel: cannot {verb} '{path}': changed while being "
                   f"{done}\nqel: rewrote 0 of 1 file\n".encode()
                   for verb, done in [("read", "read"),
                                      ("rewrite", "rewritten")])
    assert path.read_bytes() == edited
    assert leftovers(tmp_path) == []


def disk_bytes_read_by(pid):
    try:
        with open(f"/proc/{pid}/io") as f:
            for line in f:
                if line.startswith("read_bytes:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


@pytest.mark.parametrize("command", [["fmt", "-w"], ["hash"]], ids=" ".join)
def test_a_file_edited_while_it_is_read_is_never_mixed(tmp_path, command):
    # The edit changes the head and then the tail, once the reader is past
    # the head and (the file coming from disk) not yet at the tail: a torn
    # read holds the old head and the new tail, a text that never was.
    old = big_contract(100000)
    edits = [('owner: "team"', 'owner: "meat"'),
             ("max_memory_bytes: 1024", "max_memory_bytes: 2048")]
    versions = [old]
    for before, after in edits:
        versions.append(versions[-1].replace(before, after))
    whole = {qel.semantic_hash(v) for v in versions}
    torn = old.replace(*edits[1])
    assert qel.semantic_hash(torn) not in whole
    path = tmp_path / "c.qel"
    for _ in range(3):
        with open(path, "w") as f:
            f.write(old)
            f.flush()
            os.fsync(f.fileno())
            os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
        inode = path.stat().st_ino
        with open(path, "r+b") as writer:
            proc = subprocess.Popen([QEL, *command, str(path)],
                                    stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
            while (proc.poll() is None and
                   disk_bytes_read_by(proc.pid) < len(old) // 2):
                pass
            for before, after in edits:
                os.pwrite(writer.fileno(), after.encode(), old.index(before))
            out, err = proc.communicate(timeout=60)
        if proc.returncode == 2:
            # Refused, and the file is the editor's.
            assert re.fullmatch(
                rb"qel: cannot (read|rewrite) '[^']*': changed while being "
                rb"(read|rewritten)\n(qel: rewrote 0 of 1 file\n)?", err), err
            assert path.read_text() == versions[-1]
            assert path.stat().st_ino == inode
        else:
            assert proc.returncode == 0, err
            result = (out.decode().split()[0] if command == ["hash"]
                      else qel.semantic_hash(path.read_text()))
            assert result in whole
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
