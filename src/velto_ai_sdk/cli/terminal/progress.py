"""A progress line while a question runs: what the analyst is doing, and
for how long ("running SQL · 4 s"), redrawn in place on a terminal and
gone when the answer comes. Fed with the conversation's events."""

from __future__ import annotations

import time
from typing import Any, Callable, Optional

from rich.console import Console, RenderableType
from rich.live import Live
from rich.spinner import Spinner
from rich.text import Text

from ...chat.answer import Answer
from ...chat.conversation import Conversation
from ...chat.events import Answered, Event, ToolCallEnded
from ...chat.shown import visible


class ProgressLine:
    """Use as the conversation's on_event, inside a ``with`` block."""

    def __init__(self, console: Console) -> None:
        self._console = console
        self._activity = "starting"
        self._last = ""
        self._started = time.monotonic()
        self._live: Optional[Live] = None

    def __enter__(self) -> "ProgressLine":
        self._started = time.monotonic()
        # The conversation keeps standard output to itself already: rich
        # must not swap it too.
        self._live = Live(self, console=self._console, transient=True, refresh_per_second=8,
                          redirect_stdout=False, redirect_stderr=False)
        self._live.__enter__()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self._live is not None:
            self._live.__exit__(*exc_info)
            self._live = None

    def __call__(self, event: Event) -> None:
        if isinstance(event, ToolCallEnded):
            self._last = "%s: %s" % ({"sql": "SQL", "python": "Python", "schema": "schema"}.get(
                event.kind, event.tool), event.summary)
        if event.activity is not None:
            self._activity = event.activity
        if isinstance(event, Answered) and self._live is not None:
            self._live.stop()

    def __rich__(self) -> RenderableType:
        line = Text("%s \u00b7 %d s" % (self._activity, time.monotonic() - self._started))
        if self._last:
            line.append("   (%s)" % visible(self._last), style="dim")
        return Spinner("dots", line)


class EventRelay:
    """A conversation's on_event that hands each event to whoever listens
    now: the conversation is made before its first progress line."""

    def __init__(self) -> None:
        self.listener: Optional[Callable[[Event], Any]] = None

    def __call__(self, event: Event) -> None:
        if self.listener is not None:
            self.listener(event)


def ask_with_progress(conversation: Conversation, relay: EventRelay, console: Console, question: str) -> Answer:
    """The conversation's answer, with a progress line on `console` when it
    is a terminal."""
    if not console.is_terminal:
        return conversation.ask(question)
    with ProgressLine(console) as progress:
        relay.listener = progress
        try:
            return conversation.ask(question)
        finally:
            relay.listener = None
