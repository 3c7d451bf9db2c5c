"""The registry of rules against what is written from it or about it: the
README's tables, `qel help`, and one fixture per rule with its expected
findings (refreshed by tools/refresh_corpus.py)."""
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RULES_DIR = os.path.join(ROOT, "tests", "corpus", "rules")
QEL = shutil.which("qel")
# The grammar refuses these first (no sign on a version, a confidence
# outside [0, 1]), so no text reaches the verifier's own check.
UNREACHABLE_FROM_TEXT = {"V101", "V105"}


def run(*args, cwd=None):
    return subprocess.run([QEL, *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=cwd)


REGISTRY = json.loads(run("help", "rules", "--format", "json").stdout)
CHECK_CODES = [r["code"] for r in REGISTRY if r["code"][0] in "PVL"]


def test_the_readme_table_is_written_from_the_registry():
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "tools", "gen_rules_doc.py"),
         "--check", "--qel", QEL], stderr=subprocess.PIPE)
    assert result.returncode == 0, result.stderr.decode()


def test_the_readme_diff_table_names_every_diff_rule():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        rows = re.findall(r"^\| (D\d{3}) \| ([a-z-]+) \|", f.read(), re.M)
    assert rows == [(r["code"], r["name"]) for r in REGISTRY
                    if r["code"].startswith("D")]


@pytest.mark.parametrize("code", CHECK_CODES)
def test_each_rule_has_a_fixture_that_fires_it(code):
    if code in UNREACHABLE_FROM_TEXT:
        assert not os.path.exists(os.path.join(RULES_DIR, code + ".qel"))
        return
    result = run("check", "--color", "never", code + ".qel", cwd=RULES_DIR)
    with open(os.path.join(RULES_DIR, code + ".expected"), "rb") as f:
        assert result.stdout == f.read()
    assert f"[{code}]".encode() in result.stdout
    explained = run("help", code.lower())
    assert explained.returncode == 0
    assert explained.stdout.decode().startswith(
        f"{code} {next(r['name'] for r in REGISTRY if r['code'] == code)} (")


def test_every_fixture_names_a_rule():
    fixtures = {name[:-4] for name in os.listdir(RULES_DIR)
                if name.endswith(".qel")}
    assert fixtures == set(CHECK_CODES) - UNREACHABLE_FROM_TEXT


@pytest.mark.parametrize("selector,expected", [
    (["--ignore", "V404"], 0), (["--ignore", "V4"], 0),
    (["--select", "L"], 0), ([], 0), (["--strict"], 1),
])
def test_verifier_codes_are_selected_and_ignored_like_lints(selector,
                                                            expected):
    result = run("check", "--format", "json", *selector, "V404.qel",
                 cwd=RULES_DIR)
    findings = json.loads(result.stdout)["files"][0]["diagnostics"]
    shown = [d["code"] for d in findings]
    assert shown == ([] if selector and selector[0] in ("--ignore",
                                                        "--select")
                     else ["V404"])
    assert result.returncode == expected


def test_a_verifier_finding_is_suppressed_in_place(tmp_path):
    with open(os.path.join(RULES_DIR, "V404.qel"), encoding="utf-8") as f:
        text = f.read()
    path = tmp_path / "c.qel"
    path.write_text(text.replace(
        'trigger_types: ["manual", "webhook"]',
        'trigger_types: ["manual", "webhook"]  // qel: allow V404 our hook'),
        encoding="utf-8")
    result = run("check", "--strict", str(path))
    assert result.returncode == 0, result.stdout.decode()


def test_unknown_codes_are_usage_errors():
    assert run("help", "X1").returncode == 2
    assert run("check", "--ignore", "X1", "V404.qel",
               cwd=RULES_DIR).returncode == 2
