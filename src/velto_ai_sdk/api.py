"""Account-service client: chat-model settings and usage reports.

The mode is chosen from the environment at every call, so a ``.env`` file
loaded after import still counts:

* Service mode, when ``VELTO_API_URL`` is set. Settings come from
  ``GET {VELTO_API_URL}/v1/settings`` and usage reports go to
  ``POST {VELTO_API_URL}/v1/usage``, both with the account key as
  ``Authorization: Bearer <key>``. Every request has a timeout
  (``VELTO_API_TIMEOUT`` seconds) and is retried on connection errors, 429 and
  5xx (``VELTO_API_RETRIES`` more times, waiting ``VELTO_API_BACKOFF`` seconds
  and then twice as long each time).
* Local mode, when it is not set. Settings come from ``OPENAI_API_KEY``,
  ``VELTO_MODEL_NAME`` and ``VELTO_TEMPERATURE``.

Every usage report is first written to a local SQLite ledger
(``VELTO_USAGE_DB``, by default in the user's data directory). In service mode
the row is marked sent once the service has taken it; a report the service
could not take stays unsent and ``flush_usage()`` sends it later. The ledger
never holds the account key, only a salted fingerprint of it, so unsent rows
can be matched to the key that ``flush_usage`` is given.

Importing this module creates no file and opens no connection; ``requests`` is
imported on first use.
"""

from __future__ import annotations

import contextlib
import hashlib
import hmac
import logging
import math
import numbers
import os
import secrets
import sqlite3
import sys
import time
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple
from urllib.parse import urlsplit, urlunsplit

from . import __version__

__all__ = [
    "VeltoAPIHandler",
    "send_user_question",
    "flush_usage",
    "usage_summary",
    "VeltoAPIError",
    "VeltoAuthenticationError",
    "VeltoServiceUnavailableError",
    "VeltoConfigError",
    "SENT",
    "RECORDED",
    "QUEUED",
    "LOST",
]

log = logging.getLogger(__name__)

DEFAULT_MODEL_NAME = "gpt-4o-mini"
DEFAULT_TIMEOUT = 10.0  # seconds, for each request
DEFAULT_RETRIES = 2  # attempts after the first one
DEFAULT_BACKOFF = 0.5  # seconds before the first retry, doubled for each next one
MAX_BACKOFF = 30.0
LEDGER_BUSY_TIMEOUT = 30.0  # seconds a writer waits for another process's write

# What send_user_question did with a report.
SENT = "sent"  # the service took it
RECORDED = "recorded"  # local mode: written to the ledger
QUEUED = "queued"  # the service did not take it: kept unsent in the ledger
LOST = "lost"  # neither the service nor the ledger took it (logged as an error)

_SCHEMA_VERSION = 1
_SCHEMA = (
    "CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
    # One row per report. mode is 'local' (never meant for a service) or
    # 'service'; sent_at is the UTC time the service took it, NULL while unsent.
    """CREATE TABLE usage (
        id INTEGER PRIMARY KEY,
        report_id TEXT NOT NULL UNIQUE,
        created_at TEXT NOT NULL,
        question TEXT NOT NULL,
        tokens INTEGER NOT NULL,
        cost REAL NOT NULL,
        mode TEXT NOT NULL CHECK (mode IN ('local', 'service')),
        key_fingerprint TEXT,
        sent_at TEXT,
        attempts INTEGER NOT NULL DEFAULT 0,
        last_error TEXT
    )""",
    "CREATE INDEX usage_unsent ON usage (key_fingerprint)"
    " WHERE mode = 'service' AND sent_at IS NULL",
)


class VeltoAPIError(Exception):
    """The account service, its configuration or the usage ledger failed."""


class VeltoAuthenticationError(VeltoAPIError):
    """The account service refused the account key (HTTP 401 or 403)."""


class VeltoServiceUnavailableError(VeltoAPIError):
    """The account service could not be reached, or kept failing, after the retries."""


class VeltoConfigError(VeltoAPIError):
    """An environment variable holds a value that cannot be used."""


# --- arguments and environment ------------------------------------------------


def _check_key(key: object) -> str:
    if not isinstance(key, str):
        raise TypeError(f"velto_api_key must be a string, not {type(key).__name__}")
    # A key read from a file usually ends with a newline; nothing else is changed.
    key = key.strip()
    if not key:
        raise ValueError("velto_api_key must be a non-empty string")
    if not all(33 <= ord(ch) < 127 for ch in key):
        raise ValueError("velto_api_key must be printable ASCII without spaces")
    return key


def _check_report(question: object, tokens: object, cost: object) -> Tuple[str, int, float]:
    if not isinstance(question, str):
        raise TypeError(f"question must be a string, not {type(question).__name__}")
    if isinstance(tokens, bool) or not isinstance(tokens, numbers.Integral):
        raise TypeError(f"tokens must be an int, not {type(tokens).__name__}")
    if tokens < 0:
        raise ValueError(f"tokens must not be negative, got {tokens}")
    if isinstance(cost, bool) or not isinstance(cost, numbers.Real):
        raise TypeError(f"cost must be a real number, not {type(cost).__name__}")
    cost_value = float(cost)
    if not math.isfinite(cost_value) or cost_value < 0:
        raise ValueError(f"cost must be a finite non-negative number, got {cost!r}")
    return question, int(tokens), cost_value


def _env(name: str) -> Optional[str]:
    value = os.environ.get(name, "").strip()
    return value or None


def _env_number(name: str, default: float, *, integer: bool = False, positive: bool = False) -> float:
    raw = _env(name)
    if raw is None:
        return default
    try:
        value = int(raw) if integer else float(raw)
    except ValueError:
        kind = "a whole number" if integer else "a number"
        raise VeltoConfigError(f"{name} must be {kind}, got {raw!r}") from None
    if not math.isfinite(value) or value < 0 or (positive and value == 0):
        bound = "greater than 0" if positive else "0 or more"
        raise VeltoConfigError(f"{name} must be {bound}, got {raw!r}")
    return value


def _shown(url: str) -> str:
    """The URL without any user:password part or query, for messages."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return "<unparsable URL>"
    return urlunsplit((parts.scheme, parts.netloc.rpartition("@")[2], parts.path, "", ""))


def _service_url() -> Optional[str]:
    raw = _env("VELTO_API_URL")
    if raw is None:
        return None
    try:
        host = urlsplit(raw).netloc.rpartition("@")[2]
    except ValueError:
        host = ""
    if not raw.lower().startswith(("http://", "https://")) or not host:
        raise VeltoConfigError(
            f"VELTO_API_URL must be an http:// or https:// address, got {_shown(raw)!r}"
        )
    return raw.rstrip("/")


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds")


def _scrub(text: str, key: str) -> str:
    # A server or a library may echo the request; the key never leaves in a message.
    return text.replace(key, "<account key>")


# --- settings -----------------------------------------------------------------


def _local_settings() -> Dict[str, Any]:
    api_key = _env("OPENAI_API_KEY")
    if api_key is None:
        raise VeltoConfigError(
            "OPENAI_API_KEY is not set. Without VELTO_API_URL (local mode) the chat "
            "model's key is read from OPENAI_API_KEY; set it, or set VELTO_API_URL "
            "to use an account service."
        )
    settings: Dict[str, Any] = {"model_name": _env("VELTO_MODEL_NAME") or DEFAULT_MODEL_NAME}
    raw = _env("VELTO_TEMPERATURE")
    # Left out when unset, so that the caller's own default temperature applies.
    if raw is not None:
        try:
            temperature = float(raw)
        except ValueError:
            raise VeltoConfigError(f"VELTO_TEMPERATURE must be a number, got {raw!r}") from None
        if not math.isfinite(temperature) or temperature < 0:
            raise VeltoConfigError(f"VELTO_TEMPERATURE must be 0 or more, got {raw!r}")
        settings["temperature"] = temperature
    settings["api_key"] = api_key
    return settings


def _parse_settings(response: Any, where: str) -> Dict[str, Any]:
    try:
        data = response.json()
    except ValueError:
        raise VeltoAPIError(f"The account service at {where} answered settings that are not JSON") from None
    if not isinstance(data, dict):
        raise VeltoAPIError(
            f"The account service at {where} answered settings as a JSON "
            f"{type(data).__name__}, expected an object"
        )
    # null means "not set": dropping it lets the caller's defaults apply.
    settings = {name: value for name, value in data.items() if value is not None}
    problems = []
    for name in ("model_name", "api_key"):
        if name in settings and not (isinstance(settings[name], str) and settings[name].strip()):
            problems.append(f"{name} must be a non-empty string")
    temperature = settings.get("temperature")
    if temperature is not None and (
        isinstance(temperature, bool)
        or not isinstance(temperature, (int, float))
        or not math.isfinite(temperature)
        or temperature < 0
    ):
        problems.append("temperature must be a number, 0 or more")
    if problems:
        raise VeltoAPIError(
            f"The account service at {where} answered unusable settings: " + "; ".join(problems)
        )
    return settings


# --- the account service --------------------------------------------------------


class _Service:
    """Requests to the account service with one key, one session and its limits."""

    def __init__(self, url: str, key: str) -> None:
        self.url = url
        self._key = key
        self.timeout = _env_number("VELTO_API_TIMEOUT", DEFAULT_TIMEOUT, positive=True)
        self.retries = int(_env_number("VELTO_API_RETRIES", DEFAULT_RETRIES, integer=True))
        self.backoff = _env_number("VELTO_API_BACKOFF", DEFAULT_BACKOFF)
        import requests  # here rather than at import: it is slow to import

        self._requests = requests
        self._session = requests.Session()
        self._session.headers.update(
            {
                "Authorization": f"Bearer {key}",
                "Accept": "application/json",
                "User-Agent": f"velto_ai_sdk/{__version__}",
            }
        )

    def __enter__(self) -> "_Service":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._session.close()

    def call(self, method: str, path: str, body: Any = None, headers: Optional[Dict[str, str]] = None) -> Any:
        requests = self._requests
        transient = (requests.ConnectionError, requests.Timeout, requests.exceptions.ChunkedEncodingError)
        where = _shown(self.url) + path
        attempts = self.retries + 1
        last = ""
        for attempt in range(attempts):
            if attempt:
                time.sleep(min(self.backoff * 2 ** (attempt - 1), MAX_BACKOFF))
            try:
                response = self._session.request(
                    method, self.url + path, json=body, headers=headers, timeout=self.timeout
                )
            except transient as exc:
                last = _scrub(f"{type(exc).__name__}: {exc}", self._key)[:300]
                continue
            except requests.RequestException as exc:
                message = f"Request to the account service at {where} failed: {exc}"
                raise VeltoAPIError(_scrub(message, self._key)) from None
            status = response.status_code
            if 200 <= status < 300:
                return response
            if status == 401:
                raise VeltoAuthenticationError(
                    "The account service refused the account key (HTTP 401 Unauthorized): "
                    "check the velto_api_key you passed; it may be mistyped, revoked or expired."
                )
            if status == 403:
                raise VeltoAuthenticationError(
                    "The account service denied this account (HTTP 403 Forbidden): check the "
                    "velto_api_key you passed and that its account is active and allowed to use the service."
                )
            if status == 429 or status >= 500:
                last = f"HTTP {status}"
                continue
            detail = _scrub(response.text[:200].strip(), self._key)
            hint = " (check VELTO_API_URL)" if status == 404 else ""
            raise VeltoAPIError(
                f"The account service answered HTTP {status} to {method} {where}{hint}"
                + (f": {detail}" if detail else "")
            )
        raise VeltoServiceUnavailableError(
            f"The account service at {where} did not answer after {attempts} attempt(s) "
            f"(last: {last}); check VELTO_API_URL and the network, or try again later."
        )

    def post_usage(self, question: str, tokens: int, cost: float, report_id: str) -> None:
        # The same Idempotency-Key on every retry and every later flush lets the
        # service drop a report it has already taken when only its answer got lost.
        self.call(
            "POST",
            "/v1/usage",
            body={"question": question, "tokens": tokens, "cost": cost},
            headers={"Idempotency-Key": report_id},
        )


# --- the usage ledger -----------------------------------------------------------


def _user_data_dir() -> Path:
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA")
        return Path(base) if base else Path.home() / "AppData" / "Local"
    xdg = os.environ.get("XDG_DATA_HOME", "")
    if os.path.isabs(xdg):  # the XDG rules say to ignore a relative path
        return Path(xdg)
    if sys.platform == "darwin":
        return Path.home() / "Library" / "Application Support"
    return Path.home() / ".local" / "share"


def data_directory() -> Path:
    """The per-user directory where velto_ai_sdk keeps its files by default
    (the usage ledger; the command line's private code environment)."""
    return _user_data_dir() / "velto_ai_sdk"


def _ledger_path() -> Path:
    raw = _env("VELTO_USAGE_DB")
    if raw is not None:
        return Path(raw).expanduser()
    return data_directory() / "usage.sqlite3"


class _Ledger:
    """The SQLite file of usage reports.

    Every operation opens its own connection and keeps its transaction short,
    so threads and processes can share the file; SQLite's busy timeout makes a
    writer wait for another instead of failing.
    """

    def __init__(self, path: Path) -> None:
        self.path = path

    @contextlib.contextmanager
    def connect(self, create: bool = True) -> Iterator[Optional[sqlite3.Connection]]:
        """A connection, or None when create is false and there is no ledger yet."""
        if not create and not self.path.exists():
            yield None
            return
        try:
            if create:
                self._create_file()
            conn = sqlite3.connect(str(self.path), timeout=LEDGER_BUSY_TIMEOUT, isolation_level=None)
        except (OSError, sqlite3.Error) as exc:
            raise VeltoAPIError(f"Cannot open the usage ledger at {self.path}: {exc}") from exc
        try:
            ready = self._prepare(conn, create)
            yield conn if ready else None
        except sqlite3.Error as exc:
            raise VeltoAPIError(f"Usage ledger at {self.path}: {exc}") from exc
        finally:
            conn.close()

    def _create_file(self) -> None:
        self.path.parent.mkdir(parents=True, exist_ok=True, mode=0o700)
        # It holds people's questions: only its owner may read it. SQLite gives
        # its journal files the same permissions.
        try:
            os.close(os.open(str(self.path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except FileExistsError:
            pass

    def _prepare(self, conn: sqlite3.Connection, create: bool) -> bool:
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        if version == _SCHEMA_VERSION:
            return True
        if version > _SCHEMA_VERSION:
            raise VeltoAPIError(
                f"The usage ledger at {self.path} was written by a newer velto_ai_sdk "
                f"(format {version}); upgrade, or set VELTO_USAGE_DB to another file."
            )
        if not create:
            return False
        # Two processes may meet a new file at once: take the write lock first,
        # then look again.
        conn.execute("BEGIN IMMEDIATE")
        try:
            if conn.execute("PRAGMA user_version").fetchone()[0] == 0:
                for statement in _SCHEMA:
                    conn.execute(statement)
                conn.execute("INSERT INTO meta VALUES ('key_salt', ?)", (secrets.token_hex(16),))
                conn.execute(f"PRAGMA user_version = {_SCHEMA_VERSION}")
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        return True

    @staticmethod
    def fingerprint(conn: sqlite3.Connection, key: str) -> str:
        # Salted per ledger, so that the same key gives unrelated fingerprints
        # in two ledgers and a copied file says nothing about other machines.
        salt = conn.execute("SELECT value FROM meta WHERE name = 'key_salt'").fetchone()[0]
        return hmac.new(salt.encode(), key.encode(), hashlib.sha256).hexdigest()

    def add(self, question: str, tokens: int, cost: float, report_id: str, key: Optional[str]) -> int:
        """Write one report; a key marks it as meant for the service (unsent)."""
        with self.connect() as conn:
            assert conn is not None
            fingerprint = self.fingerprint(conn, key) if key is not None else None
            mode = "local" if key is None else "service"
            cursor = conn.execute(
                "INSERT INTO usage (report_id, created_at, question, tokens, cost, mode, key_fingerprint)"
                " VALUES (?, ?, ?, ?, ?, ?, ?)",
                (report_id, _now(), question, tokens, cost, mode, fingerprint),
            )
            return int(cursor.lastrowid)

    def mark_sent(self, row_id: int) -> None:
        with self.connect() as conn:
            assert conn is not None
            conn.execute(
                "UPDATE usage SET sent_at = ?, attempts = attempts + 1, last_error = NULL"
                " WHERE id = ? AND sent_at IS NULL",
                (_now(), row_id),
            )

    def note_failure(self, row_id: int, error: str) -> None:
        with self.connect() as conn:
            assert conn is not None
            conn.execute(
                "UPDATE usage SET attempts = attempts + 1, last_error = ? WHERE id = ?",
                (error[:500], row_id),
            )

    def unsent(self, key: str) -> List[Tuple[int, str, str, int, float]]:
        with self.connect(create=False) as conn:
            if conn is None:
                return []
            return conn.execute(
                "SELECT id, report_id, question, tokens, cost FROM usage"
                " WHERE mode = 'service' AND sent_at IS NULL AND key_fingerprint = ? ORDER BY id",
                (self.fingerprint(conn, key),),
            ).fetchall()


# --- public interface -----------------------------------------------------------


class VeltoAPIHandler:
    """Client for one account key; ``get_openai_data()`` gives the chat-model settings."""

    def __init__(self, velto_api_key: str) -> None:
        self._key = _check_key(velto_api_key)

    @property
    def mode(self) -> str:
        """"service" when VELTO_API_URL is set, "local" otherwise."""
        return "service" if _env("VELTO_API_URL") else "local"

    def get_openai_data(self) -> Dict[str, Any]:
        """The chat-model settings: "model_name", "api_key" and, when set, "temperature".

        Fetched anew at every call. Raises VeltoAuthenticationError when the
        service refuses the key, VeltoServiceUnavailableError when it cannot be
        reached after the retries, VeltoConfigError for a bad environment
        variable and VeltoAPIError for any other failure.
        """
        url = _service_url()
        if url is None:
            return _local_settings()
        with _Service(url, self._key) as service:
            response = service.call("GET", "/v1/settings")
        return _parse_settings(response, _shown(url))

    def __repr__(self) -> str:
        return f"VeltoAPIHandler(mode={self.mode!r})"


def send_user_question(velto_api_key: str, question: str, tokens: int, cost: float) -> str:
    """Report one answered question with its token count and cost.

    Raises TypeError or ValueError for a bad argument, and nothing else: a
    failure of the service or of the ledger is logged and shows in the result,
    one of SENT, RECORDED (local mode), QUEUED (kept unsent for flush_usage)
    or LOST.
    """
    key = _check_key(velto_api_key)
    question, tokens, cost = _check_report(question, tokens, cost)
    report_id = secrets.token_hex(16)
    service_mode = _env("VELTO_API_URL") is not None
    ledger = _Ledger(_ledger_path())
    row_id: Optional[int] = None
    try:
        # Written before sending, so that a process killed during the retries
        # still leaves the report to flush.
        row_id = ledger.add(question, tokens, cost, report_id, key if service_mode else None)
    except Exception as exc:
        log.warning("Could not write a usage report to the ledger: %s", exc)
    if not service_mode:
        if row_id is None:
            log.error("Usage report lost (%d tokens, cost %s)", tokens, cost)
            return LOST
        return RECORDED
    try:
        url = _service_url()
        assert url is not None
        with _Service(url, key) as service:
            service.post_usage(question, tokens, cost, report_id)
    except Exception as exc:
        error = _scrub(str(exc), key)
        if row_id is None:
            log.error("Usage report lost (%d tokens, cost %s): %s", tokens, cost, error)
            return LOST
        try:
            ledger.note_failure(row_id, error)
        except Exception:
            pass  # the row is unsent either way; only the note is missing
        log.warning(
            "The account service did not take a usage report; it is kept in %s and "
            "flush_usage() will send it: %s",
            ledger.path,
            error,
        )
        return QUEUED
    if row_id is not None:
        try:
            ledger.mark_sent(row_id)
        except Exception as exc:
            # A later flush resends it with the same Idempotency-Key.
            log.warning("Could not mark a sent usage report in the ledger: %s", exc)
    return SENT


def flush_usage(velto_api_key: Optional[str] = None) -> int:
    """Send the unsent usage reports made with this account key; return how many were sent.

    The key defaults to VELTO_API_KEY. Returns 0 in local mode. Stops early,
    keeping the rest unsent, when the service cannot be reached; skips a
    report the service rejects (kept unsent with the error noted); raises
    VeltoAuthenticationError when the service refuses the key.
    """
    if velto_api_key is None:
        velto_api_key = os.environ.get("VELTO_API_KEY")
        if velto_api_key is None:
            raise ValueError("flush_usage needs the account key: pass velto_api_key or set VELTO_API_KEY")
    key = _check_key(velto_api_key)
    url = _service_url()
    if url is None:
        return 0
    ledger = _Ledger(_ledger_path())
    rows = ledger.unsent(key)
    sent = 0
    if not rows:
        return 0
    with _Service(url, key) as service:
        for row_id, report_id, question, tokens, cost in rows:
            try:
                service.post_usage(question, tokens, cost, report_id)
            except VeltoAuthenticationError:
                raise
            except VeltoAPIError as exc:
                ledger.note_failure(row_id, str(exc))
                log.warning("Usage report %d not sent: %s", row_id, exc)
                if isinstance(exc, VeltoServiceUnavailableError):
                    break
                continue
            ledger.mark_sent(row_id)
            sent += 1
    return sent


def usage_summary() -> Dict[str, Any]:
    """Totals of the local ledger: questions, tokens, cost and unsent reports.

    Reads only: a missing ledger gives zeros and is not created.
    """
    ledger = _Ledger(_ledger_path())
    summary: Dict[str, Any] = {
        "ledger": str(ledger.path), "questions": 0, "tokens": 0, "cost": 0.0, "unsent": 0
    }
    with ledger.connect(create=False) as conn:
        if conn is None:
            return summary
        questions, tokens, cost, unsent = conn.execute(
            "SELECT COUNT(*), COALESCE(SUM(tokens), 0), TOTAL(cost),"
            " COALESCE(SUM(mode = 'service' AND sent_at IS NULL), 0) FROM usage"
        ).fetchone()
    summary.update(questions=questions, tokens=tokens, cost=cost, unsent=unsent)
    return summary
