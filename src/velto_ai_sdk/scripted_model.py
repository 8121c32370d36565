"""A scripted chat model served over the OpenAI chat-completions protocol.

The analyst agent talks to its model through ``langchain_openai.ChatOpenAI``,
which talks HTTP to an OpenAI-compatible endpoint. Where no real model service
is reachable (the test suite, or a demo run without a key), this module plays
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

Standard library only, and nothing happens at import time.
"""

from __future__ import annotations

import json
import re
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

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

DEFAULT_MODEL = "scripted-model"
SYSTEM_FINGERPRINT = "fp_scripted"

# The error "type" the real service pairs with each status; clients branch on
# the status, but people read the type in logs.
_ERROR_TYPES = {
    400: "invalid_request_error",
    401: "invalid_request_error",
    403: "invalid_request_error",
    404: "invalid_request_error",
    409: "invalid_request_error",
    422: "invalid_request_error",
    429: "requests",
}


class ScriptedReply(object):
    """One scripted answer: a text, a set of tool calls, or an HTTP error.

    Build these with :func:`text_reply`, :func:`tool_call_reply` and
    :func:`error_reply` rather than directly.
    """

    __slots__ = (
        "content",
        "tool_calls",
        "finish_reason",
        "prompt_tokens",
        "completion_tokens",
        "status",
        "error",
        "retry",
        "retry_after",
        "fills",
    )

    def __init__(
        self,
        content: Optional[str] = None,
        tool_calls: Optional[List[Tuple[str, str, Optional[str]]]] = None,
        finish_reason: Optional[str] = None,
        prompt_tokens: Optional[int] = None,
        completion_tokens: Optional[int] = None,
        status: int = 200,
        error: Optional[Dict[str, Any]] = None,
        retry: Optional[bool] = None,
        retry_after: Optional[float] = None,
    ) -> None:
        self.content = content
        # (name, arguments as a JSON string, call id or None for "assign one")
        self.tool_calls = list(tool_calls or [])
        if finish_reason is None:
            finish_reason = "tool_calls" if self.tool_calls else "stop"
        self.finish_reason = finish_reason
        self.prompt_tokens = prompt_tokens
        self.completion_tokens = completion_tokens
        self.status = int(status)
        self.error = error
        self.retry = retry
        self.retry_after = retry_after
        # placeholder -> (tool message number, pattern), filled per request
        self.fills = {}  # type: Dict[str, Tuple[int, str]]

    @property
    def is_error(self) -> bool:
        return self.status >= 400

    def filled(self, body: Dict[str, Any]) -> "ScriptedReply":
        """A copy with the placeholders replaced from the tool messages of the
        request `body` (see the module docstring)."""
        if not self.fills:
            return self
        tools = [m for m in body.get("messages") or [] if isinstance(m, dict) and m.get("role") == "tool"]
        values = {}
        for placeholder, (number, pattern) in self.fills.items():
            try:
                message = tools[number - 1 if number > 0 else number]
            except IndexError:
                raise ValueError("fill %s: the request holds %d tool messages, not a number %d"
                                 % (placeholder, len(tools), number))
            found = re.search(pattern, _message_text(message.get("content")), re.MULTILINE)
            if found is None:
                raise ValueError("fill %s: %r matches nothing in tool message %d" % (placeholder, pattern, number))
            values[placeholder] = found.group(1) if found.re.groups else found.group()

        def put(text: str) -> str:
            for placeholder, value in values.items():
                text = text.replace(placeholder, value)
            return text

        return ScriptedReply(self.content if self.content is None else put(self.content),
                             [(name, _in_arguments(arguments, put), call_id)
                              for name, arguments, call_id in self.tool_calls],
                             self.finish_reason, self.prompt_tokens, self.completion_tokens)

    def to_dict(self) -> Dict[str, Any]:
        """The reply in the JSON script format (see :func:`reply_from_dict`)."""
        if self.is_error:
            err = dict(self.error or {})
            out_err: Dict[str, Any] = {"status": self.status, "message": err.get("message", "")}
            for key in ("type", "code", "param"):
                if err.get(key) is not None:
                    out_err[key] = err[key]
            if self.retry is not None:
                out_err["retry"] = self.retry
            if self.retry_after is not None:
                out_err["retry_after"] = self.retry_after
            return {"error": out_err}
        out: Dict[str, Any] = {}
        if self.content is not None or not self.tool_calls:
            out["content"] = self.content
        if self.tool_calls:
            calls = []
            for name, arguments, call_id in self.tool_calls:
                try:
                    args: Any = json.loads(arguments)
                except ValueError:
                    args = arguments
                call: Dict[str, Any] = {"name": name, "arguments": args}
                if call_id is not None:
                    call["id"] = call_id
                calls.append(call)
            out["tool_calls"] = calls
        default_finish = "tool_calls" if self.tool_calls else "stop"
        if self.finish_reason != default_finish:
            out["finish_reason"] = self.finish_reason
        if self.fills:
            out["fill"] = {placeholder: {"tool_message": number, "pattern": pattern}
                           for placeholder, (number, pattern) in self.fills.items()}
        usage = {}
        if self.prompt_tokens is not None:
            usage["prompt_tokens"] = self.prompt_tokens
        if self.completion_tokens is not None:
            usage["completion_tokens"] = self.completion_tokens
        if usage:
            out["usage"] = usage
        return out

    def __repr__(self) -> str:
        return "ScriptedReply(%s)" % json.dumps(self.to_dict())


def text_reply(
    content: str,
    prompt_tokens: Optional[int] = None,
    completion_tokens: Optional[int] = None,
    finish_reason: str = "stop",
) -> ScriptedReply:
    """A final answer in plain text.

    Token figures left out are estimated from the request and the reply (about
    four characters a token), so cost tracking always sees non-zero usage.
    """
    if not isinstance(content, str):
        raise TypeError("a text reply's content must be a string, not %r" % (content,))
    return ScriptedReply(
        content=content,
        finish_reason=finish_reason,
        prompt_tokens=prompt_tokens,
        completion_tokens=completion_tokens,
    )


ToolCallItem = Union[Tuple[str, Any], Tuple[str, Any, Optional[str]]]


def tool_call_reply(
    calls: Sequence[ToolCallItem],
    *,
    content: Optional[str] = None,
    prompt_tokens: Optional[int] = None,
    completion_tokens: Optional[int] = None,
) -> ScriptedReply:
    """A reply asking for one or more tool calls.

    Each call is ``(name, arguments)`` or ``(name, arguments, call_id)``.
    Arguments given as a dict (or any JSON value) are encoded to a JSON string,
    as the protocol carries them; a string is sent as it is, which lets a test
    hand the agent malformed arguments. Calls without an id get ``call_1``,
    ``call_2``, ... numbered across the whole session, so ids never repeat
    within one conversation.
    """
    if isinstance(calls, tuple) and calls and isinstance(calls[0], str):
        raise TypeError("tool_call_reply takes a list of (name, arguments) pairs")
    normalized = []
    for item in calls:
        if len(item) == 2:
            name, arguments = item  # type: ignore[misc]
            call_id = None
        elif len(item) == 3:
            name, arguments, call_id = item  # type: ignore[misc]
        else:
            raise ValueError("a tool call is (name, arguments) or (name, arguments, id): %r" % (item,))
        if not isinstance(name, str) or not name:
            raise ValueError("a tool call needs a non-empty name: %r" % (item,))
        if not isinstance(arguments, str):
            arguments = json.dumps(arguments)
        normalized.append((name, arguments, call_id))
    if not normalized:
        raise ValueError("tool_call_reply needs at least one call")
    if content is not None and not isinstance(content, str):
        raise TypeError("content must be a string or None, not %r" % (content,))
    return ScriptedReply(
        content=content,
        tool_calls=normalized,
        prompt_tokens=prompt_tokens,
        completion_tokens=completion_tokens,
    )


def error_reply(
    status: int,
    message: str,
    type: Optional[str] = None,
    code: Optional[str] = None,
    param: Optional[str] = None,
    retry: Optional[bool] = None,
    retry_after: Optional[float] = None,
) -> ScriptedReply:
    """An HTTP error with the service's error body.

    The openai client retries 408, 409, 429 and 5xx on its own, and each retry
    takes the next reply of the script. ``retry`` sends ``x-should-retry`` to
    force its decision either way; ``retry_after`` (seconds) sends
    ``retry-after-ms`` so a scripted retry does not wait out the client's
    back-off.
    """
    status = int(status)
    if status < 400 or status > 599:
        raise ValueError("an error reply needs a 4xx or 5xx status, not %d" % status)
    error = {
        "message": message,
        "type": type or _ERROR_TYPES.get(status, "server_error" if status >= 500 else "invalid_request_error"),
        "param": param,
        "code": code,
    }
    return ScriptedReply(status=status, error=error, retry=retry, retry_after=retry_after)


def reply_from_dict(data: Dict[str, Any]) -> ScriptedReply:
    """Build a reply from its JSON script form (see the module docstring)."""
    if not isinstance(data, dict):
        raise ValueError("a reply must be a JSON object, not %r" % (data,))
    known = {"content", "tool_calls", "error", "usage", "finish_reason", "fill"}
    unknown = set(data) - known
    if unknown:
        raise ValueError("unknown reply keys %s (expected some of %s)" % (sorted(unknown), sorted(known)))
    if "error" in data:
        err = data["error"]
        if not isinstance(err, dict) or "status" not in err:
            raise ValueError("an error reply needs {\"status\": ..., \"message\": ...}")
        return error_reply(
            err["status"],
            err.get("message", ""),
            type=err.get("type"),
            code=err.get("code"),
            param=err.get("param"),
            retry=err.get("retry"),
            retry_after=err.get("retry_after"),
        )
    usage = data.get("usage") or {}
    if not isinstance(usage, dict):
        raise ValueError("\"usage\" must be an object")
    prompt_tokens = usage.get("prompt_tokens")
    completion_tokens = usage.get("completion_tokens")
    content = data.get("content")
    if content is not None and not isinstance(content, str):
        raise ValueError("\"content\" must be a string")
    if data.get("tool_calls"):
        calls = []
        for call in data["tool_calls"]:
            if not isinstance(call, dict) or "name" not in call:
                raise ValueError("a tool call needs a \"name\": %r" % (call,))
            calls.append((call["name"], call.get("arguments", {}), call.get("id")))
        reply = tool_call_reply(calls, content=content, prompt_tokens=prompt_tokens,
                                completion_tokens=completion_tokens)
    elif "content" in data:
        reply = text_reply(content or "", prompt_tokens=prompt_tokens, completion_tokens=completion_tokens)
    else:
        raise ValueError("a reply needs \"content\", \"tool_calls\" or \"error\": %r" % (data,))
    if data.get("finish_reason"):
        reply.finish_reason = data["finish_reason"]
    if "fill" in data:
        reply.fills = _fills(data["fill"])
    return reply


def _fills(data: Any) -> Dict[str, Tuple[int, str]]:
    if not isinstance(data, dict):
        raise ValueError("\"fill\" must map placeholders to {\"tool_message\": N, \"pattern\": ...}")
    fills = {}
    for placeholder, rule in data.items():
        if not isinstance(rule, dict) or not isinstance(rule.get("pattern"), str):
            raise ValueError("fill %r needs a \"pattern\"" % (placeholder,))
        number = rule.get("tool_message", -1)
        if not isinstance(number, int) or isinstance(number, bool) or number == 0:
            raise ValueError("fill %r: \"tool_message\" counts from 1, or from -1 at the end" % (placeholder,))
        try:
            re.compile(rule["pattern"])
        except re.error as exc:
            raise ValueError("fill %r: bad pattern: %s" % (placeholder, exc))
        fills[placeholder] = (number, rule["pattern"])
    return fills


def _message_text(content: Any) -> str:
    """A message's text: a string, or the text parts of a list of parts."""
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        return "".join(part.get("text", "") for part in content if isinstance(part, dict))
    return ""


def _in_arguments(arguments: str, put: Callable[[str], str]) -> str:
    """Tool-call arguments (JSON text) with `put` applied to their strings."""
    try:
        decoded = json.loads(arguments)
    except ValueError:
        return put(arguments)

    def walk(value: Any) -> Any:
        if isinstance(value, str):
            return put(value)
        if isinstance(value, list):
            return [walk(item) for item in value]
        if isinstance(value, dict):
            return {key: walk(item) for key, item in value.items()}
        return value

    return json.dumps(walk(decoded))


def load_script(source: Any) -> Tuple[List[ScriptedReply], Optional[str]]:
    """Read a recorded session: a path or open file holding the JSON format.

    Returns ``(replies, model)``; ``model`` is the file's model name or None.
    """
    if hasattr(source, "read"):
        data = json.load(source)
        where = getattr(source, "name", "script")
    else:
        with open(source, "r", encoding="utf-8") as fh:
            data = json.load(fh)
        where = str(source)
    model = None
    if isinstance(data, dict):
        model = data.get("model")
        if "replies" not in data:
            raise ValueError("%s: expected a list of replies or {\"replies\": [...]}" % where)
        data = data["replies"]
    if not isinstance(data, list):
        raise ValueError("%s: expected a list of replies" % where)
    replies = []
    for i, item in enumerate(data):
        try:
            replies.append(reply_from_dict(item))
        except (ValueError, TypeError) as exc:
            raise ValueError("%s: reply %d: %s" % (where, i + 1, exc))
    return replies, model


def _coerce_reply(item: Any) -> ScriptedReply:
    if isinstance(item, ScriptedReply):
        return item
    if isinstance(item, str):
        return text_reply(item)
    if isinstance(item, dict):
        return reply_from_dict(item)
    raise TypeError("a script step must give a reply, a string or a reply dict, not %r" % (item,))


class ReceivedRequest(object):
    """One request as the server saw it. ``headers`` is case-insensitive."""

    __slots__ = ("method", "path", "headers", "body", "status", "response")

    def __init__(self, method: str, path: str, headers: Any, body: Any) -> None:
        self.method = method
        self.path = path
        self.headers = headers
        # The parsed JSON body, or None when there was none or it was not JSON.
        self.body = body
        # Filled in once answered: the HTTP status, and the completion object
        # (for a stream, the one its chunks add up to) or the error body.
        self.status = None  # type: Optional[int]
        self.response = None  # type: Any

    def __repr__(self) -> str:
        return "<ReceivedRequest %s %s -> %s>" % (self.method, self.path, self.status)


class _ProtocolError(Exception):
    def __init__(self, message: str, param: Optional[str] = None, code: Optional[str] = None) -> None:
        Exception.__init__(self, message)
        self.message = message
        self.param = param
        self.code = code


_ROLES = ("system", "developer", "user", "assistant", "tool", "function")


def _check_chat_request(body: Any) -> None:
    """Refuse what the real service refuses, so the agent's bugs show up here."""
    if not isinstance(body, dict):
        raise _ProtocolError("We could not parse the JSON body of your request.")
    if not body.get("model"):
        raise _ProtocolError("you must provide a model parameter", param="model")
    if body.get("stream_options") is not None and not body.get("stream"):
        raise _ProtocolError(
            "The 'stream_options' parameter is only allowed when 'stream' is set to true.",
            param="stream_options",
        )
    messages = body.get("messages")
    if not isinstance(messages, list) or not messages:
        raise _ProtocolError("'messages' must be a non-empty array.", param="messages")
    tools = body.get("tools")
    if tools is not None:
        if not isinstance(tools, list):
            raise _ProtocolError("'tools' must be an array.", param="tools")
        for i, tool in enumerate(tools):
            fn = tool.get("function") if isinstance(tool, dict) else None
            if not isinstance(fn, dict) or tool.get("type") != "function" or not fn.get("name"):
                raise _ProtocolError("Invalid tool definition.", param="tools[%d]" % i)

    pending = []  # type: List[str]  # call ids still waiting for their tool message
    pending_at = -1
    for i, msg in enumerate(messages):
        if not isinstance(msg, dict) or msg.get("role") not in _ROLES:
            raise _ProtocolError(
                "Invalid value for 'role': expected one of %s." % ", ".join(_ROLES),
                param="messages.[%d].role" % i,
            )
        role = msg["role"]
        if role == "tool":
            call_id = msg.get("tool_call_id")
            if call_id not in pending:
                raise _ProtocolError(
                    "Invalid parameter: messages with role 'tool' must be a response to a "
                    "preceeding message with 'tool_calls'.",
                    param="messages.[%d].role" % i,
                )
            pending.remove(call_id)
            continue
        if pending:
            raise _ProtocolError(
                "An assistant message with 'tool_calls' must be followed by tool messages "
                "responding to each 'tool_call_id'. The following tool_call_ids did not have "
                "response messages: %s" % ", ".join(pending),
                param="messages.[%d].role" % pending_at,
            )
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
                    raise _ProtocolError(
                        "Invalid tool call: expected an id, type 'function' and a function "
                        "name with string arguments.",
                        param="messages.[%d].tool_calls.[%d]" % (i, j),
                    )
                pending.append(call["id"])
            pending_at = i
        elif "content" not in msg and role != "assistant":
            raise _ProtocolError("Missing required parameter: 'content'.", param="messages.[%d].content" % i)
    if pending:
        raise _ProtocolError(
            "An assistant message with 'tool_calls' must be followed by tool messages "
            "responding to each 'tool_call_id'. The following tool_call_ids did not have "
            "response messages: %s" % ", ".join(pending),
            param="messages.[%d].role" % pending_at,
        )


def _estimate_tokens(value: Any) -> int:
    if value is None:
        return 0
    text = value if isinstance(value, str) else json.dumps(value)
    return max(1, (len(text) + 3) // 4)


def _split_words(text: str) -> List[str]:
    return re.findall(r"\S+\s*|\s+", text) or [text]


def _split_fixed(text: str, size: int = 12) -> List[str]:
    return [text[i:i + size] for i in range(0, len(text), size)] or [""]


class _Handler(BaseHTTPRequestHandler):
    # Keep-alive, as the real service speaks it; every answer therefore carries
    # a length or is chunked.
    protocol_version = "HTTP/1.1"
    server_version = "ScriptedChatServer/1"
    # Headers and body go out in separate writes; with Nagle's algorithm the
    # body would wait for the client's delayed acknowledgement (some 40 ms).
    disable_nagle_algorithm = True
    server: "_HTTPServer"

    def setup(self) -> None:
        BaseHTTPRequestHandler.setup(self)
        self.server.owner._track(self.connection, True)

    def finish(self) -> None:
        try:
            BaseHTTPRequestHandler.finish(self)
        finally:
            self.server.owner._track(self.connection, False)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # the owner logs one line per request itself, if asked to

    def do_GET(self) -> None:
        self._handle()

    def do_POST(self) -> None:
        self._handle()

    def do_DELETE(self) -> None:
        self._handle()

    def do_PUT(self) -> None:
        self._handle()

    def _handle(self) -> None:
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            raw = self._read_chunked()
        else:
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length) if length else b""
        body = None
        if raw:
            try:
                body = json.loads(raw.decode("utf-8"))
            except ValueError:
                body = None
        record = ReceivedRequest(self.command, self.path, self.headers, body)
        owner = self.server.owner
        owner._record(record)
        try:
            owner._dispatch(self, record, raw)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        except Exception as exc:
            # A fault of ours must reach the client as an answer, not a hang
            # or a dropped connection it might retry on.
            if record.status is None:
                self.send_json(record, 500, _error_body(
                    "Scripted chat server failed: %s: %s" % (type(exc).__name__, exc), "server_error"),
                    headers={"x-should-retry": "false"})
            else:
                self.close_connection = True
        owner._log("%s %s -> %s" % (self.command, self.path, record.status))

    def _read_chunked(self) -> bytes:
        parts = []
        while True:
            size = int(self.rfile.readline().split(b";", 1)[0].strip() or b"0", 16)
            if size == 0:
                while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass  # trailers
                return b"".join(parts)
            parts.append(self.rfile.read(size))
            self.rfile.readline()

    # -- writing answers --------------------------------------------------

    def send_json(self, record: ReceivedRequest, status: int, obj: Any,
                  headers: Optional[Dict[str, str]] = None) -> None:
        data = json.dumps(obj).encode("utf-8")
        record.status = status
        record.response = obj
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("x-request-id", "req_scripted_%d" % self.server.owner._next("request"))
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()

    def send_events(self, record: ReceivedRequest, completion: Dict[str, Any],
                    events: Iterable[Dict[str, Any]]) -> None:
        record.status = 200
        record.response = completion
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream; charset=utf-8")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("x-request-id", "req_scripted_%d" % self.server.owner._next("request"))
        self.end_headers()
        for event in events:
            self._write_chunk(("data: %s\n\n" % json.dumps(event)).encode("utf-8"))
        self._write_chunk(b"data: [DONE]\n\n")
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def _write_chunk(self, data: bytes) -> None:
        self.wfile.write(("%X\r\n" % len(data)).encode("ascii") + data + b"\r\n")
        self.wfile.flush()


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    # Idle keep-alive connections would make server_close() wait forever.
    block_on_close = False
    allow_reuse_address = True
    owner: "ScriptedChatServer"


ScriptItem = Union[ScriptedReply, str, Dict[str, Any], Callable[[Dict[str, Any]], Any]]


class ScriptedChatServer(object):
    """An OpenAI-compatible chat-completions endpoint that answers from a script.

    ``script`` is consumed in order, one item per chat-completions request that
    passes the protocol checks. An item is a :class:`ScriptedReply`, a string
    (a text reply), a reply dict in the JSON script format, or a callable that
    takes the request body and returns one of those. Once the script runs out,
    each further request gets a 500 naming that fact, marked not to be retried.

    ``model`` fixes the model name in responses; by default the request's is
    echoed. ``api_key`` makes every request without that Bearer token fail with
    the service's 401. ``log`` receives one line per request.
    """

    def __init__(
        self,
        script: Iterable[ScriptItem] = (),
        model: Optional[str] = None,
        host: str = "127.0.0.1",
        port: int = 0,
        api_key: Optional[str] = None,
        validate: bool = True,
        log: Optional[Callable[[str], Any]] = None,
    ) -> None:
        self.model = model
        self.host = host
        self.port = int(port)
        self.api_key = api_key
        self.validate = validate
        self._log_fn = log
        self._lock = threading.Lock()
        self._script = list(script)
        self._served = 0
        self._requests = []  # type: List[ReceivedRequest]
        self._counters = {}  # type: Dict[str, int]
        self._connections = set()  # type: set
        self._httpd = None  # type: Optional[_HTTPServer]
        self._thread = None  # type: Optional[threading.Thread]
        self._stopped = False

    @classmethod
    def from_file(cls, path: Any, **kwargs: Any) -> "ScriptedChatServer":
        """A server replaying a recorded session file (see :func:`load_script`)."""
        replies, model = load_script(path)
        if kwargs.get("model") is None:
            kwargs["model"] = model
        return cls(replies, **kwargs)

    # -- lifecycle --------------------------------------------------------

    def start(self) -> "ScriptedChatServer":
        if self._stopped:
            raise RuntimeError("a stopped ScriptedChatServer cannot be started again")
        if self._httpd is not None:
            return self
        httpd = _HTTPServer((self.host, self.port), _Handler)
        httpd.owner = self
        self._httpd = httpd
        self.port = httpd.server_address[1]
        self._thread = threading.Thread(
            # A short poll keeps stop() quick; tests start and stop many servers.
            target=httpd.serve_forever, kwargs={"poll_interval": 0.05}, name="scripted-chat-server:%d" % self.port, daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        httpd = self._httpd
        self._stopped = True
        if httpd is None:
            return
        self._httpd = None
        httpd.shutdown()
        # Pooled keep-alive connections would otherwise keep their handler
        # threads (and the client's idea of a live server) around.
        with self._lock:
            conns = list(self._connections)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        httpd.server_close()
        if self._thread is not None:
            self._thread.join()

    def __enter__(self) -> "ScriptedChatServer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # -- what callers look at ---------------------------------------------

    @property
    def url(self) -> str:
        """The server root, e.g. ``http://127.0.0.1:PORT``."""
        if self._httpd is None:
            raise RuntimeError("the server is not running; call start() or use it in a with block")
        host = self.host
        if ":" in host:
            host = "[%s]" % host
        return "http://%s:%d" % (host, self.port)

    @property
    def base_url(self) -> str:
        """What ``OPENAI_BASE_URL`` / ChatOpenAI's ``base_url`` takes."""
        return self.url + "/v1"

    def environ(self, api_key: Optional[str] = None) -> Dict[str, str]:
        """Environment variables pointing the openai client and LangChain here."""
        key = api_key or self.api_key or "sk-scripted"
        return {
            "OPENAI_BASE_URL": self.base_url,
            "OPENAI_API_BASE": self.base_url,
            "OPENAI_API_KEY": key,
        }

    @property
    def requests(self) -> List[ReceivedRequest]:
        """Every request received so far, in arrival order (a snapshot)."""
        with self._lock:
            return list(self._requests)

    @property
    def chat_bodies(self) -> List[Any]:
        """The JSON bodies of the chat-completions requests, in order."""
        return [r.body for r in self.requests if r.method == "POST" and _route(r.path) == "chat"]

    @property
    def remaining(self) -> int:
        """Script items not yet used."""
        with self._lock:
            return len(self._script) - self._served

    def extend(self, items: Iterable[ScriptItem]) -> None:
        """Append items to the script, also while serving."""
        items = list(items)
        with self._lock:
            self._script.extend(items)

    # -- internals ----------------------------------------------------------

    def _log(self, line: str) -> None:
        if self._log_fn is not None:
            self._log_fn(line)

    def _track(self, conn: Any, add: bool) -> None:
        with self._lock:
            if add:
                self._connections.add(conn)
            else:
                self._connections.discard(conn)

    def _record(self, record: ReceivedRequest) -> None:
        with self._lock:
            self._requests.append(record)

    def _next(self, counter: str) -> int:
        with self._lock:
            value = self._counters.get(counter, 0) + 1
            self._counters[counter] = value
            return value

    def _take(self) -> Tuple[Optional[ScriptItem], int]:
        with self._lock:
            if self._served >= len(self._script):
                return None, self._served
            item = self._script[self._served]
            self._served += 1
            return item, self._served

    def _dispatch(self, handler: _Handler, record: ReceivedRequest, raw: bytes) -> None:
        route = _route(record.path)
        if route is None:
            handler.send_json(record, 404, _error_body(
                "Invalid URL (%s %s)" % (record.method, record.path), "invalid_request_error"))
            return
        if not self._authorized(handler.headers):
            handler.send_json(record, 401, _error_body(
                "Incorrect API key provided. You can find your API key at "
                "https://platform.openai.com/account/api-keys.",
                "invalid_request_error", code="invalid_api_key"))
            return
        if route == "models":
            if record.method != "GET":
                return self._method_not_allowed(handler, record)
            handler.send_json(record, 200, {"object": "list", "data": [self._model_object(self.model or DEFAULT_MODEL)]})
            return
        if route.startswith("model:"):
            if record.method != "GET":
                return self._method_not_allowed(handler, record)
            handler.send_json(record, 200, self._model_object(route[len("model:"):]))
            return
        # chat completions
        if record.method != "POST":
            return self._method_not_allowed(handler, record)
        if raw and record.body is None:
            handler.send_json(record, 400, _error_body(
                "We could not parse the JSON body of your request.", "invalid_request_error"))
            return
        if self.validate:
            try:
                _check_chat_request(record.body)
            except _ProtocolError as exc:
                handler.send_json(record, 400, _error_body(
                    exc.message, "invalid_request_error", param=exc.param, code=exc.code))
                return
        body = record.body if isinstance(record.body, dict) else {}
        item, number = self._take()
        if item is None:
            handler.send_json(
                record, 500,
                _error_body("Scripted chat server: the script is exhausted: all %d replies were "
                            "used, and this chat request was not expected." % number,
                            "server_error", code="script_exhausted"),
                headers={"x-should-retry": "false"})
            return
        try:
            if callable(item) and not isinstance(item, ScriptedReply):
                item = item(body)
            reply = _coerce_reply(item).filled(body)
        except Exception as exc:  # the script's own fault: say so, loudly
            handler.send_json(
                record, 500,
                _error_body("Scripted chat server: script step %d failed: %s: %s"
                            % (number, type(exc).__name__, exc), "server_error", code="script_error"),
                headers={"x-should-retry": "false"})
            return
        if reply.is_error:
            headers = {}
            if reply.retry is not None:
                headers["x-should-retry"] = "true" if reply.retry else "false"
            if reply.retry_after is not None:
                headers["retry-after-ms"] = "%d" % max(1, int(round(reply.retry_after * 1000)))
            handler.send_json(record, reply.status, {"error": dict(reply.error or {})}, headers=headers)
            return
        completion = self._completion(reply, body)
        if body.get("stream"):
            include_usage = bool((body.get("stream_options") or {}).get("include_usage"))
            handler.send_events(record, completion, _chunks(completion, include_usage))
        else:
            handler.send_json(record, 200, completion)

    def _method_not_allowed(self, handler: _Handler, record: ReceivedRequest) -> None:
        handler.send_json(record, 405, _error_body(
            "Method %s not allowed for %s" % (record.method, record.path), "invalid_request_error"))

    def _authorized(self, headers: Any) -> bool:
        if self.api_key is None:
            return True
        auth = headers.get("Authorization") or ""
        return auth == "Bearer " + self.api_key

    def _model_object(self, model_id: str) -> Dict[str, Any]:
        return {"id": model_id, "object": "model", "created": 1700000000, "owned_by": "system"}

    def _completion(self, reply: ScriptedReply, body: Dict[str, Any]) -> Dict[str, Any]:
        message = {"role": "assistant", "content": reply.content, "refusal": None}  # type: Dict[str, Any]
        if reply.tool_calls:
            calls = []
            for name, arguments, call_id in reply.tool_calls:
                if call_id is None:
                    call_id = "call_%d" % self._next("call")
                calls.append({"id": call_id, "type": "function",
                              "function": {"name": name, "arguments": arguments}})
            message["tool_calls"] = calls
        elif message["content"] is None:
            message["content"] = ""
        prompt_tokens = reply.prompt_tokens
        if prompt_tokens is None:
            prompt_tokens = _estimate_tokens(body.get("messages")) + _estimate_tokens(body.get("tools"))
        completion_tokens = reply.completion_tokens
        if completion_tokens is None:
            completion_tokens = _estimate_tokens(reply.content) + sum(
                _estimate_tokens(c["function"]["name"] + c["function"]["arguments"])
                for c in message.get("tool_calls", []))
            completion_tokens = max(1, completion_tokens)
        return {
            "id": "chatcmpl-scripted%d" % self._next("completion"),
            "object": "chat.completion",
            "created": int(time.time()),
            "model": self.model or body.get("model") or DEFAULT_MODEL,
            "choices": [{
                "index": 0,
                "message": message,
                "logprobs": None,
                "finish_reason": reply.finish_reason,
            }],
            "usage": {
                "prompt_tokens": int(prompt_tokens),
                "completion_tokens": int(completion_tokens),
                "total_tokens": int(prompt_tokens) + int(completion_tokens),
            },
            "system_fingerprint": SYSTEM_FINGERPRINT,
        }


def _route(path: str) -> Optional[str]:
    path = path.split("?", 1)[0].rstrip("/")
    if path == "/v1/chat/completions":
        return "chat"
    if path == "/v1/models":
        return "models"
    if path.startswith("/v1/models/") and len(path) > len("/v1/models/"):
        return "model:" + path[len("/v1/models/"):]
    return None


def _error_body(message: str, type_: str, param: Optional[str] = None,
                code: Optional[str] = None) -> Dict[str, Any]:
    return {"error": {"message": message, "type": type_, "param": param, "code": code}}


def _chunks(completion: Dict[str, Any], include_usage: bool) -> Iterable[Dict[str, Any]]:
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    import argparse  # only the command line needs it

    parser = argparse.ArgumentParser(
        prog="python -m velto_ai_sdk.scripted_model",
        description="Serve a recorded chat session over the OpenAI chat-completions protocol.",
    )
    parser.add_argument("script", help="JSON file: a list of replies, or {\"model\": ..., \"replies\": [...]}")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port (the default)")
    parser.add_argument("--model", default=None, help="model name to answer with (default: the file's, else the request's)")
    parser.add_argument("--api-key", default=None, help="refuse requests without this Bearer token")
    args = parser.parse_args(argv)

    try:
        server = ScriptedChatServer.from_file(
            args.script, model=args.model, host=args.host, port=args.port, api_key=args.api_key,
            log=lambda line: print(line, file=sys.stderr, flush=True),
        )
    except (OSError, ValueError) as exc:
        print("error: %s" % exc, file=sys.stderr)
        return 2
    try:
        server.start()
    except OSError as exc:
        print("error: cannot listen on %s:%d: %s" % (args.host, args.port, exc), file=sys.stderr)
        return 2
    print(server.base_url, flush=True)
    print("serving %d scripted replies; Ctrl-C to stop" % server.remaining, file=sys.stderr, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
