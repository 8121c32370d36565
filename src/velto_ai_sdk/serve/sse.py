"""A turn's progress as server-sent events, read from the store.

The stream sends each stored event after the one the page saw last (its
``Last-Event-ID``, so a page that reconnects misses nothing and sees
nothing twice) as a ``progress`` event, and ends with a ``turn`` event
holding the finished turn. It reads the store when the runner of this
process wakes it, and every POLL_SECONDS besides, which is how it follows a
question that another server process answers.

    id: 3
    event: progress
    data: {"activity": "Running SQL", "step": {...}}

    event: turn
    data: {"id": ..., "state": "done", "answer": {...}}
"""

from __future__ import annotations

import asyncio
import contextlib
import json
from typing import Any, AsyncIterator, Callable, Dict, Iterator, Set

from starlette.concurrency import run_in_threadpool

from .store import UNFINISHED, Store, StoreError
from .views import progress_view, turn_view

POLL_SECONDS = 1.0
KEEP_ALIVE_SECONDS = 15.0


class Wakers:
    """Streams waiting for a turn's next event, woken from any thread."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._waiting: Dict[str, Set[asyncio.Event]] = {}
        self.closing = False

    def wake(self, turn_id: str) -> None:
        self._loop.call_soon_threadsafe(self._set, turn_id)

    def _set(self, turn_id: str) -> None:
        for woken in self._waiting.get(turn_id, ()):
            woken.set()

    def close(self) -> None:
        """Every stream ends: the server is stopping."""
        self.closing = True
        for waiting in self._waiting.values():
            for woken in waiting:
                woken.set()

    @contextlib.contextmanager
    def waiter(self, turn_id: str) -> Iterator[asyncio.Event]:
        woken = asyncio.Event()
        self._waiting.setdefault(turn_id, set()).add(woken)
        try:
            yield woken
        finally:
            waiting = self._waiting.get(turn_id)
            if waiting is not None:
                waiting.discard(woken)
                if not waiting:
                    del self._waiting[turn_id]


def message(event: str, data: Any, event_id: Any = None) -> str:
    head = "id: %s\n" % event_id if event_id is not None else ""
    return "%sevent: %s\ndata: %s\n\n" % (head, event, json.dumps(data))


async def turn_events(store: Store, wakers: Wakers, conversation_id: str, turn_id: str, after: int,
                      closing: Callable[[], bool]) -> AsyncIterator[str]:
    loop = asyncio.get_running_loop()
    with wakers.waiter(turn_id) as woken:
        sent = loop.time()
        while True:
            woken.clear()
            try:
                found = await run_in_threadpool(store.events, turn_id, after)
                turn = None
                if not found or any(data.get("type") == "finished" for _, data in found):
                    turn = await run_in_threadpool(store.turn, conversation_id, turn_id)
            except StoreError as error:
                yield message("failure", {"error": str(error)})
                return
            for seq, data in found:
                after = seq
                shown = progress_view(data)
                if shown is not None:
                    yield message("progress", shown, seq)
                    sent = loop.time()
            if turn is not None and turn["state"] not in UNFINISHED:
                yield message("turn", turn_view(turn))
                return
            if closing() or wakers.closing:
                return
            if loop.time() - sent >= KEEP_ALIVE_SECONDS:
                yield ": still working\n\n"
                sent = loop.time()
            try:
                await asyncio.wait_for(woken.wait(), POLL_SECONDS)
            except asyncio.TimeoutError:
                pass
