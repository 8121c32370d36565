"""One HTTP exchange with the account service, bounded in time and in size.

requests' timeout bounds each socket operation and starts again with every
byte, so a service that sends a byte now and then holds a call for as long as
it likes. Here an exchange has one deadline for all of it: connecting,
sending, the status line and headers, the whole body. A watchdog thread shuts
the exchange's sockets down when the deadline passes, and the body is read in
chunks, each checked against the deadline and the size cap, so that neither a
slow nor a large answer holds more than the caller allowed.

Imported on first use: it imports requests, which is slow to import.
"""

from __future__ import annotations

import contextlib
import functools
import socket
import threading
import time
from datetime import datetime, timezone
from email.utils import parsedate_to_datetime
from typing import Any, Dict, List, Mapping, NamedTuple, Optional

import requests
from requests.adapters import HTTPAdapter

CHUNK_BYTES = 64 * 1024
_SHUT_AGAIN = 0.05  # seconds between shutdowns of sockets that appear after the deadline

# The watchdog of the exchange this thread is in, if any: connections made
# or reused for it are handed to it.
_current = threading.local()


class NoAnswer(Exception):
    """No complete answer came: the connection failed or the deadline passed.
    Worth another attempt."""


class BadAnswer(Exception):
    """An answer came that the client will not read: another attempt would get the same."""


class Answer(NamedTuple):
    status: int
    headers: Mapping[str, str]
    body: bytes


class _Watchdog:
    """Shuts down the sockets of one exchange at its deadline."""

    def __init__(self, deadline: float) -> None:
        self.deadline = deadline  # on time.monotonic()'s clock
        self.fired = False
        self._held: List[Any] = []  # connections and sockets
        self._lock = threading.Lock()
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, name="velto-api-deadline", daemon=True)

    def __enter__(self) -> "_Watchdog":
        self._thread.start()
        _current.watchdog = self
        return self

    def __exit__(self, *exc_info: object) -> None:
        _current.watchdog = None
        self._done.set()
        self._thread.join()

    def watch(self, connection: Any) -> None:
        """Follows a connection, and the socket it holds now: http.client lets
        go of the socket of an answer that ends the connection, while the
        answer's body is still being read from it."""
        with self._lock:
            for watched in (connection, connection.sock):
                if watched is not None and not any(watched is held for held in self._held):
                    self._held.append(watched)

    def _run(self) -> None:
        if self._done.wait(max(0.0, self.deadline - time.monotonic())):
            return
        self.fired = True
        # A connection may still be getting its socket: shut down again until
        # the exchange has given up.
        while True:
            with self._lock:
                held = list(self._held)
            for item in held:
                _shut_down(getattr(item, "sock", item))  # a connection's socket, or a socket
            if self._done.wait(_SHUT_AGAIN):
                return


def _shut_down(sock: Any) -> None:
    # TLS sockets are socket.socket too; a TLS-in-TLS proxy transport holds its socket.
    raw = sock if isinstance(sock, socket.socket) else getattr(sock, "socket", None)
    if isinstance(raw, socket.socket):
        try:
            # Shutting down rather than closing wakes a thread blocked on the
            # socket, and leaves the descriptor to its owner to close.
            socket.socket.shutdown(raw, socket.SHUT_RDWR)
        except OSError:
            pass


def _watched(connection: Any) -> None:
    watchdog = getattr(_current, "watchdog", None)
    if watchdog is not None:
        watchdog.watch(connection)


class _WatchedConnection:
    """Mixed into urllib3's connection classes: a connection joins the current
    exchange's watchdog when it connects and whenever it is reused."""

    def connect(self) -> None:
        _watched(self)
        super().connect()  # type: ignore[misc]
        _watched(self)

    def request(self, *args: Any, **kwargs: Any) -> Any:
        _watched(self)
        return super().request(*args, **kwargs)  # type: ignore[misc]


@functools.lru_cache(maxsize=None)
def _watched_pool(pool_class: type) -> type:
    connection_class = pool_class.ConnectionCls  # type: ignore[attr-defined]
    if issubclass(connection_class, _WatchedConnection):
        return pool_class
    watched = type("Watched" + connection_class.__name__, (_WatchedConnection, connection_class), {})
    return type("Watched" + pool_class.__name__, (pool_class,), {"ConnectionCls": watched})


def _watch_pools(manager: Any) -> Any:
    # Every kind of pool manager (direct, HTTP proxy, SOCKS proxy) makes its
    # pools from this table.
    manager.pool_classes_by_scheme = {
        scheme: _watched_pool(pool_class) for scheme, pool_class in manager.pool_classes_by_scheme.items()
    }
    return manager


class _WatchedAdapter(HTTPAdapter):
    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        _watch_pools(self.poolmanager)

    def proxy_manager_for(self, proxy: str, **kwargs: Any) -> Any:
        return _watch_pools(super().proxy_manager_for(proxy, **kwargs))


def new_session(headers: Dict[str, str]) -> requests.Session:
    """A session whose exchanges can be held to a deadline."""
    session = requests.Session()
    adapter = _WatchedAdapter()
    session.mount("http://", adapter)
    session.mount("https://", adapter)
    # Compressed answers would make the size cap a cap on the compressed size.
    session.headers.update(headers)
    session.headers["Accept-Encoding"] = "identity"
    return session


def exchange(session: requests.Session, method: str, url: str, deadline: float, max_bytes: int,
             body: Any = None, headers: Optional[Dict[str, str]] = None) -> Answer:
    """One request and its whole answer, by `deadline` (time.monotonic()).

    Raises NoAnswer when no complete answer came in time, BadAnswer for an
    answer larger than max_bytes or compressed, and requests' own exceptions
    for a request that cannot be made at all (such as an invalid URL).
    """
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        raise NoAnswer("no time was left for another attempt")
    transient = (requests.ConnectionError, requests.Timeout, requests.exceptions.ChunkedEncodingError)
    with _Watchdog(deadline) as watchdog:
        try:
            # No redirects: requests reads a redirect's body whole, past any cap.
            response = session.request(method, url, json=body, headers=headers, stream=True,
                                    allow_redirects=False, timeout=(remaining, remaining))
            with contextlib.closing(response):
                content = _read_body(response, deadline, max_bytes)
        except transient as exc:
            if watchdog.fired or time.monotonic() >= deadline:
                raise NoAnswer(_late(remaining)) from None
            raise NoAnswer(f"{type(exc).__name__}: {exc}") from None
        if watchdog.fired:  # the body may have looked complete only because its socket was shut
            raise NoAnswer(_late(remaining))
    return Answer(response.status_code, response.headers, content)


def _late(allowed: float) -> str:
    return f"no complete answer within the {allowed:.3g} s the attempt had (VELTO_API_TIMEOUT)"


def _read_body(response: requests.Response, deadline: float, max_bytes: int) -> bytes:
    encoding = response.headers.get("Content-Encoding", "identity").strip().lower()
    if encoding not in ("", "identity"):
        raise BadAnswer(f"answered in the {encoding!r} content encoding, which it was not asked for")
    announced = response.headers.get("Content-Length", "")
    if announced.strip().isdigit() and int(announced) > max_bytes:
        raise BadAnswer(f"announced an answer of {int(announced)} bytes, more than the {max_bytes} allowed")
    chunks: List[bytes] = []
    size = 0
    for chunk in response.iter_content(CHUNK_BYTES):
        size += len(chunk)
        if size > max_bytes:
            raise BadAnswer(f"sent an answer of more than the {max_bytes} bytes allowed")
        if time.monotonic() > deadline:
            raise requests.Timeout("the answer's body was not complete by the deadline")
        chunks.append(chunk)
    return b"".join(chunks)


def retry_after(headers: Mapping[str, str]) -> Optional[float]:
    """Seconds from now the answer's Retry-After asks to wait (seconds or an
    HTTP date), or None when it has none that can be read."""
    raw = (headers.get("Retry-After") or "").strip()
    if raw.isdigit():
        return float(raw)
    try:
        when = parsedate_to_datetime(raw)
    except (TypeError, ValueError, IndexError):
        return None
    if when is None:
        return None
    if when.tzinfo is None:  # HTTP dates are in GMT
        when = when.replace(tzinfo=timezone.utc)
    return max(0.0, (when - datetime.now(timezone.utc)).total_seconds())
