"""The chat-completions protocol as the real service speaks it: the requests
it refuses, its error body and the chunks a streamed answer comes in."""

from __future__ import annotations

import json
import re
from typing import Any, Dict, Iterable, List, Optional


class ProtocolError(Exception):
    def __init__(self, message: str, param: Optional[str] = None, code: Optional[str] = None) -> None:
        Exception.__init__(self, message)
        self.message = message
        self.param = param
        self.code = code


_ROLES = ("system", "developer", "user", "assistant", "tool", "function")


def check_chat_request(body: Any) -> None:
    """Refuse what the real service refuses, so the agent's bugs show up here."""
    if not isinstance(body, dict):
        raise ProtocolError("We could not parse the JSON body of your request.")
    if not body.get("model"):
        raise ProtocolError("you must provide a model parameter", param="model")
    if body.get("stream_options") is not None and not body.get("stream"):
        raise ProtocolError(
            "The 'stream_options' parameter is only allowed when 'stream' is set to true.",
            param="stream_options",
        )
    messages = body.get("messages")
    if not isinstance(messages, list) or not messages:
        raise ProtocolError("'messages' must be a non-empty array.", param="messages")
    tools = body.get("tools")
    if tools is not None:
        if not isinstance(tools, list):
            raise ProtocolError("'tools' must be an array.", param="tools")
        for i, tool in enumerate(tools):
            fn = tool.get("function") if isinstance(tool, dict) else None
            if not isinstance(fn, dict) or tool.get("type") != "function" or not fn.get("name"):
                raise ProtocolError("Invalid tool definition.", param="tools[%d]" % i)

    pending = []  # type: List[str]  # call ids still waiting for their tool message
    pending_at = -1
    for i, msg in enumerate(messages):
        if not isinstance(msg, dict) or msg.get("role") not in _ROLES:
            raise ProtocolError(
                "Invalid value for 'role': expected one of %s." % ", ".join(_ROLES),
                param="messages.[%d].role" % i,
            )
        role = msg["role"]
        if role == "tool":
            call_id = msg.get("tool_call_id")
            if call_id not in pending:
                raise ProtocolError(
                    "Invalid parameter: messages with role 'tool' must be a response to a "
                    "preceeding message with 'tool_calls'.",
                    param="messages.[%d].role" % i,
                )
            pending.remove(call_id)
            continue
        if pending:
            raise unanswered_tool_calls(pending, pending_at)
        if role == "assistant" and msg.get("tool_calls"):
            for j, call in enumerate(msg["tool_calls"]):
                fn = call.get("function") if isinstance(call, dict) else None
                if (
                    not isinstance(fn, dict)
                    or not call.get("id")
                    or call.get("type") != "function"
                    or not fn.get("name")
                    or not isinstance(fn.get("arguments"), str)
                ):
                    raise ProtocolError(
                        "Invalid tool call: expected an id, type 'function' and a function "
                        "name with string arguments.",
                        param="messages.[%d].tool_calls.[%d]" % (i, j),
                    )
                pending.append(call["id"])
            pending_at = i
        elif "content" not in msg and role != "assistant":
            raise ProtocolError("Missing required parameter: 'content'.", param="messages.[%d].content" % i)
    if pending:
        raise unanswered_tool_calls(pending, pending_at)


def unanswered_tool_calls(pending: List[str], at: int) -> ProtocolError:
    """The error for tool calls of message `at` that no tool message answered."""
    return ProtocolError(
        "An assistant message with 'tool_calls' must be followed by tool messages "
        "responding to each 'tool_call_id'. The following tool_call_ids did not have "
        "response messages: %s" % ", ".join(pending),
        param="messages.[%d].role" % at,
    )


def estimate_tokens(value: Any) -> int:
    if value is None:
        return 0
    text = value if isinstance(value, str) else json.dumps(value)
    return max(1, (len(text) + 3) // 4)


def _split_words(text: str) -> List[str]:
    return re.findall(r"\S+\s*|\s+", text) or [text]


def _split_fixed(text: str, size: int = 12) -> List[str]:
    return [text[i:i + size] for i in range(0, len(text), size)] or [""]


def route_of(path: str) -> Optional[str]:
    path = path.split("?", 1)[0].rstrip("/")
    if path == "/v1/chat/completions":
        return "chat"
    if path == "/v1/models":
        return "models"
    if path.startswith("/v1/models/") and len(path) > len("/v1/models/"):
        return "model:" + path[len("/v1/models/"):]
    return None


def error_body(message: str, type_: str, param: Optional[str] = None,
                code: Optional[str] = None) -> Dict[str, Any]:
    return {"error": {"message": message, "type": type_, "param": param, "code": code}}


def completion_chunks(completion: Dict[str, Any], include_usage: bool) -> Iterable[Dict[str, Any]]:
    """The chat.completion.chunk events that add up to ``completion``."""
    choice = completion["choices"][0]
    message = choice["message"]

    def chunk(delta: Optional[Dict[str, Any]], finish_reason: Optional[str] = None) -> Dict[str, Any]:
        out = {
            "id": completion["id"],
            "object": "chat.completion.chunk",
            "created": completion["created"],
            "model": completion["model"],
            "system_fingerprint": completion["system_fingerprint"],
            "choices": [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish_reason}],
        }  # type: Dict[str, Any]
        if include_usage:
            out["usage"] = None
        return out

    calls = message.get("tool_calls") or []
    content = message.get("content")
    first = {"role": "assistant", "content": "" if content is not None or not calls else None, "refusal": None}
    yield chunk(first)
    if content:
        for piece in _split_words(content):
            yield chunk({"content": piece})
    for index, call in enumerate(calls):
        yield chunk({"tool_calls": [{
            "index": index, "id": call["id"], "type": "function",
            "function": {"name": call["function"]["name"], "arguments": ""},
        }]})
        for piece in _split_fixed(call["function"]["arguments"]):
            if piece:
                yield chunk({"tool_calls": [{"index": index, "function": {"arguments": piece}}]})
    yield chunk({}, choice["finish_reason"])
    if include_usage:
        last = chunk(None)
        last["choices"] = []
        last["usage"] = completion["usage"]
        yield last
