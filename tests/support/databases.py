"""Real PostgreSQL and MariaDB servers for the tests.

Fixtures (registered for every test module through tests/conftest.py):

``postgresql_server``, ``mariadb_server`` (session scope)
    A server from Debian's packages, started once per test session in a
    throwaway data directory on a free port of 127.0.0.1 and stopped at the
    end (see support/servers.py). What a test uses:

    ``server.create_database(name, statements=())`` -> URL string
        Drops and creates database ``name``, owned by (MariaDB: fully granted
        to) the ordinary account "velto_app", runs ``statements`` in it as
        that account in one transaction and returns that account's SQLAlchemy
        URL (``postgresql+psycopg://...`` or ``mysql+pymysql://...``).
    ``server.url(database)``            the velto_app URL of a database
    ``server.admin_url(database=None)`` the administrator's URL
    ``server.admin_engine(database=None)`` an autocommit engine on it
    ``server.admin_execute(statements, database=None)``
    ``server.admin_query(sql, database=None)`` -> list of row tuples
    ``server.port``, ``server.log_path``

``spare_postgresql_server`` (session scope, started when first asked for)
    A PostgreSQL server of its own, with max_prepared_transactions=4, for
    what the shared one must not go through: tests freeze it
    (``server.frozen()``, SIGSTOP on all its processes, thawed afterwards)
    and prepare transactions on it.

``sql_env`` (function scope)
    Clears every VELTO_* connector setting for the test and gives back a
    ``set(**variables)`` helper; afterwards the connectors' cached engines
    are disposed, so no pooled connection outlives the test.

A server that cannot start fails the tests that need it with its log in the
message; scripts/system-packages installs the server packages.
"""

from __future__ import annotations

import pytest

from .servers import MariaDBServer, PostgresServer

CONNECTOR_VARIABLES = (
    "VELTO_MYSQL_URL",
    "VELTO_POSTGRES_URL",
    "VELTO_MSSQL_URL",
    "VELTO_SQL_ALLOW_WRITES",
    "VELTO_SQL_ALLOW_PRIVILEGED",
    "VELTO_SQL_MAX_ROWS",
    "VELTO_SQL_TIMEOUT",
    "VELTO_SQL_MAX_VALUE_CHARS",
    "VELTO_SQL_SCHEMA_MAX_CHARS",
    "VELTO_SQL_MAX_RESULT_BYTES",
    "VELTO_SQL_CONNECT_TIMEOUT",
    "VELTO_SQL_EXPORT_ROWS",
    "VELTO_SQL_RESULTS_DIR",
    "VELTO_SQL_RESULTS_MAX_BYTES",
    "VELTO_SQL_CONTEXT_FILE",
)


@pytest.fixture(scope="session")
def postgresql_server():
    server = PostgresServer().start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def mariadb_server():
    server = MariaDBServer().start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def spare_postgresql_server():
    server = PostgresServer(settings=["max_prepared_transactions=4"]).start()
    try:
        yield server
    finally:
        server.stop()


class SqlEnv:
    def __init__(self, monkeypatch) -> None:
        self._monkeypatch = monkeypatch

    def set(self, **variables) -> None:
        """set(VELTO_POSTGRES_URL=url, VELTO_SQL_MAX_ROWS=5); None removes one."""
        for name, value in variables.items():
            if value is None:
                self._monkeypatch.delenv(name, raising=False)
            else:
                self._monkeypatch.setenv(name, str(value))


@pytest.fixture
def sql_env(monkeypatch):
    for name in CONNECTOR_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    yield SqlEnv(monkeypatch)
    try:
        from velto_ai_sdk import sqltool
    except ImportError:
        return
    sqltool.dispose_engines()
