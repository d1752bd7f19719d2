"""The exception family's table as the C++ header writes it, for the tests to compare
the module, its stub and the native classes against."""

import re
from pathlib import Path

HEADER = Path(__file__).resolve().parents[2] / "interfaces" / "exception_family.h"
NO_PYTHON_TYPE = "NoPythonType"


def rows():
    """(class, C++ base, Python base) of each row, in the table's order."""
    text = HEADER.read_text()
    table = text[text.index("#define VEXA_EXCEPTION_FAMILY("):]
    table = table[:table.index("\n\n")]
    found = re.findall(r"^\s*(?:ROOT|X)\((\w+), ([\w:]+), (\w+)\)", table, re.MULTILINE)
    assert found, "no rows found in " + str(HEADER)
    return found


def raised_as(native):
    """The Python type name a native class arrives as: its own, or that of its nearest
    base with one."""
    table = {name: (base, python_base) for name, base, python_base in rows()}
    while table[native][1] == NO_PYTHON_TYPE:
        native = table[native][0]
    return native
