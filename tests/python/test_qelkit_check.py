"""qelkit.check, format and diff give what `qel check --format json`,
`qel fmt` and `qel diff --format json` give for the same texts."""
import json
import pathlib
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

import qel
import qelkit
from test_cli_diff import RULES, versions

ROOT = pathlib.Path(__file__).resolve().parents[2]
QEL = shutil.which("qel")
pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")

FIXTURES = sorted([*ROOT.glob("tests/corpus/tolerant/*.qel"),
                   *ROOT.glob("tests/corpus/rules/*.qel"),
                   *ROOT.glob("examples/*.qel")])


def read(path):
    return path.read_bytes().decode("utf-8", errors="surrogateescape")


# The command line reads bytes; a str cannot hold stray ones, and the
# reader drops a byte order mark.
TEXTS = {p: t for p, t in ((p, read(p)) for p in FIXTURES)
         if not t.startswith("\ufeff")
         and not any("\udc80" <= c <= "\udcff" for c in t)}


def outcome(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except ValueError as e:
        return f"ValueError: {e}"


def as_json(finding):
    """A Finding as the command line's JSON writes it."""
    d = {k: getattr(finding, k) for k in (
        "severity", "kind", "code", "message", "line", "column", "end_line",
        "end_column", "help")}
    d["notes"] = [dict(zip(("message", "line", "column", "end_line",
                            "end_column"), n)) for n in finding.notes]
    return d


def cli_check(*options):
    result = subprocess.run([QEL, "check", "--format", "json", *options,
                             *map(str, TEXTS)], capture_output=True)
    assert result.returncode in (0, 1), result.stderr.decode()
    return {f["path"]: f["diagnostics"]
            for f in json.loads(result.stdout)["files"]}


RULE_NAMES = {r["code"]: r["name"] for r in json.loads(subprocess.run(
    [QEL, "help", "rules", "--format", "json"], capture_output=True,
    check=True).stdout)} if QEL else {}


# (select, ignore): the command line's --select and --ignore.
SELECTIONS = [
    (None, None),
    (["L"], None),
    (["V1", "L002"], None),
    (None, ["L", "V4"]),
    (["V"], ["V2"]),
]


@pytest.mark.parametrize("select,ignore", SELECTIONS)
def test_check_equals_the_command_line(select, ignore):
    options = [*(["--select", ",".join(select)] if select else []),
               *(["--ignore", ",".join(ignore)] if ignore else [])]
    expected = cli_check(*options)
    for path, text in TEXTS.items():
        findings = qelkit.check(text, select=select, ignore=ignore)
        assert [as_json(f) for f in findings] == expected[str(path)], path
        assert all(f.name == RULE_NAMES[f.code] for f in findings)


def test_format_equals_the_command_line():
    for path, text in TEXTS.items():
        result = subprocess.run([QEL, "fmt", str(path)], capture_output=True)
        formatted = outcome(qelkit.format, text)
        if result.returncode == 0:
            assert formatted == result.stdout.decode(), path
        else:
            # The parse error, as every function gives it.
            assert formatted == outcome(qel.normalize, text), path


def test_diff_equals_the_command_line(tmp_path):
    old_path, new_path = tmp_path / "old.qel", tmp_path / "new.qel"
    seen = set()
    # The rule rows, and a parameter that may have been renamed (a note).
    renamed = ([("{ amount: Integer }", "{ amount: Integer, memo: String }")],
               [("{ amount: Integer }", "{ amount: Integer, note: String }")])
    for old_edits, new_edits in [row[1:3] for row in RULES] + [renamed]:
        old, new = versions(old_edits, new_edits)
        old_path.write_text(old, encoding="utf-8")
        new_path.write_text(new, encoding="utf-8")
        result = subprocess.run([QEL, "diff", "--format", "json", old_path,
                                 new_path], capture_output=True)
        expected = json.loads(result.stdout)["files"][0]["changes"]
        changes = qelkit.diff(old, new)
        assert [{
            "code": c.code, "name": c.name, "class": c.change_class,
            "security": c.security, "reason": c.message,
            "old": {"line": c.old_line, "column": c.old_column},
            "new": {"line": c.new_line, "column": c.new_column},
            **({} if c.note is None else {"note": c.note}),
        } for c in changes] == [{k: v for k, v in e.items() if k != "allowed"}
                                for e in expected], new_edits
        seen.update(c.code for c in changes)
    assert len(seen) > 30  # the rows reach most rules


BROKEN = "Contract {\n  Identity {\n"


# (call, the ValueError's text, or the exception type)
ERRORS = [
    (lambda t: qelkit.check(t, select=["X9"]), "unknown rule code 'X9'"),
    (lambda t: qelkit.check(t, ignore=["L", ""]), "unknown rule code ''"),
    (lambda t: qelkit.check(t, select="L"), TypeError),
    (lambda t: qelkit.check(t, select=[2]), TypeError),
    (lambda t: qelkit.format(BROKEN), qel.normalize),
    (lambda t: qelkit.diff(BROKEN, t), "old: "),
    (lambda t: qelkit.diff(t, BROKEN), "new: "),
]


@pytest.mark.parametrize("call,expected", ERRORS)
def test_errors(minimal_contract, call, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            call(minimal_contract)
        return
    with pytest.raises(ValueError) as raised:
        call(minimal_contract)
    if callable(expected):
        assert f"ValueError: {raised.value}" == outcome(expected, BROKEN)
    elif expected.endswith(": "):
        assert str(raised.value) == expected + outcome(
            qel.normalize, BROKEN).removeprefix("ValueError: ")
    else:
        assert str(raised.value) == expected


def test_threads_get_the_same_results():
    texts = list(TEXTS.values())
    serial = [(qelkit.check(t), outcome(qelkit.format, t)) for t in texts]
    with ThreadPoolExecutor(4) as pool:
        runs = [pool.map(lambda t: (qelkit.check(t), outcome(qelkit.format, t)),
                         texts) for _ in range(4)]
        for run in runs:
            assert list(run) == serial


def test_records_are_immutable_values():
    old, new = versions([], [('"ledger"', '"ledger-2"')])
    change = qelkit.diff(old, new)[0]
    assert change == qelkit.diff(old, new)[0]
    assert hash(change) == hash(qelkit.diff(old, new)[0])
    with pytest.raises(AttributeError):
        change.code = "D002"
    assert repr(change).startswith("Change(code='D001', name=")
