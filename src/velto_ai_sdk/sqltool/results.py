"""A result taken in batches, bounded by rows and by bytes.

The engines fetch with Collector: it says how many rows to ask for next,
sized from the bytes seen so far, and stops at the row cap or at the byte
budget, whichever comes first. The first batch is two rows: a one-row result
costs one fetch, and a result of enormous rows costs two of them before the
sizes are known.
"""

from __future__ import annotations

from typing import Any, Iterable, Iterator, List, Optional, Sequence, Tuple

from .base import SqlError

FIRST_BATCH = 2


class Result:
    """What a statement gave: columns and rows, or no rows at all (columns
    None, with the driver's count of affected rows).

    stop is None when every row is here, "rows" when the row cap stopped the
    fetch and "bytes" when the byte budget did."""

    __slots__ = ("columns", "rows", "stop", "rowcount")

    def __init__(self, columns: Optional[List[str]], rows: List[Sequence[Any]], stop: Optional[str] = None,
                 rowcount: Optional[int] = None) -> None:
        self.columns = columns
        self.rows = rows
        self.stop = stop
        self.rowcount = rowcount


def value_size(value: Any) -> int:
    """About how many bytes a fetched value holds."""
    if value is None:
        return 1
    if isinstance(value, (str, bytes, bytearray)):
        return len(value)
    if isinstance(value, memoryview):
        return value.nbytes
    if isinstance(value, (list, tuple)):
        return 8 + sum(value_size(item) for item in value)
    if isinstance(value, dict):
        return 8 + sum(value_size(key) + value_size(item) for key, item in value.items())
    return 8


class Collector:
    def __init__(self, max_rows: int, max_bytes: int) -> None:
        self.max_rows = max_rows
        self.max_bytes = max_bytes
        self.rows: List[Sequence[Any]] = []
        self.bytes = 0
        self.largest = 0
        self.stop: Optional[str] = None
        self.done = False

    def next_batch(self) -> int:
        """How many rows to ask for next; 0 once no more are wanted. One row
        past the cap is asked for, to know whether more exist."""
        if self.done:
            return 0
        wanted = self.max_rows + 1 - len(self.rows)
        if not self.rows:
            return min(FIRST_BATCH, wanted)
        room = self.max_bytes - self.bytes
        return max(1, min(wanted, room // max(self.largest, 1)))

    def add(self, batch: Sequence[Sequence[Any]], asked: int) -> None:
        """Takes the rows of a batch of `asked` rows; a short batch ends the result."""
        for row in batch:
            if len(self.rows) == self.max_rows:
                self._stopped("rows")
                return
            size = sum(value_size(value) for value in row)
            # the first row is shown whatever its size: it is here already
            if self.rows and self.bytes + size > self.max_bytes:
                self._stopped("bytes")
                return
            self.rows.append(row)
            self.bytes += size
            if size > self.largest:
                self.largest = size
        if len(batch) < asked:
            self.done = True

    def _stopped(self, reason: str) -> None:
        self.stop = reason
        self.done = True

    def result(self, columns: List[str]) -> Result:
        return Result(columns, self.rows, self.stop)


def collect(batches: Iterable[Tuple[Any, Sequence[Sequence[Any]], int]], collector: Collector) -> Any:
    """Feeds an engine's batches (description, rows, rows asked for) to the
    collector, whose sizes they follow; the result's description."""
    description = None
    for description, rows, asked in batches:
        collector.add(rows, asked)
    return description


def cursor_batches(cur: Any, collector: Collector) -> Iterator[Tuple[Any, Sequence[Sequence[Any]], int]]:
    """The batches of a DBAPI cursor that reads rows as they are asked for."""
    while True:
        size = collector.next_batch()
        if not size:
            return
        yield cur.description, cur.fetchmany(size), size


def drain(cur: Any) -> None:
    """Reads and drops the rest of a cursor's rows, a batch at a time: with
    writes allowed, a statement whose result was cut must still run to its
    end, or stopping it would undo the changes it made."""
    while cur.fetchmany(1000):
        pass
