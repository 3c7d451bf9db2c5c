import os

import pytest

# The command under test comes first on PATH: scripts/test.sh names the
# directory it built into, which a Python that puts its own bin directory
# first (pyenv) would otherwise hide behind an installed, older qel.
if os.environ.get("QEL_BUILD_DIR"):
    os.environ["PATH"] = os.environ["QEL_BUILD_DIR"] + os.pathsep + os.environ["PATH"]

MINIMAL = """Contract {
  Identity {
    stable_id: "demo-contract"
    version: 1
    created_timestamp: 2026-01-15T10:30:00Z
    owner: "team"
    semantic_hash: "abc"
  }
  PurposeStatement {
    narrative: "n"
    intent_source: "i"
    confidence_level: 0.5
  }
  DataSemantics {
    state: { count: Integer = 0 }
    invariants: ["count >= 0"]
  }
  BehavioralSemantics {
    operations: [
      {
        name: "bump"
        precondition: "count >= 0"
        parameters: { count: Integer }
        postcondition: "count >= 0"
        side_effects: []
        idempotence: "no"
      }
    ]
  }
  ExecutionConstraints {
    trigger_types: ["manual"]
    resource_limits: { max_memory_bytes: 1024, computation_timeout_ms: 1000, max_state_size_bytes: 1024 }
    external_permissions: []
    sandbox_mode: "full_isolation"
  }
  HumanMachineContract {
    system_commitments: []
    system_refusals: []
    user_obligations: []
  }
}
"""


@pytest.fixture
def minimal_contract():
    """A small valid contract that every function accepts."""
    return MINIMAL
