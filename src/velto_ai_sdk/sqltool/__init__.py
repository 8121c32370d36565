"""Database connectors for the agent: schema readers and query runners.

Six functions, one schema reader and one query runner per engine:

    get_mysql_database_schema()      execute_mysql_query(sql_query)
    get_pgdb_schema()                execute_pgdb_query(sql_query)
    get_mssql_db_schema()            execute_mssql_query(sql_query)

Each returns text for the model to read and never raises: the agent's run
would end on an exception, so every failure becomes one line "Error: ...",
from which the model can correct its next statement.

Every statement is treated as written by an attacker, since whoever writes
the question or any row the model reads steers it:

- read-only unless VELTO_SQL_ALLOW_WRITES=1, enforced by the database (each
  engine's file says how);
- privileged accounts (superusers, FILE, sysadmin...) are refused unless
  VELTO_SQL_ALLOW_PRIVILEGED=1 (privileges.py);
- nothing survives a call: the connection goes back to the pool reset, or is
  dropped (session.py and the engines);
- the time limit holds on the server, and for a frozen one (watchdog.py);
- results are bounded by rows and by bytes (results.py), and their text is
  one line per row, each cell in one of three forms that read back one way
  only, control characters escaped (text.py);
- every result with rows is also written, as it is read, to a CSV file for
  the code tool (export.py), in a directory only the user can open, bounded
  by rows, the time limit and a size limit; memory stays the byte budget's;
  the text's last line gives the call that loads it back exactly (loading.py);
- schema texts name every table within their size budget, in tiers of
  detail (schema.py), with the database's comments and the values of
  columns that hold few (value_lists.py), read without scanning a large
  table; catalog names and values are escaped like cells;
- a name the server does not know gets the closest ones of the catalog
  (names.py).

Settings come from the environment at every call (settings.py); the agent
loads a .env file at import.
"""

from __future__ import annotations

from typing import Any, Dict, List

from . import mssql, mysql, postgresql
from .base import Dialect
from .export import Export, new_export
from .names import UnknownName, closest_names
from .pool import dispose_engines, engine_url  # noqa: F401  (engine_url: the URL with the engine's driver)
from .schema import read_schema
from .session import Session, run_call
from .text import done_text, table_text

__all__ = [
    "get_mysql_database_schema",
    "get_pgdb_schema",
    "get_mssql_db_schema",
    "execute_mysql_query",
    "execute_pgdb_query",
    "execute_mssql_query",
    "dispose_engines",
]

# The engines, by the name the command line takes.
ENGINES: Dict[str, Dialect] = {d.name: d for d in (mysql.DIALECT, postgresql.DIALECT, mssql.DIALECT)}


def run_query(dialect: Dialect, sql_query: Any) -> str:
    if not isinstance(sql_query, str):
        return "Error: sql_query must be a string of SQL, not %s" % type(sql_query).__name__
    if not sql_query.strip():
        return "Error: sql_query is empty; send one SQL statement"
    exports: List[Export] = []  # one per attempt
    shown: List[str] = []
    unknown: List[UnknownName] = []

    def work(session: Session) -> str:
        export = new_export(session.settings)
        if export is not None:
            exports.append(export)
        try:
            result = dialect.run_query(session, sql_query, export)
        except Exception as exc:
            name = dialect.unknown_name(exc)
            if name is not None:
                unknown.append(name)
            raise
        if result.columns is None:
            text = done_text(result.rowcount)
        else:
            text = table_text(result, session.settings)
        shown.append(text)
        return text

    text = ""
    try:
        text = run_call(dialect, work)
    finally:
        # a file the text does not name would never be read
        for export in exports:
            if not (shown and text is shown[-1] and export is exports[-1]):
                export.discard()
    if unknown and not shown:
        hint = closest_names(dialect, unknown[-1], sql_query)
        if hint:
            text += ("" if text.endswith(".") else ".") + hint
    return text


# -- what the agent calls ----------------------------------------------------------


def get_mysql_database_schema() -> str:
    """Tables and views of the MySQL/MariaDB database in VELTO_MYSQL_URL: every
    one named, with as much as the size budget holds of columns, keys,
    comments, value lists and sample rows."""
    return run_call(mysql.DIALECT, read_schema)


def get_pgdb_schema() -> str:
    """Tables and views of the PostgreSQL database in VELTO_POSTGRES_URL: every
    one named, with as much as the size budget holds of columns, keys,
    comments, value lists and sample rows."""
    return run_call(postgresql.DIALECT, read_schema)


def get_mssql_db_schema() -> str:
    """Tables and views of the MS SQL Server database in VELTO_MSSQL_URL: every
    one named, with as much as the size budget holds of columns, keys,
    comments, value lists and sample rows."""
    return run_call(mssql.DIALECT, read_schema)


def execute_mysql_query(sql_query: str) -> str:
    """Runs one statement on the MySQL/MariaDB database; returns its rows as text."""
    return run_query(mysql.DIALECT, sql_query)


def execute_pgdb_query(sql_query: str) -> str:
    """Runs one statement on the PostgreSQL database; returns its rows as text."""
    return run_query(postgresql.DIALECT, sql_query)


def execute_mssql_query(sql_query: str) -> str:
    """Runs one statement on the MS SQL Server database; returns its rows as text."""
    return run_query(mssql.DIALECT, sql_query)
