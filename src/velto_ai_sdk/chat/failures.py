"""Why a question has no answer, in words a person can act on.

A run that raised: the model service's status and its own message (the
openai client's errors), what could not be reached, or the failure's type
and text. The account key never appears: messages of the account client
leave it out already, and the model service's messages do not echo keys.
"""

from __future__ import annotations

import sys
from typing import Optional
from urllib.parse import urlsplit

GAVE_NO_ANSWER = "the agent gave no answer"
# LangChain's answer when the executor ran out of steps.
STOPPED = "Agent stopped due to iteration limit or time limit."


def run_failure(error: BaseException) -> str:
    """The reason a run ended by `error`, in words."""
    words = _model_service(error)
    if words is not None:
        return words
    text = str(error).strip()
    name = type(error).__name__
    if not text:
        return name
    if type(error).__module__.startswith("velto_ai_sdk"):
        return text  # written for people already
    return "%s: %s" % (name, text)


def stopped(max_iterations: Optional[int]) -> str:
    return "the agent stopped before answering, after %s steps (LangChain's iteration limit)" % (
        max_iterations if max_iterations is not None else "its")


def _model_service(error: BaseException) -> Optional[str]:
    openai = sys.modules.get("openai")  # loaded with the agent; nothing to tell otherwise
    if openai is None:
        return None
    if isinstance(error, openai.APIStatusError):
        message = _service_message(error)
        if error.status_code == 401:
            return "the model service refused the key (HTTP 401): %s" % message
        return "the model service answered HTTP %d: %s" % (error.status_code, message)
    if isinstance(error, openai.APITimeoutError):
        return "the model service at %s did not answer in time" % _where(error)
    if isinstance(error, openai.APIConnectionError):
        cause = error.__cause__ or error.__context__
        detail = " (%s)" % _short(str(cause)) if cause is not None and str(cause) else ""
        return "could not reach the model service at %s: %s%s" % (_where(error), error.message, detail)
    return None


def _service_message(error: "BaseException") -> str:
    body = getattr(error, "body", None)
    if isinstance(body, dict) and isinstance(body.get("message"), str):
        return _short(body["message"])
    return _short(getattr(error, "message", "") or str(error))


def _where(error: BaseException) -> str:
    request = getattr(error, "request", None)
    url = getattr(request, "url", None)
    if url is None:
        return "its address"
    parts = urlsplit(str(url))  # no user, password or query in a message
    return "%s://%s%s" % (parts.scheme, parts.netloc.rpartition("@")[2], parts.path)


def _short(text: str, limit: int = 500) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"
