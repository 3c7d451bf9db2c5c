"""Compiled contracts and sessions for the QEL runtime"""

from collections.abc import Sequence
from typing import Literal, final

@final
class Contract:
    """A contract parsed once, to run and inspect many times.

    Raises ValueError, with the message parse_contract gives, for a text that
    does not parse. Immutable; any number of threads may use one at once, and
    its methods run without holding the interpreter lock.
    """

    def __new__(cls, text: str) -> Contract: ...
    @property
    def stable_id(self) -> str:
        """The stable_id of the contract's Identity."""
    @property
    def version(self) -> int:
        """The version of the contract's Identity."""
    @property
    def semantic_hash(self) -> str:
        """The semantic hash computed from the text, as qel.semantic_hash(text) returns it."""
    def to_json(self) -> str:
        """The contract's JSON, as qel.parse_contract(text) returns it."""
    def normalize(self) -> str:
        """The canonical text, as qel.normalize(text) returns it."""
    def verify(self) -> str:
        """The verification JSON, as qel.verify(text) returns it."""
    def format(self) -> str:
        """The formatted text, as the command `qel fmt` writes it."""
    def execute(self, inputs: str, check_inputs: bool = False) -> str:
        """Run requests from the initial state: the result document of
        qel.execute(text, inputs). Equal results for equal requests, so comparing
        with a stored result audits it.

        With check_inputs, each input naming a parameter must have the declared
        type, and each input must name a parameter or a state field; otherwise
        that request fails with a message naming the input, the type and the
        value.
        """
    def session(self, state: str | None = None, *,
                next_sequence: int = 0) -> Session:
        """A Session starting from the initial state, or from `state`, a JSON object
        text such as a previous final_state or Session.state; provenance entries
        are numbered from next_sequence. ValueError for a state that is not a
        JSON object.
        """

@final
class Session:
    """A contract's state carried between calls; made by Contract.session().

    One call runs at a time; calls from other threads wait their turn.
    """

    def run(self, inputs: str, check_inputs: bool = False) -> str:
        """Run requests, as Contract.execute does, from the session's state: the same
        result document, with this call's operations and provenance entries, whose
        sequence numbers continue the session's. A failed request leaves the state
        as before it; a ValueError (malformed requests) leaves the session as
        before the call.
        """
    @property
    def state(self) -> str:
        """The current state as JSON text, in the form of final_state; Contract.session(state=...) resumes from it."""
    @property
    def next_sequence(self) -> int:
        """The sequence number the next recorded operation gets."""
    @property
    def contract(self) -> Contract:
        """The Contract the session runs."""

# (message, line, column, end_line, end_column)
_Note = tuple[str, int, int, int, int]
# (line, column, end_line, end_column, replacement)
_Edit = tuple[int, int, int, int, str]
# (title, safe, edits)
_Fix = tuple[str, bool, tuple[_Edit, ...]]
_Kind = Literal["parse", "type", "invariant", "determinism", "coherence",
                "lint"]
_ChangeClass = Literal["breaking", "review", "compatible", "error"]

@final
class Finding:
    """One finding of check(): a rule broken at a place of the text.

    Immutable; equal when every attribute is.
    """

    @property
    def code(self) -> str:
        """The rule's code, such as "V101" or "L002"."""
    @property
    def name(self) -> str:
        """The rule's name, such as "state-default-ignored"."""
    @property
    def severity(self) -> Literal["error", "warning"]:
        """Either "error" or "warning"."""
    @property
    def kind(self) -> _Kind:
        """Who found it: "parse", "type", "invariant", "determinism", "coherence" or "lint"."""
    @property
    def message(self) -> str:
        """One line, without a position."""
    @property
    def line(self) -> int | None:
        """Where it starts: 1-based line, or None when it has no place."""
    @property
    def column(self) -> int | None:
        """Where it starts: 1-based column in characters, or None."""
    @property
    def end_line(self) -> int | None:
        """Where it ends (just after its text): 1-based line, or None."""
    @property
    def end_column(self) -> int | None:
        """Where it ends: 1-based column in characters, or None."""
    @property
    def notes(self) -> tuple[_Note, ...]:
        """Other places that explain it, such as the first of two duplicates: (message, line, column, end_line, end_column) each."""
    @property
    def help(self) -> str | None:
        """How to resolve it, or None."""
    @property
    def fixes(self) -> tuple[_Fix, ...]:
        """Edits that resolve it: (title, safe, edits) each, an edit being (line, column, end_line, end_column, replacement); safe when applying them keeps what the contract means."""

@final
class Change:
    """One change found by diff(), placed in both versions.

    Immutable; equal when every attribute is.
    """

    @property
    def code(self) -> str:
        """The rule's code, such as "D101"."""
    @property
    def name(self) -> str:
        """The rule's name, such as "operation-removed"."""
    @property
    def change_class(self) -> _ChangeClass:
        """One of "breaking", "review", "compatible" and "error"."""
    @property
    def security(self) -> bool:
        """Whether it widens what the agent may reach or do."""
    @property
    def message(self) -> str:
        """What changed and why that matters; one line, without a position."""
    @property
    def old_line(self) -> int | None:
        """The place in the old text: 1-based line, or None."""
    @property
    def old_column(self) -> int | None:
        """The place in the old text: 1-based column in characters, or None."""
    @property
    def new_line(self) -> int | None:
        """The place in the new text: 1-based line, or None."""
    @property
    def new_column(self) -> int | None:
        """The place in the new text: 1-based column in characters, or None."""
    @property
    def note(self) -> str | None:
        """What to weigh beside the message, such as a parameter that may have been renamed; None for none. It never changes the class."""

def check(text: str, select: Sequence[str] | None = None,
          ignore: Sequence[str] | None = None) -> list[Finding]:
    """The findings of `qel check` for the text: every independent parse error
    in source order, or the verifier's findings, then the lints in source
    order; a list of Finding.

    select and ignore are sequences of rule codes or their starts ("V1",
    "L"), as --select and --ignore take: only the selected rules are
    reported (all when None), less the ignored ones; parse errors always are.
    ValueError for a code that names no rule. The text is valid when no
    finding is an error; with --strict, when there is no finding.
    """

def format(text: str) -> str:
    """The formatted text, as `qel fmt` prints it. ValueError with the parse
    error for a text that does not parse, or when the formatted text would
    not be the same contract (a bug, never to be written to a file).
    """

def diff(old: str, new: str) -> list[Change]:
    """The changes from old to new, as `qel diff` lists them: a list of Change,
    section by section, the same for any order or layout of either text.
    ValueError, starting "old: " or "new: ", for a text that does not
    parse.
    """
