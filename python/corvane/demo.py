"""A short tour of the Corvane module against a published framework.

Run it with the module on PYTHONPATH and the framework's device published (on Linux:
VEXA_PLATFORM_ROOT naming the machine state). It reads properties, nodes, values and
schemas, sets values, runs commands and receives events, with both classes.
"""

import json
import threading

import Corvane


def show(title, value):
    text = value if isinstance(value, str) else json.dumps(value, indent=2, sort_keys=False)
    print(f"--- {title}\n{text}")


def main():
    # ClientApi speaks JSON texts.
    api = Corvane.ClientApi('{"simulate_sensors": true, "interval_ms": 50}')
    show("ClientApi.GetProperties()", api.GetProperties())
    show("ClientApi.QueryNode('settings')", api.QueryNode("settings"))
    show("ClientApi.GetValue('settings.label')", api.GetValue("settings.label"))

    # CorvaneJson speaks Python values.
    client = Corvane.CorvaneJson({"simulate_sensors": True, "interval_ms": 50})
    show("CorvaneJson.GetNode('sensors.temperature')", client.GetNode("sensors.temperature"))
    show("CorvaneJson.GetSchema('settings.threshold', DATA)", client.GetSchema("settings.threshold", Corvane.DATA))
    show("CorvaneJson.GetSchema('diagnostics.sleep', COMMAND)",
         client.GetSchema("diagnostics.sleep", Corvane.COMMAND))

    # Setting values: the Python type picks the overload.
    client.SetValue("settings.label", "Demo run")
    client.SetValue("settings.threshold", 19.5)
    client.SetValue("settings.interval_ms", 20)
    client.SetValue("settings.alarm_enabled", True)
    show("CorvaneJson.GetValue('settings') after SetValue", client.GetValue("settings"))

    # Events: a Python handler receives sensor notifications on a framework thread.
    received = []
    three = threading.Event()

    def on_temperature(source, payload, context):
        received.append((source, payload, context))
        if len(received) >= 3:
            three.set()

    client.RegisterEvent("sensors.temperature", on_temperature, "demo")
    if not three.wait(30):
        raise SystemExit("no sensor events arrived")
    client.UnregisterEvent("sensors.temperature", on_temperature)
    show("events received", [list(event) for event in received[:3]])

    # Commands: ExecuteCommand lets other threads and event handlers run meanwhile.
    show("ClientApi.ExecuteCommand('diagnostics.echo', ...)",
         api.ExecuteCommand("diagnostics.echo", '{"hello": "world"}'))
    show("CorvaneJson.ExecuteCommand('sensors.sample', None)", client.ExecuteCommand("sensors.sample", None))
    show("CorvaneJson.ExecuteCommand('settings.reset', {})", client.ExecuteCommand("settings.reset", {}))

    # Failures arrive as the module's exception types.
    try:
        client.ExecuteCommand("settings.label", {})
    except Corvane.InvalidArgumentException as error:
        show("InvalidArgumentException", str(error))


if __name__ == "__main__":
    main()
