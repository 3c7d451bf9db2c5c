"""The qel command line: exit statuses, formats, and byte-for-byte agreement
with the Python functions where they overlap."""
import difflib
import json
import os
import pathlib
import shutil
import stat
import subprocess

import pytest

import qel

from conftest import MINIMAL

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.qel"))
QEL = shutil.which("qel")

pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")


def run(*args, stdin=None, cwd=None):
    return subprocess.run([QEL, *map(str, args)], input=stdin,
                          capture_output=True, cwd=cwd)


@pytest.fixture
def contract_file(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(MINIMAL, encoding="utf-8")
    return path


WARNING_ONLY = MINIMAL.replace('trigger_types: ["manual"]',
                               'trigger_types: ["cron"]')
WITH_ERRORS = MINIMAL.replace('stable_id: "demo-contract"',
                              'stable_id: "Demo"')
UNPARSABLE = MINIMAL.replace("    owner: \"team\"\n", "    owner \"team\"\n")


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_outputs_equal_the_python_functions(path):
    text = path.read_text(encoding="utf-8")
    # JSON gets a closing line feed; the canonical text has its own.
    assert run("parse", path).stdout.decode() == qel.parse_contract(text) + "\n"
    assert run("normalize", path).stdout.decode() == qel.normalize(text)
    assert run("hash", path).stdout.decode() == (
        f"{qel.semantic_hash(text)}  {path}\n")
    requests = path.with_suffix(".requests.json")
    if requests.exists():
        result = run("run", path, requests)
        expected = qel.execute(text, requests.read_text(encoding="utf-8"))
        assert result.stdout.decode() == expected + "\n"
        assert result.returncode == (0 if json.loads(expected)["success"] else 1)


def test_parse_of_a_large_contract_equals_the_module(tmp_path):
    # The JSON goes out in many pieces, one string longer than a piece.
    ops = "".join(
        f'      {{ name: "op_{i}" precondition: "count >= {i}" '
        f'parameters: {{ count: Integer }} postcondition: "count >= 0" '
        f'side_effects: [] idempotence: "no" }},\n' for i in range(5000))
    text = MINIMAL.replace('narrative: "n"', f'narrative: "{"n" * 300_000}"') \
                  .replace("    operations: [\n", "    operations: [\n" + ops)
    path = tmp_path / "big.qel"
    path.write_text(text, encoding="utf-8")
    assert run("parse", path).stdout.decode() == qel.parse_contract(text) + "\n"


def test_standard_input_is_dash(contract_file):
    result = run("parse", "-", stdin=MINIMAL.encode())
    assert result.returncode == 0
    assert result.stdout.decode() == qel.parse_contract(MINIMAL) + "\n"
    hashed = run("hash", "-", contract_file, stdin=MINIMAL.encode())
    digest = qel.semantic_hash(MINIMAL)
    assert hashed.stdout.decode() == f"{digest}  -\n{digest}  {contract_file}\n"


@pytest.mark.parametrize(
    "text, status",
    [(MINIMAL, 0), (WARNING_ONLY, 0), (WITH_ERRORS, 1), (UNPARSABLE, 1)],
    ids=["valid", "warnings-only", "errors", "unparsable"])
def test_check_exit_status(tmp_path, text, status):
    path = tmp_path / "c.qel"
    path.write_text(text, encoding="utf-8")
    assert run("check", path).returncode == status


def test_check_human_format_points_at_the_fault(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(WITH_ERRORS, encoding="utf-8")
    out = run("check", path).stdout.decode().splitlines()
    assert out[0] == (f"{path}:3:16: error[V103]: stable_id 'Demo' does not "
                      "match required pattern [a-z0-9][a-z0-9-]{0,30}[a-z0-9]")
    assert out[1] == '    stable_id: "Demo"'
    assert out[2] == "               ^^^^^^"


@pytest.mark.parametrize("old, new, expected", [
    # The caret counts escapes at their printed width, a tab as a tab and a
    # wide character as two columns.
    ("side_effects: []", 'side_effects: ["\t\x1b[2J\x07日", "at now()"]',
     [":25:35: error[V301]: system time access detected in operation "
      "'bump' side_effect: text contains 'now()'",
      '        side_effects: ["\t\\u{1b}[2J\\u{7}日", "at now()"]',
      "                        \t                   ^^^^^^^^^^"]),
    # The message quotes the contract's text and escapes it the same way.
    ('stable_id: "demo-contract"', 'stable_id: "a\x9bb"',
     [":3:16: error[V103]: stable_id 'a\\u{9b}b' does not match required "
      "pattern [a-z0-9][a-z0-9-]{0,30}[a-z0-9]",
      '    stable_id: "a\\u{9b}b"',
      "               ^^^^^^^^^^"]),
], ids=["echoed-line", "message"])
def test_check_escapes_control_characters(tmp_path, old, new, expected):
    path = tmp_path / "c.qel"
    path.write_text(MINIMAL.replace(old, new), encoding="utf-8")
    out = run("check", path).stdout.decode()
    assert out.splitlines()[:3] == [f"{path}{expected[0]}", *expected[1:]]
    assert not any(c in out for c in "\x1b\x07\x9b")
    # Annotations in a CI log are escaped the same way.
    github = run("check", "--format", "github", path).stdout.decode()
    assert expected[0].split(": ", 2)[2] in github.replace("%3A", ":")
    assert not any(c in github for c in "\x1b\x07\x9b")


def test_check_reports_parse_errors_in_the_same_format(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(UNPARSABLE, encoding="utf-8")
    result = run("check", path)
    lines = result.stdout.decode().splitlines()
    assert lines[0] == (f"{path}:6:11: error[P003]: Expected Colon, found "
                        'StringLiteral("team")')
    assert lines[1] == '    owner "team"'
    assert lines[2] == "          ^^^^^^"
    assert result.stderr == b""


def test_check_json_format_has_positions(tmp_path):
    good = tmp_path / "good.qel"
    good.write_text(WARNING_ONLY, encoding="utf-8")
    bad = tmp_path / "bad.qel"
    bad.write_text(UNPARSABLE, encoding="utf-8")
    result = run("check", "--format", "json", good, bad)
    assert result.returncode == 1
    doc = json.loads(result.stdout)
    assert doc["valid"] is False
    first, second = doc["files"]
    assert first["path"] == str(good) and first["valid"] is True
    assert first["diagnostics"] == [{
        "severity": "warning", "kind": "coherence", "code": "V404",
        "message": "unrecognized trigger_type 'cron', expected one of: "
                   "manual, time_based, event_based",
        "line": 31, "column": 21, "end_line": 31, "end_column": 27,
        "notes": [],
        "help": "where a deployment knows this trigger, say so with "
                "'// qel: allow V404' at the end of the line"}]
    assert second["parsed"] is False
    assert second["diagnostics"][0]["kind"] == "parse"
    assert (second["diagnostics"][0]["line"],
            second["diagnostics"][0]["column"]) == (6, 11)


def test_check_github_format(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(WITH_ERRORS, encoding="utf-8")
    out = run("check", "--format=github", path).stdout.decode()
    # Only the properties escape "," and ":"; the message keeps them.
    assert out == (f"::error file={path},line=3,col=16,endColumn=22,"
                   "title=qel V103::"
                   "stable_id 'Demo' does not match required pattern "
                   "[a-z0-9][a-z0-9-]{0,30}[a-z0-9]\n")


def test_normalize_check_and_write(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(MINIMAL, encoding="utf-8")
    path.chmod(0o640)
    check = run("normalize", "--check", path)
    assert (check.returncode, check.stdout) == (1, f"{path}\n".encode())
    assert run("normalize", "-w", path).returncode == 0
    assert path.read_text(encoding="utf-8") == qel.normalize(MINIMAL)
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["c.qel"]  # no temporary left
    check = run("normalize", "--check", path)
    assert (check.returncode, check.stdout) == (0, b"")


def test_normalize_diff_is_a_unified_diff(contract_file):
    result = run("normalize", "--diff", contract_file)
    expected = "".join(difflib.unified_diff(
        MINIMAL.splitlines(keepends=True),
        qel.normalize(MINIMAL).splitlines(keepends=True),
        f"a/{contract_file}", f"b/{contract_file}"))
    assert result.stdout.decode() == expected
    canonical = contract_file.with_name("canonical.qel")
    canonical.write_text(qel.normalize(MINIMAL), encoding="utf-8")
    assert run("normalize", "--diff", canonical).stdout == b""


def test_normalize_write_leaves_unparsable_files_alone(tmp_path):
    path = tmp_path / "c.qel"
    path.write_text(UNPARSABLE, encoding="utf-8")
    result = run("normalize", "-w", path)
    assert result.returncode == 1
    assert path.read_text(encoding="utf-8") == UNPARSABLE
    assert result.stderr.decode() == (
        f'{path}:6:11: error[P003]: Expected Colon, found StringLiteral("team")\n'
        '    owner "team"\n'
        '          ^^^^^^\n'
        'qel: rewrote 0 of 1 file\n')


def test_run_reports_call_errors(contract_file, tmp_path):
    requests = tmp_path / "r.json"
    requests.write_text("nonsense", encoding="utf-8")
    result = run("run", contract_file, requests)
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr.decode() == (
        f"{requests}: error[execution]: Execution error: Input must be a JSON "
        "object or array of objects\n")


@pytest.mark.parametrize(
    "args, status",
    [([], 2), (["frobnicate"], 2), (["--frob"], 2), (["check", "--frob", "x"], 2),
     (["check"], 2), (["check", "--format", "xml", "x"], 2), (["parse"], 2),
     (["parse", "a", "b"], 2), (["run", "only-one"], 2),
     (["hash", "/nonexistent/c.qel"], 2), (["check", "/nonexistent/c.qel"], 2)])
def test_usage_errors_and_unreadable_files(args, status):
    result = run(*args)
    assert result.returncode == status
    assert result.stdout == b""
    # Without a command the usage text is the message.
    assert result.stderr.startswith(b"usage: qel" if not args else b"qel: ")
    assert b"terminate" not in result.stderr and b"what()" not in result.stderr


def test_version_and_help():
    version = run("--version")
    assert (version.returncode, version.stdout) == (0, b"qel 0.1.0\n")
    for args in (["help"], ["--help"], ["help", "check"], ["check", "--help"],
                 ["normalize", "-h"]):
        result = run(*args)
        assert result.returncode == 0, args
        assert result.stdout.startswith(b"usage: qel"), args
