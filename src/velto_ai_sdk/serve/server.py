"""Starting the server: the store opened, the address bound, the token
settled and the link printed once, then uvicorn until Ctrl-C or SIGTERM.

On stopping, the questions this process was answering or had in line are
marked interrupted in the store (every finished turn is there already).
"""

from __future__ import annotations

import secrets
import socket
import sys
from typing import List, Optional, TextIO

from . import settings
from .access import is_loopback
from .app import Analyst, create_app
from .store import Store, StoreError

__all__ = ["run", "ServeError"]

BACKLOG = 2048
GRACE_SECONDS = 3  # for open requests when stopping; event streams end at once


class ServeError(RuntimeError):
    """The server could not start; the message says why."""


def run(host: str, port: int, analyst: Analyst, out: TextIO = sys.stdout) -> None:
    """Serves until stopped."""
    import uvicorn

    try:
        store = Store(settings.store_url()).open()
        store.settle()
    except (StoreError, ValueError) as error:
        raise ServeError(str(error)) from None
    try:
        token, made = settings.token(), False
        if token is None and not is_loopback(host):
            token, made = secrets.token_urlsafe(24), True
        listening = bind(host, port)
        config = uvicorn.Config(None, log_level="warning", lifespan="on", proxy_headers=True, server_header=False,
                                timeout_graceful_shutdown=GRACE_SECONDS)
        server = uvicorn.Server(config)
        config.app = create_app(store, analyst, token=token, slots=settings.max_running(), workers=settings.workers(),
                                max_file_bytes=settings.max_file_bytes(), closing=lambda: server.should_exit)
        announce(out, host, listening.getsockname()[1], token, made, analyst, store)
        server.run(sockets=[listening])
    finally:
        store.close()


def bind(host: str, port: int) -> socket.socket:
    try:
        family, kind, protocol, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                                flags=socket.AI_PASSIVE)[0]
        listening = socket.socket(family, kind, protocol)
        listening.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listening.bind(address)
        listening.listen(BACKLOG)  # from now on connections wait for the server, none is refused
    except OSError as error:
        raise ServeError("cannot listen on %s port %d: %s" % (host, port, error.strerror or error)) from None
    return listening


def links(host: str, port: int) -> List[str]:
    """Where a person opens the page: the machine's name as well when bound to every address."""
    if host in ("", "0.0.0.0", "::"):
        return ["http://%s:%d/" % (socket.gethostname(), port), "http://127.0.0.1:%d/" % port]
    return ["http://%s:%d/" % ("[%s]" % host if ":" in host else host, port)]


def announce(out: TextIO, host: str, port: int, token: Optional[str], made: bool, analyst: Analyst,
             store: Store) -> None:
    from ..sqltool import ENGINES

    def say(line: str = "") -> None:
        print(line, file=out)

    say("velto-ai serve: the analyst of your %s database" % ENGINES[analyst.engine].label)
    say("Conversations are kept in %s" % store.shown)
    if token is None:
        for link in links(host, port):
            say("Open %s" % link)
    elif made:
        say("Open this link; it holds the access token, which is shown only now:")
        for link in links(host, port):
            say("    %s?token=%s" % (link, token))
    else:
        for link in links(host, port):
            say("Open %s?token=... with the token of %s" % (link, settings.TOKEN_VARIABLE))
    say("Stop it with Ctrl-C.")
    out.flush()
