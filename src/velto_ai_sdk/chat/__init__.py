"""Conversations with the analyst: follow-up questions, a structured answer,
events while it works, and quiet output.

    from velto_ai_sdk import Conversation, master

    master.initialize_env("/srv/myapp/velto-env")        # once
    talk = Conversation("user-account-key", "/srv/myapp/charts", "postgresql")
    answer = talk.ask("Which region earned the most last year?")
    print(answer.message, answer.images)
    answer = talk.ask("And by month?")                   # knows what "by month" is of

    for event in talk.stream("Chart it"):                # events as it works
        print(event.elapsed, event.activity)

``Answer`` holds the text and what the run did (statements, scripts,
images, tokens, cost, seconds, error); in a notebook it shows itself.
Importing this package loads no LangChain: the agent is loaded when the
first conversation is made.
"""

from . import events
from .answer import Answer, Query, Script
from .checks import SetupError
from .conversation import Conversation
from .events import *  # noqa: F401,F403  (the event types and event_from_dict)

__all__ = ["Conversation", "Answer", "Query", "Script", "SetupError"] + events.__all__
