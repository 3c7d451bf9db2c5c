#!/usr/bin/env python3
"""Writes the README's table of check rules from the registry, as
`qel help rules --format json` gives it, between the markers
<!-- rules:begin --> and <!-- rules:end -->. The contract comparison's rules
(D codes) have their own table in the README, with examples of changes;
tests/python/test_rules_doc.py checks its codes and names against the
registry.

Usage: python3 tools/gen_rules_doc.py [--check] [--qel PATH]
--check: exit 1, writing nothing, when the README is not current.
"""
import argparse
import json
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
BEGIN, END = "<!-- rules:begin -->", "<!-- rules:end -->"


def registry(qel):
    out = subprocess.run([qel, "help", "rules", "--format", "json"],
                         stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out)


def cell(text):
    return text.replace("|", "\\|")


def table(rules):
    lines = ["| code | name | severity | finds | why it matters | example |",
             "|---|---|---|---|---|---|"]
    # Families in the order a text meets them: parse, verify, lint.
    for r in sorted((r for r in rules if r["code"][0] in "PVL"),
                    key=lambda r: ("PVL".index(r["code"][0]), r["code"])):
        example = f"`{cell(r['example'])}`" if r["example"] else ""
        lines.append(f"| {r['code']} | {r['name']} | {r['severity']} | "
                     f"{cell(r['summary'])} | {cell(r['why'])} | {example} |")
    return "\n".join(lines)


def updated(readme, rules):
    head, found, rest = readme.partition(BEGIN)
    if not found or END not in rest:
        sys.exit(f"README.md has no {BEGIN} ... {END} block")
    _, _, tail = rest.partition(END)
    return f"{head}{BEGIN}\n{table(rules)}\n{END}{tail}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--qel", default=shutil.which("qel"))
    args = parser.parse_args()
    if args.qel is None:
        sys.exit("no qel command on PATH (or give --qel)")
    readme = README.read_text(encoding="utf-8")
    new = updated(readme, registry(args.qel))
    if new == readme:
        return 0
    if args.check:
        print("README.md's rule table is stale: run tools/gen_rules_doc.py",
              file=sys.stderr)
        return 1
    README.write_text(new, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
