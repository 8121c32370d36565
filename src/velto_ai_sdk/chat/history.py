"""Which earlier turns a question carries, within the history budget.

A turn is a question with its answer's final text, carried whole or not at
all. The newest turns go first into the budget (VELTO_CHAT_HISTORY_CHARS
characters of questions and answers together); the first turn that does
not fit ends it, so the oldest are the ones left out and the turns carried
always run up to the present without a gap. A turn without an answer text
(its run failed) says nothing to go on and is left out.
"""

from __future__ import annotations

from typing import Iterable, List, Sequence

from .answer import Answer


def carried_turns(turns: Sequence[Answer], budget: int) -> List[Answer]:
    """The turns to carry, oldest first."""
    kept: List[Answer] = []
    used = 0
    for turn in reversed(turns):
        if not turn.text:
            continue
        size = len(turn.question) + len(turn.text)
        if used + size > budget:
            break
        kept.append(turn)
        used += size
    kept.reverse()
    return kept


def messages(turns: Iterable[Answer], human: type, ai: type) -> List[object]:
    """The chat history the agent's prompt takes: each turn as the question
    and the answer's text, with the message classes the agent module uses."""
    history: List[object] = []
    for turn in turns:
        history.append(human(content=turn.question))
        history.append(ai(content=turn.text))
    return history
