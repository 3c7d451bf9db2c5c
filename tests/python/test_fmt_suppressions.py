"""qel fmt keeps every `// qel: allow` on the line of the findings it
silences: each tests/corpus/format/NAME.qel formats to NAME.expected, which
formats to itself and checks exactly as the original does."""
import json
import pathlib
import shutil
import subprocess

import pytest

FIXTURES = sorted((pathlib.Path(__file__).resolve().parents[2] / "tests" /
                   "corpus" / "format").glob("*.qel"))
QEL = shutil.which("qel")

pytestmark = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")


def findings(path):
    done = subprocess.run([QEL, "check", "--format", "json", str(path)],
                          capture_output=True, check=False)
    report = json.loads(done.stdout)
    return [(d["code"], d["line"]) for f in report["files"]
            for d in f["diagnostics"]]


@pytest.mark.parametrize("source", FIXTURES, ids=lambda p: p.stem)
def test_fmt_keeps_suppressions_valid(source, tmp_path):
    expected = source.with_suffix(".expected").read_bytes()
    formatted = subprocess.run([QEL, "fmt", str(source)], capture_output=True,
                               check=True).stdout
    assert formatted == expected
    again = tmp_path / source.name
    again.write_bytes(formatted)
    assert subprocess.run([QEL, "fmt", "--check", str(again)]).returncode == 0
    # Same codes, none of them an unused suppression: every one still
    # silences what it silenced.
    before = [code for code, _ in findings(source)]
    after = [code for code, _ in findings(again)]
    assert sorted(after) == sorted(before)
    assert "L100" not in after
