"""Privileged accounts are refused, named, and told how to make a read-only
login, unless VELTO_SQL_ALLOW_PRIVILEGED=1; real accounts on real servers."""

from __future__ import annotations

import pytest
from sqlalchemy.engine import make_url

from velto_ai_sdk import sqltool

PASSWORD = "Privileged-pw-1"


@pytest.fixture(scope="module")
def pg_accounts(postgresql_server):
    """Accounts of the test PostgreSQL, by what makes them privileged."""
    url = postgresql_server.create_database("privileges_pg", ["CREATE TABLE t (x int)", "INSERT INTO t VALUES (1)"])
    postgresql_server.admin_execute([
        "DROP ROLE IF EXISTS velto_files, velto_inherits, velto_middle, velto_super_member, velto_roles",
        "CREATE ROLE velto_files LOGIN PASSWORD '%s'" % PASSWORD,
        "GRANT pg_read_server_files TO velto_files",
        # the server role through a role in between
        "CREATE ROLE velto_middle NOLOGIN",
        "GRANT pg_execute_server_program TO velto_middle",
        "CREATE ROLE velto_inherits LOGIN PASSWORD '%s'" % PASSWORD,
        "GRANT velto_middle TO velto_inherits",
        "CREATE ROLE velto_super_member LOGIN PASSWORD '%s'" % PASSWORD,
        "GRANT postgres TO velto_super_member",
        "CREATE ROLE velto_roles LOGIN CREATEROLE PASSWORD '%s'" % PASSWORD,
    ])
    postgresql_server.admin_execute(["GRANT SELECT ON t TO PUBLIC"], "privileges_pg")
    other = lambda user: postgresql_server.url("privileges_pg", user, PASSWORD)  # noqa: E731
    return {
        "ordinary": url,
        "superuser": postgresql_server.admin_url("privileges_pg"),
        "pg_read_server_files": other("velto_files"),
        "inherited pg_execute_server_program": other("velto_inherits"),
        "member of a superuser": other("velto_super_member"),
        "createrole": other("velto_roles"),
    }


@pytest.mark.parametrize("account, privilege", [
    ("superuser", "superuser (COPY ... TO PROGRAM runs programs"),
    ("pg_read_server_files", "member of pg_read_server_files"),
    ("inherited pg_execute_server_program", "member of pg_execute_server_program"),
    ("member of a superuser", "member of the superuser role postgres (SET ROLE postgres"),
    ("createrole", "CREATEROLE (before PostgreSQL 16"),
])
def test_postgres_refuses_privileged_accounts(pg_accounts, sql_env, account, privilege):
    sql_env.set(VELTO_POSTGRES_URL=pg_accounts[account])
    user = make_url(pg_accounts[account]).username
    for text in (sqltool.execute_pgdb_query("SELECT x FROM t"), sqltool.get_pgdb_schema()):
        assert text.startswith("Error: the PostgreSQL account %s is privileged: %s" % (user, privilege)), text
        assert "\n" not in text
        assert "CREATE ROLE velto_reader LOGIN PASSWORD 'choose-a-password'; GRANT CONNECT ON DATABASE" \
               ' "privileges_pg" TO velto_reader;' in text
        assert text.endswith("Or set VELTO_SQL_ALLOW_PRIVILEGED=1 to use this account anyway, accepting that risk.")
    sql_env.set(VELTO_SQL_ALLOW_PRIVILEGED="1")
    assert sqltool.execute_pgdb_query("SELECT x FROM t").splitlines()[:-1] == ["x", "1", "(1 row)"]
    assert sqltool.get_pgdb_schema().startswith('PostgreSQL database "privileges_pg"')


def test_an_ordinary_account_is_not_refused(pg_accounts, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=pg_accounts["ordinary"])
    assert sqltool.execute_pgdb_query("SELECT x FROM t").splitlines()[1] == "1"


def test_the_verdict_follows_the_url(pg_accounts, sql_env):
    for account, refused in [("ordinary", False), ("superuser", True), ("ordinary", False), ("superuser", True)]:
        sql_env.set(VELTO_POSTGRES_URL=pg_accounts[account])
        assert sqltool.execute_pgdb_query("SELECT 1").startswith("Error: ") is refused


@pytest.fixture(scope="module")
def maria_accounts(mariadb_server):
    url = mariadb_server.create_database("privileges_mariadb", ["CREATE TABLE t (x int)", "INSERT INTO t VALUES (1)"])
    host = "'%s'@'127.0.0.1'"
    statements = []
    for user in ("velto_file", "velto_super", "velto_role_user", "velto_reader_role_user"):
        statements += ["DROP USER IF EXISTS " + host % user,
                       "CREATE USER %s IDENTIFIED BY '%s'" % (host % user, PASSWORD),
                       "GRANT SELECT ON privileges_mariadb.* TO " + host % user]
    statements += [
        "GRANT FILE ON *.* TO " + host % "velto_file",
        "GRANT SUPER, PROCESS ON *.* TO " + host % "velto_super",
        "DROP ROLE IF EXISTS velto_filer",
        "CREATE ROLE velto_filer",
        "GRANT FILE ON *.* TO velto_filer",
        "GRANT velto_filer TO " + host % "velto_role_user",
        # a role with nothing administrative in it is no reason to refuse
        "DROP ROLE IF EXISTS velto_reading",
        "CREATE ROLE velto_reading",
        "GRANT SELECT ON privileges_mariadb.* TO velto_reading",
        "GRANT velto_reading TO " + host % "velto_reader_role_user",
    ]
    mariadb_server.admin_execute(statements)
    other = lambda user: mariadb_server.url("privileges_mariadb", user, PASSWORD)  # noqa: E731
    return {
        "ordinary": url,
        "root": mariadb_server.admin_url("privileges_mariadb"),
        "file": other("velto_file"),
        "super": other("velto_super"),
        "file through a role": other("velto_role_user"),
        "reading role": other("velto_reader_role_user"),
    }


@pytest.mark.parametrize("account, privilege", [
    ("root", "ALL PRIVILEGES ON *.* (FILE, SUPER and every other administrative privilege);"),
    ("file", "FILE (SELECT ... INTO OUTFILE and LOAD DATA INFILE write and read files"),
    ("super", "PROCESS ON *.*; SUPER (global settings"),
    ("file through a role", "FILE (SELECT ... INTO OUTFILE"),
])
def test_mariadb_refuses_privileged_accounts(maria_accounts, sql_env, account, privilege):
    sql_env.set(VELTO_MYSQL_URL=maria_accounts[account])
    user = make_url(maria_accounts[account]).username
    for text in (sqltool.execute_mysql_query("SELECT x FROM t"), sqltool.get_mysql_database_schema()):
        assert text.startswith("Error: the MySQL/MariaDB account %s@127.0.0.1 is privileged: %s" % (user, privilege)), text
        assert "CREATE USER 'velto_reader'@'%' IDENTIFIED BY 'choose-a-password'; GRANT SELECT, SHOW VIEW ON" \
               " `privileges_mariadb`.* TO 'velto_reader'@'%';" in text
        assert "VELTO_SQL_ALLOW_PRIVILEGED=1" in text
    sql_env.set(VELTO_SQL_ALLOW_PRIVILEGED="1")
    assert sqltool.execute_mysql_query("SELECT x FROM t").splitlines()[:-1] == ["x", "1", "(1 row)"]


@pytest.mark.parametrize("account", ["ordinary", "reading role"])
def test_mariadb_ordinary_accounts_are_not_refused(maria_accounts, sql_env, account):
    sql_env.set(VELTO_MYSQL_URL=maria_accounts[account])
    assert sqltool.execute_mysql_query("SELECT x FROM t").splitlines()[1] == "1"
    # reading the role's grants switched roles for a moment: the session is back to its own
    assert sqltool.execute_mysql_query("SELECT CURRENT_ROLE() AS r").splitlines()[1] == "NULL"
