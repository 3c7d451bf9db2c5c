import importlib
import inspect
import json
import os
import random
import signal
import sys
import time

import pytest

import qel

from conftest import MINIMAL

FUNCTION_ORDER = ["parse_contract", "normalize", "verify", "execute",
                  "semantic_hash"]


def test_module_docstring_and_name():
    assert qel.__name__ == "qel"
    assert qel.__doc__ == ("QEL Python module \u2014 deterministic intent "
                           "contract runtime")


def test_module_holds_only_its_functions():
    public = [n for n in vars(qel) if not n.startswith("__")]
    # Functions appear in the order they were added at initialisation.
    expected = [n for n in FUNCTION_ORDER if hasattr(qel, n)]
    assert public == expected
    assert "parse_contract" in public
    for name in public:
        assert callable(getattr(qel, name))


def test_reimport_returns_the_same_module_object():
    first = sys.modules["qel"]
    del sys.modules["qel"]
    try:
        again = importlib.import_module("qel")
        assert again is first
    finally:
        sys.modules["qel"] = first


def test_sub_interpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        code = ("try:\n"
                "    import qel\n"
                "except ImportError as e:\n"
                "    assert 'sub-interpreters are not supported' in str(e), e\n"
                "else:\n"
                "    raise AssertionError('import succeeded')\n")
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


PARSE_CONTRACT_DOC = """parse_contract(text)
--

Parse QEL contract text and return a JSON string of the parsed Contract.

Args:
    text: QEL contract source text

Returns:
    JSON string representation of the parsed Contract

Raises:
    ValueError: If the contract text has syntax or semantic errors"""


def test_parse_contract_docstring_and_signature():
    # The interpreter strips the signature lines from __doc__ and keeps them
    # in __text_signature__.
    assert qel.parse_contract.__text_signature__ == "(text)"
    assert qel.parse_contract.__doc__ == PARSE_CONTRACT_DOC.split("\n", 3)[3]
    assert str(inspect.signature(qel.parse_contract)) == "(text)"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((b"Contract",), {}),
        ((None,), {}),
        ((MINIMAL, MINIMAL), {}),
        ((), {"source": MINIMAL}),
        ((MINIMAL,), {"text": MINIMAL}),
        ((), {"text": MINIMAL, "extra": 1}),
    ],
    ids=["missing", "bytes", "none", "extra-positional", "unknown-keyword",
         "duplicate", "extra-keyword"],
)
def test_parse_contract_argument_errors(args, kwargs):
    with pytest.raises(TypeError) as info:
        qel.parse_contract(*args, **kwargs)
    assert "parse_contract" in str(info.value) or "text" in str(info.value)


def test_keyword_and_positional_calls_agree():
    assert qel.parse_contract(text=MINIMAL) == qel.parse_contract(MINIMAL)


# Texts of each kind of str, short and across the pieces the module
# encodes and decodes at a time (a million characters), read and written
# back character for character, the result a str of the kind its widest
# character needs (so that it compares equal to the same text made anew).
@pytest.mark.parametrize("piece", ["\u00e9t\u00e9", "\u20ac5", "\U0001f642!"])
@pytest.mark.parametrize("repeat", [1, 400_000])
def test_text_of_every_str_kind_round_trips(piece, repeat):
    narrative = "a" + piece * repeat
    text = MINIMAL.replace('narrative: "', 'narrative: "' + narrative, 1)
    assert text != MINIMAL
    out = qel.parse_contract(text)
    assert out == out.encode().decode()
    assert json.loads(out)["purpose_statement"]["narrative"].startswith(narrative)
    assert narrative in qel.normalize(text)


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        qel.parse_contract("Contract {\ud800")


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "Parse error: Expected Contract, found Eof at 1:1"),
        ("Contract { %", "Parse error: Unexpected character '%' at 1:12"),
        ("x \u00e9", "Parse error: Unexpected character '\u00e9' at 1:3"),
        ("Contract {\n  Identity {\n    owner \"x\"\n",
         "Parse error: Expected Colon, found StringLiteral(\"x\") at 3:11"),
    ],
)
def test_parse_errors_are_plain_value_errors(text, message):
    with pytest.raises(ValueError) as info:
        qel.parse_contract(text)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_parse_contract_json_shape():
    doc = json.loads(qel.parse_contract(MINIMAL))
    assert list(doc) == ["identity", "purpose_statement", "data_semantics",
                         "behavioral_semantics", "execution_constraints",
                         "human_machine_contract"]
    assert list(doc["identity"]) == ["stable_id", "version",
                                     "created_timestamp", "owner",
                                     "semantic_hash"]
    assert doc["identity"]["created_timestamp"] == "2026-01-15T10:30:00Z"
    assert doc["data_semantics"]["state"] == {
        "count": {"default": 0, "type": "Integer"}}
    assert doc["behavioral_semantics"]["operations"][0]["parameters"] == {
        "count": "Integer"}


EXPECTED_MINIMAL_JSON = """{
  "identity": {
    "stable_id": "demo-contract",
    "version": 1,
    "created_timestamp": "2026-01-15T10:30:00Z",
    "owner": "team",
    "semantic_hash": "abc"
  },
  "purpose_statement": {
    "narrative": "n",
    "intent_source": "i",
    "confidence_level": 0.5
  },
  "data_semantics": {
    "state": {
      "count": {
        "default": 0,
        "type": "Integer"
      }
    },
    "invariants": [
      "count >= 0"
    ]
  },
  "behavioral_semantics": {
    "operations": [
      {
        "name": "bump",
        "precondition": "count >= 0",
        "parameters": {
          "count": "Integer"
        },
        "postcondition": "count >= 0",
        "side_effects": [],
        "idempotence": "no"
      }
    ]
  },
  "execution_constraints": {
    "trigger_types": [
      "manual"
    ],
    "resource_limits": {
      "max_memory_bytes": 1024,
      "computation_timeout_ms": 1000,
      "max_state_size_bytes": 1024
    },
    "external_permissions": [],
    "sandbox_mode": "full_isolation"
  },
  "human_machine_contract": {
    "system_commitments": [],
    "system_refusals": [],
    "user_obligations": []
  }
}"""


def test_parse_contract_exact_text():
    assert qel.parse_contract(MINIMAL) == EXPECTED_MINIMAL_JSON


def test_version_above_u32_is_refused():
    text = MINIMAL.replace("version: 1", "version: 4294967296")
    with pytest.raises(ValueError) as info:
        qel.parse_contract(text)
    assert str(info.value) == (
        "Parse error: version 4294967296 is out of range "
        "(maximum 4294967295) at 4:14")
    ok = MINIMAL.replace("version: 1", "version: 4294967295")
    assert json.loads(qel.parse_contract(ok))["identity"]["version"] == 4294967295


@pytest.mark.parametrize("depth, ok", [(127, True), (128, False)])
def test_type_nesting_limit(depth, ok):
    ty = "Array<" * depth + "Integer" + ">" * depth
    text = MINIMAL.replace("count: Integer = 0", f"deep: {ty}")
    if ok:
        state = json.loads(qel.parse_contract(text))["data_semantics"]["state"]
        assert state["deep"] == ty
    else:
        with pytest.raises(ValueError, match=r"Nesting too deep \(maximum 128 levels\)"):
            qel.parse_contract(text)


def test_huge_nesting_does_not_crash():
    text = MINIMAL.replace("count: Integer = 0",
                           "deep: Integer = " + "[" * 1_000_000)
    with pytest.raises(ValueError, match="Nesting too deep"):
        qel.parse_contract(text)


def test_results_are_independent_of_the_locale():
    import locale
    saved = locale.setlocale(locale.LC_ALL)
    try:
        for name in ("de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"):
            try:
                locale.setlocale(locale.LC_ALL, name)
                break
            except locale.Error:
                continue
        text = MINIMAL.replace("0.5", "0.125")
        assert '"confidence_level": 0.125' in qel.parse_contract(text)
    finally:
        locale.setlocale(locale.LC_ALL, saved)


@pytest.mark.parametrize("name", FUNCTION_ORDER)
def test_str_arguments_are_not_left_bigger(name):
    # Non-ASCII text is read through a UTF-8 copy that must not stay cached
    # in the caller's str for as long as the str lives.
    text = MINIMAL.replace('narrative: "n"', 'narrative: "' + "\u00e9" * 100_000 + '"')
    inputs = '{"operation": "bump", "inputs": {"count": 1, "note": "\u20ac"}}'
    args = (text, inputs) if name == "execute" else (text,)
    sizes = [sys.getsizeof(a) for a in args]
    getattr(qel, name)(*args)
    assert [sys.getsizeof(a) for a in args] == sizes


def test_lists_longer_than_a_sorting_run_sort_as_short_ones():
    # Past 32,768 items a list is sorted in runs that are then merged, so
    # that Ctrl-C need not wait for the whole sort; the order must be the
    # one a single sort gives, in every function that sorts.
    names = [f"f{i:05d}" for i in range(70_000)]
    shuffled = random.Random(5).sample(names, len(names))

    def contract(order):
        order = order + [names[123]]  # one repeated name
        fields = "".join(f"      {n}: Integer\n" for n in order)
        invariants = ", ".join(f'"{n} >= 0"' for n in order if n[-1] in "05")
        return (MINIMAL.replace("state: { count: Integer = 0 }",
                                "state: {\n      count: Integer = 0\n" + fields + "    }")
                .replace('invariants: ["count >= 0"]', f"invariants: [{invariants}]"))

    ordered, mixed = contract(names), contract(shuffled)
    assert qel.normalize(mixed) == qel.normalize(ordered)
    assert list(json.loads(qel.parse_contract(mixed))["data_semantics"]["state"]) == \
        ["count"] + names
    assert json.loads(qel.verify(mixed)) == json.loads(qel.verify(ordered)) == {
        "errors": [{"kind": "coherence", "message": "duplicate state field name 'f00123'",
                    "severity": "error"}],
        "valid": False, "warnings": []}


# ---- Ctrl-C in every phase of a long call -----------------------------------

# Large enough that each phase lasts some tens of milliseconds of processor
# time, a few timer ticks; the euro sign makes every result a UTF-8 one,
# which the module decodes.
LONG_CALL_BYTES = 16_000_000


@pytest.fixture(scope="module")
def long_calls():
    """The contract, and the processor seconds of its parse and of each
    whole call: the parse is timed through a version that parse_contract
    refuses once the whole text has parsed."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
    import generate
    text = generate.contract(LONG_CALL_BYTES).replace("journal entry", "journal \u20ac entry")
    refused = text.replace("version: 42", "version: 99999999999", 1)
    args = {name: (text, "[]") if name == "execute" else (text,) for name in FUNCTION_ORDER}

    def cpu_seconds(fn, args):
        best = float("inf")
        for _ in range(2):
            start = time.process_time()
            try:
                fn(*args)
            except ValueError:
                pass
            best = min(best, time.process_time() - start)
        return best

    parse = cpu_seconds(qel.parse_contract, (refused,))
    whole = {name: cpu_seconds(getattr(qel, name), args[name]) for name in FUNCTION_ORDER}
    return args, parse, whole


def interrupt_after(fn, args, seconds):
    """Calls fn(*args) with a timer due after `seconds` of the process's
    processor time (which the timer counts, and which other work on the
    machine does not stretch) whose handler raises KeyboardInterrupt, as
    Ctrl-C's does. Returns how the call ended ("c_exception" or "c_return")
    and its processor seconds; KeyboardInterrupt must have come out of it
    in the first case."""
    ended = []

    def profile(frame, event, arg):
        if arg is fn and event in ("c_return", "c_exception"):
            ended.append((event, time.process_time()))

    def handler(signum, frame):
        # A signal handled once the call has returned (in the profile
        # function, as it notes the return) is not the call's.
        if not ended and frame.f_code is not profile.__code__:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGPROF, handler)
    start = time.process_time()
    interrupted = False
    try:
        sys.setprofile(profile)
        signal.setitimer(signal.ITIMER_PROF, seconds)
        try:
            fn(*args)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            signal.setitimer(signal.ITIMER_PROF, 0)
            sys.setprofile(None)
    finally:
        signal.signal(signal.SIGPROF, previous)
    event, at = ended[0]
    assert interrupted == (event == "c_exception")
    return event, at - start


# Where the signal lands: a fraction of the parse, or of what follows it.
@pytest.mark.parametrize("name,phase,within,fraction", [
    ("parse_contract", "parsing", "parse", 0.5),
    ("parse_contract", "writing the contract JSON", "rest", 0.3),
    ("parse_contract", "decoding the result", "rest", 0.9),
    ("normalize", "parsing", "parse", 0.5),
    ("normalize", "writing the canonical text", "rest", 0.2),
    ("normalize", "decoding the result", "rest", 0.9),
    ("semantic_hash", "parsing", "parse", 0.5),
    ("semantic_hash", "writing and hashing the canonical text", "rest", 0.5),
    ("verify", "parsing", "parse", 0.5),
    ("verify", "checking", "rest", 0.5),
    ("execute", "parsing", "parse", 0.5),
    ("execute", "lowering", "rest", 0.15),
    ("execute", "compiling, before the first request", "rest", 0.45),
    ("execute", "freeing the model, the result written", "rest", 0.9),
])
def test_ctrl_c_stops_the_call_in_every_phase(long_calls, name, phase, within, fraction):
    args, parse, whole = long_calls
    fn = getattr(qel, name)
    first, length = (0.0, parse) if within == "parse" else (parse, whole[name] - parse)
    for _ in range(3):
        due = first + fraction * length
        event, seconds = interrupt_after(fn, args[name], due)
        if event == "c_exception":
            return
        # Ran to completion: a fault when the signal was due well before the
        # end; otherwise this machine ran faster than measured: aim earlier.
        assert seconds < due + 0.01, f"{name} ran on through {phase}"
        fraction /= 2
    pytest.fail(f"{name}: the signal never came before the end of {phase}")
