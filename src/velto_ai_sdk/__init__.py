"""velto_ai_sdk: a conversational data analyst in front of a relational database.

Import what you need directly; this package module imports nothing heavy:

    from velto_ai_sdk import master          # set up the private code environment
    from velto_ai_sdk import agent           # create_agent, run_agent
    from velto_ai_sdk import Conversation    # follow-up questions, structured answers

Conversation, Answer and the events of velto_ai_sdk.chat are loaded on first
use.
"""

from typing import TYPE_CHECKING, Any, List

__version__ = "0.1.0"

if TYPE_CHECKING:  # what editors and type checkers see; at run time, loaded on first use
    from .chat import (Answer, Answered, Conversation, Event, Failed, ImageMade, ModelCallEnded, ModelCallStarted,
                       Query, QuestionStarted, Script, SetupError, ToolCallEnded, ToolCallStarted)

_CHAT_NAMES = frozenset([
    "Conversation", "Answer", "Query", "Script", "SetupError", "Event", "QuestionStarted", "ModelCallStarted",
    "ModelCallEnded", "ToolCallStarted", "ToolCallEnded", "ImageMade", "Failed", "Answered",
])


def __getattr__(name: str) -> Any:
    if name in _CHAT_NAMES:
        from . import chat

        return getattr(chat, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def __dir__() -> List[str]:
    return sorted(set(globals()) | _CHAT_NAMES)
