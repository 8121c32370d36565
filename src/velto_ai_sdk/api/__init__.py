"""Account-service client: chat-model settings and usage reports.

The mode is chosen from the environment at every call, so a ``.env`` file
loaded after import still counts:

* Service mode, when ``VELTO_API_URL`` is set. Settings come from
  ``GET {VELTO_API_URL}/v1/settings`` and usage reports go to
  ``POST {VELTO_API_URL}/v1/usage``, both with the account key as
  ``Authorization: Bearer <key>``. Every request must be answered in full,
  from connecting to the last byte of a body of at most 1 MB, within
  ``VELTO_API_TIMEOUT`` seconds. A request is retried on connection errors,
  timeouts, 429 and 5xx (``VELTO_API_RETRIES`` more times, waiting
  ``VELTO_API_BACKOFF`` seconds and then twice as long each time, or as long
  as the service's Retry-After asks when that fits), so that no call takes
  longer than the timeout times the attempts plus the waits.
* Local mode, when it is not set. Settings come from ``OPENAI_API_KEY``,
  ``VELTO_MODEL_NAME`` and ``VELTO_TEMPERATURE``.

A question a recorded session answered (inside ``replayed_session()``, as the
demo's replay does) is written to the ledger as a replay, its tokens counted
and its cost 0, and is never sent to a service: no model was paid for it.

Every usage report is first written to the local ledger
(:mod:`velto_ai_sdk.api.ledger`, ``VELTO_USAGE_DB``). In service mode the row is
marked sent once the service has taken it; a report the service could not
take stays unsent and ``flush_usage()`` sends it later. A report is claimed in
the ledger by the call that posts it, so that concurrent flushes post each
report once.

Importing this module creates no file and opens no connection; ``requests`` is
imported on first use.

This file is the client; beside it are its settings (``settings.py``), one
bounded HTTP exchange (``exchange.py``), the ledger (``ledger.py``), the
replay marker (``replays.py``) and the errors it raises (``errors.py``).
"""

from __future__ import annotations

import json
import logging
import math
import numbers
import secrets
import time
from datetime import datetime, timedelta, timezone
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

from .. import __version__
from .errors import VeltoAPIError, VeltoAuthenticationError, VeltoConfigError, VeltoServiceUnavailableError
from ..settings import text as setting_text
from .settings import Limits, ledger_path, limits, local_model, service_mode, service_url, shown_url
from .settings import data_directory  # noqa: F401  (where the command line keeps its files too)
from .ledger import Claim, Ledger
from .replays import replayed_session, replaying

if TYPE_CHECKING:
    from .exchange import Answer

__all__ = [
    "VeltoAPIHandler",
    "send_user_question",
    "flush_usage",
    "usage_summary",
    "replayed_session",
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

MAX_ANSWER_BYTES = 1 << 20  # settings and acknowledgements are small
# A claim outlives the longest call by this much: the ledger writes around the
# post and the moment a cut-off exchange takes to end.
CLAIM_MARGIN = 10.0

# What send_user_question did with a report.
SENT = "sent"  # the service took it
RECORDED = "recorded"  # local mode: written to the ledger
QUEUED = "queued"  # the service did not take it: kept unsent in the ledger
LOST = "lost"  # neither the service nor the ledger took it (logged as an error)


# --- arguments -------------------------------------------------------------------


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


def _scrub(text: str, key: str) -> str:
    # A server or a library may echo the request; the key never leaves in a message.
    return text.replace(key, "<account key>")


# --- settings -----------------------------------------------------------------


def _parse_settings(body: bytes, where: str) -> Dict[str, Any]:
    """The agent's three entries; the vendor key and the model name are required,
    since the agent would otherwise build a model from whatever its host has."""
    try:
        data = json.loads(body)
    except (ValueError, RecursionError):
        raise VeltoAPIError(f"The account service at {where} answered settings that are not JSON") from None
    if not isinstance(data, dict):
        raise VeltoAPIError(
            f"The account service at {where} answered settings as a JSON "
            f"{type(data).__name__}, expected an object"
        )
    # null means "not set": leaving it out lets the caller's default apply.
    settings = {name: data[name] for name in ("model_name", "temperature", "api_key")
                if data.get(name) is not None}
    problems = []
    for name in ("model_name", "api_key"):
        if name not in settings:
            problems.append(f"{name} is missing")
        elif not (isinstance(settings[name], str) and settings[name].strip()):
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


def _when(seconds: float) -> str:
    try:
        moment = datetime.now(timezone.utc) + timedelta(seconds=seconds)
    except OverflowError:
        return "never"
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")


class _Service:
    """Requests to the account service with one key, one session and its limits."""

    def __init__(self, url: str, key: str, limits: Limits) -> None:
        from . import exchange  # here rather than at import: requests is slow to import

        self.url = url
        self.limits = limits
        self._key = key
        self._http = exchange
        self._session = exchange.new_session(
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

    def call(self, method: str, path: str, body: Any = None,
             headers: Optional[Dict[str, str]] = None) -> "Answer":
        """The answer to a request that succeeded, within the limits' call bound."""
        http = self._http
        where = shown_url(self.url) + path
        limits = self.limits
        call_deadline = time.monotonic() + limits.call_bound
        attempts = limits.retries + 1
        last = ""
        wait = 0.0
        for attempt in range(attempts):
            if attempt:
                time.sleep(max(0.0, min(wait, call_deadline - time.monotonic())))
            wait = limits.wait_before(attempt + 1)
            attempt_deadline = min(time.monotonic() + limits.timeout, call_deadline)
            try:
                answer = http.exchange(self._session, method, self.url + path, attempt_deadline,
                                       MAX_ANSWER_BYTES, body=body, headers=headers)
            except http.NoAnswer as exc:
                last = _scrub(str(exc), self._key)[:300]
                continue
            except http.BadAnswer as exc:
                raise VeltoAPIError(_scrub(f"The account service at {where} {exc}", self._key)) from None
            except http.requests.RequestException as exc:
                message = f"Request to the account service at {where} failed: {exc}"
                raise VeltoAPIError(_scrub(message, self._key)) from None
            status = answer.status
            if 200 <= status < 300:
                return answer
            self._refused(status)
            if status == 429 or status >= 500:
                last = f"HTTP {status}"
                wait = self._asked_wait(answer, where, wait, attempt + 1 == attempts, call_deadline)
                continue
            raise VeltoAPIError(self._failure(method, where, answer))
        raise VeltoServiceUnavailableError(
            f"The account service at {where} did not answer after {attempts} attempt(s) "
            f"(last: {last}); check VELTO_API_URL and the network, or try again later."
        )

    def _asked_wait(self, answer: "Answer", where: str, wait: float, last_attempt: bool,
                    call_deadline: float) -> float:
        """The wait before the next attempt: the service's Retry-After when that
        wait and the attempt fit in the call's bound. Gives up at once when they
        do not, since an earlier attempt would only be refused again."""
        asked = self._http.retry_after(answer.headers)
        if asked is None:
            return wait
        if not last_attempt and time.monotonic() + asked + self.limits.timeout <= call_deadline:
            return asked
        raise VeltoServiceUnavailableError(
            f"The account service at {where} answered HTTP {answer.status} and asked to be retried "
            f"in {asked:.0f} s (at {_when(asked)}), later than this call may wait "
            f"({self.limits.call_bound:.3g} s in all, set by VELTO_API_TIMEOUT, VELTO_API_RETRIES "
            f"and VELTO_API_BACKOFF); try again then."
        )

    @staticmethod
    def _refused(status: int) -> None:
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

    def _failure(self, method: str, where: str, answer: "Answer") -> str:
        status = answer.status
        detail = _scrub(answer.body[:200].decode("utf-8", "replace").strip(), self._key)
        if 300 <= status < 400:
            hint = f" (it redirects to {shown_url(answer.headers.get('Location', ''))}: check VELTO_API_URL)"
        else:
            hint = " (check VELTO_API_URL)" if status == 404 else ""
        return f"The account service answered HTTP {status} to {method} {where}{hint}" + (
            f": {detail}" if detail else "")

    def post_usage(self, question: str, tokens: int, cost: float, report_id: str) -> None:
        # The same Idempotency-Key on every retry and every later flush lets the
        # service drop a report it has already taken when only its answer got lost.
        self.call(
            "POST",
            "/v1/usage",
            body={"question": question, "tokens": tokens, "cost": cost},
            headers={"Idempotency-Key": report_id},
        )


def _claim(limits: Limits) -> Claim:
    # Longer than the longest a post may take, so that only the claim of a
    # caller that died runs out.
    return Claim.fresh(limits.call_bound + CLAIM_MARGIN)


# --- public interface -----------------------------------------------------------


class VeltoAPIHandler:
    """Client for one account key; ``get_openai_data()`` gives the chat-model settings."""

    def __init__(self, velto_api_key: str) -> None:
        self._key = _check_key(velto_api_key)

    @property
    def mode(self) -> str:
        """"service" when VELTO_API_URL is set, "local" otherwise."""
        return "service" if service_mode() else "local"

    def get_openai_data(self) -> Dict[str, Any]:
        """The chat-model settings: "model_name", "api_key" and, when set, "temperature".

        Fetched anew at every call. Raises VeltoAuthenticationError when the
        service refuses the key, VeltoServiceUnavailableError when it cannot be
        reached after the retries, VeltoConfigError for a bad environment
        variable and VeltoAPIError for any other failure.
        """
        url = service_url()
        if url is None:
            return local_model()
        with _Service(url, self._key, limits()) as service:
            answer = service.call("GET", "/v1/settings")
        return _parse_settings(answer.body, shown_url(url))

    def __repr__(self) -> str:
        return f"VeltoAPIHandler(mode={self.mode!r})"


def send_user_question(velto_api_key: str, question: str, tokens: int, cost: float) -> str:
    """Report one answered question with its token count and cost.

    Raises TypeError or ValueError for a bad argument, and nothing else: a
    failure of the service or of the ledger is logged and shows in the result,
    one of SENT, RECORDED (local mode, or a replay), QUEUED (kept unsent for
    flush_usage) or LOST.
    """
    key = _check_key(velto_api_key)
    question, tokens, cost = _check_report(question, tokens, cost)
    report_id = secrets.token_hex(16)
    ledger = Ledger(ledger_path())
    replay = replaying()
    if replay or not service_mode():
        cost = 0.0 if replay else cost
        try:
            ledger.add(question, tokens, cost, report_id, None, replay=replay)
        except Exception as exc:
            log.error("Usage report lost (%d tokens, cost %s): %s", tokens, cost, exc)
            return LOST
        return RECORDED
    try:
        url, service_limits = service_url(), limits()
    except VeltoConfigError as exc:
        # Kept unclaimed for a flush once the setting is mended.
        return _keep_unsent(ledger, _add_or_none(ledger, question, tokens, cost, report_id, key, None),
                            None, str(exc), tokens, cost)
    assert url is not None
    # Written, and claimed, before sending: a process killed during the
    # retries still leaves the report for a flush once its claim runs out.
    claim = _claim(service_limits)
    row_id = _add_or_none(ledger, question, tokens, cost, report_id, key, claim)
    try:
        with _Service(url, key, service_limits) as service:
            service.post_usage(question, tokens, cost, report_id)
    except Exception as exc:
        return _keep_unsent(ledger, row_id, claim, _scrub(str(exc), key), tokens, cost)
    if row_id is not None:
        try:
            ledger.mark_sent(row_id)
        except Exception as exc:
            # A later flush resends it with the same Idempotency-Key.
            log.warning("Could not mark a sent usage report in the ledger: %s", exc)
    return SENT


def _add_or_none(ledger: Ledger, question: str, tokens: int, cost: float, report_id: str,
                 key: str, claim: Optional[Claim]) -> Optional[int]:
    try:
        return ledger.add(question, tokens, cost, report_id, key, claim)
    except Exception as exc:
        log.warning("Could not write a usage report to the ledger: %s", exc)
        return None


def _keep_unsent(ledger: Ledger, row_id: Optional[int], claim: Optional[Claim], error: str,
                 tokens: int, cost: float) -> str:
    if row_id is None:
        log.error("Usage report lost (%d tokens, cost %s): %s", tokens, cost, error)
        return LOST
    try:
        ledger.release(row_id, claim, error)
    except Exception:
        pass  # the row is unsent either way; its claim runs out by itself
    log.warning(
        "The account service did not take a usage report; it is kept in %s and "
        "flush_usage() will send it: %s",
        ledger.path,
        error,
    )
    return QUEUED


def flush_usage(velto_api_key: Optional[str] = None) -> int:
    """Send the unsent usage reports made with this account key; return how many were sent.

    The key defaults to VELTO_API_KEY. Returns 0 in local mode. Stops early,
    keeping the rest unsent, when the service cannot be reached; skips a
    report the service rejects (kept unsent with the error noted); raises
    VeltoAuthenticationError when the service refuses the key. Each report
    is claimed while it is posted, so that flushes running at the same time
    in other threads or processes send it once.
    """
    if velto_api_key is None:
        velto_api_key = setting_text("VELTO_API_KEY")
        if velto_api_key is None:
            raise ValueError("flush_usage needs the account key: pass velto_api_key or set VELTO_API_KEY")
    key = _check_key(velto_api_key)
    url = service_url()
    if url is None:
        return 0
    service_limits = limits()
    ledger = Ledger(ledger_path())
    sent = 0
    after = 0  # rows are taken in order, each at most once per flush
    with _Service(url, key, service_limits) as service:
        while True:
            claim = _claim(service_limits)
            report = ledger.claim_next(key, claim, after)
            if report is None:
                return sent
            after = report.row_id
            try:
                service.post_usage(report.question, report.tokens, report.cost, report.report_id)
            except VeltoAPIError as exc:
                ledger.release(report.row_id, claim, str(exc))
                if isinstance(exc, VeltoAuthenticationError):
                    raise
                log.warning("Usage report %d not sent: %s", report.row_id, exc)
                if isinstance(exc, VeltoServiceUnavailableError):
                    return sent
                continue
            except BaseException:
                ledger.release(report.row_id, claim, "interrupted while it was sent")
                raise
            ledger.mark_sent(report.row_id)
            sent += 1


def usage_summary() -> Dict[str, Any]:
    """Totals of the local ledger: questions, tokens, cost, unsent reports and
    replays (questions a recorded session answered, at no cost).

    Reads only: a missing ledger gives zeros and is not created.
    """
    ledger = Ledger(ledger_path())
    summary: Dict[str, Any] = {"ledger": str(ledger.path)}
    summary.update(ledger.summary())
    return summary
