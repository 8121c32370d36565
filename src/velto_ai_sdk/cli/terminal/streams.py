"""The agent's verbose trace on standard error, fit for where it goes.

LangChain colours its trace, and prints what the model and the database
said as it is. On a terminal, colours (SGR sequences) stay and every other
control character is written out, so a hostile value cannot move the
cursor or retitle the window; into a file or a pipe, colours go as well.
"""

from __future__ import annotations

import re
from typing import Any

from ...chat.shown import visible

_COLOUR = re.compile(r"(\x1b\[[0-9;]*m)")


class TraceStream:
    def __init__(self, stream: Any, colour: bool) -> None:
        self._stream = stream
        self._colour = colour

    def write(self, text: str) -> int:
        pieces = _COLOUR.split(text)
        # split() puts the colour sequences at the odd places
        shown = "".join(piece if index % 2 else visible(piece) for index, piece in enumerate(pieces)
                        if self._colour or not index % 2)
        self._stream.write(shown)
        return len(text)

    def flush(self) -> None:
        self._stream.flush()
