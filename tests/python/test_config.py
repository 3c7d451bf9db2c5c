"""The project configuration (qel.toml, or [tool.qel] in pyproject.toml):
one table of (files, command) -> (exit status, what the output says)."""
import shutil
import subprocess

import pytest

from conftest import MINIMAL

try:
    import pytest_lsp
    from lsprotocol import types as t
except ImportError:  # the table below needs neither
    pytest_lsp = None

QEL = shutil.which("qel")
pytestmark = pytest.mark.skipif(QEL is None,
                                reason="the qel executable is not on PATH")

# L001 (an invariant the run time never evaluates) and nothing else that
# the rows below ask about.
LINTED = MINIMAL.replace('invariants: ["count >= 0"]',
                         'invariants: ["count == 0"]')
UNPARSABLE = MINIMAL.replace('    owner: "team"\n', '    owner "team"\n')
UNFORMATTED = MINIMAL.replace("  Identity {", "  Identity   {")
IGNORE_L001 = 'ignore = ["L001"]\n'

CASES = [
    # id, files, command, exit status, shown, not shown
    ("qel.toml", {"qel.toml": IGNORE_L001, "a.qel": LINTED},
     ["check", "a.qel"], 0, "", "[L001]"),
    ("pyproject", {"pyproject.toml": '[project]\nname = "x"\n\n[tool.qel]\n'
                   + IGNORE_L001, "a.qel": LINTED},
     ["check", "a.qel"], 0, "", "[L001]"),
    ("pyproject without tool.qel is passed over",
     {"qel.toml": IGNORE_L001, "sub/pyproject.toml": '[project]\nname = "x"\n',
      "sub/a.qel": LINTED},
     ["check", "sub/a.qel"], 0, "", "[L001]"),
    ("strict from the file", {"qel.toml": "strict = true\n", "a.qel": LINTED},
     ["check", "a.qel"], 1, "[L001]", ""),
    ("nearest wins", {"qel.toml": "strict = true\n",
                      "sub/qel.toml": "strict = false\n", "sub/a.qel": LINTED},
     ["check", "sub/a.qel"], 0, "[L001]", ""),
    ("qel.toml before pyproject in one directory",
     {"qel.toml": "strict = true\n",
      "pyproject.toml": "[tool.qel]\n" + IGNORE_L001, "a.qel": LINTED},
     ["check", "a.qel"], 1, "[L001]", ""),
    ("a flag overrides the file", {"qel.toml": 'select = ["V"]\n',
                                   "a.qel": LINTED},
     ["check", "--select", "L001", "a.qel"], 0, "[L001]", ""),
    ("--config", {"qel.toml": "strict = true\n", "etc/ci.toml": IGNORE_L001,
                  "a.qel": LINTED},
     ["check", "--config", "etc/ci.toml", "a.qel"], 0, "", "[L001]"),
    ("--isolated", {"qel.toml": IGNORE_L001, "a.qel": LINTED},
     ["check", "--isolated", "a.qel"], 0, "[L001]", ""),
    ("exclude in a walk", {"qel.toml": 'exclude = ["gen/**"]\n',
                           "a.qel": MINIMAL, "gen/deep/b.qel": UNPARSABLE},
     ["check", "."], 0, "1 file checked", "b.qel"),
    ("a name excludes it at any depth", {"qel.toml": 'exclude = ["gen"]\n',
                                         "a.qel": MINIMAL,
                                         "x/gen/b.qel": UNPARSABLE},
     ["check", "."], 0, "1 file checked", "b.qel"),
    ("a file named explicitly is still checked",
     {"qel.toml": 'exclude = ["gen/**"]\n', "gen/b.qel": UNPARSABLE},
     ["check", "gen/b.qel"], 1, "error[P003]", ""),
    ("fmt passes over excluded files", {"qel.toml": 'exclude = ["b.qel"]\n',
                                        "a.qel": UNFORMATTED,
                                        "b.qel": UNFORMATTED},
     ["fmt", "--check", "."], 1, "a.qel", "b.qel"),
    ("hash and normalize pass over excluded files",
     {"qel.toml": 'exclude = ["gen"]\n', "a.qel": MINIMAL,
      "gen/b.qel": UNPARSABLE},
     ["hash", "."], 0, "a.qel", "b.qel"),
    ("per-file-ignores", {"qel.toml": '[per-file-ignores]\n"legacy/*.qel" = '
                          '["L001"]\n', "a.qel": LINTED,
                          "legacy/b.qel": LINTED},
     ["check", "."], 0, "a.qel:", "b.qel:"),
    ("malformed TOML", {"qel.toml": "strict = true\nselect = [\n",
                        "a.qel": MINIMAL},
     ["check", "a.qel"], 2, "qel: qel.toml:2: invalid TOML: ", ""),
    ("unknown key with its line", {"qel.toml": 'strict = true\nselct = ["L"]\n',
                                   "a.qel": MINIMAL},
     ["check", "a.qel"], 2,
     "qel: qel.toml:2: unknown key 'selct' (did you mean 'select'?)", ""),
    ("a wrong type", {"qel.toml": 'strict = "yes"\n', "a.qel": MINIMAL},
     ["check", "a.qel"], 2, "qel: qel.toml:1: 'strict' must be true or false",
     ""),
    ("an unknown code", {"qel.toml": 'ignore = ["L001", "L999"]\n',
                         "a.qel": MINIMAL},
     ["fmt", "a.qel"], 2, "qel: qel.toml:1: unknown rule code 'L999' in "
     "'ignore'", ""),
    ("unknown key of [tool.qel.diff]",
     {"pyproject.toml": '[tool.qel]\nstrict = false\n[tool.qel.diff]\n'
                        'alow = ["D004"]\n', "a.qel": MINIMAL},
     ["check", "a.qel"], 2,
     "qel: pyproject.toml:4: unknown key 'diff.alow' (did you mean "
     "'diff.allow'?)", ""),
    ("diff codes by glob", {"qel.toml": '[diff]\nfail-on = ["review"]\n'
                            '[diff.allow]\n"old/**" = ["D999"]\n',
                            "a.qel": MINIMAL},
     ["check", "a.qel"], 2,
     "qel: qel.toml:4: unknown rule code 'D999' in 'diff.allow.old/**'", ""),
    ("a fail-on value", {"qel.toml": '[diff]\nfail-on = ["breaking", "minor"]'
                         '\n', "a.qel": MINIMAL},
     ["check", "a.qel"], 2, "qel: qel.toml:2: unknown value 'minor' in "
     "'diff.fail-on'", ""),
]


@pytest.mark.parametrize("files,command,status,shown,not_shown",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_configuration(tmp_path, files, command, status, shown, not_shown):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text, encoding="utf-8")
    result = subprocess.run([QEL, *command], cwd=tmp_path,
                            capture_output=True, text=True)
    output = result.stdout + result.stderr
    assert result.returncode == status, output
    assert shown in output
    if not_shown:
        assert not_shown not in output


if pytest_lsp is not None:
    @pytest_lsp.fixture(config=pytest_lsp.ClientServerConfig(
        server_command=[QEL or "qel", "lsp"]))
    async def client(lsp_client: pytest_lsp.LanguageClient):
        yield
        await lsp_client.shutdown_session()

    @pytest.mark.asyncio
    async def test_the_language_server_reads_the_configuration(client,
                                                               tmp_path):
        (tmp_path / "qel.toml").write_text(
            '[per-file-ignores]\n"legacy/**" = ["L001"]\n', encoding="utf-8")
        await client.initialize_session(t.InitializeParams(
            capabilities=t.ClientCapabilities()))
        codes = {}
        for name in ("a.qel", "legacy/b.qel"):
            uri = (tmp_path / name).as_uri()
            client.text_document_did_open(t.DidOpenTextDocumentParams(
                text_document=t.TextDocumentItem(
                    uri=uri, language_id="qel", version=1, text=LINTED)))
            await client.wait_for_notification(
                t.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
            codes[name] = {d.code for d in client.diagnostics[uri]}
        assert "L001" in codes["a.qel"]
        assert "L001" not in codes["legacy/b.qel"]
