"""A catalog library with a private copy of the C++ runtime (as every module of the
Windows build has) throws from one of its exports: every run still ends with an exit
status of its table, never with a signal. Opening fails with 8 whatever the library
threw; a destroy export that throws changes nothing of the run's result."""

import os
import subprocess

import pytest

from conftest import BANNER, touch

LIBRARY = os.environ["VEXAREG_PRIVATE_RUNTIME_CATALOG"]

# What the library throws, as tests/doubles/throw_described.h describes it: family
# members with empty and non-empty texts, standard exceptions and a value of no class.
THROWN = [
    "VexaException:7:",
    "ProviderNotFoundException:404:",
    "AccessDeniedException:403:denied",
    "runtime_error:",
    "logic_error:",
    "out_of_range:index 9",
    "exception",
    "int",
]

# The export that throws (the variable of tests/doubles/exports.cpp) and whether the
# catalog still opens.
EXPORTS = [
    ("build_type", "VEXA_TEST_BUILD_TYPE_THROW", False),
    ("revision", "VEXA_TEST_REVISION_THROW", False),
    ("create", "VEXA_TEST_CREATE_THROW", False),
    ("destroy", "VEXA_TEST_DESTROY_THROW", True),
]


@pytest.fixture
def private_runtime_catalog(machine):
    machine.stage(LIBRARY)
    machine.publish()
    return machine


@pytest.mark.parametrize("operation", ["-q", "-r"])
@pytest.mark.parametrize("thrown", THROWN)
@pytest.mark.parametrize("export, variable, opens", EXPORTS, ids=[e[0] for e in EXPORTS])
def test_throwing_export_ends_with_a_status_of_the_table(private_runtime_catalog, workdir, monkeypatch,
                                                         operation, thrown, export, variable, opens):
    machine = private_runtime_catalog
    arguments = [operation] if operation == "-q" else [operation, touch(workdir / "a.dll")]
    monkeypatch.setenv(variable, thrown)
    run = machine.run(*arguments)
    assert run.code >= 0, f"ended by signal {-run.code}: {run!r}"
    if opens:
        # The result the run would have had with a well-behaved library.
        assert run.code == 0, run
        assert run.out == BANNER + (b"null\n" if operation == "-q" else b"")
        assert run.err == b""
    else:
        assert run.code == 8, run
        assert run.out == BANNER
        assert run.err == b"Catalog operation failed\n"


def test_the_library_carries_its_own_cpp_runtime():
    # No dependency on the shared C++ library, and no symbol bound from it; the
    # unwinder stays shared.
    dynamic = subprocess.run(["readelf", "-dW", LIBRARY], check=True, capture_output=True, text=True).stdout
    assert "libstdc++" not in dynamic
    assert "libgcc_s" in dynamic
    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", LIBRARY], check=True, capture_output=True,
                             text=True).stdout
    assert "GLIBCXX_" not in symbols and "CXXABI_" not in symbols
