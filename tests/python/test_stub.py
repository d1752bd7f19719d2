"""The type stub installed beside the module describes the module as built."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import Corvane

STUB = Path(Corvane.__file__).with_name("Corvane.pyi")


def test_stub_is_installed_beside_the_module():
    assert STUB.is_file()


@pytest.mark.skipif(sys.platform == "win32", reason="Debian's mypy is compiled for Linux and cannot run on Windows")
def test_stubtest_finds_no_difference():
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "Corvane", "--mypy-config-file", os.devnull,
                             "--allowlist", str(Path(__file__).with_name("stubtest_allowlist.txt"))],
                            env=env, capture_output=True, text=True, cwd=STUB.parent, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def stub_overloads(class_name, method):
    """Parameter names and annotations of each stub overload of class_name.method."""
    tree = ast.parse(STUB.read_text())
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == class_name)
    found = []
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and node.name == method:
            params = node.args.posonlyargs + node.args.args
            found.append([(p.arg, ast.unparse(p.annotation) if p.annotation else None) for p in params[1:]])
    return found


def runtime_overloads(function):
    """Parameter names of each overload in the signatures pybind11 generated."""
    overloads = []
    for line in function.__doc__.splitlines():
        if "(" not in line or "->" not in line:
            continue
        inside = line[line.index("(") + 1:line.rindex(")")]
        params = [part.split(":")[0].strip() for part in inside.split(", ")][1:]
        overloads.append(params)
    return overloads


def test_stub_parameter_names_match_the_generated_signatures():
    # stubtest cannot see inside pybind11's overloads; compare names and counts here.
    for class_name in ("ClientApi", "CorvaneJson"):
        cls = getattr(Corvane, class_name)
        for method in ("__init__", "GetProperties", "GetNode", "GetValue", "GetSchema", "ExecuteCommand",
                       "QueryNode", "RegisterEvent", "UnregisterEvent", "SetValue"):
            runtime = runtime_overloads(getattr(cls, method))
            stub = [[name for name, _ in overload] for overload in stub_overloads(class_name, method)]
            if method == "SetValue":
                # The two text overloads are one overload for a type checker.
                runtime = runtime[:4]
            assert stub == runtime, f"{class_name}.{method}"
