"""Large schemas at the default size budget, on real servers: every table of
500 with its columns in view, every name of 3,000 with the catalog query
that reads a table's columns, and, when not even the names fit, how many
are left out and the query that lists them; both queries run as given."""

from __future__ import annotations

import re

import pytest

from velto_ai_sdk import sqltool

# 500 tables of eight columns, each but the first referencing another
PG_500 = """DO $$ BEGIN FOR i IN 1..500 LOOP
  EXECUTE format('CREATE TABLE t%s (id int PRIMARY KEY, parent_id int %s, code varchar(20) NOT NULL, name text,
      amount numeric(10,2), active boolean DEFAULT true, created timestamptz NOT NULL, notes text)',
      lpad(i::text, 3, '0'), CASE WHEN i > 1 THEN 'REFERENCES t' || lpad((i / 2)::text, 3, '0') || '(id)' END);
END LOOP; END $$"""
MARIADB_500 = """CREATE PROCEDURE make_tables() BEGIN DECLARE i INT DEFAULT 1; WHILE i <= 500 DO
  SET @s = CONCAT('CREATE TABLE t', LPAD(i, 3, '0'), ' (id int PRIMARY KEY, parent_id int',
      IF(i > 1, CONCAT(' REFERENCES t', LPAD(i DIV 2, 3, '0'), '(id)'), ''), ', code varchar(20) NOT NULL,',
      ' name text, amount decimal(10,2), active boolean DEFAULT true, created datetime NOT NULL, notes text)');
  PREPARE made FROM @s; EXECUTE made; DEALLOCATE PREPARE made; SET i = i + 1; END WHILE; END"""
COLUMNS_500 = ["id", "parent_id", "code", "name", "amount", "active", "created", "notes"]
# 3,000 tables in one statement; MariaDB's in memory, the quickest it makes
PG_3000 = ("DO $$ BEGIN FOR i IN 1..3000 LOOP EXECUTE format("
           "'CREATE TABLE t%s (id int, label varchar(20), amount numeric(8,2))', lpad(i::text, 4, '0'));"
           " END LOOP; END $$")
MARIADB_3000 = """CREATE PROCEDURE make_tables() BEGIN DECLARE i INT DEFAULT 1; WHILE i <= 3000 DO
  SET @s = CONCAT('CREATE TABLE t', LPAD(i, 4, '0'), ' (id int, label varchar(20), amount decimal(8,2)) ENGINE=MEMORY');
  PREPARE made FROM @s; EXECUTE made; DEALLOCATE PREPARE made; SET i = i + 1; END WHILE; END"""


def _in_full(text):
    return re.findall(r"^TABLE (\S+)", text, re.M)


def _on_a_line(text):
    return {name: columns.split(",") for name, columns in re.findall(r"^(\w+)\(([^)]*)\)$", text, re.M)}


def _by_name(text):
    return re.findall(r"^(t\d+)$", text, re.M)


@pytest.fixture(scope="module")
def schemas(postgresql_server, mariadb_server):
    """The four databases, made once; the large MariaDB ones dropped after,
    since the server's catalog reads for every other database slow down
    while it holds thousands of tables."""
    made = {
        ("postgresql", 500): postgresql_server.create_database("large_500", [PG_500]),
        ("postgresql", 3000): postgresql_server.create_database("large_3000", [PG_3000]),
        ("mariadb", 500): mariadb_server.create_database("large_500", [MARIADB_500, "CALL make_tables()"]),
        ("mariadb", 3000): mariadb_server.create_database("large_3000", [MARIADB_3000, "CALL make_tables()"]),
    }
    yield made
    mariadb_server.admin_execute(["DROP DATABASE large_500", "DROP DATABASE large_3000"])


def _use(schemas, sql_env, engine, tables):
    if engine == "postgresql":
        sql_env.set(VELTO_POSTGRES_URL=schemas[(engine, tables)])
        return sqltool.get_pgdb_schema, sqltool.execute_pgdb_query
    sql_env.set(VELTO_MYSQL_URL=schemas[(engine, tables)])
    return sqltool.get_mysql_database_schema, sqltool.execute_mysql_query


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_500_tables_all_with_their_columns_at_the_default_budget(schemas, sql_env, engine):
    read, _ = _use(schemas, sql_env, engine, 500)
    text = read()
    assert len(text) <= 30000
    full, lines = _in_full(text), _on_a_line(text)
    assert sorted(full + list(lines)) == ["t%03d" % i for i in range(1, 501)]
    assert all(columns == COLUMNS_500 for columns in lines.values())
    # those in full are the most referenced: the tables at the top of the tree
    assert full and full == ["t%03d" % i for i in range(1, len(full) + 1)]
    assert "  foreign key: parent_id -> t001 (id)" in text
    assert ("\nWithin 30,000 characters: %d of 500 tables and views in full; %d on one line as name(column,...),"
            " with their columns' names only.\n" % (len(full), len(lines))) in text


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_3000_tables_all_named_with_the_query_for_their_columns(schemas, sql_env, engine):
    read, run = _use(schemas, sql_env, engine, 3000)
    text = read()
    assert len(text) <= 30000
    lines, named = _on_a_line(text), _by_name(text)
    assert sorted(list(lines) + named) == ["t%04d" % i for i in range(1, 3001)]
    assert lines and named and "Not named here" not in text
    assert ("; %s on one line as name(column,...), with their columns' names only; %s by name only."
            % (format(len(lines), ","), format(len(named), ","))) in text
    # the query as given reads a table's columns on this engine
    query = re.search(r"^A table's columns and types: (SELECT .+)$", text, re.M).group(1)
    example = re.search(r"'(t\d{4})'", query).group(1)
    assert example in lines
    table = named[-1]
    result = run(query.replace("'%s'" % example, "'%s'" % table)).splitlines()
    assert [row.split(" | ")[0] for row in result[1:4]] == ["id", "label", "amount"]
    assert result[4] == "(3 rows)"


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_when_not_even_the_names_fit_it_says_how_many_and_how_to_list_them(schemas, sql_env, engine):
    read, run = _use(schemas, sql_env, engine, 3000)
    sql_env.set(VELTO_SQL_SCHEMA_MAX_CHARS="5000")
    text = read()
    assert len(text) <= 5000
    named = list(_on_a_line(text)) + _by_name(text)
    found = re.search(r"^Not named here: ([\d,]+) more; list them with: (SELECT .+)$", text, re.M)
    assert found and int(found.group(1).replace(",", "")) == 3000 - len(named) > 0
    listed = run(found.group(2).replace("%word%", "%t299%")).splitlines()
    assert [row.split(" | ")[-2] for row in listed[1:-2]] == ["t%04d" % i for i in range(2990, 3000)]
