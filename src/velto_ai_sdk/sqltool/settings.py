"""The connectors' settings, read from the environment at every call by the
package's one rule (velto_ai_sdk.settings): unset means the default, a value
out of range is an error naming the variable, never clamped."""

from __future__ import annotations

import os
from typing import Optional, Tuple

from velto_ai_sdk import settings as environment

DEFAULT_MAX_ROWS = 200
DEFAULT_TIMEOUT = 30.0
DEFAULT_MAX_VALUE_CHARS = 100
DEFAULT_SCHEMA_MAX_CHARS = 30000
DEFAULT_MAX_RESULT_BYTES = 4 * 1024 * 1024
DEFAULT_CONNECT_TIMEOUT = 10
DEFAULT_EXPORT_ROWS = 100000
DEFAULT_RESULTS_MAX_BYTES = 1024 * 1024 * 1024

# Seconds the watchdog waits past the time limit before it steps in, so that
# the server's own, clearer error wins the race when the server is healthy.
WATCHDOG_MARGIN = 0.5


class SqlSettings:
    """One call's settings."""

    __slots__ = ("allow_writes", "allow_privileged", "max_rows", "timeout", "max_value_chars",
                 "schema_max_chars", "max_result_bytes", "connect_timeout", "export_rows", "results_dir",
                 "results_max_bytes", "context_file")

    def __init__(self) -> None:
        self.allow_writes = environment.flag("VELTO_SQL_ALLOW_WRITES")
        self.allow_privileged = environment.flag("VELTO_SQL_ALLOW_PRIVILEGED")
        self.max_rows = environment.integer("VELTO_SQL_MAX_ROWS", DEFAULT_MAX_ROWS, 1, 10000)
        self.timeout = environment.number("VELTO_SQL_TIMEOUT", DEFAULT_TIMEOUT, 0.1, 3600, unit=" seconds")
        self.max_value_chars = environment.integer("VELTO_SQL_MAX_VALUE_CHARS", DEFAULT_MAX_VALUE_CHARS, 8, 100000)
        self.schema_max_chars = environment.integer(
            "VELTO_SQL_SCHEMA_MAX_CHARS", DEFAULT_SCHEMA_MAX_CHARS, 500, 10000000)
        self.max_result_bytes = environment.integer(
            "VELTO_SQL_MAX_RESULT_BYTES", DEFAULT_MAX_RESULT_BYTES, 10000, 1024 * 1024 * 1024)
        # libpq takes whole seconds and treats anything below 2 as 2
        self.connect_timeout = environment.integer("VELTO_SQL_CONNECT_TIMEOUT", DEFAULT_CONNECT_TIMEOUT, 2, 300)
        # rows written to a result's CSV file; 0 writes no files
        self.export_rows = environment.integer("VELTO_SQL_EXPORT_ROWS", DEFAULT_EXPORT_ROWS, 0, 100000000)
        # None: a private directory of the process, removed when it exits
        self.results_dir = environment.text("VELTO_SQL_RESULTS_DIR")
        # what this process's files in it may hold together, against a
        # result that would fill the disk
        self.results_max_bytes = environment.integer(
            "VELTO_SQL_RESULTS_MAX_BYTES", DEFAULT_RESULTS_MAX_BYTES, 1024 * 1024, 1024 ** 4)
        # notes on the database that lead its schema text (context.py)
        self.context_file = environment.text("VELTO_SQL_CONTEXT_FILE")

    @property
    def watchdog_after(self) -> float:
        """Seconds into a statement at which the watchdog starts to stop it."""
        return self.timeout + WATCHDOG_MARGIN

    @property
    def timeout_ms(self) -> int:
        return max(1, int(self.timeout * 1000))


VARIABLES = ("VELTO_SQL_ALLOW_WRITES", "VELTO_SQL_ALLOW_PRIVILEGED", "VELTO_SQL_MAX_ROWS", "VELTO_SQL_TIMEOUT",
             "VELTO_SQL_MAX_VALUE_CHARS", "VELTO_SQL_SCHEMA_MAX_CHARS", "VELTO_SQL_MAX_RESULT_BYTES",
             "VELTO_SQL_CONNECT_TIMEOUT", "VELTO_SQL_EXPORT_ROWS", "VELTO_SQL_RESULTS_DIR", "VELTO_SQL_RESULTS_MAX_BYTES",
             "VELTO_SQL_CONTEXT_FILE")
_last: Optional[Tuple[Tuple[Optional[str], ...], SqlSettings]] = None


def current_settings() -> SqlSettings:
    """The settings the environment now holds (parsed again only when one of
    the variables changed)."""
    global _last
    raw = tuple(os.environ.get(name) for name in VARIABLES)
    last = _last
    if last is not None and last[0] == raw:
        return last[1]
    settings = SqlSettings()
    _last = (raw, settings)
    return settings
