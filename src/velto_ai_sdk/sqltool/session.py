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

from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional

from velto_ai_sdk.settings import SettingError

from . import pool
from .privileges import check_account
from .settings import SqlSettings, current_settings
from .shared import SqlError
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
        self._cursor: Any = None

    def open(self) -> None:
        proxy = self.target.engine.raw_connection()
        if not self.dialect.is_alive(proxy.driver_connection):
            proxy.invalidate()
            proxy = self.target.engine.raw_connection()
        self.proxy = proxy
        self.dbapi = proxy.driver_connection
        self.reused = bool(proxy.info.get(USED))
        proxy.info[USED] = True
        self.alarm = Alarm(lambda: self.dialect.stopper(self))
        watchdog.register(self.alarm)

    def guarded(self) -> "_Guard":
        """One round trip (or a read of rows) under the time limit:
        ``with session.guarded(): ...``."""
        return _Guard(self)

    def statement(self, sql: Any, params: Any = None, cursor_class: Any = None, seconds: Optional[float] = None,
                  **options: Any) -> "_Statement":
        """Runs one statement, on the session's cursor or a fresh one of
        `cursor_class`, which the block may read (and which is closed after
        it): ``with session.statement(sql) as cur: ...``. `seconds` is a
        shorter time limit for it than the usual one."""
        return _Statement(self, sql, params, cursor_class, options, seconds)

    def cursor(self) -> Any:
        """The session's cursor for statements read whole (one per call)."""
        if self._cursor is None:
            self._cursor = self.dbapi.cursor()
        return self._cursor

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
        try:
            self._give_back(failure)
        finally:
            if self.alarm is not None:
                watchdog.unregister(self.alarm)
                self.alarm = None  # it refers back to the session

    def _give_back(self, failure: Optional[BaseException]) -> None:
        if self.proxy is None:
            return
        if failure is not None and not self.discard:
            # a failed call's session is reset like any other, or dropped
            try:
                self.dialect.end(self, commit=False)
            except Exception:
                self.discard = True
        cursor, self._cursor = self._cursor, None
        if cursor is not None and not self.discard:
            try:
                cursor.close()
            except Exception:
                self.discard = True
        proxy, self.proxy = self.proxy, None
        try:
            if self.discard:
                proxy.invalidate()
            else:
                proxy.close()
        except Exception:
            self.discard = True
            try:
                proxy.invalidate()
            except Exception:
                pass
        if self.discard:
            try:
                self.dialect.dropped(self)
            except Exception:
                pass  # what is left is the server's own to time out


class _Guard:
    __slots__ = ("_session", "_seconds")

    def __init__(self, session: Session, seconds: Optional[float] = None) -> None:
        self._session = session
        self._seconds = seconds

    def __enter__(self) -> None:
        session = self._session
        assert session.alarm is not None
        session.alarm.arm(session.settings.watchdog_after if self._seconds is None else self._seconds)

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        session = self._session
        assert session.alarm is not None
        if session.alarm.disarm():
            session.timed_out = True
            session.discard = True
            if exc_type is None:
                raise SqlError("the statement did not finish in time and was stopped")


class _Statement:
    __slots__ = ("_session", "_sql", "_params", "_cursor_class", "_options", "_guard", "_fresh")

    def __init__(self, session: Session, sql: Any, params: Any, cursor_class: Any, options: Dict[str, Any],
                 seconds: Optional[float]) -> None:
        self._session = session
        self._sql = sql
        self._params = params
        self._cursor_class = cursor_class
        self._options = options
        self._guard = _Guard(session, seconds)
        self._fresh: Any = None  # a cursor of cursor_class, closed after the block

    def __enter__(self) -> Any:
        session = self._session
        self._guard.__enter__()
        try:
            if self._cursor_class is None:
                cur = session.cursor()
            else:
                cur = self._fresh = session.dbapi.cursor(self._cursor_class)
            if self._params is None:
                cur.execute(self._sql, **self._options)
            else:
                cur.execute(self._sql, self._params, **self._options)
        except BaseException as exc:
            self.__exit__(type(exc), exc, exc.__traceback__)
            raise
        return cur

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        try:
            if self._fresh is not None and not self._session.discard:
                self._fresh.close()
        finally:
            self._guard.__exit__(exc_type, exc, traceback)


def run_call(dialect: "Dialect", work: Callable[[Session], str]) -> str:
    """Runs `work` in a session of the engine; its text, or an error line."""
    secrets: List[str] = []
    try:
        settings = current_settings()
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
            if not session.discard:
                # (a dropped connection takes the transaction with it)
                dialect.end(session, commit=settings.allow_writes)
            return text
        except BaseException as exc:
            failure = exc
            if not isinstance(exc, Exception):
                # an interrupt belongs to the host; the connection, in the
                # middle of who knows what, is not given back
                session.discard = True
                raise
            if attempt == 1 and session.may_retry(exc):
                session.discard = True
                continue
            return error_text(message(exc, session), secrets, _hint(dialect, exc, session))
        finally:
            session.close(failure)
    raise AssertionError("unreachable")


def message(exc: BaseException, session: Optional[Session] = None) -> str:
    if session is not None and session.timed_out:
        # the driver's words for a cancelled or severed statement say little
        return "the statement was still running at the time limit and was stopped"
    if isinstance(exc, (SqlError, SettingError)):
        return str(exc)
    return driver_message(exc)


def _hint(dialect: "Dialect", exc: BaseException, session: Session) -> str:
    try:
        return dialect.hint(exc, session)
    except Exception:
        return ""
