"""velto-ai serve as a child process, and a headless Chromium for its page.

``serve_app(store, host="127.0.0.1", **variables)`` (function scope)
    Starts ``velto-ai serve`` for the test's PostgreSQL database (whatever
    VELTO_POSTGRES_URL holds when it is called) with the real code
    environment, its conversations in ``store`` (VELTO_CHAT_DB: a file or a
    URL), on a free port; ``variables`` are added to its environment. Every
    server the test started is stopped when it ends. A ServedApp:

    ``app.url``, ``app.token`` (the printed one, or None)
    ``app.call(method, path, **requests_options)`` -> requests.Response
        with the token sent as a Bearer header when there is one
    ``app.ask(question, conversation=None)`` -> (conversation id, turn)
    ``app.follow(conversation, turn)`` -> (finished turn, progress events)
        reading the turn's server-sent events to the end
    ``app.workers()`` -> the pids of the processes answering its questions
    ``app.children()`` -> (pid, command line) of each of its child processes
    ``app.stop(signal=SIGTERM)``, ``app.log()`` (what it wrote)

``browser`` (session scope)
    Debian's Chromium, headless, through Debian's chromedriver (both from
    scripts/system-packages): a selenium WebDriver. Nothing is downloaded.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from typing import Any, Dict, List, Optional, Tuple

import pytest
import requests

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
START_TIMEOUT = 60.0


class ServedApp:
    def __init__(self, command: List[str], environment: Dict[str, str], log_path: str) -> None:
        self.log_path = log_path
        self._log = open(log_path, "wb")
        self.process = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=self._log)
        self.url, self.token = self._announced()
        self.session = requests.Session()
        if self.token:
            self.session.headers["Authorization"] = "Bearer " + self.token

    def _announced(self) -> Tuple[str, Optional[str]]:
        """The link the server printed, and the token in it."""
        deadline = time.monotonic() + START_TIMEOUT
        lines = []
        assert self.process.stdout is not None
        while time.monotonic() < deadline:
            line = self.process.stdout.readline().decode()
            if not line:
                break
            lines.append(line)
            if line.startswith("Stop it with"):
                break
        links = [word for line in lines for word in line.split() if word.startswith("http://")]
        if not links:
            self.stop()
            raise AssertionError("velto-ai serve did not start:\n%s%s" % ("".join(lines), self.log()))
        link = links[-1]  # the loopback one when it prints two
        base, _, token = link.partition("?token=")
        return base, (token or None)

    def call(self, method: str, path: str, **options: Any) -> requests.Response:
        if method != "GET" and "json" in options:
            options.setdefault("headers", {}).setdefault("Origin", self.url.rstrip("/"))
        options.setdefault("timeout", 30)
        return self.session.request(method, self.url + path.lstrip("/"), **options)

    def ask(self, question: str, conversation: Optional[str] = None) -> Tuple[str, Dict[str, Any]]:
        if conversation is None:
            made = self.call("POST", "api/conversations", json={"question": question})
            assert made.status_code == 201, made.text
            return made.json()["conversation"]["id"], made.json()["turn"]
        asked = self.call("POST", "api/conversations/%s/questions" % conversation, json={"question": question})
        assert asked.status_code == 202, asked.text
        return conversation, asked.json()["turn"]

    def follow(self, conversation: str, turn: Dict[str, Any]) -> Tuple[Dict[str, Any], List[Dict[str, Any]]]:
        """The turn once finished, and the progress shown on the way."""
        progress = []
        path = "api/conversations/%s/turns/%s/events" % (conversation, turn["id"])
        with self.call("GET", path, stream=True, timeout=120) as response:
            assert response.status_code == 200, response.text
            kind = None
            for line in response.iter_lines(decode_unicode=True):
                if line.startswith("event: "):
                    kind = line[len("event: "):]
                elif line.startswith("data: "):
                    data = json.loads(line[len("data: "):])
                    if kind == "turn":
                        return data, progress
                    assert kind == "progress", (kind, data)
                    progress.append(data)
        raise AssertionError("the event stream ended without the turn")

    def conversation(self, conversation: str) -> Dict[str, Any]:
        found = self.call("GET", "api/conversations/" + conversation)
        assert found.status_code == 200, found.text
        return found.json()

    def workers(self) -> List[int]:
        return [pid for pid, command in self.children() if b"velto_ai_sdk.serve.worker" in command]

    def children(self) -> List[Tuple[int, bytes]]:
        """The server's own child processes: pid, command line."""
        found = []
        for name in os.listdir("/proc"):
            try:
                with open("/proc/%s/stat" % name) as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
                if parent == self.process.pid:
                    with open("/proc/%s/cmdline" % name, "rb") as cmdline:
                        found.append((int(name), cmdline.read()))
            except (OSError, ValueError):
                pass  # not a process, or gone meanwhile
        return found

    def stop(self, how: int = signal.SIGTERM) -> None:
        if self.process.poll() is None:
            self.process.send_signal(how)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()
        self._log.close()

    def log(self) -> str:
        with open(self.log_path, errors="replace") as written:
            return written.read()


@pytest.fixture
def serve_app(analysis_environment, tmp_path):
    started: List[ServedApp] = []
    script = os.path.join(os.path.dirname(sys.executable), "velto-ai")

    def start(store: str, host: str = "127.0.0.1", **variables: str) -> ServedApp:
        environment = dict(os.environ, VELTO_CHAT_DB=store, **variables)
        command = [script, "--env", analysis_environment.path, "serve", "--engine", "postgresql",
                   "--media", str(tmp_path / "media"), "--host", host, "--port", "0"]
        app = ServedApp(command, environment, str(tmp_path / ("serve-%d.log" % (len(started) + 1))))
        started.append(app)
        return app

    yield start
    for app in started:
        app.stop()


@pytest.fixture(scope="session")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    for path in (CHROMIUM, CHROMEDRIVER):
        assert os.path.exists(path), "%s is missing: scripts/system-packages installs it" % path
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1000", "--disable-extensions", "--no-first-run"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    try:
        yield driver
    finally:
        driver.quit()
