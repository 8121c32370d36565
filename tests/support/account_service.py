"""A real HTTP server on loopback that plays the account service.

It knows a set of account keys, answers ``GET /v1/settings`` and takes
``POST /v1/usage``, dropping a report whose Idempotency-Key it has already
taken, as a careful service would. Tests script failures ahead with
``fail_next``: a status, ``LOST``, or a misbehaving answer made by
``retry_after``, ``drip`` or ``flood``. Fixtures: ``account_service``
(running) and ``dead_service_url`` (an address where nothing listens).
"""

from __future__ import annotations

import json
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

LOST = "lost"  # scripted answer: take the request, then answer only after the client gave up
FILLER_PIECE = 1 << 20


class Scripted:
    """An answer that misbehaves: extra headers, bytes dripped one at a time
    from the head or the body on, or a huge body of spaces inside ``{}``
    (valid JSON), with or without its Content-Length. A status of 200 plays
    the service's own answer (a report is taken); any other a failure."""

    def __init__(self, status=200, headers=None, drip_from=None, every=0.2, filler=0, announce=True):
        self.status = status
        self.headers = dict(headers or {})
        self.drip_from = drip_from  # None, "head" or "body"
        self.every = every
        self.filler = filler
        self.announce = announce


def retry_after(value, status=429):
    return Scripted(status, headers={"Retry-After": str(value)})


def drip(part, every=0.2):
    """The service's answer, one byte every `every` seconds from `part` ("head" or "body") on."""
    return Scripted(drip_from=part, every=every)


def flood(size, announce=True):
    return Scripted(filler=size, announce=announce)


class AccountService:
    def __init__(self, keys=("vk-test-5ecret",), settings=None):
        self.keys = set(keys)
        self.forbidden = set()  # keys of suspended accounts: 403
        self.settings = settings if settings is not None else {
            "model_name": "gpt-4o-mini", "temperature": 0.2, "api_key": "sk-from-service"}
        self.settings_body = None  # raw bytes to answer instead of the settings
        self.reports = []  # usage reports taken, in order
        self.requests = []  # (method, path, headers) of every request
        self.arrivals = []  # time.monotonic() of every request, in the same order
        self.delay = 0.0  # seconds every answer waits, so that concurrent clients overlap
        self._script = {}
        self._taken = set()
        self._lock = threading.Lock()
        self._release = threading.Event()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), _make_handler(self))
        self._server.daemon_threads = True
        self._server.handle_error = lambda request, address: None  # a client that gave up
        self.url = "http://127.0.0.1:%d" % self._server.server_port
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._release.set()
        self._server.shutdown()
        self._server.server_close()

    def fail_next(self, path, *answers):
        """Answer the next requests to path with these (an HTTP status or LOST), then normally."""
        with self._lock:
            self._script.setdefault(path, []).extend(answers)

    def reset(self):
        """Forgets what was scripted, asked and taken: a fresh service for the next scenario."""
        with self._lock:
            self._script.clear()
            self._taken.clear()
            del self.reports[:], self.requests[:], self.arrivals[:]

    def _next_answer(self, path):
        with self._lock:
            queue = self._script.get(path)
            return queue.pop(0) if queue else None

    def _answer(self, method, path, headers, body):
        auth = headers.get("Authorization", "")
        key = auth[len("Bearer "):] if auth.startswith("Bearer ") else None
        if key in self.forbidden:
            return 403, {"error": "account suspended"}
        if key not in self.keys:
            return 401, {"error": "unknown key"}
        if (method, path) == ("GET", "/v1/settings"):
            return 200, self.settings if self.settings_body is None else self.settings_body
        if (method, path) == ("POST", "/v1/usage"):
            try:
                report = json.loads(body)
                ok = (set(report) == {"question", "tokens", "cost"} and isinstance(report["question"], str)
                      and type(report["tokens"]) is int and type(report["cost"]) in (int, float))
            except ValueError:
                ok = False
            if not ok:
                return 400, {"error": "bad report"}
            with self._lock:
                token = headers.get("Idempotency-Key")
                if token is None or token not in self._taken:
                    self._taken.add(token)
                    self.reports.append(report)
            return 201, {"ok": True}
        return 404, {"error": "no such endpoint"}


def _make_handler(service):
    class Handler(BaseHTTPRequestHandler):
        def _serve(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            headers = dict(self.headers)
            service.requests.append((self.command, self.path, headers))
            service.arrivals.append(time.monotonic())
            scripted = service._next_answer(self.path)
            failure = scripted.status if isinstance(scripted, Scripted) else scripted
            if isinstance(failure, int) and failure != 200:
                # Echoes the request as a careless service might: the client must not repeat it.
                status = failure
                payload = {"error": "scripted failure", "you sent": headers.get("Authorization")}
            else:
                status, payload = service._answer(self.command, self.path, headers, body)
            if scripted == LOST:
                service._release.wait(30)
            service._release.wait(service.delay)
            data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
            if isinstance(scripted, Scripted):
                self._misbehave(scripted, status, data)
                return
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def _misbehave(self, scripted, status, data):
            size = scripted.filler or len(data)
            head = ["HTTP/1.0 %d Scripted" % status, "Content-Type: application/json"]
            head += ["%s: %s" % item for item in scripted.headers.items()]
            if scripted.announce:
                head.append("Content-Length: %d" % size)
            head = ("\r\n".join(head) + "\r\n\r\n").encode()
            try:
                if scripted.drip_from == "head":
                    self._drip(head + data, scripted.every)
                elif scripted.drip_from == "body":
                    self.wfile.write(head)
                    self._drip(data, scripted.every)
                elif scripted.filler:
                    self.wfile.write(head + b"{")
                    for left in range(size - 2, 0, -FILLER_PIECE):
                        self.wfile.write(b" " * min(left, FILLER_PIECE))
                    self.wfile.write(b"}")
                else:
                    self.wfile.write(head + data)
            except OSError:
                pass  # the client gave up, as it should

        def _drip(self, data, every):
            for i in range(len(data)):
                self.wfile.write(data[i:i + 1])
                if service._release.wait(every):
                    return

        do_GET = do_POST = _serve

        def log_message(self, *args):
            pass

    return Handler


@pytest.fixture
def account_service():
    service = AccountService().start()
    yield service
    service.stop()


@pytest.fixture
def dead_service_url():
    # A port that is bound but never listened on refuses connections, and no
    # other process can take it while the test runs.
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        yield "http://127.0.0.1:%d" % sock.getsockname()[1]
