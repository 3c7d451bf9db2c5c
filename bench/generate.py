"""Generators of large, realistic inputs for the benchmarks."""
import json
import random

TYPES = [
    "Integer", "Float", "String", "Boolean", "ISO8601", "UUID",
    "Array<String>", "Map<String, Integer>", 'Enum ["open", "held", "closed"]',
    "Object { code: String, amount: Integer = 0, rate: Float = 0.5 }",
    "Array<Object { sku: String, qty: Integer = 1 }>",
]
DEFAULTS = {
    "Integer": "= 0", "Float": "= 1.25", "String": '= "n/a"', "Boolean": "= false",
    "ISO8601": "= 2026-01-15T10:30:00Z", "Array<String>": '= ["a", "b"]',
    'Enum ["open", "held", "closed"]': '= "open"',
}


def assemble(head, state, invariants, ops, commitment, after):
    """A whole contract from its head, state lines, invariants and
    operations, with the sections both shapes close with."""
    return (head
            + "  DataSemantics {\n    state: {\n" + "".join(state) + "    }\n"
            + "    invariants: [" + ", ".join(invariants) + "]\n  }\n"
            + "  BehavioralSemantics {\n    operations: [\n" + "".join(ops)
            + "    ]\n  }\n"
            + """  ExecutionConstraints {
    trigger_types: ["manual", "event_based"]
    resource_limits: { max_memory_bytes: 1048576, computation_timeout_ms: 1000, max_state_size_bytes: 1048576 }
    external_permissions: ["ledger.write"]
    sandbox_mode: "restricted"
  }
  HumanMachineContract {
    system_commitments: ["%s"]
    system_refusals: ["Act outside the declared operations"]
    user_obligations: ["Review the provenance"]
  }
}
""" % commitment + after)


def contract(target_bytes, seed=7):
    """A contract of about target_bytes with many state fields and operations."""
    rng = random.Random(seed)
    head = """// Generated benchmark contract
Contract {
  Identity {
    stable_id: "bench-contract"
    version: 42
    created_timestamp: 2026-01-15T10:30:00Z
    owner: "benchmarks@example.com"
    semantic_hash: "0123456789abcdef"
  }
  PurposeStatement {
    narrative: "A generated contract with many fields and operations, used to measure throughput."
    intent_source: "bench/generate.py"
    confidence_level: 0.875
  }
"""
    # About a fifth of the bytes go to state, the rest to operations.
    state, invariants, ops = [], [], []
    size = len(head)
    i = 0
    while size < target_bytes * 0.2:
        ty = TYPES[i % len(TYPES)]
        default = DEFAULTS.get(ty, "") if i % 3 else ""
        line = f"      field_{i:06d}: {ty} {default}\n"
        state.append(line)
        size += len(line)
        if i % 4 == 0 and ty in ("Integer", "Float"):
            inv = f'"field_{i:06d} >= 0"'
            invariants.append(inv)
            size += len(inv) + 2
        i += 1
    n_fields = i
    j = 0
    while size < target_bytes - 600:
        a = rng.randrange(n_fields)
        b = rng.randrange(n_fields)
        op = f"""      {{
        name: "operation_{j:06d}"
        precondition: "field_{a:06d} >= {rng.randrange(100)}"
        parameters: {{ amount_{j % 7}: Integer, note: String = "none", ratio: Float }}
        postcondition: "field_{b:06d} is not empty"
        side_effects: ["append journal entry {j}", "notify owner of field_{a:06d}"]
        idempotence: "idempotent for identical inputs; repeated calls leave the state unchanged"
      }}
"""
        ops.append(op)
        size += len(op)
        j += 1
    return assemble(head, state, invariants, ops, "Keep every invariant",
                    """Extensions {
  bench { generated: true, size: %d }
}
""" % target_bytes)


# Words for the long texts of the second shape: plain ASCII, non-ASCII
# letters and symbols, and the escapes a string literal may hold.
WORDS = ["ledger", "entry", "balance", "Zürich", "café", "naïve", "€", "Łódź",
         "東京", "データ", "\\\"quoted\\\"", "tab\\there", "line\\nbreak",
         "back\\\\slash", "señal", "Ωmega", "🙂", "régime", "fiancée"]


def nested_type(rng, depth):
    """A type nested `depth` levels deep: Arrays, Maps and Objects in turn."""
    if depth == 0:
        return rng.choice(["String", "Integer", "Float", "Boolean", "ISO8601"])
    inner = nested_type(rng, depth - 1)
    kind = depth % 3
    if kind == 0:
        return f"Array<{inner}>"
    if kind == 1:
        return f"Map<String, {inner}>"
    return f"Object {{ code: String, inner: {inner}, weight: Float = 0.25 }}"


def long_text(rng, words):
    return " ".join(rng.choice(WORDS) for _ in range(words))


def condition(rng, n_fields, terms):
    ops = [">= 0", "> 1", "<= 1000", "is not empty", "is boolean", "== 0", "!= 7"]
    return " and ".join(f"field_{rng.randrange(n_fields):06d} {rng.choice(ops)}"
                        for _ in range(terms))


def contract_wide(target_bytes, seed=13):
    """The second shape: a contract of about target_bytes with many
    conditions, long texts holding escapes and non-ASCII characters, and
    types nested a dozen levels deep."""
    rng = random.Random(seed)
    head = """// Generated benchmark contract: conditions, long texts, deep types
Contract {
  Identity {
    stable_id: "bench-wide"
    version: 7
    created_timestamp: 2026-01-15T10:30:00Z
    owner: "benchmarks@example.com"
    semantic_hash: "0123456789abcdef"
  }
  PurposeStatement {
    narrative: "%s"
    intent_source: "bench/generate.py \\"wide\\""
    confidence_level: 0.625
  }
""" % long_text(rng, 200)
    state, invariants, ops = [], [], []
    size = len(head.encode())
    i = 0
    while size < target_bytes * 0.25:
        ty = nested_type(rng, 2 + i % 12)
        line = f"      field_{i:06d}: {ty}\n"
        state.append(line)
        size += len(line)
        inv = f'"field_{i:06d} >= 0 and {condition(rng, i + 1, i % 4)}"' if i % 4 \
            else f'"field_{i:06d} is not empty"'
        invariants.append(inv)
        size += len(inv) + 2
        i += 1
    n_fields = i
    j = 0
    while size < target_bytes - 800:
        op = f"""      {{
        name: "operation_{j:06d}"
        precondition: "{condition(rng, n_fields, 2 + j % 5)}"
        parameters: {{ amount: Integer, payload: {nested_type(rng, 1 + j % 6)}, note: String = "{long_text(rng, 3)}" }}
        postcondition: "{condition(rng, n_fields, 1 + j % 3)}"
        side_effects: ["{long_text(rng, 12)}", "{long_text(rng, 6)}"]
        idempotence: "{long_text(rng, 10)}"
      }}
"""
        ops.append(op)
        size += len(op.encode())
        j += 1
    return assemble(head, state, invariants, ops,
                    "Keep every invariant — always", "")


def json_document(target_bytes, seed=7):
    """A JSON document of about target_bytes shaped like an API payload."""
    rng = random.Random(seed)
    records = []
    size = 2
    i = 0
    while size < target_bytes:
        rec = {
            "id": f"rec-{i:07d}",
            "name": f"operation_{i:06d}",
            "amount": rng.randrange(1_000_000),
            "ratio": rng.random(),
            "active": bool(i % 2),
            "tags": ["alpha", "beta", f"t{i % 13}"],
            "precondition": f"field_{i:06d} >= {rng.randrange(100)}",
            "meta": {"owner": "benchmarks@example.com", "version": i % 9,
                     "note": None},
        }
        records.append(rec)
        size += len(json.dumps(rec)) + 2
        i += 1
    return json.dumps({"records": records})


EXEC_STATE = """      balance: Integer = 1000
      reserved: Integer = 0
      credit_limit: Integer = 5000
      rate: Float = 0.015
      fee: Float = 1.5
      owner: String = "alice"
      currency: String = "EUR"
      status: Enum ["open", "frozen"] = "open"
      opened_at: ISO8601 = 2026-01-15T10:30:00Z
      account_id: UUID
      active: Boolean = true
      verified: Boolean = false
      tags: Array<String>
      limits: Map<String, Integer>
      last_reference: String
      last_amount: Integer = 0
      counter: Integer = 0
      score: Float = 0.5
      region: String = "eu-west"
      notes: String
"""


def exec_contract():
    ops = []
    for name, pre, params, post in [
        ("deposit", "amount > 0", "amount: Integer, balance: Integer", "balance >= 0"),
        ("withdraw", "balance > 0", "amount: Integer, balance: Integer", "balance >= 0"),
        ("tag", "active is boolean", "tags: Array<String>", "tags is not empty"),
        ("rescore", "score >= 0", "score: Float, counter: Integer", "score <= 1"),
        ("annotate", "balance >= 0", "notes: String, last_reference: String", "notes is not empty"),
    ]:
        ops.append(f"""      {{ name: "{name}" precondition: "{pre}" parameters: {{ {params} }}
        postcondition: "{post}" side_effects: [] idempotence: "no" }}
""")
    return ("""Contract {
  Identity { stable_id: "exec-bench" version: 1 created_timestamp: 2026-01-15T10:30:00Z
    owner: "bench" semantic_hash: "00" }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics {
    state: {
""" + EXEC_STATE + """    }
    invariants: ["balance >= 0", "credit_limit > 0", "counter >= 0"]
  }
  BehavioralSemantics { operations: [
""" + "".join(ops) + """  ] }
  ExecutionConstraints { trigger_types: ["manual"]
    resource_limits: { max_memory_bytes: 100000000, computation_timeout_ms: 10000, max_state_size_bytes: 100000000 }
    external_permissions: [] sandbox_mode: "full_isolation" }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
}
""")


def exec_requests(n, seed=11):
    rng = random.Random(seed)
    reqs = []
    balance = 1000
    for i in range(n):
        kind = i % 5
        if kind == 0:
            amt = rng.randrange(1, 500)
            balance += amt
            reqs.append({"operation": "deposit", "inputs": {"amount": amt, "balance": balance}})
        elif kind == 1:
            amt = rng.randrange(1, 200)
            balance -= amt
            if balance < 0:
                balance += amt
                amt = 0
            reqs.append({"operation": "withdraw", "inputs": {"amount": amt, "balance": balance}})
        elif kind == 2:
            reqs.append({"operation": "tag", "inputs": {"tags": ["vip", f"t{i % 17}"], "region": "eu"}})
        elif kind == 3:
            reqs.append({"operation": "rescore", "inputs": {"score": rng.random(), "counter": i, "fee": 2.5}})
        else:
            reqs.append({"operation": "annotate", "inputs": {
                "notes": f"request {i}", "last_reference": f"REF-{i:06d}",
                "last_amount": rng.randrange(1000), "verified": True, "currency": "EUR"}})
    return json.dumps(reqs)


# One operation over a state of 20 fields (Integer, Float, String and Boolean
# in turn), each request setting 1 to 5 of them: a workload where writing the
# result, three states per request, is most of the cost.
FIELD_TYPES = ["Integer", "Float", "String", "Boolean"]


def update_contract(fields=20):
    state = "".join(f"      f{i:02d}: {FIELD_TYPES[i % 4]}\n" for i in range(fields))
    return ("""Contract {
  Identity { stable_id: "update-bench" version: 1 created_timestamp: 2026-01-15T10:30:00Z
    owner: "bench" semantic_hash: "00" }
  PurposeStatement { narrative: "n" intent_source: "i" confidence_level: 0.5 }
  DataSemantics {
    state: {
""" + state + """    }
    invariants: ["f00 >= 0"]
  }
  BehavioralSemantics { operations: [
    { name: "update" precondition: "f00 >= 0" parameters: {}
      postcondition: "f04 >= 0" side_effects: [] idempotence: "no" }
  ] }
  ExecutionConstraints { trigger_types: ["manual"]
    resource_limits: { max_memory_bytes: 100000000, computation_timeout_ms: 10000, max_state_size_bytes: 100000000 }
    external_permissions: [] sandbox_mode: "full_isolation" }
  HumanMachineContract { system_commitments: [] system_refusals: [] user_obligations: [] }
}
""")


def update_requests(n, fields=20, seed=5):
    rng = random.Random(seed)
    values = [lambda: rng.randrange(1_000_000), lambda: rng.random() * 1000,
              lambda: f"value-{rng.randrange(10_000)}", lambda: rng.random() < 0.5]
    reqs = []
    for _ in range(n):
        inputs = {}
        for i in sorted(rng.sample(range(fields), rng.randint(1, 5))):
            inputs[f"f{i:02d}"] = values[i % 4]()
        reqs.append({"operation": "update", "inputs": inputs})
    return json.dumps(reqs)
