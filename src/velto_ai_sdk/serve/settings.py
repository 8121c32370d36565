"""The web app's settings, read from the environment by the package's one
rule (velto_ai_sdk.settings): unset means the default, a value out of range
is an error naming the variable."""

from __future__ import annotations

import os
from typing import Optional

from .. import settings

STORE_VARIABLE = "VELTO_CHAT_DB"
TOKEN_VARIABLE = "VELTO_SERVE_TOKEN"
RUNNING_VARIABLE = "VELTO_SERVE_MAX_RUNNING"
FILE_VARIABLE = "VELTO_SERVE_MAX_FILE_BYTES"
WORKERS_VARIABLE = "VELTO_SERVE_WORKERS"

DEFAULT_RUNNING = 4
DEFAULT_FILE_BYTES = 32 * 1024 * 1024
STORE_FILE = "chat.sqlite3"


def store_url() -> str:
    """The store's SQLAlchemy URL or SQLite file: VELTO_CHAT_DB, else
    chat.sqlite3 in the package's data directory."""
    configured = settings.text(STORE_VARIABLE)
    if configured is not None:
        return configured
    from ..api import data_directory

    return str(data_directory() / STORE_FILE)


def token() -> Optional[str]:
    """The access token set by the host, or None."""
    return settings.text(TOKEN_VARIABLE)


def max_running() -> int:
    """Questions answered at once by one server process; more wait their turn."""
    return settings.integer(RUNNING_VARIABLE, DEFAULT_RUNNING, 1, 1000)


def workers() -> int:
    """Processes answering the questions of one server process: by default
    one for each of the machine's cores."""
    return settings.integer(WORKERS_VARIABLE, os.cpu_count() or 1, 1, 256)


def max_file_bytes() -> int:
    """The largest result file kept in the store for download."""
    return settings.integer(FILE_VARIABLE, DEFAULT_FILE_BYTES, 0, 1024 ** 3)
