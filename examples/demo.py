"""Walks the example contracts through the five qel functions.

Run from anywhere: python3 examples/demo.py
"""
import json
import shutil
import subprocess
import pathlib
import tempfile
import textwrap

import qel

HERE = pathlib.Path(__file__).resolve().parent


def banner(title):
    print()
    print("=" * 78)
    print(title)
    print("=" * 78)


def show_parse(text):
    model = json.loads(qel.parse_contract(text))
    ident = model["identity"]
    print(f"parse_contract: {ident['stable_id']} v{ident['version']} "
          f"owned by {ident['owner']}")
    state = model["data_semantics"]["state"]
    print(f"  state fields ({len(state)}):")
    for name, desc in state.items():
        if isinstance(desc, dict):
            print(f"    {name}: {desc['type']} = {json.dumps(desc['default'])}")
        else:
            print(f"    {name}: {desc}")
    ops = model["behavioral_semantics"]["operations"]
    print(f"  operations: {', '.join(op['name'] for op in ops)}")
    limits = model["execution_constraints"]["resource_limits"]
    print(f"  limits: {limits}")


def show_canonical(text):
    canonical = qel.normalize(text)
    digest = qel.semantic_hash(text)
    print(f"semantic_hash: {digest}")
    print("normalize (first lines of the canonical text):")
    print(textwrap.indent("\n".join(canonical.splitlines()[:12]), "  | "))
    assert qel.normalize(canonical) == canonical
    assert qel.semantic_hash(canonical) == digest
    print("  re-normalizing the canonical text gives the same text and hash")


def show_verdict(text):
    verdict = json.loads(qel.verify(text))
    print(f"verify: valid={verdict['valid']}, "
          f"{len(verdict['errors'])} error(s), "
          f"{len(verdict['warnings'])} warning(s)")
    for d in verdict["errors"] + verdict["warnings"]:
        print(f"  [{d['severity']}/{d['kind']}] {d['message']}")


def show_execution(text, requests_path):
    requests = requests_path.read_text(encoding="utf-8")
    result = json.loads(qel.execute(text, requests))
    print(f"execute {requests_path.name}: success={result['success']}")
    for op in result["operations"]:
        if op["success"]:
            entry = op["provenance"]
            changes = ", ".join(
                f"{c['field']}: {json.dumps(c['old_value'])} -> "
                f"{json.dumps(c['new_value'])}" for c in entry["changes"])
            print(f"  #{entry['sequence']} {op['operation']}: {changes or 'no change'}")
        else:
            print(f"  FAILED {op['operation']}: {op['error']}")
    print(f"  provenance entries: {len(result['provenance']['entries'])}")
    print(f"  final state: {json.dumps(result['final_state'], sort_keys=True)}")


def main():
    for path in sorted(HERE.glob("*.qel")):
        text = path.read_text(encoding="utf-8")
        banner(path.name)
        show_parse(text)
        show_canonical(text)
        show_verdict(text)
        requests = path.with_suffix(".requests.json")
        if requests.exists():
            show_execution(text, requests)

    banner("qel check: verifier findings and lints (what the run time will not do)")
    qel_command = shutil.which("qel")
    if qel_command is None:
        print("  (the qel command is not on PATH)")
    else:
        # The faulty draft has errors of its own; the lints are the
        # warnings of the other examples.
        subprocess.run([qel_command, "check", "--color=never",
                        *sorted(str(p.relative_to(HERE.parent))
                                for p in HERE.glob("*.qel")
                                if "faulty" not in p.name)],
                       cwd=HERE.parent, check=False)

    banner("qel diff: a new version that refuses requests the old one ran")
    if qel_command is not None:
        old = HERE / "account_transfers.qel"
        new_text = (old.read_text(encoding="utf-8")
                    .replace('precondition: "amount > 0"', 'precondition: "amount > 10"')
                    .replace("version: 3", "version: 4"))
        with tempfile.TemporaryDirectory() as tmp:
            new = pathlib.Path(tmp) / "account_transfers.qel"
            new.write_text(new_text, encoding="utf-8")
            done = subprocess.run([qel_command, "diff", "--color=never",
                                   str(old.relative_to(HERE.parent)), str(new)],
                                  cwd=HERE.parent, capture_output=True, text=True,
                                  check=False)
            print(done.stdout.replace(tmp, "NEW"), end="")
            print(f"(exit status {done.returncode}: 1 means something breaks)")

    banner("errors are ValueError with the position of the fault")
    try:
        qel.parse_contract("Contract {\n  Identity { owner \"x\" }\n}")
    except ValueError as e:
        print(f"ValueError: {e}")


if __name__ == "__main__":
    main()
