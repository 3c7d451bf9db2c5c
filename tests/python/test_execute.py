"""qel.execute: binding, errors of the whole call, and the execution result."""
import inspect
import json
import os
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings, strategies as st

import qel

ACCOUNT = """Contract {
  Identity {
    stable_id: "acct-001"
    version: 1
    created_timestamp: 2026-01-15T10:30:00Z
    owner: "team"
    semantic_hash: "0"
  }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics {
    state: {
      balance: Integer = 100
      rate: Float = 0.5
      owner: String
      opened: ISO8601 = 2026-01-15T10:30:00Z
      tags: Array<String> = ["a"]
      frozen: Boolean
    }
    invariants: ["balance >= 0", "balance <= 1000"]
  }
  BehavioralSemantics {
    operations: [
      { name: "withdraw" precondition: "amount > 0"
        parameters: { amount: Integer } postcondition: "balance >= 0"
        side_effects: [] idempotence: "no" }
      { name: "set_balance" precondition: "balance >= 0"
        parameters: { balance: Integer } postcondition: "balance is not empty"
        side_effects: [] idempotence: "no" }
      { name: "note" precondition: "" parameters: { } postcondition: ""
        side_effects: [] idempotence: "yes" }
    ]
  }
  ExecutionConstraints {
    trigger_types: ["manual"]
    resource_limits: { max_memory_bytes: 100000 computation_timeout_ms: 60000
                       max_state_size_bytes: 100000 }
    external_permissions: []
    sandbox_mode: "full_isolation"
  }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
}
"""

INITIAL_STATE = {
    "balance": 100,
    "frozen": False,
    "opened": "2026-01-15T10:30:00Z",
    "owner": "",
    "rate": 0.5,
    "tags": None,
}

DOCSTRING = """execute(text, inputs)
--

Execute an QEL contract with the given inputs.

Runs the contract in a sandboxed environment with:
  - Precondition evaluation
  - Resource limit enforcement
  - Postcondition verification
  - Full provenance logging

Args:
    text: QEL contract source text
    inputs: JSON string with execution inputs
        Single request: {"operation": "name", "inputs": {...}}
        Multiple: [{"operation": "name", "inputs": {...}}, ...]

Returns:
    JSON string with execution result including provenance log

Raises:
    ValueError: If the contract cannot be parsed, verified, or executed"""


def run(requests):
    return json.loads(qel.execute(ACCOUNT, json.dumps(requests)))


# ---- Binding -----------------------------------------------------------------


def test_docstring_and_signature():
    # The first three lines become the signature; the rest is the help text.
    assert qel.execute.__text_signature__ == "(text, inputs)"
    assert qel.execute.__doc__ == DOCSTRING.split("\n", 3)[3]
    assert str(inspect.signature(qel.execute)) == "(text, inputs)"


def test_keywords_work_like_positions():
    request = '{"operation": "note"}'
    positional = qel.execute(ACCOUNT, request)
    assert qel.execute(text=ACCOUNT, inputs=request) == positional
    assert qel.execute(ACCOUNT, inputs=request) == positional


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((ACCOUNT,), {}),
    ((ACCOUNT, "[]", "extra"), {}),
    ((ACCOUNT.encode(), "[]"), {}),
    ((ACCOUNT, b"[]"), {}),
    ((ACCOUNT, None), {}),
    ((ACCOUNT, ["x"]), {}),
    ((ACCOUNT,), {"input": "[]"}),
    ((ACCOUNT, "[]"), {"text": ACCOUNT}),
    ((), {"text": ACCOUNT}),
])
def test_bad_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        qel.execute(*args, **kwargs)


def test_unencodable_text_raises_before_running():
    with pytest.raises(UnicodeEncodeError):
        qel.execute(ACCOUNT, '{"operation": "\ud800"}')


# ---- Errors of the whole call --------------------------------------------------


def test_contract_parse_error_is_the_parser_message():
    broken = ACCOUNT.replace('owner: "team"', 'owner "team"')
    with pytest.raises(ValueError) as parse_failure:
        qel.parse_contract(broken)
    with pytest.raises(ValueError) as execute_failure:
        qel.execute(broken, "[]")
    assert str(execute_failure.value) == str(parse_failure.value)
    assert str(execute_failure.value).startswith("Parse error: Expected Colon, found ")
    assert type(execute_failure.value) is ValueError
    assert len(execute_failure.value.args) == 1


NOT_REQUESTS = "Execution error: Input must be a JSON object or array of objects"
NO_OPERATION = "Execution error: Each request must have an 'operation' field"


@pytest.mark.parametrize("inputs, message", [
    ("", NOT_REQUESTS),
    ("   \n\t ", NOT_REQUESTS),
    ("\u3000\u00a0", NOT_REQUESTS),
    ("operation", NOT_REQUESTS),
    ("42", NOT_REQUESTS),
    ('"{}"', NOT_REQUESTS),
    ("null", NOT_REQUESTS),
    ("\ufeff[]", NOT_REQUESTS),
    ("{}", NO_OPERATION),
    ("[1]", NO_OPERATION),
    ('[{"operation": ["note"]}]', NO_OPERATION),
    ('[{"operation": "note"}, {"name": "note"}]', NO_OPERATION),
    ('{"operation": }',
     "Execution error: Invalid JSON requests: syntax error while parsing value"
     " - unexpected '}'; expected '[', '{', or a literal at line 1 column 16"),
    ("[1e400]",
     "Execution error: Invalid JSON requests: number overflow parsing '1e400'"
     " at line 1 column 6"),
    ("[" * 129 + "]" * 129,
     "Execution error: Invalid JSON requests: nesting deeper than 128 levels"
     " at line 1 column 129"),
    # Requests are read one at a time, but the whole text is checked first.
    ("[" + '{"operation": "note"},' * 20000 + '{"operation": }]',
     "Execution error: Invalid JSON requests: syntax error while parsing value"
     " - unexpected '}'; expected '[', '{', or a literal at line 1 column"
     f" {1 + 22 * 20000 + 15}"),
    ("[" + '{"operation": "note"},' * 20000 + '{"name": "\u00e9"}]',
     NO_OPERATION),
])
def test_errors_of_the_whole_call(inputs, message):
    with pytest.raises(ValueError) as failure:
        qel.execute(ACCOUNT, inputs)
    assert str(failure.value) == message


def test_a_failed_operation_before_a_malformed_request_is_a_result():
    out = run([{"operation": "withdraw", "inputs": {"amount": 0}}, {"bad": 1}])
    assert out["success"] is False
    assert len(out["operations"]) == 1


# ---- Results ------------------------------------------------------------------------


def test_empty_request_list():
    assert qel.execute(ACCOUNT, "[]") == json.dumps({
        "contract_id": "acct-001",
        "success": True,
        "operations": [],
        "final_state": INITIAL_STATE,
        "provenance": {"entries": []},
        "error": None,
    }, indent=2)


def test_result_member_order_and_layout():
    out = qel.execute(ACCOUNT, '{"operation": "set_balance", "inputs": {"balance": 7}}')
    after = dict(INITIAL_STATE, balance=7)
    entry = {
        "sequence": 0,
        "operation": "set_balance",
        "inputs": {"balance": 7},
        "state_before": INITIAL_STATE,
        "state_after": after,
        "changes": [{"field": "balance", "old_value": 100, "new_value": 7}],
        "postconditions_verified": True,
        "invariants_verified": True,
    }
    assert out == json.dumps({
        "contract_id": "acct-001",
        "success": True,
        "operations": [{
            "operation": "set_balance",
            "success": True,
            "state": after,
            "error": None,
            "provenance": entry,
        }],
        "final_state": after,
        "provenance": {"entries": [entry]},
        "error": None,
    }, indent=2, ensure_ascii=False)


def nested_value(depth):
    value = "a line\nthat is longer than one vector of sixteen bytes"
    for level in range(depth):
        value = {f"k{level}": value, "z": [level, "x", {}]} if level % 2 else [value, level]
    return value


# States are copied into state_after and final_state at other indentations a
# vector at a time: lines of every length, at depths whose indentation
# crosses the widths the copy stores at once.
@pytest.mark.parametrize("depth", [0, 1, 6, 13, 14, 15, 16, 17, 60, 124])
def test_nested_values_keep_their_layout_in_every_copy(depth):
    requests = json.dumps([
        {"operation": "set_balance", "inputs": {"balance": 1, "deep": nested_value(depth)}},
        {"operation": "set_balance", "inputs": {"balance": 2}},
    ])
    out = qel.execute(ACCOUNT, requests)
    assert out == json.dumps(json.loads(out), indent=2, ensure_ascii=False)
    assert json.loads(out)["final_state"]["deep"] == nested_value(depth)


@pytest.mark.parametrize("request_", [
    {"operation": "withdraw", "inputs": {"amount": 5}},
    {"operation": "withdraw", "inputs": {"amount": -5}},
    {"operation": "withdraw"},
    {"operation": "missing", "inputs": {"x": 1}},
    {"operation": "note", "inputs": [1, 2]},
    {"operation": "note", "inputs": None, "comment": "ignored"},
])
def test_single_request_equals_one_element_array(request_):
    single = qel.execute(ACCOUNT, json.dumps(request_))
    assert single == qel.execute(ACCOUNT, json.dumps([request_]))
    assert single == qel.execute(ACCOUNT, "\n  " + json.dumps(request_) + "\u2028")


@pytest.mark.parametrize("request_, error", [
    ({"operation": "Withdraw", "inputs": {"amount": 5}},
     "Execution error: Operation 'Withdraw' not found in contract"),
    ({"operation": "withdraw"},
     "Execution error: Missing required parameter 'amount' for operation 'withdraw'"),
    ({"operation": "withdraw", "inputs": {"amount": -5}},
     "Execution error: Precondition failed for operation 'withdraw': amount > 0"),
    ({"operation": "withdraw", "inputs": {"amount": 5, "balance": -1}},
     "Contract violation - postcondition of 'withdraw': balance >= 0"),
    ({"operation": "set_balance", "inputs": {"balance": 2000}},
     "Contract violation - invariant: Violated invariants: balance <= 1000"),
    ({"operation": "set_balance", "inputs": {"balance": 0}},
     "Contract violation - postcondition of 'set_balance': balance is not empty"),
    ({"operation": "set_balance", "inputs": {"balance": "x"}},
     "Contract violation - invariant: Violated invariants: balance >= 0, balance <= 1000"),
])
def test_failed_operation_messages_and_rollback(request_, error):
    out = run([{"operation": "note", "inputs": {"seen": True}}, request_,
               {"operation": "note"}])
    assert out["success"] is False
    assert out["error"] == error
    assert [op["success"] for op in out["operations"]] == [True, False]
    failed = out["operations"][1]
    assert failed["error"] == error
    assert failed["provenance"] is None
    before = dict(INITIAL_STATE, seen=True)
    assert failed["state"] == before
    assert out["final_state"] == before
    assert [e["sequence"] for e in out["provenance"]["entries"]] == [0]


def test_precondition_reads_the_requests_own_parameter():
    out = run([
        {"operation": "withdraw", "inputs": {"amount": 5}},
        {"operation": "withdraw", "inputs": {"amount": 7}},
        {"operation": "withdraw", "inputs": {"amount": -5}},
    ])
    assert [op["success"] for op in out["operations"]] == [True, True, False]
    assert out["error"] == (
        "Execution error: Precondition failed for operation 'withdraw': amount > 0")
    # The earlier merge put amount 7 into the state; it stays there.
    assert out["final_state"]["amount"] == 7


def test_sequence_numbers_and_changes():
    out = run([
        {"operation": "note", "inputs": {"z": 1, "balance": 100}},
        {"operation": "note", "inputs": {"balance": 100.0, "a": "x", "rate": 0.5}},
    ])
    first, second = out["provenance"]["entries"]
    assert (first["sequence"], second["sequence"]) == (0, 1)
    assert first["changes"] == [{"field": "z", "old_value": None, "new_value": 1}]
    # Integer 100 replaced by Float 100.0 is a change; an equal Float is not.
    assert second["changes"] == [
        {"field": "balance", "old_value": 100, "new_value": 100.0},
        {"field": "a", "old_value": None, "new_value": "x"},
    ]
    assert out["operations"][1]["provenance"] == second


def test_large_integers_in_inputs_and_state():
    out = qel.execute(ACCOUNT, '{"operation": "note", "inputs": {"big": 18446744073709551615}}')
    entry = json.loads(out)["provenance"]["entries"][0]
    assert entry["inputs"]["big"] == 18446744073709551615
    assert entry["state_after"]["big"] == 1.8446744073709552e19
    assert '"big": 18446744073709551615' in out
    assert '"big": 1.8446744073709552e+19' in out


@pytest.mark.parametrize("inputs", [None, [1, {"a": 2}], 3, "text", True])
def test_inputs_that_are_not_objects(inputs):
    # An operation without parameters runs and merges nothing ...
    out = run({"operation": "note", "inputs": inputs})
    entry = out["provenance"]["entries"][0]
    assert entry["inputs"] == inputs
    assert entry["changes"] == []
    assert out["final_state"] == INITIAL_STATE
    # ... one with parameters finds none of them, before its precondition
    # (which would fail too).
    out = run({"operation": "withdraw", "inputs": inputs})
    assert out["error"] == (
        "Execution error: Missing required parameter 'amount' for operation 'withdraw'")
    assert out["provenance"]["entries"] == []


def test_unverifiable_contract_still_runs():
    faulty = ACCOUNT.replace("max_memory_bytes: 100000", "max_memory_bytes: 0")
    assert json.loads(qel.verify(faulty))["valid"] is False
    assert run_text(faulty, "[]")["success"] is True
    out = run_text(faulty, '{"operation": "note"}')
    assert out["error"] == "Execution error: Memory usage 118 bytes exceeds limit of 0 bytes"


def test_state_size_limit_rolls_back():
    small = ACCOUNT.replace("max_state_size_bytes: 100000", "max_state_size_bytes: 150")
    out = run_text(small, '[{"operation": "note", "inputs": {"s": "0123456789"}}]')
    # balance 15, frozen 7, opened 50, owner 29, rate 12, tags 5: 118, plus
    # 1 + 24 + 10 for s.
    assert out["error"] == "Execution error: State size 153 bytes exceeds limit of 150 bytes"
    assert out["final_state"] == INITIAL_STATE


def run_text(text, inputs):
    return json.loads(qel.execute(text, inputs))


# ---- Properties -----------------------------------------------------------------------

json_scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**63), max_value=2**64 - 1),
    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=8))
json_values = st.recursive(
    json_scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=8)


def as_state_value(value):
    """Integers above the signed 64-bit range become floats, at any depth."""
    if isinstance(value, bool):
        return value
    if isinstance(value, int) and value > 2**63 - 1:
        return float(value)
    if isinstance(value, list):
        return [as_state_value(v) for v in value]
    if isinstance(value, dict):
        return {k: as_state_value(v) for k, v in value.items()}
    return value


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.text(min_size=1, max_size=6), json_values, max_size=5))
def test_inputs_merge_into_the_state(inputs):
    out = run({"operation": "note", "inputs": inputs})
    assert out["success"] is True
    entry = out["provenance"]["entries"][0]
    assert entry["inputs"] == inputs
    expected = dict(INITIAL_STATE)
    for key, value in inputs.items():
        expected[key] = as_state_value(value)
    assert out["final_state"] == expected
    assert list(out["final_state"]) == sorted(expected, key=lambda k: k.encode())
    changed = [c["field"] for c in entry["changes"]]
    assert len(changed) == len(set(changed))
    for field in changed:
        assert field in inputs


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers(min_value=-3, max_value=3), max_size=6))
def test_each_withdraw_is_judged_by_its_own_amount(amounts):
    out = run([{"operation": "withdraw", "inputs": {"amount": a}} for a in amounts])
    ran = out["operations"]
    expected_ok = []
    for a in amounts:
        expected_ok.append(a > 0)
        if a <= 0:
            break
    assert [op["success"] for op in ran] == expected_ok
    assert [e["sequence"] for e in out["provenance"]["entries"]] == list(
        range(sum(expected_ok)))


# ---- Signals during a long call ---------------------------------------------------

SEND_SIGINT = """
import os, signal, sys, time
print("ready", flush=True)
sys.stdin.readline()
time.sleep(float(sys.argv[1]))
os.kill(int(sys.argv[2]), signal.SIGINT)
print(time.monotonic(), flush=True)
"""


def interrupted_call(delay, exception):
    """Runs execute on a million cheap requests, several seconds of work,
    while another process sends SIGINT after `delay` seconds (a thread of
    this process could not: the call holds the interpreter lock). Returns the
    seconds from the signal to `exception`."""
    requests = "[" + ",".join(['{"operation":"note","inputs":{"n":1}}'] * 1_000_000) + "]"
    killer = subprocess.Popen(
        [sys.executable, "-c", SEND_SIGINT, str(delay), str(os.getpid())],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    # The delay counts from the call, not from the killer's start-up, which
    # on a loaded machine can take longer than the whole call.
    assert killer.stdout.readline() == "ready\n"
    try:
        killer.stdin.write("go\n")
        killer.stdin.flush()
        with pytest.raises(exception):
            qel.execute(ACCOUNT, requests)
        raised = time.monotonic()
    finally:
        sent = killer.communicate()[0]
    return raised - float(sent)


def test_ctrl_c_stops_a_long_call():
    # The whole call would take seconds more; a generous bound still tells
    # an early stop from an exception raised only after the call.
    assert interrupted_call(0.2, KeyboardInterrupt) < 2.0
    assert run({"operation": "note"})["success"] is True


def test_an_exception_from_a_signal_handler_stops_the_call():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop()

    previous = signal.signal(signal.SIGINT, handler)
    try:
        assert interrupted_call(0.2, Stop) < 2.0
    finally:
        signal.signal(signal.SIGINT, previous)


def test_a_signal_handler_that_returns_lets_the_call_finish():
    requests = json.dumps([{"operation": "note", "inputs": {"n": i}}
                           for i in range(20_000)])
    expected = qel.execute(ACCOUNT, requests)
    handled = []
    previous = signal.signal(signal.SIGALRM,
                             lambda signum, frame: handled.append(time.monotonic()))
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    try:
        out = qel.execute(ACCOUNT, requests)
        finished = time.monotonic()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert out == expected
    # Handlers ran again and again while the call went on; a call that
    # never looked would have let the pending signal run one handler after.
    assert len([t for t in handled if t < finished]) > 2


# ---- Memory -----------------------------------------------------------------------

LARGE_THEN_SMALL = """
import json, resource, sys
import qel
text, requests = sys.stdin.read().split("\\0")
limit = 600 * 1024 * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
out = qel.execute(text, requests)
print(json.dumps([len(out), out.count('\\n      "success": true,\\n'),
                  out[out.rindex('\\n  "final_state": '):]]))
"""


def test_a_few_large_operations_then_many_small_ones():
    # Eight operations carrying a megabyte each, one that clears it, then
    # thousands of small ones: about 60 MB of result, written within a
    # memory bound far below what the first operations would suggest.
    big = "x" * (1 << 20)
    requests = ([{"operation": "note", "inputs": {"text": big}}] * 8
                + [{"operation": "note", "inputs": {"text": ""}}]
                + [{"operation": "note", "inputs": {"n": i}} for i in range(3000)])
    roomy = ACCOUNT.replace("max_memory_bytes: 100000", "max_memory_bytes: 10000000").replace(
        "max_state_size_bytes: 100000", "max_state_size_bytes: 10000000")
    done = subprocess.run([sys.executable, "-c", LARGE_THEN_SMALL],
                          input=roomy + "\0" + json.dumps(requests),
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    size, succeeded, tail = json.loads(done.stdout)
    assert 50_000_000 < size < 80_000_000
    assert succeeded == 3009
    final_state = json.loads(tail[tail.index("{"):tail.index('\n  "provenance"')].rstrip(","))
    assert final_state == dict(INITIAL_STATE, n=2999, text="")


@pytest.mark.parametrize("stable_id, text", [
    ("acct-001", "x" * (1 << 21)),    # large, ASCII: written in place
    ("acct-é", "x" * (1 << 21)),      # UTF-8 only in the result's head
    ("acct-001", "é€😀" * (1 << 17)),  # UTF-8 in a large value
    ("acct-中", "é"),                  # small, UTF-8
], ids=["ascii", "utf8-head", "utf8-value", "small-utf8"])
def test_results_with_and_without_utf8_read_back(stable_id, text):
    contract = ACCOUNT.replace('"acct-001"', json.dumps(stable_id, ensure_ascii=False)).replace(
        "max_memory_bytes: 100000", "max_memory_bytes: 100000000").replace(
        "max_state_size_bytes: 100000", "max_state_size_bytes: 100000000")
    out = json.loads(qel.execute(contract, json.dumps(
        [{"operation": "note", "inputs": {"text": text}}] * 2)))
    assert out["contract_id"] == stable_id
    assert out["final_state"]["text"] == text
    assert [op["success"] for op in out["operations"]] == [True, True]


TIGHT_ADDRESS_SPACE = """
import resource, sys
import qel
contract, requests = sys.stdin.read().split("\\0")
with open("/proc/self/status") as f:
    size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
limit = size + 24 * 1024 * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
print(len(qel.parse_contract(contract)), len(qel.execute(contract, requests)))
"""


def test_results_fit_under_a_tight_address_space_limit():
    # A result past a few hundred kilobytes first asks for room for many
    # megabytes; where the address space cannot give it, it asks for less.
    state = "".join(f"      f{i}: Integer = {i}\n" for i in range(20000))
    contract = ACCOUNT.replace("      frozen: Boolean\n", "      frozen: Boolean\n" + state)
    requests = json.dumps([{"operation": "note", "inputs": {"n": 1}}])
    expected = f"{len(qel.parse_contract(contract))} {len(qel.execute(contract, requests))}"
    done = subprocess.run([sys.executable, "-c", TIGHT_ADDRESS_SPACE],
                          input=contract + "\0" + requests, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == expected.split()
