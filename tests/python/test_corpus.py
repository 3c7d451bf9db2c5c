"""The conformance corpus: every example and every contract of
tests/corpus/contracts/ against its expected outputs (tests/corpus/expected/),
through the Python module and through the `qel` command.

An expected file holds the exact text a function returns, or
"ValueError: " followed by the message of the ValueError it raises. The files
are regenerated only deliberately, with tools/refresh_corpus.py."""
import collections
import hashlib
import json
import pathlib
import re
import shutil
import subprocess

import pytest

import qel

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPUS = ROOT / "tests" / "corpus"
EXPECTED = CORPUS / "expected"
EXAMPLES = ROOT / "examples"
QEL = shutil.which("qel")
TEXT_FUNCTIONS = ("parse_contract", "normalize", "semantic_hash", "verify")
VALUE_ERROR = "ValueError: "

needs_command = pytest.mark.skipif(
    QEL is None, reason="the qel executable is not on PATH")


def read_text(path):
    # Exactly as stored: no newline translation, a leading BOM kept.
    return path.read_bytes().decode("utf-8")


def find_contracts():
    found = {}
    for folder in (EXAMPLES, CORPUS / "contracts"):
        for path in sorted(folder.glob("*.qel")):
            assert path.stem not in found, f"two contracts named {path.stem}"
            found[path.stem] = path
    return dict(sorted(found.items()))


def find_requests(contracts):
    """{item: (contract name, requests path)}; the item is NAME for
    NAME.requests.json and NAME.VARIANT for NAME.requests.VARIANT.json."""
    requests = {}
    for name, path in contracts.items():
        plain = path.with_name(name + ".requests.json")
        if plain.exists():
            requests[name] = (name, plain)
        for variant in sorted(path.parent.glob(name + ".requests.*.json")):
            suffix = variant.name[len(name + ".requests."):-len(".json")]
            requests[f"{name}.{suffix}"] = (name, variant)
    return requests


CONTRACTS = find_contracts()
REQUESTS = find_requests(CONTRACTS)


def expected_file(item, function):
    # NAME.VARIANT items of execute are stored as NAME.execute.VARIANT.txt.
    name, _, variant = item.partition(".")
    suffix = "." + variant if variant else ""
    return EXPECTED / f"{name}.{function}{suffix}.txt"


def expected(item, function):
    return read_text(expected_file(item, function))


def outcome(call):
    try:
        return call()
    except ValueError as error:
        return VALUE_ERROR + str(error)


def parses(name):
    return not expected(name, "normalize").startswith(VALUE_ERROR)


PARSED = [name for name in CONTRACTS if parses(name)]


def read_same_outputs():
    relations = []
    for line in read_text(CORPUS / "same_outputs.txt").splitlines():
        if line.strip() and not line.startswith("#"):
            function, *items = line.split()
            relations.append((function, items))
    return relations


SAME_OUTPUTS = read_same_outputs()


# ---------------------------------------------------------------- coverage ---

def test_every_example_and_its_requests_are_covered():
    for path in EXAMPLES.glob("*.qel"):
        for function in TEXT_FUNCTIONS:
            assert expected_file(path.stem, function).exists()
        if path.with_name(path.stem + ".requests.json").exists():
            assert expected_file(path.stem, "execute").exists()


def test_expected_files_are_exactly_the_corpus_outputs():
    wanted = {expected_file(name, function).name
              for name in CONTRACTS for function in TEXT_FUNCTIONS}
    wanted |= {expected_file(item, "execute").name for item in REQUESTS}
    assert sorted(p.name for p in EXPECTED.glob("*.txt")) == sorted(wanted)


def test_every_related_item_exists():
    for function, items in SAME_OUTPUTS:
        assert function in TEXT_FUNCTIONS + ("execute",)
        assert len(items) >= 2
        for item in items:
            assert item in (REQUESTS if function == "execute" else CONTRACTS)


# ------------------------------------------------------- the Python module ---

@pytest.mark.parametrize("function", TEXT_FUNCTIONS)
@pytest.mark.parametrize("name", CONTRACTS)
def test_module_output(name, function):
    text = read_text(CONTRACTS[name])
    assert outcome(lambda: getattr(qel, function)(text)) == expected(
        name, function)


@pytest.mark.parametrize("item", REQUESTS)
def test_module_execute(item):
    name, requests = REQUESTS[item]
    text, inputs = read_text(CONTRACTS[name]), read_text(requests)
    assert outcome(lambda: qel.execute(text, inputs)) == expected(
        item, "execute")


@pytest.mark.parametrize("function, items", SAME_OUTPUTS,
                         ids=[f"{f}-{items[0]}" for f, items in SAME_OUTPUTS])
def test_related_items_share_their_output(function, items):
    outputs = {expected(item, function) for item in items}
    assert len(outputs) == 1
    assert not outputs.pop().startswith(VALUE_ERROR)


def test_only_related_contracts_share_a_hash():
    groups = [set(items) for function, items in SAME_OUTPUTS
              if function == "normalize"]
    by_hash = collections.defaultdict(set)
    for name in PARSED:
        by_hash[expected(name, "semantic_hash")].add(name)
    for names in by_hash.values():
        if len(names) > 1:
            assert any(names <= group for group in groups), sorted(names)


@pytest.mark.parametrize("name", PARSED)
def test_hash_is_sha256_of_the_canonical_text_with_a_zero_hash(name):
    digest = expected(name, "semantic_hash")
    assert re.fullmatch(r"[0-9a-f]{64}", digest)
    line = f'\n    semantic_hash: "{digest}",\n'
    canonical = expected(name, "normalize")
    assert canonical.count(line) == 1
    blanked = canonical.replace(line, f'\n    semantic_hash: "{"0" * 64}",\n')
    assert hashlib.sha256(blanked.encode("utf-8")).hexdigest() == digest


# The canonical form writes a float literal too large for a double as inf.0,
# which is not a literal of the language.
CANONICAL_TEXT_DOES_NOT_PARSE = {"float_too_large", "float_precision"}


@pytest.mark.parametrize("name", PARSED)
def test_normalizing_canonical_text_changes_nothing(name):
    canonical = expected(name, "normalize")
    if name in CANONICAL_TEXT_DOES_NOT_PARSE:
        with pytest.raises(ValueError, match="^Parse error: Unexpected "
                                             "character '.' at "):
            qel.normalize(canonical)
    else:
        assert qel.normalize(canonical) == canonical


# --------------------------------------------------------- the qel command ---

PARSE_ERROR = re.compile(r"ValueError: Parse error: (.*) at (\d+):(\d+)",
                         re.DOTALL)


def run_command(*args):
    return subprocess.run([QEL, *map(str, args)], capture_output=True)


def printable(text):
    """Control characters as the command line shows them, never raw."""
    return "".join(f"\\u{{{ord(c):x}}}" if (ord(c) < 0x20 and c != "\t")
                   or 0x7F <= ord(c) < 0xA0 else c for c in text)


def failed_run(want):
    """Whether `want` is an execution result with a failed request."""
    try:
        document = json.loads(want)
    except ValueError:  # a canonical text or a hash
        return False
    return isinstance(document, dict) and document.get("success") is False


def check_command_output(result, want, culprit):
    """A ValueError becomes exit status 1 and the diagnostic on stderr:
    "PATH:LINE:COLUMN: error[CODE]: MESSAGE" with the source line and a
    caret for a parse error, "PATH: error[KIND]: TEXT" for the others."""
    if want.startswith(VALUE_ERROR):
        assert result.stdout == b""
        error = want[len(VALUE_ERROR):]
        parse_error = PARSE_ERROR.fullmatch(want)
        first_line = result.stderr.decode("utf-8").split("\n", 1)[0]
        if parse_error:
            message, line, column = parse_error.groups()
            assert re.fullmatch(
                re.escape(f"{culprit}:{line}:{column}: error[")
                + r"(P00[123]|V102)" + re.escape(f"]: {printable(message)}"),
                first_line), first_line
        else:
            kind = error.split(" ", 1)[0].lower()
            if kind == "execution":
                # qel run puts a request error at its place in the file.
                error = re.sub(r" at line \d+ column \d+$", "", error)
                first_line = re.sub(rf"^{re.escape(str(culprit))}:\d+:\d+: ",
                                    f"{culprit}: ", first_line)
            assert first_line == f"{culprit}: error[{kind}]: {error}"
        assert result.returncode == 1
        return False
    if failed_run(want):
        # A failed request is named in one line on standard error, and
        # an unknown operation gets a help line after it.
        assert re.fullmatch(rf"{re.escape(str(culprit))}:\d+:\d+: "
                            r"error\[execution\]: request \d+ .*\n"
                            r"(help: .*\n)?",
                            result.stderr.decode("utf-8"))
        return True
    assert result.stderr == b""
    return True


def command_sees(path):
    """The command line drops a byte order mark; the module does not."""
    return read_text(path).startswith("\ufeff")


def parses(text):
    try:
        qel.semantic_hash(text)
    except ValueError:
        return False
    return True


@needs_command
@pytest.mark.parametrize("name", CONTRACTS)
def test_command_parse_normalize_and_hash(name):
    path = CONTRACTS[name]
    for command, function in (("parse", "parse_contract"),
                              ("normalize", "normalize"),
                              ("hash", "semantic_hash")):
        result = run_command(command, path)
        if command_sees(path):
            want = outcome(lambda: getattr(qel, function)(read_text(path)[1:]))
        else:
            want = expected(name, function)
        if (command == "normalize" and not want.startswith(VALUE_ERROR)
                and not parses(want)):
            # The canonical form writes a Float too large for a double as
            # inf.0, which does not parse: the command refuses to show or
            # write such a text.
            assert result.returncode == 2
            assert result.stdout == b""
            assert b"is too large for a double and is written as inf.0" \
                in result.stderr
            continue
        if check_command_output(result, want, path):
            if command == "hash":
                want = f"{want}  {path}\n"
            elif command == "parse":
                want += "\n"
            assert result.stdout.decode("utf-8") == want
            assert result.returncode == 0


@needs_command
@pytest.mark.parametrize("item", REQUESTS)
def test_command_run(item):
    name, requests = REQUESTS[item]
    result = run_command("run", CONTRACTS[name], requests)
    want = expected(item, "execute")
    # The contract is parsed (to the model, like parse_contract) before the
    # requests are read.
    lowered = not expected(name, "parse_contract").startswith(VALUE_ERROR)
    culprit = requests if lowered else CONTRACTS[name]
    if check_command_output(result, want, culprit):
        assert result.stdout.decode("utf-8") == want + "\n"
        assert result.returncode == (0 if json.loads(want)["success"] else 1)


@needs_command
@pytest.mark.parametrize("name", CONTRACTS)
def test_command_check_agrees_with_verify(name):
    result = run_command("check", "--format", "json", CONTRACTS[name])
    report = json.loads(result.stdout)
    [file] = report["files"]
    path = CONTRACTS[name]
    if command_sees(path):
        want = outcome(lambda: qel.verify(read_text(path)[1:]))
    else:
        want = expected(name, "verify")
    if want.startswith(VALUE_ERROR):
        message, line, column = PARSE_ERROR.fullmatch(want).groups()
        assert (file["parsed"], file["valid"]) == (False, False)
        [finding] = file["diagnostics"]
        assert {k: finding[k] for k in ("severity", "kind", "message", "line",
                                        "column")} == {
            "severity": "error", "kind": "parse", "message": message,
            "line": int(line), "column": int(column)}
        assert finding["code"] in ("P001", "P002", "P003")
        assert (finding["end_line"], finding["end_column"]) >= (
            finding["line"], finding["column"])
        assert result.returncode == 1
        return
    verdict = json.loads(want)
    assert (file["parsed"], file["valid"]) == (True, verdict["valid"])
    for severity, listed in (("error", verdict["errors"]),
                             ("warning", verdict["warnings"])):
        found = [{"kind": d["kind"], "message": d["message"],
                  "severity": d["severity"]}
                 for d in file["diagnostics"]
                 if d["severity"] == severity and d["kind"] != "lint"]
        assert found == listed
    assert result.returncode == (0 if verdict["valid"] else 1)
