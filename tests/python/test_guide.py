"""The guide for contract authors (docs/guide.md) runs as written.

Blocks whose info string names a file (```qel file=wallet.qel) are written
to a fresh directory; ```console blocks hold `$ COMMAND` lines, each
followed by the output it prints (standard output and error together). A
case replays everything before its block in document order, as a reader
following along would, then runs the block and compares each command's
output with the guide's.
"""
import os
import pathlib
import re
import shutil
import subprocess

import pytest

GUIDE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "guide.md"
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```$", re.M | re.S)

pytestmark = pytest.mark.skipif(
    shutil.which("qel") is None, reason="the qel executable is not on PATH")


def parse_guide():
    """Blocks in order: ("file", name, text) or ("console", line, steps),
    where steps are (command, expected output) pairs."""
    text = GUIDE.read_text(encoding="utf-8")
    blocks = []
    for m in FENCE.finditer(text):
        info, body = m.group(1).split(), m.group(2)
        line = text.count("\n", 0, m.start()) + 1
        named = [w[len("file="):] for w in info if w.startswith("file=")]
        if named:
            blocks.append(("file", named[0], body))
        elif info[:1] == ["console"]:
            steps = []
            for row in body.splitlines():
                if row.startswith("$ "):
                    steps.append([row[2:], []])
                else:
                    assert steps, f"guide line {line}: output before a command"
                    steps[-1][1].append(row)
            blocks.append(("console", line, [(c, "\n".join(o)) for c, o in steps]))
    return blocks


BLOCKS = parse_guide()
CONSOLE = [i for i, b in enumerate(BLOCKS) if b[0] == "console"]


def run(command, cwd):
    env = dict(os.environ, NO_COLOR="1", LC_ALL="C")
    done = subprocess.run(["bash", "-c", command], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=60)
    return done.stdout.decode("utf-8").rstrip("\n")


def test_guide_has_console_blocks():
    # A renamed fence would otherwise leave every case below uncollected.
    assert len(CONSOLE) >= 8


@pytest.mark.parametrize("index", CONSOLE,
                         ids=[f"line{BLOCKS[i][1]}" for i in CONSOLE])
def test_guide_block(index, tmp_path):
    for kind, where, content in BLOCKS[:index]:
        if kind == "file":
            (tmp_path / where).write_text(content, encoding="utf-8")
        else:
            for command, _ in content:
                run(command, tmp_path)
    for command, expected in BLOCKS[index][2]:
        assert run(command, tmp_path) == expected, command
