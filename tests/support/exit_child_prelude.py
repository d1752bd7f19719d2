# Common start of the child interpreters that the exit tests run (read as text and
# prepended to each child's script, not imported): a handler and a context whose
# release is announced on stdout, so the parent sees that the handler table gave its
# references back while Python was alive, and a wait for notifications to flow.
import json, sys, threading, time
import Corvane

class Announced:
    def __init__(self, name):
        self.name = name
        self.calls = 0
    def __call__(self, source, payload, context):
        self.calls += 1
        json.loads(payload)
    def __del__(self):
        print(self.name, "released", flush=True)

def wait_for(condition):
    deadline = time.monotonic() + 60
    while not condition():
        if time.monotonic() > deadline:
            sys.exit("no notifications arrived")
        time.sleep(0.001)

handler = Announced("handler")
context = Announced("context")
