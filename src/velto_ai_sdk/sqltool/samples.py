"""Sample rows: up to three rows of each table shown in full, read for many
tables in few statements (one per SAMPLE_TABLES_PER_QUERY tables), each
value cut short by the server so that wide rows cost little. Values are
written as result cells are (text.py), under a line naming their columns.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Callable, Iterator, List, Optional, Sequence, Tuple

from .text import ELLIPSIS, SEPARATOR, cell

if TYPE_CHECKING:
    from .catalog import Column, Relation
    from .session import Session

SAMPLE_ROWS = 3
SAMPLE_VALUE_CHARS = 40
SAMPLE_COLUMNS = 20
SAMPLE_TABLES_PER_QUERY = 100
SAMPLE_ROW_CHARS = 2000


def sample_head(table: "Relation") -> str:
    """The line that names the sampled columns."""
    if table.sample_head is None:
        names = [cell(column.name, SAMPLE_VALUE_CHARS)[0] for column in table.columns[:SAMPLE_COLUMNS]]
        if len(table.columns) > SAMPLE_COLUMNS:
            names.append(ELLIPSIS)
        table.sample_head = "  sample rows (%s):\n" % SEPARATOR.join(names)
    return table.sample_head


def sample_text(table: "Relation") -> str:
    if not table.samples:
        return ""
    return sample_head(table) + "".join("    %s\n" % row for row in table.samples)


def least_sample_size(table: "Relation") -> int:
    """The fewest characters a table's samples can take: the head and one
    row of one-character values."""
    if not sampled(table):
        return 0
    count = min(len(table.columns), SAMPLE_COLUMNS) + (len(table.columns) > SAMPLE_COLUMNS)
    return len(sample_head(table)) + 4 + count + len(SEPARATOR) * (count - 1) + 1


def sampled(table: "Relation") -> bool:
    # Views and foreign tables can cost anything to read; tables cost three rows.
    return table.kind in ("table", "materialized view") and bool(table.columns)


def read_samples(session: "Session", tables: List["Relation"]) -> None:
    """Sample rows for many tables in few statements."""
    indexed = [(i, t) for i, t in enumerate(tables) if sampled(t)]
    for start in range(0, len(indexed), SAMPLE_TABLES_PER_QUERY):
        batch = indexed[start: start + SAMPLE_TABLES_PER_QUERY]
        try:
            _sample_batch(session, tables, batch)
        except Exception as exc:
            if session.discard or session.dialect.is_time_limit(exc):
                continue  # retrying table by table could take the limit a hundred times
            # one unreadable table (row security that fails, say) should not
            # cost the others their samples
            for one in batch:
                try:
                    _sample_batch(session, tables, [one], careful=True)
                except Exception:
                    if session.discard:
                        break


def _sample_batch(session: "Session", tables: List["Relation"], batch: List[Tuple[int, "Relation"]],
                  careful: bool = False) -> None:
    dialect = session.dialect
    for row in dialect.sample_rows(session, dialect.sample_query(batch, careful)):
        table = tables[int(row[0])]
        count = min(len(table.columns), SAMPLE_COLUMNS)
        values, partial = dialect.sample_values(row[1:], careful)
        values = values[:count]
        # the server cut each value short already, or (partial) the row
        shown = [cell(value, SAMPLE_VALUE_CHARS)[0] for value in values]
        if partial and values:
            last = values[-1]
            shown[-1] = ELLIPSIS if last is None else cell(last, SAMPLE_VALUE_CHARS, partial=True)[0]
        if len(values) < count or len(table.columns) > SAMPLE_COLUMNS:
            shown.append(ELLIPSIS)
        table.samples.append(SEPARATOR.join(shown))


def padded_samples(tables: Sequence[Tuple[int, "Relation"]], value: Callable[["Column"], str],
                   null: str) -> Iterator[Tuple[int, "Relation", List[str]]]:
    """For a sample statement of a column per value: each table's value
    expressions, padded with `null` to the widest table's count, so that no
    value can be mistaken for a separator or for NULL."""
    width = max(min(len(table.columns), SAMPLE_COLUMNS) for _, table in tables)
    for index, table in tables:
        values = [value(column) for column in table.columns[:SAMPLE_COLUMNS]]
        yield index, table, values + [null] * (width - len(values))


# A field of PostgreSQL's row text "(1,,"a ""b""",x)": quoted (quotes and
# backslashes doubled inside), or bare, where empty means NULL. Each match
# takes one field and the comma after it.
_RECORD_FIELD = re.compile(r'(?:(")((?:[^"\\]|""|\\.)*)"?|([^,]*))(?:,|$)', re.S)
_RECORD_UNESCAPE = re.compile(r'""|\\(.)', re.S)


def _unescape(match: "re.Match[str]") -> str:
    return match.group(1) or '"'


def record_values(text: str, cut_at: int) -> Tuple[List[Optional[str]], bool]:
    """The fields of PostgreSQL's text form of a row, which the server cut at
    `cut_at` characters, and whether it did (the last field is then only the
    beginning of its value, and fields after it are missing)."""
    if not text.startswith("("):
        return [text], False
    cut = len(text) >= cut_at
    inner = text[1:] if cut else text[1:-1]
    if '"' not in inner:
        values: List[Optional[str]] = [v or None for v in inner.split(",")]
    else:
        fields = _RECORD_FIELD.findall(inner)
        if fields and fields[-1] == ("", "", "") and not inner.endswith(","):
            fields.pop()  # the empty match at the very end, not a field
        values = [
            (_RECORD_UNESCAPE.sub(_unescape, q) if ("\\" in q or '""' in q) else q) if mark else (b or None)
            for mark, q, b in fields
        ]
    return values, cut
