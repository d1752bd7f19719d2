"""Beyond the raw Corvane module: an asyncio client and the ``corvane`` command line.

``import Corvane`` stays the module's own interface; this package builds on its
``CorvaneJson`` class. The command line is ``corvane`` (or ``python -m corvane_tools``).
"""

from corvane_tools.aio import AsyncClient, Json, Notification, Overflow, Scalar, Subscription, UnparsedPayload

__all__ = ["AsyncClient", "Json", "Notification", "Overflow", "Scalar", "Subscription", "UnparsedPayload"]
