"""qel run end to end: output formats, request logs, the failure line,
stored states and audit replay."""
import json
import pathlib
import shutil
import signal
import subprocess

import pytest

import qel

ROOT = pathlib.Path(__file__).resolve().parents[2]
CONTRACT = ROOT / "examples/account_transfers.qel"
QEL = shutil.which("qel")

pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")

DEPOSIT = {"operation": "deposit", "inputs": {"amount": 500, "balance": 500}}
OVERDRAW = {"operation": "withdraw", "inputs": {"amount": 900, "balance": -400}}
WITHDRAW = {"operation": "withdraw", "inputs": {"amount": 100, "balance": 400}}
TEXTUAL = {"operation": "withdraw", "inputs": {"amount": "ten", "balance": 400}}

# A request log laid out as people write them: a blank line, an indented
# request, so that positions are not all at column 1.
def as_array(requests):
    return "[\n" + ",\n\n  ".join(json.dumps(r) for r in requests) + "\n]\n"


def as_lines(requests):
    return "\n".join(json.dumps(r) for r in requests) + "\n"


def run(*args, cwd):
    return subprocess.run([QEL, *map(str, args)], capture_output=True,
                          cwd=cwd, text=True)


def document(requests):
    return qel.execute(CONTRACT.read_text(), json.dumps(requests)) + "\n"


def operations_lines(requests):
    ops = json.loads(document(requests))["operations"]
    return "".join(json.dumps(op, separators=(",", ":"), ensure_ascii=False)
                   + "\n" for op in ops)


FAILED = ("r.{ext}:{line}:{col}: error[execution]: request 1 (operation "
          "'withdraw'): Contract violation - postcondition of 'withdraw': "
          "balance >= 0 (balance = -400); 1 request not run\n")

# name, requests file name, its text, options, status, stdout, stderr
CASES = [
    ("json of an array, all run", "r.json", as_array([DEPOSIT, WITHDRAW]), [],
     0, document([DEPOSIT, WITHDRAW]), ""),
    ("json, one request failing", "r.json",
     as_array([DEPOSIT, OVERDRAW, WITHDRAW]), [], 1,
     document([DEPOSIT, OVERDRAW, WITHDRAW]),
     FAILED.format(ext="json", line=4, col=3)),
    ("text, one line per request", "r.json",
     as_array([DEPOSIT, OVERDRAW, WITHDRAW]), ["--format", "text"], 1,
     "0 deposit ok: balance 0 \u2192 500, amount null \u2192 500\n"
     "1 withdraw FAILED: Contract violation - postcondition of 'withdraw': "
     "balance >= 0\n",
     FAILED.format(ext="json", line=4, col=3)),
    ("jsonl from a log", "r.jsonl", as_lines([DEPOSIT, OVERDRAW, WITHDRAW]),
     ["--format", "jsonl"], 1, operations_lines([DEPOSIT, OVERDRAW]),
     FAILED.format(ext="jsonl", line=2, col=1)),
    ("a log read as a whole document", "log.txt", as_lines([DEPOSIT, WITHDRAW]),
     ["--jsonl"], 0, document([DEPOSIT, WITHDRAW]), ""),
    ("a malformed log line after a good one", "r.jsonl",
     json.dumps(DEPOSIT) + "\n  {\"operation\": \n", ["--format", "jsonl"], 1,
     operations_lines([DEPOSIT]),
     "r.jsonl:2:17: error[execution]: Execution error: Invalid JSON requests: "
     "syntax error while parsing value - unexpected end of input; expected "
     "'[', '{', or a literal\n  {\"operation\": \n                ^\n"),
    ("a request without an operation, positioned", "r.json",
     as_array([DEPOSIT, {"inputs": {}}]), [], 1, "",
     "r.json:4:3: error[execution]: Execution error: Each request must have "
     "an 'operation' field\n  {\"inputs\": {}}\n  ^\n"),
    ("checked inputs refuse a String for an Integer", "r.jsonl",
     as_lines([DEPOSIT, TEXTUAL]), ["--check-inputs", "--format", "jsonl"], 1,
     operations_lines([DEPOSIT]) + json.dumps({
         "operation": "withdraw", "success": False,
         "state": json.loads(document([DEPOSIT]))["final_state"],
         "error": "Execution error: Input 'amount' of operation 'withdraw' "
                  "must be Integer, got \"ten\"",
         "provenance": None}, separators=(",", ":")) + "\n",
     "r.jsonl:2:1: error[execution]: request 1 (operation 'withdraw'): "
     "Execution error: Input 'amount' of operation 'withdraw' must be "
     "Integer, got \"ten\"\n"),
]


@pytest.mark.parametrize("name, file, text, options, status, stdout, stderr",
                         CASES, ids=[c[0] for c in CASES])
def test_run(tmp_path, name, file, text, options, status, stdout, stderr):
    (tmp_path / file).write_text(text, encoding="utf-8")
    result = run("run", *options, CONTRACT, file, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (
        status, stdout, stderr)


def test_a_stored_state_resumes_where_the_run_stopped(tmp_path):
    (tmp_path / "a.json").write_text(as_array([DEPOSIT]))
    (tmp_path / "b.jsonl").write_text(as_lines([WITHDRAW]))
    first = run("run", "--save-state", "s.json", CONTRACT, "a.json",
                cwd=tmp_path)
    assert first.returncode == 0
    second = run("run", "--state", "s.json", "--save-state", "s.json",
                 CONTRACT, "b.jsonl", cwd=tmp_path)
    assert second.returncode == 0
    whole = json.loads(document([DEPOSIT, WITHDRAW]))["final_state"]
    assert json.loads(second.stdout)["final_state"] == whole
    assert json.loads((tmp_path / "s.json").read_text()) == whole
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize("edit, status, stderr", [
    (None, 0, ""),
    (lambda r: r["final_state"].update(balance=300), 1,
     "stored.json: $.final_state.balance: expected 300, got 400\n"),
    (lambda r: r["operations"].pop(), 1,
     "stored.json: $.operations[1]: expected nothing, got "),
    # A run that went another way: reported where the document first shows
    # it (the operation), not at the final state that sorts before it.
    (lambda r: [s.update(balance=300) for s in
                (r["operations"][1]["state"], r["final_state"])], 1,
     "stored.json: $.operations[1].state.balance: expected 300, got 400\n"),
    (lambda r: r["provenance"]["entries"][0]["changes"][0].update(field="x"), 1,
     "stored.json: $.provenance.entries[0].changes[0].field: expected \"x\", got "),
])
def test_expect_replays_a_stored_result(tmp_path, edit, status, stderr):
    requests = [DEPOSIT, WITHDRAW]
    stored = json.loads(document(requests))
    if edit:
        edit(stored)
    (tmp_path / "stored.json").write_text(json.dumps(stored, indent=1))
    (tmp_path / "r.json").write_text(as_array(requests))
    result = run("run", "--expect", "stored.json", CONTRACT, "r.json",
                 cwd=tmp_path)
    assert (result.returncode, result.stdout) == (status, "")
    assert result.stderr.startswith(stderr) and (stderr or not result.stderr)


def test_ctrl_c_leaves_whole_lines_and_status_130(tmp_path):
    log = tmp_path / "r.jsonl"
    log.write_text(as_lines([DEPOSIT, WITHDRAW]) * 200_000)
    proc = subprocess.Popen([QEL, "run", "--format", "text", CONTRACT, log],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.readline()
    proc.send_signal(signal.SIGINT)
    rest, err = proc.communicate()
    assert proc.wait() == 130 and err == b"qel: interrupted\n"
    lines = (first + rest).decode().splitlines(keepends=True)
    assert 0 < len(lines) < 400_000 and all(
        line.endswith("\n") and " ok: " in line for line in lines)
