"""The next result's file, made ahead.

Creating a file costs from a few hundredths of a millisecond to a
millisecond and more on a busy ext4 disk, nearly all of it in making the
inode: as much as the rest of a short query. So where the system allows it
(Linux's O_TMPFILE) a thread of its own makes the next result's file ahead,
nameless and so invisible, while this one is used (_Spares); a call only
gives it its name, which costs a few microseconds. A spare nobody named
vanishes with its descriptor: at exit, in a forked child, or when the
directory changes.
"""

from __future__ import annotations

import os
import secrets
import threading
from typing import Optional, Tuple

NAME_BYTES = 16


def _create(directory: str) -> Tuple[str, int]:
    """A new, empty file of a random name in the directory, and its descriptor."""
    path = os.path.join(directory, _new_name())
    return path, os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)


def _new_name() -> str:
    return secrets.token_hex(NAME_BYTES) + ".csv"


_NAMELESS = getattr(os, "O_TMPFILE", 0)


class _Spare:
    """A nameless file in a directory, ready to be given a name."""

    __slots__ = ("directory", "fd")

    def __init__(self, directory: str) -> None:
        self.directory = directory
        self.fd = os.open(directory, _NAMELESS | os.O_WRONLY | os.O_CLOEXEC, 0o600)

    def name(self, directory: str) -> Tuple[str, int]:
        """Links the file into `directory` (its own, or one beneath it) under
        a new random name (never over an existing one); its path and
        descriptor."""
        name = _new_name()
        into = os.open(directory, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            # linkat() following the descriptor's link in /proc: unlike
            # AT_EMPTY_PATH, it needs no privilege
            os.link("/proc/self/fd/%d" % self.fd, name, dst_dir_fd=into, follow_symlinks=True)
        finally:
            os.close(into)
        return os.path.join(directory, name), self.fd

    def drop(self) -> None:
        os.close(self.fd)


class _Spares:
    """One nameless file made ahead for the next result, in the directory
    the last result used, by a daemon thread that makes another whenever
    the spare is taken. Where nameless files cannot be made, files are
    made when they are needed."""

    def __init__(self) -> None:
        self._reset()
        os.register_at_fork(after_in_child=self._reset)

    def _reset(self) -> None:
        # In a forked child the lock may have been held by a thread that is
        # not there, and the spare is the parent's: all starts again.
        self._lock = threading.Lock()
        self._wanted = threading.Condition(self._lock)
        self._spare: Optional[_Spare] = None
        self._directory: Optional[str] = None
        self._started = False
        self._works = bool(_NAMELESS)

    def take(self, directory: str, home: Optional[str] = None) -> Tuple[str, int]:
        """A new file in the directory and its descriptor; OSError when none
        can be made. Spares are made in `home` (by default the directory),
        which holds the directory: an agent's results subdirectory is
        beneath the process's."""
        home = directory if home is None else home
        with self._lock:
            spare, self._spare = self._spare, None
            if self._works:
                self._directory = home
                if not self._started:
                    self._started = True
                    threading.Thread(target=self._make_spares, name="velto-sql-files", daemon=True).start()
                self._wanted.notify()
        if spare is not None:
            try:
                if spare.directory == home:
                    return spare.name(directory)
            except OSError:
                pass  # the directory went, say: made afresh below, or an error that says why
            spare.drop()
        return _create(directory)

    def _make_spares(self) -> None:
        while True:
            with self._lock:
                while self._spare is not None or self._directory is None:
                    self._wanted.wait()
                directory = self._directory
            try:
                spare = _Spare(directory)
            except OSError:
                with self._lock:
                    # not on this file system, say: files are made when needed
                    self._works = False
                    self._directory = None
                continue
            with self._lock:
                if self._spare is None and self._directory == directory:
                    self._spare, spare = spare, None
            if spare is not None:
                spare.drop()


spares = _Spares()
