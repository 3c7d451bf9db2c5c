"""qel.verify: binding, exceptions and the verdict JSON for contract texts."""
import inspect
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import qel

VERIFY_DOC = """verify(text)
--

Verify an QEL contract for correctness.

Runs all verification phases:
  - Type checking
  - Invariant verification
  - Determinism checking
  - Coherence verification

Args:
    text: QEL contract source text

Returns:
    JSON string with verification result:
    {
        "valid": bool,
        "errors": [{"severity": "error", "kind": "...", "message": "..."}],
        "warnings": [{"severity": "warning", "kind": "...", "message": "..."}]
    }

Raises:
    ValueError: If the contract text cannot be parsed"""

OPERATION = """      {{
        name: "{name}"
        precondition: "{pre}"
        parameters: {{ {params} }}
        postcondition: "{post}"
        side_effects: [{effects}]
        idempotence: "{idem}"
      }}"""


def q(text):
    """A QEL string literal holding `text`."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def operation(name="deposit", pre="amount > 0", post="balance >= amount",
              params="amount: Integer", effects=(), idem="not idempotent"):
    return OPERATION.format(name=name, pre=pre, post=post, params=params,
                            effects=", ".join(q(e) for e in effects),
                            idem=idem)


def contract(stable_id="payment-ledger", version="3", semantic_hash="00ff",
             narrative="Keeps a balance", confidence="0.9",
             state="balance: Integer = 0, owner_id: String",
             invariants=("balance >= 0",), operations=None,
             triggers=("manual",), limits=("1024", "100", "4096"),
             sandbox="full_isolation", extensions=None):
    if operations is None:
        operations = [operation()]
    text = f"""Contract {{
  Identity {{
    stable_id: {q(stable_id)}
    version: {version}
    created_timestamp: 2024-01-15T10:30:00Z
    owner: "treasury"
    semantic_hash: {q(semantic_hash)}
  }}
  PurposeStatement {{
    narrative: {q(narrative)}
    intent_source: "finance team"
    confidence_level: {confidence}
  }}
  DataSemantics {{
    state: {{ {state} }}
    invariants: [{", ".join(q(i) for i in invariants)}]
  }}
  BehavioralSemantics {{
    operations: [
{chr(10).join(operations)}
    ]
  }}
  ExecutionConstraints {{
    trigger_types: [{", ".join(q(t) for t in triggers)}]
    resource_limits: {{ max_memory_bytes: {limits[0]}, computation_timeout_ms: {limits[1]}, max_state_size_bytes: {limits[2]} }}
    external_permissions: []
    sandbox_mode: {q(sandbox)}
  }}
  HumanMachineContract {{
    system_commitments: ["exact arithmetic"]
    system_refusals: []
    user_obligations: []
  }}
}}
"""
    if extensions is not None:
        systems = " ".join(name + " { }" for name in extensions)
        text += f"Extensions {{ {systems} }}\n"
    return text


def rendered(errors=(), warnings=()):
    """The verdict text for the given (kind, message) pairs."""
    doc = {
        "errors": [{"kind": k, "message": m, "severity": "error"}
                   for k, m in errors],
        "valid": not errors,
        "warnings": [{"kind": k, "message": m, "severity": "warning"}
                     for k, m in warnings],
    }
    return json.dumps(doc, indent=2, sort_keys=True, ensure_ascii=False)


# ---- Binding ----------------------------------------------------------------


def test_docstring_and_signature():
    assert qel.verify.__text_signature__ == "(text)"
    assert qel.verify.__doc__ == VERIFY_DOC.split("\n", 3)[3]
    assert str(inspect.signature(qel.verify)) == "(text)"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((b"Contract",), {}),
        ((None,), {}),
        ((1,), {}),
        (("a", "b"), {}),
        ((), {"source": "x"}),
        (("x",), {"text": "x"}),
        ((), {"text": "x", "inputs": "[]"}),
    ],
    ids=["missing", "bytes", "none", "int", "extra-positional",
         "unknown-keyword", "duplicate", "extra-keyword"],
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError) as info:
        qel.verify(*args, **kwargs)
    assert "verify" in str(info.value) or "text" in str(info.value)


def test_keyword_call_matches_positional():
    text = contract(sandbox="Full_Isolation")
    assert qel.verify(text=text) == qel.verify(text)


# ---- Unparsable text raises, never a verdict ------------------------------------


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "Parse error: Expected Contract, found Eof at 1:1"),
        ("Contract { %", "Parse error: Unexpected character '%' at 1:12"),
        ("x \u00e9", "Parse error: Unexpected character '\u00e9' at 1:3"),
        (contract().replace('owner: "treasury"', ""),
         "Parse error: Missing required field 'owner' in Identity at 2:3"),
        (contract(confidence="1.01"),
         "Parse error: confidence_level must be in [0.0, 1.0], found 1.01 "
         "at 12:23"),
    ],
    ids=["empty", "lexical", "non-ascii", "missing-field", "confidence"],
)
def test_unparsable_text_raises_value_error(text, message):
    with pytest.raises(ValueError) as info:
        qel.verify(text)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    with pytest.raises(ValueError) as same:
        qel.parse_contract(text)
    assert same.value.args == (message,)


# ---- Verdicts ---------------------------------------------------------------------


def test_clean_contract_renders_five_lines():
    assert qel.verify(contract()) == (
        '{\n  "errors": [],\n  "valid": true,\n  "warnings": []\n}')


def test_warnings_only_contract_is_valid():
    out = qel.verify(contract(sandbox="Full_Isolation"))
    assert out == (
        "{\n"
        '  "errors": [],\n'
        '  "valid": true,\n'
        '  "warnings": [\n'
        "    {\n"
        '      "kind": "coherence",\n'
        "      \"message\": \"unrecognized sandbox_mode 'Full_Isolation', "
        'expected one of: full_isolation, restricted, none",\n'
        '      "severity": "warning"\n'
        "    }\n"
        "  ]\n"
        "}")
    assert json.loads(out)["valid"] is True


def test_verifier_rejection_does_not_stop_parse_contract():
    text = contract(limits=("0", "100", "4096"))
    assert json.loads(qel.verify(text))["valid"] is False
    assert json.loads(qel.parse_contract(text))["execution_constraints"][
        "resource_limits"]["max_memory_bytes"] == 0


STABLE_ID_MESSAGE = ("stable_id '{}' does not match required pattern "
                     "[a-z0-9][a-z0-9-]{{0,30}}[a-z0-9]")
FLOAT_KEY = "Float cannot be used as Map key type (non-deterministic equality)"
SANDBOXES = "full_isolation, restricted, none"
TRIGGERS = "manual, time_based, event_based"

CASES = [
    ("version-above-32-bits", dict(version="4294967296"),
     [("type", "version must be at most 4294967295, found 4294967296")], []),
    ("version-at-32-bit-limit", dict(version="4294967295"), [], []),
    ("stable-id-one-char", dict(stable_id="a"),
     [("type", STABLE_ID_MESSAGE.format("a"))], []),
    ("stable-id-33-chars", dict(stable_id="a" * 33),
     [("type", STABLE_ID_MESSAGE.format("a" * 33))], []),
    ("stable-id-upper", dict(stable_id="Ledger"),
     [("type", STABLE_ID_MESSAGE.format("Ledger"))], []),
    ("stable-id-hyphen-start", dict(stable_id="-ab"),
     [("type", STABLE_ID_MESSAGE.format("-ab"))], []),
    ("stable-id-hyphen-end", dict(stable_id="ab-"),
     [("type", STABLE_ID_MESSAGE.format("ab-"))], []),
    ("stable-id-underscore", dict(stable_id="a_b"),
     [("type", STABLE_ID_MESSAGE.format("a_b"))], []),
    ("stable-id-ab", dict(stable_id="ab"), [], []),
    ("stable-id-a-b", dict(stable_id="a-b"), [], []),
    ("hash-mixed-case", dict(semantic_hash="a1B2"), [], []),
    ("hash-bad-once", dict(semantic_hash="g0g0"),
     [("type", "semantic_hash 'g0g0' is not valid hexadecimal")], []),
    ("confidence-one", dict(confidence="1.0"), [], []),
    ("narrative-500", dict(narrative="x" * 500), [], []),
    ("narrative-501", dict(narrative="x" * 501), [],
     [("type",
       "narrative exceeds recommended 500 character limit (501 chars)")]),
    ("narrative-300-wide-chars", dict(narrative="\u00e9" * 300), [], []),
    ("float-map-key", dict(state="balance: Integer, owner_id: String, "
                                 "rates: Map<Float, String>"),
     [("type", FLOAT_KEY)], []),
    ("nested-float-keys", dict(state="balance: Integer, owner_id: String, "
                                     "m: Map<Float, Map<Float, String>>"),
     [("type", FLOAT_KEY), ("type", FLOAT_KEY)], []),
    ("array-key", dict(state="balance: Integer, owner_id: String, "
                             "m: Map<Array<String>, Integer>"),
     [("type", "Map key type must be a primitive or Enum, found "
               "Array<String>")], []),
    ("defaults", dict(state='balance: Integer = 1.5, owner_id: String, '
                            'level: Enum ["a", "b"] = "c", '
                            'xs: Array<Integer> = [1, 2.5], '
                            'ok: Array<Integer> = [], r: Float = 2, '
                            'at: ISO8601 = "whenever", '
                            'm: Map<String, Integer> = 1, o: Object { } = 1'),
     [("type", "default value for 'balance' has type Float, expected "
               "Integer"),
      ("type", "default value for 'level' has type String, expected Enum"),
      ("type", "default value for 'xs' has type Array, expected "
               "Array<Integer>"),
      ("type", "default value for 'm' has type Integer, expected "
               "Map<String, Integer>"),
      ("type", "default value for 'o' has type Integer, expected Object")],
     []),
    ("enum-and-object-duplicates",
     dict(state='balance: Integer, owner_id: String, e: Enum [], '
                'f: Enum ["x", "x", "x"], '
                'o: Object { a: Integer, a: String = 1 }'),
     [("type", "Enum type must have at least one variant"),
      ("type", "duplicate Enum variant 'x'"),
      ("type", "duplicate Enum variant 'x'"),
      ("type", "duplicate field name 'a' in Object type"),
      ("type", "default value for 'a' has type Integer, expected String")],
     []),
    ("parameter-types", dict(operations=[operation(
        params="amount: Integer = true, k: Map<Float, Integer>")]),
     [("type", "default value for 'amount' has type Boolean, expected "
               "Integer"),
      ("type", FLOAT_KEY)], []),
    ("limits-zero", dict(limits=("0", "0", "0")),
     [("type", "max_memory_bytes must be positive, found 0"),
      ("type", "computation_timeout_ms must be positive, found 0"),
      ("type", "max_state_size_bytes must be positive, found 0")], []),
    ("invariant-without-fields", dict(invariants=("balance >= 0",
                                                  "1 < 2 and true")), [],
     [("invariant", "invariant '1 < 2 and true' does not reference any "
                    "declared state fields")]),
    ("no-state-no-invariant-warning",
     dict(state="", invariants=("1 < 2",),
          operations=[operation(params="", pre="x > 0", post="x > 0")]),
     [], []),
    ("invariant-three-copies",
     dict(invariants=("rand(balance)",) * 3),
     [("determinism", "random function call detected in invariant: text "
                      "contains 'rand('")] * 3,
     [("invariant", "duplicate invariant: 'rand(balance)'")] * 2),
    ("determinism-contexts",
     dict(operations=[operation(
         name="draw", pre="socket ready", post="balance == Math.random()",
         effects=("log(Date.now())",), idem="HASHMAP order")]),
     [("determinism", "external I/O detected in operation 'draw' "
                      "precondition: text contains 'socket'"),
      ("determinism", "randomness usage detected in operation 'draw' "
                      "postcondition: text contains 'random'"),
      ("determinism", "random function call detected in operation 'draw' "
                      "postcondition: text contains 'Math.random'"),
      ("determinism", "system time access detected in operation 'draw' "
                      "side_effect: text contains 'now()'"),
      ("determinism", "system time access detected in operation 'draw' "
                      "side_effect: text contains 'Date.now'"),
      ("determinism", "non-deterministic hash iteration detected in "
                      "operation 'draw' idempotence: text contains "
                      "'HashMap'")], []),
    ("kelvin-sign", dict(invariants=("balance SOC\u212aET",)),
     [("determinism", "external I/O detected in invariant: text contains "
                      "'socket'")], []),
    ("dotted-capital-i", dict(invariants=("balance D\u0130CT_KEYS",)), [], []),
    ("rand-space-paren", dict(invariants=("balance > rand (1)",)), [], []),
    ("narrative-not-scanned", dict(narrative="random socket now()"), [], []),
    ("duplicate-operations",
     dict(operations=[operation(name="transfer", pre="new_total > 0"),
                      operation(name="transfer", pre="new_total > 0",
                                post="random_x")]),
     [("determinism", "randomness usage detected in operation 'transfer' "
                      "postcondition: text contains 'random'"),
      ("coherence", "duplicate operation name 'transfer'")],
     [("coherence", "precondition of 'transfer' references unknown field "
                    "'new_total'"),
      ("coherence", "precondition of 'transfer' references unknown field "
                    "'new_total'"),
      ("coherence", "postcondition of 'transfer' references unknown field "
                    "'random_x'")]),
    ("duplicate-state-fields",
     dict(state="balance: Integer, owner_id: String, balance: Float"),
     [("coherence", "duplicate state field name 'balance'")], []),
    ("sandbox-none", dict(sandbox="none"), [], []),
    ("triggers", dict(triggers=("manual", "cron", "cron")), [],
     [("coherence", f"unrecognized trigger_type 'cron', expected one of: "
                    f"{TRIGGERS}")] * 2),
    ("references", dict(operations=[operation(
        params="amount_due: Integer",
        pre="amount_due > 0 and balance > 0",
        post="new_total > Total_Sum and total > 0")]), [],
     [("coherence", "postcondition of 'deposit' references unknown field "
                    "'new_total'")]),
    ("extensions-duplicate", dict(extensions=("audit", "metrics", "audit")),
     [("coherence", "duplicate extension namespace 'audit'")], []),
    ("extensions-empty", dict(extensions=()), [], []),
]


@pytest.mark.parametrize("overrides, errors, warnings",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_verdict(overrides, errors, warnings):
    assert qel.verify(contract(**overrides)) == rendered(errors, warnings)


def test_findings_follow_check_order():
    text = contract(
        version="4294967296", stable_id="X", semantic_hash="xyz",
        narrative="n" * 501,
        state="balance: Integer = \"zero\", owner_id: String, balance: Float",
        invariants=("balance >= 0", "balance >= 0", "7 > 3"),
        operations=[operation(), operation(pre="unknown_field",
                                           post="now()")],
        limits=("0", "1", "1"), sandbox="open", triggers=("cron",),
        extensions=("x", "x"))
    assert qel.verify(text) == rendered(
        [("type", "version must be at most 4294967295, found 4294967296"),
         ("type", STABLE_ID_MESSAGE.format("X")),
         ("type", "semantic_hash 'xyz' is not valid hexadecimal"),
         ("type", "default value for 'balance' has type String, expected "
                  "Integer"),
         ("type", "max_memory_bytes must be positive, found 0"),
         ("determinism", "system time access detected in operation "
                         "'deposit' postcondition: text contains 'now()'"),
         ("coherence", "duplicate operation name 'deposit'"),
         ("coherence", "duplicate state field name 'balance'"),
         ("coherence", "duplicate extension namespace 'x'")],
        [("type", "narrative exceeds recommended 500 character limit "
                  "(501 chars)"),
         ("invariant", "invariant '7 > 3' does not reference any declared "
                       "state fields"),
         ("invariant", "duplicate invariant: 'balance >= 0'"),
         ("coherence", f"unrecognized sandbox_mode 'open', expected one of: "
                       f"{SANDBOXES}"),
         ("coherence", f"unrecognized trigger_type 'cron', expected one of: "
                       f"{TRIGGERS}"),
         ("coherence", "precondition of 'deposit' references unknown field "
                       "'unknown_field'")])


def test_message_escapes_in_json():
    out = qel.verify(contract(triggers=('say "hi"\nnow',)))
    assert ('"message": "unrecognized trigger_type \'say \\"hi\\"\\nnow\', '
            'expected one of: manual, time_based, event_based"') in out


# ---- Determinism matching against Python's own lowercase mapping -----------------

PATTERNS = [
    ("random", "randomness usage"),
    ("rand(", "random function call"),
    ("Math.random", "random function call"),
    ("uuid_generate", "runtime UUID generation"),
    ("generate_id", "runtime ID generation"),
    ("now()", "system time access"),
    ("current_time", "system time access"),
    ("system_time", "system time access"),
    ("Date.now", "system time access"),
    ("time.time", "system time access"),
    ("Instant::now", "system time access"),
    ("fetch(", "external I/O"),
    ("http_request", "external I/O"),
    ("read_file", "external I/O"),
    ("write_file", "external I/O"),
    ("network_call", "external I/O"),
    ("socket", "external I/O"),
    ("HashMap", "non-deterministic hash iteration"),
    ("HashSet", "non-deterministic hash iteration"),
    ("dict_keys", "non-deterministic hash iteration"),
]

# Pieces that make matches, near-matches and case tricks likely.
FRAGMENTS = [p for p, _ in PATTERNS] + [
    p.upper() for p, _ in PATTERNS] + [
    "rand", "ran", "dom", "sock", "et", "dict_", "eys", "time", "now", "(",
    ")", ".", "::", "_", " ", "hash", "map", "set", "i", "I", "k", "K",
    "\u212a", "\u0130", "\u00e9", "\u00c9", "\u03a3", "\u1e9e", "\u2126",
    "\u00a0", "\n", '"', "\\", "\U0001f642"]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(FRAGMENTS), max_size=12).map("".join))
def test_determinism_matches_unicode_lowercase(text):
    lowered = text.lower()
    expected = [
        f"{description} detected in invariant: text contains '{pattern}'"
        for pattern, description in PATTERNS if pattern.lower() in lowered]
    verdict = json.loads(qel.verify(contract(invariants=(text,))))
    found = [e["message"] for e in verdict["errors"]
             if e["kind"] == "determinism"]
    assert found == expected
