#!/usr/bin/env python3
"""Regenerates the expected outputs of the conformance corpus.

Every contract of examples/ and tests/corpus/contracts/ is run through the
five functions of the built `qel` module; the results are written to
tests/corpus/expected/NAME.FUNCTION.txt (see tests/corpus/README.md). The
check fixtures (tests/corpus/tolerant/, one text with several parse errors
each, and tests/corpus/rules/, one small contract per rule) get
NAME.expected: what `qel check --color never NAME.qel` prints there, with
the `qel` command found on PATH. The
expected files are promises to users -- above all the semantic hashes -- so
run this only when an output is meant to change, read the diff, and say why
in the commit message.

Usage: PYTHONPATH=<build dir> PATH=<build dir>:$PATH \
           python3 tools/refresh_corpus.py [--dry-run]
"""
import argparse
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
CORPUS = ROOT / "tests" / "corpus"
SOURCES = (ROOT / "examples", CORPUS / "contracts")
EXPECTED = CORPUS / "expected"
TEXT_FUNCTIONS = ("parse_contract", "normalize", "semantic_hash", "verify")
CHECK_FIXTURES = (CORPUS / "tolerant", CORPUS / "rules")


def check_output(qel_command, folder, name):
    """What `qel check` prints for one fixture, run from its folder so that
    the expected text holds no absolute path."""
    return subprocess.run([qel_command, "check", "--color", "never", name],
                          cwd=folder, stdout=subprocess.PIPE,
                          check=False).stdout


def read_text(path):
    # Bytes as written: no newline translation and no BOM removal.
    return path.read_bytes().decode("utf-8")


def contracts():
    """(name, path) of every corpus contract, names unique across folders."""
    found = {}
    for folder in SOURCES:
        for path in sorted(folder.glob("*.qel")):
            if path.stem in found:
                sys.exit(f"duplicate contract name {path.stem}: "
                         f"{found[path.stem]} and {path}")
            found[path.stem] = path
    return sorted(found.items())


def request_files(contract):
    """(suffix, path) of the request files beside a contract: NAME.requests.json
    gives the suffix "" and NAME.requests.VARIANT.json the suffix ".VARIANT"."""
    plain = contract.with_name(contract.stem + ".requests.json")
    files = [("", plain)] if plain.exists() else []
    for path in sorted(contract.parent.glob(contract.stem + ".requests.*.json")):
        variant = path.name[len(contract.stem + ".requests."):-len(".json")]
        files.append(("." + variant, path))
    return files


def outcome(call):
    """The returned text, or "ValueError: " and the message."""
    try:
        return call()
    except ValueError as error:
        return "ValueError: " + str(error)


def expected_outputs(qel):
    """{expected file name: text} for the whole corpus."""
    outputs = {}
    for name, path in contracts():
        text = read_text(path)
        for function in TEXT_FUNCTIONS:
            outputs[f"{name}.{function}.txt"] = outcome(
                lambda: getattr(qel, function)(text))
        for suffix, requests in request_files(path):
            inputs = read_text(requests)
            outputs[f"{name}.execute{suffix}.txt"] = outcome(
                lambda: qel.execute(text, inputs))
    return outputs


def refresh_check_fixtures(dry_run):
    """[(label, file name)] of the check fixtures that changed."""
    qel_command = shutil.which("qel")
    if qel_command is None:
        sys.exit("no qel command on PATH")
    changed = []
    for folder in CHECK_FIXTURES:
        for path in sorted(folder.glob("*.qel")):
            want = path.with_suffix(".expected")
            data = check_output(qel_command, folder, path.name)
            if want.exists() and want.read_bytes() == data:
                continue
            changed.append(("changed" if want.exists() else "new",
                            f"{folder.name}/{want.name}"))
            if not dry_run:
                want.write_bytes(data)
    return changed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dry-run", action="store_true",
                        help="report what would change without writing")
    args = parser.parse_args()
    import qel  # the build under test, found through PYTHONPATH

    outputs = expected_outputs(qel)
    EXPECTED.mkdir(parents=True, exist_ok=True)
    changed, added = [], []
    for file_name, text in sorted(outputs.items()):
        path = EXPECTED / file_name
        data = text.encode("utf-8")
        if path.exists():
            if path.read_bytes() == data:
                continue
            changed.append(file_name)
        else:
            added.append(file_name)
        if not args.dry_run:
            path.write_bytes(data)
    removed = sorted(p.name for p in EXPECTED.glob("*.txt")
                     if p.name not in outputs)
    if not args.dry_run:
        for file_name in removed:
            (EXPECTED / file_name).unlink()
    for label, names in (("changed", changed), ("new", added),
                         ("removed", removed)):
        for file_name in names:
            print(f"{label}: {file_name}")
    for label, file_name in refresh_check_fixtures(args.dry_run):
        print(f"{label}: {file_name}")
    print(f"{len(outputs)} expected files; {len(changed)} changed, "
          f"{len(added)} new, {len(removed)} removed"
          + (" (dry run, nothing written)" if args.dry_run else ""))


if __name__ == "__main__":
    main()
