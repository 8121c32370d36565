"""What the model reads: result tables, statement outcomes and error lines.

Every value passes through cell(): one line per row, control characters
escaped (a value can carry terminal escapes, NULs or bidirectional overrides
meant for whoever reads the text), long values shortened.
"""

from __future__ import annotations

import json
import re
from typing import Any, Optional, Sequence, Tuple

ELLIPSIS = "\u2026"
ERROR_CHARS = 1500

# C0 and C1 controls, DEL, the Unicode line and paragraph separators and the
# bidirectional embedding, override and isolate controls.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
_SPACES = re.compile(r"\s+")


def _escaped(match: "re.Match[str]") -> str:
    char = match.group()
    named = _NAMED.get(char)
    if named is not None:
        return named
    code = ord(char)
    return "\\x%02x" % code if code <= 0xFF else "\\u%04x" % code


def escape_controls(text: str) -> str:
    if _CONTROL.search(text) is None:
        return text
    return _CONTROL.sub(_escaped, text)


def shorten(text: str, limit: int) -> Tuple[str, bool]:
    if len(text) > limit:
        return text[: limit - 1] + ELLIPSIS, True
    return text, False


def cell(value: Any, limit: int) -> Tuple[str, bool]:
    """One value as it appears in a result line, and whether it was shortened."""
    if value is None:
        return "NULL", False
    if isinstance(value, str):
        text = value
    elif isinstance(value, bool):
        return ("true" if value else "false"), False
    elif isinstance(value, (bytes, bytearray, memoryview)):
        return _hex(bytes(value), limit)
    elif isinstance(value, (dict, list, tuple)):
        # PostgreSQL json and arrays: JSON reads right to the model, a
        # Python repr (single quotes, None, True) would not
        text = json.dumps(value, ensure_ascii=False, default=str, separators=(", ", ": "))
    elif isinstance(value, float):
        text = repr(value)
    elif hasattr(value, "isoformat"):
        try:
            text = value.isoformat(sep=" ")
        except TypeError:
            text = value.isoformat()
    else:
        text = str(value)
    # shortened before escaping too, so that a huge value is not copied whole
    text, cut = shorten(text, limit)
    escaped = escape_controls(text)
    if escaped is text:
        return text, cut
    shown, cut_again = shorten(escaped, limit)
    return shown, cut or cut_again


def _hex(value: bytes, limit: int) -> Tuple[str, bool]:
    half = max(1, (limit - 2) // 2)
    text = "0x" + value[:half].hex()
    if len(value) > half:
        return text + ELLIPSIS, True
    return text, False


def table_text(columns: Sequence[str], rows: Sequence[Sequence[Any]], stop: Optional[str],
               max_value_chars: int, max_result_bytes: int) -> str:
    """A header line, one line per row and a footer that says whether the
    rows are all there and, if not, which limit stopped them."""
    lines = [" | ".join(cell(name, max_value_chars)[0] for name in columns)]
    shortened = False
    for row in rows:
        cells = []
        for value in row:
            text, cut = cell(value, max_value_chars)
            shortened = shortened or cut
            cells.append(text)
        lines.append(" | ".join(cells))
    lines.append(_footer(len(rows), stop, max_result_bytes)
                 + (" Values longer than %d characters are shortened, ending in %s." % (max_value_chars, ELLIPSIS)
                    if shortened else ""))
    return "\n".join(lines)


def _footer(count: int, stop: Optional[str], max_result_bytes: int) -> str:
    plural = "" if count == 1 else "s"
    if stop == "rows":
        return "(%d rows shown; more rows exist, so narrow the query with WHERE, LIMIT or an aggregate)" % count
    if stop == "bytes":
        return ("(%d row%s shown; more rows exist, but the rows shown already reach the size limit of %s bytes"
                " (VELTO_SQL_MAX_RESULT_BYTES), so select fewer or narrower columns, or fewer rows)"
                % (count, plural, format(max_result_bytes, ",")))
    return "(%d row%s)" % (count, plural)


def done_text(rowcount: Optional[int]) -> str:
    if rowcount is not None and rowcount >= 0:
        return "OK: the statement ran and returned no rows (%d row%s affected)." % (rowcount, "" if rowcount == 1 else "s")
    return "OK: the statement ran and returned no rows."


def error_text(message: str, secrets: Sequence[str] = (), hint: str = "") -> str:
    """One line "Error: ...", with no password in it."""
    message = _SPACES.sub(" ", message).strip() or "unknown error"
    if hint:
        message += " " + hint
    for secret in secrets:
        if secret:
            message = message.replace(secret, "***")
    message = escape_controls(shorten(message, ERROR_CHARS)[0])
    return "Error: " + message


def driver_message(exc: BaseException) -> str:
    """The driver's own words for a failure; SQLAlchemy's wrapper is peeled off."""
    orig = getattr(exc, "orig", None)
    if isinstance(orig, BaseException):
        exc = orig
    args = getattr(exc, "args", ())
    # PyMySQL and pymssql raise (code, message) pairs
    if len(args) == 2 and isinstance(args[0], int):
        message = args[1].decode("utf-8", "replace") if isinstance(args[1], bytes) else str(args[1])
        return "(%d) %s" % (args[0], message)
    # psycopg's caret line means nothing once the lines are joined
    lines = [line for line in str(exc).splitlines() if line.strip() != "^"]
    return " ".join(lines) or type(exc).__name__
