"""Standard output of the agent, per thread: the host's own prints untouched.

The agent prints progress lines ("LLM is Ready!", "Agent is Ready!") and,
in verbose mode, LangChain's trace with the built-in print, which writes to
whatever sys.stdout is. Swapping sys.stdout for the length of a question
would take the host's own prints with it, from every thread. Instead
sys.stdout is wrapped, once, in a stream that asks a context variable where
each write goes: code running inside ``output_to(stream)`` writes to that
stream, everything else to the host's stream as before. Context variables
belong to a thread (and to an asyncio task), so conversations running at
once in several threads each keep their own, and the host's threads keep
theirs.

A host that replaces sys.stdout later (a notebook, a test's capture) gets
its own stream wrapped the next time a conversation works; nothing is ever
unwrapped, since another thread may be inside ``output_to`` at that moment.
"""

from __future__ import annotations

import contextlib
import contextvars
import io
import sys
import threading
from typing import Any, Iterator, List, Optional

_target: "contextvars.ContextVar[Optional[Any]]" = contextvars.ContextVar("velto_chat_output", default=None)
_install_lock = threading.Lock()


class _Forwarding:
    """Writes go to the stream _stream() names at that moment."""

    def _stream(self) -> Any:
        raise NotImplementedError

    def write(self, text: str) -> int:
        stream = self._stream()
        if stream is not None:  # None: pythonw and the like, nowhere to write
            stream.write(text)
        return len(text)

    def flush(self) -> None:
        stream = self._stream()
        if stream is not None:
            stream.flush()


class RoutedStdout(_Forwarding):
    """sys.stdout as the host set it, except inside ``output_to``."""

    def __init__(self, host: Any) -> None:
        self._host = host

    def _stream(self) -> Any:
        target = _target.get()
        return self._host if target is None else target

    # Everything else (encoding, fileno, isatty, buffer...) is the host's.
    def __getattr__(self, name: str) -> Any:
        return getattr(self._host, name)


def _install() -> None:
    with _install_lock:
        if not isinstance(sys.stdout, RoutedStdout):
            sys.stdout = RoutedStdout(sys.stdout)


@contextlib.contextmanager
def output_to(stream: Optional[Any]) -> Iterator[None]:
    """Within the block, this thread's standard output goes to `stream`
    (None: to the host's standard output, as outside any block)."""
    _install()
    token = _target.set(stream)
    try:
        yield
    finally:
        _target.reset(token)


class _HostStdout(_Forwarding):
    """Standard output as the host set it, looked up at each write."""

    def _stream(self) -> Any:
        stream = sys.stdout
        return stream._host if isinstance(stream, RoutedStdout) else stream


HOST_STDOUT = _HostStdout()


class LastLines(io.TextIOBase):
    """Keeps the last lines written and passes them on to `forward`, if
    given: the agent's printed failure line is the only reason some of its
    failures give."""

    def __init__(self, forward: Optional[Any] = None, keep: int = 20) -> None:
        self.lines: List[str] = []
        self._forward = forward
        self._pending = ""
        self._keep = keep

    def write(self, text: str) -> int:  # type: ignore[override]
        if self._forward is not None:
            self._forward.write(text)
        self._pending += text
        *complete, self._pending = self._pending.split("\n")
        self.lines.extend(complete)
        del self.lines[: -self._keep]
        return len(text)

    def flush(self) -> None:
        if self._forward is not None:
            self._forward.flush()

    def writable(self) -> bool:
        return True
