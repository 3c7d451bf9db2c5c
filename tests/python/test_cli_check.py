"""The command line as contract authors use it every day: one diagnostic
format, directories, CI gates, colour, and the run-time lints of check."""
import json
import os
import re
import shutil
import subprocess

import pytest

import qel

from conftest import MINIMAL

QEL = shutil.which("qel")
pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")

CANONICAL = qel.normalize(MINIMAL)
UNPARSABLE = MINIMAL.replace('    owner: "team"\n', '    owner "team"\n')
# A parse error at 6:11 (the string after `owner`).
PARSE_ERROR_AT = "6:11"
# Two lints: a composite state default and a parameter default.
LINTED = MINIMAL.replace(
    "state: { count: Integer = 0 }",
    'state: { count: Integer = 0, tags: Array<String> = ["a"] }').replace(
    "parameters: { count: Integer }", "parameters: { count: Integer = 1 }")
WITH_ERRORS = MINIMAL.replace('stable_id: "demo-contract"',
                              'stable_id: "Demo"')


def run(*args, stdin=None, env=None, cwd=None):
    return subprocess.run([QEL, *map(str, args)], input=stdin, env=env,
                          cwd=cwd, capture_output=True)


def write(directory, name, text):
    path = directory / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path


# ---- One diagnostic format ----------------------------------------------------

@pytest.mark.parametrize("args", [["hash"], ["normalize"], ["parse"],
                                  ["normalize", "--check"], ["check"]])
def test_a_parse_error_reads_the_same_in_every_command(tmp_path, args):
    path = write(tmp_path, "f.qel", UNPARSABLE)
    result = run(*args, path)
    assert result.returncode == 1
    shown = (result.stdout if args == ["check"] else result.stderr).decode()
    header, echoed, caret = shown.splitlines()[:3]
    assert header.startswith(f"{path}:{PARSE_ERROR_AT}: error[P003]: ")
    assert echoed == '    owner "team"'
    assert caret == "          ^^^^^^"


def test_run_reports_a_contract_parse_error_by_position(tmp_path):
    contract = write(tmp_path, "c.qel", UNPARSABLE)
    requests = write(tmp_path, "r.json", "[]")
    result = run("run", contract, requests)
    assert result.stderr.decode().startswith(f"{contract}:{PARSE_ERROR_AT}: ")


def test_check_json_ends_with_a_line_feed(tmp_path):
    # parse and run are compared with the module, line feed included, in
    # test_cli.py.
    path = write(tmp_path, "c.qel", MINIMAL)
    assert run("check", "--format", "json", path).stdout.endswith(b"}\n")


def test_byte_order_mark_is_skipped(tmp_path):
    path = tmp_path / "bom.qel"
    path.write_bytes(b"\xef\xbb\xbf" + UNPARSABLE.encode())
    result = run("check", path)
    assert result.stdout.decode().startswith(f"{path}:{PARSE_ERROR_AT}: ")
    path.write_bytes(b"\xef\xbb\xbf" + MINIMAL.encode())
    assert run("hash", path).stdout.decode() == (
        f"{qel.semantic_hash(MINIMAL)}  {path}\n")


@pytest.mark.parametrize("args", [
    ["normalize", "--check", "-w"], ["normalize", "--diff", "-w"],
    ["run", "-", "-"], ["check", "--color=sometimes"],
    ["check", "--select", "L999"], ["check", "--ignore=X1"],
])
def test_conflicting_or_unknown_options_are_usage_errors(tmp_path, args):
    path = write(tmp_path, "c.qel", MINIMAL)
    result = run(*args, path, stdin=b"")
    assert result.returncode == 2
    assert len(result.stderr.splitlines()) == 1
    assert path.read_text() == MINIMAL


# ---- Files and directories ----------------------------------------------------

def test_every_named_file_appears_in_the_json_report(tmp_path):
    good = write(tmp_path, "good.qel", CANONICAL)
    bad = write(tmp_path, "bad.qel", WITH_ERRORS)
    (tmp_path / "adir").mkdir()
    result = run("check", "--format", "json", good, tmp_path / "missing.qel",
                 bad, tmp_path / "adir")
    assert result.returncode == 2
    doc = json.loads(result.stdout)
    assert [(f["path"], f["error"]) for f in doc["files"]] == [
        (str(good), None),
        (str(tmp_path / "missing.qel"), "No such file or directory"),
        (str(bad), None),
        (str(tmp_path / "adir"), "no contract there (no *.qel file below it)")]
    # Printed file by file, it is still one document in the writer's layout.
    for stdout in [result.stdout,
                   run("check", "--format", "json", tmp_path / "adir").stdout]:
        assert stdout.decode() == json.dumps(
            json.loads(stdout), indent=2, ensure_ascii=False) + "\n"
    assert b"cannot read '" + str(tmp_path / "missing.qel").encode() + (
        b"': No such file or directory") in result.stderr


def test_directories_are_walked_in_sorted_order(tmp_path):
    for name in ["b.qel", "a/z.qel", "a-c.qel", "a/.hidden/x.qel", ".h/y.qel",
                 "notes.txt", "a/deep/er/w.qel"]:
        write(tmp_path, name, CANONICAL)
    os.symlink(tmp_path / "a", tmp_path / "link-to-a")
    explicit = write(tmp_path / "elsewhere", "contract.txt", CANONICAL)
    result = run("hash", tmp_path, explicit)
    assert result.returncode == 0, result.stderr
    paths = [line.split("  ", 1)[1] for line in result.stdout.decode().splitlines()]
    found = [os.path.relpath(p, tmp_path) for p in paths]
    assert found == ["a-c.qel", "a/deep/er/w.qel", "a/z.qel", "b.qel",
                     "elsewhere/contract.txt"]


def test_normalize_as_a_ci_gate(tmp_path):
    write(tmp_path, "ok.qel", CANONICAL)
    bad = write(tmp_path, "sub/bad.qel", MINIMAL)
    listed = run("normalize", "--check", tmp_path)
    assert (listed.returncode, listed.stdout) == (1, f"{bad}\n".encode())
    diffed = run("normalize", "--diff", tmp_path)
    assert diffed.returncode == 1 and diffed.stdout.startswith(b"--- a/")
    written = run("normalize", "-w", tmp_path)
    assert written.returncode == 0
    assert written.stderr == b"qel: rewrote 1 of 2 files\n"
    assert bad.read_text() == CANONICAL
    for args in (["--check"], ["--diff"]):
        again = run("normalize", *args, tmp_path)
        assert (again.returncode, again.stdout) == (0, b"")


# ---- Human output ---------------------------------------------------------------

def test_findings_sorted_by_position_with_a_summary(tmp_path):
    path = write(tmp_path, "c.qel", WITH_ERRORS.replace(
        'trigger_types: ["manual"]', 'trigger_types: ["cron"]'))
    write(tmp_path, "d.qel", CANONICAL)
    result = run("check", tmp_path)
    assert result.returncode == 1
    lines = result.stdout.decode().splitlines()
    positions = [tuple(map(int, line.split(":")[1:3])) for line in lines
                 if line.startswith(str(path) + ":")]
    assert len(positions) >= 2 and positions == sorted(positions)
    json_order = json.loads(run("check", "--format", "json", path).stdout)
    assert len(json_order["files"][0]["diagnostics"]) == len(positions)
    assert lines[-1] == "1 error, 1 warning in 2 files"
    assert run("check", tmp_path / "d.qel").stdout.decode().splitlines()[-1] == (
        "1 file checked: all valid")


# Small broken contracts next to the human output expected of check:
# every independent parse error, in order, and none that follows from one.
TOLERANT = os.path.join(os.path.dirname(__file__), "..", "corpus", "tolerant")
TOLERANT_CASES = sorted(name[:-4] for name in os.listdir(TOLERANT)
                        if name.endswith(".qel"))


@pytest.mark.parametrize("name", TOLERANT_CASES)
def test_every_independent_parse_error_is_reported(name):
    result = run("check", "--color", "never", name + ".qel", cwd=TOLERANT)
    with open(os.path.join(TOLERANT, name + ".expected"), "rb") as f:
        assert result.stdout == f.read()
    assert result.returncode == 1


def test_json_and_github_list_every_parse_error():
    path = "one_error_per_section.qel"
    report = json.loads(run("check", "--format", "json", path,
                            cwd=TOLERANT).stdout)
    found = [(d["line"], d["column"])
             for d in report["files"][0]["diagnostics"]]
    assert found == [(6, 11), (12, 23), (31, 30)]
    github = run("check", "--format", "github", path, cwd=TOLERANT)
    assert [line.split(",")[1:3] for line in github.stdout.decode().splitlines()
            ] == [[f"line={line}", f"col={column}"] for line, column in found]
    assert github.returncode == 1


@pytest.mark.parametrize("args,env,colored", [
    ([], {}, False),  # not a terminal
    (["--color=always"], {}, True),
    (["--color=always"], {"NO_COLOR": "1"}, True),
    (["--color=never"], {}, False),
])
def test_colour(tmp_path, args, env, colored):
    path = write(tmp_path, "c.qel", WITH_ERRORS)
    result = run("check", *args, path, env={**os.environ, **env})
    assert (b"\x1b[" in result.stdout) == colored


def test_no_color_wins_over_a_terminal(tmp_path):
    path = write(tmp_path, "c.qel", WITH_ERRORS)
    script = f'"{QEL}" check "{path}"'
    for env, colored in (({}, True), ({"NO_COLOR": "1"}, False)):
        out = subprocess.run(["script", "-qec", script, "/dev/null"],
                             env={**os.environ, **env}, capture_output=True)
        assert (b"\x1b[" in out.stdout) == colored


# ---- Lints ------------------------------------------------------------------------

def test_lints_are_warnings_that_strict_turns_into_failures(tmp_path):
    path = write(tmp_path, "c.qel", LINTED)
    result = run("check", path)
    assert result.returncode == 0
    codes = [line.split("warning[")[1].split("]")[0]
             for line in result.stdout.decode().splitlines() if "warning[L" in line]
    assert codes == ["L002", "L003"]
    assert run("check", "--strict", path).returncode == 1
    assert run("check", "--strict", "--ignore", "L002,L003", path).returncode == 0
    selected = run("check", "--select=L003", "--format", "json", path)
    [finding] = json.loads(selected.stdout)["files"][0]["diagnostics"]
    assert (finding["kind"], finding["code"], finding["severity"]) == (
        "lint", "L003", "warning")
    github = run("check", "--format", "github", path).stdout.decode()
    assert github.count("::warning file=") == 2 and "title=qel L002" in github
    # The Python functions are not affected by lints.
    assert json.loads(qel.verify(LINTED))["warnings"] == json.loads(
        qel.verify(MINIMAL))["warnings"]


def test_suppression_comments(tmp_path):
    silenced = LINTED.replace(
        'tags: Array<String> = ["a"] }',
        'tags: Array<String> = ["a"] }  // qel: allow L002').replace(
        "        parameters: { count: Integer = 1 }",
        "        // qel: allow L003\n        parameters: { count: Integer = 1 }")
    path = write(tmp_path, "c.qel", silenced)
    result = run("check", "--strict", path)
    assert result.returncode == 0, result.stdout
    unused = write(tmp_path, "u.qel", MINIMAL.replace(
        "    invariants:", "    // qel: allow L002\n    invariants:"))
    out = run("check", unused).stdout.decode()
    assert "warning[L100]" in out


# ---- File names are shown, never obeyed -----------------------------------------

# A name on disk, and how every human-readable output shows it: a name can
# neither start a line (a CI workflow command) nor reach the terminal as an
# escape sequence.
NAMES = [
    (b"x\n::error file=x::pwned.qel", r"x\u{a}::error file=x::pwned.qel"),
    (b"\x1b[31mred\r\n::add-mask::s.qel",
     r"\u{1b}[31mred\u{d}\u{a}::add-mask::s.qel"),
    (b"caf\xe9\n::warning::w.qel", r"caf\xe9\u{a}::warning::w.qel"),
]
WORKFLOW_LINE = (rb"::(error|warning) file=[^:,\n]*(,line=\d+,col=\d+(,endColumn=\d+)?)?"
                 rb",title=[^:,\n]*::[^\n]*")


@pytest.mark.parametrize("name,shown", NAMES,
                         ids=["newline", "escape", "not_utf8"])
def test_a_file_name_never_injects_in_any_output(tmp_path, name, shown):
    directory = tmp_path / "d"
    directory.mkdir()
    name = os.fsdecode(name)
    path = directory / name
    path.write_text(WITH_ERRORS, encoding="utf-8")
    bad = tmp_path / name
    bad.write_text(UNPARSABLE, encoding="utf-8")
    missing = tmp_path / "gone" / name
    shown_in, shown_bad = f"{directory}/{shown}", f"{tmp_path}/{shown}"
    shown_missing = f"{tmp_path}/gone/{shown}"

    def out(*args):
        return run(*args).stdout.decode("utf-8")

    human = out("check", path)
    assert human.startswith(f"{shown_in}:3:16: error[V103]: ")
    assert "\x1b" not in human and "\n::" not in human
    github = run("check", "--format", "github", path).stdout
    assert all(re.fullmatch(WORKFLOW_LINE, line)
               for line in github.splitlines()), github
    # Stray bytes become U+FFFD, as Python's decoder replaces them.
    report = json.loads(out("check", "--format", "json", directory))
    assert report["files"][0]["path"] == os.fsencode(path).decode(
        "utf-8", "replace")
    assert out("fmt", "--check", path) == shown_in + "\n"
    assert out("fmt", "--diff", path).startswith(
        f"--- a/{shown_in}\n+++ b/{shown_in}\n")
    assert out("hash", path) == f"{qel.semantic_hash(WITH_ERRORS)}  {shown_in}\n"
    assert run("hash", bad).stderr.decode().startswith(f"{shown_bad}:6:11: ")
    assert run("hash", missing).stderr.decode() == (
        f"qel: cannot read '{shown_missing}': No such file or directory\n")
