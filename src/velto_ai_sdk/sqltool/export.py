"""Results as CSV files, for the code tool's scripts to load with pandas.

The model sees at most VELTO_SQL_MAX_ROWS rows of a result, and the code
tool runs in another process that cannot see them at all; so every result
with rows is also written, as it is read, to a file of its own, whose path
the result text's last line gives with the call that loads it exactly:
pandas.read_csv(path, ...), built from the columns' types (loading.py).

The file: a header row of column names, then one line per row, RFC 4180
(fields quoted when they hold a comma, a quote or a line break, quotes
doubled, CRLF line ends), UTF-8; every value in full, as the database writes
it (values.py); NULL is an empty field, and so is the empty string, which
the call reads as missing either way. Values are written as they are: no
prefix against spreadsheet formulas, which would change the data the
scripts compute with.

Limits: VELTO_SQL_EXPORT_ROWS rows (the file says when more exist), the
statement's time limit (results.py stops reading for the file in time), and
VELTO_SQL_RESULTS_MAX_BYTES for this process's files together, counted in
whole 4 KiB blocks as a disk stores them: the oldest are removed to make
room, and a file that alone reaches it is cut, at most one batch of rows
past it (a batch is within the byte budget). Memory is the byte budget's,
not the file's: rows are written and dropped batch by batch.

The directory: VELTO_SQL_RESULTS_DIR, or by default a directory of the
process's own under the system's temporary directory, made on first use and
removed with its files when the process exits. Either must belong to the
user and be closed to everyone else (mode 0700; one the connectors make is),
since results are data the database's rights protect. Within an agent's
tool call a file goes into the agent's own subdirectory of it
(agent_scope.py), the only one that agent's scripts may read. Files are created anew (never
through an existing name or link) with mode 0600 and a random 128-bit name,
so two results never share a file and no name can be guessed beforehand.
Nothing of the statement's (not its column names, not its values) goes into
a path. Each file is made ahead of its result, by spares.py.
"""

from __future__ import annotations

import atexit
import collections
import csv
import functools
import io
import itertools
import os
import shutil
import stat
import tempfile
import threading
from typing import Any, BinaryIO, Deque, Optional, Sequence, Tuple

from velto_ai_sdk import agent_scope

from .shared import SqlError
from .spares import spares
from .values import value_text

WRITE_BUFFER = 1 << 16
BLOCK = 4096


class ResultFile:
    """What the text says about a result's file.

    cut is None when the file holds every row, else "rows" (more rows than
    VELTO_SQL_EXPORT_ROWS), "time", "bytes" (VELTO_SQL_RESULTS_MAX_BYTES) or
    "error" (reading on failed: detail says why); failure says why the file
    could not be written at all."""

    __slots__ = ("path", "rows", "cut", "detail", "failure", "kinds")

    def __init__(self, path: str) -> None:
        self.path = path
        self.kinds: Sequence[str] = ()  # of its columns, for the call that loads it (loading.py)
        self.rows = 0
        self.cut: Optional[str] = None
        self.detail: Optional[str] = None
        self.failure: Optional[str] = None

    @property
    def complete(self) -> bool:
        return self.failure is None and self.cut is None


# -- the directory -----------------------------------------------------------------


class _Directories:
    """The process's default directory, and the files this process wrote
    (oldest first) with their sizes on disk, for the size limit."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.default: Optional[str] = None
        self.owner_pid = 0
        self.files: Deque[Tuple[str, int]] = collections.deque()
        self.total = 0
        self.files_pid = os.getpid()

    def directory(self, configured: Optional[str]) -> str:
        if configured is not None:
            return _checked(os.path.abspath(os.path.expanduser(configured)), "VELTO_SQL_RESULTS_DIR")
        with self.lock:
            if self.default is None or self.owner_pid != os.getpid() or not _private(self.default):
                # (a forked child makes its own; one removed under us is made again)
                self.default = tempfile.mkdtemp(prefix="velto-sql-results-")
                if not self.owner_pid:
                    atexit.register(self.remove_default)
                self.owner_pid = os.getpid()
            return self.default

    def remove_default(self) -> None:
        if self.default is not None and self.owner_pid == os.getpid():
            shutil.rmtree(self.default, ignore_errors=True)

    def _own_files(self) -> None:
        """A forked child inherits the list, not the files: they are its parent's."""
        if self.files_pid != os.getpid():
            self.files_pid = os.getpid()
            self.files.clear()
            self.total = 0

    def finished(self, path: str, size: int) -> None:
        with self.lock:
            self._own_files()
            self.files.append((path, size))
            self.total += size

    def forget(self, path: str) -> None:
        with self.lock:
            self._own_files()
            for entry in self.files:
                if entry[0] == path:
                    self.files.remove(entry)
                    self.total -= entry[1]
                    break

    def fits(self, size: int, limit: int) -> bool:
        """Whether a file of `size` bytes fits under `limit` beside this
        process's other files, once the oldest of them are removed if need be."""
        if self.total + size <= limit and self.files_pid == os.getpid():
            return True
        with self.lock:
            self._own_files()
            while self.files and self.total + size > limit:
                path, old = self.files.popleft()
                self.total -= old
                _unlink(path)
            return self.total + size <= limit


_directories = _Directories()


def _private(path: str) -> bool:
    try:
        info = os.lstat(path)
    except OSError:
        return False
    return stat.S_ISDIR(info.st_mode) and info.st_uid == os.geteuid() and not info.st_mode & 0o077


def _checked(path: str, variable: str) -> str:
    """A directory the setting names, made if missing, and refused unless it
    is the user's own and closed to everyone else."""
    try:
        if not os.path.lexists(path):
            os.makedirs(path, mode=0o700, exist_ok=True)
        info = os.stat(path)
    except OSError as exc:
        raise SqlError("%s is %s, where no directory can be made (%s)" % (variable, path, exc.strerror)) from None
    if not stat.S_ISDIR(info.st_mode):
        raise SqlError("%s is %s, which is not a directory" % (variable, path))
    if info.st_uid != os.geteuid():
        raise SqlError("%s is %s, which belongs to another user; results need a directory of your own"
                       % (variable, path))
    if info.st_mode & 0o077:
        raise SqlError("%s is %s, which other users may open (mode %o); results need a directory only you can"
                       " open: chmod 700 it" % (variable, path, stat.S_IMODE(info.st_mode)))
    return path


# -- one file ------------------------------------------------------------------------


class Export:
    """One result's file, opened at its first row and written a batch of rows
    at a time."""

    def __init__(self, directory: str, max_rows: int, max_bytes: int, home: Optional[str] = None) -> None:
        self.directory = directory
        self.home = home
        self.file = ResultFile("")
        self.max_rows = max_rows
        self.max_bytes = max_bytes
        self.columns: Sequence[str] = ()
        self.open = True  # still taking rows
        self.size = 0  # bytes written
        self._stream: Optional[BinaryIO] = None
        self._writer: Any = None

    def wanted(self) -> int:
        """Rows still wanted, one past the cap to learn whether more exist."""
        return self.max_rows + 1 - self.file.rows if self.open else 0

    def take(self, batch: Sequence[Sequence[Any]]) -> int:
        """Writes a batch of rows, or as many as the file takes; the size of
        the largest, in characters (0 when none was written)."""
        if not self.open or not batch:
            return 0
        rows = batch[: self.max_rows - self.file.rows]
        try:
            if self._writer is None:
                self._start()
            largest = _write(self._writer, rows)
            assert self._stream is not None
            self.size = self._stream.tell()
        except (OSError, ValueError, csv.Error) as exc:
            self._fail(exc)
            return 0
        self.file.rows += len(rows)
        if not _directories.fits(_on_disk(self.size), self.max_bytes):
            self.stop("bytes")
        elif len(rows) < len(batch):
            self.stop("rows")  # a row past the cap: more exist
        return largest

    def _start(self) -> None:
        self.file.path, fd = spares.take(self.directory, self.home)
        try:
            self._stream = stream = io.open(fd, "wb", buffering=WRITE_BUFFER)
        except BaseException:
            os.close(fd)
            _unlink(self.file.path)
            raise
        # each line goes through to the buffered file as it is made, so that
        # the file's position is its size in bytes
        text = io.TextIOWrapper(stream, encoding="utf-8", errors="replace", newline="", write_through=True)
        self._writer = csv.writer(text, lineterminator="\r\n")
        self._writer.writerow(list(self.columns))

    def stop(self, why: str, detail: Optional[str] = None) -> None:
        """Takes no more rows: the file is cut there, for the reason given."""
        if self.open:
            self.file.cut = why
            self.file.detail = detail
            self._close()

    def finish(self) -> None:
        """The result ended: the file holds every row."""
        self._close()

    def discard(self) -> None:
        """The call failed, and nobody will learn of the file: it goes."""
        self.open = False
        stream, self._stream = self._stream, None
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass
        if self._writer is not None:
            _directories.forget(self.file.path)
            _unlink(self.file.path)

    def _close(self) -> None:
        if not self.open:
            return
        self.open = False
        stream, self._stream = self._stream, None
        if stream is None:
            return
        try:
            stream.close()
        except OSError as exc:
            self._fail(exc)
            return
        _directories.finished(self.file.path, _on_disk(self.size))

    def _fail(self, exc: Exception) -> None:
        self.discard()
        self.file.failure = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__


_TEXT = frozenset((str, type(None)))
_WITHOUT_NULLS = functools.partial(filter, None)
_LENGTHS = functools.partial(map, len)


def _write(writer: Any, rows: Sequence[Sequence[Any]]) -> int:
    """Writes rows; the size of the largest, in characters. Rows that hold
    only text and NULLs (PostgreSQL's, and MySQL's but for binary values)
    are written and measured without a step of Python per row."""
    if _TEXT.issuperset(map(type, itertools.chain.from_iterable(rows))):
        writer.writerows(rows)
        return max(map(sum, map(_LENGTHS, map(_WITHOUT_NULLS, rows))), default=0)
    largest = 0
    for row in rows:
        size = writer.writerow([value if value is None or type(value) is str else value_text(value) for value in row])
        if size > largest:
            largest = size
    return largest


def _on_disk(size: int) -> int:
    """What a file of `size` bytes takes on disk, about: whole blocks, so that
    many small results count for what they use."""
    return -(-max(size, 1) // BLOCK) * BLOCK


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass  # gone already, or the directory with it


def results_directory(settings: Any) -> str:
    """The directory of the result files, made when missing; SqlError when
    it cannot be used."""
    return _directories.directory(settings.results_dir)


def new_export(settings: Any) -> Optional[Export]:
    """The file for a call's result, or None when files are turned off."""
    if not settings.export_rows:
        return None
    root = results_directory(settings)
    # an agent's results lie in a subdirectory of their own (agent_scope.py)
    directory = agent_scope.results_directory(root)
    return Export(directory, settings.export_rows, settings.results_max_bytes, root)
