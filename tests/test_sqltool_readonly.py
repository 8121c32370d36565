"""Hostile statements against real servers: every one refused or harmless,
nothing changed, nothing left behind.

Two accounts run the corpus: the ordinary one, which owns the data (it could
write, drop and alter it if the connectors let it), and the administrator
(PostgreSQL's superuser, MariaDB's root). The administrator is refused
before anything runs unless VELTO_SQL_ALLOW_PRIVILEGED=1; with that opt-in
the write and session corpora still hold, and only the file and program
statements are the risk the opt-in accepts. After every statement a
fingerprint of the database (catalog, contents, accounts, files) taken with
the administrator account must equal the one taken before; the whole module
also compares a full dump before and after. The session corpus checks, on the
same pooled connection, that the next call sees a clean session, and on the
server that no lock, prepared transaction or running statement is left.
"""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess

import pytest
import sqlalchemy as sa

from velto_ai_sdk import sqltool

OUT_FILE = "/tmp/velto-hostile-out.txt"  # a file that no statement may create

PG_SETUP = [
    "CREATE TABLE items (id serial PRIMARY KEY, name text NOT NULL, price numeric(8,2))",
    "CREATE TABLE orders (id serial PRIMARY KEY, item_id int NOT NULL REFERENCES items(id), qty int)",
    "INSERT INTO items (name, price) SELECT 'item ' || g, g * 1.5 FROM generate_series(1, 50) g",
    "INSERT INTO orders (item_id, qty) SELECT 1 + g % 50, g FROM generate_series(1, 100) g",
    "CREATE VIEW cheap AS SELECT * FROM items WHERE price < 10",
    "CREATE PROCEDURE wipe() LANGUAGE sql AS $$ DELETE FROM orders $$",
    "CREATE FUNCTION wipe_fn() RETURNS int LANGUAGE plpgsql AS $$ BEGIN DELETE FROM orders; RETURN 1; END $$",
]

MARIADB_SETUP = [
    "CREATE TABLE items (id int AUTO_INCREMENT PRIMARY KEY, name varchar(50) NOT NULL, price decimal(8,2))",
    "CREATE TABLE orders (id int AUTO_INCREMENT PRIMARY KEY, item_id int NOT NULL, qty int,"
    " FOREIGN KEY (item_id) REFERENCES items(id))",
    "CREATE TABLE notes (id int, body text) ENGINE=MyISAM",  # no transactions at all
    "INSERT INTO items (name, price) SELECT CONCAT('item ', seq), seq * 1.5 FROM seq_1_to_50",
    "INSERT INTO orders (item_id, qty) SELECT 1 + seq % 50, seq FROM seq_1_to_100",
    "INSERT INTO notes VALUES (1, 'keep me')",
    "CREATE VIEW cheap AS SELECT * FROM items WHERE price < 10",
    "CREATE PROCEDURE wipe() DELETE FROM orders",
    "CREATE FUNCTION wipe_fn() RETURNS int MODIFIES SQL DATA BEGIN DELETE FROM orders; RETURN 1; END",
]

# Statements refused whatever the account's privileges: the read-only
# transaction (and, on MariaDB, the XA transaction) does it.
PG_WRITES = [
    "INSERT INTO items (name) VALUES ('x')",
    "UPDATE items SET price = 0",
    "DELETE FROM orders",
    "UPDATE items SET price = 0 RETURNING id",
    "INSERT INTO items (id, name) VALUES (1, 'x') ON CONFLICT (id) DO UPDATE SET name = 'y'",
    "MERGE INTO orders o USING items i ON o.item_id = i.id WHEN MATCHED THEN DELETE",
    "TRUNCATE orders",
    "DROP TABLE orders",
    "DROP SCHEMA public CASCADE",
    "ALTER TABLE items ADD COLUMN extra int",
    "ALTER TABLE items RENAME TO goods",
    "CREATE TABLE extra (id int)",
    "CREATE TEMP TABLE scratch (id int)",
    "CREATE INDEX items_name ON items (name)",
    "CREATE VIEW v2 AS SELECT 1 AS one",
    "CREATE FUNCTION f() RETURNS int LANGUAGE sql AS 'SELECT 1'",
    "CREATE TABLE copy AS SELECT * FROM items",
    "SELECT * INTO copy FROM items",
    "WITH gone AS (DELETE FROM orders RETURNING *) SELECT count(*) FROM gone",
    "WITH added AS (INSERT INTO items (name) VALUES ('x') RETURNING id) SELECT * FROM added",
    "SELECT 1; DROP TABLE orders",
    "COMMIT; DELETE FROM orders",
    "ROLLBACK; DELETE FROM orders",
    "SET SESSION CHARACTERISTICS AS TRANSACTION READ WRITE; DELETE FROM orders",
    "SET TRANSACTION READ WRITE",
    "SELECT set_config('transaction_read_only', 'off', false)",
    "SELECT set_config('transaction_read_only', 'off', true), count(*) FROM (DELETE FROM orders RETURNING 1) d",
    "DO $$ BEGIN DELETE FROM orders; END $$",
    "DO $$ BEGIN COMMIT; DELETE FROM orders; END $$",
    "CALL wipe()",
    "SELECT wipe_fn()",
    "SELECT nextval('items_id_seq')",
    "SELECT setval('items_id_seq', 1000)",
    "SELECT * FROM items FOR UPDATE",
    "GRANT ALL ON items TO PUBLIC",
    "COMMENT ON TABLE items IS 'changed'",
    "CREATE DATABASE other",
    "CREATE ROLE intruder LOGIN",
    "VACUUM FULL orders",
    "DISCARD ALL",
    "PREPARE TRANSACTION 'keep'",
    "ALTER SYSTEM SET work_mem = '1GB'",
    "CREATE EXTENSION IF NOT EXISTS pgcrypto",
]

# File and program access and privilege changes: refused because an ordinary
# account lacks the rights, which is why the connectors should get one.
PG_PRIVILEGED = [
    "COPY items FROM '/etc/hostname'",
    "COPY items TO '%s'" % OUT_FILE,
    "COPY (SELECT 1) TO PROGRAM 'touch %s'" % OUT_FILE,
    "SELECT pg_read_file('/etc/passwd')",
    "SELECT pg_ls_dir('.')",
    "SELECT lo_import('/etc/hostname')",
    "SET ROLE postgres",
    "SET SESSION AUTHORIZATION postgres",
    "ALTER ROLE velto_app SUPERUSER",
    "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = 'postgres'",
    "SELECT dblink_exec('dbname=hostile_pg', 'DELETE FROM orders')",
]

MARIADB_WRITES = [
    "INSERT INTO items (name) VALUES ('x')",
    "UPDATE items SET price = 0",
    "DELETE FROM orders",
    "DELETE FROM orders RETURNING id",
    "REPLACE INTO items (id, name) VALUES (1, 'x')",
    "INSERT INTO items (id, name) VALUES (1, 'x') ON DUPLICATE KEY UPDATE name = 'y'",
    "INSERT INTO notes VALUES (2, 'not transactional')",
    "DELETE FROM notes",
    "TRUNCATE TABLE orders",
    "DROP TABLE orders",
    "DROP TABLE notes",
    "ALTER TABLE items ADD COLUMN extra int",
    "RENAME TABLE items TO goods",
    "CREATE TABLE extra (id int)",
    "CREATE OR REPLACE TABLE notes (id int)",
    "CREATE TEMPORARY TABLE scratch (id int)",
    "CREATE INDEX items_name ON items (name)",
    "CREATE VIEW v2 AS SELECT 1 AS one",
    "CREATE TABLE copy AS SELECT * FROM items",
    "CREATE PROCEDURE p2() SELECT 1",
    "CREATE TRIGGER trg BEFORE INSERT ON items FOR EACH ROW SET NEW.name = 'x'",
    "CREATE SEQUENCE seq2",
    "CREATE DATABASE other",
    "DROP DATABASE IF EXISTS hostile_mariadb",
    "CREATE USER 'intruder'@'%'",
    "GRANT ALL ON *.* TO 'velto_app'@'127.0.0.1'",
    "SET PASSWORD = PASSWORD('changed')",
    "SELECT 1; DROP TABLE orders",
    "COMMIT",
    "COMMIT; DELETE FROM orders",
    "ROLLBACK",
    "START TRANSACTION",
    "SET autocommit = 1",
    "SET TRANSACTION READ WRITE",
    "SET SESSION TRANSACTION READ WRITE; DELETE FROM orders",
    "XA END 'anything'",
    "SET STATEMENT tx_read_only = 0 FOR DELETE FROM orders",
    "SET STATEMENT tx_read_only = 0 FOR INSERT INTO notes VALUES (3, 'x')",
    "SET STATEMENT tx_read_only = 0 FOR DROP TABLE orders",
    "SET STATEMENT tx_read_only = 0 FOR TRUNCATE TABLE notes",
    "SET STATEMENT tx_read_only = 0 FOR CREATE TABLE extra (id int)",
    "EXECUTE IMMEDIATE 'DELETE FROM orders'",
    "BEGIN NOT ATOMIC DELETE FROM orders; END",
    "BEGIN NOT ATOMIC COMMIT; DELETE FROM orders; END",
    "WITH x AS (SELECT 1) DELETE FROM orders",
    "CALL wipe()",
    "SELECT wipe_fn()",
    "SELECT * FROM items FOR UPDATE",
    "LOCK TABLES items WRITE",
    "OPTIMIZE TABLE items",
    "REPAIR TABLE notes",
]

MARIADB_PRIVILEGED = [
    "SELECT * FROM items INTO OUTFILE '%s'" % OUT_FILE,
    # a trigger definition planted next to the table (a relative name lands in
    # the database's directory) would fire on the application's next INSERT
    "SELECT 'TYPE=TRIGGERS' INTO DUMPFILE 'items.TRG'",
    "SELECT name FROM items LIMIT 1 INTO DUMPFILE '%s'" % OUT_FILE,
    "LOAD DATA INFILE '/etc/hostname' INTO TABLE notes",
    "LOAD DATA LOCAL INFILE '/etc/hostname' INTO TABLE notes",
    "SET GLOBAL read_only = 0",
    "SET GLOBAL max_connections = 5",
    "FLUSH TABLES",
    "SHUTDOWN",
    "INSTALL SONAME 'ha_blackhole'",
]

# Statements that change the session or hold something on the server; the
# next call on the same pooled connection must find none of it.
PG_SESSION_CHANGES = [
    "SET SESSION CHARACTERISTICS AS TRANSACTION READ WRITE",
    "SET default_transaction_read_only = off",
    "SET statement_timeout = 0",
    "SELECT set_config('statement_timeout', '0', false)",
    "SET search_path = pg_catalog",
    "RESET ALL",
    "COMMIT",
    "ROLLBACK",
    "DISCARD ALL",
    "SET SESSION AUTHORIZATION velto_app",
    "SET ROLE velto_app",
    "SELECT pg_advisory_lock(42)",
    "SELECT pg_advisory_lock_shared(43), pg_try_advisory_lock(44)",
    # fails with "out of shared memory", keeping thousands of locks that
    # would stop every new connection to the server
    "SELECT count(pg_advisory_lock(i)) FROM generate_series(1, 1000000) i",
    "PREPARE velto_probe AS SELECT 1",
    "LISTEN velto_channel",
    "DECLARE held CURSOR WITH HOLD FOR SELECT 1",
    "CREATE TEMP TABLE scratch (id int)",
    "SELECT pg_sleep(0.1), set_config('lock_timeout', '1', false)",
]
MARIADB_SESSION_CHANGES = [
    "SET SESSION TRANSACTION READ WRITE",
    "SET SESSION tx_read_only = 0",
    "SET @@session.max_statement_time = 0",
    "SET SESSION sql_mode = ''",
    # the next SELECT would return no rows, and the schema reader would fail
    "SET SESSION sql_select_limit = 0",
    "SET SESSION wait_timeout = 1",
    "SET NAMES latin1",
    "SET @velto = 42",
    "SELECT GET_LOCK('velto', 0)",
    "SELECT GET_LOCK('velto', 0), GET_LOCK('velto2', 0)",
    "BEGIN NOT ATOMIC SET @velto = 1; DO GET_LOCK('velto', 0); END",
    # an open handler blocks a DBA's ALTER TABLE
    "HANDLER items OPEN",
    "PREPARE velto_probe FROM 'SELECT 1'",
    "XA RECOVER",
    # the protocol's reset keeps the active role
    "SET ROLE velto_hostile_role",
    # and the current database: the schema reader would read another one
    "USE information_schema",
]

# What a session looks like from inside: asked on the same pooled
# connection before and after the statement, the answers must be equal.
PG_SESSION_PROBE = """
SELECT pg_backend_pid() AS pid, current_user, session_user, current_setting('statement_timeout') AS timeout,
       current_setting('lock_timeout') AS lock_timeout, current_setting('transaction_read_only') AS ro,
       current_setting('default_transaction_read_only') AS default_ro, current_setting('search_path') AS path,
       (SELECT count(*) FROM pg_prepared_statements) AS prepared,
       (SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND pid = pg_backend_pid()) AS advisory,
       (SELECT count(*) FROM pg_listening_channels()) AS listening,
       (SELECT count(*) FROM pg_cursors WHERE name <> 'velto_rows') AS cursors,
       (SELECT count(*) FROM pg_class WHERE relpersistence = 't') AS temporary
"""
MARIADB_SESSION_PROBE = """
SELECT CONNECTION_ID() AS id, CURRENT_USER() AS user, @@sql_select_limit AS select_limit, @velto AS variable,
       IS_USED_LOCK('velto') AS lock1, IS_USED_LOCK('velto2') AS lock2, @@tx_read_only AS ro,
       @@max_statement_time AS time_limit, @@sql_mode AS mode, @@character_set_client AS charset,
       @@wait_timeout AS wait, CURRENT_ROLE() AS role, DATABASE() AS db
"""
# statements that find what a session kept; each must fail on a clean one
MARIADB_LEFTOVERS = ["EXECUTE velto_probe", "HANDLER items READ FIRST"]


# --------------------------------------------------------------------------
# fingerprints taken with the administrator account


def _pg_fingerprint(server, database):
    queries = [
        """SELECT n.nspname, c.relname, c.relkind, pg_get_userbyid(c.relowner), c.relacl::text,
                  obj_description(c.oid)
           FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
           WHERE n.nspname NOT IN ('pg_catalog', 'information_schema') AND n.nspname !~ '^pg_toast'
           ORDER BY 1, 2""",
        """SELECT attrelid::regclass::text, attname, format_type(atttypid, atttypmod), attnotnull
           FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid JOIN pg_namespace n ON n.oid = c.relnamespace
           WHERE n.nspname = 'public' AND attnum > 0 ORDER BY 1, 2""",
        "SELECT proname, prosrc FROM pg_proc WHERE pronamespace = 'public'::regnamespace ORDER BY 1",
        "SELECT md5(string_agg(i::text, ',' ORDER BY i.id)) FROM items i",
        "SELECT md5(string_agg(o::text, ',' ORDER BY o.id)) FROM orders o",
        "SELECT last_value, is_called FROM items_id_seq",
        "SELECT count(*) FROM pg_largeobject_metadata",
        "SELECT datname FROM pg_database ORDER BY 1",
        "SELECT rolname, rolsuper, rolcanlogin FROM pg_roles ORDER BY 1",
        "SELECT extname FROM pg_extension ORDER BY 1",
        "SELECT gid FROM pg_prepared_xacts",
        "SELECT name, setting FROM pg_file_settings WHERE sourcefile LIKE '%auto.conf'",
    ]
    return [server.admin_query(q, database) for q in queries] + [os.path.exists(OUT_FILE)]


def _mariadb_fingerprint(server, database):
    queries = [
        """SELECT TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE, ENGINE, AUTO_INCREMENT, TABLE_COMMENT
           FROM information_schema.TABLES
           WHERE TABLE_SCHEMA NOT IN ('mysql', 'information_schema', 'performance_schema', 'sys')
           ORDER BY 1, 2""",
        """SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE FROM information_schema.COLUMNS
           WHERE TABLE_SCHEMA = DATABASE() ORDER BY 1, 2""",
        "SELECT ROUTINE_NAME, ROUTINE_DEFINITION FROM information_schema.ROUTINES ORDER BY 1",
        "SELECT TRIGGER_NAME FROM information_schema.TRIGGERS ORDER BY 1",
        "SELECT INDEX_NAME, COLUMN_NAME FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = DATABASE() ORDER BY 1, 2",
        "CHECKSUM TABLE items, orders, notes EXTENDED",
        "SELECT User, Host, Priv FROM mysql.global_priv ORDER BY 1, 2",
        "SELECT Db, User, Select_priv, Insert_priv FROM mysql.db ORDER BY 1, 2",
        "SELECT SCHEMA_NAME FROM information_schema.SCHEMATA ORDER BY 1",
        "SELECT @@GLOBAL.read_only, @@GLOBAL.max_connections",
    ]
    planted = os.path.join(server.datadir, database, "items.TRG")
    return [server.admin_query(q, database) for q in queries] + [os.path.exists(OUT_FILE), os.path.exists(planted)]


def _dump(argv):
    out = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout
    # pg_dump frames its output with a random \restrict key on every run
    lines = [line for line in out.splitlines(True) if not line.startswith((b"\\restrict ", b"\\unrestrict "))]
    return hashlib.sha256(b"".join(lines)).hexdigest()


def _pg_dump(server, database):
    return _dump([os.path.join(server.bindir, "pg_dump"), "--no-sync", "-d", server.admin_url(database).replace("+psycopg", "")])


def _mariadb_dump(server, database):
    tool = shutil.which("mariadb-dump") or shutil.which("mysqldump")
    return _dump([tool, "--no-defaults", "--socket=%s" % server.socket_path, "-uroot", "--routines", "--triggers",
                  "--skip-dump-date", "--databases", database])


# --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def pg_db(postgresql_server):
    url = postgresql_server.create_database("hostile_pg", PG_SETUP)
    before = _pg_dump(postgresql_server, "hostile_pg")
    yield postgresql_server, url
    assert _pg_dump(postgresql_server, "hostile_pg") == before, "pg_dump of the database changed"


@pytest.fixture(scope="module")
def mariadb_db(mariadb_server):
    url = mariadb_server.create_database("hostile_mariadb", MARIADB_SETUP)
    mariadb_server.admin_execute(["CREATE ROLE IF NOT EXISTS velto_hostile_role",
                                  "GRANT velto_hostile_role TO 'velto_app'@'127.0.0.1'"])
    before = _mariadb_dump(mariadb_server, "hostile_mariadb")
    yield mariadb_server, url
    assert _mariadb_dump(mariadb_server, "hostile_mariadb") == before, "mariadb-dump of the database changed"


def _refused_unchanged(run, fingerprint, statement):
    before = fingerprint()
    text = run(statement)
    after = fingerprint()
    assert text.startswith("Error: "), "not refused: %r -> %r" % (statement, text)
    assert "\n" not in text
    assert after == before, "data changed by %r" % statement


@pytest.fixture(autouse=True)
def _no_out_file():
    if os.path.exists(OUT_FILE):
        os.unlink(OUT_FILE)
    yield


def _account(sql_env, server, url, database, variable, account):
    if account == "app":
        sql_env.set(**{variable: url})
    else:
        # a privileged account runs only with the opt-in: what still holds there
        sql_env.set(**{variable: server.admin_url(database), "VELTO_SQL_ALLOW_PRIVILEGED": "1"})


@pytest.mark.parametrize("account", ["app", "admin"])
@pytest.mark.parametrize("statement", PG_WRITES)
def test_postgres_refuses_writes(pg_db, sql_env, account, statement):
    server, url = pg_db
    _account(sql_env, server, url, "hostile_pg", "VELTO_POSTGRES_URL", account)
    _refused_unchanged(sqltool.execute_pgdb_query, lambda: _pg_fingerprint(server, "hostile_pg"), statement)


@pytest.mark.parametrize("statement", PG_PRIVILEGED)
def test_postgres_refuses_file_and_privilege_statements(pg_db, sql_env, statement):
    server, url = pg_db
    sql_env.set(VELTO_POSTGRES_URL=url)
    _refused_unchanged(sqltool.execute_pgdb_query, lambda: _pg_fingerprint(server, "hostile_pg"), statement)


@pytest.mark.parametrize("account", ["app", "admin"])
@pytest.mark.parametrize("statement", MARIADB_WRITES)
def test_mariadb_refuses_writes(mariadb_db, sql_env, account, statement):
    server, url = mariadb_db
    _account(sql_env, server, url, "hostile_mariadb", "VELTO_MYSQL_URL", account)
    _refused_unchanged(sqltool.execute_mysql_query, lambda: _mariadb_fingerprint(server, "hostile_mariadb"), statement)


@pytest.mark.parametrize("statement", MARIADB_PRIVILEGED)
def test_mariadb_refuses_file_and_privilege_statements(mariadb_db, sql_env, statement):
    server, url = mariadb_db
    sql_env.set(VELTO_MYSQL_URL=url)
    _refused_unchanged(sqltool.execute_mysql_query, lambda: _mariadb_fingerprint(server, "hostile_mariadb"), statement)


@pytest.mark.parametrize("engine, statement", [("postgresql", s) for s in PG_PRIVILEGED + PG_WRITES[:3]]
                         + [("mariadb", s) for s in MARIADB_PRIVILEGED + MARIADB_WRITES[:3]])
def test_privileged_account_runs_nothing_without_the_opt_in(pg_db, mariadb_db, sql_env, engine, statement):
    if engine == "postgresql":
        server, database, variable, run = pg_db[0], "hostile_pg", "VELTO_POSTGRES_URL", sqltool.execute_pgdb_query
        fingerprint, refusal = _pg_fingerprint, "Error: the PostgreSQL account postgres is privileged: superuser"
    else:
        server, database, variable, run = (mariadb_db[0], "hostile_mariadb", "VELTO_MYSQL_URL",
                                           sqltool.execute_mysql_query)
        fingerprint = _mariadb_fingerprint
        refusal = "Error: the MySQL/MariaDB account root@127.0.0.1 is privileged: ALL PRIVILEGES ON *.*"
    sql_env.set(**{variable: server.admin_url(database)})
    before = fingerprint(server, database)
    text = run(statement)
    assert text.startswith(refusal) and "VELTO_SQL_ALLOW_PRIVILEGED=1" in text
    assert fingerprint(server, database) == before


@pytest.mark.parametrize("account", ["app", "admin"])
@pytest.mark.parametrize("change", PG_SESSION_CHANGES)
def test_postgres_leaves_nothing_behind(pg_db, sql_env, account, change):
    server, url = pg_db
    _account(sql_env, server, url, "hostile_pg", "VELTO_POSTGRES_URL", account)
    sql_env.set(VELTO_SQL_TIMEOUT=5)
    # (the rows, not the line naming each result's own file)
    clean = sqltool.execute_pgdb_query(PG_SESSION_PROBE).splitlines()[:-1]
    before = _pg_fingerprint(server, "hostile_pg")
    sqltool.execute_pgdb_query(change)  # may be accepted: then it must be harmless
    assert sqltool.execute_pgdb_query(PG_SESSION_PROBE).splitlines()[:-1] == clean
    assert sqltool.execute_pgdb_query("DELETE FROM orders").startswith("Error: ")
    assert _pg_fingerprint(server, "hostile_pg") == before
    assert _pg_leftovers(server) == []


@pytest.mark.parametrize("account", ["app", "admin"])
@pytest.mark.parametrize("change", MARIADB_SESSION_CHANGES)
def test_mariadb_leaves_nothing_behind(mariadb_db, sql_env, account, change):
    server, url = mariadb_db
    _account(sql_env, server, url, "hostile_mariadb", "VELTO_MYSQL_URL", account)
    sql_env.set(VELTO_SQL_TIMEOUT=5)
    clean = sqltool.execute_mysql_query(MARIADB_SESSION_PROBE).splitlines()[:-1]
    before = _mariadb_fingerprint(server, "hostile_mariadb")
    sqltool.execute_mysql_query(change)
    assert sqltool.execute_mysql_query(MARIADB_SESSION_PROBE).splitlines()[:-1] == clean
    for leftover in MARIADB_LEFTOVERS:
        assert sqltool.execute_mysql_query(leftover).startswith("Error: "), leftover
    assert sqltool.execute_mysql_query("DELETE FROM notes").startswith("Error: ")
    assert sqltool.execute_mysql_query("DROP TABLE notes").startswith("Error: ")
    assert sqltool.execute_mysql_query("SELECT @@tx_read_only, @@max_statement_time").splitlines()[1] == "1 | 5.000000"
    assert _mariadb_fingerprint(server, "hostile_mariadb") == before
    assert _mariadb_leftovers(server, "hostile_mariadb") == []


def test_schema_reader_after_a_select_limit_of_zero(mariadb_db, sql_env):
    server, url = mariadb_db
    sql_env.set(VELTO_MYSQL_URL=url)
    assert sqltool.execute_mysql_query("SET SESSION sql_select_limit = 0").startswith("OK")
    text = sqltool.get_mysql_database_schema()
    assert "TABLE items" in text and "  sample rows (" in text


def test_out_of_shared_memory_leaves_the_server_open_to_new_connections(pg_db, sql_env):
    server, url = pg_db
    sql_env.set(VELTO_POSTGRES_URL=url)
    text = sqltool.execute_pgdb_query("SELECT count(pg_advisory_lock(i)) FROM generate_series(1, 1000000) i")
    assert text.startswith("Error: out of shared memory")
    # a fresh connection of the administrator, outside every pool
    engine = sa.create_engine(server.admin_url("hostile_pg"), poolclass=sa.pool.NullPool)
    try:
        with engine.connect() as connection:
            assert connection.exec_driver_sql(
                "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'").scalar() == 0
    finally:
        engine.dispose()


def test_the_opt_in_really_runs_with_the_privileged_account(pg_db, sql_env):
    # what the refusal holds back: a superuser reads the server's files
    server, _ = pg_db
    sql_env.set(VELTO_POSTGRES_URL=server.admin_url("hostile_pg"), VELTO_SQL_ALLOW_PRIVILEGED="1")
    assert sqltool.execute_pgdb_query("SELECT pg_read_file('PG_VERSION') AS v").splitlines()[1].startswith('"15\\n"')


# --------------------------------------------------------------------------
# what a server kept after a call, seen by the administrator


def _pg_leftovers(server):
    found = server.admin_query(
        """SELECT 'advisory lock ' || objid FROM pg_locks WHERE locktype = 'advisory'
           UNION ALL SELECT 'prepared transaction ' || gid FROM pg_prepared_xacts
           UNION ALL SELECT 'running: ' || query FROM pg_stat_activity
                     WHERE state <> 'idle' AND backend_type = 'client backend' AND pid <> pg_backend_pid()""")
    raw = server.admin_engine("hostile_pg").raw_connection()
    try:
        cur = raw.cursor()
        cur.execute("BEGIN")
        cur.execute("SET LOCAL lock_timeout = '2s'")
        try:
            cur.execute("LOCK TABLE items, orders IN ACCESS EXCLUSIVE MODE")
        except Exception as exc:
            found.append(("lock held: %s" % exc,))
        cur.execute("ROLLBACK")
    finally:
        raw.close()
    return found


def _mariadb_leftovers(server, database):
    found = [("XA %s" % (row,),) for row in server.admin_query("XA RECOVER")]
    found += [("lock %s" % name,) for name in ("velto", "velto2")
              if server.admin_query("SELECT IS_USED_LOCK('%s')" % name)[0][0] is not None]
    found += server.admin_query("SELECT CONCAT('running: ', INFO) FROM information_schema.PROCESSLIST"
                                " WHERE USER = 'velto_app' AND COMMAND <> 'Sleep'")
    raw = server.admin_engine(database).raw_connection()
    try:
        cur = raw.cursor()
        cur.execute("SET SESSION lock_wait_timeout = 2")
        try:
            cur.execute("LOCK TABLES items WRITE, orders WRITE, notes WRITE")
        except Exception as exc:
            found.append(("lock held: %s" % (exc,),))
        cur.execute("UNLOCK TABLES")
    finally:
        raw.close()
    return found


@pytest.mark.parametrize("account", ["app", "admin"])
@pytest.mark.parametrize("statement", ["PREPARE TRANSACTION 'velto_keep'", "PREPARE TRANSACTION 'velto_keep''s'"])
def test_postgres_prepared_transaction_is_rolled_back(spare_postgresql_server, sql_env, account, statement):
    # where prepared transactions are allowed, the statement prepares the
    # call's own transaction, which would outlive the call and the connection
    server = spare_postgresql_server
    url = server.create_database("prepared", ["CREATE TABLE t (x int)"])
    _account(sql_env, server, url, "prepared", "VELTO_POSTGRES_URL", account)
    text = sqltool.execute_pgdb_query(statement)
    assert text.startswith("Error: PREPARE TRANSACTION is not allowed here; the prepared transaction was rolled back")
    assert server.admin_query("SELECT gid FROM pg_prepared_xacts") == []
    assert sqltool.execute_pgdb_query("SELECT count(*) AS n FROM t").splitlines()[1] == "0"
