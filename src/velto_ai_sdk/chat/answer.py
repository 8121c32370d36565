"""What one question gave: the answer's text and what the run did to get it.

An Answer is plain data: it holds no connection, no agent and no open file,
so it can be stored (to_dict gives JSON-ready values, from_dict takes them
back) and shown later; a conversation can be restored from stored answers.
"""

from __future__ import annotations

import json
import re
from dataclasses import asdict, dataclass
from typing import Any, Dict, Mapping, Optional, Tuple

__all__ = ["Answer", "Query", "Script"]

# A model asked for bare JSON often wraps it in a Markdown fence anyway.
_FENCED = re.compile(r"^```(?:json)?\s*\n(.*)\n```$", re.S)


@dataclass(frozen=True)
class Query:
    """One statement the model ran."""

    sql: str
    engine: str  # "postgresql", "mysql" or "mssql": the tool the model chose
    result: str  # the text the model was shown: rows, "OK: ..." or "Error: ..."
    file: Optional[str]  # the CSV file holding all of its rows, when one was written
    seconds: float
    failed: bool


@dataclass(frozen=True)
class Script:
    """One Python script the model ran in the private environment."""

    code: str
    output: str  # what it printed, or its error output and why it was ended
    seconds: float
    failed: bool


@dataclass(frozen=True)
class Answer:
    """The answer to one question.

    ``text``      the model's final text, as it gave it ("" when the run failed)
    ``data``      that text parsed, when it is JSON (as the agent is told to
                  answer), else None
    ``queries``   each statement run, in order (:class:`Query`)
    ``scripts``   each script run, in order (:class:`Script`)
    ``images``    image files the run made or changed in the media directory
    ``tokens``, ``cost``  the model's usage for this question, as reported
    ``seconds``   how long the question took
    ``error``     None, or why there is no answer, in words: the model
                  service's status and message, a tool's failure that the
                  answer came right after (a statement the database refused,
                  a script ended at its time limit), an agent that stopped
                  without answering...
    ``question``  the question asked
    ``media_path`` the directory the images are in
    """

    question: str
    text: str
    data: Any = None
    queries: Tuple[Query, ...] = ()
    scripts: Tuple[Script, ...] = ()
    images: Tuple[str, ...] = ()
    tokens: int = 0
    cost: float = 0.0
    seconds: float = 0.0
    error: Optional[str] = None
    media_path: str = ""

    @property
    def ok(self) -> bool:
        return self.error is None

    @property
    def message(self) -> str:
        """The answer in words: the JSON answer's "answer" when it has one,
        else the text; the error when there is no text."""
        if isinstance(self.data, dict) and isinstance(self.data.get("answer"), str):
            return self.data["answer"]
        return self.text or (self.error or "")

    def to_dict(self) -> Dict[str, Any]:
        """The answer as JSON-ready values; from_dict takes them back."""
        values = asdict(self)
        values["queries"] = [dict(query) for query in values["queries"]]
        values["scripts"] = [dict(script) for script in values["scripts"]]
        values["images"] = list(self.images)
        return values

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> "Answer":
        """An answer from what to_dict gave (as stored, perhaps as JSON)."""
        try:
            return cls(
                question=_text(values["question"]),
                text=_text(values["text"]),
                data=values.get("data"),
                queries=tuple(Query(**query) for query in values.get("queries", ())),
                scripts=tuple(Script(**script) for script in values.get("scripts", ())),
                images=tuple(_text(path) for path in values.get("images", ())),
                tokens=int(values.get("tokens", 0)),
                cost=float(values.get("cost", 0.0)),
                seconds=float(values.get("seconds", 0.0)),
                error=None if values.get("error") is None else _text(values["error"]),
                media_path=_text(values.get("media_path", "")),
            )
        except (KeyError, TypeError) as error:
            raise ValueError("not a stored answer: %s" % error) from None

    def _repr_html_(self) -> str:
        from .notebook import answer_html

        return answer_html(self)

    def __str__(self) -> str:
        return self.message

    def __repr__(self) -> str:
        shown = self.message if len(self.message) <= 60 else self.message[:59] + "\u2026"
        return "<Answer %s: %r, %d queries, %d scripts, %d images, %d tokens>" % (
            "ok" if self.ok else "failed", shown, len(self.queries), len(self.scripts), len(self.images),
            self.tokens)


def _text(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError("expected text, got %s" % type(value).__name__)
    return value


def parse_data(text: str) -> Any:
    """The JSON value of an answer text, or None when it is not JSON."""
    stripped = text.strip()
    fenced = _FENCED.match(stripped)
    if fenced is not None:
        stripped = fenced.group(1).strip()
    if not stripped.startswith(("{", "[")):
        return None
    try:
        return json.loads(stripped)
    except (ValueError, RecursionError):
        return None
