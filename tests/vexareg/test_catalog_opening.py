"""Every run opens the catalog; when it cannot be opened, whatever the arguments asked
for, the run ends with "Catalog operation failed" and 8, and nothing of a refused
library runs."""

import pytest

from conftest import BANNER, CLOSED, FRAMEWORK_CLASS, FRAMEWORK_INSTANCE, CatalogDouble, touch

SIGNATURE_MAGIC = b"~VexaSignature~\n"

ARGUMENT_SETS = [[], ["-h"], ["-?"], ["-q"], ["-x"], ["-r"], ["-u"]]


def assert_not_opened(run):
    assert run.code == 8
    assert run.out == BANNER
    assert run.err == b"Catalog operation failed\n"


def unsigned_copy(data: bytes) -> bytes:
    assert data.endswith(SIGNATURE_MAGIC)
    length = int.from_bytes(data[-24:-16], "little")
    return data[:len(data) - 24 - length]


@pytest.mark.parametrize("arguments", ARGUMENT_SETS)
def test_no_framework_published(machine, arguments):
    assert_not_opened(machine.run(*arguments))


def test_no_framework_whatever_the_paths(machine):
    workdir = machine.root / "work"
    valid = touch(workdir / "a.dll")
    for arguments in [["-r", valid], ["-r", workdir / "missing.dll"], ["-q", touch(workdir / "a.txt")]]:
        assert_not_opened(machine.run(*arguments))


def test_published_directory_without_the_library(machine):
    machine.publish()
    assert_not_opened(machine.run("-h"))


class TestRefusedLibrary:
    """A library that fails verification is never loaded: it writes no log."""

    def test_unsigned(self, catalog, machine):
        catalog.library.write_bytes(unsigned_copy(catalog.library.read_bytes()))
        assert_not_opened(machine.run("-q"))
        assert catalog.calls() == []

    def test_altered_after_signing(self, catalog, machine):
        data = bytearray(catalog.library.read_bytes())
        data[100] ^= 0xFF
        catalog.library.write_bytes(bytes(data))
        assert_not_opened(machine.run("-q"))
        assert catalog.calls() == []

    def test_signer_not_trusted(self, machine):
        double = CatalogDouble(machine)
        machine.platform("publish", FRAMEWORK_INSTANCE, "--interface", FRAMEWORK_CLASS,
                         "--value", f"InstallDir={machine.install_dir}")
        assert_not_opened(machine.run("-q"))
        assert double.calls() == []

    def test_signed_library_is_accepted(self, catalog, machine):
        # The counterpart of the refusals above, with the same staging.
        run = machine.run("-q")
        assert run.code == 0
        assert run.out == BANNER + b"null\n" + CLOSED


class TestCreateFailure:
    @pytest.mark.parametrize("mode", ["family", "standard", "foreign", "null"])
    @pytest.mark.parametrize("arguments", [["-q"], ["-h"], []])
    def test_create_failure_gives_8(self, catalog, machine, mode, arguments):
        catalog.script(create=mode)
        assert_not_opened(machine.run(*arguments))
        # No instance, so nothing to destroy and no operation.
        assert catalog.calls() == [("create", "")]
