"""The type stubs describe the module exactly, and type checkers use them."""
import ast
import importlib.util
import inspect
import pathlib
import shutil
import subprocess
import sys

import pytest

import qel

STUB = (pathlib.Path(__file__).resolve().parents[2]
        / "python" / "qel-stubs" / "__init__.pyi")


def stub_functions():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body
            if isinstance(node, ast.FunctionDef)}, ast.get_docstring(tree)


def test_stub_lists_exactly_the_module_functions():
    functions, module_doc = stub_functions()
    public = [n for n in vars(qel) if not n.startswith("__")]
    assert sorted(functions) == sorted(public)
    assert module_doc == qel.__doc__


@pytest.mark.parametrize("name", ["parse_contract", "normalize", "verify",
                                  "execute", "semantic_hash"])
def test_stub_signature_and_docstring_match(name):
    functions, _ = stub_functions()
    node = functions[name]
    params = [a.arg for a in node.args.args]
    assert f"({', '.join(params)})" == str(inspect.signature(getattr(qel, name)))
    assert all(ast.unparse(a.annotation) == "str" for a in node.args.args)
    assert ast.unparse(node.returns) == "str"
    assert ast.get_docstring(node) == inspect.getdoc(getattr(qel, name))


CLIENT_OK = """
import qel

def digest(text: str) -> str:
    return qel.semantic_hash(text)

def run(text: str, requests: str) -> str:
    return qel.execute(text, inputs=requests)
"""

CLIENT_BAD = """
import qel

count: int = qel.normalize("x")
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                    reason="mypy is not installed")
def test_mypy_strict_uses_the_stubs(tmp_path):
    # A stub-only package is found in site-packages; here the same file is
    # offered on MYPYPATH under the module's own name.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / "qel.pyi")
    env = {"MYPYPATH": str(stubs), "PATH": "/usr/bin:/bin"}

    def mypy(source):
        client = tmp_path / "client.py"
        client.write_text(source, encoding="utf-8")
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
             str(client)], capture_output=True, text=True, env=env,
            cwd=tmp_path)

    ok = mypy(CLIENT_OK)
    assert ok.returncode == 0, ok.stdout
    bad = mypy(CLIENT_BAD)
    assert bad.returncode == 1
    assert 'expression has type "str", variable has type "int"' in bad.stdout
