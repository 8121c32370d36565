"""What the connectors' files share whatever the engine: the error type whose
message is written for the model, the read-only login to suggest, what a
failed connect means, and a few helpers on sockets and SQL text. It imports nothing of the package, so that
every other file can import it.
"""

from __future__ import annotations

import os
import select
import socket

# A login that can only read, suggested when an account is refused; the
# password is for the administrator to choose.
READER = "velto_reader"
READER_PASSWORD = "choose-a-password"


class SqlError(Exception):
    """A failure whose message is already written for the model."""


# What a failure to connect means, as each engine reads its driver's error.
UNREACHABLE = "unreachable"  # nothing answered at the address
QUIET = "quiet"  # something accepted the connection and said nothing in time
FOREIGN = "foreign"  # something answered, but not in the engine's protocol
REFUSED = "refused"  # the server refused the login
NO_DATABASE = "no database"  # the login is fine, the database cannot be opened
OTHER = "other"


def readable(fd: int) -> bool:
    """Whether the socket has something to read. An idle pooled connection has
    nothing to say; when it does, the server has closed it or is about to."""
    try:
        ready, _, _ = select.select([fd], [], [], 0)
    except (OSError, ValueError):
        return True
    return bool(ready)


def shut_down(fd: int) -> None:
    """Shuts a connection's socket down under its driver, which wakes a thread
    blocked reading from it. The descriptor itself stays the driver's."""
    duplicate = socket.socket(fileno=os.dup(fd))
    try:
        duplicate.shutdown(socket.SHUT_RDWR)
    finally:
        duplicate.close()


def sql_string(value: str) -> str:
    """A string literal for statements that take no parameters."""
    return "'" + value.replace("'", "''") + "'"
