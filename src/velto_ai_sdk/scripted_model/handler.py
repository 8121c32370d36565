"""The HTTP request handler: reads each request, records it, hands it to the
server's owner, and writes the answer back (one JSON body or a stream of
events)."""

from __future__ import annotations

import json
from http.server import BaseHTTPRequestHandler
from typing import TYPE_CHECKING, Any, Dict, Iterable, Optional

from .protocol import error_body

if TYPE_CHECKING:
    from .server import _HTTPServer


class ReceivedRequest(object):
    """One request as the server saw it. ``headers`` is case-insensitive."""

    __slots__ = ("method", "path", "headers", "body", "status", "response")

    def __init__(self, method: str, path: str, headers: Any, body: Any) -> None:
        self.method = method
        self.path = path
        self.headers = headers
        # The parsed JSON body, or None when there was none or it was not JSON.
        self.body = body
        # Filled in once answered: the HTTP status, and the completion object
        # (for a stream, the one its chunks add up to) or the error body.
        self.status = None  # type: Optional[int]
        self.response = None  # type: Any

    def __repr__(self) -> str:
        return "<ReceivedRequest %s %s -> %s>" % (self.method, self.path, self.status)


class RequestHandler(BaseHTTPRequestHandler):
    # Keep-alive, as the real service speaks it; every answer therefore carries
    # a length or is chunked.
    protocol_version = "HTTP/1.1"
    server_version = "ScriptedChatServer/1"
    # Headers and body go out in separate writes; with Nagle's algorithm the
    # body would wait for the client's delayed acknowledgement (some 40 ms).
    disable_nagle_algorithm = True
    server: "_HTTPServer"

    def setup(self) -> None:
        BaseHTTPRequestHandler.setup(self)
        self.server.owner._track(self.connection, True)

    def finish(self) -> None:
        try:
            BaseHTTPRequestHandler.finish(self)
        finally:
            self.server.owner._track(self.connection, False)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # the owner logs one line per request itself, if asked to

    def do_GET(self) -> None:
        self._handle()

    def do_POST(self) -> None:
        self._handle()

    def do_DELETE(self) -> None:
        self._handle()

    def do_PUT(self) -> None:
        self._handle()

    def _handle(self) -> None:
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            raw = self._read_chunked()
        else:
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length) if length else b""
        body = None
        if raw:
            try:
                body = json.loads(raw.decode("utf-8"))
            except ValueError:
                body = None
        record = ReceivedRequest(self.command, self.path, self.headers, body)
        owner = self.server.owner
        owner._record(record)
        try:
            owner._dispatch(self, record, raw)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        except Exception as exc:
            # A fault of ours must reach the client as an answer, not a hang
            # or a dropped connection it might retry on.
            if record.status is None:
                self.send_json(record, 500, error_body(
                    "Scripted chat server failed: %s: %s" % (type(exc).__name__, exc), "server_error"),
                    headers={"x-should-retry": "false"})
            else:
                self.close_connection = True
        owner._log("%s %s -> %s" % (self.command, self.path, record.status))

    def _read_chunked(self) -> bytes:
        parts = []
        while True:
            size = int(self.rfile.readline().split(b";", 1)[0].strip() or b"0", 16)
            if size == 0:
                while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass  # trailers
                return b"".join(parts)
            parts.append(self.rfile.read(size))
            self.rfile.readline()

    # -- writing answers --------------------------------------------------

    def send_json(self, record: ReceivedRequest, status: int, obj: Any,
                  headers: Optional[Dict[str, str]] = None) -> None:
        data = json.dumps(obj).encode("utf-8")
        record.status = status
        record.response = obj
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("x-request-id", "req_scripted_%d" % self.server.owner._next("request"))
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()

    def send_events(self, record: ReceivedRequest, completion: Dict[str, Any],
                    events: Iterable[Dict[str, Any]]) -> None:
        record.status = 200
        record.response = completion
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream; charset=utf-8")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("x-request-id", "req_scripted_%d" % self.server.owner._next("request"))
        self.end_headers()
        for event in events:
            self._write_chunk(("data: %s\n\n" % json.dumps(event)).encode("utf-8"))
        self._write_chunk(b"data: [DONE]\n\n")
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def _write_chunk(self, data: bytes) -> None:
        self.wfile.write(("%X\r\n" % len(data)).encode("ascii") + data + b"\r\n")
        self.wfile.flush()
