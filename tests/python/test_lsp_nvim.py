"""Smoke test with Neovim's built-in LSP client, run headless: the
diagnostics it shows for a faulty contract, with a non-ASCII text before a
finding, formatting, and the Normalize code action applied and saved."""
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import qel

QEL = shutil.which("qel")
NVIM = shutil.which("nvim")
pytestmark = pytest.mark.skipif(QEL is None or NVIM is None,
                                reason="needs the qel executable and nvim")
ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tests" / "nvim" / "lsp_smoke.lua"


def test_neovim_shows_diagnostics_formats_and_normalizes(tmp_path):
    text = (ROOT / "examples" / "pricing_rules_faulty.qel").read_text("utf-8")
    text = text.replace('    owner: "growth"\n', "").replace(
        '    stable_id: "Pricing_Rules"\n',
        '    owner: "é中😀", stable_id: "Pricing_Rules"\n')
    path = tmp_path / "faulty.qel"
    path.write_text(text, encoding="utf-8")
    checked = subprocess.run([QEL, "check", "--format", "json", str(path)],
                             capture_output=True)
    findings = json.loads(checked.stdout)["files"][0]["diagnostics"]
    run = subprocess.run(
        [NVIM, "--headless", "-u", "NONE", "-i", "NONE", "-n",
         "-c", f"luafile {SCRIPT}", str(path)],
        env={**os.environ, "QEL": QEL}, cwd=tmp_path, capture_output=True,
        timeout=60)
    lines = run.stdout.decode("utf-8").splitlines()
    assert run.returncode == 0, run.stdout.decode() + run.stderr.decode()
    assert lines[-1] == "DONE"

    diagnostics = [line.split(" ", 5)[1:] for line in lines
                   if line.startswith("DIAG ")]
    assert len(diagnostics) == len(findings)
    # Neovim reports byte columns: the stable id's literal comes after
    # "é中😀", 2 + 3 + 4 bytes but 4 UTF-16 units.
    source_line = text.split("\n")[4]
    assert ["4", str(source_line.encode().index(b'"Pricing_Rules"')), "V103",
            "1"] in [d[:4] for d in diagnostics]
    assert {d[4] for d in diagnostics} == {f["message"] for f in findings}

    assert "FORMAT applied 1" in lines
    formatted = subprocess.run([QEL, "fmt", "-"], input=text.encode(),
                               capture_output=True).stdout.decode("utf-8")
    assert (tmp_path / "faulty.qel.formatted").read_text("utf-8") == formatted
    assert "ACTION Normalize to canonical form (drops comments)" in lines
    assert path.read_text("utf-8").rstrip("\n") == qel.normalize(text).rstrip("\n")
