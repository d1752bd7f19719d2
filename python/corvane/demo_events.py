"""Subscribes to the sample framework's temperature sensor and prints a few notifications.

Usage: demo_events.py [COUNT]   (COUNT notifications, 5 by default)

The framework must be published on this machine (or in the machine state that
VEXA_PLATFORM_ROOT names) and the Corvane module importable.
"""

import queue
import sys

import Corvane

SENSOR = "sensors.temperature"
WAIT_SECONDS = 10


def main(count):
    client = Corvane.CorvaneJson({"interval_ms": 100})
    notifications = queue.Queue()

    # Runs on a framework thread; hands the notification to the main thread.
    def on_change(source, payload, context):
        notifications.put((source, payload, context))

    client.RegisterEvent(SENSOR, on_change, context="demo")
    try:
        for number in range(1, count + 1):
            try:
                source, payload, context = notifications.get(timeout=WAIT_SECONDS)
            except queue.Empty:
                print(f"no notification from {SENSOR} within {WAIT_SECONDS} s", file=sys.stderr)
                return 1
            print(f"{number}: source={source} payload={payload} context={context}")
    finally:
        client.UnregisterEvent(SENSOR, on_change)
    return 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 5))
