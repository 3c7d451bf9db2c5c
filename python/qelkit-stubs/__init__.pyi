"""Compiled contracts and sessions for the QEL runtime"""

from typing import final

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
