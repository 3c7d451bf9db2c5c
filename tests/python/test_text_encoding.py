"""Text arguments and results of every str kind, with characters other than
ASCII at every offset around the 8-, 16- and 32-character blocks the module
converts a vector at a time, and near the text's end where the last few are
converted one at a time; on the default instruction path, and again with
QEL_SIMD forcing the others."""
import hashlib
import json
import os
import subprocess
import sys

import pytest

import qel

from conftest import MINIMAL

# (a character that sets the str's kind, placed first; the character moved
# along the text). The moved ones sit at the edges of the UTF-8 lengths and
# of the lanes' signed ranges.
KINDS = [
    ("", "\x7f"),
    ("\xe9", "\x80"),
    ("\xe9", "\xff"),
    ("\u20ac", "\x7f"),
    ("\u20ac", "\u07ff"),
    ("\u20ac", "\u0800"),
    ("\u20ac", "\uffff"),
    ("\U0001f642", "\x80"),
    ("\U0001f642", "\ud7ff"),
    ("\U0001f642", "\U00010000"),
    ("\U0001f642", "\U0010ffff"),
]
# Offsets 0..WIDTH after the first character: every lane of two blocks of
# the widest path, the last one ending a few characters before the text.
WIDTH = 100


def obligation_texts(first, moved):
    for k in range(WIDTH + 1):
        # One alone, then two together: more than one in a block.
        item = first + "a" * k + moved + "b" + moved * 2 + "c" * (WIDTH - k)
        text = MINIMAL.replace("user_obligations: []",
                               f'user_obligations: ["{item}"]')
        yield k, item, text


@pytest.mark.parametrize("first, moved", KINDS)
def test_characters_at_every_offset_round_trip(first, moved):
    for k, item, text in obligation_texts(first, moved):
        parsed = qel.parse_contract(text)
        canonical = qel.normalize(text)
        digest = qel.semantic_hash(text)
        for out in (parsed, canonical):
            # A str of another kind than its widest character's compares
            # unequal to the same text made anew.
            assert out == out.encode().decode(), k
        obligations = json.loads(parsed)["human_machine_contract"]
        assert obligations["user_obligations"] == [item], k
        assert f'"{item}"' in canonical, k
        blanked = canonical.replace(digest, "0" * 64).encode()
        assert hashlib.sha256(blanked).hexdigest() == digest, k


@pytest.mark.parametrize("first", ["", "\xe9", "\u20ac", "\U0001f642"])
@pytest.mark.parametrize("surrogate", ["\ud800", "\udfff"])
def test_lone_surrogate_raises_as_the_str_encoder_does(first, surrogate):
    # At every offset, and in the second of the pieces of a million
    # characters that a long text is converted in.
    for k in [*range(WIDTH), (1 << 20) + 5]:
        text = first + "a" * k + surrogate + "b" * 40
        with pytest.raises(UnicodeEncodeError) as want:
            text.encode("utf-8")
        for function in (qel.semantic_hash, qel.normalize):
            with pytest.raises(UnicodeEncodeError) as got:
                function(text)
            assert str(got.value) == str(want.value), k
            assert got.value.start == want.value.start


@pytest.mark.parametrize("path", ["scalar", "sse2"])
def test_forced_instruction_paths(path):
    # The path is chosen once per process, from the environment.
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         __file__, "-k", "not forced_instruction_paths"],
        env=dict(os.environ, QEL_SIMD=path), capture_output=True, text=True)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
