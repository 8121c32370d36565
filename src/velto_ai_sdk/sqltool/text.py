"""What the model reads: result tables, statement outcomes and error lines.

A result is a header line of column names, one line per row, a line with
the row count and, when the rows are also in a file (export.py), a last line
that names it and gives the call that loads it exactly (loading.py). Cells are separated by " | ", and
every cell, column names and schema sample values included, is written by
cell() in one of three forms, so that a line reads back one way only:

    NULL         the SQL NULL, and nothing else;
    bare         the value's text as the database writes it (values.py),
                 character for character, backslashes included; used when
                 nothing in it could be misread: it is not empty, not the
                 word NULL, has no space at either end, no "|", no control
                 character, does not start with a double quote and does not
                 end with the ellipsis;
    "quoted"     otherwise: a JSON string literal, in double quotes, with
                 \\" \\\\ \\n \\r \\t, and \\uXXXX for any other control
                 character (C0, C1, DEL, the line and paragraph separators
                 and the bidirectional marks, embeddings, overrides and
                 isolates, which could reorder or hide what a reader sees).

So 'NULL' (the string) is "NULL", '' is "", 'a | b' is "a | b", and a line
break never splits a row. A value longer than VELTO_SQL_MAX_VALUE_CHARS
characters (counted as written, escapes included) is cut and ends in the
ellipsis outside any quotes: abc… or "a\\nb"…; the row-count line then says
so. Names and error texts get the same escapes for control characters.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

from .loading import load_call
from .values import BINARY, binary_prefix_text, value_text

if TYPE_CHECKING:
    from .export import ResultFile
    from .results import Result
    from .settings import SqlSettings

ELLIPSIS = "\u2026"
NULL = "NULL"
SEPARATOR = " | "
ERROR_CHARS = 1500

# C0 and C1 controls, DEL, the Unicode line and paragraph separators, and the
# bidirectional marks, embeddings, overrides and isolates.
_CONTROLS = "\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069"
_CONTROL = re.compile("[%s]" % _CONTROLS)
_QUOTE_NEEDED = re.compile("[|%s]" % _CONTROLS)
_ESCAPED_IN_QUOTES = re.compile('["\\\\%s]' % _CONTROLS)
_NAMED = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
_SPACES = re.compile(r"\s+")


def _escaped(match: "re.Match[str]") -> str:
    char = match.group()
    return _NAMED.get(char) or "\\u%04x" % ord(char)


def escape_controls(text: str) -> str:
    """Control characters escaped as in a quoted cell; the rest unchanged."""
    if _CONTROL.search(text) is None:
        return text
    return _CONTROL.sub(_escaped, text)


def shorten(text: str, limit: int) -> Tuple[str, bool]:
    if len(text) > limit:
        return text[: limit - 1] + ELLIPSIS, True
    return text, False


def cell(value: Any, limit: int, partial: bool = False) -> Tuple[str, bool]:
    """One value as it appears in a line of text, and whether it was cut;
    `partial` says that the value in hand is already only its beginning."""
    if value is None:
        return NULL, False
    if type(value) is str:
        text = value
    elif isinstance(value, BINARY):
        text, partial = binary_prefix_text(value, limit)
    else:
        text = value_text(value) or ""
    # cut before anything else, so that a huge value is not copied whole
    cut = len(text) > limit - 1 if partial else len(text) > limit
    if cut:
        text = text[: limit - 1]
    if _is_bare(text, cut or partial):
        shown = text
    else:
        shown, cut_again = _quoted(text, limit)
        cut = cut or cut_again
    cut = cut or partial
    return (shown + ELLIPSIS if cut else shown), cut


def _is_bare(text: str, cut: bool) -> bool:
    return (text != "" and text != NULL and not text[0].isspace() and not text[-1].isspace() and text[0] != '"'
            and (cut or text[-1] != ELLIPSIS) and _QUOTE_NEEDED.search(text) is None)


def _quoted(text: str, limit: int) -> Tuple[str, bool]:
    """The quoted form of a cell, and whether its escapes made it too long,
    so that fewer of its characters are shown."""
    escaped = _ESCAPED_IN_QUOTES.sub(_escaped, text)
    if len(escaped) <= limit:
        return '"' + escaped + '"', False
    pieces: List[str] = []
    size = 0
    for char in text:
        piece = _ESCAPED_IN_QUOTES.sub(_escaped, char)
        if size + len(piece) > limit - 1:
            break
        pieces.append(piece)
        size += len(piece)
    return '"' + "".join(pieces) + '"', True


def row_line(values: Sequence[Any], limit: int) -> Tuple[str, bool]:
    """The cells of a row joined into one line, and whether one was cut."""
    cells = []
    shortened = False
    for value in values:
        text, cut = cell(value, limit)
        shortened = shortened or cut
        cells.append(text)
    return SEPARATOR.join(cells), shortened


def table_text(result: "Result", settings: "SqlSettings") -> str:
    """The header, the rows, the row count and, if the rows are in a file
    too, the line that names it."""
    limit = settings.max_value_chars
    assert result.columns is not None
    lines = [row_line(result.columns, limit)[0]]
    shortened = False
    for row in result.rows:
        line, cut = row_line(row, limit)
        shortened = shortened or cut
        lines.append(line)
    file = result.file
    count = _count_line(len(result.rows), result.stop, file, settings.max_result_bytes)
    if shortened:
        count += " Values longer than %d characters are shortened, ending in %s%s." % (
            limit, ELLIPSIS, "; the file holds them in full" if file is not None and file.failure is None else "")
    lines.append(count)
    if file is not None:
        lines.append(file_line(file, settings))
    return "\n".join(lines)


def _count_line(count: int, stop: Optional[str], file: Optional["ResultFile"], max_result_bytes: int) -> str:
    # the file, when complete, knows how many rows there are in all
    total = file.rows if file is not None and file.complete else None
    if stop == "rows":
        if total is not None:
            return "(%s of %s rows shown)" % (_number(count), _number(total))
        return "(%d rows shown; more rows exist, so narrow the query with WHERE, LIMIT or an aggregate)" % count
    if stop == "bytes":
        shown = ("%s of %s rows shown" % (_number(count), _number(total)) if total is not None
                 else "%s shown; more rows exist" % _rows(count))
        return ("(%s, but the rows shown already reach the size limit of %s bytes (VELTO_SQL_MAX_RESULT_BYTES),"
                " so select fewer or narrower columns, or fewer rows)" % (shown, _number(max_result_bytes)))
    return "(%s)" % _rows(count)


def file_line(file: "ResultFile", settings: "SqlSettings") -> str:
    if file.failure is not None:
        return "File: not written (%s)" % escape_controls(shorten(file.failure, 200)[0])
    load = load_call(file.path, file.kinds)
    if file.complete:
        return "File with %s: %s" % ("the 1 row" if file.rows == 1 else "all %s rows" % _number(file.rows), load)
    why = {
        "rows": "more exist; VELTO_SQL_EXPORT_ROWS",
        "time": "cut at the time limit of %g s; VELTO_SQL_TIMEOUT" % settings.timeout,
        "bytes": "cut at the size limit of %s bytes; VELTO_SQL_RESULTS_MAX_BYTES" % _number(settings.results_max_bytes),
        "error": "cut where reading on failed: %s" % escape_controls(shorten(file.detail or "", 200)[0]),
    }[file.cut or "error"]
    return "File with the first %s (%s): %s" % (_rows(file.rows), why, load)


def _number(value: int) -> str:
    return format(value, ",")


def _rows(count: int) -> str:
    return "%s row%s" % (_number(count), "" if count == 1 else "s")


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


def driver_errors(exc: BaseException) -> List[Tuple[int, str]]:
    """The (code, message) pairs of a driver's error, messages decoded:
    PyMySQL and pymssql raise a pair, and pymssql a tuple of pairs when a
    connect fails, its messages as bytes."""
    orig = getattr(exc, "orig", None)
    if isinstance(orig, BaseException):
        exc = orig
    args: Tuple[Any, ...] = tuple(getattr(exc, "args", ()))
    if args and all(_is_pair(arg) for arg in args):
        pairs: Sequence[Any] = args
    else:
        pairs = [args] if _is_pair(args) else []
    return [(pair[0], _decoded(pair[1])) for pair in pairs]


def _is_pair(value: Any) -> bool:
    return isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], int)


def _decoded(message: Any) -> str:
    text = message.decode("utf-8", "replace") if isinstance(message, bytes) else str(message)
    # FreeTDS repeats its lines for every attempt it made
    return " ".join(dict.fromkeys(line.strip() for line in text.splitlines() if line.strip()))


def driver_message(exc: BaseException) -> str:
    """The driver's own words for a failure; SQLAlchemy's wrapper is peeled off."""
    errors = driver_errors(exc)
    if errors:
        return " ".join("(%d) %s" % pair for pair in errors)
    orig = getattr(exc, "orig", None)
    if isinstance(orig, BaseException):
        exc = orig
    # psycopg's caret line means nothing once the lines are joined
    lines = [line for line in str(exc).splitlines() if line.strip() != "^"]
    return " ".join(lines) or type(exc).__name__
