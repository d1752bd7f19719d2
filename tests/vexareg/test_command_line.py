"""The command line of vexareg: options, usage text and the checks of path arguments.

Every run here opens the catalog double, so its log shows that the catalog was
opened and closed and that no operation ran where none should."""

import os
import subprocess
from pathlib import Path

import pytest

from conftest import BANNER, CLOSED, VEXAREG, touch, usage

OPENED_ONLY = [("create", ""), ("destroy",)]


def test_no_arguments_is_incorrect_input(catalog, machine):
    run = machine.run()
    assert run.code == 4
    assert run.out == BANNER + CLOSED + usage(VEXAREG)
    assert run.err == b"Incorrect input\n"
    assert catalog.calls() == OPENED_ONLY


def test_messages_follow_the_closing_of_the_catalog(catalog, machine):
    code, merged = machine.run_merged()
    assert code == 4
    assert merged == BANNER + CLOSED + b"Incorrect input\n" + usage(VEXAREG)


def test_usage_names_the_program_as_invoked(catalog, machine):
    for program in ["vexareg", r"C:\Tools\vexareg.exe", "./relative/name with blanks", ""]:
        completed = subprocess.run([program, "-h"], executable=VEXAREG, env=machine.environment(),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert completed.returncode == 6
        assert completed.stdout == BANNER + CLOSED + usage(program)
        assert completed.stderr == b""


@pytest.mark.parametrize("option", ["-h", "-?", "-help"])
def test_help_prints_usage_and_gives_6(catalog, machine, option):
    run = machine.run(option)
    assert run.code == 6
    assert run.out == BANNER + CLOSED + usage(VEXAREG)
    assert run.err == b""
    assert catalog.calls() == OPENED_ONLY


@pytest.mark.parametrize("option", ["--help", "-H", "/?", "-r1", "help", "-R", "-U", "-Q",
                                    "-HELP", "-q ", "", "r"])
def test_unknown_options_are_incorrect_input(catalog, machine, option):
    run = machine.run(option)
    assert run.code == 4
    assert run.out == BANNER + CLOSED + usage(VEXAREG)
    assert run.err == b"Incorrect input\n"
    assert catalog.calls() == OPENED_ONLY


def test_unknown_option_stops_before_the_paths(catalog, machine, workdir):
    # A missing path would give 9 if it were looked at.
    run = machine.run("-x", workdir / "missing.dll")
    assert run.code == 4
    assert run.err == b"Incorrect input\n"


def test_register_without_paths_does_nothing(catalog, machine):
    run = machine.run("-r")
    assert run.code == 0
    assert run.out == BANNER + CLOSED
    assert run.err == b""
    assert catalog.calls() == OPENED_ONLY


class TestExtension:
    def test_uppercase_extension_is_not_a_dll(self, catalog, machine, workdir):
        run = machine.run("-r", touch(workdir / "a.DLL"))
        assert run.code == 10
        assert run.out == BANNER + CLOSED
        assert run.err == b"The specified file is not a DLL\n"
        assert catalog.calls() == OPENED_ONLY

    @pytest.mark.parametrize("name", [".dll", "a.dl", "a.dll.txt", "adll", "a.dll.", "a:b.dll"])
    def test_other_names_are_not_dlls(self, catalog, machine, workdir, name):
        run = machine.run("-r", touch(workdir / name))
        assert run.code == 10
        assert run.err == b"The specified file is not a DLL\n"

    def test_directory_named_like_a_dll_is_accepted(self, catalog, machine, workdir):
        directory = workdir / "a.dll"
        directory.mkdir()
        run = machine.run("-r", directory)
        assert run.code == 0
        assert ("register", str(directory)) in catalog.calls()

    def test_trailing_separator_leaves_no_extension(self, catalog, machine, workdir):
        (workdir / "a.dll").mkdir()
        run = machine.run("-r", f"{workdir}/a.dll/")
        assert run.code == 10

    @pytest.mark.parametrize("name", [".", ".."])
    def test_dot_components_have_no_extension(self, catalog, machine, workdir, name):
        run = machine.run("-r", f"{workdir}/{name}")
        assert run.code == 10

    def test_extension_ends_at_the_first_colon(self, catalog, machine, workdir):
        provider = touch(workdir / "a.dll:stream")
        run = machine.run("-r", provider)
        assert run.code == 0
        assert ("register", str(provider)) in catalog.calls()

    def test_link_is_judged_by_its_own_name(self, catalog, machine, workdir):
        link = workdir / "link.dll"
        link.symlink_to(touch(workdir / "target.txt"))
        run = machine.run("-r", link)
        assert run.code == 0
        assert ("register", str(link)) in catalog.calls()


class TestMissingPaths:
    def test_first_missing_path_stops_with_9(self, catalog, machine, workdir):
        # The second path would give 10 if it were examined.
        run = machine.run("-r", workdir / "missing.dll", touch(workdir / "a.DLL"))
        assert run.code == 9
        assert run.out == BANNER + CLOSED
        assert run.err == b"The specified file does not exist\n"
        assert catalog.calls() == OPENED_ONLY

    def test_missing_path_after_valid_ones_registers_nothing(self, catalog, machine, workdir):
        run = machine.run("-r", touch(workdir / "a.dll"), workdir / "missing.dll")
        assert run.code == 9
        assert catalog.calls() == OPENED_ONLY

    @pytest.mark.parametrize("option", ["-q", "-u", "-h"])
    def test_paths_are_checked_for_every_option(self, catalog, machine, workdir, option):
        run = machine.run(option, workdir / "missing.dll")
        assert run.code == 9
        assert run.err == b"The specified file does not exist\n"
        assert catalog.calls() == OPENED_ONLY

    def test_not_found_forms(self, catalog, machine, workdir):
        touch(workdir / "file.txt")
        (workdir / "dangling.dll").symlink_to(workdir / "nowhere.dll")
        for argument in [workdir / "file.txt" / "x.dll",        # a file used as a directory
                         workdir / "nodir" / "x.dll",           # a missing directory
                         workdir / ("n" * 300 + ".dll"),       # a name no file can have
                         workdir / "dangling.dll",              # a link to nothing
                         ""]:
            run = machine.run("-r", argument)
            assert run.code == 9, argument
            assert run.err == b"The specified file does not exist\n"


class TestUnexaminablePaths:
    """A path whose status cannot be read gives 8: the operation does not run, but the
    parser goes on, so a later missing path or non-DLL still decides."""

    @pytest.fixture
    def looping(self, workdir):
        # Resolving either name never ends: the query fails with a loop error, which
        # says nothing about whether the file exists.
        (workdir / "loop.dll").symlink_to(workdir / "loop.dll")
        (workdir / "loopdir").symlink_to(workdir / "loopdir")
        return [workdir / "loop.dll", workdir / "loopdir" / "x.dll"]

    def test_loop_stops_the_operation(self, catalog, machine, workdir, looping):
        for path in looping:
            catalog.forget_calls()
            run = machine.run("-r", path, touch(workdir / "a.dll"))
            assert run.code == 8
            assert run.out == BANNER + CLOSED
            assert run.err == b"Catalog operation failed\n"
            assert catalog.calls() == OPENED_ONLY

    def test_loop_then_missing_path_gives_9(self, catalog, machine, workdir, looping):
        run = machine.run("-r", looping[0], workdir / "missing.dll")
        assert run.code == 9
        assert run.err == b"The specified file does not exist\n"

    def test_loop_then_non_dll_gives_10(self, catalog, machine, workdir, looping):
        run = machine.run("-u", looping[1], touch(workdir / "a.txt"))
        assert run.code == 10

    def test_query_does_not_run(self, catalog, machine, looping):
        run = machine.run("-q", looping[0])
        assert run.code == 8
        assert run.out == BANNER + CLOSED
        assert catalog.calls() == OPENED_ONLY

    @pytest.fixture
    def unprivileged(self, machine, workdir):
        """Runs the tool as 'nobody' with a provider below a directory it may not search."""
        if os.geteuid() != 0:
            pytest.skip("needs root to switch to an unprivileged user")
        locked = workdir / "locked"
        touch(locked / "x.dll")
        os.chmod(locked, 0o700)
        for directory in [workdir, machine.install_dir]:
            os.chmod(directory, 0o777)  # the double writes its log as that user

        def drop():
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)

        return locked / "x.dll", drop

    def test_permission_denied_stops_the_operation(self, catalog, machine, workdir, unprivileged):
        denied, drop = unprivileged
        valid = touch(workdir / "a.dll")
        run = machine.run("-r", denied, valid, preexec=drop)
        assert run.code == 8
        assert run.out == BANNER + CLOSED
        assert run.err == b"Catalog operation failed\n"
        # The catalog did open as that user; only the registration was withheld.
        assert catalog.calls() == OPENED_ONLY
        # As root, the same path is fine: the 8 came from the refused status query.
        assert machine.run("-r", denied, valid).code == 0

    def test_permission_denied_then_missing_gives_9(self, catalog, machine, workdir, unprivileged):
        denied, drop = unprivileged
        run = machine.run("-r", denied, workdir / "missing.dll", preexec=drop)
        assert run.code == 9
        assert run.err == b"The specified file does not exist\n"
