"""The session file format: a recorded session as JSON, read into replies
(the format is described in the package's docstring)."""

from __future__ import annotations

import json
from typing import Any, Dict, List, Optional, Tuple

from .fills import fill_rules
from .replies import ScriptedReply, error_reply, text_reply, tool_call_reply


def reply_from_dict(data: Dict[str, Any]) -> ScriptedReply:
    """Build a reply from its JSON script form (see the package's docstring)."""
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
        reply.fills = fill_rules(data["fill"])
    return reply


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
