"""The demo's one error."""

from __future__ import annotations


class DemoError(Exception):
    """The demo cannot go on; the message says what to do. `status` is the
    command's exit status: 2 when it could not start (a bad option, no usable
    model settings), 1 when the work failed."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status
