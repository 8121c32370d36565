"""Value lists: every distinct value of a text-like column that holds few of
them (a status, a country code, a category), so that the model writes
WHERE status = 'shipped' rather than guessing 'SHIPPED' or 'sent'.

A column gets a list when it holds at most MAX_VALUES distinct values and
repeats at least one (a column of unique names is no category). Where they
come from, cheapest first:

1. the server's statistics, where it keeps the values: PostgreSQL's
   pg_stats (its most common values, when they are all the values) and the
   labels of an enum type; MS SQL Server's histograms; for MySQL/MariaDB,
   whose statistics on values are out of a read-only login's reach, an index
   that leads with the column and counts few values, read by a loose index
   scan (one index dive per value). No table is scanned for them.
2. otherwise, for a table of at most SMALL_TABLE_ROWS rows only, a bounded
   query: the first SMALL_TABLE_ROWS + 1 rows, grouped; a table found to be
   larger gets no list from it. A large table is never scanned.

All of it within SECONDS per schema read (the server's own time limit on
each statement where the engine has one; what is left unread is read at a
later call), for the tables the schema text shows in full only. Lists are
kept with the engine's URL (pool.Target) for KEEP_SECONDS. Each value is
cut short like a sample value and written as a cell (text.py).
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Sequence, Tuple

from .samples import SAMPLE_VALUE_CHARS, sampled

if TYPE_CHECKING:
    from .catalog import Column, Relation
    from .session import Session

MAX_VALUES = 30
SMALL_TABLE_ROWS = 10000
SECONDS = 2.0
KEEP_SECONDS = 300.0
MIN_SECONDS = 0.05  # not worth a statement
TABLES_PER_QUERY = 100
VALUE_CHARS = SAMPLE_VALUE_CHARS + 1  # read from the server: one more tells that a value was cut

# What a table's columns hold, by column name: a list, or None (no list).
Found = Dict[str, Optional[List[str]]]


def category(counts: Sequence[Tuple[str, int]]) -> Optional[List[str]]:
    """The values of a column from (value, rows) pairs, most common first,
    when they make a category: few, and at least one repeated."""
    if not counts or len(counts) > MAX_VALUES or all(rows <= 1 for _, rows in counts):
        return None
    return [value for value, _ in counts]


def limited_union(tables: Sequence[Tuple[int, "Relation", List["Column"]]], rows: int,
                  quoted: Callable[[str], str], text_of: Callable[[str], str], null: str) -> str:
    """Dialect.bounded_values_query for engines that take LIMIT and a UNION
    of parenthesized statements: `quoted` quotes a name, `text_of` writes a
    value as text cut short, `null` is a NULL of the values' type."""
    parts = []
    for index, table, columns in tables:
        source = "%s.%s" % (quoted(table.schema), quoted(table.name))
        parts.append("(SELECT %d, -1, %s, COUNT(*) FROM (SELECT 1 FROM %s LIMIT %d) r)" % (index, null, source, rows + 1))
        for position, column in enumerate(columns):
            parts.append("(SELECT %d, %d, %s, COUNT(*) FROM (SELECT %s AS v FROM %s LIMIT %d) r WHERE v IS NOT NULL"
                         " GROUP BY v ORDER BY 4 DESC, 3 LIMIT %d)" % (
                             index, position, text_of("v"), quoted(column.name), source, rows + 1, MAX_VALUES + 1))
    return " UNION ALL ".join(parts)


def attach_value_lists(session: "Session", tables: Sequence["Relation"]) -> None:
    """Gives the tables' columns their value lists, read or kept."""
    kept = session.target.value_lists
    now = time.monotonic()
    pending = [table for table in tables if table.columns and not _fresh(kept.get(table.key), now)]
    if pending:
        for key, found in _read(session, pending).items():
            kept[key] = (now, found)
    for table in tables:
        entry = kept.get(table.key)
        if entry is not None:
            for column in table.columns:
                column.values = entry[1].get(column.name)


def _fresh(entry: Optional[Tuple[float, Found]], now: float) -> bool:
    return entry is not None and now - entry[0] < KEEP_SECONDS


def _read(session: "Session", tables: List["Relation"]) -> Dict[Tuple[str, str], Found]:
    """What can be learnt of the tables' value lists within the time budget;
    a table missing from the answer is read again at a later call."""
    dialect = session.dialect
    deadline = time.monotonic() + min(SECONDS, session.settings.timeout)
    found: Dict[Tuple[str, str], Found] = {}
    try:
        known = dialect.value_statistics(session, tables, deadline)
    except Exception:
        if session.discard:
            return found
        known = None  # those the bounded queries do not answer are asked again later
    # the rest, from small tables only
    bounded: List[Tuple[int, "Relation", List["Column"]]] = []
    for index, table in enumerate(tables):
        answers: Found = dict(known.get(index, {})) if known is not None else {}
        unknown = [column for column in table.columns if column.name not in answers and dialect.text_like(column)]
        if unknown and (table.rows is None or table.rows <= SMALL_TABLE_ROWS) and sampled(table):
            bounded.append((index, table, unknown))
        if known is not None or unknown:
            found[table.key] = answers
    batches = [bounded[start: start + TABLES_PER_QUERY] for start in range(0, len(bounded), TABLES_PER_QUERY)]
    while batches:
        batch = batches.pop(0)
        seconds = deadline - time.monotonic()
        if seconds < MIN_SECONDS or session.discard:
            for _, table, _ in batch + [one for rest in batches for one in rest]:
                del found[table.key]  # read at a later call
            break
        try:
            rows = dialect.fetch_within(session, dialect.bounded_values_query(batch, SMALL_TABLE_ROWS), seconds)
        except Exception as exc:
            if len(batch) > 1 and not session.discard and not dialect.is_time_limit(exc):
                # one unreadable table (row security that fails, say)
                # should not cost the others their lists
                batches[:0] = [[one] for one in batch]
                continue
            # A table that fails alone, or takes the time left, would do so
            # again: no list, until the lists are read again.
            for _, table, columns in batch:
                found[table.key].update((column.name, None) for column in columns)
            continue
        _bounded_answers(rows, batch, found)
    return found


def _bounded_answers(rows: Sequence[Tuple], batch: Sequence[Tuple[int, "Relation", List["Column"]]],
                     found: Dict[Tuple[str, str], Found]) -> None:
    """Rows (table index, column position or -1, value, rows): per table its
    row count (-1, up to SMALL_TABLE_ROWS + 1), per column its values with
    their counts, most common first, up to MAX_VALUES + 1."""
    counts: Dict[Tuple[int, int], List[Tuple[str, int]]] = {}
    sizes: Dict[int, int] = {}
    for index, position, value, holding in rows:
        index, position = int(index), int(position)
        if position < 0:
            sizes[index] = int(holding)
        elif value is not None:
            counts.setdefault((index, position), []).append((_text(value), int(holding)))
    for index, table, columns in batch:
        answers = found[table.key]
        complete = sizes.get(index, SMALL_TABLE_ROWS + 1) <= SMALL_TABLE_ROWS
        for position, column in enumerate(columns):
            answers[column.name] = category(counts.get((index, position), [])) if complete else None


def _text(value: object) -> str:
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "replace")
    return value if isinstance(value, str) else str(value)
