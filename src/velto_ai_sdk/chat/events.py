"""What happens while a question is answered, as events.

A conversation hands each event to its ``on_event`` callable and yields it
from ``stream()``, in this order:

    QuestionStarted
    then, as often as the model goes on working:
        ModelCallStarted, ModelCallEnded
        for each tool the model called: ToolCallStarted, ToolCallEnded,
            and ImageMade for each image a script made
    Failed, when the question has no answer
    Answered, always last, with the Answer

Every event carries ``elapsed``, the seconds since the question started.
``to_dict()`` gives JSON-ready values with the event's ``type``, and
``event_from_dict`` takes them back, so that events can cross a process or
a web socket as they are.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any, ClassVar, Dict, Mapping, Optional, Tuple, Type

from .answer import Answer

__all__ = [
    "Event",
    "QuestionStarted",
    "ModelCallStarted",
    "ModelCallEnded",
    "ToolCallStarted",
    "ToolCallEnded",
    "ImageMade",
    "Failed",
    "Answered",
    "event_from_dict",
]

# What a tool call is doing, by the tool's kind, for a progress line.
ACTIVITIES = {"schema": "reading the schema", "sql": "running SQL", "python": "running Python"}


@dataclass(frozen=True)
class Event:
    elapsed: float
    type: ClassVar[str] = "event"

    @property
    def activity(self) -> Optional[str]:
        """What the conversation is busy with from this event on, in words
        for a progress line; None when this event says nothing of that."""
        return None

    def to_dict(self) -> Dict[str, Any]:
        values = asdict(self)
        values["type"] = self.type
        return values


@dataclass(frozen=True)
class QuestionStarted(Event):
    """A question was taken; ``carried`` earlier turns go with it as history."""

    question: str
    turn: int  # 1 for the first question of the conversation
    carried: int
    type: ClassVar[str] = "question_started"

    @property
    def activity(self) -> Optional[str]:
        return "starting"


@dataclass(frozen=True)
class ModelCallStarted(Event):
    """The model was asked for its next step (``call`` counts from 1)."""

    call: int
    type: ClassVar[str] = "model_call_started"

    @property
    def activity(self) -> Optional[str]:
        return "thinking"


@dataclass(frozen=True)
class ModelCallEnded(Event):
    """The model answered, asking for ``tool_calls`` (tool names) or giving
    its final text when there are none; or it failed with ``error``."""

    call: int
    seconds: float
    tokens: int
    tool_calls: Tuple[str, ...]
    error: Optional[str] = None
    type: ClassVar[str] = "model_call_ended"


@dataclass(frozen=True)
class ToolCallStarted(Event):
    """A tool was called. ``kind`` is "schema", "sql", "python" or "other";
    ``input`` the statement or the script ("" for a schema reader)."""

    call: int
    tool: str
    kind: str
    engine: Optional[str]
    input: str
    type: ClassVar[str] = "tool_call_started"

    @property
    def activity(self) -> Optional[str]:
        return ACTIVITIES.get(self.kind, "running " + self.tool)


@dataclass(frozen=True)
class ToolCallEnded(Event):
    """A tool answered; ``summary`` says what in a few words ("3 rows",
    "failed: ...")."""

    call: int
    tool: str
    kind: str
    summary: str
    failed: bool
    seconds: float
    type: ClassVar[str] = "tool_call_ended"

    @property
    def activity(self) -> Optional[str]:
        return "thinking"


@dataclass(frozen=True)
class ImageMade(Event):
    """A script made or changed an image in the media directory."""

    path: str
    type: ClassVar[str] = "image_made"


@dataclass(frozen=True)
class Failed(Event):
    """The question has no answer, for the reason given in words."""

    error: str
    type: ClassVar[str] = "failed"


@dataclass(frozen=True)
class Answered(Event):
    """The answer: the last event of every question."""

    answer: Answer
    type: ClassVar[str] = "answered"

    def to_dict(self) -> Dict[str, Any]:
        return {"elapsed": self.elapsed, "answer": self.answer.to_dict(), "type": self.type}


_TYPES: Dict[str, Type[Event]] = {kind.type: kind for kind in (
    QuestionStarted, ModelCallStarted, ModelCallEnded, ToolCallStarted, ToolCallEnded, ImageMade, Failed, Answered)}


def event_from_dict(values: Mapping[str, Any]) -> Event:
    """The event that to_dict() gave these values."""
    fields = dict(values)
    kind = _TYPES.get(fields.pop("type", None))  # type: ignore[arg-type]
    if kind is None:
        raise ValueError("not an event: %r" % (values.get("type"),))
    if kind is Answered:
        fields["answer"] = Answer.from_dict(fields["answer"])
    if kind is ModelCallEnded:
        fields["tool_calls"] = tuple(fields["tool_calls"])
    try:
        return kind(**fields)
    except TypeError as error:
        raise ValueError("not a %s event: %s" % (kind.type, error)) from None
