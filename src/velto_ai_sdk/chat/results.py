"""The rows of a query's result, read back from the text the model was shown.

That text is a header line of column names, one line per row, a line with
the row count and, when the rows are in a file too, a last line naming it
(velto_ai_sdk.sqltool.text). Every cell there has one of three forms that
read back one way only: NULL, bare text without "|", or a JSON string in
double quotes; a cut value ends in an ellipsis. So the table a notebook or a
terminal shows is the one the model read, value for value.

Nothing here trusts the text: a line that does not read back gives no table
(the raw text is shown instead), and the file's path comes only from the
last line, as a string literal, never evaluated as anything else.
"""

from __future__ import annotations

import ast
import json
import re
from typing import List, NamedTuple, Optional, Tuple

ELLIPSIS = "\u2026"
SEPARATOR = " | "
NULL = "NULL"

# The path is the call's first argument; the arguments after it tell pandas
# the columns' types (velto_ai_sdk.sqltool.loading) and are not read here.
_FILE_LINE = re.compile(r"^File with [^\n]*?: pandas\.read_csv\(('(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\")(?:, [^\n]*)?\)$")


class Table(NamedTuple):
    columns: List[str]
    rows: List[List[Optional[str]]]  # None is SQL NULL
    note: str  # the count line, such as "(3 rows)"


def result_file(text: str) -> Optional[str]:
    """The path of the file that holds a result's rows, from the text's last line."""
    last = text.rpartition("\n")[2]
    found = _FILE_LINE.match(last)
    if found is None:
        return None
    try:
        path = ast.literal_eval(found.group(1))
    except (ValueError, SyntaxError):
        return None
    return path if isinstance(path, str) else None


def is_failure(text: str) -> bool:
    """Whether a database tool's text reports a failure rather than a result."""
    return text.startswith("Error: ")


def read_table(text: str) -> Optional[Table]:
    """The columns, rows and count line of a result text; None for text that
    holds no rows (an error, a statement without rows) or does not read back."""
    if not text or text.startswith(("Error: ", "OK: ")):
        return None
    lines = text.split("\n")
    if lines[-1].startswith("File"):
        lines.pop()
    if len(lines) < 2 or not lines[-1].startswith("("):
        return None
    note = lines.pop()
    try:
        columns = [cell or "" for cell in read_cells(lines[0])]
        rows = [read_cells(line) for line in lines[1:]]
    except ValueError:
        return None
    if any(len(row) != len(columns) for row in rows):
        return None
    return Table(columns, rows, note)


def read_cells(line: str) -> List[Optional[str]]:
    """The cells of one line; ValueError when the line does not read back."""
    cells: List[Optional[str]] = []
    at = 0
    while True:
        value, at = _cell(line, at)
        cells.append(value)
        if at == len(line):
            return cells
        if not line.startswith(SEPARATOR, at):
            raise ValueError("no separator at %d" % at)
        at += len(SEPARATOR)


def _cell(line: str, at: int) -> Tuple[Optional[str], int]:
    if line.startswith('"', at):
        value, at = json.decoder.scanstring(line, at + 1)  # type: ignore[attr-defined]
        if line.startswith(ELLIPSIS, at):
            value, at = value + ELLIPSIS, at + 1
        return value, at
    end = line.find(SEPARATOR, at)
    end = len(line) if end < 0 else end
    text = line[at:end]
    if "|" in text:
        raise ValueError("a bare cell holds no |")
    return (None if text == NULL else text), end
