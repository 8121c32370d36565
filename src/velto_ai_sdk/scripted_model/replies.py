"""What a scripted reply is, and the three ways to write one: a text, tool
calls, or an HTTP error."""

from __future__ import annotations

import json
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from .fills import in_arguments, message_text


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
        request `body` (see the package's docstring)."""
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
            found = re.search(pattern, message_text(message.get("content")), re.MULTILINE)
            if found is None:
                raise ValueError("fill %s: %r matches nothing in tool message %d" % (placeholder, pattern, number))
            values[placeholder] = found.group(1) if found.re.groups else found.group()

        def put(text: str) -> str:
            for placeholder, value in values.items():
                text = text.replace(placeholder, value)
            return text

        return ScriptedReply(self.content if self.content is None else put(self.content),
                             [(name, in_arguments(arguments, put), call_id)
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
