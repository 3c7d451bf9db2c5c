"""normalize and semantic_hash: canonical text, hash and argument handling."""
import hashlib
import inspect
import re

import pytest
from hypothesis import given, settings, strategies as st

import qel

from conftest import MINIMAL

ZEROS = "0" * 64
HASH_LINE = re.compile(r'^    semantic_hash: "([0-9a-f]{64})",$', re.M)

NORMALIZE_DOC = """normalize(text)
--

Normalize QEL contract text to canonical form.

Guarantees:
  - Deterministic: same input \u2192 same output
  - Idempotent: normalize(normalize(x)) == normalize(x)
  - Semantic preserving: meaning is unchanged

Args:
    text: QEL contract source text

Returns:
    Canonical normalized QEL text

Raises:
    ValueError: If the contract text cannot be parsed"""

SEMANTIC_HASH_DOC = """semantic_hash(text)
--

Compute the SHA-256 semantic hash of a contract.

The hash is computed from the normalized (canonical) form,
so semantically equivalent contracts produce the same hash.

Args:
    text: QEL contract source text

Returns:
    Hex-encoded SHA-256 hash string

Raises:
    ValueError: If the contract text cannot be parsed"""

# MINIMAL in canonical form, written from the layout rules, hash blanked.
MINIMAL_BLANKED = """Contract {
  Identity {
    created_timestamp: "2026-01-15T10:30:00Z",
    owner: "team",
    semantic_hash: "%s",
    stable_id: "demo-contract",
    version: 1,
  }
  PurposeStatement {
    confidence_level: 0.5,
    intent_source: "i",
    narrative: "n",
  }
  DataSemantics {
    invariants: ["count >= 0"],
    state: {
      count: Integer = 0,
    }
  }
  BehavioralSemantics {
    operations: [
      {
        idempotence: "no",
        name: "bump",
        parameters: {
          count: Integer,
        },
        postcondition: "count >= 0",
        precondition: "count >= 0",
        side_effects: []
      }
    ]
  }
  ExecutionConstraints {
    external_permissions: [],
    resource_limits: {
      computation_timeout_ms: 1000,
      max_memory_bytes: 1024,
      max_state_size_bytes: 1024,
    },
    sandbox_mode: "full_isolation",
    trigger_types: ["manual"]
  }
  HumanMachineContract {
    system_commitments: [],
    system_refusals: [],
    user_obligations: []
  }
}
""" % ZEROS

FUNCTIONS = [("normalize", NORMALIZE_DOC), ("semantic_hash", SEMANTIC_HASH_DOC)]


def source_string(value):
    """value as a contract-language string literal."""
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def with_text(field, value, base=MINIMAL):
    """base with the quoted value of `field:` replaced by value."""
    pattern = re.compile(r'(%s: )"[^"]*"' % field)
    assert pattern.search(base), field
    return pattern.sub(lambda m: m.group(1) + source_string(value), base, 1)


def hash_line(canonical):
    found = HASH_LINE.findall(canonical)
    assert len(found) == 1, canonical
    return found[0]


def blanked(canonical):
    return HASH_LINE.sub('    semantic_hash: "%s",' % ZEROS, canonical)


# ---- Binding ---------------------------------------------------------------------

@pytest.mark.parametrize("name, doc", FUNCTIONS)
def test_docstring_and_signature(name, doc):
    function = getattr(qel, name)
    assert function.__text_signature__ == "(text)"
    assert function.__doc__ == doc.split("\n", 3)[3]
    assert str(inspect.signature(function)) == "(text)"


@pytest.mark.parametrize("name", ["normalize", "semantic_hash"])
def test_keyword_call_agrees_with_positional(name):
    function = getattr(qel, name)
    assert function(text=MINIMAL) == function(MINIMAL)


@pytest.mark.parametrize("name", ["normalize", "semantic_hash"])
@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((MINIMAL.encode(),), {}),
        ((None,), {}),
        ((42,), {}),
        ((MINIMAL, MINIMAL), {}),
        ((), {"source": MINIMAL}),
        ((MINIMAL,), {"text": MINIMAL}),
        ((), {"text": MINIMAL, "extra": 1}),
    ],
    ids=["missing", "bytes", "none", "int", "extra-positional",
         "unknown-keyword", "duplicate", "extra-keyword"],
)
def test_argument_errors(name, args, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(qel, name)(*args, **kwargs)
    assert name in str(info.value) or "text" in str(info.value)


BAD_TEXTS = [
    ("", "Parse error: Expected Contract, found Eof at 1:1"),
    ("Contract { %", "Parse error: Unexpected character '%' at 1:12"),
    ("x \u00e9", "Parse error: Unexpected character '\u00e9' at 1:3"),
    ('"a\\qb"', "Parse error: Invalid escape sequence '\\q' at 1:5"),
    ("Contract {\n  Identity {\n    owner \"x\"\n",
     "Parse error: Expected Colon, found StringLiteral(\"x\") at 3:11"),
    (MINIMAL.replace("confidence_level: 0.5", "confidence_level: 1"),
     "Parse error: Expected float literal, found IntegerLiteral(1) at 12:23"),
]


@pytest.mark.parametrize("name", ["normalize", "semantic_hash"])
@pytest.mark.parametrize("text, message", BAD_TEXTS,
                         ids=["empty", "character", "non-ascii", "escape",
                              "colon", "float"])
def test_parse_errors_match_parse_contract(name, text, message):
    with pytest.raises(ValueError) as ours:
        getattr(qel, name)(text)
    with pytest.raises(ValueError) as reference:
        qel.parse_contract(text)
    assert type(ours.value) is ValueError
    assert ours.value.args == (message,)
    assert ours.value.args == reference.value.args


# ---- Canonical text and hash -------------------------------------------------------

def test_minimal_contract_exact_text():
    digest = hashlib.sha256(MINIMAL_BLANKED.encode("utf-8")).hexdigest()
    assert qel.normalize(MINIMAL) == MINIMAL_BLANKED.replace(ZEROS, digest)
    assert qel.semantic_hash(MINIMAL) == digest


CONTRACTS = {
    "minimal": MINIMAL,
    "quotes": with_text("narrative", 'say "hi"\\ there'),
    "newlines": with_text("intent_source", "two\nlines\tand tab"),
    "unicode": with_text("owner", "\u00e9quipe \u2192 \U0001f600"),
    "extensions": MINIMAL + "Extensions { ops { level: 2.5 tags: [\"a\\\\\"] } }\n",
    "objects": MINIMAL.replace(
        "state: { count: Integer = 0 }",
        "state: { count: Integer = 0, cfg: Object { b: Enum [\"y\", \"x\"], "
        "a: Object { z: Boolean = true } } = [1, [2.0]] }"),
}


@pytest.mark.parametrize("text", CONTRACTS.values(), ids=CONTRACTS.keys())
def test_hash_is_sha256_of_blanked_canonical_text(text):
    canonical = qel.normalize(text)
    digest = hashlib.sha256(blanked(canonical).encode("utf-8")).hexdigest()
    assert hash_line(canonical) == digest
    assert qel.semantic_hash(text) == digest
    assert canonical.endswith("}\n") and not canonical.endswith("\n\n")


@pytest.mark.parametrize("text", CONTRACTS.values(), ids=CONTRACTS.keys())
def test_normalize_is_idempotent(text):
    once = qel.normalize(text)
    assert qel.normalize(once) == once
    assert qel.semantic_hash(once) == qel.semantic_hash(text)


def test_escapes_in_canonical_text():
    canonical = qel.normalize(with_text("narrative", 'a"b\\c\nd'))
    assert '    narrative: "a\\"b\\\\c\nd",\n' in canonical


def test_colliding_texts_hash_apart():
    first = with_text("narrative", "c",
                      with_text("intent_source", 'a",\n    narrative: "b'))
    second = with_text("narrative", 'b",\n    narrative: "c',
                       with_text("intent_source", "a"))
    assert qel.normalize(first) != qel.normalize(second)
    assert qel.semantic_hash(first) != qel.semantic_hash(second)


SAME_MEANING = {
    "written-hash": MINIMAL.replace('semantic_hash: "abc"',
                                    'semantic_hash: "%s"' % ("f" * 64)),
    "comments": MINIMAL.replace("\n", " // c\n"),
    "one-line": MINIMAL.replace("\n", " "),
    "quoted-timestamp": MINIMAL.replace("2026-01-15T10:30:00Z",
                                        '"2026-01-15T10:30:00Z"'),
    "field-order": MINIMAL.replace(
        '    narrative: "n"\n    intent_source: "i"\n',
        '    intent_source: "i",\n    narrative: "n",\n'),
}


@pytest.mark.parametrize("text", SAME_MEANING.values(), ids=SAME_MEANING.keys())
def test_layout_comments_and_written_hash_do_not_matter(text):
    assert qel.normalize(text) == qel.normalize(MINIMAL)


OTHER_MEANING = {
    "narrative": with_text("narrative", "N"),
    "version": MINIMAL.replace("version: 1", "version: 2"),
    "float-default": MINIMAL.replace("Integer = 0", "Integer = 0.0"),
    "type": MINIMAL.replace("parameters: { count: Integer }",
                            "parameters: { count: Float }"),
    "limit": MINIMAL.replace("max_state_size_bytes: 1024",
                             "max_state_size_bytes: 1025"),
    "extensions": MINIMAL + "Extensions { }",
}


@pytest.mark.parametrize("text", OTHER_MEANING.values(), ids=OTHER_MEANING.keys())
def test_changes_of_meaning_change_the_hash(text):
    assert qel.semantic_hash(text) != qel.semantic_hash(MINIMAL)


# ---- Properties ------------------------------------------------------------------

# Any character a string literal can hold (no surrogates).
texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=20)


@settings(max_examples=150, deadline=None)
@given(narrative=texts, items=st.lists(texts, max_size=5), variant=texts)
def test_any_text_survives_a_second_normalisation(narrative, items, variant):
    text = with_text("narrative", narrative).replace(
        'invariants: ["count >= 0"]',
        "invariants: [%s]" % ", ".join(source_string(i) for i in items),
    ).replace(
        "state: { count: Integer = 0 }",
        "state: { count: Enum [%s] = %s }" % (source_string(variant),
                                             source_string(variant)),
    )
    once = qel.normalize(text)
    assert qel.normalize(once) == once
    assert qel.semantic_hash(text) == hash_line(once)


@settings(max_examples=100, deadline=None)
@given(st.lists(texts, min_size=1, max_size=6), st.randoms(use_true_random=False))
def test_order_of_list_items_and_fields_does_not_matter(items, rng):
    names = ["f%d" % i for i in range(len(items))]
    fields = ["%s: String = %s" % (n, source_string(v))
              for n, v in zip(names, items)]

    def contract(order):
        return MINIMAL.replace(
            'invariants: ["count >= 0"]',
            "invariants: [%s]" % ", ".join(source_string(items[i]) for i in order),
        ).replace(
            "state: { count: Integer = 0 }",
            "state: { %s }" % " ".join(fields[i] for i in order),
        )

    order = list(range(len(items)))
    shuffled = order[:]
    rng.shuffle(shuffled)
    assert qel.normalize(contract(shuffled)) == qel.normalize(contract(order))
