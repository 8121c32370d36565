"""One pooled engine per database engine, for the URL now in the environment.

A Target is what the connectors know about one engine's database at one
URL: the SQLAlchemy engine (its pool), and what was read on first use and
holds until the URL changes: the account's privilege verdict, the last
catalog read and the value lists read for the schema text. When the
variable names another URL (or the settings given at connect change), the
old target is disposed and everything is read again.
"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from velto_ai_sdk import settings as environment

from .shared import SqlError

if TYPE_CHECKING:
    from .base import Dialect
    from .privileges import Verdict
    from .catalog import Relation
    from .settings import SqlSettings

# Pooled connections older than this are replaced at their next use.
RECYCLE_SECONDS = 1800


class Target:
    def __init__(self, dialect: "Dialect", raw: str, connect_args: Dict[str, Any], url: Any) -> None:
        self.dialect = dialect
        self.raw = raw
        self.connect_args = connect_args
        self.url = url
        self.secrets = [str(url.password)] if url.password else []
        self.engine = _engine(dialect, url, connect_args)
        self.verdict: Optional["Verdict"] = None
        self.facts: Dict[str, Any] = {}  # what the engine learnt about the account with the verdict
        self.catalog: Optional[List["Relation"]] = None
        # value lists by table, with when they were read (value_lists.py)
        self.value_lists: Dict[Tuple[str, str], Tuple[float, Dict[str, Optional[List[str]]]]] = {}

    @property
    def database(self) -> Optional[str]:
        return self.url.database

    def dispose(self) -> None:
        self.engine.dispose()


_targets: Dict[str, Target] = {}
_lock = threading.Lock()


def target_for(dialect: "Dialect", settings: "SqlSettings", secrets: List[str]) -> Target:
    raw = environment.text(dialect.variable)
    connect_args = dialect.connect_args(settings)
    with _lock:
        target = _targets.get(dialect.name)
        if target is None or target.raw != raw or target.connect_args != connect_args:
            try:
                url = engine_url(dialect, raw)
            except SqlError:
                _forget(dialect)
                raise
            if target is not None:
                target.dispose()
            target = _targets[dialect.name] = Target(dialect, raw, connect_args, url)
    secrets.extend(target.secrets)
    return target


def _forget(dialect: "Dialect") -> None:
    target = _targets.pop(dialect.name, None)
    if target is not None:
        target.dispose()


def engine_url(dialect: "Dialect", raw: Optional[str], source: str = "") -> Any:
    """The SQLAlchemy URL the connectors use for `raw`: a bare postgresql://,
    mysql://, mariadb:// or mssql:// gets the engine's driver. `source` names
    where the text came from in messages (the engine's variable by default)."""
    from sqlalchemy.engine import make_url

    source = source or dialect.variable
    if raw is None:
        raise SqlError("%s is not set, so no %s database is configured; set it to a SQLAlchemy URL such as %s"
                       % (source, dialect.label, dialect.example_url))
    try:
        url = make_url(raw)
    except Exception:
        # the parser's own message repeats the whole URL, password included
        raise SqlError("%s is not a valid SQLAlchemy URL (expected something like %s)"
                       % (source, dialect.example_url)) from None
    if url.get_backend_name() not in dialect.backend_names and url.drivername not in dialect.default_drivers:
        raise SqlError("%s must be a %s URL such as %s, not a %s URL"
                       % (source, dialect.label, dialect.example_url, url.get_backend_name()))
    if url.drivername in dialect.default_drivers:
        url = url.set(drivername=dialect.default_drivers[url.drivername])
    if url.get_driver_name() != dialect.driver:
        # the reading, stopping and read-only code is written for one driver per engine
        raise SqlError("%s names the driver %r; this connector works with %s (a URL such as %s)"
                       % (source, url.get_driver_name(), dialect.driver, dialect.example_url))
    return url


def _engine(dialect: "Dialect", url: Any, connect_args: Dict[str, Any]) -> Any:
    import sqlalchemy as sa

    options: Dict[str, Any] = {"connect_args": connect_args}
    if dialect.pooled:
        # No pre-ping (a round trip per call): a pooled connection is checked
        # by looking at its socket, and one that dies anyway is retried once.
        # No reset on return either: the dialect's own reset has run.
        options.update(pool_pre_ping=False, pool_recycle=RECYCLE_SECONDS, pool_reset_on_return=None)
    else:
        options["poolclass"] = sa.pool.NullPool
    engine = sa.create_engine(url, **options)
    dialect.prepare_engine(engine)
    return engine


def dispose_engines() -> None:
    """Close every pooled connection and forget every URL (for hosts and
    tests that switch databases)."""
    with _lock:
        for target in _targets.values():
            target.dispose()
        _targets.clear()
