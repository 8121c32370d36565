"""A result taken in batches: the rows shown, bounded by rows and by bytes,
and every row, up to the file's own limits, written to the result's file.

The engines fetch with Collector: it says how many rows to ask for next,
sized from the largest row seen so far so that a batch stays within the byte
budget beside the rows kept, and it takes each batch's rows. The first batch
is two rows: a one-row result costs one fetch, and a result of enormous rows
costs two of them before the sizes are known.

Once the text has its rows, reading goes on only for the file (export.py),
and only within the statement's time limit: the file is cut when the limit
comes, and a failure while reading for it (the server's time limit, the
watchdog, an error in row 5,000) cuts the file and drops the connection, but
costs the text nothing, since the text alone would not have read so far.
With writes allowed such a failure is the statement's, and the call's error.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, List, Optional, Sequence, Tuple

from .loading import TEXT
from .settings import WATCHDOG_MARGIN
from .text import driver_message

if TYPE_CHECKING:
    from .export import Export, ResultFile
    from .session import Session

FIRST_BATCH = 2
# The most rows asked for at once: Python holds a narrow row in several
# times the bytes it is counted at.
BATCH_ROWS = 1000


class Result:
    """What a statement gave: columns and rows, or no rows at all (columns
    None, with the driver's count of affected rows).

    stop is None when every row is shown, "rows" when the row cap stopped
    them and "bytes" when the byte budget did; file is the result's file,
    when one was written."""

    __slots__ = ("columns", "rows", "stop", "rowcount", "file")

    def __init__(self, columns: Optional[List[str]], rows: List[Sequence[Any]], stop: Optional[str] = None,
                 rowcount: Optional[int] = None, file: Optional["ResultFile"] = None) -> None:
        self.columns = columns
        self.rows = rows
        self.stop = stop
        self.rowcount = rowcount
        self.file = file


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
    def __init__(self, max_rows: int, max_bytes: int, export: Optional["Export"] = None,
                 seconds: Optional[float] = None,
                 kinds_of: Optional[Callable[[Sequence[Sequence[Any]]], List[str]]] = None) -> None:
        self.max_rows = max_rows
        self.max_bytes = max_bytes
        self.export = export
        self.deadline = None if seconds is None else time.monotonic() + seconds
        self.kinds_of = kinds_of
        self.columns: Optional[List[str]] = None
        # the columns' kinds (loading.py), when the engine knows them before the rows come
        self.kinds: Optional[List[str]] = None
        self.rows: List[Sequence[Any]] = []
        self.bytes = 0  # of the rows kept
        self.largest = 0  # bytes of the largest row seen
        self.stop: Optional[str] = None
        self.shown = False  # the text has all its rows
        self.finished = False  # the result was read to its end
        self.done = False
        self.seen = 0

    @property
    def exporting(self) -> bool:
        return self.export is not None and self.export.open

    def describe(self, description: Sequence[Sequence[Any]]) -> None:
        """The result's columns, from a DBAPI description."""
        self.columns = [column[0] for column in description]
        if self.export is not None:
            self.export.columns = self.columns
            kinds = self.kinds
            if kinds is None and self.kinds_of is not None:
                kinds = self.kinds_of(description)
            if kinds is None or len(kinds) != len(self.columns):
                kinds = [TEXT] * len(self.columns)  # the text as written: always exact
            self.export.file.kinds = kinds

    def next_batch(self) -> int:
        """How many rows to ask for next; 0 once no more are wanted."""
        if self.done:
            return 0
        if not self.shown:
            # the text's rows first, in batches of their own: reading for the
            # file may meet what the text alone never would (a slow row, an
            # error), and then only the file is cut
            wanted = self.max_rows + 1 - len(self.rows)  # one more tells that more exist
        elif not self.exporting:
            return self._done()
        else:
            assert self.export is not None
            if self.deadline is not None and time.monotonic() >= self.deadline:
                self.export.stop("time")
                return self._done()
            wanted = self.export.wanted()
        if not self.seen:
            return min(FIRST_BATCH, wanted)
        room = self.max_bytes - self.bytes
        return max(1, min(wanted, BATCH_ROWS, room // max(self.largest, 1)))

    def round_trip_seconds(self) -> Optional[float]:
        """The time limit for the next round trip that reads rows for the
        file only: what is left of the statement's (None: the usual limit)."""
        if not self.shown or self.deadline is None:
            return None
        return max(0.0, self.deadline - time.monotonic()) + WATCHDOG_MARGIN

    def add(self, batch: Sequence[Sequence[Any]], asked: int) -> None:
        """Takes the rows of a batch of `asked` rows; a short batch ends the result."""
        export = self.export
        self.seen += len(batch)
        for row in batch:
            if self.shown:
                break
            self._show(row)
        if export is not None:
            self.largest = max(self.largest, export.take(batch))
        if len(batch) < asked:
            self.finished = True
            self.shown = True
            if export is not None:
                export.finish()
            self._done()
        elif self.shown and not self.exporting:
            self._done()

    def _show(self, row: Sequence[Any]) -> None:
        if len(self.rows) == self.max_rows:
            self._shown("rows")
            return
        size = sum(value_size(value) for value in row)
        # the first row is shown whatever its size: it is here already
        if self.rows and self.bytes + size > self.max_bytes:
            self._shown("bytes")
            return
        self.rows.append(row)
        self.bytes += size
        if size > self.largest:
            self.largest = size

    def _shown(self, stop: str) -> None:
        self.stop = stop
        self.shown = True

    def _done(self) -> int:
        self.done = True
        return 0

    def failed(self, exc: Exception, session: "Session") -> bool:
        """A failure while reading: True when it cost only the file (which is
        cut, and the connection dropped), False when it is the call's."""
        export = self.export
        if not self.shown or export is None or not export.open or session.settings.allow_writes:
            return False
        session.discard = True  # mid-result, or stopped: not fit to go back
        if session.timed_out or session.dialect.is_time_limit(exc):
            export.stop("time")
        else:
            export.stop("error", driver_message(exc))
        self._done()
        return True

    def result(self) -> Result:
        return Result(self.columns, self.rows, self.stop, file=self._file())

    def _file(self) -> Optional["ResultFile"]:
        export = self.export
        if export is None or not export.file.rows and export.file.failure is None:
            return None  # no rows, no file
        return export.file


def collector_for(session: "Session", export: Optional["Export"] = None) -> Collector:
    settings = session.settings
    return Collector(settings.max_rows, settings.max_result_bytes, export, settings.timeout,
                     session.dialect.column_kinds)


def collect(batches: Iterable[Tuple[Any, Sequence[Sequence[Any]], int]], collector: Collector,
            session: "Session") -> Result:
    """Feeds an engine's batches (description, rows, rows asked for) to the
    collector, whose sizes they follow; the result."""
    try:
        for description, rows, asked in batches:
            if collector.columns is None:
                collector.describe(description)
            collector.add(rows, asked)
    except Exception as exc:
        if not collector.failed(exc, session):
            raise
    return collector.result()


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
