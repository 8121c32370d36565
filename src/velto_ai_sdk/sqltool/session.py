"""One call on one pooled connection, and the one way a statement is run.

A call takes a connection from the pool (one whose socket shows the server
closed it is replaced), checks the account (privileges.py), begins the
engine's transaction, does its work, and ends with the engine's rollback and
session reset; a connection whose reset fails, or whose statement had to be
stopped, is dropped instead of going back. A pooled connection that turns
out dead is retried once on a fresh one, unless writes are allowed (a
statement that might have run is not run twice).

Every round trip goes through Session.statement() (or Session.guarded() for
the few driver calls that are not a cursor's execute), which arms the
session's Alarm (watchdog.py) for the time limit.

A call never raises: every failure becomes one line "Error: ...".
"""

from __future__ import annotations

import contextlib
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional

from velto_ai_sdk.settings import SettingError

from . import pool
from .base import SqlError
from .privileges import check_account
from .settings import SqlSettings
from .text import driver_message, error_text
from .watchdog import Alarm, watchdog

if TYPE_CHECKING:
    from .base import Dialect
    from .pool import Target

USED = "velto_used"  # in a pooled connection's info: it served a call before


class Session:
    def __init__(self, target: "Target", settings: SqlSettings) -> None:
        self.target = target
        self.dialect = target.dialect
        self.settings = settings
        self.proxy: Any = None
        self.dbapi: Any = None
        self.alarm: Optional[Alarm] = None
        self.reused = False
        self.discard = False
        self.timed_out = False
        self.state: Dict[str, Any] = {}  # what the engine keeps during one call

    def open(self) -> None:
        proxy = self.target.engine.raw_connection()
        if not self.dialect.is_alive(proxy.driver_connection):
            proxy.invalidate()
            proxy = self.target.engine.raw_connection()
        self.proxy = proxy
        self.dbapi = proxy.driver_connection
        self.reused = bool(proxy.info.get(USED))
        proxy.info[USED] = True
        self.alarm = Alarm(self.dialect.stopper(self))
        watchdog.register(self.alarm)

    @contextlib.contextmanager
    def guarded(self) -> Iterator[None]:
        """One round trip (or a read of rows) under the time limit."""
        assert self.alarm is not None
        self.alarm.arm(self.settings.watchdog_after)
        try:
            yield
        finally:
            if self.alarm.disarm():
                self.timed_out = True
                self.discard = True
        if self.timed_out:
            raise SqlError("the statement did not finish in time and was stopped")

    @contextlib.contextmanager
    def statement(self, sql: Any, params: Any = None, cursor_class: Any = None, **options: Any) -> Iterator[Any]:
        """Runs one statement on a fresh cursor, which the block may read."""
        with self.guarded():
            cur = self.dbapi.cursor() if cursor_class is None else self.dbapi.cursor(cursor_class)
            try:
                if params is None:
                    cur.execute(sql, **options)
                else:
                    cur.execute(sql, params, **options)
                yield cur
            finally:
                if not self.discard:
                    cur.close()

    def execute(self, sql: Any, params: Any = None, **options: Any) -> None:
        with self.statement(sql, params, **options):
            pass

    def fetch(self, sql: Any, params: Any = None) -> List[Any]:
        with self.statement(sql, params) as cur:
            return list(cur.fetchall()) if cur.description else []

    def may_retry(self, exc: BaseException) -> bool:
        return (self.reused and not self.timed_out and not self.settings.allow_writes
                and self.dialect.is_disconnect(exc, self))

    def close(self, failure: Optional[BaseException]) -> None:
        if self.alarm is not None:
            watchdog.unregister(self.alarm)
        if self.proxy is None:
            return
        if failure is not None and not self.discard:
            # a failed call's session is reset like any other, or dropped
            try:
                self.dialect.end(self, commit=False)
            except Exception:
                self.discard = True
        proxy, self.proxy = self.proxy, None
        try:
            if self.discard:
                proxy.invalidate()
            else:
                proxy.close()
        except Exception:
            try:
                proxy.invalidate()
            except Exception:
                pass


def run_call(dialect: "Dialect", work: Callable[[Session], str]) -> str:
    """Runs `work` in a session of the engine; its text, or an error line."""
    secrets: List[str] = []
    try:
        settings = SqlSettings()
        target = pool.target_for(dialect, settings, secrets)
    except Exception as exc:
        return error_text(message(exc), secrets)
    for attempt in (1, 2):
        session = Session(target, settings)
        failure: Optional[BaseException] = None
        try:
            session.open()
            check_account(session)
            dialect.begin(session)
            text = work(session)
            dialect.end(session, commit=settings.allow_writes)
            return text
        except Exception as exc:
            failure = exc
            if attempt == 1 and session.may_retry(exc):
                session.discard = True
                continue
            return error_text(message(exc), secrets, _hint(dialect, exc, session))
        finally:
            session.close(failure)
    raise AssertionError("unreachable")


def message(exc: BaseException) -> str:
    if isinstance(exc, (SqlError, SettingError)):
        return str(exc)
    return driver_message(exc)


def _hint(dialect: "Dialect", exc: BaseException, session: Session) -> str:
    try:
        return dialect.hint(exc, session)
    except Exception:
        return ""
