"""The query runners against real servers: result text, bounds, errors,
time limits, connections, and writes when they are allowed."""

from __future__ import annotations

import threading

import pytest

from velto_ai_sdk import sqltool

PG_SETUP = [
    "CREATE TABLE people (id int PRIMARY KEY, name text NOT NULL, note text, active boolean, photo bytea)",
    "INSERT INTO people VALUES (1, 'Ada', NULL, true, '\\x00ff'),"
    " (2, 'Grace', 'line one' || chr(10) || 'line two', false, NULL),"
    " (3, 'Linus', repeat('x', 500), NULL, NULL)",
    "CREATE TABLE big AS SELECT g AS id FROM generate_series(1, 1000) g",
]

MARIADB_SETUP = [
    "CREATE TABLE people (id int PRIMARY KEY, name varchar(20) NOT NULL, note text, active boolean, photo blob)",
    "INSERT INTO people VALUES (1, 'Ada', NULL, true, x'00ff'),"
    " (2, 'Grace', CONCAT('line one', CHAR(10), 'line two'), false, NULL),"
    " (3, 'Linus', REPEAT('x', 500), NULL, NULL)",
    "CREATE TABLE big AS SELECT seq AS id FROM seq_1_to_1000",
]


class Engine:
    """One engine under test: its runner, its variable and its dialect's SQL."""

    def __init__(self, name, server, url, run, variable, sleep, endless):
        self.name = name
        self.server = server
        self.url = url
        self.run = run
        self.variable = variable
        self.sleep = sleep  # SQL that sleeps for %d seconds
        self.endless = endless  # a result far too big to read whole


@pytest.fixture(scope="module")
def pg(postgresql_server):
    url = postgresql_server.create_database("queries_pg", PG_SETUP)
    return Engine("postgresql", postgresql_server, url, sqltool.execute_pgdb_query, "VELTO_POSTGRES_URL",
                  "SELECT pg_sleep(%d)", "SELECT generate_series(1, 10000000000) AS g")


@pytest.fixture(scope="module")
def maria(mariadb_server):
    url = mariadb_server.create_database("queries_mariadb", MARIADB_SETUP)
    return Engine("mariadb", mariadb_server, url, sqltool.execute_mysql_query, "VELTO_MYSQL_URL",
                  "SELECT SLEEP(%d)", "SELECT seq FROM seq_1_to_10000000000")


@pytest.fixture(params=["postgresql", "mariadb"])
def db(request, sql_env):
    engine = request.getfixturevalue("pg" if request.param == "postgresql" else "maria")
    sql_env.set(**{engine.variable: engine.url})
    return engine


def test_result_is_a_compact_table(db):
    text = db.run("SELECT id, name, note, active, photo FROM people ORDER BY id")
    lines = text.splitlines()
    assert lines[0] == "id | name | note | active | photo"
    # values as psql and the mysql client print them
    assert lines[1] in ("1 | Ada | NULL | t | \\x00ff", "1 | Ada | NULL | 1 | 0x00FF")
    # a value's own line breaks must not break the one-line-per-row shape
    assert lines[2].startswith('2 | Grace | "line one\\nline two" | ')
    assert lines[3].startswith("3 | Linus | " + "x" * 50)
    assert len(lines) == 6
    assert lines[4].startswith("(3 rows)")
    assert "shortened" in lines[4] and "the file holds them in full" in lines[4]
    assert lines[5].startswith("File with all 3 rows: pandas.read_csv('")


@pytest.mark.parametrize("max_rows, export_rows, query, shown, count", [
    ("5", None, "SELECT id FROM big ORDER BY id", 5, "(5 of 1,000 rows shown)"),
    ("5", None, "SELECT id FROM big WHERE id <= 5 ORDER BY id", 5, "(5 rows)"),
    ("5", None, "SELECT id FROM big WHERE id <= 6 ORDER BY id", 5, "(5 of 6 rows shown)"),
    (None, None, "SELECT id FROM big ORDER BY id", 200, "(200 of 1,000 rows shown)"),
    (None, None, "SELECT id FROM big WHERE id > 1000", 0, "(0 rows)"),
    # without a file that counts them all, the text only knows there are more
    ("5", "0", "SELECT id FROM big ORDER BY id", 5, "(5 rows shown; more rows exist, so narrow the query"),
    ("5", "0", "SELECT id FROM big WHERE id <= 6 ORDER BY id", 5, "(5 rows shown; more rows exist"),
    ("5", "0", "SELECT id FROM big WHERE id <= 5 ORDER BY id", 5, "(5 rows)"),
    ("5", "100", "SELECT id FROM big ORDER BY id", 5, "(5 rows shown; more rows exist"),
])
def test_row_bound(db, sql_env, max_rows, export_rows, query, shown, count):
    sql_env.set(VELTO_SQL_MAX_ROWS=max_rows, VELTO_SQL_EXPORT_ROWS=export_rows)
    lines = db.run(query).splitlines()
    has_file = export_rows != "0" and shown > 0
    assert lines[0] == "id"
    assert lines[1:len(lines) - 1 - has_file] == [str(i) for i in range(1, shown + 1)]
    assert lines[len(lines) - 1 - has_file].startswith(count)
    assert lines[-1].startswith("File with") is has_file


def test_huge_result_costs_only_its_first_rows(db, sql_env):
    # ten billion rows: this returns only if rows are streamed and the rest
    # is never produced; the time limit turns a full read into an error
    sql_env.set(VELTO_SQL_MAX_ROWS="3", VELTO_SQL_TIMEOUT="20")
    sent = "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'ROWS_SENT'"
    if db.name == "mariadb":
        before = int(db.server.admin_query(sent)[0][0])
    lines = db.run(db.endless).splitlines()
    assert lines[1:-1] == [
        "1", "2", "3", "(3 rows shown; more rows exist, so narrow the query with WHERE, LIMIT or an aggregate)"]
    assert lines[-1].startswith("File with the first 100,000 rows (more exist; VELTO_SQL_EXPORT_ROWS): ")
    if db.name == "mariadb":
        # PyMySQL quietly reads a stopped result to its end (the server's
        # time limit would even hide that): count what the server sent
        # instead; what sits in socket buffers is well under this
        assert int(db.server.admin_query(sent)[0][0]) - before < 5000000
    # the connection stopped mid-result must not disturb the next call
    assert db.run("SELECT count(*) AS n FROM big").splitlines()[1] == "1000"


@pytest.mark.parametrize("statement, expected", [
    ("SELEC 1", "syntax"),
    ("SELECT * FROM no_such_table", "no_such_table"),
    ("SELECT 1/0", None),
    ("SELECT name FROM people WHERE id = 'abc' + 1", None),
])
def test_errors_come_back_as_one_line(db, statement, expected):
    text = db.run(statement)
    if db.name == "mariadb" and statement in ("SELECT 1/0", "SELECT name FROM people WHERE id = 'abc' + 1"):
        # MariaDB answers NULL or a warning where PostgreSQL refuses
        assert not text.startswith("Error")
        return
    assert text.startswith("Error: ")
    assert "\n" not in text
    if expected:
        assert expected in text.lower()


@pytest.mark.parametrize("value", [None, 42, "", "   "])
def test_bad_sql_argument(db, value):
    text = db.run(value)
    assert text.startswith("Error: sql_query")


def test_statement_without_rows(db):
    assert db.run("SET @velto = 1" if db.name == "mariadb" else "SET search_path TO public").startswith("OK")


def test_one_pooled_connection_serves_successive_calls(db):
    query = "SELECT CONNECTION_ID()" if db.name == "mariadb" else "SELECT pg_backend_pid()"
    first = db.run(query).splitlines()[1]
    assert db.run(query).splitlines()[1] == first


def test_a_killed_connection_is_replaced(db):
    query = "SELECT CONNECTION_ID()" if db.name == "mariadb" else "SELECT pg_backend_pid()"
    pid = db.run(query).splitlines()[1]
    kill = "KILL %s" % pid if db.name == "mariadb" else "SELECT pg_terminate_backend(%s)" % pid
    db.server.admin_execute([kill])
    # the pool notices the dead connection before handing it out
    assert db.run("SELECT count(*) AS n FROM people").splitlines()[1] == "3"


def test_losing_the_connection_mid_statement_is_an_error_line(db, sql_env):
    if db.name == "mariadb":
        statement = "KILL CONNECTION_ID()"
    else:
        statement = "SELECT pg_terminate_backend(pg_backend_pid())"
    text = db.run(statement)
    assert text.startswith("Error: ") and "\n" not in text
    assert db.run("SELECT 1 AS one").splitlines()[1] == "1"


def test_statement_time_limit(db, sql_env):
    sql_env.set(VELTO_SQL_TIMEOUT="1")
    text = db.run(db.sleep % 30)
    assert text.startswith("Error: ") and "time limit 1 s" in text
    assert db.run("SELECT 1 AS one").splitlines()[1] == "1"


def test_lock_wait_is_bounded(db, sql_env):
    sql_env.set(VELTO_SQL_TIMEOUT="1")
    holder = db.server.admin_engine("queries_" + ("mariadb" if db.name == "mariadb" else "pg")).connect()
    try:
        if db.name == "mariadb":
            holder.exec_driver_sql("LOCK TABLES big WRITE")
        else:
            holder.exec_driver_sql("BEGIN")
            holder.exec_driver_sql("LOCK TABLE big IN ACCESS EXCLUSIVE MODE")
        text = db.run("SELECT count(*) FROM big")
    finally:
        holder.exec_driver_sql("UNLOCK TABLES" if db.name == "mariadb" else "ROLLBACK")
        holder.close()
    assert text.startswith("Error: ")
    assert "lock" in text.lower() or "time limit" in text


def test_mariadb_driver_stops_what_the_server_was_told_not_to(maria, sql_env):
    # SET STATEMENT lifts the server's own limit for one statement; the
    # driver's read timeout still ends the wait
    sql_env.set(VELTO_MYSQL_URL=maria.url, VELTO_SQL_TIMEOUT="1")
    text = sqltool.execute_mysql_query("SET STATEMENT max_statement_time = 0 FOR SELECT SLEEP(30)")
    assert text.startswith("Error: ") and "time limit 1 s" in text
    assert sqltool.execute_mysql_query("SELECT 1 AS one").splitlines()[1] == "1"


def test_postgres_backstop_cancels_when_the_server_limit_is_missing(pg, sql_env, monkeypatch):
    # as if the server ignored statement_timeout: only the watchdog is left
    from velto_ai_sdk.sqltool import postgresql

    original = postgresql._session_defaults
    monkeypatch.setattr(postgresql, "_session_defaults", lambda settings: original(settings) + " -c statement_timeout=0")
    sql_env.set(VELTO_POSTGRES_URL=pg.url, VELTO_SQL_TIMEOUT="1")
    text = sqltool.execute_pgdb_query("SELECT pg_sleep(30)")
    assert text.startswith("Error: ") and "VELTO_SQL_TIMEOUT" in text
    assert sqltool.execute_pgdb_query("SELECT 1 AS one").splitlines()[1] == "1"


@pytest.mark.parametrize("statement, check, expected", [
    ("INSERT INTO big VALUES (5000)", "SELECT count(*) FROM big WHERE id = 5000", [(1,)]),
    ("CREATE TABLE made_by_model (id int)", "SELECT count(*) FROM made_by_model", [(0,)]),
])
def test_writes_when_allowed(db, sql_env, statement, check, expected):
    sql_env.set(VELTO_SQL_ALLOW_WRITES="1")
    database = "queries_mariadb" if db.name == "mariadb" else "queries_pg"
    try:
        assert db.run(statement).startswith("OK")
        assert db.server.admin_query(check, database) == expected
    finally:
        db.server.admin_execute(["DELETE FROM big WHERE id = 5000", "DROP TABLE IF EXISTS made_by_model"], database)


def test_writes_with_returning_rows_when_allowed(pg, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=pg.url, VELTO_SQL_ALLOW_WRITES="1")
    try:
        assert pg.run("INSERT INTO big VALUES (7000), (7001) RETURNING id").splitlines()[:-1] == [
            "id", "7000", "7001", "(2 rows)"]
    finally:
        pg.server.admin_execute(["DELETE FROM big WHERE id >= 7000"], "queries_pg")


def test_switching_url_between_calls(postgresql_server, pg, sql_env):
    other = postgresql_server.create_database("queries_other", ["CREATE TABLE only_here (x int)"])
    sql_env.set(VELTO_POSTGRES_URL=pg.url)
    assert pg.run("SELECT current_database()").splitlines()[1] == "queries_pg"
    sql_env.set(VELTO_POSTGRES_URL=other)
    assert pg.run("SELECT current_database()").splitlines()[1] == "queries_other"


def test_calls_from_several_threads(db):
    results = []

    def worker():
        results.append(db.run("SELECT count(*) AS n FROM big"))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [r.splitlines()[1] for r in results] == ["1000"] * 8


# ---------------------------------------------------------------------------
# configuration


ALL_FUNCTIONS = [
    (sqltool.get_mysql_database_schema, "VELTO_MYSQL_URL", ()),
    (sqltool.get_pgdb_schema, "VELTO_POSTGRES_URL", ()),
    (sqltool.get_mssql_db_schema, "VELTO_MSSQL_URL", ()),
    (sqltool.execute_mysql_query, "VELTO_MYSQL_URL", ("SELECT 1",)),
    (sqltool.execute_pgdb_query, "VELTO_POSTGRES_URL", ("SELECT 1",)),
    (sqltool.execute_mssql_query, "VELTO_MSSQL_URL", ("SELECT 1",)),
]


@pytest.mark.parametrize("function, variable, args", ALL_FUNCTIONS)
def test_unconfigured_engine_names_its_variable(sql_env, function, variable, args):
    text = function(*args)
    assert text.startswith("Error: %s is not set" % variable)
    assert "\n" not in text


@pytest.mark.parametrize("function, variable, args", ALL_FUNCTIONS)
def test_wrong_kind_of_url(sql_env, function, variable, args):
    sql_env.set(**{variable: "sqlite:///velto-nowhere.db"})
    text = function(*args)
    assert text.startswith("Error: %s must be" % variable)


PASSWORD = "Sup3r-Secret-pw"


@pytest.mark.parametrize("function, variable, url", [
    (sqltool.execute_pgdb_query, "VELTO_POSTGRES_URL", "postgresql+psycopg://velto_app:%s@127.0.0.1:{pg}/queries_pg"),
    (sqltool.execute_pgdb_query, "VELTO_POSTGRES_URL", "postgresql+psycopg://velto_app:%s@127.0.0.1:1/queries_pg"),
    (sqltool.execute_pgdb_query, "VELTO_POSTGRES_URL", "postgresql+psycopg2://velto_app:%s@127.0.0.1:{pg}/x"),
    (sqltool.execute_pgdb_query, "VELTO_POSTGRES_URL", "postgresql+psycopg://velto_app:%s@127.0.0.1:notaport/x"),
    (sqltool.execute_mysql_query, "VELTO_MYSQL_URL", "mysql+pymysql://velto_app:%s@127.0.0.1:{my}/queries_mariadb"),
    (sqltool.execute_mysql_query, "VELTO_MYSQL_URL", "mysql://velto_app:%s@127.0.0.1:{my}/queries_mariadb"),
    (sqltool.execute_mysql_query, "VELTO_MYSQL_URL", "mysql+pymysql://velto_app:%s@127.0.0.1:1/x"),
    (sqltool.execute_mssql_query, "VELTO_MSSQL_URL", "mssql+pymssql://sa:%s@127.0.0.1:1/x"),
])
def test_password_never_shown(postgresql_server, mariadb_server, sql_env, function, variable, url):
    url = url.format(pg=postgresql_server.port, my=mariadb_server.port) % PASSWORD
    sql_env.set(**{variable: url})
    text = function(sql_query="SELECT 1")
    assert text.startswith("Error: ")
    assert PASSWORD not in text
    assert "\n" not in text


def test_bare_scheme_gets_our_driver(pg, postgresql_server, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=pg.url.replace("postgresql+psycopg://", "postgresql://"))
    assert sqltool.execute_pgdb_query("SELECT 1 AS one").splitlines()[1] == "1"
    sql_env.set(VELTO_POSTGRES_URL=pg.url.replace("postgresql+psycopg://", "postgres://"))
    assert sqltool.execute_pgdb_query("SELECT 1 AS one").splitlines()[1] == "1"


@pytest.mark.parametrize("variable, value, message", [
    ("VELTO_SQL_MAX_ROWS", "many", "a whole number from 1 to 10000, not 'many'"),
    # out of range is an error, never quietly made to fit
    ("VELTO_SQL_MAX_ROWS", "0", "a whole number from 1 to 10000, not '0'"),
    ("VELTO_SQL_MAX_ROWS", "10001", "a whole number from 1 to 10000, not '10001'"),
    ("VELTO_SQL_TIMEOUT", "soon", "a number from 0.1 to 3600 seconds, not 'soon'"),
    ("VELTO_SQL_TIMEOUT", "inf", "a number from 0.1 to 3600 seconds, not 'inf'"),
    ("VELTO_SQL_TIMEOUT", "0", "a number from 0.1 to 3600 seconds, not '0'"),
    ("VELTO_SQL_MAX_VALUE_CHARS", "7", "a whole number from 8 to 100000, not '7'"),
    ("VELTO_SQL_SCHEMA_MAX_CHARS", "100", "a whole number from 500 to 10000000, not '100'"),
    ("VELTO_SQL_MAX_RESULT_BYTES", "5", "a whole number from 10000 to 1073741824, not '5'"),
    ("VELTO_SQL_CONNECT_TIMEOUT", "1", "a whole number from 2 to 300, not '1'"),
    ("VELTO_SQL_EXPORT_ROWS", "-1", "a whole number from 0 to 100000000, not '-1'"),
    ("VELTO_SQL_EXPORT_ROWS", "all", "a whole number from 0 to 100000000, not 'all'"),
    ("VELTO_SQL_RESULTS_MAX_BYTES", "5", "a whole number from 1048576 to 1099511627776, not '5'"),
    ("VELTO_SQL_ALLOW_WRITES", "perhaps", "1 or 0 (or true/false, yes/no, on/off), not 'perhaps'"),
    ("VELTO_SQL_ALLOW_PRIVILEGED", "sure", "1 or 0 (or true/false, yes/no, on/off), not 'sure'"),
])
def test_bad_settings_are_error_lines(pg, sql_env, variable, value, message):
    sql_env.set(VELTO_POSTGRES_URL=pg.url, **{variable: value})
    for text in (sqltool.execute_pgdb_query("SELECT 1"), sqltool.get_pgdb_schema()):
        assert text == "Error: %s must be %s" % (variable, message)


def test_a_cut_result_keeps_its_changes_when_writes_are_allowed(db, sql_env):
    # Stopping a statement after the rows shown would undo what it wrote: the
    # rest is read and dropped, and the plain SELECT after it works as before.
    sql_env.set(VELTO_SQL_ALLOW_WRITES="1", VELTO_SQL_MAX_ROWS="3", VELTO_SQL_EXPORT_ROWS="3")
    database = "queries_mariadb" if db.name == "mariadb" else "queries_pg"
    try:
        assert "more rows exist" in db.run("SELECT id FROM big ORDER BY id")
        if db.name == "mariadb":
            text = db.run("INSERT INTO big VALUES (8000), (8001), (8002), (8003), (8004) RETURNING id")
        else:
            text = db.run("INSERT INTO big SELECT g FROM generate_series(8000, 8004) g RETURNING id")
        assert text.splitlines()[:4] == ["id", "8000", "8001", "8002"] and "more rows exist" in text
        assert db.server.admin_query("SELECT count(*) FROM big WHERE id >= 8000", database) == [(5,)]
    finally:
        db.server.admin_execute(["DELETE FROM big WHERE id >= 8000"], database)
