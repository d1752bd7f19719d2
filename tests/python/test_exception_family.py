"""The module's exception types and its stub say what the family's table says."""

import ast
import builtins
from pathlib import Path

import Corvane
import exception_family

STUB = Path(Corvane.__file__).with_name("Corvane.pyi")


def expected_types():
    """{Python type name: base name} for every row with a Python type of its own."""
    return {name: python_base for name, _, python_base in exception_family.rows()
            if python_base != exception_family.NO_PYTHON_TYPE}


def test_table_reads_as_a_family_with_one_root():
    rows = exception_family.rows()
    names = [name for name, _, _ in rows]
    assert len(set(names)) == len(names)
    assert rows[0][1] == "std::runtime_error"
    for position, (_, base, _) in enumerate(rows[1:], start=1):
        # Each base stands before its subclasses: the catch ladder relies on it.
        assert base in names[:position]


def test_module_has_exactly_the_types_of_the_table():
    module_types = {name: value for name, value in vars(Corvane).items()
                    if isinstance(value, type) and issubclass(value, BaseException)}
    expected = expected_types()
    assert module_types.keys() == expected.keys()
    for name, base in expected.items():
        base_type = getattr(Corvane, base, None) or getattr(builtins, base)
        assert module_types[name].__bases__ == (base_type,), name


def test_stub_declares_exactly_the_types_of_the_table():
    tree = ast.parse(STUB.read_text())
    declared = {node.name: [ast.unparse(b) for b in node.bases] for node in tree.body
                if isinstance(node, ast.ClassDef) and node.name.endswith("Exception")}
    assert declared == {name: [base] for name, base in expected_types().items()}

