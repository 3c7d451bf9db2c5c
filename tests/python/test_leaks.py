"""Reference counts and resident memory over many calls of every function,
on success and on every error path: argument binding, parse errors and the
errors of an execution."""
import gc
import json
import sys

import pytest

import qel

from conftest import MINIMAL

CALLS = 100_000
WARM_UP = 2_000
# Allocator pools and caches may grow a little after the warm-up; a leak of
# even one small object per call grows far beyond this over CALLS calls.
SLACK_KB = 4 * 1024


def fresh(text):
    """An equal str that no other code holds, so its count is ours alone."""
    return "".join(list(text))


def rss_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS line in /proc/self/status")


def run(function, args, kwargs, error, times):
    if error is None:
        for _ in range(times):
            function(*args, **kwargs)
    else:
        for _ in range(times):
            try:
                function(*args, **kwargs)
            except error:
                pass


BUMP_OK = '{"operation": "bump", "inputs": {"count": 3}}'
NOT_FOUND = '{"operation": "nope", "inputs": {}}'
POSTCONDITION = '[{"operation": "bump", "inputs": {"count": -1}}]'
NO_OPERATION = '[{"inputs": {}}]'
NOT_JSON = '[{"operation": "bump",'
NOT_REQUESTS = "bump"

TEXT_FUNCTIONS = ["parse_contract", "normalize", "semantic_hash", "verify"]


def text_cases():
    """(id, function name, args, kwargs, exception, message) per path of a
    text-only function; message None means "names the function"."""
    cases = []
    for name in TEXT_FUNCTIONS:
        cases += [
            (f"{name}-ok", name, (MINIMAL,), {}, None, None),
            (f"{name}-keyword", name, (), {"text": MINIMAL}, None, None),
            (f"{name}-empty-text", name, ("",), {}, ValueError,
             "Parse error: Expected Contract, found Eof at 1:1"),
            (f"{name}-lexical", name, ("x \u00e9",), {}, ValueError,
             "Parse error: Unexpected character '\u00e9' at 1:3"),
            (f"{name}-missing", name, (), {}, TypeError, None),
            (f"{name}-extra", name, (MINIMAL, MINIMAL), {}, TypeError, None),
            (f"{name}-bytes", name, (MINIMAL.encode(),), {}, TypeError, None),
            (f"{name}-unknown-keyword", name, (), {"txt": MINIMAL}, TypeError,
             None),
            (f"{name}-duplicate-keyword", name, (MINIMAL,), {"text": MINIMAL},
             TypeError, None),
            (f"{name}-surrogate", name, ("\ud800",), {}, UnicodeEncodeError,
             None),
        ]
    return cases


def execute_cases():
    n = "execute"
    return [
        ("execute-ok", n, (MINIMAL, BUMP_OK), {}, None, None),
        ("execute-keywords", n, (), {"text": MINIMAL, "inputs": BUMP_OK}, None,
         None),
        ("execute-not-found", n, (MINIMAL, NOT_FOUND), {}, None, None),
        ("execute-postcondition", n, (MINIMAL, POSTCONDITION), {}, None, None),
        ("execute-parse-error", n, ("", BUMP_OK), {}, ValueError,
         "Parse error: Expected Contract, found Eof at 1:1"),
        ("execute-not-requests", n, (MINIMAL, NOT_REQUESTS), {}, ValueError,
         "Execution error: Input must be a JSON object or array of objects"),
        ("execute-invalid-json", n, (MINIMAL, NOT_JSON), {}, ValueError,
         "Execution error: Invalid JSON requests: "),
        ("execute-no-operation", n, (MINIMAL, NO_OPERATION), {}, ValueError,
         "Execution error: Each request must have an 'operation' field"),
        ("execute-missing-inputs", n, (MINIMAL,), {}, TypeError, None),
        ("execute-extra", n, (MINIMAL, BUMP_OK, BUMP_OK), {}, TypeError, None),
        ("execute-bytes-text", n, (MINIMAL.encode(), BUMP_OK), {}, TypeError,
         None),
        ("execute-bytes-inputs", n, (MINIMAL, BUMP_OK.encode()), {}, TypeError,
         None),
        ("execute-unknown-keyword", n, (MINIMAL,), {"input": BUMP_OK},
         TypeError, None),
        ("execute-surrogate-inputs", n, (MINIMAL, "\udfff"), {},
         UnicodeEncodeError, None),
    ]


CASES = text_cases() + execute_cases()


def check_first_call(name, function, args, kwargs, error, message):
    """The path is the one the case names: exact messages from the error
    forms, results from the execution rules."""
    if error is None:
        result = function(*args, **kwargs)
        assert isinstance(result, str)
        return
    with pytest.raises(error) as info:
        function(*args, **kwargs)
    text = str(info.value)
    if error is TypeError:
        assert name in text
    elif error is ValueError:
        assert type(info.value) is ValueError
        assert len(info.value.args) == 1
        if message.endswith(": "):
            assert text.startswith(message)
        else:
            assert text == message


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_many_calls_keep_counts_and_memory(case):
    _, name, args, kwargs, error, message = case
    function = getattr(qel, name)
    args = tuple(fresh(a) if isinstance(a, str) else a for a in args)
    kwargs = {k: fresh(v) for k, v in kwargs.items()}
    held = list(args) + list(kwargs.values())
    check_first_call(name, function, args, kwargs, error, message)

    run(function, args, kwargs, error, WARM_UP)
    gc.collect()
    counts = [sys.getrefcount(a) for a in held]
    before = rss_kb()
    run(function, args, kwargs, error, CALLS)
    gc.collect()
    grown = rss_kb() - before
    assert [sys.getrefcount(a) for a in held] == counts
    assert grown < SLACK_KB, f"resident memory grew by {grown} kB"


def test_execution_paths_report_their_errors():
    """The execution cases above reach the paths they are named for."""
    ok = json.loads(qel.execute(MINIMAL, BUMP_OK))
    assert ok["success"] is True
    assert ok["final_state"] == {"count": 3}
    missing = json.loads(qel.execute(MINIMAL, NOT_FOUND))
    assert missing["error"] == ("Execution error: Operation 'nope' not found "
                                "in contract")
    violated = json.loads(qel.execute(MINIMAL, POSTCONDITION))
    assert violated["error"] == ("Contract violation - postcondition of "
                                 "'bump': count >= 0")
    assert violated["final_state"] == {"count": 0}


def test_results_keep_no_reference_to_arguments():
    text = fresh(MINIMAL)
    inputs = fresh(BUMP_OK)
    before = (sys.getrefcount(text), sys.getrefcount(inputs))
    results = [qel.parse_contract(text), qel.normalize(text),
               qel.semantic_hash(text), qel.verify(text),
               qel.execute(text, inputs)]
    assert (sys.getrefcount(text), sys.getrefcount(inputs)) == before
    # A result is a new object held by the list alone (the second count is
    # getrefcount's own argument). Counted outside the assert, whose
    # rewriting keeps its operands alive.
    counts = [sys.getrefcount(results[i]) for i in range(len(results))]
    assert counts == [2] * len(results)
