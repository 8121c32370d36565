"""A scripted chat model served over the OpenAI chat-completions protocol.

The analyst agent talks to its model through ``langchain_openai.ChatOpenAI``,
which talks HTTP to an OpenAI-compatible endpoint. Where no real model service
is reachable (the test suite, or a demo run without a key), this package plays
that endpoint on loopback: it answers each ``POST /v1/chat/completions`` with
the next reply of a script, in the exact wire shape the real service uses, so
the real client stack (openai, LangChain, token accounting) runs unchanged.

    from velto_ai_sdk.scripted_model import (
        ScriptedChatServer, text_reply, tool_call_reply)

    script = [
        tool_call_reply([("RunSQL", {"query": "SELECT 1"})]),
        text_reply("The answer is 1."),
    ]
    with ScriptedChatServer(script) as server:
        llm = ChatOpenAI(base_url=server.base_url, api_key="sk-test")
        ...
        assert server.chat_bodies[1]["messages"][-1]["role"] == "tool"

Every request is recorded (``server.requests``) so tests can check what the
agent actually sent at each step. Requests whose message history the real
service would refuse (a tool result without the call it answers, a tool call
left unanswered, non-string arguments, ...) are refused here too, with the
same 400 error, instead of being answered from the script.

Recorded sessions replay from a JSON file::

    {
      "model": "gpt-4o-mini",                      (optional)
      "replies": [
        {"tool_calls": [{"name": "RunSQL", "arguments": {"query": "..."}}],
         "usage": {"prompt_tokens": 812, "completion_tokens": 24}},
        {"content": "There are 42 customers."},
        {"error": {"status": 429, "message": "Rate limit reached"}}
      ]
    }

A bare list of replies is accepted as well. A reply may also carry "content"
next to "tool_calls", a "finish_reason", and a tool call its own "id";
"arguments" may be an object (encoded to JSON) or an already encoded string.

A reply can use what a tool answered earlier in the conversation, such as a
file name that only the run itself makes: "fill" maps a placeholder to the
tool message to read (1 for the first in the request, -1 for the last, the
default) and a regular expression whose first group (or whole match, without
groups) replaces the placeholder in the reply's content and in the string
values of its tool calls' arguments::

    {"tool_calls": [{"name": "RunPython", "arguments": {"code": "load(@FILE@)"}}],
     "fill": {"@FILE@": {"tool_message": 2, "pattern": "^File: (.+)$"}}}

A placeholder whose tool message or match is missing fails that step with
the server's 500 "script_error", as any fault of the script does.

    python -m velto_ai_sdk.scripted_model SESSION.json [--port N]

serves such a file until interrupted, printing its base URL first.

Its files: ``server.py`` (the server and what it answers), ``handler.py``
(reading requests and writing answers over HTTP), ``protocol.py`` (what the
real service refuses, its error body and its stream), ``replies.py`` (the
replies a script holds), ``fills.py`` (their placeholders), ``session.py``
(the session file format) and ``command.py`` (the command above).

Standard library only, and nothing happens at import time.
"""

from __future__ import annotations

from .command import main
from .handler import ReceivedRequest
from .replies import ScriptedReply, error_reply, text_reply, tool_call_reply
from .server import ScriptedChatServer
from .session import load_script, reply_from_dict

# Also importable from here, as they were before the package had files.
from .replies import ToolCallItem  # noqa: F401
from .server import DEFAULT_MODEL, SYSTEM_FINGERPRINT, ScriptItem  # noqa: F401

__all__ = [
    "ScriptedChatServer",
    "ScriptedReply",
    "ReceivedRequest",
    "text_reply",
    "tool_call_reply",
    "error_reply",
    "reply_from_dict",
    "load_script",
    "main",
]
