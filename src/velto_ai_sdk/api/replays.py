"""Replayed sessions: questions that a recorded session answered instead of a
model, such as the demo's without a configured model.

No model was paid for them, so their usage reports go to the ledger marked
as replays, with their tokens and a cost of 0, and never to an account
service. The mark belongs to the calls made inside the block, in the thread
(or task) that entered it.
"""

from __future__ import annotations

import contextlib
import contextvars
from typing import Iterator

_replaying: "contextvars.ContextVar[bool]" = contextvars.ContextVar("velto_replaying", default=False)


@contextlib.contextmanager
def replayed_session() -> Iterator[None]:
    """The questions answered in this block are replays of a recorded session."""
    token = _replaying.set(True)
    try:
        yield
    finally:
        _replaying.reset(token)


def replaying() -> bool:
    """Whether the caller is inside replayed_session()."""
    return _replaying.get()
