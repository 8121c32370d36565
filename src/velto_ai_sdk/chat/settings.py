"""The conversation's settings, read from the environment at each question
by the package's one rule (velto_ai_sdk.settings): unset means the default,
a value out of range is an error naming the variable."""

from __future__ import annotations

from .. import settings

HISTORY_VARIABLE = "VELTO_CHAT_HISTORY_CHARS"
QUESTION_VARIABLE = "VELTO_CHAT_MAX_QUESTION_CHARS"

DEFAULT_HISTORY_CHARS = 24000  # about 6,000 tokens of earlier questions and answers
DEFAULT_QUESTION_CHARS = 10000


def history_chars() -> int:
    """Characters of earlier questions and answers a question carries; 0 carries none."""
    return settings.integer(HISTORY_VARIABLE, DEFAULT_HISTORY_CHARS, 0, 10_000_000)


def max_question_chars() -> int:
    """The longest question taken, in characters."""
    return settings.integer(QUESTION_VARIABLE, DEFAULT_QUESTION_CHARS, 1, 1_000_000)
