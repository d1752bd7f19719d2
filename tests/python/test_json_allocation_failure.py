"""The direct JSON routes own every reference they hold while a container of theirs
grows: when that growth fails for want of memory, the call fails and nothing leaks.

Each case runs in a child process whose address space is capped just above what the
call needs before its container outgrows the cap. The values hold True, or the name
True whose str() is one shared str: their reference counts show any reference that a
failed call keeps."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = [
    pytest.mark.skipif(
        any(name in os.environ.get("LD_PRELOAD", "") for name in ("asan", "tsan")),
        reason="the sanitizers reserve address space beyond any cap and end the process on a failed allocation"),
    pytest.mark.skipif(sys.platform == "win32", reason="caps the address space with setrlimit, which Windows lacks"),
]

CHILD = textwrap.dedent("""
    import resource, sys
    import corvane_probe as probe

    def address_space():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    def attempt(call, argument, headroom, watched):
        before = sys.getrefcount(watched)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, resource.RLIM_INFINITY))
        # Nothing here may hold a reference to True or its str but the call.
        try:
            call(argument)
        except (MemoryError, TypeError):
            outcome = "failed"
        else:
            outcome = "converted"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(outcome, sys.getrefcount(watched) - before)

    MB = 1 << 20
    if sys.argv[1] == "load":
        # 20 million elements: the text's copy fits, the list of pending elements
        # (8 bytes each) does not.
        text = "[" + ",".join(["true"] * 20_000_000) + "]"
        attempt(probe.load, text, len(text) + 64 * MB, True)
    elif sys.argv[1] == "load-decoded":
        # One string of 20 million CJK characters after true: the text's copy fits, the
        # room its code points are decoded into (4 bytes each) does not, nor then the
        # reference route's copies.
        text = '[true,"' + "\u4e2d" * 20_000_000 + '"]'
        attempt(probe.load, text.encode(), len(text.encode()) + 64 * MB, True)
    else:
        # The writer's members (32 bytes each) fit for 2**22 names; the growth that the
        # name True, converted by str() to a shared str, starts does not.
        value = {f"k{i:07d}": 0 for i in range(1 << 22)}
        value[True] = 0
        attempt(probe.dump, value, 224 * MB, str(True))
""")


@pytest.mark.parametrize("direction", ["load", "load-decoded", "dump"])
def test_failed_growth_fails_the_call_and_keeps_no_reference(direction):
    run = subprocess.run([sys.executable, "-c", CHILD, direction], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    outcome, kept = run.stdout.split()
    assert outcome == "failed", "the cap did not make the call fail: the case tests nothing"
    assert int(kept) == 0, f"{kept} references kept after the failed call"
