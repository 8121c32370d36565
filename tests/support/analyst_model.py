"""A scripted analyst for the web app's tests and benchmark: a chat model on
the scripted server that answers any number of questions, from any number
of conversations at once and in any order, each reply chosen from the
request itself.

    model = AnalystModel(plan)      # plan(question) -> the replies of its steps
    server = ScriptedChatServer(model.script()).start()

A step is a reply, or a callable that takes the request body and returns
one (to read what a tool answered before). The step a request is at is the
number of the model's replies since the question. ``most_at_once`` is the
largest number of questions the model was working on at the same moment;
``gate``, when set, is waited for before each question's last reply.

Steps that most tests need: ``sql_step(sql)``, ``chart_step(name)`` (a bar
chart of the last result's file, saved in the conversation's media
directory) and ``text_reply``.
"""

from __future__ import annotations

import json
import re
import textwrap
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence

from velto_ai_sdk.chat.results import result_file
from velto_ai_sdk.scripted_model import ScriptedReply, text_reply, tool_call_reply

MEDIA_PATH = re.compile(r"save it in (.*?) - matplotlib code should", re.S)
Step = Any  # a ScriptedReply, or a callable(body) -> ScriptedReply
Plan = Callable[[str], Sequence[Step]]


def question_of(body: Dict[str, Any]) -> str:
    messages = body["messages"]
    return next(message["content"] for message in reversed(messages) if message["role"] == "user")


def step_of(body: Dict[str, Any]) -> int:
    messages = body["messages"]
    last_user = max(index for index, message in enumerate(messages) if message["role"] == "user")
    return sum(1 for message in messages[last_user:] if message["role"] == "assistant")


def history_of(body: Dict[str, Any]) -> List[tuple]:
    """(role, text) of the earlier turns the request carries, before the question."""
    messages = body["messages"]
    last_user = max(index for index, message in enumerate(messages) if message["role"] == "user")
    return [(message["role"], message["content"]) for message in messages[1:last_user]]


def media_path_of(body: Dict[str, Any]) -> str:
    found = MEDIA_PATH.search(body["messages"][0]["content"])
    assert found is not None, "no media directory in the system text"
    return found.group(1)


def last_tool_text(body: Dict[str, Any]) -> str:
    return next(message["content"] for message in reversed(body["messages"]) if message["role"] == "tool")


def sql_step(sql: str, tool: str = "ExecutePostgresSQLQuery") -> ScriptedReply:
    return tool_call_reply([(tool, {"sql_query": sql})])


def chart_step(name: str = "chart.png") -> Callable[[Dict[str, Any]], ScriptedReply]:
    """A bar chart of the last result's file: its first column against its second."""

    def step(body: Dict[str, Any]) -> ScriptedReply:
        rows = result_file(last_tool_text(body))
        code = textwrap.dedent(f"""
            import os
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
            import pandas as pd
            frame = pd.read_csv({rows!r})
            figure, axes = plt.subplots(figsize=(6, 3.2))
            axes.bar(frame.iloc[:, 0].astype(str), frame.iloc[:, 1], color="#3b6fe0")
            axes.set_title("Revenue by region")
            figure.tight_layout()
            os.makedirs({media_path_of(body)!r}, exist_ok=True)
            figure.savefig(os.path.join({media_path_of(body)!r}, {name!r}))
            print("saved", {name!r})
        """)
        return tool_call_reply([("ExecutePythonCode", {"code": code})])

    return step


def json_answer(text: str) -> ScriptedReply:
    return text_reply(json.dumps({"answer": text}))


class AnalystModel:
    def __init__(self, plan: Plan, delay: float = 0.0) -> None:
        self.plan = plan
        self.delay = delay
        self.gate: Optional[threading.Event] = None
        self.bodies: List[Dict[str, Any]] = []
        self.most_at_once = 0
        self._working: Dict[str, int] = {}
        self._lock = threading.Lock()

    def __call__(self, body: Dict[str, Any]) -> ScriptedReply:
        question, step = question_of(body), step_of(body)
        steps = self.plan(question)
        last = step >= len(steps) - 1
        with self._lock:
            self.bodies.append(body)
            if step == 0:
                self._working[question] = self._working.get(question, 0) + 1
                self.most_at_once = max(self.most_at_once, sum(self._working.values()))
        try:
            if self.delay:
                time.sleep(self.delay)
            if last and self.gate is not None:
                self.gate.wait(60)
            reply = steps[min(step, len(steps) - 1)]
            return reply(body) if callable(reply) and not isinstance(reply, ScriptedReply) else reply
        finally:
            if last:
                with self._lock:
                    self._working[question] -= 1
                    if not self._working[question]:
                        del self._working[question]

    def script(self, replies: int = 100000) -> List["AnalystModel"]:
        return [self] * replies

    def requests_for(self, question: str) -> List[Dict[str, Any]]:
        with self._lock:
            return [body for body in self.bodies if question_of(body) == question]
