"""Help lines: the nearest known name after a slip, and failures that say
why. Messages keep their text; each help stands on a line of its own."""
import json
import shutil
import subprocess

import pytest

from conftest import MINIMAL

QEL = shutil.which("qel")
pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")

ENUM = MINIMAL.replace(
    "state: { count: Integer = 0 }",
    'state: { count: Integer = 0, status: Enum ["open", "closed"] = "clsed" }')
TRIGGER = MINIMAL.replace('["manual"]', '["manual", "webhook"]')

# (files, command, exit status, the stream that shows it, its help lines or,
# with `whole`, its whole text)
CASES = {
    "unknown field": (
        {"c.qel": MINIMAL.replace('owner: "team"', 'ownr: "team"')},
        ["check", "c.qel"], 1, "stdout", ["help: did you mean 'owner'?"]),
    "field of another section": (
        {"c.qel": MINIMAL.replace('narrative: "n"', 'owner: "n"')},
        ["check", "c.qel"], 1, "stdout",
        ["help: 'owner' is a field of Identity"]),
    "unknown type": (
        {"c.qel": MINIMAL.replace("count: Integer = 0", "count: Integr = 0")},
        ["check", "c.qel"], 1, "stdout", ["help: did you mean 'Integer'?"]),
    "misspelt section, shown by fmt too": (
        {"c.qel": MINIMAL.replace("PurposeStatement", "PurposStatement")},
        ["fmt", "c.qel"], 1, "stderr",
        ["help: did you mean 'PurposeStatement'?"]),
    "enum default": (
        {"c.qel": ENUM}, ["check", "--select", "V", "c.qel"], 1, "stdout",
        ['help: did you mean "closed"? allowed values: "open", "closed"']),
    "unknown command": (
        {}, ["chek", "c.qel"], 2, "stderr",
        "qel: unknown command 'chek' (see 'qel help')\n"
        "help: did you mean 'check'?\n"),
    "help topic": (
        {}, ["help", "V4O4"], 2, "stderr",
        "qel: unknown command or rule code 'V4O4' (see 'qel help')\n"
        "help: did you mean 'V404'?\n"),
    "nothing near": (
        {}, ["frobnicate"], 2, "stderr",
        "qel: unknown command 'frobnicate' (see 'qel help')\n"),
    "unknown operation": (
        {"c.qel": MINIMAL,
         "r.json": '{"operation": "bumb", "inputs": {"count": 1}}\n'},
        ["run", "--format", "jsonl", "c.qel", "r.json"], 1, "stderr",
        ["help: did you mean 'bump'?"]),
    "strict says why": (
        {"c.qel": TRIGGER}, ["check", "--strict", "c.qel"], 1, "stderr",
        "qel: warnings fail the check in strict mode (1 warning)\n"),
    "strict with errors needs no reason": (
        {"c.qel": TRIGGER.replace('"demo-contract"', '"Demo"')},
        ["check", "--strict", "c.qel"], 1, "stderr", ""),
    "a directory without contracts": (
        {"empty/notes.txt": "x"}, ["check", "empty"], 2, "stderr",
        "qel: cannot read 'empty': no contract there "
        "(no *.qel file below it)\n"),
    "the same for hash": (
        {"empty/notes.txt": "x"}, ["hash", "empty"], 2, "stderr",
        "qel: cannot read 'empty': no contract there "
        "(no *.qel file below it)\n"),
}


@pytest.mark.parametrize("case", CASES)
def test_help_lines(tmp_path, case):
    files, args, status, stream, expected = CASES[case]
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text, encoding="utf-8")
    result = subprocess.run([QEL, *args], cwd=tmp_path, capture_output=True,
                            check=False)
    shown = getattr(result, stream).decode()
    assert result.returncode == status, shown
    if isinstance(expected, str):
        assert shown == expected
    else:
        assert [line for line in shown.splitlines()
                if line.startswith("help:")] == expected, shown


def test_help_is_apart_from_the_message_in_json(tmp_path):
    (tmp_path / "c.qel").write_text(
        MINIMAL.replace('owner: "team"', 'ownr: "team"'), encoding="utf-8")
    result = subprocess.run([QEL, "check", "--format", "json", "c.qel"],
                            cwd=tmp_path, capture_output=True, check=False)
    [finding] = json.loads(result.stdout)["files"][0]["diagnostics"]
    assert (finding["message"], finding["help"]) == (
        "Unknown field 'ownr' in Identity", "did you mean 'owner'?")
