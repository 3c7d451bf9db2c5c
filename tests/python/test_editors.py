"""The editor files in editors/: the Vim syntax file as Neovim applies it,
and the TextMate grammar's patterns on the tokens they are meant for."""
import json
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "account_transfers.qel"
GRAMMAR = json.loads((ROOT / "editors" / "qel.tmLanguage.json").read_text())
NVIM = shutil.which("nvim")

# (text in the example, the group Vim gives its first character)
VIM_GROUPS = [
    ("// Customer", "qelComment"),
    ("Contract {", "qelSection"),
    ("Extensions {", "qelSection"),
    ("stable_id:", "qelKey"),
    ('"acct-ledger"', "qelString"),
    ("2026-01-15T10:30:00Z", "qelTimestamp"),
    ("Integer = 0", "qelPrimitive"),
    ("Array<String>", "qelComposite"),
    ("= 0\n", "qelOperator"),
    ("0.015", "qelNumber"),
    ("false", "qelBoolean"),
]


@pytest.mark.skipif(NVIM is None, reason="needs nvim")
def test_vim_syntax_groups(tmp_path):
    text = EXAMPLE.read_text("utf-8")
    positions = []
    for needle, _ in VIM_GROUPS:
        at = text.index(needle)
        line = text.count("\n", 0, at) + 1
        column = len(text[text.rfind("\n", 0, at) + 1:at].encode()) + 1
        positions.append(f"{{{line}, {column}}}")
    script = tmp_path / "groups.lua"
    script.write_text(f"""
vim.cmd("set rtp^={ROOT / 'editors' / 'vim'}")
vim.cmd("filetype plugin on")
vim.cmd("syntax on")
vim.cmd("edit {EXAMPLE}")
io.stdout:write(vim.bo.filetype .. "|" .. vim.bo.commentstring .. "\\n")
for _, p in ipairs({{{", ".join(positions)}}}) do
  io.stdout:write(vim.fn.synIDattr(vim.fn.synID(p[1], p[2], 1), "name") .. "\\n")
end
vim.cmd("qall!")
""")
    run = subprocess.run([NVIM, "--headless", "-u", "NONE", "-i", "NONE",
                          "-c", f"luafile {script}"], capture_output=True,
                         timeout=60)
    lines = run.stdout.decode().splitlines()
    assert lines[0] == "qel|// %s"
    assert lines[1:] == [group for _, group in VIM_GROUPS]


def grammar_patterns():
    """Every (scope name, regex) of the grammar's match rules."""
    found = []

    def walk(rule):
        if "match" in rule:
            found.append((rule.get("name", ""), rule["match"]))
        for key in ("begin", "end"):
            if key in rule:
                found.append((rule.get("name", key), rule[key]))
        for child in rule.get("patterns", []):
            walk(child)

    for rule in GRAMMAR["repository"].values():
        walk(rule)
    return found


# (scope, text it must match whole, text it must not match at its start)
TEXTMATE_SCOPES = [
    ("entity.name.section.qel", "BehavioralSemantics", "Behavior"),
    ("support.type.primitive.qel", "ISO8601", "ISO"),
    ("storage.type.qel", "Enum", "Enumerated"),
    ("constant.other.timestamp.qel", "2026-01-15T10:30:00Z", "2026-01-15"),
    ("constant.numeric.float.qel", "0.015", "15"),
    ("constant.language.boolean.qel", "true", "trueish"),
    ("constant.character.escape.qel", '\\"', "\\u"),
    ("invalid.illegal.escape.qel", "\\u", "u"),
    ("keyword.operator.comparison.qel", ">=", "=>"),
    ("keyword.operator.word.qel", "is not empty", "is empty"),
]


@pytest.mark.parametrize("scope,good,bad", TEXTMATE_SCOPES,
                         ids=[s[0] for s in TEXTMATE_SCOPES])
def test_textmate_scopes(scope, good, bad):
    (pattern,) = [p for name, p in grammar_patterns() if name == scope]
    regex = re.compile(pattern)
    # The comparison operators are matched with a space either side.
    subject = f" {good} " if scope.startswith("keyword.operator.comp") else good
    match = regex.search(subject)
    assert match and match.group(0) == good
    assert not regex.match(bad) or regex.match(bad).group(0) != bad


def test_textmate_grammar_is_whole():
    assert GRAMMAR["scopeName"] == "source.qel"
    # Every rule of the repository is reachable from the top.
    included = set(re.findall(r'"include": "#(\w+)"', json.dumps(GRAMMAR)))
    assert included == set(GRAMMAR["repository"])
    for _, pattern in grammar_patterns():
        re.compile(pattern)
    key = re.compile(GRAMMAR["repository"]["key"]["match"])
    assert key.match("max_memory_bytes: 1").group(1) == "max_memory_bytes"
    condition = re.compile(GRAMMAR["repository"]["condition"]["begin"])
    assert condition.match('postcondition: "').group(1) == "postcondition"
