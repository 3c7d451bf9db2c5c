"""QEL Python module — deterministic intent contract runtime"""

def parse_contract(text: str) -> str:
    """Parse QEL contract text and return a JSON string of the parsed Contract.

    Args:
        text: QEL contract source text

    Returns:
        JSON string representation of the parsed Contract

    Raises:
        ValueError: If the contract text has syntax or semantic errors
    """

def normalize(text: str) -> str:
    """Normalize QEL contract text to canonical form.

    Guarantees:
      - Deterministic: same input → same output
      - Idempotent: normalize(normalize(x)) == normalize(x)
      - Semantic preserving: meaning is unchanged

    Args:
        text: QEL contract source text

    Returns:
        Canonical normalized QEL text

    Raises:
        ValueError: If the contract text cannot be parsed
    """

def verify(text: str) -> str:
    """Verify an QEL contract for correctness.

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
        ValueError: If the contract text cannot be parsed
    """

def execute(text: str, inputs: str) -> str:
    """Execute an QEL contract with the given inputs.

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
        ValueError: If the contract cannot be parsed, verified, or executed
    """

def semantic_hash(text: str) -> str:
    """Compute the SHA-256 semantic hash of a contract.

    The hash is computed from the normalized (canonical) form,
    so semantically equivalent contracts produce the same hash.

    Args:
        text: QEL contract source text

    Returns:
        Hex-encoded SHA-256 hash string

    Raises:
        ValueError: If the contract text cannot be parsed
    """
