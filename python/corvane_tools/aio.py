"""An asyncio client of the Vexa framework over ``Corvane.CorvaneJson``.

Every operation of ``CorvaneJson`` is an awaitable method of ``AsyncClient`` under the
same name, and ``subscribe`` turns event handlers on framework threads into an async
iterator with a bounded queue::

    async with AsyncClient() as client:
        print(await client.GetValue("settings"))
        async with client.subscribe("sensors.temperature") as notifications:
            async for source, payload, context in notifications:
                print(source, payload)
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import enum
import json
import threading
from types import TracebackType
from typing import Any, NamedTuple

import Corvane

# A Python value that converts to and from one JSON value (see Corvane.CorvaneJson).
Json = Any
# What SetValue takes: the Python type picks the framework's value type.
Scalar = bool | int | float | str

_DEFAULT_CONFIGURATION: Any = object()


class Overflow(str, enum.Enum):
    """What a subscription whose queue is full does with a new notification.

    DROP_OLDEST keeps the newest notifications: the oldest one queued makes room (the
    default, for values where the latest reading matters most). DROP_NEWEST keeps the
    queue as it is and drops the new one. Either way the subscription's ``overflowed``
    counts each notification dropped. Framework threads never wait for the loop: a
    delivery that blocked would hold up every other subscriber of the framework.
    """

    DROP_OLDEST = "drop_oldest"
    DROP_NEWEST = "drop_newest"


class UnparsedPayload:
    """The payload of a notification that Python's JSON parser refused, given as the
    notification's payload in place of a parsed value: ``text`` is the JSON text as the
    framework delivered it, ``error`` the parser's exception (``RecursionError`` for a
    payload nested deeper than the interpreter's recursion limit). The framework's own
    parser took the text, so it is JSON; the subscription goes on with the next one."""

    __slots__ = ("text", "error")

    def __init__(self, text: str, error: Exception) -> None:
        self.text = text
        self.error = error

    def __repr__(self) -> str:
        return f"UnparsedPayload(<{len(self.text)} characters>, {self.error!r})"


class Notification(NamedTuple):
    """One notification: the source path, the payload parsed into Python values (an
    ``UnparsedPayload`` when it cannot be), and the context given to ``subscribe``."""

    source: str
    payload: Json
    context: object


class Subscription:
    """The notifications of one path, queued for one task: an async context manager
    that registers on entry and withdraws on exit, and the async iterator it yields.

    Made by ``AsyncClient.subscribe``; use it once, in the task that iterates it. The
    iteration ends when the client is closed.
    """

    def __init__(self, client: AsyncClient, path: str, context: object, maxsize: int,
                 overflow: Overflow) -> None:
        self.path = path
        self.context = context
        self.maxsize = maxsize
        self.overflow = overflow
        self._client = client
        self._drop_newest = overflow is Overflow.DROP_NEWEST
        self._loop: asyncio.AbstractEventLoop | None = None
        # Shared with the framework threads, under _lock: the queued (source, payload)
        # texts, the overflow count, whether a wake-up of the loop is on its way, and
        # whether deliveries have ended.
        self._lock = threading.Lock()
        self._items: collections.deque[tuple[str, str]] = collections.deque()
        self._overflowed = 0
        self._wake_pending = False
        self._ended = False
        self._used = False
        # The future the iterating task waits on while the queue is empty: made and
        # resolved on the loop's thread, read by deliveries to know whether to wake it.
        self._waiter: asyncio.Future[None] | None = None

    @property
    def overflowed(self) -> int:
        """The notifications dropped so far because the queue was full."""
        return self._overflowed

    @property
    def pending(self) -> int:
        """The notifications queued and not yet taken."""
        return len(self._items)

    async def __aenter__(self) -> Subscription:
        if self._used:
            raise RuntimeError("A subscription can be entered once only")
        self._used = True
        self._loop = asyncio.get_running_loop()
        self._client._attach(self)
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        # Never suspends: when a task is dropped with its loop closed, the coroutine is
        # closed where it waits, and this must still run to the end.
        self._end()
        self._client._detach(self)

    def __aiter__(self) -> Subscription:
        return self

    async def __anext__(self) -> Notification:
        loop = self._loop
        if loop is None:
            raise RuntimeError("Enter the subscription with 'async with' before iterating it")
        while True:
            with self._lock:
                if self._items:
                    source, payload = self._items.popleft()
                    break
                if self._ended:
                    raise StopAsyncIteration
                # Set under the lock with the check above: a delivery either finds the
                # waiter and wakes it, or came before and is taken on this pass.
                waiter = loop.create_future()
                self._waiter = waiter
            try:
                await waiter
            finally:
                self._waiter = None
        # Parsed here rather than on the framework thread: what overflows is never parsed.
        try:
            parsed: Json = json.loads(payload)
        except (RecursionError, ValueError) as error:
            # The notification was taken from the queue: raising would lose it and end the
            # consumer's loop, so it is handed over as text instead.
            parsed = UnparsedPayload(payload, error.with_traceback(None))
        return Notification(source, parsed, self.context)

    # Framework threads -----------------------------------------------------------

    def _deliver(self, source: str, payload: str) -> None:
        loop = self._loop
        if loop is None:
            return
        if loop.is_closed():
            self._orphan()
            return
        with self._lock:
            if self._ended:
                return
            items = self._items
            if len(items) >= self.maxsize:
                self._overflowed += 1
                if self._drop_newest:
                    return
                items.popleft()
            items.append((source, payload))
            # Only a task that waits needs waking; one that is busy finds the queue
            # filled. One wake-up on its way is enough: it drains whatever has come
            # meanwhile, and keeps the loop's own queue at one entry per subscription
            # however fast the framework delivers.
            if self._waiter is None or self._wake_pending:
                return
            self._wake_pending = True
        try:
            loop.call_soon_threadsafe(self._wake)
        except RuntimeError:  # the loop closed since the check above
            self._orphan()

    def _orphan(self) -> None:
        """The loop closed with the subscription still registered: nobody will take
        its notifications, so it ends and withdraws; failures have nowhere to go."""
        with self._lock:
            if self._ended:
                return
            self._ended = True
            self._items.clear()
        try:
            self._client._detach(self)
        except Exception:  # noqa: BLE001 - a framework thread, with no caller to tell
            pass

    # Loop thread -----------------------------------------------------------------

    def _wake(self) -> None:
        with self._lock:
            self._wake_pending = False
            waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _end(self) -> None:
        """No more deliveries; the iteration ends once the queue is drained."""
        with self._lock:
            if self._ended:
                return
            self._ended = True
        loop = self._loop
        if loop is None:
            return
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is loop:
            self._wake()
        else:
            try:
                loop.call_soon_threadsafe(self._wake)
            except RuntimeError:  # closed: nobody iterates any more
                pass


class _Feed:
    """The one handler that a client registers with Corvane for a path; it hands each
    notification to the path's subscriptions. Runs on framework threads."""

    __slots__ = ("path", "token", "_members", "_version", "_snapshot")

    def __init__(self, path: str, token: object) -> None:
        self.path = path
        self.token = token
        # The subscriptions in the order they were entered, changed only under the
        # client's lock: adding or removing one costs the same however many there are.
        self._members: dict[Subscription, None] = {}
        # Counts the changes to _members. Deliveries walk _snapshot, an immutable tuple
        # of the members as of the version paired with it, without a lock; the first
        # delivery after a change builds it again, so a burst of entries or exits copies
        # the members once rather than once per change.
        self._version = 0
        self._snapshot: tuple[int, tuple[Subscription, ...]] = (0, ())

    def __contains__(self, subscription: Subscription) -> bool:
        return subscription in self._members

    # Under the client's lock ------------------------------------------------------

    def add(self, subscription: Subscription) -> None:
        self._members[subscription] = None
        self._version += 1

    def remove(self, subscription: Subscription) -> bool:
        """Takes the subscription out; whether any remain."""
        del self._members[subscription]
        self._version += 1
        return bool(self._members)

    def clear(self) -> list[Subscription]:
        members = list(self._members)
        self._members.clear()
        self._version += 1
        return members

    # Framework threads ------------------------------------------------------------

    def _current(self) -> tuple[Subscription, ...]:
        version, subscriptions = self._snapshot
        if version == self._version:
            return subscriptions
        while True:
            # No lock: the copy is kept only if no change came while it was made. Read
            # the version first, so that a change that lands after the read makes the
            # check below fail even if the copy already includes it.
            version = self._version
            try:
                subscriptions = tuple(self._members)
            except RuntimeError:  # changed while being copied
                continue
            if version == self._version:
                break
        # Another delivery may store an older copy over this one; the version it
        # carries makes the next delivery build it again, never use it.
        self._snapshot = (version, subscriptions)
        return subscriptions

    def __call__(self, source: str, payload: str, context: object) -> None:
        # Corvane calls every handler of a path for the registrations of every client
        # object in the process; this client's own carry its token.
        if context is not self.token:
            return
        # A subscription that leaves after the copy was made is ended before it is
        # removed, and its _deliver drops what still reaches it.
        for subscription in self._current():
            subscription._deliver(source, payload)


class AsyncClient:
    """The framework's client for asyncio: ``Corvane.CorvaneJson`` with awaitable methods
    and subscriptions that are async iterators.

    ``AsyncClient()`` binds the framework as ``CorvaneJson()`` does, ``AsyncClient(config)``
    as ``CorvaneJson(config)``; ``AsyncClient(client=json_client)`` wraps a ``CorvaneJson``
    made beforehand. Binding verifies and loads the framework's library on the calling
    thread. ``async with`` the client (or ``close``) withdraws its subscriptions and
    releases the framework's client object.

    ``ExecuteCommand`` runs in a worker thread (``executor``, by default the loop's), as
    the module lets other threads run during the framework's call, so other tasks go
    on while a command runs. The other methods (``GetProperties``, ``GetNode``,
    ``GetValue``, ``GetSchema``, ``QueryNode``, ``SetValue``) hold the interpreter lock for
    their whole call, so a worker thread would let nothing else run: they run on the
    loop's thread and block it for the framework's call, briefly for a framework that
    answers from memory. Failures raise the module's exceptions.
    """

    def __init__(self, configuration: Json = _DEFAULT_CONFIGURATION, *,
                 client: Corvane.CorvaneJson | None = None,
                 executor: concurrent.futures.Executor | None = None) -> None:
        if client is not None:
            if configuration is not _DEFAULT_CONFIGURATION:
                raise TypeError("Give either a configuration or a client, not both")
            self._json: Corvane.CorvaneJson | None = client
        elif configuration is _DEFAULT_CONFIGURATION:
            self._json = Corvane.CorvaneJson()
        else:
            self._json = Corvane.CorvaneJson(configuration)
        self._executor = executor
        # The context of every registration this client makes: its feeds take only
        # notifications that carry it.
        self._token = object()
        # Guards _feeds, the feeds' members and the registrations with Corvane (never
        # taken to deliver); framework threads take it to withdraw a subscription whose
        # loop has closed. Reentrant for a framework
        # that calls back during RegisterEvent itself.
        self._lock = threading.RLock()
        self._feeds: dict[str, _Feed] = {}

    @property
    def closed(self) -> bool:
        return self._json is None

    def _api(self) -> Corvane.CorvaneJson:
        api = self._json
        if api is None:
            raise RuntimeError("The client is closed")
        return api

    async def GetProperties(self, properties_config: str = "") -> Json:
        return self._api().GetProperties(properties_config)

    async def GetNode(self, path: str = "") -> Json:
        return self._api().GetNode(path)

    async def GetValue(self, path: str = "") -> Json:
        return self._api().GetValue(path)

    async def GetSchema(self, path: str, schema_type: Corvane.SchemaType) -> Json:
        return self._api().GetSchema(path, schema_type)

    async def QueryNode(self, path: str) -> Json:
        return self._api().QueryNode(path)

    async def SetValue(self, path: str, value: Scalar) -> None:
        self._api().SetValue(path, value)

    async def ExecuteCommand(self, path: str, parameters: Json = None) -> Json:
        """Runs the command in a worker thread. Cancelling the awaiting task does not
        stop the command: the framework's call runs to its end, and its result is
        dropped."""
        api = self._api()
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._executor, api.ExecuteCommand, path, parameters)

    def subscribe(self, path: str, context: object = None, *, maxsize: int = 1000,
                  overflow: Overflow | str = Overflow.DROP_OLDEST) -> Subscription:
        """The notifications for path, as ``async with client.subscribe(path) as s:
        async for source, payload, context in s``. Each yields a ``Notification`` whose
        payload is parsed (an ``UnparsedPayload`` when Python's parser refuses it, such
        as one nested past the recursion limit) and whose context is the one given here.

        Up to maxsize notifications wait in the subscription's queue; what arrives
        while it is full is dropped as overflow says (``Overflow``) and counted in
        ``overflowed``. Leaving the block, cancelling its task or closing its loop
        withdraws the registration; deliveries after the loop has closed are dropped.
        Any number of subscriptions may watch one path: the client registers the path
        once and gives every subscription each notification.
        """
        if isinstance(maxsize, bool) or not isinstance(maxsize, int) or maxsize < 1:
            raise ValueError(f"maxsize must be a positive integer, not {maxsize!r}")
        self._api()
        return Subscription(self, path, context, maxsize, Overflow(overflow))

    def _attach(self, subscription: Subscription) -> None:
        with self._lock:
            api = self._api()
            feed = self._feeds.get(subscription.path)
            if feed is not None:
                feed.add(subscription)
                return
            feed = _Feed(subscription.path, self._token)
            feed.add(subscription)
            self._feeds[subscription.path] = feed
            try:
                api.RegisterEvent(subscription.path, feed, self._token)
            except BaseException:
                del self._feeds[subscription.path]
                # The module keeps a handler whose registration failed; take it back.
                try:
                    api.UnregisterEvent(subscription.path, feed)
                except Exception:  # noqa: BLE001 - the registration's failure is the one to report
                    pass
                raise

    def _detach(self, subscription: Subscription) -> None:
        with self._lock:
            feed = self._feeds.get(subscription.path)
            if feed is None or subscription not in feed:
                return
            if feed.remove(subscription):
                return
            del self._feeds[subscription.path]
            if self._json is not None:
                self._json.UnregisterEvent(subscription.path, feed)

    def close(self) -> None:
        """Ends every subscription, withdraws its registration and releases the
        framework's client object. Closing twice does nothing."""
        with self._lock:
            api = self._json
            if api is None:
                return
            feeds = list(self._feeds.values())
            self._feeds.clear()
            self._json = None
            failure: Exception | None = None
            for feed in feeds:
                for subscription in feed.clear():
                    subscription._end()
                try:
                    api.UnregisterEvent(feed.path, feed)
                except Exception as error:  # noqa: BLE001 - withdraw the others, then report
                    failure = failure or error
        # The last reference goes here, outside the lock: releasing the client object
        # waits for the framework's threads, which may be waiting for that lock.
        del api
        if failure is not None:
            raise failure

    async def aclose(self) -> None:
        self.close()

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        self.close()
