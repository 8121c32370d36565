"""The account client's settings, read from the environment at each use.

They follow the one rule of :mod:`velto_ai_sdk.settings` (unset means the
default; a value out of range is an error, never clamped); a bad value is
raised as :class:`~velto_ai_sdk.api.errors.VeltoConfigError`, which callers
of the account client already catch as a ``VeltoAPIError``.
"""

from __future__ import annotations

import contextlib
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, Optional
from urllib.parse import urlsplit, urlunsplit

from .. import settings
from .errors import VeltoConfigError

DEFAULT_MODEL_NAME = "gpt-4o-mini"
DEFAULT_TIMEOUT = 10.0  # seconds, for the whole of each request
MAX_TIMEOUT = 300.0
DEFAULT_RETRIES = 2  # attempts after the first one
MAX_RETRIES = 10
DEFAULT_BACKOFF = 0.5  # seconds before the first retry, doubled for each next one
MAX_BACKOFF = 30.0  # also the longest any one wait between attempts grows to
MAX_TEMPERATURE = 2.0


@contextlib.contextmanager
def _as_config_error() -> Iterator[None]:
    try:
        yield
    except settings.SettingError as exc:
        raise VeltoConfigError(str(exc)) from None


@dataclass(frozen=True)
class Limits:
    """How long the client may spend on the account service."""

    timeout: float  # seconds for one request, connecting to the last byte
    retries: int
    backoff: float

    def wait_before(self, attempt: int) -> float:
        """Seconds to wait before attempt number `attempt` (1 is the first retry)."""
        return min(self.backoff * 2 ** (attempt - 1), MAX_BACKOFF)

    @property
    def call_bound(self) -> float:
        """The longest a call with all its retries may take."""
        waits = sum(self.wait_before(attempt) for attempt in range(1, self.retries + 1))
        return self.timeout * (self.retries + 1) + waits


def limits() -> Limits:
    with _as_config_error():
        return Limits(
            timeout=settings.number("VELTO_API_TIMEOUT", DEFAULT_TIMEOUT, 0.1, MAX_TIMEOUT, " seconds"),
            retries=settings.integer("VELTO_API_RETRIES", DEFAULT_RETRIES, 0, MAX_RETRIES),
            backoff=settings.number("VELTO_API_BACKOFF", DEFAULT_BACKOFF, 0, MAX_BACKOFF, " seconds"),
        )


def shown_url(url: str) -> str:
    """The URL without any user:password part or query, for messages."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return "<unparsable URL>"
    return urlunsplit((parts.scheme, parts.netloc.rpartition("@")[2], parts.path, "", ""))


def service_mode() -> bool:
    """Whether VELTO_API_URL names an account service (checked by service_url)."""
    return settings.text("VELTO_API_URL") is not None


def service_url() -> Optional[str]:
    """The account service's address without a trailing slash; None in local mode."""
    raw = settings.text("VELTO_API_URL")
    if raw is None:
        return None
    try:
        host = urlsplit(raw).netloc.rpartition("@")[2]
    except ValueError:
        host = ""
    if not raw.lower().startswith(("http://", "https://")) or not host:
        raise VeltoConfigError(
            f"VELTO_API_URL must be an http:// or https:// address, got {shown_url(raw)!r}"
        )
    return raw.rstrip("/")


def local_model() -> Dict[str, Any]:
    """Local mode's chat-model settings, as the service would give them."""
    api_key = settings.text("OPENAI_API_KEY")
    if api_key is None:
        own_server = settings.text("OPENAI_BASE_URL") or settings.text("OPENAI_API_BASE")
        raise VeltoConfigError(
            "OPENAI_API_KEY is not set. Without VELTO_API_URL (local mode) the chat "
            "model's key is read from OPENAI_API_KEY; set it, or set VELTO_API_URL "
            "to use an account service."
            + (" OPENAI_BASE_URL names your own model server: set OPENAI_API_KEY too, to any "
               "value if that server takes no key." if own_server else "")
        )
    model: Dict[str, Any] = {"model_name": settings.text("VELTO_MODEL_NAME") or DEFAULT_MODEL_NAME}
    # Left out when unset, so that the caller's own default temperature applies.
    if settings.text("VELTO_TEMPERATURE") is not None:
        with _as_config_error():
            model["temperature"] = settings.number("VELTO_TEMPERATURE", 0.0, 0, MAX_TEMPERATURE)
    model["api_key"] = api_key
    return model


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


def ledger_path() -> Path:
    raw = settings.text("VELTO_USAGE_DB")
    if raw is not None:
        return Path(raw).expanduser()
    return data_directory() / "usage.sqlite3"
