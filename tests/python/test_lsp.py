"""`qel lsp` driven by a real client (pytest-lsp) over standard input and
output, one test per capability, and raw bytes for what no well-behaved
client sends: broken frames, bad JSON, the lifecycle's edges."""
import json
import os
import re
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest_lsp = pytest.importorskip("pytest_lsp")
from lsprotocol import types as t  # noqa: E402
from pygls.exceptions import JsonRpcException  # noqa: E402

import qel  # noqa: E402

from conftest import MINIMAL  # noqa: E402

QEL = shutil.which("qel")
pytestmark = pytest.mark.skipif(QEL is None,
                                reason="the qel executable is not on PATH")
ROOT = Path(__file__).resolve().parents[2]
FAULTY = (ROOT / "examples" / "pricing_rules_faulty.qel").read_text("utf-8")
ACCOUNT = (ROOT / "examples" / "account_transfers.qel").read_text("utf-8")
URI = "file:///work/contract.qel"
UNPARSABLE = MINIMAL.replace('    owner: "team"\n', '    owner "team"\n')


@pytest_lsp.fixture(
    config=pytest_lsp.ClientServerConfig(server_command=[QEL or "qel", "lsp"]))
async def client(lsp_client: pytest_lsp.LanguageClient):
    yield
    await lsp_client.shutdown_session()


async def start(client, encodings=None, markdown=True):
    capabilities = t.ClientCapabilities(
        general=t.GeneralClientCapabilities(position_encodings=encodings),
        text_document=t.TextDocumentClientCapabilities(
            hover=t.HoverClientCapabilities(
                content_format=[t.MarkupKind.Markdown] if markdown else None),
            document_symbol=t.DocumentSymbolClientCapabilities(
                hierarchical_document_symbol_support=True)))
    return await client.initialize_session(
        t.InitializeParams(capabilities=capabilities))


async def open_document(client, text, uri=URI):
    client.text_document_did_open(t.DidOpenTextDocumentParams(
        text_document=t.TextDocumentItem(uri=uri, language_id="qel",
                                         version=1, text=text)))
    await client.wait_for_notification(t.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    return list(client.diagnostics[uri])


async def change_document(client, text, version, uri=URI):
    client.text_document_did_change(t.DidChangeTextDocumentParams(
        text_document=t.VersionedTextDocumentIdentifier(uri=uri,
                                                        version=version),
        content_changes=[t.TextDocumentContentChangeWholeDocument(text=text)]))
    await client.wait_for_notification(t.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    return list(client.diagnostics[uri])


def position_of(text, needle, nth=0, shift=0, encoding="utf-16"):
    """The position of the nth occurrence of needle, plus shift characters,
    counted in the given encoding."""
    at = -1
    for _ in range(nth + 1):
        at = text.index(needle, at + 1)
    at += shift
    line = text.count("\n", 0, at)
    before = text[text.rfind("\n", 0, at) + 1:at]
    unit = 2 if encoding == "utf-16" else 1
    character = len(before.encode(encoding.replace("utf-16", "utf-16-le")))
    return t.Position(line=line, character=character // unit)


def offset_of(text, position, encoding="utf-16"):
    lines = text.split("\n")
    start = sum(len(line) + 1 for line in lines[:position.line])
    line = lines[position.line]
    codec = "utf-16-le" if encoding == "utf-16" else "utf-8"
    unit = 2 if encoding == "utf-16" else 1
    count = 0
    for i, ch in enumerate(line):
        if count >= position.character:
            return start + i
        count += len(ch.encode(codec)) // unit
    return start + len(line)


def apply_edits(text, edits):
    """Applies text edits (positions in UTF-16) from the last to the first."""
    spans = sorted(((offset_of(text, e.range.start), offset_of(text, e.range.end),
                     e.new_text) for e in edits), reverse=True)
    for begin, end, new in spans:
        text = text[:begin] + new + text[end:]
    return text


def pos(p):
    return (p.line, p.character)


# ---- Diagnostics -----------------------------------------------------------------

@pytest.mark.asyncio
async def test_diagnostics_are_the_findings_of_check_on_open_change_and_save(
        client, tmp_path):
    result = await start(client)
    assert not result.capabilities.text_document_sync.save.include_text
    path = tmp_path / "faulty.qel"
    path.write_text(FAULTY, encoding="utf-8")
    checked = json.loads(subprocess.run(
        [QEL, "check", "--format", "json", str(path)],
        capture_output=True).stdout)["files"][0]["diagnostics"]

    diagnostics = await open_document(client, FAULTY)
    assert [(d.range.start.line + 1, d.range.start.character + 1,
             d.range.end.line + 1, d.range.end.character + 1,
             d.code, d.message, d.severity) for d in diagnostics] == [
        (f["line"], f["column"], f["end_line"], f["end_column"],
         f["code"] or f["kind"], f["message"],
         t.DiagnosticSeverity.Error if f["severity"] == "error"
         else t.DiagnosticSeverity.Warning) for f in checked]
    assert {d.source for d in diagnostics} == {"qel"}
    # Each range covers the offending token exactly.
    covered = {(d.code, FAULTY.split("\n")[d.range.start.line][
        d.range.start.character:d.range.end.character]) for d in diagnostics
        if d.range.start.line == d.range.end.line}
    assert ("V103", '"Pricing_Rules"') in covered
    assert ("V107", "0.15") in covered
    assert any(code == "V301" and "now()" in token
               for code, token in covered)

    canonical = qel.normalize(MINIMAL)
    assert await change_document(client, canonical, 2) == []

    diagnostics = await change_document(client, UNPARSABLE, 3)
    assert [(d.code, d.severity, pos(d.range.start), pos(d.range.end))
            for d in diagnostics] == [
        ("P003", t.DiagnosticSeverity.Error, (5, 10), (5, 16))]
    assert diagnostics[0].message == 'Expected Colon, found StringLiteral("team")'

    # Text sent with a save is not asked for, and one client mangles its
    # line breaks: the document stays what the changes made it.
    client.text_document_did_save(t.DidSaveTextDocumentParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        text=canonical.replace("\n", "\x00")))
    await client.wait_for_notification(t.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    assert [(d.code, pos(d.range.start)) for d in client.diagnostics[URI]] \
        == [("P003", (5, 10))]

    client.text_document_did_close(t.DidCloseTextDocumentParams(
        text_document=t.TextDocumentIdentifier(uri=URI)))
    await client.wait_for_notification(t.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    assert list(client.diagnostics[URI]) == []


@pytest.mark.parametrize("encoding", ["utf-16", "utf-8"])
@pytest.mark.parametrize("prefix", ["é", "中文", "😀", "é中文😀"])
@pytest.mark.asyncio
async def test_positions_follow_the_negotiated_encoding(client, encoding,
                                                        prefix):
    offered = ([t.PositionEncodingKind.Utf16, t.PositionEncodingKind.Utf8]
               if encoding == "utf-8" else None)
    result = await start(client, encodings=offered)
    assert result.capabilities.position_encoding == encoding
    text = MINIMAL.replace(
        '    owner: "team"\n',
        f'    owner: "{prefix}", stable_id: "Bad_Id"\n').replace(
        '    stable_id: "demo-contract"\n', "").replace(
        'invariants: ["count >= 0"]', f'invariants: ["{prefix} count >= 0"]')
    diagnostics = await open_document(client, text)
    bad_id = [d for d in diagnostics if "Bad_Id" in d.message]
    assert len(bad_id) == 1
    start_at = position_of(text, '"Bad_Id"', encoding=encoding)
    assert pos(bad_id[0].range.start) == pos(start_at)
    assert bad_id[0].range.end.character == start_at.character + 8
    # The other direction: a position the client sends, after the prefix.
    at = position_of(text, f"{prefix} count", shift=len(prefix) + 1,
                     encoding=encoding)
    hover = await client.text_document_hover_async(t.HoverParams(
        text_document=t.TextDocumentIdentifier(uri=URI), position=at))
    assert "count: Integer = 0" in hover.contents.value
    assert pos(hover.range.start) == pos(at)
    assert hover.range.end.character == at.character + len("count")


@pytest.mark.parametrize("eol", ["\r\n", "\r"], ids=["crlf", "cr"])
@pytest.mark.asyncio
async def test_lines_end_as_the_protocol_ends_them(client, eol):
    await start(client)
    text = MINIMAL.replace('"demo-contract"', '"Bad_Id"')
    diagnostics = await open_document(client, text.replace("\n", eol))
    assert [(pos(d.range.start), pos(d.range.end)) for d in diagnostics
            if d.code == "V103"] == [
        (pos(position_of(text, '"Bad_Id"')),
         pos(position_of(text, '"Bad_Id"', shift=8)))]
    hover = await client.text_document_hover_async(t.HoverParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(text, '"count >= 0"', shift=1)))
    assert pos(hover.range.start) == pos(
        position_of(text, '"count >= 0"', shift=1))


@pytest.mark.asyncio
async def test_a_byte_order_mark_counts_as_a_character(client):
    await start(client)
    text = "\ufeff" + MINIMAL.replace(
        'Contract {\n  Identity {\n    stable_id: "demo-contract"\n',
        'Contract { Identity { stable_id: "Bad_Id"\n')
    diagnostics = await open_document(client, text)
    assert [pos(d.range.start) for d in diagnostics if d.code == "V103"] == [
        pos(position_of(text, '"Bad_Id"'))]


# ---- Document symbols ------------------------------------------------------------

@pytest.mark.asyncio
async def test_document_symbols_outline_the_contract(client):
    await start(client)
    await open_document(client, ACCOUNT)
    symbols = await client.text_document_document_symbol_async(
        t.DocumentSymbolParams(text_document=t.TextDocumentIdentifier(uri=URI)))

    def tree(s):
        return (s.name, s.kind, s.detail,
                [tree(c) for c in s.children or []])

    contract, extensions = symbols
    sections = {s.name: s for s in contract.children}
    assert list(sections) == [
        "Identity", "PurposeStatement", "DataSemantics", "BehavioralSemantics",
        "ExecutionConstraints", "HumanMachineContract"]
    state = [(s.name, s.detail) for s in sections["DataSemantics"].children]
    assert state[:3] == [("account_id", "UUID"), ("balance", "Integer"),
                         ("overdraft_limit", "Integer")]
    assert state[7] == ("holders", "Array<String>")
    last = sections["DataSemantics"].children[-1]
    assert tree(last) == (
        "last_transfer", t.SymbolKind.Field,
        "Object { reference: String, amount: Integer, booked_at: ISO8601 }",
        [("reference", t.SymbolKind.Field, "String", []),
         ("amount", t.SymbolKind.Field, "Integer", []),
         ("booked_at", t.SymbolKind.Field, "ISO8601", [])])
    operations = [tree(o) for o in sections["BehavioralSemantics"].children]
    assert operations[0] == (
        "deposit", t.SymbolKind.Method, "(amount: Integer, balance: Integer)",
        [("amount", t.SymbolKind.Variable, "Integer", []),
         ("balance", t.SymbolKind.Variable, "Integer", [])])
    assert [o[0] for o in operations] == ["deposit", "withdraw", "transfer_out"]
    assert tree(extensions)[3] == [
        ("audit", t.SymbolKind.Struct, None,
         [("retention_days", t.SymbolKind.Property, None, []),
          ("regulators", t.SymbolKind.Property, None, []),
          ("sample_rate", t.SymbolKind.Property, None, [])]),
        ("ui", t.SymbolKind.Struct, None,
         [("color", t.SymbolKind.Property, None, []),
          ("show_balance", t.SymbolKind.Property, None, [])])]
    # Ranges: the name is selected, the whole declaration is covered.
    balance = sections["DataSemantics"].children[1]
    assert pos(balance.selection_range.start) == pos(
        position_of(ACCOUNT, "balance: Integer = 0"))
    assert pos(balance.range.end) == pos(
        position_of(ACCOUNT, "balance: Integer = 0", shift=20))
    withdraw = sections["BehavioralSemantics"].children[1]
    assert pos(withdraw.selection_range.start) == pos(
        position_of(ACCOUNT, '"withdraw"'))
    assert withdraw.range.start.line < withdraw.selection_range.start.line
    assert withdraw.range.end.line == withdraw.range.start.line + 10
    assert pos(contract.range.end) == pos(
        position_of(ACCOUNT, "}\n\nExtensions", shift=1))


# PurposeStatement loses its brace: the parse skips to the next section.
BROKEN = ACCOUNT.replace("PurposeStatement {", "PurposeStatement")


async def symbol_trees(client, uri):
    symbols = await client.text_document_document_symbol_async(
        t.DocumentSymbolParams(text_document=t.TextDocumentIdentifier(uri=uri)))

    def tree(s):
        return (s.name, s.kind, s.detail, [tree(c) for c in s.children or []])
    return [tree(s) for s in symbols]


@pytest.mark.asyncio
async def test_a_section_that_does_not_parse_leaves_the_others_outlined(
        client):
    await start(client)
    await open_document(client, ACCOUNT)
    await open_document(client, BROKEN, uri=URI + ".broken")
    (contract, extensions) = await symbol_trees(client, URI)
    expected = [s for s in contract[3] if s[0] != "PurposeStatement"]
    assert len(expected) == 5
    assert await symbol_trees(client, URI + ".broken") == [
        contract[:3] + (expected,), extensions]


@pytest.mark.asyncio
async def test_names_resolve_in_the_parts_of_a_broken_text_that_parse(client):
    await start(client, markdown=False)
    await open_document(client, BROKEN)
    hover = await client.text_document_hover_async(t.HoverParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(BROKEN, '"overdraft_limit >= 0"', shift=5)))
    assert hover.contents.value == (
        "overdraft_limit: Integer = 0\nState field; default 0.")
    locations = await client.text_document_definition_async(
        t.DefinitionParams(text_document=t.TextDocumentIdentifier(uri=URI),
                           position=position_of(BROKEN, '"amount > 0"',
                                                shift=1)))
    assert [pos(loc.range.start) for loc in locations] == [
        pos(position_of(BROKEN, "amount: Integer, balance"))]
    # The hash is the whole contract's: none is computed, none is written.
    hover = await client.text_document_hover_async(t.HoverParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(BROKEN, "semantic_hash:")))
    assert hover.contents.value.endswith(
        "The hash is computed once the contract parses.")
    assert await code_actions(client) == []


# ---- Hover -----------------------------------------------------------------------

HOVERS = [
    # (needle, nth, shift, expected lines)
    ("balance: Integer = 0", 0, 2,
     ["balance: Integer = 0", "State field; default 0."]),
    ("account_id: UUID", 0, 0, ["account_id: UUID", "State field; no default."]),
    ('reference: String = "unreferenced"', 0, 0,
     ['reference: String = "unreferenced"',
      "Parameter of operation 'transfer_out'; default \"unreferenced\"."]),
    ('"overdraft_limit >= 0"', 0, 5,
     ["overdraft_limit: Integer = 0", "State field; default 0."]),
    ('"amount > 0"', 0, 1,
     ["amount: Integer", "Parameter of operation 'deposit'; no default."]),
    # A parameter that shadows a state field: both are shown.
    ('postcondition: "balance >= 0"', 0, 17,
     ["balance: Integer", "balance: Integer = 0",
      "Parameter of operation 'deposit'; no default.",
      "State field; default 0."]),
    ("booked_at: ISO8601", 0, 3,
     ["booked_at: ISO8601", "Field of an Object type."]),
    ("stable_id:", 0, 0,
     ["stable_id", "The contract's stable id: [a-z0-9][a-z0-9-]{0,30}[a-z0-9]."]),
    ("computation_timeout_ms", 0, 4,
     ["computation_timeout_ms",
      "Time one execution may take, in milliseconds (positive)."]),
    ("DataSemantics {", 0, 0,
     ["DataSemantics",
      "The typed state and the invariants it always keeps."]),
]


@pytest.mark.parametrize("needle,nth,shift,expected", HOVERS,
                         ids=[h[0][:24] for h in HOVERS])
@pytest.mark.asyncio
async def test_hover(client, needle, nth, shift, expected):
    await start(client, markdown=False)
    await open_document(client, ACCOUNT)
    hover = await client.text_document_hover_async(t.HoverParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(ACCOUNT, needle, nth, shift)))
    assert hover.contents.kind == t.MarkupKind.PlainText
    assert hover.contents.value.split("\n") == expected


@pytest.mark.asyncio
async def test_hover_on_nothing_and_markdown(client):
    await start(client, markdown=True)
    await open_document(client, ACCOUNT)

    async def hover(needle, shift=0):
        return await client.text_document_hover_async(t.HoverParams(
            text_document=t.TextDocumentIdentifier(uri=URI),
            position=position_of(ACCOUNT, needle, shift=shift)))

    assert await hover("// Customer account") is None
    assert await hover('"append a ledger entry"', 3) is None
    result = await hover("frozen: Boolean")
    assert result.contents.kind == t.MarkupKind.Markdown
    assert result.contents.value == (
        "```qel\nfrozen: Boolean = false\n```\nState field; default false.")


@pytest.mark.asyncio
async def test_hover_on_the_semantic_hash_tells_whether_it_matches(client):
    await start(client, markdown=False)
    computed = qel.semantic_hash(ACCOUNT)
    await open_document(client, ACCOUNT)
    for needle in ("semantic_hash:", '"0000000000'):
        hover = await client.text_document_hover_async(t.HoverParams(
            text_document=t.TextDocumentIdentifier(uri=URI),
            position=position_of(ACCOUNT, needle, shift=2)))
        assert hover.contents.value.endswith(
            f"The written hash does not match the computed hash {computed}.")
    fixed = ACCOUNT.replace("0" * 64, computed)
    await change_document(client, fixed, 2)
    hover = await client.text_document_hover_async(t.HoverParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(fixed, "semantic_hash:")))
    assert hover.contents.value.endswith(
        "The written hash matches the computed hash.")


# ---- Definition and references -----------------------------------------------------

DEFINITIONS = [
    # (from needle, shift, [declaration needles])
    ('"balance >= 0"', 1, ["balance: Integer = 0"]),
    ('"interest_rate < 0.2"', 4, ["interest_rate: Float"]),
    ('precondition: "amount > 0"', 16, ["amount: Integer, balance"]),
    ('postcondition: "balance >= 0"', 16,
     ["balance: Integer }", "balance: Integer = 0"]),
    ('"frozen is boolean"', 1, ["frozen: Boolean"]),
    ("overdraft_limit: Integer", 0, ["overdraft_limit: Integer"]),
]


@pytest.mark.parametrize("needle,shift,targets", DEFINITIONS,
                         ids=[d[0][:24] for d in DEFINITIONS])
@pytest.mark.asyncio
async def test_definition(client, needle, shift, targets):
    await start(client)
    await open_document(client, ACCOUNT)
    locations = await client.text_document_definition_async(
        t.DefinitionParams(text_document=t.TextDocumentIdentifier(uri=URI),
                           position=position_of(ACCOUNT, needle, shift=shift)))
    assert [(loc.uri, pos(loc.range.start)) for loc in locations] == [
        (URI, pos(position_of(ACCOUNT, target))) for target in targets]


@pytest.mark.asyncio
async def test_definition_outside_a_name_is_empty(client):
    await start(client)
    await open_document(client, ACCOUNT)
    locations = await client.text_document_definition_async(
        t.DefinitionParams(text_document=t.TextDocumentIdentifier(uri=URI),
                           position=position_of(ACCOUNT, '"amount > 0"',
                                                shift=8)))
    assert locations is None


def condition_uses(text, name):
    """Every position of `name` as a word inside a precondition,
    postcondition or invariant literal, in document order."""
    found = []
    for match in re.finditer(
            r'(precondition: |postcondition: |invariants: \[\s*|,\s*)"([^"]*)"',
            text):
        for word in re.finditer(r"[A-Za-z_][A-Za-z0-9_]*", match.group(2)):
            if word.group(0) == name:
                at = match.start(2) + word.start()
                found.append((text.count("\n", 0, at),
                              at - text.rfind("\n", 0, at) - 1))
    return found


@pytest.mark.asyncio
async def test_references_of_a_state_field_are_every_condition_naming_it(
        client):
    await start(client)
    await open_document(client, ACCOUNT)
    uses = condition_uses(ACCOUNT, "balance")
    assert len(uses) == 5  # one invariant, four clauses of operations
    for needle, include in [("balance: Integer = 0", True),
                            ('"balance >= 0"', False)]:
        locations = await client.text_document_references_async(
            t.ReferenceParams(
                text_document=t.TextDocumentIdentifier(uri=URI),
                position=position_of(ACCOUNT, needle, shift=1),
                context=t.ReferenceContext(include_declaration=include)))
        declaration = [pos(position_of(ACCOUNT, "balance: Integer = 0"))]
        assert [pos(loc.range.start) for loc in locations] == (
            declaration if include else []) + uses
        assert all(loc.range.end.character - loc.range.start.character == 7
                   for loc in locations)


@pytest.mark.asyncio
async def test_references_of_a_parameter_stay_in_its_operation(client):
    await start(client)
    await open_document(client, ACCOUNT)
    locations = await client.text_document_references_async(t.ReferenceParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(ACCOUNT, "amount: Integer, balance"),
        context=t.ReferenceContext(include_declaration=False)))
    assert [pos(loc.range.start) for loc in locations] == [
        pos(position_of(ACCOUNT, '"amount > 0"', shift=1))]


# ---- Completion ------------------------------------------------------------------

def labels(result):
    items = result.items if hasattr(result, "items") else result
    return [item.label for item in items]


COMPLETIONS = [
    # (text, cursor marker, expected labels)
    (MINIMAL.replace('    owner: "team"\n', "    |\n"), ["owner"]),
    (MINIMAL.replace('    owner: "team"\n', "    ow|\n"), ["owner"]),
    (MINIMAL.replace('    narrative: "n"\n', "|").replace(
        '    confidence_level: 0.5\n', ""), ["narrative", "confidence_level"]),
    (MINIMAL.replace("        idempotence: \"no\"\n", "        |\n"),
     ["idempotence"]),
    (MINIMAL.replace("  PurposeStatement {", "  |\n  PurposeStatement {"), []),
    ("Contract {\n  Identity { }\n  |\n", [
        "PurposeStatement", "DataSemantics", "BehavioralSemantics",
        "ExecutionConstraints", "HumanMachineContract"]),
    ("|", ["Contract", "Extensions"]),
    (MINIMAL.replace("count: Integer = 0 }", "count: Integer = 0, flag: | }"),
     ["Integer", "Float", "String", "Boolean", "ISO8601", "UUID", "Array",
      "Map", "Object", "Enum"]),
    (MINIMAL.replace("count: Integer = 0 }", "list: Array<St|> }"),
     ["Integer", "Float", "String", "Boolean", "ISO8601", "UUID", "Array",
      "Map", "Object", "Enum"]),
    (MINIMAL.replace('precondition: "count >= 0"', 'precondition: "|"').replace(
        "parameters: { count: Integer }", "parameters: { step: Integer }"),
     ["step", "count"]),
    (MINIMAL.replace('invariants: ["count >= 0"]', 'invariants: ["co|'),
     ["count"]),
    (MINIMAL.replace('idempotence: "no"', 'idempotence: "n|o"'), []),
    # Texts cut off while typing: nothing after the cursor closes anything.
    ('Contract {\n  Identity {\n    stable_id: "x"\n    |',
     ["version", "created_timestamp", "owner", "semantic_hash"]),
    ('Contract {\n  Identity {\n    stable_id: "x"\n  }\n  Purp|',
     ["PurposeStatement", "DataSemantics", "BehavioralSemantics",
      "ExecutionConstraints", "HumanMachineContract"]),
    (MINIMAL[:MINIMAL.index("count: Integer = 0 }")] + "count: Integer = 0, "
     "flag: |", ["Integer", "Float", "String", "Boolean", "ISO8601", "UUID",
                 "Array", "Map", "Object", "Enum"]),
    (MINIMAL[:MINIMAL.index('"count >= 0"\n        parameters')] + '"co|',
     ["count"]),
    (MINIMAL[:MINIMAL.index("max_memory_bytes")] + "max_memory_bytes: 1, |",
     ["computation_timeout_ms", "max_state_size_bytes"]),
]


@pytest.mark.parametrize("marked,expected", COMPLETIONS,
                         ids=[str(i) for i in range(len(COMPLETIONS))])
@pytest.mark.asyncio
async def test_completion(client, marked, expected):
    await start(client)
    text = marked.replace("|", "")
    await open_document(client, text)
    result = await client.text_document_completion_async(t.CompletionParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(marked, "|")))
    assert labels(result) == expected


@pytest.mark.asyncio
async def test_completion_replaces_the_partial_name(client):
    await start(client)
    marked = MINIMAL.replace('invariants: ["count >= 0"]',
                             'invariants: ["cou| >= 0"]')
    text = marked.replace("|", "")
    await open_document(client, text)
    result = await client.text_document_completion_async(t.CompletionParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(marked, "|")))
    (item,) = result.items
    assert apply_edits(text, [item.text_edit]) == MINIMAL


# ---- Rename, highlight, tokens, folding, selection, settings ---------------------

async def rename(client, needle, nth, new_name):
    return await client.text_document_rename_async(t.RenameParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        position=position_of(MINIMAL, needle, nth), new_name=new_name))


# In MINIMAL the parameter count of bump hides the state field count in
# bump's conditions.
RENAMES = [
    ("state field", "count", 0, "total",
     [("{ count: Integer = 0 }", "{ total: Integer = 0 }"),
      ('["count >= 0"]', '["total >= 0"]')]),
    ("parameter, from a use", "count", 2, "n",
     [('"count >= 0"\n        parameters: { count: Integer }\n'
       '        postcondition: "count',
       '"n >= 0"\n        parameters: { n: Integer }\n'
       '        postcondition: "n')]),
    ("operation", "bump", 0, "push", [('"bump"', '"push"')]),
]


@pytest.mark.parametrize("needle,nth,new_name,replaced",
                         [r[1:] for r in RENAMES], ids=[r[0] for r in RENAMES])
@pytest.mark.asyncio
async def test_rename(client, needle, nth, new_name, replaced):
    await start(client)
    await open_document(client, MINIMAL)
    prepared = await client.text_document_prepare_rename_async(
        t.PrepareRenameParams(text_document=t.TextDocumentIdentifier(uri=URI),
                              position=position_of(MINIMAL, needle, nth)))
    assert prepared.placeholder == needle
    edit = await rename(client, needle, nth, new_name)
    expected = MINIMAL
    for old, new in replaced:
        assert expected.count(old) == 1
        expected = expected.replace(old, new)
    assert apply_edits(MINIMAL, edit.changes[URI]) == expected


@pytest.mark.parametrize("needle,nth,new_name", [
    ("count", 0, "9lives"), ("count", 0, "Integer"), ("count", 0, "a-b"),
    ("bump", 0, "bump"),  # already an operation's name
    ("count", 1, "count"),  # already a parameter's name
    ("Integer", 0, "x"),  # nothing to rename
])
@pytest.mark.asyncio
async def test_rename_is_refused(client, needle, nth, new_name):
    await start(client)
    await open_document(client, MINIMAL)
    with pytest.raises(JsonRpcException):
        await rename(client, needle, nth, new_name)


@pytest.mark.asyncio
async def test_document_highlight_marks_the_declaration_and_its_uses(client):
    await start(client)
    await open_document(client, MINIMAL)
    highlights = await client.text_document_document_highlight_async(
        t.DocumentHighlightParams(text_document=t.TextDocumentIdentifier(uri=URI),
                                  position=position_of(MINIMAL, "count >= 0")))
    assert [(pos(h.range.start), h.kind) for h in highlights] == [
        (pos(position_of(MINIMAL, "count")), t.DocumentHighlightKind.Write),
        (pos(position_of(MINIMAL, "count >= 0")), t.DocumentHighlightKind.Read)]


@pytest.mark.asyncio
async def test_semantic_tokens(client):
    result = await start(client)
    legend = result.capabilities.semantic_tokens_provider.legend.token_types
    text = "// é😀 note\n" + MINIMAL
    await open_document(client, text)
    data = (await client.text_document_semantic_tokens_full_async(
        t.SemanticTokensParams(text_document=t.TextDocumentIdentifier(uri=URI)))).data
    tokens, line, character = set(), 0, 0
    for i in range(0, len(data), 5):
        line += data[i]
        character = data[i + 1] + (character if data[i] == 0 else 0)
        tokens.add((line, character, data[i + 2], legend[data[i + 3]]))
    for needle, length, kind in [
            ("// é😀 note", 11, "comment"), ("Contract", 8, "keyword"),
            ("stable_id", 9, "property"), ('"demo-contract"', 15, "string"),
            ("0.5", 3, "number"), ("Integer", 7, "type")]:
        at = position_of(text, needle)
        assert (at.line, at.character, length, kind) in tokens, needle


@pytest.mark.asyncio
async def test_folding_ranges_are_blocks_and_comment_runs(client):
    await start(client)
    text = "// one\n// two\n" + MINIMAL
    await open_document(client, text)
    ranges = await client.text_document_folding_range_async(
        t.FoldingRangeParams(text_document=t.TextDocumentIdentifier(uri=URI)))
    lines = text.split("\n")

    def block(opener):  # the line of `opener` to the one before its closer
        first = next(i for i, s in enumerate(lines) if opener in s)
        indent = len(lines[first]) - len(lines[first].lstrip())
        close = next(i for i in range(first + 1, len(lines))
                     if lines[i].strip() in ("}", "]", "},")
                     and len(lines[i]) - len(lines[i].lstrip()) == indent)
        return (first, close - 1, None)
    assert sorted((r.start_line, r.end_line, r.kind) for r in ranges) == sorted(
        [(0, 1, "comment")] + [block(o) for o in [
            "Contract {", "Identity {", "PurposeStatement {", "DataSemantics {",
            "BehavioralSemantics {", "operations: [", "      {",
            "ExecutionConstraints {", "HumanMachineContract {"]])


@pytest.mark.asyncio
async def test_selection_grows_from_the_token_through_its_nodes(client):
    await start(client)
    await open_document(client, MINIMAL)
    (selection,) = await client.text_document_selection_range_async(
        t.SelectionRangeParams(text_document=t.TextDocumentIdentifier(uri=URI),
                               positions=[position_of(MINIMAL, "count >= 0")]))
    texts = []
    while selection is not None:
        r = selection.range
        texts.append(MINIMAL[offset_of(MINIMAL, r.start):offset_of(MINIMAL, r.end)])
        selection = selection.parent
    data = MINIMAL[MINIMAL.index("DataSemantics"):]
    data = data[:data.index("\n  }") + 4]
    assert texts == ['"count >= 0"', 'invariants: ["count >= 0"]', data,
                     MINIMAL[:MINIMAL.rindex("}") + 1], MINIMAL]


@pytest.mark.asyncio
async def test_settings_select_and_ignore_rules(client):
    await start(client)
    codes = {d.code for d in await open_document(client, FAULTY)}
    assert any(c.startswith("V") for c in codes) and any(
        c.startswith("L") for c in codes)

    async def configure(settings):
        client.workspace_did_change_configuration(
            t.DidChangeConfigurationParams(settings=settings))
        await client.wait_for_notification(t.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
        return {d.code for d in client.diagnostics[URI]}
    assert await configure({"qel": {"select": ["L"]}}) == {
        c for c in codes if c.startswith("L")}
    ignored = sorted(codes)[0]
    assert await configure({"qel": {"ignore": [ignored]}}) == codes - {ignored}
    assert await configure({}) == codes


# ---- Code actions ----------------------------------------------------------------

async def code_actions(client, only=None):
    return list(await client.text_document_code_action_async(t.CodeActionParams(
        text_document=t.TextDocumentIdentifier(uri=URI),
        range=t.Range(start=t.Position(line=0, character=0),
                      end=t.Position(line=0, character=0)),
        context=t.CodeActionContext(diagnostics=[], only=only))))


@pytest.mark.asyncio
async def test_code_actions_write_the_hash_and_normalize(client):
    await start(client)
    await open_document(client, ACCOUNT)
    actions = await code_actions(client)
    assert [(a.title, a.kind) for a in actions] == [
        ("Write the semantic hash", "quickfix"),
        ("Normalize to canonical form (drops comments)", "source.normalize")]
    write_hash, normalize = actions

    hashed = apply_edits(ACCOUNT, write_hash.edit.changes[URI])
    assert hashed == ACCOUNT.replace("0" * 64, qel.semantic_hash(ACCOUNT))
    await change_document(client, hashed, 2)
    assert [a.title for a in await code_actions(client)] == [
        "Normalize to canonical form (drops comments)"]

    canonical = apply_edits(hashed, normalize.edit.changes[URI])
    assert canonical == qel.normalize(ACCOUNT)
    # Only the lines that change are edited.
    lines = canonical.split("\n")
    commented = "\n".join(lines[:9] + ["  // stray"] + lines[9:])
    await change_document(client, commented, 3)
    (edit,) = (await code_actions(client, only=["source"]))[0].edit.changes[URI]
    assert (pos(edit.range.start), pos(edit.range.end), edit.new_text) == (
        (9, 0), (10, 0), "")
    await change_document(client, canonical, 4)
    assert await code_actions(client) == []


@pytest.mark.asyncio
async def test_code_actions_honour_only_and_need_a_parse(client):
    await start(client)
    await open_document(client, ACCOUNT)
    assert [a.kind for a in await code_actions(client, only=["source"])] == [
        "source.normalize"]
    assert [a.kind for a in await code_actions(client, only=["quickfix"])] == [
        "quickfix"]
    assert await code_actions(client, only=["refactor"]) == []
    await change_document(client, UNPARSABLE, 2)
    assert await code_actions(client) == []


@pytest.mark.asyncio
async def test_quick_fixes_are_the_findings_fixes_and_a_suppression(client):
    await start(client)
    text = MINIMAL.replace('["count >= 0"]', '["count>=0"]')
    (published,) = [d for d in await open_document(client, text)
                    if d.code == "L001"]
    at = position_of(text, "count>=0")
    actions = [a for a in await client.text_document_code_action_async(
        t.CodeActionParams(text_document=t.TextDocumentIdentifier(uri=URI),
                           range=t.Range(start=at, end=at),
                           context=t.CodeActionContext(diagnostics=[])))
               if a.diagnostics]
    assert [(a.title, a.is_preferred) for a in actions] == [
        ("Write 'count >= 0'", True), ("Allow L001 on this line", None)]
    fix, allow = actions
    assert all(a.diagnostics[0].range == published.range for a in actions)
    assert apply_edits(text, fix.edit.changes[URI]) == MINIMAL
    allowed = apply_edits(text, allow.edit.changes[URI])
    assert allowed == text.replace('["count>=0"]',
                                   '["count>=0"]  // qel: allow L001')
    assert "L001" not in [d.code for d in
                          await change_document(client, allowed, 2)]


# ---- Formatting ------------------------------------------------------------------

async def format_document(client):
    return await client.text_document_formatting_async(
        t.DocumentFormattingParams(
            text_document=t.TextDocumentIdentifier(uri=URI),
            options=t.FormattingOptions(tab_size=8, insert_spaces=False)))


@pytest.mark.asyncio
async def test_formatting_is_qel_fmt_as_one_edit(client):
    result = await start(client)
    assert result.capabilities.document_formatting_provider is True
    await open_document(client, ACCOUNT)
    expected = subprocess.run([QEL, "fmt", "-"], input=ACCOUNT.encode(),
                              capture_output=True).stdout.decode("utf-8")
    (edit,) = await format_document(client)
    assert pos(edit.range.start) == (0, 0)
    formatted = apply_edits(ACCOUNT, [edit])
    assert formatted == expected != ACCOUNT
    await change_document(client, formatted, 2)
    assert list(await format_document(client)) == []
    await change_document(client, UNPARSABLE, 3)
    assert await format_document(client) is None


# ---- The command ----------------------------------------------------------------

@pytest.mark.parametrize("args,status,out,err", [
    (["--help"], 0, b"usage: qel lsp [--stdio]\n", b""),
    (["--stdio"], 1, b"", b""),  # its input ends at once
    (["contract.qel"], 2, b"", b"qel: lsp takes no operands (see 'qel help')\n"),
    (["--tcp"], 2, b"", b"qel: unknown option '--tcp' for lsp (see 'qel help')\n"),
])
def test_the_command_line(args, status, out, err):
    result = subprocess.run([QEL, "lsp", *args], stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=30)
    assert result.returncode == status
    assert result.stdout.startswith(out) and (out or result.stdout == b"")
    assert result.stderr == err


# ---- Robustness, with raw bytes ------------------------------------------------------

def frame(body):
    if not isinstance(body, bytes):
        body = json.dumps(body).encode()
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def request(id_, method, params=None):
    message = {"jsonrpc": "2.0", "id": id_, "method": method}
    if params is not None:
        message["params"] = params
    return frame(message)


def notification(method, params=None):
    return frame({"jsonrpc": "2.0", "method": method, "params": params or {}})


INITIALIZE = request(1, "initialize", {"capabilities": {}})


class RawServer:
    """`qel lsp` in a subprocess, read with a deadline so that a hang fails
    the test instead of stalling it."""

    def __init__(self):
        self.proc = subprocess.Popen([QEL, "lsp"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.buffer = bytearray()

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def _fill(self, deadline):
        left = deadline - time.monotonic()
        ready, _, _ = select.select([self.proc.stdout], [], [], max(left, 0))
        if not ready:
            raise TimeoutError("no answer from qel lsp")
        chunk = os.read(self.proc.stdout.fileno(), 1 << 20)
        if not chunk:
            raise EOFError("qel lsp closed its output")
        self.buffer += chunk

    def read(self, timeout=30):
        deadline = time.monotonic() + timeout
        while (end := self.buffer.find(b"\r\n\r\n")) < 0:
            self._fill(deadline)
        length = int(self.buffer[:end].split(b":")[1])
        while len(self.buffer) < end + 4 + length:
            self._fill(deadline)
        body = bytes(self.buffer[end + 4:end + 4 + length])
        del self.buffer[:end + 4 + length]
        return json.loads(body)

    def read_answer(self, timeout=30):
        """The next response, skipping notifications."""
        while True:
            message = self.read(timeout)
            if "id" in message:
                return message

    def finish(self, timeout=30):
        self.proc.stdin.close()
        return self.proc.wait(timeout)


@pytest.fixture
def raw():
    server = RawServer()
    yield server
    if server.proc.poll() is None:
        server.proc.kill()
        server.proc.wait()


MALFORMED = [
    ("no length", b"Content-Type: application/json\r\n\r\n{}", -32700),
    ("length not a number", b"Content-Length: ten\r\n\r\n", -32700),
    ("header without colon", b"Content-Length 12\r\n\r\n{}", -32700),
    ("length beyond the limit", b"Content-Length: 999999999999\r\n\r\n", -32600),
    ("header section too long", b"X-Padding: " + b"a" * 10000 + b"\r\n\r\n",
     -32700),
    ("not JSON", frame(b"{not json"), -32700),
    ("invalid UTF-8", frame(b'{"jsonrpc": "2.0", "method": "\xff\xfe"}'),
     -32700),
    ("nested too deep", frame(b"[" * 100000 + b"]" * 100000), -32700),
    # The rest of the body must not swallow the next, well-formed request.
    ("length one byte short",
     frame(request(9, "shutdown").split(b"\r\n\r\n")[1][:-1]) + b"}",
     -32700),
    # The body takes the next header's first byte.
    ("length one byte long", b"Content-Length: 3\r\n\r\n{}", -32700),
    ("not an object", frame(b"[1, 2]"), -32600),
    ("id of the wrong type",
     frame({"jsonrpc": "2.0", "id": [1], "method": "initialize"}), -32600),
    ("no method", frame({"jsonrpc": "2.0", "id": 5}), -32600),
    ("no jsonrpc", frame({"id": 6, "method": "initialize"}), -32600),
]


@pytest.mark.parametrize("data,code", [m[1:] for m in MALFORMED],
                         ids=[m[0] for m in MALFORMED])
def test_a_malformed_message_is_answered_and_the_server_goes_on(raw, data,
                                                                code):
    raw.send(data + INITIALIZE)
    error = raw.read()
    assert error["error"]["code"] == code
    assert error["error"]["message"]
    answer = raw.read()
    assert answer["id"] == 1 and "capabilities" in answer["result"]
    raw.send(request(2, "shutdown") + notification("exit"))
    assert raw.read() == {"jsonrpc": "2.0", "id": 2, "result": None}
    assert raw.proc.wait(30) == 0


@pytest.mark.parametrize("ending,status", [
    (["shutdown", "exit"], 0),
    (["exit"], 1),
    (["shutdown"], 0),  # then the input ends
    ([], 1),
])
def test_lifecycle(raw, ending, status):
    raw.send(request(1, "textDocument/hover", {}))
    assert raw.read()["error"]["code"] == -32002  # not initialized
    raw.send(INITIALIZE)
    assert raw.read()["id"] == 1
    raw.send(request(2, "initialize", {"capabilities": {}}))
    assert raw.read()["error"]["code"] == -32600
    raw.send(request(3, "textDocument/unknown") +
             notification("workspace/unknownNotification") +
             notification("$/cancelRequest", {"id": 3}) +
             request(4, "$/unknownRequest"))
    assert [(m["id"], m["error"]["code"]) for m in (raw.read(), raw.read())] \
        == [(3, -32601), (4, -32601)]
    if "shutdown" in ending:
        raw.send(request(9, "shutdown"))
        assert raw.read() == {"jsonrpc": "2.0", "id": 9, "result": None}
        raw.send(request(10, "textDocument/hover", {}))
        assert raw.read()["error"]["code"] == -32600  # shut down
    if "exit" in ending:
        raw.send(notification("exit"))
    assert raw.finish() == status


def test_answers_come_in_order(raw):
    uri = "file:///a.qel"
    messages = [INITIALIZE, notification("initialized"), notification(
        "textDocument/didOpen",
        {"textDocument": {"uri": uri, "languageId": "qel", "version": 1,
                          "text": ACCOUNT}})]
    methods = ["textDocument/hover", "textDocument/documentSymbol",
               "textDocument/completion", "textDocument/definition",
               "no/such/method", "textDocument/references",
               "textDocument/codeAction"]
    for i in range(2, 30):
        messages.append(request(i, methods[i % len(methods)], {
            "textDocument": {"uri": uri},
            "position": {"line": i, "character": 6},
            "range": {"start": {"line": 0, "character": 0},
                      "end": {"line": 0, "character": 0}},
            "context": {"diagnostics": [], "includeDeclaration": True}}))
    raw.send(b"".join(messages))
    assert [raw.read_answer()["id"] for _ in range(29)] == list(range(1, 30))
    assert raw.finish() == 1


def test_bad_params_and_unknown_documents(raw):
    raw.send(INITIALIZE + notification("initialized"))
    raw.read()
    uri = "file:///b.qel"
    raw.send(notification("textDocument/didOpen", {"textDocument": {"uri": 1}}) +
             notification("textDocument/didChange",
                          {"textDocument": {"uri": uri, "version": 2},
                           "contentChanges": [{"text": "x"}]}) +
             request(2, "textDocument/hover", {"textDocument": {"uri": uri}}) +
             request(3, "textDocument/documentSymbol", {"textDocument": {}}) +
             request(4, "textDocument/hover", [1, 2]))
    assert [raw.read()["error"]["code"] for _ in range(3)] == [
        -32602, -32602, -32602]
    raw.send(notification("textDocument/didOpen", {"textDocument": {
        "uri": uri, "languageId": "qel", "version": 1,
        "text": "Contract { Identity {"}}))
    diagnostics = raw.read()["params"]["diagnostics"]
    assert [d["code"] for d in diagnostics] == ["P003"]
    for i, method in enumerate(["textDocument/hover",
                                "textDocument/definition",
                                "textDocument/documentSymbol",
                                "textDocument/references",
                                "textDocument/codeAction",
                                "textDocument/completion"], start=5):
        raw.send(request(i, method, {
            "textDocument": {"uri": uri},
            "position": {"line": 0, "character": 14},
            "range": {"start": {"line": 0, "character": 0},
                      "end": {"line": 0, "character": 0}},
            "context": {"diagnostics": []}}))
        answer = raw.read()
        assert answer["id"] == i and "error" not in answer
    assert raw.finish() == 1


def open_raw(raw, text, uri):
    raw.send(INITIALIZE + notification("initialized") + notification(
        "textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": "qel", "version": 1, "text": text}}))
    raw.read_answer()
    return raw.read()["params"]["diagnostics"]


def test_a_burst_of_range_edits_is_analysed_once_as_the_whole_text(raw):
    # Positions in UTF-16 past a character beyond U+FFFF, each edit in the
    # text the one before left; all in one write, so the server reads them
    # together and publishes only the newest version.
    text = "// 😀 ledger\n" + MINIMAL
    open_raw(raw, text, "file:///c.qel")
    changes = []
    for version, (needle, new) in enumerate(
            [("ledger", "books\r\n// é"), ("team", "ops"),
             ("count >= 0", "count > -1"), ("demo-contract", "Demo"),
             ('"n"\n    intent', '"n"    intent'), ("\r\n", "\n"),
             ("bump", "bump it")], start=2):
        at = position_of(text, needle)
        end = position_of(text, needle, shift=len(needle))
        changes.append(notification("textDocument/didChange", {
            "textDocument": {"uri": "file:///c.qel", "version": version},
            "contentChanges": [{"range": {
                "start": {"line": at.line, "character": at.character},
                "end": {"line": end.line, "character": end.character}},
                "text": new}]}))
        text = text.replace(needle, new, 1)
    raw.send(b"".join(changes) + notification("textDocument/didOpen", {
        "textDocument": {"uri": "file:///whole.qel", "languageId": "qel",
                         "version": 1, "text": text}}))
    published = {m["params"]["uri"]: m["params"] for m in (raw.read(), raw.read())}
    assert published["file:///c.qel"]["version"] == 8
    assert published["file:///c.qel"]["diagnostics"] == \
        published["file:///whole.qel"]["diagnostics"] != []


def test_a_cancelled_request_is_answered_as_cancelled(raw):
    open_raw(raw, MINIMAL, "file:///c.qel")
    at = position_of(MINIMAL, "count")
    hover = {"textDocument": {"uri": "file:///c.qel"},
             "position": {"line": at.line, "character": at.character}}
    raw.send(request(2, "textDocument/hover", hover) +
             notification("$/cancelRequest", {"id": 2}) +
             request(3, "textDocument/hover", hover) +
             notification("$/cancelRequest", {"id": 2}))
    assert raw.read_answer()["error"]["code"] == -32800
    assert "count" in raw.read_answer()["result"]["contents"]["value"]


def test_a_client_without_nested_symbols_gets_a_flat_list(raw):
    uri = "file:///c.qel"
    raw.send(INITIALIZE + notification("initialized") + notification(
        "textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": "qel", "version": 1, "text": MINIMAL}}))
    raw.read_answer()
    raw.send(request(2, "textDocument/documentSymbol",
                     {"textDocument": {"uri": uri}}))
    symbols = raw.read_answer()["result"]
    flat = [(s["name"], s.get("containerName")) for s in symbols]
    assert flat == [
        ("Contract", None), ("Identity", "Contract"),
        ("PurposeStatement", "Contract"), ("DataSemantics", "Contract"),
        ("count", "DataSemantics"), ("BehavioralSemantics", "Contract"),
        ("bump", "BehavioralSemantics"), ("count", "bump"),
        ("ExecutionConstraints", "Contract"), ("HumanMachineContract", "Contract")]
    assert all(s["location"]["uri"] == uri and "children" not in s
               for s in symbols)


def test_a_ten_megabyte_document(raw):
    sys.path.insert(0, str(ROOT / "bench"))
    import generate
    text = generate.contract(10 << 20)
    assert len(text) >= (10 << 20) - 1000
    uri = "file:///big.qel"
    raw.send(INITIALIZE + notification("initialized"))
    raw.read()
    raw.send(notification("textDocument/didOpen", {"textDocument": {
        "uri": uri, "languageId": "qel", "version": 1, "text": text}}))
    published = raw.read(timeout=120)
    assert published["method"] == "textDocument/publishDiagnostics"
    raw.send(request(2, "textDocument/documentSymbol",
                     {"textDocument": {"uri": uri}}))
    symbols = raw.read(timeout=120)["result"]
    assert symbols[0]["name"] == "Contract"
    raw.send(request(3, "shutdown") + notification("exit"))
    assert raw.read()["id"] == 3
    assert raw.proc.wait(30) == 0


# Each text made a lexical-view operation rescan the text once per bracket,
# closer or quote: minutes of hanging for a megabyte.
PATHOLOGICAL = [
    ("open brackets 200 KB", "[" * 200_000),
    ("open brackets 1 MB", "[" * 1_000_000),
    ("closers matching no opener", "{" * 300_000 + "]" * 300_000),
    ("escaped quotes on every line", '\\"\n' * 300_000),
]


@pytest.mark.parametrize("text", [p[1] for p in PATHOLOGICAL],
                         ids=[p[0] for p in PATHOLOGICAL])
def test_pathological_text_is_answered(raw, text):
    uri = "file:///p.qel"
    raw.send(INITIALIZE + notification("initialized") + notification(
        "textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": "qel", "version": 1, "text": text}}))
    raw.read_answer()
    methods = ["textDocument/hover", "textDocument/completion",
               "textDocument/definition"]
    for i, method in enumerate(methods, start=2):
        raw.send(request(i, method, {"textDocument": {"uri": uri},
                                     "position": {"line": 0,
                                                  "character": 100_000}}))
        # A generous bound that only a hang exceeds; bench/bench_lsp.py times it.
        answer = raw.read_answer(timeout=20)
        assert answer["id"] == i and "error" not in answer


BAD_NUMBERS = [1.5, "3", -1, 2 ** 40, 1e300, None, [0]]


def test_positions_that_are_not_unsigned_integers_are_invalid_params(raw):
    uri = "file:///n.qel"
    raw.send(INITIALIZE + notification("initialized") + notification(
        "textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": "qel", "version": 1.5, "text": MINIMAL}}))
    raw.read_answer()
    assert raw.read()["params"]["version"] == 0  # a bad version is passed over
    methods = ["textDocument/hover", "textDocument/completion",
               "textDocument/definition", "textDocument/references"]
    sent = [(id_, method, field, value) for id_, (method, field, value)
            in enumerate(((m, f, v) for v in BAD_NUMBERS
                          for f in ["line", "character"] for m in methods),
                         start=2)]
    for id_, method, field, value in sent:
        raw.send(request(id_, method, {
            "textDocument": {"uri": uri},
            "position": {"line": 3, "character": 4, field: value},
            "context": {"includeDeclaration": True}}))
    for id_, method, field, value in sent:
        answer = raw.read_answer()
        assert (answer["id"], answer.get("error", {}).get("code")) == \
            (id_, -32602), (method, field, value)
    # A range edit at a bad position is not applied: the next message is
    # the answer, with no diagnostics for a changed text before it.
    for value in BAD_NUMBERS:
        edit = {"start": {"line": 0, "character": 0},
                "end": {"line": value, "character": 0}}
        raw.send(notification("textDocument/didChange", {
            "textDocument": {"uri": uri, "version": 2},
            "contentChanges": [{"range": edit, "text": "x"}]}))
    raw.send(request(99, "textDocument/hover", {
        "textDocument": {"uri": uri},
        "position": {"line": 5, "character": 5}}))
    answer = raw.read()
    assert answer["id"] == 99 and "owner" in answer["result"]["contents"]["value"]
