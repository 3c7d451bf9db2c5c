"""qel fmt: over every corpus contract and example, formatting is idempotent,
never changes the meaning (semantic hash, canonical text) and keeps every
comment in order; a text that does not parse is refused and left alone; the
options behave as normalize's do."""
import difflib
import pathlib
import shutil
import subprocess

import pytest

import qel

from conftest import MINIMAL

ROOT = pathlib.Path(__file__).resolve().parents[2]
CONTRACTS = sorted((ROOT / "tests" / "corpus" / "contracts").glob("*.qel")) + \
    sorted((ROOT / "examples").glob("*.qel"))
QEL = shutil.which("qel")

pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")

COMMENTED = MINIMAL.replace(
    '    version: 1\n', '    version: 1 // bumped by hand\n'
).replace('  PurposeStatement {\n', '  // why it exists\n  PurposeStatement {\n')
UNFORMATTED = COMMENTED.replace("    version: 1", "version :1,")
UNPARSABLE = MINIMAL.replace('    owner: "team"\n', '    owner "team"\n')


def run(*args, stdin=None):
    return subprocess.run([QEL, "fmt", *map(str, args)], input=stdin,
                          capture_output=True)


def comments(text):
    """The comments of a contract text in order, less trailing spaces."""
    found, i = [], 0
    while i < len(text):
        if text[i] == '"':
            i += 1
            while text[i] != '"':
                i += 2 if text[i] == "\\" else 1
            i += 1
        elif text.startswith("//", i):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
            found.append(text[i:end].rstrip(" \t\r\f"))
            i = end
        else:
            i += 1
    return found


def source_text(data):
    """The text as the command reads it (a byte order mark dropped), or
    None when it does not parse (a version out of range does: that is the
    contract model's check, and normalize accepts it)."""
    try:
        text = data.decode("utf-8").removeprefix("\ufeff")
        qel.normalize(text)
    except (UnicodeDecodeError, ValueError):
        return None
    return text


@pytest.mark.parametrize("path", CONTRACTS, ids=lambda p: p.name)
def test_formatting_keeps_meaning_and_comments(path):
    data = path.read_bytes()
    text = source_text(data)
    result = run(path)
    if text is None:
        assert (result.returncode, result.stdout) == (1, b"")
        assert result.stderr.startswith(f"{path}:".encode())
        return
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode("utf-8")
    assert run("-", stdin=result.stdout).stdout == result.stdout
    assert qel.semantic_hash(out) == qel.semantic_hash(text)
    assert qel.normalize(out) == qel.normalize(text)
    assert comments(out) == comments(text)
    assert out.endswith("\n") and not out.endswith("\n\n")
    assert "\r" not in out or "\r" in text


def test_a_commented_contract_in_the_house_style():
    result = run("-", stdin=UNFORMATTED.encode())
    assert result.returncode == 0
    assert result.stdout.decode() == COMMENTED.replace(
        # One field per line in every block of named fields.
        "    resource_limits: { max_memory_bytes: 1024, computation_timeout_ms:"
        " 1000, max_state_size_bytes: 1024 }\n",
        "    resource_limits: {\n      max_memory_bytes: 1024\n"
        "      computation_timeout_ms: 1000\n      max_state_size_bytes: 1024\n"
        "    }\n")


def test_the_readme_example_is_what_fmt_prints():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    before = readme.split("Before (`counter.qel`):\n\n```\n")[1].split("```")[0]
    after = readme.split("After `qel fmt -w counter.qel`:\n\n```\n")[1].split("```")[0]
    assert run("-", stdin=before.encode()).stdout.decode() == after


def test_check_lists_what_differs_and_write_rewrites_it(tmp_path):
    (tmp_path / "sub").mkdir()
    messy = tmp_path / "sub" / "messy.qel"
    messy.write_text(UNFORMATTED, encoding="utf-8")
    tidy = tmp_path / "tidy.qel"
    tidy.write_text(run("-", stdin=UNFORMATTED.encode()).stdout.decode(),
                    encoding="utf-8")
    check = run("--check", tmp_path)
    assert (check.returncode, check.stdout) == (1, f"{messy}\n".encode())
    written = run("-w", tmp_path)
    assert written.returncode == 0
    assert written.stderr == b"qel: rewrote 1 of 2 files\n"
    assert messy.read_bytes() == tidy.read_bytes()
    assert run("-l", tmp_path).returncode == 0


def test_diff_is_a_unified_diff(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(UNFORMATTED, encoding="utf-8")
    formatted = run(path).stdout.decode()
    expected = "".join(difflib.unified_diff(
        UNFORMATTED.splitlines(keepends=True),
        formatted.splitlines(keepends=True), f"a/{path}", f"b/{path}"))
    result = run("--diff", path)
    assert (result.returncode, result.stdout.decode()) == (1, expected)
    path.write_text(formatted, encoding="utf-8")
    assert run("-d", path).returncode == 0


def test_an_unparsable_file_is_refused_and_left_unchanged(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(UNPARSABLE, encoding="utf-8")
    result = run("-w", path)
    assert result.returncode == 1
    assert path.read_text(encoding="utf-8") == UNPARSABLE
    assert result.stderr.decode() == (
        f'{path}:6:11: error[P003]: Expected Colon, found StringLiteral("team")\n'
        '    owner "team"\n'
        '          ^^^^^^\n'
        'qel: rewrote 0 of 1 file\n')


@pytest.mark.parametrize("args, message", [
    (["--check", "-w", "x.qel"], "--check and -w cannot be used together"),
    (["--diff", "-w", "x.qel"], "--diff and -w cannot be used together"),
    (["-w", "-"], "-w cannot rewrite standard input"),
    (["--frob", "x.qel"], "unknown option '--frob'"),
    (["-j", "0", "x.qel"], "-j takes a number of threads, at least 1, such as -j 4"),
    ([], "no input files")])
def test_usage_errors(args, message):
    result = run(*args)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == f"qel: fmt: {message} (see 'qel help')\n"
