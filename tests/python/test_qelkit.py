"""qelkit: compiled contracts equal the module functions, sessions carry state
as one execute of the whole request list would, checked inputs, threads,
Ctrl-C, and the stubs."""
import ast
import importlib.util
import inspect
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import given, settings, strategies as st

import qel
import qelkit
from conftest import MINIMAL
from test_corpus import CONTRACTS, find_requests, read_text

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "qelkit-stubs" / "__init__.pyi"
QEL = shutil.which("qel")
REQUESTS = find_requests(CONTRACTS)


def outcome(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except ValueError as e:
        return f"ValueError: {e}"


# ---- One Contract, the same texts as the module functions ---------------------

@pytest.mark.parametrize("name", CONTRACTS)
def test_contract_methods_equal_the_module_functions(name):
    text = read_text(CONTRACTS[name])
    compiled = outcome(qelkit.Contract, text)
    if isinstance(compiled, str):
        assert compiled == outcome(qel.parse_contract, text)
        return
    assert compiled.to_json() == qel.parse_contract(text)
    assert compiled.normalize() == qel.normalize(text)
    assert compiled.verify() == qel.verify(text)
    assert compiled.semantic_hash == qel.semantic_hash(text)
    model = json.loads(compiled.to_json())["identity"]
    assert (compiled.stable_id, compiled.version) == (model["stable_id"],
                                                      model["version"])
    for contract_name, path in REQUESTS.values():
        if contract_name == name:
            requests = read_text(path)
            assert outcome(compiled.execute, requests) == outcome(
                qel.execute, text, requests)
    if QEL is not None and not text.startswith("\ufeff"):
        fmt = subprocess.run([QEL, "fmt", "-"], input=text.encode(),
                             capture_output=True)
        if fmt.returncode == 0:
            assert compiled.format() == fmt.stdout.decode()


def test_a_contract_is_immutable_and_its_errors_are_value_errors():
    contract = qelkit.Contract(MINIMAL)
    with pytest.raises(AttributeError):
        contract.stable_id = "other"
    with pytest.raises(AttributeError):
        contract.extra = 1
    with pytest.raises(TypeError):
        qelkit.Contract(MINIMAL.encode())
    for state, message in [("[1]", "State must be a JSON object"),
                           ("{", "Invalid state: "),
                           ("7", "State must be a JSON object")]:
        with pytest.raises(ValueError, match=message):
            contract.session(state=state)
    session = contract.session()
    session.run('{"operation": "bump", "inputs": {"count": 4}}')
    before = (session.state, session.next_sequence)
    # A malformed second request fails the call after the first one ran:
    # the session is left as it was before the call.
    with pytest.raises(ValueError, match="'operation' field"):
        session.run('[{"operation": "bump", "inputs": {"count": 5}}, {}]')
    assert (session.state, session.next_sequence) == before


def test_utf8_copied_from_the_initial_state_makes_a_valid_str():
    # The initial state's text is written once per contract and copied into
    # results; the UTF-8 it holds must still be decoded, not taken as ASCII.
    text = MINIMAL.replace("count: Integer = 0",
                           'count: Integer = 0, note: String = "caf\u00e9 \u2615"')
    requests = '{"operation": "bump", "inputs": {"count": 1}}'
    plain = qel.execute(text, requests)
    assert json.loads(plain)["final_state"]["note"] == "caf\u00e9 \u2615"
    assert qelkit.Contract(text).execute(requests) == plain
    assert qelkit.Contract(text).session().run(requests) == plain


# ---- Sessions: splitting a request list changes nothing -------------------------

EXTRA_VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-2**70, max_value=2**70),
    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=4),
    st.lists(st.integers(), max_size=2))
REQUEST = st.builds(
    lambda count, extra: {"operation": "bump", "inputs": {"count": count, **extra}},
    st.integers(min_value=-1, max_value=50),
    st.dictionaries(st.sampled_from(["a", "b", "note"]), EXTRA_VALUES, max_size=2))


@settings(max_examples=60, deadline=None)
@given(st.lists(REQUEST, max_size=8), st.data())
def test_running_pieces_in_one_session_equals_one_execute(requests, data):
    cuts = sorted(data.draw(st.lists(st.integers(0, len(requests)), max_size=3)))
    pieces = [requests[a:b] for a, b in zip([0] + cuts, cuts + [len(requests)])]
    contract = qelkit.Contract(MINIMAL)
    whole = json.loads(qel.execute(MINIMAL, json.dumps(requests)))
    session = contract.session()
    # A stored session resumed in a new one runs on exactly as the original.
    resumed = contract.session()
    entries, failed = [], False
    for piece in pieces:
        if failed:
            break
        state_before = json.loads(session.state)
        text = json.dumps(piece)
        got = json.loads(session.run(text))
        assert json.loads(resumed.run(text)) == got
        resumed = contract.session(state=session.state,
                                   next_sequence=session.next_sequence)
        entries += got["provenance"]["entries"]
        assert json.loads(session.state) == got["final_state"]
        if not got["success"]:
            # The failed request left the state as it was before it.
            earlier = got["operations"][:-1]
            assert got["final_state"] == (earlier[-1]["state"] if earlier
                                          else state_before)
            failed = True
    assert entries == whole["provenance"]["entries"]
    assert json.loads(session.state) == whole["final_state"]
    assert session.next_sequence == len(entries)


# ---- Checked inputs ------------------------------------------------------------

TYPED = MINIMAL.replace("parameters: { count: Integer }", """parameters: {
          i: Integer, f: Float, s: String, b: Boolean, e: Enum ["a", "b"],
          a: Array<Integer>, m: Map<String, Boolean>,
          o: Object { x: Integer, y: String }, t: ISO8601, u: UUID
        }""")
VALID = {"i": 1, "f": 1.5, "s": "x", "b": True, "e": "a", "a": [1],
         "m": {"k": False}, "o": {"x": 1, "y": "z"},
         "t": "2026-01-15T10:30:00Z", "u": "123e4567-e89b-12d3-a456-426614174000"}

CHECKED = [
    # (input, value sent, the declared type named when refused, or None)
    ("i", 5, None), ("i", 5.0, "Integer"), ("i", "5", "Integer"),
    ("i", True, "Integer"), ("i", 2**64 - 1, "Integer"),
    ("f", 2, None), ("f", "1.5", "Float"),
    ("s", "", None), ("s", None, "String"),
    ("b", False, None), ("b", 0, "Boolean"),
    ("e", "b", None), ("e", "c", 'Enum ["a", "b"]'),
    ("a", [], None), ("a", [1, "x"], "Array<Integer>"),
    ("m", {}, None), ("m", {"k": 1}, "Map<String, Boolean>"),
    ("o", {"x": 1}, "Object { x: Integer, y: String }"),
    ("o", {"x": 1, "y": "z", "w": 0}, "Object { x: Integer, y: String }"),
    ("t", "2026-01-15", None), ("t", "yesterday", "ISO8601"),
    ("u", "123e4567-e89b-12d3-a456-42661417400g", "UUID"),
    ("count", 3, None),  # a state field
    ("zzz", 1, "neither"),
]


@pytest.mark.parametrize("name, value, refused", CHECKED)
def test_checked_inputs(name, value, refused):
    contract = qelkit.Contract(TYPED)
    request = json.dumps({"operation": "bump", "inputs": {**VALID, name: value}})
    # Unchecked, as the run time defines it, everything is merged.
    assert json.loads(contract.execute(request))["success"] is True
    result = json.loads(contract.execute(request, check_inputs=True))
    if refused is None:
        assert result["success"] is True
    elif refused == "neither":
        assert result["error"] == (f"Execution error: Input '{name}' of operation "
                                   "'bump' is neither a parameter nor a state field")
    else:
        assert result["error"] == (
            f"Execution error: Input '{name}' of operation 'bump' must be "
            f"{refused}, got {json.dumps(value, separators=(',', ':'), sort_keys=True)}")
        assert result["final_state"] == json.loads(contract.session().state)


def test_checked_inputs_must_be_an_object():
    result = json.loads(qelkit.Contract(TYPED).execute(
        '{"operation": "bump", "inputs": [1]}', check_inputs=True))
    assert result["error"] == ("Execution error: Inputs of operation 'bump' "
                               "must be an object, got [1]")


# ---- Threads and Ctrl-C ------------------------------------------------------------

def test_threads_sharing_a_contract_get_the_single_thread_results():
    text = read_text(CONTRACTS["account_transfers"])
    requests = read_text(REQUESTS["account_transfers"][1])
    contract = qelkit.Contract(text)
    expected = (contract.verify(), contract.execute(requests))
    session = qelkit.Contract(MINIMAL).session()

    def work(_):
        numbers = []
        for n in range(50):
            result = json.loads(session.run(json.dumps(
                {"operation": "bump", "inputs": {"count": n}})))
            numbers += [e["sequence"] for e in result["provenance"]["entries"]]
        return contract.verify(), contract.execute(requests), numbers

    with ThreadPoolExecutor(4) as pool:
        done = list(pool.map(work, range(4)))
    assert [d[:2] for d in done] == [expected] * 4
    # One session call at a time: every number given once.
    assert sorted(n for d in done for n in d[2]) == list(range(200))


def test_ctrl_c_stops_a_long_call():
    contract = qelkit.Contract(MINIMAL)
    requests = "[" + ",".join(['{"operation":"bump","inputs":{"count":1}}']
                              * 1_000_000) + "]"
    # The lock is released while the core runs, so a thread can send it.
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        contract.execute(requests)
    # Generous: an early stop, not an exception raised after the call.
    assert time.monotonic() - started < 2.0
    timer.join()


# ---- Stubs ---------------------------------------------------------------------

def test_the_stubs_list_the_module_exactly():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    assert ast.get_docstring(tree) == qelkit.__doc__
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    functions = {n.name: n for n in tree.body
                 if isinstance(n, ast.FunctionDef)}
    assert sorted([*classes, *functions]) == sorted(
        n for n in vars(qelkit) if not n.startswith("__"))
    for name, fn in functions.items():
        assert ast.get_docstring(fn) == inspect.getdoc(getattr(qelkit, name))
    for name, node in classes.items():
        members = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)
                   and m.name != "__new__"}
        cls = getattr(qelkit, name)
        assert sorted(members) == sorted(n for n in vars(cls)
                                         if not n.startswith("__"))
        for member, fn in members.items():
            assert ast.get_docstring(fn) == inspect.getdoc(getattr(cls, member))


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                    reason="mypy is not installed")
def test_mypy_strict_uses_the_stubs(tmp_path):
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / "qelkit.pyi")
    client = tmp_path / "client.py"
    client.write_text("""
import qelkit

def run(text: str, requests: str) -> str:
    contract = qelkit.Contract(text)
    session = contract.session(state=contract.session().state)
    return contract.execute(requests, check_inputs=True) + session.run(requests)

version: str = qelkit.Contract("x").version
""", encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         str(client)], capture_output=True, text=True, cwd=tmp_path,
        env={"MYPYPATH": str(stubs), "PATH": "/usr/bin:/bin"})
    assert result.returncode == 1
    assert result.stdout.count("error:") == 1
    assert 'expression has type "int", variable has type "str"' in result.stdout
