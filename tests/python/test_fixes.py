"""qel check --fix and --diff against the fixtures of tests/corpus/fixes
(NAME.qel, fixed by the rule NAME, and NAME.fixed, the text after the
fix), and qel hash -w and --check, which touch the hash literal only."""
import difflib
import shutil
import subprocess
from pathlib import Path

import pytest

import qel

from conftest import MINIMAL

QEL = shutil.which("qel")
pytestmark = pytest.mark.skipif(QEL is None,
                                reason="the qel executable is not on PATH")
FIXES = Path(__file__).resolve().parents[1] / "corpus" / "fixes"
FIXTURES = sorted(p.stem for p in FIXES.glob("*.qel"))


def run(*args, cwd=None):
    return subprocess.run([QEL, *map(str, args)], cwd=cwd,
                          capture_output=True)


def read(path):
    return path.read_bytes().decode("utf-8")


@pytest.mark.parametrize("name", FIXTURES)
def test_fix_writes_the_fixed_text_and_diff_shows_it(tmp_path, name):
    original = read(FIXES / f"{name}.qel")
    fixed = read(FIXES / f"{name}.fixed")
    assert fixed != original
    path = tmp_path / f"{name}.qel"
    path.write_bytes(original.encode())

    shown = run("check", "--diff", "--select", name, path.name, cwd=tmp_path)
    assert (shown.returncode, read(path)) == (1, original)
    assert shown.stdout.decode() == "".join(difflib.unified_diff(
        original.splitlines(True), fixed.splitlines(True),
        f"a/{name}.qel", f"b/{name}.qel"))

    first = run("check", "--fix", "--select", name, path)
    assert first.returncode in (0, 1)
    assert read(path) == fixed
    # Nothing is left to fix, and what remains is what check reports.
    again = run("check", "--fix", "--select", name, path)
    assert read(path) == fixed
    assert again.stderr.decode().startswith("qel: fixed 0 findings")
    assert again.stdout == run("check", "--select", name, path).stdout
    # Comments and layout only: the hash moves only when a condition is
    # now evaluated.
    if name != "L001":
        assert qel.semantic_hash(fixed) == qel.semantic_hash(original)


STALE = "// the hash below is kept by qel hash -w\r\n" + MINIMAL.replace(
    'semantic_hash: "abc"', 'semantic_hash: "abc"  // not yet')
HASH = qel.semantic_hash(MINIMAL)
CURRENT = STALE.replace('"abc"', f'"{HASH}"')
EMPTY = STALE.replace('"abc"', '""')
BROKEN = MINIMAL.replace('    owner: "team"\n', '    owner "team"\n')


@pytest.mark.parametrize("text,args,status,out,after", [
    (STALE, ["--check"], 1, "f.qel\n", STALE),
    (EMPTY, ["--check"], 1, "f.qel\n", EMPTY),
    (CURRENT, ["--check"], 0, "", CURRENT),
    (CURRENT.replace(HASH, HASH.upper()), ["--check"], 0, "",
     CURRENT.replace(HASH, HASH.upper())),
    (BROKEN, ["--check"], 1, "", BROKEN),
    # Only the literal changes: comments, CRLF and the byte order mark stay.
    (STALE, ["-w"], 0, "", CURRENT),
    ("\ufeff" + EMPTY, ["-w"], 0, "", "\ufeff" + CURRENT),
    (CURRENT, ["-w"], 0, "", CURRENT),
    (BROKEN, ["-w"], 1, "", BROKEN),
    (STALE, [], 0, f"{HASH}  f.qel\n", STALE),
])
def test_hash_write_and_check(tmp_path, text, args, status, out, after):
    (tmp_path / "f.qel").write_bytes(text.encode())
    result = run("hash", *args, "f.qel", cwd=tmp_path)
    assert (result.returncode, result.stdout.decode()) == (status, out)
    assert read(tmp_path / "f.qel") == after


@pytest.mark.parametrize("args", [
    ["check", "--fix", "-"], ["check", "--fix", "--diff", "f.qel"],
    ["check", "--diff", "--format", "json", "f.qel"],
    ["hash", "-w", "-"], ["hash", "-w", "--check", "f.qel"]])
def test_writing_modes_refuse_what_they_cannot_do(tmp_path, args):
    (tmp_path / "f.qel").write_bytes(STALE.encode())
    result = subprocess.run([QEL, *args], cwd=tmp_path, capture_output=True,
                            input=STALE.encode())
    assert result.returncode == 2
    assert read(tmp_path / "f.qel") == STALE
