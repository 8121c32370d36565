"""The time limit holds on the server: statements that outlive it are
cancelled, then ended from a second connection; a frozen server or one that
never answers costs the limit and a short grace, not the driver's patience.
Real servers; the frozen one is a spare server of the tests' own."""

from __future__ import annotations

import time

import pytest

from support.servers import SilentListener
from velto_ai_sdk import sqltool
from velto_ai_sdk.sqltool import mysql

# the watchdog's margin and grace and one bounded connect, with room for a
# busy machine: a bound against hanging, not a measurement
STOPPED_WITHIN = 8.0


def _gone(query, seconds=5.0):
    """Polls `query` (rows of what still runs) until it has none."""
    deadline = time.monotonic() + seconds
    while True:
        rows = query()
        if not rows or time.monotonic() > deadline:
            return rows
        time.sleep(0.2)


def _timed(run, statement):
    started = time.monotonic()
    text = run(statement)
    return text, time.monotonic() - started


@pytest.fixture(scope="module")
def pg_url(postgresql_server):
    return postgresql_server.create_database("stopping_pg", [])


@pytest.fixture(scope="module")
def maria_url(mariadb_server):
    return mariadb_server.create_database("stopping_mariadb", [])


def test_postgres_loop_that_catches_the_cancel_is_ended(postgresql_server, pg_url, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=pg_url, VELTO_SQL_TIMEOUT="0.5")
    text, seconds = _timed(sqltool.execute_pgdb_query,
                           "DO $$ BEGIN LOOP BEGIN PERFORM pg_sleep(1); EXCEPTION WHEN query_canceled THEN NULL;"
                           " END; END LOOP; END $$")
    assert text.startswith("Error: the statement was still running at the time limit and was stopped")
    assert "(time limit 0.5 s, VELTO_SQL_TIMEOUT)" in text
    assert seconds < STOPPED_WITHIN
    assert _gone(lambda: postgresql_server.admin_query(
        "SELECT pid, query FROM pg_stat_activity WHERE usename = 'velto_app' AND query LIKE 'DO %'")) == []
    assert sqltool.execute_pgdb_query("SELECT 1 AS one").splitlines()[1] == "1"


@pytest.mark.parametrize("statement", [
    "SET STATEMENT max_statement_time = 0 FOR SELECT SLEEP(60)",
    "SET STATEMENT max_statement_time = 0 FOR SELECT COUNT(*) FROM seq_1_to_1000000 a JOIN seq_1_to_1000000 b",
    "BEGIN NOT ATOMIC DECLARE CONTINUE HANDLER FOR SQLEXCEPTION BEGIN END; LOOP DO SLEEP(1); END LOOP; END",
])
def test_mariadb_statements_past_the_limit_are_ended(mariadb_server, maria_url, sql_env, statement):
    sql_env.set(VELTO_MYSQL_URL=maria_url, VELTO_SQL_TIMEOUT="0.5")
    text, seconds = _timed(sqltool.execute_mysql_query, statement)
    assert text.startswith("Error: ") and "(time limit 0.5 s, VELTO_SQL_TIMEOUT)" in text
    assert seconds < STOPPED_WITHIN
    assert _gone(lambda: mariadb_server.admin_query(
        "SELECT ID, INFO FROM information_schema.PROCESSLIST WHERE USER = 'velto_app' AND COMMAND <> 'Sleep'")) == []
    assert sqltool.execute_mysql_query("SELECT 1 AS one").splitlines()[1] == "1"


@pytest.mark.parametrize("statement", [
    "BEGIN NOT ATOMIC XA END 'velto-known'; XA PREPARE 'velto-known'; END",
    # stopped by the cancel
    "BEGIN NOT ATOMIC XA END 'velto-known'; XA PREPARE 'velto-known'; LOOP DO SLEEP(1); END LOOP; END",
    # survives the cancel: ended with its connection
    "BEGIN NOT ATOMIC DECLARE CONTINUE HANDLER FOR SQLEXCEPTION BEGIN END; XA END 'velto-known';"
    " XA PREPARE 'velto-known'; LOOP DO SLEEP(1); END LOOP; END",
])
def test_mariadb_xa_prepared_by_a_statement_that_knew_its_id(mariadb_server, maria_url, sql_env, monkeypatch,
                                                             statement):
    # The identifier is random per call and nothing shows it to a statement;
    # were it known, a prepared XA transaction would outlive the connection.
    monkeypatch.setattr(mysql.secrets, "token_hex", lambda size: "known")
    sql_env.set(VELTO_MYSQL_URL=maria_url, VELTO_SQL_TIMEOUT="0.5")
    sqltool.execute_mysql_query(statement)
    assert mariadb_server.admin_query("XA RECOVER") == []
    assert sqltool.execute_mysql_query("SELECT @@in_transaction AS t").splitlines()[1] == "1"


def test_frozen_postgres_costs_the_limit_and_a_grace(spare_postgresql_server, sql_env):
    server = spare_postgresql_server
    sql_env.set(VELTO_POSTGRES_URL=server.create_database("frozen", []), VELTO_SQL_TIMEOUT="0.5",
                VELTO_SQL_CONNECT_TIMEOUT="2")
    assert sqltool.execute_pgdb_query("SELECT 1 AS one").splitlines()[1] == "1"  # a pooled connection
    with server.frozen():
        # the pooled connection's statement: the watchdog cuts the socket
        text, seconds = _timed(sqltool.execute_pgdb_query, "SELECT 1")
        assert text.startswith("Error: ") and "time limit 0.5 s" in text
        assert seconds < STOPPED_WITHIN
    assert sqltool.execute_pgdb_query("SELECT 1 AS one").splitlines()[1] == "1"


@pytest.mark.parametrize("variable, run, url", [
    ("VELTO_POSTGRES_URL", sqltool.execute_pgdb_query, "postgresql+psycopg://velto_app:pw@127.0.0.1:%d/x"),
    ("VELTO_MYSQL_URL", sqltool.execute_mysql_query, "mysql+pymysql://velto_app:pw@127.0.0.1:%d/x"),
])
def test_a_server_that_never_answers_costs_the_connect_timeout(sql_env, variable, run, url):
    with SilentListener() as listener:
        sql_env.set(**{variable: url % listener.port, "VELTO_SQL_CONNECT_TIMEOUT": "2"})
        text, seconds = _timed(run, "SELECT 1")
    assert text.startswith("Error: ") and "\n" not in text
    assert 1.5 < seconds < 2 + STOPPED_WITHIN / 2
