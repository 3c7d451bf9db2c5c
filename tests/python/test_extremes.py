"""Extreme inputs through all five functions: very large contracts, a very
long text, nesting at and just past the limit, a million requests in one
call and every edge of JSON numbers, strings and keys."""
import json
import re

import pytest

import qel

LIMITS = ("max_memory_bytes: 100000000000 computation_timeout_ms: 3600000 "
          "max_state_size_bytes: 100000000000")

OPERATION = """      {{ name: "{name}" precondition: "{pre}" parameters: {{ {params} }}
        postcondition: "{post}" side_effects: [] idempotence: "yes" }}
"""


def operation(name, params="", pre="", post=""):
    return OPERATION.format(name=name, params=params, pre=pre, post=post)


def contract(state="count: Integer = 0", invariants='"count >= 0"',
             operations=None, narrative="n", limits=LIMITS, extensions=""):
    if operations is None:
        operations = operation("bump", "count: Integer", "count >= 0",
                               "count >= 0")
    return (
        "Contract {\n"
        "  Identity {\n"
        '    stable_id: "extreme"\n'
        "    version: 1\n"
        "    created_timestamp: 2026-01-15T10:30:00Z\n"
        '    owner: "team"\n'
        '    semantic_hash: "0"\n'
        "  }\n"
        f'  PurposeStatement {{ narrative: "{narrative}" intent_source: "i" '
        "confidence_level: 0.5 }\n"
        f"  DataSemantics {{\n    state: {{ {state} }}\n"
        f"    invariants: [{invariants}]\n  }}\n"
        f"  BehavioralSemantics {{\n    operations: [\n{operations}    ]\n  }}\n"
        "  ExecutionConstraints {\n"
        '    trigger_types: ["manual"]\n'
        f"    resource_limits: {{ {limits} }}\n"
        "    external_permissions: []\n"
        '    sandbox_mode: "full_isolation"\n'
        "  }\n"
        "  HumanMachineContract { system_commitments: [] system_refusals: [] "
        "user_obligations: [] }\n"
        "}\n" + extensions)


NO_FINDINGS = '{\n  "errors": [],\n  "valid": true,\n  "warnings": []\n}'


def position(text, index):
    """line:column of the character at `index`, both 1-based, counted in
    characters."""
    line = text.count("\n", 0, index) + 1
    column = index - (text.rfind("\n", 0, index) + 1) + 1
    return f"{line}:{column}"


def hash_line(canonical):
    return re.search(r'^    semantic_hash: "([0-9a-f]{64})",$', canonical,
                     re.M).group(1)


def check_text_functions(text):
    """normalize, semantic_hash and verify agree on an accepted text."""
    canonical = qel.normalize(text)
    digest = qel.semantic_hash(text)
    assert hash_line(canonical) == digest
    return canonical, digest, json.loads(qel.verify(text))


# ---- Size ---------------------------------------------------------------------


@pytest.mark.slow
def test_contract_of_100_mb():
    count = 1_000_000
    # Each invariant holds for any non-negative count; all are distinct.
    invariants = ",\n".join(f'    "count >= -{i:090d}"' for i in range(count))
    text = contract(invariants="\n" + invariants + "\n    ")
    assert len(text.encode()) > 100_000_000

    model = json.loads(qel.parse_contract(text))
    kept = model["data_semantics"]["invariants"]
    assert len(kept) == count
    assert kept[0] == f"count >= -{0:090d}"
    assert kept[-1] == f"count >= -{count - 1:090d}"
    del model, kept

    canonical, digest, verdict = check_text_functions(text)
    assert len(digest) == 64
    assert canonical.count('"count >= -') == count
    assert qel.verify(text) == NO_FINDINGS
    del canonical, verdict

    result = json.loads(qel.execute(
        text, '{"operation": "bump", "inputs": {"count": 7}}'))
    assert result["success"] is True
    assert result["final_state"] == {"count": 7}


@pytest.mark.slow
def test_100000_operations():
    count = 100_000
    ops = "".join(operation(f"op{i:06d}", "count: Integer", "count >= 0",
                            "count >= 0") for i in range(count))
    # One name written twice, at the very end.
    ops += operation("op000000")
    text = contract(operations=ops)

    model = json.loads(qel.parse_contract(text))
    names = [op["name"] for op in model["behavioral_semantics"]["operations"]]
    assert len(names) == count + 1
    assert names[:2] == ["op000000", "op000001"]
    assert names[-2:] == [f"op{count - 1:06d}", "op000000"]

    canonical, _, verdict = check_text_functions(text)
    assert canonical.count('        name: "op') == count + 1
    assert verdict == {
        "errors": [{"kind": "coherence",
                    "message": "duplicate operation name 'op000000'",
                    "severity": "error"}],
        "valid": False,
        "warnings": [],
    }

    # The first operation of a name is the one that runs.
    requests = [{"operation": f"op{count - 1:06d}", "inputs": {"count": 1}},
                {"operation": "op000000", "inputs": {"count": 2}},
                {"operation": "op000000", "inputs": {}}]
    result = json.loads(qel.execute(text, json.dumps(requests)))
    assert result["final_state"] == {"count": 2}
    assert result["error"] == ("Execution error: Missing required parameter "
                               "'count' for operation 'op000000'")
    assert [op["success"] for op in result["operations"]] == [True, True, False]

    # As many requests as operations, each for the last one declared.
    last = f"op{count - 1:06d}"
    inputs = "[" + ",".join('{"operation":"%s","inputs":{"count":%d}}' % (last, i)
                            for i in range(count)) + "]"
    out = qel.execute(text, inputs)
    assert out.count('\n      "success": true,\n') == count
    assert out.endswith('\n  "error": null\n}')
    tail = out[out.rindex('\n  "final_state": '):]
    assert tail.startswith('\n  "final_state": {\n    "count": %d\n  },'
                           % (count - 1))


@pytest.mark.slow
def test_string_literal_of_10_mb():
    chars = 5 * 1024 * 1024
    narrative = "\u00e9" * chars  # two bytes each: 10 MB of text
    assert len(narrative.encode()) == 10 * 1024 * 1024
    text = contract(narrative=narrative)

    model = json.loads(qel.parse_contract(text))
    assert model["purpose_statement"]["narrative"] == narrative
    canonical, _, verdict = check_text_functions(text)
    assert f'    narrative: "{narrative}",\n' in canonical
    # The length limit counts characters, not bytes.
    assert verdict == {
        "errors": [],
        "valid": True,
        "warnings": [{"kind": "type",
                      "message": "narrative exceeds recommended 500 character "
                                 f"limit ({chars} chars)",
                      "severity": "warning"}],
    }


@pytest.mark.slow
def test_input_string_of_10_mb():
    text = contract(state="name: String", invariants="",
                    operations=operation("rename", "name: String"))
    value = "x" * (10 * 1024 * 1024)
    result = json.loads(qel.execute(
        text, json.dumps({"operation": "rename", "inputs": {"name": value}})))
    assert result["success"] is True
    assert result["final_state"] == {"name": value}
    assert result["provenance"]["entries"][0]["changes"] == [
        {"field": "name", "old_value": "", "new_value": value}]


# ---- Nesting -------------------------------------------------------------------

TOO_DEEP = "Parse error: Nesting too deep (maximum 128 levels) at "


def array_type(levels):
    """A type of `levels` levels: Array<...<Integer>...>."""
    return "Array<" * (levels - 1) + "Integer" + ">" * (levels - 1)


def object_type(levels):
    return "Object { a: " * (levels - 1) + "Integer" + " }" * (levels - 1)


def map_type(levels):
    return "Map<String, " * (levels - 1) + "Integer" + ">" * (levels - 1)


def brackets(levels):
    return "[" * levels + "]" * levels


ALL_FUNCTIONS = [
    ("parse_contract", lambda t: qel.parse_contract(t)),
    ("normalize", lambda t: qel.normalize(t)),
    ("semantic_hash", lambda t: qel.semantic_hash(t)),
    ("verify", lambda t: qel.verify(t)),
    ("execute", lambda t: qel.execute(t, "[]")),
]


@pytest.mark.parametrize("make", [array_type, object_type, map_type],
                         ids=["array", "object", "map"])
def test_types_nest_128_levels(make):
    deep = make(128)
    text = contract(state=f"deep: {deep}")
    state = json.loads(qel.parse_contract(text))["data_semantics"]["state"]
    assert state["deep"] == deep
    canonical, _, verdict = check_text_functions(text)
    assert verdict["valid"] is True
    result = json.loads(qel.execute(text, "[]"))
    # A composite type starts as null.
    assert result["final_state"] == {"deep": None}


def innermost_integer(text):
    return text.index("Integer", text.index("deep: "))


def innermost_map_key(text):
    # A map's key is one level below the map: the innermost map's key is
    # the first type at level 129, before the Integer.
    return text.rindex("Map<") + len("Map<")


@pytest.mark.parametrize("make, first_too_deep", [
    (array_type, innermost_integer), (object_type, innermost_integer),
    (map_type, innermost_map_key)], ids=["array", "object", "map"])
@pytest.mark.parametrize("name, function", ALL_FUNCTIONS,
                         ids=[n for n, _ in ALL_FUNCTIONS])
def test_types_refuse_129_levels(make, first_too_deep, name, function):
    text = contract(state=f"deep: {make(129)}")
    at = first_too_deep(text)
    with pytest.raises(ValueError) as info:
        function(text)
    assert str(info.value) == TOO_DEEP + position(text, at)


def test_literals_nest_128_levels():
    text = contract(state=f"deep: Integer = {brackets(128)}",
                    extensions=f"Extensions {{ s {{ f: {brackets(128)} }} }}\n")
    state = json.loads(qel.parse_contract(text))["data_semantics"]["state"]
    nested = []
    for _ in range(127):
        nested = [nested]
    assert state["deep"] == {"default": nested, "type": "Integer"}
    canonical, _, verdict = check_text_functions(text)
    assert f"      deep: Integer = {brackets(128)},\n" in canonical
    assert f"    f: {brackets(128)}\n" in canonical
    assert verdict["errors"] == [{
        "kind": "type",
        "message": "default value for 'deep' has type Array, expected Integer",
        "severity": "error"}]
    # A primitive field starts at its default, whatever its kind; the result
    # nests deeper than its input did.
    result = json.loads(qel.execute(text, "[]"))
    assert result["final_state"] == {"deep": nested}


@pytest.mark.parametrize("where", ["default", "extension"])
@pytest.mark.parametrize("name, function", ALL_FUNCTIONS,
                         ids=[n for n, _ in ALL_FUNCTIONS])
def test_literals_refuse_129_levels(where, name, function):
    if where == "default":
        text = contract(state=f"deep: Integer = {brackets(129)}")
        start = text.index("= [") + 2
    else:
        text = contract(
            extensions=f"Extensions {{ s {{ f: {brackets(129)} }} }}\n")
        start = text.index("f: [") + 3
    with pytest.raises(ValueError) as info:
        function(text)
    assert str(info.value) == TOO_DEEP + position(text, start + 128)


PLAIN = contract(state="", invariants="", operations=operation("put"))


def nested_arrays(levels):
    return "[" * levels + "]" * levels


def test_json_requests_nest_128_levels():
    # The list is level 1, the request level 2, its inputs level 3; the
    # value of x holds the remaining 125 levels.
    inputs = '[{"operation": "put", "inputs": {"x": ' + nested_arrays(125) + "}}]"
    result = json.loads(qel.execute(PLAIN, inputs))
    value = []
    for _ in range(124):
        value = [value]
    assert result["success"] is True
    assert result["final_state"] == {"x": value}


@pytest.mark.parametrize("single", [False, True], ids=["list", "single"])
def test_json_requests_refuse_129_levels(single):
    request = '{"operation": "put", "inputs": {"x": ' + nested_arrays(126) + "}}"
    inputs = request if single else "[" + request + "]"
    # A single request is read as a list of one: positions count the "[" put
    # in front of it.
    seen = "[" + inputs if single else inputs
    column = seen.index("[[") + 126  # the bracket that opens level 129
    with pytest.raises(ValueError) as info:
        qel.execute(PLAIN, inputs)
    assert str(info.value) == (
        "Execution error: Invalid JSON requests: nesting deeper than 128 "
        f"levels at line 1 column {column}")


def test_deep_inputs_of_one_operation_are_bounded_too():
    # Deeper than any request list allows: the call fails, nothing crashes.
    inputs = '{"operation": "put", "inputs": ' + nested_arrays(100_000) + "}"
    with pytest.raises(ValueError) as info:
        qel.execute(PLAIN, inputs)
    assert str(info.value).startswith(
        "Execution error: Invalid JSON requests: nesting deeper than 128 levels")


# ---- A million requests ----------------------------------------------------------


@pytest.mark.slow
def test_a_million_requests_in_one_call():
    count = 1_000_000
    text = contract(state="n: Integer", invariants='"n >= 0"',
                    operations=operation("set", "n: Integer", "n >= 0", "n >= 0"))
    inputs = "[" + ",".join('{"operation":"set","inputs":{"n":%d}}' % i
                            for i in range(count)) + "]"
    out = qel.execute(text, inputs)
    del inputs
    # Reading the whole result back would take many times its size; the
    # layout puts each member on its own line at a fixed indentation.
    assert out.count('\n      "success": true,\n') == count
    assert '\n      "success": false,' not in out
    assert out.count('"sequence": ') == 2 * count
    last = out.rindex('"sequence": ')
    assert out[last:out.index(",", last)] == f'"sequence": {count - 1}'
    tail = out[out.rindex('\n  "final_state": '):]
    assert tail.startswith('\n  "final_state": {\n    "n": 999999\n  },\n'
                           '  "provenance": {\n')
    assert out.endswith('\n  "error": null\n}')
    assert out.startswith('{\n  "contract_id": "extreme",\n  "success": true,\n')


# ---- JSON edges -------------------------------------------------------------------


def run_put(inputs_text):
    out = qel.execute(PLAIN, '{"operation": "put", "inputs": %s}' % inputs_text)
    return out, json.loads(out)


@pytest.mark.parametrize("written, state_value, input_value", [
    # Integers that fit 64 signed bits stay integers.
    ("9223372036854775807", 9223372036854775807, 9223372036854775807),
    ("-9223372036854775808", -9223372036854775808, -9223372036854775808),
    # Above that, up to 2^64-1, the state holds a Float; the recorded inputs
    # keep the number as parsed.
    ("9223372036854775808", 9223372036854775808.0, 9223372036854775808),
    ("18446744073709551615", 18446744073709551615.0, 18446744073709551615),
    # Beyond 64 bits every number is a double.
    ("18446744073709551616", 18446744073709551616.0, 18446744073709551616.0),
    ("-9223372036854775809", -9223372036854775809.0, -9223372036854775809.0),
    ("1e308", 1e308, 1e308),
    ("5.0", 5.0, 5.0),
])
def test_numbers(written, state_value, input_value):
    _, result = run_put('{"x": %s}' % written)
    state = result["final_state"]["x"]
    recorded = result["provenance"]["entries"][0]["inputs"]["x"]
    assert (type(state), state) == (type(state_value), state_value)
    assert (type(recorded), recorded) == (type(input_value), input_value)


@pytest.mark.parametrize("written, text", [
    ("-0.0", "-0.0"),
    ("0.0", "0.0"),
    ("5.0", "5.0"),
    ("0.25", "0.25"),
    ("1e308", "1e+308"),
    ("1e-7", "1e-7"),
    ("123456789012345680000.0", "1.2345678901234568e+20"),
    ("9223372036854775808", "9.223372036854776e+18"),
])
def test_float_texts(written, text):
    out, _ = run_put('{"x": %s}' % written)
    assert f'\n    "x": {text}\n' in out[out.rindex('"final_state"'):]


def test_number_beyond_a_double_is_refused():
    with pytest.raises(ValueError) as info:
        qel.execute(PLAIN, '{"operation": "put", "inputs": {"x": 1e309}}')
    assert str(info.value).startswith("Execution error: Invalid JSON requests: ")


def test_repeated_keys_keep_the_last():
    out, result = run_put('{"x": 1, "y": true, "x": [2]}')
    assert result["final_state"] == {"x": [2], "y": True}
    assert result["provenance"]["entries"][0]["inputs"] == {"x": [2], "y": True}
    # In the request too: of two "operation" members the second names the
    # operation.
    result = json.loads(qel.execute(
        PLAIN, '{"operation": "nope", "operation": "put", "inputs": {}}'))
    assert result["success"] is True
    assert result["operations"][0]["operation"] == "put"


def test_control_characters_are_escaped():
    out, result = run_put(r'{"s": "a\u0000b\u001fc\td\u007f"}')
    assert result["final_state"]["s"] == "a\x00b\x1fc\td\x7f"
    # Below U+0020 escaped, \u with four lower-case hex digits unless a short
    # escape exists; DEL is written as itself.
    assert '"s": "a\\u0000b\\u001fc\\td\x7f"' in out


def test_non_ascii_keys_sort_by_bytes():
    out, result = run_put('{"\u00e9": 1, "z": 2, "\\u00e8": 3, "A": 4, '
                          '"\U0001f600": 5, "\\ud83d\\ude00x": 6}')
    final = out[out.rindex('"final_state"'):out.rindex('"provenance"')]
    keys = re.findall(r'^    "([^"]*)": ', final, re.M)
    assert keys == ["A", "z", "\u00e8", "\u00e9", "\U0001f600",
                    "\U0001f600x"]
    assert list(result["final_state"]) == keys


def test_contract_float_too_large_for_a_double():
    huge = "1" + "0" * 400 + ".0"
    text = contract(state=f"big: Float = {huge}")
    # The default is not finite: JSON null in the model, inf.0 in the
    # canonical text, and the field starts as null.
    model = json.loads(qel.parse_contract(text))
    assert model["data_semantics"]["state"]["big"] == {"default": None,
                                                      "type": "Float"}
    assert "      big: Float = inf.0,\n" in qel.normalize(text)
    result = json.loads(qel.execute(text, "[]"))
    assert result["final_state"] == {"big": None}
