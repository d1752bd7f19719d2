#!/usr/bin/python3
"""Streams notifications of the sample framework into one asyncio subscription with a
small queue, and reports what the consumer took, what overflowed and the memory held.

Usage: async_stream.py [TOTAL [MAXSIZE]]   (100 000 through a queue of 1 000 by default)

The framework must be published (VEXA_PLATFORM_ROOT) and Corvane and corvane_tools
importable. The framework's diagnostics.emit delivers TOTAL notifications from its own
thread as fast as it can while one task consumes them.
"""

import asyncio
import resource
import sys
import tracemalloc

from corvane_tools import AsyncClient

PAYLOAD = '{"x": "%s"}' % ("v" * 100)


async def stream(total: int, maxsize: int, stalled: bool) -> None:
    async with AsyncClient({"simulate_sensors": False}) as client:
        async with client.subscribe("demo.x", maxsize=maxsize) as notifications:
            command = asyncio.create_task(client.ExecuteCommand(
                "diagnostics.emit", {"source": "demo", "payload": PAYLOAD, "count": total}))
            if stalled:
                await command  # the worst case: nothing is taken until everything was delivered
            taken = 0
            async for _ in notifications:
                taken += 1
                # Every notification is either taken or counted as dropped.
                if taken + notifications.overflowed == total:
                    break
            delivered = (await command)["deliveries"]
            print(f"  delivered by the framework: {delivered}, taken: {taken}, "
                  f"overflowed: {notifications.overflowed}, taken + overflowed: {taken + notifications.overflowed}")


def main() -> int:
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    maxsize = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000
    print(f"{total} notifications of {len(PAYLOAD)} bytes through a queue of {maxsize} "
          f"(the stream's payloads alone: {total * len(PAYLOAD) / 1024:.0f} KiB)")
    for stalled in (False, True):
        print("consumer stalled until the framework has delivered everything:" if stalled else
              "consumer taking notifications as they come:")
        tracemalloc.start()
        asyncio.run(stream(total, maxsize, stalled))
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        print(f"  peak of Python memory while streaming: {peak / 1024:.0f} KiB")
    print(f"peak resident memory of the process: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
