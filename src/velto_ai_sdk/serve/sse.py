"""A turn's progress as server-sent events.

The stream sends each event after the one the page saw last (its
``Last-Event-ID``, so a page that reconnects misses nothing and sees
nothing twice) as a ``progress`` event, and ends with a ``turn`` event
holding the finished turn. A question this process answers is followed
from memory: the runner hands each event over as it happens (and stores
it), and the turn's events so far are kept here from the moment it is
taken until its last. Any other turn is followed through the store, read
at the stream's start, when an event went missing on the way, and every
POLL_SECONDS without one: that is how a page follows a question that
another server process answers.

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
from typing import Any, AsyncIterator, Callable, Dict, Iterator, List, Optional, Set, Tuple

from starlette.concurrency import run_in_threadpool

from .store import UNFINISHED, NotFound, Store, StoreError
from .views import progress_view, turn_view

POLL_SECONDS = 1.0
KEEP_ALIVE_SECONDS = 15.0


Handed = Tuple[int, Dict[str, Any]]  # the event's number in its turn, the event


class Wakers:
    """The turns this process answers, from the moment they are taken until
    their last event, with their events so far; and the streams waiting for
    those events, which the runner hands over as they happen (from its
    threads: the loop takes them in the order they were handed)."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._waiting: Dict[str, Set["asyncio.Queue[Handed]"]] = {}
        self._live: Dict[str, Tuple[str, List[Handed]]] = {}  # turn id -> conversation id, events so far
        self.closing = False

    def taken(self, turns: List[Tuple[str, str]]) -> None:
        """Turns (conversation id, turn id) the runner of this process will answer."""
        self._loop.call_soon_threadsafe(self._take, turns)

    def _take(self, turns: List[Tuple[str, str]]) -> None:
        for conversation_id, turn_id in turns:
            self._live[turn_id] = (conversation_id, [])

    def deliver(self, stored: List[Tuple[str, str, int, Dict[str, Any]]]) -> None:
        """Events of those turns (conversation id, turn id, number, event), in order."""
        self._loop.call_soon_threadsafe(self._put, stored)

    def _put(self, stored: List[Tuple[str, str, int, Dict[str, Any]]]) -> None:
        for _, turn_id, seq, data in stored:
            if data.get("type") == "finished":
                self._live.pop(turn_id, None)
            elif turn_id in self._live:
                self._live[turn_id][1].append((seq, data))
            for inbox in self._waiting.get(turn_id, ()):
                inbox.put_nowait((seq, data))

    def live(self, conversation_id: str, turn_id: str) -> Optional[List[Handed]]:
        """The events so far of a turn of the conversation that this process
        is answering; None for any other turn (read the store)."""
        found = self._live.get(turn_id)
        if found is None or found[0] != conversation_id:
            return None
        return list(found[1])

    def close(self) -> None:
        """Every stream ends: the server is stopping."""
        self.closing = True
        for waiting in self._waiting.values():
            for inbox in waiting:
                inbox.put_nowait((0, {"type": "closing"}))

    @contextlib.contextmanager
    def waiter(self, turn_id: str) -> Iterator["asyncio.Queue[Handed]"]:
        inbox: "asyncio.Queue[Handed]" = asyncio.Queue()
        self._waiting.setdefault(turn_id, set()).add(inbox)
        try:
            yield inbox
        finally:
            waiting = self._waiting.get(turn_id)
            if waiting is not None:
                waiting.discard(inbox)
                if not waiting:
                    del self._waiting[turn_id]


def message(event: str, data: Any, event_id: Any = None) -> str:
    head = "id: %s\n" % event_id if event_id is not None else ""
    return "%sevent: %s\ndata: %s\n\n" % (head, event, json.dumps(data))


async def turn_events(store: Store, wakers: Wakers, conversation_id: str, turn_id: str, after: int,
                      closing: Callable[[], bool]) -> AsyncIterator[str]:
    """The stream: the events after `after` so far, then what the runner
    hands over (and what the store holds, every POLL_SECONDS without)."""
    loop = asyncio.get_running_loop()
    with wakers.waiter(turn_id) as inbox:  # before reading the store: nothing falls in between
        sent = loop.time()
        try:
            state, found = await _read(store, wakers, conversation_id, turn_id, after)
            while True:
                finished = state not in UNFINISHED
                shown = []
                for seq, data in found:
                    if seq <= after:
                        continue  # seen already (the store and the runner both told it)
                    after = seq
                    finished = finished or data.get("type") == "finished"
                    view = progress_view(data)
                    if view is not None:
                        shown.append(message("progress", view, seq))
                if shown:
                    yield "".join(shown)  # what came at once, in one write
                    sent = loop.time()
                if closing() or wakers.closing:
                    return
                if finished:
                    turn = await run_in_threadpool(store.turn, conversation_id, turn_id)
                    if turn["state"] not in UNFINISHED:
                        yield message("turn", turn_view(turn))
                        return
                handed = await _next(inbox, after)
                if handed is None:  # another process's events, perhaps, or its server gone
                    state, found = await _read(store, wakers, conversation_id, turn_id, after)
                else:
                    state, found = "running", handed
                if not found and loop.time() - sent >= KEEP_ALIVE_SECONDS:
                    yield ": still working\n\n"
                    sent = loop.time()
        except (StoreError, NotFound) as error:
            yield message("failure", {"error": str(error) if isinstance(error, StoreError) else "no such turn"})


async def _read(store: Store, wakers: Wakers, conversation_id: str, turn_id: str, after: int
                ) -> Tuple[str, List[Handed]]:
    """The turn's state and its events: from memory for a turn this process
    answers, else from the store (after `after`)."""
    live = wakers.live(conversation_id, turn_id)
    if live is not None:
        return "running", live
    return await run_in_threadpool(store.progress, conversation_id, turn_id, after)


async def _next(inbox: "asyncio.Queue[Handed]", after: int) -> Optional[List[Handed]]:
    """The events handed over next, in order; None after POLL_SECONDS
    without any, or when one went missing on the way (read the store)."""
    try:
        first = await asyncio.wait_for(inbox.get(), POLL_SECONDS)
    except asyncio.TimeoutError:
        return None
    found = [first]
    while not inbox.empty():
        found.append(inbox.get_nowait())
    if found[0][1].get("type") == "closing":
        return []
    if found[0][0] > after + 1:
        return None
    return found
