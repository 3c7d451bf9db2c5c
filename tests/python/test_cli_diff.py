"""qel diff: every rule on a one-edit pair of versions, the properties that
keep it a comparison of meaning, and the command's interface."""
import json
import os
import re
import shutil
import subprocess

import pytest

import qel

# Absolute, since several tests run it from another directory.
QEL = shutil.which("qel") and os.path.abspath(shutil.which("qel"))
GIT = shutil.which("git")
pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")

BASE = """Contract {
  Identity {
    stable_id: "ledger"
    version: 1
    created_timestamp: 2026-01-15T10:30:00Z
    owner: "team"
    semantic_hash: "0"
  }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics {
    state: { balance: Integer = 0, note: String }
    invariants: ["balance >= 0", "note is not empty"]
  }
  BehavioralSemantics {
    operations: [
      {
        name: "deposit"
        precondition: "amount > 0"
        parameters: { amount: Integer }
        postcondition: "balance >= 0"
        side_effects: ["ledger entry"]
        idempotence: "no"
      }
      {
        name: "close"
        precondition: ""
        parameters: {}
        postcondition: "note is not empty"
        side_effects: []
        idempotence: "yes"
      }
    ]
  }
  ExecutionConstraints {
    trigger_types: ["manual", "event_based"]
    resource_limits: { max_memory_bytes: 4096, computation_timeout_ms: 100, max_state_size_bytes: 2048 }
    external_permissions: ["ledger.write"]
    sandbox_mode: "restricted"
  }
  HumanMachineContract {
    system_commitments: ["keep a log"]
    system_refusals: ["delete history"]
    user_obligations: ["review daily"]
  }
}
Extensions { audit { days: 30 } }
"""

DEPOSIT = '''      {
        name: "deposit"'''
CLOSE_OP = '''      {
        name: "close"
        precondition: ""
        parameters: {}
        postcondition: "note is not empty"
        side_effects: []
        idempotence: "yes"
      }
'''


def edit(text, edits):
    for old, new in edits:
        assert old in text, old
        text = text.replace(old, new, 1)
    return text


def versions(old_edits, new_edits):
    """The two texts of a row; the new one is version 2 unless the row
    itself is about the version."""
    old, new = edit(BASE, old_edits), edit(BASE, new_edits)
    if not any("version" in o for o, _ in new_edits):
        new = new.replace("version: 1", "version: 2", 1)
    return old, new


def run(*args, cwd=None):
    return subprocess.run([QEL, *map(str, args)], capture_output=True,
                          cwd=cwd)


def diff_json(tmp_path, old, new, *options):
    (tmp_path / "old.qel").write_text(old, encoding="utf-8")
    (tmp_path / "new.qel").write_text(new, encoding="utf-8")
    result = run("diff", "--format", "json", *options,
                 tmp_path / "old.qel", tmp_path / "new.qel")
    assert result.returncode in (0, 1), result.stderr.decode()
    document = json.loads(result.stdout)
    return result.returncode, document["files"][0]["changes"]


def codes(changes):
    return sorted(f"{c['code']} {c['class']}" for c in changes)


# (id, edits making the old version, edits making the new one, expected)
RULES = [
    ("stable-id", [], [('"ledger"', '"ledger-2"')], ["D001 error"]),
    ("meaning-without-version",
     [], [("version: 1", "version: 1"), ('"team"', '"ops"')],
     ["D002 error", "D004 compatible"]),
    ("version-down", [("version: 1", "version: 5")],
     [("version: 1", "version: 4")], ["D003 error"]),
    ("owner", [], [('"team"', '"ops"')], ["D004 compatible"]),
    ("confidence", [], [("0.5", "0.75")], ["D004 compatible"]),
    ("operation-removed", [], [(CLOSE_OP, "")], ["D101 breaking"]),
    ("operation-added", [(CLOSE_OP, "")], [], ["D102 compatible"]),
    ("parameter-added", [], [("{ amount: Integer }",
                              "{ amount: Integer, memo: String = \"\" }")],
     ["D103 breaking"]),
    ("parameter-removed", [("{ amount: Integer }",
                            "{ amount: Integer, memo: String }")], [],
     ["D104 compatible"]),
    ("parameter-type", [], [("amount: Integer", "amount: Float")],
     ["D105 breaking"]),
    ("parameter-default", [], [("amount: Integer", "amount: Integer = 1")],
     ["D106 review"]),
    ("side-effect", [], [('["ledger entry"]', '["ledger entry", "mail"]')],
     ["D107 review"]),
    ("idempotence", [], [('"no"', '"per reference"')], ["D108 review"]),
    ("precondition-tighter", [], [('"amount > 0"', '"amount > 10"')],
     ["D201 breaking"]),
    ("precondition-strict", [], [('"amount > 0"', '"amount >= 0"')],
     ["D202 compatible"]),
    ("precondition-added", [], [('precondition: ""',
                                 'precondition: "balance < 100"')],
     ["D201 breaking"]),
    ("precondition-other-field", [], [('"amount > 0"', '"balance > 0"')],
     ["D203 review"]),
    ("precondition-direction", [], [('"amount > 0"', '"amount < 100"')],
     ["D203 review"]),
    ("precondition-unrecognised", [], [('"amount > 0"', '"amount != 0"')],
     ["D203 review"]),
    ("postcondition-tighter", [], [('postcondition: "balance >= 0"',
                                    'postcondition: "balance >= 1"')],
     ["D204 breaking"]),
    ("postcondition-looser", [], [('postcondition: "balance >= 0"',
                                   'postcondition: "balance > -1"')],
     ["D205 compatible"]),
    ("postcondition-other", [], [('"note is not empty"\n        side',
                                  '"note is boolean"\n        side')],
     ["D206 review"]),
    ("invariant-added", [], [('"note is not empty"]',
                              '"note is not empty", "balance < 10"]')],
     ["D207 breaking"]),
    ("invariant-removed", [], [('"balance >= 0", ', '')],
     ["D208 compatible"]),
    ("invariant-tighter", [], [('"balance >= 0", ', '"balance > 0", ')],
     ["D209 breaking"]),
    ("invariant-looser", [], [('"balance >= 0", ', '"balance >= -5", ')],
     ["D210 compatible"]),
    ("invariant-same-reading", [], [('"balance >= 0", ', '"balance >= 0.0", ')],
     []),
    ("state-removed", [], [(", note: String }", " }")], ["D301 breaking"]),
    ("state-added", [], [("note: String }", "note: String, n: Integer }")],
     ["D302 compatible"]),
    ("state-type", [], [("note: String }", "note: Enum [\"a\"] }")],
     ["D303 breaking"]),
    ("state-default", [], [("balance: Integer = 0", "balance: Integer = 1")],
     ["D304 review"]),
    ("limit-lowered", [], [("max_memory_bytes: 4096", "max_memory_bytes: 4095")],
     ["D401 breaking"]),
    ("limit-raised", [], [("computation_timeout_ms: 100",
                           "computation_timeout_ms: 200")],
     ["D402 compatible"]),
    ("sandbox-weaker", [], [('"restricted"', '"none"')], ["D403 breaking"]),
    ("sandbox-stronger", [], [('"restricted"', '"full_isolation"')],
     ["D404 compatible"]),
    ("sandbox-unknown", [], [('"restricted"', '"jail"')], ["D405 review"]),
    ("permission-added", [], [('["ledger.write"]', '["ledger.write", "net"]')],
     ["D406 breaking"]),
    ("permission-removed", [], [('["ledger.write"]', '[]')],
     ["D407 compatible"]),
    ("trigger-removed", [], [('"manual", ', '')], ["D408 breaking"]),
    ("trigger-added", [], [('"event_based"]', '"event_based", "time_based"]')],
     ["D409 compatible"]),
    ("refusal-added", [], [('["delete history"]', '["delete history", "x"]')],
     ["D501 breaking"]),
    ("refusal-removed", [], [('["delete history"]', '[]')],
     ["D502 compatible"]),
    ("obligation-added", [], [('["review daily"]', '["review daily", "x"]')],
     ["D503 breaking"]),
    ("obligation-removed", [], [('["review daily"]', '[]')],
     ["D504 compatible"]),
    ("commitment-removed", [], [('["keep a log"]', '[]')],
     ["D505 breaking"]),
    ("commitment-added", [], [('["keep a log"]', '["keep a log", "x"]')],
     ["D506 compatible"]),
    ("extension-value", [], [("days: 30", "days: 31")], ["D601 review"]),
    ("extension-removed", [], [("Extensions { audit { days: 30 } }", "")],
     ["D601 review"]),
    ("reordered-and-commented", [],
     [('"manual", "event_based"', '"event_based", // why\n "manual"'),
      ("balance: Integer = 0, note: String", "note: String balance: Integer = 0"),
      (DEPOSIT, CLOSE_OP + DEPOSIT), (CLOSE_OP + "    ]", "    ]")],
     []),
]

# What each rule reads as when old and new trade places.
INVERSE = {
    "D101": "D102", "D103": "D104", "D201": "D202", "D204": "D205",
    "D207": "D208", "D209": "D210", "D301": "D302", "D401": "D402",
    "D403": "D404", "D406": "D407", "D408": "D409", "D501": "D502",
    "D503": "D504", "D505": "D506",
}
INVERSE.update({v: k for k, v in INVERSE.items()})
for same in ["D004", "D105", "D106", "D107", "D108", "D203", "D206", "D303",
             "D304", "D405", "D601"]:
    INVERSE[same] = same


@pytest.mark.parametrize("old_edits,new_edits,expected",
                         [r[1:] for r in RULES], ids=[r[0] for r in RULES])
def test_rule(tmp_path, old_edits, new_edits, expected):
    old, new = versions(old_edits, new_edits)
    status, changes = diff_json(tmp_path, old, new)
    assert codes(changes) == expected
    failing = any(e.split()[1] in ("error", "breaking") for e in expected)
    assert status == (1 if failing else 0)


def test_every_documented_rule_has_a_row(pytestconfig):
    readme = (pytestconfig.rootpath / "README.md").read_text(encoding="utf-8")
    documented = set(re.findall(r"^\| (D\d{3}) \|", readme, re.MULTILINE))
    covered = {e.split()[0] for _, _, _, expected in RULES for e in expected}
    # D005 and D006 come from --against only, and have a test of their own.
    assert documented == covered | {"D005", "D006"}


SWAPPABLE = [r for r in RULES
             if r[3] and all(e.split()[0] in INVERSE for e in r[3])]


@pytest.mark.parametrize("old_edits,new_edits,expected",
                         [r[1:] for r in SWAPPABLE],
                         ids=[r[0] for r in SWAPPABLE])
def test_swapping_versions_inverts_every_change(tmp_path, old_edits,
                                                new_edits, expected):
    old, new = versions(old_edits, new_edits)
    # Still an increasing version, so only the inverted change remains.
    swapped_old = new.replace("version: 2", "version: 1", 1)
    swapped_new = old.replace("version: 1", "version: 2", 1)
    _, changes = diff_json(tmp_path, swapped_old, swapped_new)
    assert sorted(c["code"] for c in changes) == sorted(
        INVERSE[e.split()[0]] for e in expected)


def test_positions_name_both_versions(tmp_path):
    old, new = versions([], [(CLOSE_OP, ""), ('"amount > 0"', '"amount > 5"')])
    _, changes = diff_json(tmp_path, old, new)
    by_code = {c["code"]: c for c in changes}
    # The removed operation: its name in the old text, the section in the new.
    assert by_code["D101"]["old"] == {"line": 25, "column": 15}
    assert by_code["D101"]["new"] == {"line": 14, "column": 3}
    assert by_code["D201"]["old"] == by_code["D201"]["new"] == {
        "line": 18, "column": 23}
    assert by_code["D201"]["reason"] == (
        'precondition of "deposit" tightened from "amount > 0" to '
        '"amount > 5": requests that ran are now refused')


# ---- Properties over the corpus and the examples --------------------------

def parsable_contracts(root):
    paths = sorted((root / "tests" / "corpus" / "contracts").glob("*.qel"))
    paths += sorted((root / "examples").glob("*.qel"))
    out = []
    for p in paths:
        try:
            # The canonical text must parse back too, which a float too
            # large for a double (written inf.0) does not.
            qel.normalize(qel.normalize(p.read_text(encoding="utf-8")))
        except (ValueError, UnicodeDecodeError):
            continue
        out.append(p)
    return out


@pytest.mark.skipif(GIT is None, reason="git is not on PATH")
def test_identity_normalize_and_fmt_change_nothing(tmp_path, pytestconfig):
    contracts = parsable_contracts(pytestconfig.rootpath)
    assert len(contracts) > 40  # not vacuous: most of the corpus parses
    repo = tmp_path / "repo"
    (repo / "c").mkdir(parents=True)
    for p in contracts:
        (repo / "c" / p.name).write_bytes(p.read_bytes())
    git(repo, "init", "-q")
    git(repo, "add", ".")
    git(repo, "commit", "-q", "-m", "corpus")
    for rewrite in ([], ["normalize", "-w", "c"], ["fmt", "-w", "c"]):
        if rewrite:
            git(repo, "checkout", "-q", "--", "c")  # each from the original
            assert run(*rewrite, cwd=repo).returncode == 0
            assert b"c/" in subprocess.run(["git", "diff", "--stat"],
                                           cwd=repo, capture_output=True).stdout
        result = run("diff", "--against", "HEAD", "--format", "json", "c",
                     cwd=repo)
        assert result.returncode == 0, result.stderr.decode()
        files = json.loads(result.stdout)["files"]
        assert len(files) == len(contracts)
        assert [f for f in files if f["changes"]] == [], rewrite


# ---- The command ----------------------------------------------------------

def git(repo, *args):
    subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t",
                    *args], cwd=repo, check=True, capture_output=True)


@pytest.mark.skipif(GIT is None, reason="git is not on PATH")
def test_against_a_revision(tmp_path):
    git(tmp_path, "init", "-q")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "a.qel").write_text(BASE, encoding="utf-8")
    git(tmp_path, "add", ".")
    git(tmp_path, "commit", "-q", "-m", "one")
    _, new = versions([], [(CLOSE_OP, "")])
    (tmp_path / "sub" / "a.qel").write_text(new, encoding="utf-8")
    (tmp_path / "sub" / "b.qel").write_text(BASE, encoding="utf-8")
    result = run("diff", "--against", "HEAD", "--format", "json",
                 "a.qel", "b.qel", cwd=tmp_path / "sub")
    assert result.returncode == 1
    files = json.loads(result.stdout)["files"]
    assert [(f["old"], f["new"], [c["code"] for c in f["changes"]])
            for f in files] == [("HEAD:a.qel", "a.qel", ["D101"]),
                                (None, "b.qel", ["D005"])]
    allowed = run("diff", "--against", "HEAD", "--allow", "D101",
                  "sub/a.qel", cwd=tmp_path)
    assert allowed.returncode == 0
    unknown = run("diff", "--against", "no-such-rev", "sub/a.qel",
                  cwd=tmp_path)
    assert unknown.returncode == 2
    assert b"no-such-rev" in unknown.stderr


@pytest.mark.skipif(GIT is None, reason="git is not on PATH")
@pytest.mark.parametrize("cwd, operands, removed", [
    (".", ["sub"], ["sub/deep/gone.qel"]),
    (".", ["./sub/", "top.qel"], ["./sub/deep/gone.qel", "top.qel"]),
    ("sub", [".."], ["../sub/deep/gone.qel", "../top.qel"]),
    ("sub", ["deep/gone.qel"], ["deep/gone.qel"]),
])
def test_against_reports_removed_contracts(tmp_path, cwd, operands, removed):
    git(tmp_path, "init", "-q")
    for path in ("sub/a.qel", "sub/deep/gone.qel", "sub/.hidden/h.qel", "top.qel"):
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(BASE, encoding="utf-8")
    git(tmp_path, "add", ".")
    git(tmp_path, "commit", "-q", "-m", "one")
    for path in ("sub/deep/gone.qel", "sub/.hidden/h.qel", "top.qel"):
        (tmp_path / path).unlink()
    result = run("diff", "--against", "HEAD", "--format", "json", *operands,
                 cwd=tmp_path / cwd)
    assert result.returncode == 1, result.stderr
    files = json.loads(result.stdout)["files"]
    assert [(f["old"], f["new"], [c["code"] for c in f["changes"]])
            for f in files if f["changes"]] == [
        ("HEAD:" + path, None, ["D006"]) for path in removed]


def test_human_output_groups_by_class(tmp_path):
    old, new = versions([], [(CLOSE_OP, ""), ('"restricted"', '"none"'),
                             ("days: 30", "days: 1"), ("0.5", "0.6")])
    (tmp_path / "o.qel").write_text(old, encoding="utf-8")
    (tmp_path / "n.qel").write_text(new, encoding="utf-8")
    result = run("diff", "--allow", "D403", tmp_path / "o.qel",
                 tmp_path / "n.qel")
    lines = result.stdout.decode().splitlines()
    assert result.returncode == 1
    assert [l for l in lines if not l.startswith("  ")] == [
        f"{tmp_path}/o.qel -> {tmp_path}/n.qel", "breaking:", "review:",
        "compatible:", "allowed:",
        "1 breaking, 1 review, 1 compatible, 1 allowed in 1 file"]
    assert lines[2] == (
        f"  {tmp_path}/n.qel:14:3: breaking[D101]: operation \"close\" "
        f"removed: callers of the operation now fail (old: {tmp_path}/o.qel:25:15)")
    assert "breaking[D403, security]" in lines[-2]


@pytest.mark.parametrize("args,status,message", [
    (["diff", "only-one.qel"], 2, b"expected OLD and NEW"),
    (["diff", "--allow", "D999", "a", "b"], 2, b"unknown rule code 'D999'"),
    (["diff", "--format", "xml", "a", "b"], 2, b"unknown format"),
    (["diff", "missing.qel", "missing.qel"], 2, b"cannot read"),
    (["diff", "--against", "HEAD", "-"], 2, b"not standard input"),
    (["diff", "--fail-on", "compatible", "a", "b"], 2,
     b"--fail-on takes breaking or review, not 'compatible'"),
])
def test_usage_errors(tmp_path, args, status, message):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == status
    assert message in result.stderr


def test_a_parse_error_is_reported_as_every_command_does(tmp_path):
    (tmp_path / "ok.qel").write_text(BASE, encoding="utf-8")
    (tmp_path / "bad.qel").write_text(BASE.replace('owner: "team"',
                                                   'owner "team"'),
                                      encoding="utf-8")
    result = run("diff", "ok.qel", "bad.qel", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.decode().startswith("bad.qel:6:11: error[P003]: ")


# A compatible change and a review one (a default): only review can fail,
# and what fails the job is annotated as an error. The configuration's
# fail-on and allow (by glob, for the new path) apply unless a flag is given.
REVIEW = '[diff]\nfail-on = ["review"]\n'


@pytest.mark.parametrize("config,options,status,review_annotation", [
    (None, [], 0, "warning"),
    (None, ["--fail-on", "review"], 1, "error"),
    (None, ["--fail-on", "breaking,review", "--allow", "D106"], 0, "notice"),
    (None, ["--fail-on", "review", "--fail-on", "breaking"], 0, "warning"),
    (REVIEW, [], 1, "error"),
    (REVIEW, ["--fail-on", "breaking"], 0, "warning"),
    (REVIEW, ["--isolated"], 0, "warning"),
    (REVIEW + '[diff.allow]\n"n*.qel" = ["D106"]\n', [], 0, "notice"),
    (REVIEW + '[diff.allow]\n"o*.qel" = ["D106"]\n', [], 1, "error"),
    (REVIEW + 'allow = ["D106"]\n', ["--allow", "D004"], 1, "error"),
])
def test_fail_on_review(tmp_path, config, options, status, review_annotation):
    if config is not None:
        (tmp_path / "qel.toml").write_text(config, encoding="utf-8")
    old, new = versions([], [("amount: Integer", "amount: Integer = 1"),
                             ("0.5", "0.6")])
    (tmp_path / "o.qel").write_text(old, encoding="utf-8")
    (tmp_path / "n.qel").write_text(new, encoding="utf-8")
    result = run("diff", "--format", "github", *options, "o.qel", "n.qel",
                 cwd=tmp_path)
    assert result.returncode == status, result.stderr.decode()
    assert [l.split(" ")[0] for l in result.stdout.decode().splitlines()] == [
        "::notice", "::" + review_annotation]


def test_a_possible_rename_is_noted(tmp_path):
    old, new = versions([("{ amount: Integer }",
                          "{ amount: Integer, memo: String }")],
                        [("{ amount: Integer }",
                          "{ amount: Integer, note: String }")])
    (tmp_path / "o.qel").write_text(old, encoding="utf-8")
    (tmp_path / "n.qel").write_text(new, encoding="utf-8")
    human = run("diff", "o.qel", "n.qel", cwd=tmp_path)
    assert human.returncode == 1  # the added parameter still breaks
    lines = human.stdout.decode().splitlines()
    added = next(i for i, l in enumerate(lines) if "[D103]" in l)
    assert lines[added + 1] == (
        "    note: possibly a rename of memo, removed with the same type")
    _, changes = diff_json(tmp_path, old, new)
    assert [(c["code"], c["class"], c.get("note")) for c in changes] == [
        ("D104", "compatible",
         "possibly renamed to note, added with the same type"),
        ("D103", "breaking",
         "possibly a rename of memo, removed with the same type")]


def test_github_annotations(tmp_path):
    old, new = versions([], [('"amount > 0"', '"amount > 5"'),
                             ("days: 30", "days: 1")])
    (tmp_path / "o.qel").write_text(old, encoding="utf-8")
    (tmp_path / "n.qel").write_text(new, encoding="utf-8")
    out = run("diff", "--format", "github", "o.qel", "n.qel",
              cwd=tmp_path).stdout.decode().splitlines()
    assert [l.split("::")[1].split(",title=")[0] for l in out] == [
        "error file=n.qel,line=18,col=23", "warning file=n.qel,line=46,col=28"]
    assert out[0].split("::")[1].endswith("title=qel D201 precondition-tightened")


# ---- --against in repositories as git sees them ---------------------------

class Link(str):
    """A symbolic link, by its target."""


class Submodule(dict):
    """A submodule, by the files of its one commit."""


class Moved(str):
    """A file moved here with git mv, by its old path; then given `text`."""

    def __new__(cls, old, text=None):
        moved = super().__new__(cls, old)
        moved.text = text
        return moved


DEINIT = object()  # a submodule's checkout removed

# The new version of a contract: an operation removed, which breaks callers.
NEW = versions([], [(CLOSE_OP, "")])[1]
OTHER = BASE.replace('"ledger"', '"other"', 1)


def lay_out(root, files):
    for path, content in files.items():
        p = root / path
        if content is DEINIT:
            git(root, "submodule", "deinit", "-q", "-f", path)
            continue
        if isinstance(content, Moved):
            p.parent.mkdir(parents=True, exist_ok=True)
            git(root, "mv", content, path)
            if content.text is not None:
                p.write_text(content.text, encoding="utf-8")
            continue
        if p.is_symlink() or p.is_file():
            p.unlink()
        elif p.is_dir():
            shutil.rmtree(p)
        if content is None:
            continue
        p.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, Link):
            os.symlink(content, p)
        elif isinstance(content, Submodule):
            origin = root.parent / ("origin-" + path)
            origin.mkdir()
            git(origin, "init", "-q")
            lay_out(origin, content)
            git(origin, "add", ".")
            git(origin, "commit", "-q", "-m", "sub")
            git(root, "-c", "protocol.file.allow=always", "submodule", "add",
                "-q", str(origin), path)
        else:
            p.write_text(content, encoding="utf-8")


def scratch_repository(root, committed, working):
    root.mkdir()
    git(root, "init", "-q")
    lay_out(root, committed)
    git(root, "add", ".")
    git(root, "commit", "-q", "-m", "one")
    lay_out(root, working)
    # What changed in a submodule is committed there, so that its own HEAD
    # moves on while the revision still records the first commit.
    for path, content in committed.items():
        if isinstance(content, Submodule) and working.get(path) is not DEINIT:
            git(root / path, "commit", "-q", "-a", "--allow-empty", "-m", "two")


GONE = "cannot read '{}' from git: "

# (id, committed files, working tree changes, operands,
#  [(old, new, codes)], status, message on standard error)
AGAINST = [
    ("symlinked-directory", {"c/a.qel": BASE},
     {"c/a.qel": NEW, "via": Link("c")}, ["via"],
     [("HEAD:via/a.qel", "via/a.qel", ["D101"])], 1, ""),
    ("file-in-symlinked-directory", {"c/a.qel": BASE},
     {"c/a.qel": NEW, "via": Link("c")}, ["via/a.qel"],
     [("HEAD:via/a.qel", "via/a.qel", ["D101"])], 1, ""),
    ("removed-under-symlinked-directory", {"c/a.qel": BASE, "c/b.qel": BASE},
     {"c/b.qel": None, "via": Link("c/")}, ["via/"],
     [("HEAD:via/a.qel", "via/a.qel", []),
      ("HEAD:via/b.qel", None, ["D006"])], 1, ""),
    ("committed-link-to-contract",
     {"c/a.qel": BASE, "l.qel": Link("c/a.qel")}, {"c/a.qel": NEW},
     ["l.qel"], [("HEAD:l.qel", "l.qel", ["D101"])], 1, ""),
    ("committed-link-now-a-file",
     {"c/a.qel": BASE, "l.qel": Link("c/a.qel")}, {"l.qel": NEW},
     ["."], [("HEAD:./c/a.qel", "./c/a.qel", []),
             ("HEAD:./l.qel", "./l.qel", ["D101"])], 1, ""),
    ("committed-directory-link-now-a-directory",
     {"c/a.qel": BASE, "d": Link("c")}, {"d": None, "d/a.qel": NEW},
     ["d"], [("HEAD:d/a.qel", "d/a.qel", ["D101"])], 1, ""),
    ("links-in-a-chain-through-parent",
     {"c/a.qel": BASE, "c/up.qel": Link("../top.qel"),
      "top.qel": Link("c/a.qel")}, {"c/a.qel": NEW},
     ["c/up.qel"], [("HEAD:c/up.qel", "c/up.qel", ["D101"])], 1, ""),
    ("dangling-committed-link", {"b.qel": Link("gone.qel")}, {"b.qel": NEW},
     ["b.qel"], [], 2,
     GONE.format("b.qel") + "'b.qel' at HEAD is a link to 'gone.qel', "
     "which is not there"),
    ("committed-link-out-of-repository",
     {"x.qel": Link("../outside.qel")}, {"x.qel": NEW}, ["x.qel"], [], 2,
     GONE.format("x.qel") + "'x.qel' at HEAD is a link to '../outside.qel', "
     "outside the repository"),
    ("committed-link-loop", {"p.qel": Link("q.qel"), "q.qel": Link("p.qel")},
     {"p.qel": NEW}, ["p.qel"], [], 2,
     GONE.format("p.qel") + "too many levels of links at HEAD"),
    ("submodule-at-recorded-commit", {"sm": Submodule({"s.qel": BASE})},
     {"sm/s.qel": NEW}, ["sm"],
     [("HEAD:sm/s.qel", "sm/s.qel", ["D101"])], 1, ""),
    ("file-in-submodule", {"sm": Submodule({"s.qel": BASE})},
     {"sm/s.qel": NEW}, ["sm/s.qel"],
     [("HEAD:sm/s.qel", "sm/s.qel", ["D101"])], 1, ""),
    ("submodule-not-checked-out",
     {"c/a.qel": BASE, "sm": Submodule({"s.qel": BASE})},
     {"c/a.qel": NEW, "sm": DEINIT}, ["."],
     [("HEAD:./c/a.qel", "./c/a.qel", ["D101"])], 2,
     GONE.format("./sm") + "the submodule 'sm' is not checked out"),
    # A moved contract is matched by its stable_id, whichever operands name
    # its two places; each removed one takes at most one new one.
    ("moved", {"c/a.qel": BASE}, {"d/b.qel": Moved("c/a.qel")}, ["."],
     [("HEAD:./c/a.qel", "./d/b.qel", [])], 0, ""),
    ("moved-and-changed", {"c/a.qel": BASE},
     {"d/b.qel": Moved("c/a.qel", NEW)},
     ["c", "d/b.qel"], [("HEAD:c/a.qel", "d/b.qel", ["D101"])], 1, ""),
    ("moved-one-to-one", {"a.qel": BASE, "b.qel": BASE},
     {"x.qel": Moved("b.qel"), "a.qel": None}, ["."],
     [("HEAD:./b.qel", None, ["D006"]),
      ("HEAD:./a.qel", "./x.qel", [])], 1, ""),
    ("moved-with-another-stable-id", {"c/a.qel": BASE},
     {"c/a.qel": None, "d/b.qel": OTHER}, ["."],
     [("HEAD:./c/a.qel", None, ["D006"]), (None, "./d/b.qel", ["D005"])], 1,
     ""),
]


@pytest.mark.skipif(GIT is None, reason="git is not on PATH")
@pytest.mark.parametrize("committed,working,operands,expected,status,message",
                         [r[1:] for r in AGAINST], ids=[r[0] for r in AGAINST])
def test_against_resolves_paths_as_git_sees_them(
        tmp_path, committed, working, operands, expected, status, message):
    repo = tmp_path / "repo"
    scratch_repository(repo, committed, working)
    result = run("diff", "--against", "HEAD", "--format", "json", *operands,
                 cwd=repo)
    assert result.returncode == status, result.stderr.decode()
    assert message in result.stderr.decode()
    files = json.loads(result.stdout)["files"]
    assert [(f["old"], f["new"], [c["code"] for c in f["changes"]])
            for f in files] == expected


# A new file's name as each format shows it: escaped, never able to start a
# line of its own, a workflow command or a terminal escape.
SHOWN = "c/a\\u{a}::error::x\\u{1b}[0m.qel"
NAMES = [
    ("control", "c/a\n::error::x\x1b[0m.qel", "human",
     f"(none) -> {SHOWN}\ncompatible:\n  {SHOWN}:1:1: compatible[D005]: "
     f"no contract at HEAD:{SHOWN}: there was no contract at this path "
     "before\n1 compatible in 1 file\n"),
    ("control", "c/a\n::error::x\x1b[0m.qel", "github",
     "::notice file=c/a\\u{a}%3A%3Aerror%3A%3Ax\\u{1b}[0m.qel,line=1,"
     "col=1,title=qel D005 new-contract::no contract at "
     f"HEAD:{SHOWN}: there was no contract at this path before\n"),
    ("control", "c/a\n::error::x\x1b[0m.qel", "json",
     "c/a\n::error::x\x1b[0m.qel"),
    ("not-utf8", "c/b\udcff.qel", "human",
     "(none) -> c/b\\xff.qel\ncompatible:\n  c/b\\xff.qel:1:1: "
     "compatible[D005]: no contract at HEAD:c/b\\xff.qel: there was no "
     "contract at this path before\n1 compatible in 1 file\n"),
    ("not-utf8", "c/b\udcff.qel", "json", "c/b\\xff.qel"),
]


@pytest.mark.skipif(GIT is None, reason="git is not on PATH")
@pytest.mark.parametrize("name,form,expected", [r[1:] for r in NAMES],
                         ids=[f"{r[0]}-{r[2]}" for r in NAMES])
def test_against_shows_names_escaped(tmp_path, name, form, expected):
    repo = tmp_path / "repo"
    scratch_repository(repo, {"c/keep.qel": BASE}, {name: BASE})
    result = run("diff", "--against", "HEAD", "--format", form, name,
                 cwd=repo)
    assert result.returncode == 0, result.stderr.decode()
    # Valid UTF-8 whatever the name.
    out = result.stdout.decode("utf-8")
    if form == "json":
        assert json.loads(out)["files"][0]["new"] == expected
    else:
        assert out == expected
