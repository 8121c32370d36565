"""Placeholder fills: a reply that uses what a tool answered earlier in the
conversation, such as a file name that only the run itself makes."""

from __future__ import annotations

import json
import re
from typing import Any, Callable, Dict, Tuple


def fill_rules(data: Any) -> Dict[str, Tuple[int, str]]:
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


def message_text(content: Any) -> str:
    """A message's text: a string, or the text parts of a list of parts."""
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        return "".join(part.get("text", "") for part in content if isinstance(part, dict))
    return ""


def in_arguments(arguments: str, put: Callable[[str], str]) -> str:
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
