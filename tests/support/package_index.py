"""A package index for pip on loopback: a directory of wheels served as a
find-links page, whose downloads of chosen wheels can be held until the test
releases them, so that a test can interrupt pip in the middle of a set-up.

    with WheelIndex(directory, hold={"statsmodels"}) as index:
        env.update(index.environ())          # pip finds its packages here only
        ...                                   # start a set-up
        index.held.wait(60)                   # pip asked for a held wheel
        index.release()
"""

from __future__ import annotations

import html
import os
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Dict, Iterable

HOLD_LIMIT = 120.0  # seconds a held download waits at most


class _Handler(BaseHTTPRequestHandler):
    server: "_Server"

    def do_GET(self) -> None:  # noqa: N802 (the name http.server calls)
        index = self.server.index
        name = self.path.lstrip("/")
        if not name:
            links = "".join('<a href="%s">%s</a><br>' % (html.escape(f), html.escape(f)) for f in index.wheels())
            self._send(b"<html><body>" + links.encode() + b"</body></html>", "text/html")
            return
        if name not in index.wheels():
            self.send_error(404)
            return
        if name.split("-")[0] in index.hold:
            index.held.set()
            index._released.wait(HOLD_LIMIT)
        with open(os.path.join(index.directory, name), "rb") as wheel:
            self._send(wheel.read(), "application/octet-stream")

    def _send(self, body: bytes, kind: str) -> None:
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except OSError:
            pass  # the client went away (interrupted)

    def log_message(self, *args: object) -> None:
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    index: "WheelIndex"


class WheelIndex:
    def __init__(self, directory: str, hold: Iterable[str] = ()) -> None:
        self.directory = directory
        # distribution names as wheel files spell them (scikit_learn)
        self.hold = {name.replace("-", "_") for name in hold}
        self.held = threading.Event()
        self._released = threading.Event()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.index = self
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)

    def wheels(self) -> list:
        return sorted(f for f in os.listdir(self.directory) if f.endswith(".whl"))

    @property
    def url(self) -> str:
        return "http://127.0.0.1:%d/" % self._server.server_address[1]

    def environ(self) -> Dict[str, str]:
        """Variables that make pip look here and nowhere else."""
        return {"PIP_NO_INDEX": "1", "PIP_FIND_LINKS": self.url, "PIP_DISABLE_PIP_VERSION_CHECK": "1"}

    def release(self) -> None:
        self._released.set()

    def __enter__(self) -> "WheelIndex":
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.release()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
