"""Notes on the database from the people who run it, to lead its schema text.

VELTO_SQL_CONTEXT_FILE names a text file (business terms, how the metrics
are computed, which tables to prefer) that the schema readers put before
the schema, read afresh at every call. It takes at most CONTEXT_SHARE of
the schema text's budget; a longer file is cut there, and the text says so.
A file that cannot be read is an error, never silently left out: the host
meant the model to have it.

Only a regular file is read (a named pipe or a device could block the call
or never end), UTF-8, a leading byte-order mark dropped; line ends become
"\\n" and other control characters are escaped as in result cells.
"""

from __future__ import annotations

import codecs
import os
import stat
from typing import Optional

from .shared import SqlError
from .text import ELLIPSIS, escape_controls

VARIABLE = "VELTO_SQL_CONTEXT_FILE"
CONTEXT_SHARE = 4  # a quarter of the budget at most
HEAD = "Notes on this database from its owners:\n"
TAIL = "\n\n"
CUT = "\n(Cut here: the notes may take a quarter of VELTO_SQL_SCHEMA_MAX_CHARS.)"


def context_text(path: Optional[str], budget: int) -> str:
    """The notes as they lead the schema text ("" without a file), at most
    budget // CONTEXT_SHARE characters."""
    if path is None:
        return ""
    limit = budget // CONTEXT_SHARE
    room = limit - len(HEAD) - len(TAIL)
    text, more = _read(os.path.expanduser(path), max(room, 0))
    text = "\n".join(escape_controls(line) for line in text.replace("\r\n", "\n").replace("\r", "\n").split("\n"))
    text = text.strip("\n")
    if not text:
        return ""
    if more or len(text) > room:
        # escapes can lengthen it past the room, too
        text = text[: max(room - len(CUT) - 1, 0)].rstrip() + ELLIPSIS + CUT
    return HEAD + text + TAIL


def _read(path: str, chars: int):
    """The first `chars` characters of the file (a little more: escapes are
    counted later), and whether it goes on."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        raise SqlError("%s is %s, which cannot be read (%s)" % (VARIABLE, path, exc.strerror)) from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise SqlError("%s is %s, which is not a regular file" % (VARIABLE, path))
        with os.fdopen(fd, "rb", closefd=False) as stream:
            # a character takes at most 4 bytes in UTF-8
            data = stream.read(chars * 4 + 4)
            more = bool(stream.read(1))
    except OSError as exc:
        raise SqlError("%s is %s, which cannot be read (%s)" % (VARIABLE, path, exc.strerror)) from None
    finally:
        os.close(fd)
    decoder = codecs.getincrementaldecoder("utf-8-sig")()
    try:
        # a character cut in two at the end of what was read is not an error
        text = decoder.decode(data, final=not more)
    except UnicodeDecodeError as exc:
        raise SqlError("%s is %s, which is not UTF-8 text (byte %d)" % (VARIABLE, path, exc.start)) from None
    if len(text) > chars:
        return text[:chars + 1], True
    return text, more
