"""A real HTTP server on loopback that plays the account service.

It knows a set of account keys, answers ``GET /v1/settings`` and takes
``POST /v1/usage``, dropping a report whose Idempotency-Key it has already
taken, as a careful service would. Tests script failures ahead with
``fail_next``. Fixtures: ``account_service`` (running) and ``dead_service_url``
(an address where nothing listens).
"""

from __future__ import annotations

import json
import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

LOST = "lost"  # scripted answer: take the request, then answer only after the client gave up


class AccountService:
    def __init__(self, keys=("vk-test-5ecret",), settings=None):
        self.keys = set(keys)
        self.forbidden = set()  # keys of suspended accounts: 403
        self.settings = settings if settings is not None else {
            "model_name": "gpt-4o-mini", "temperature": 0.2, "api_key": "sk-from-service"}
        self.settings_body = None  # raw bytes to answer instead of the settings
        self.reports = []  # usage reports taken, in order
        self.requests = []  # (method, path, headers) of every request
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
            scripted = service._next_answer(self.path)
            if isinstance(scripted, int):
                # Echoes the request as a careless service might: the client must not repeat it.
                status = scripted
                payload = {"error": "scripted failure", "you sent": headers.get("Authorization")}
            else:
                status, payload = service._answer(self.command, self.path, headers, body)
            if scripted == LOST:
                service._release.wait(30)
            data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

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
