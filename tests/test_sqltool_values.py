"""What a result costs and how its values read: memory bounded by bytes
(measured in a child process), values as the database writes them, control
characters escaped. Real servers."""

from __future__ import annotations

import json
import os

import pytest

from support.child import run_python
from velto_ai_sdk import sqltool

WIDE_ROWS = {
    # 201 rows of 10 MB: 2 GB if read by rows, not bytes
    "postgresql": ("VELTO_POSTGRES_URL", "execute_pgdb_query",
                   "SELECT g, repeat('x', 10000000) FROM generate_series(1, 201) g"),
    "mariadb": ("VELTO_MYSQL_URL", "execute_mysql_query", "SELECT seq, REPEAT('x', 10000000) FROM seq_1_to_201"),
}
BUDGET_FOOTER = ("(1 row shown; more rows exist, but the rows shown already reach the size limit of 4,194,304 bytes"
                 " (VELTO_SQL_MAX_RESULT_BYTES), so select fewer or narrower columns, or fewer rows)")


@pytest.fixture(scope="module")
def urls(postgresql_server, mariadb_server):
    return {"postgresql": postgresql_server.create_database("values_pg", []),
            "mariadb": mariadb_server.create_database("values_mariadb", [])}


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_wide_rows_cost_megabytes_not_gigabytes(urls, engine):
    # the file takes the rows whole, up to its size limit
    variable, function, query = WIDE_ROWS[engine]
    env = dict(os.environ, **{variable: urls[engine], "VELTO_SQL_RESULTS_MAX_BYTES": "30000000"})
    out = run_python("""
        import json, resource
        from velto_ai_sdk import sqltool
        run = sqltool.%s
        run("SELECT 1")  # the driver, the pool and a connection, before the measurement
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        text = run(%r)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(json.dumps({"grown_kb": grown, "lines": text.splitlines()}))
    """ % (function, query), env=env)
    result = json.loads(out.splitlines()[-1])
    # about 50 MB without the result's file: each 10 MB value is held a few
    # times over while it is converted; writing it whole to the file holds
    # it twice more (its CSV line, and that line encoded)
    assert result["grown_kb"] < 128 * 1024, result["grown_kb"]
    lines = result["lines"]
    assert len(lines) == 4 and lines[1].startswith("1 | " + "x" * 50)
    assert lines[2].startswith(BUDGET_FOOTER)
    assert lines[3].startswith("File with the first 3 rows (cut at the size limit of 30,000,000 bytes;")


@pytest.fixture(params=["postgresql", "mariadb"])
def db(request, urls, sql_env):
    variable = "VELTO_POSTGRES_URL" if request.param == "postgresql" else "VELTO_MYSQL_URL"
    sql_env.set(**{variable: urls[request.param]})
    run = sqltool.execute_pgdb_query if request.param == "postgresql" else sqltool.execute_mysql_query
    rows = ("SELECT g, repeat('y', 3000) AS v FROM generate_series(1, 10) g" if request.param == "postgresql"
            else "SELECT seq AS g, REPEAT('y', 3000) AS v FROM seq_1_to_10")
    return run, rows


@pytest.mark.parametrize("budget, shown", [("10000", 3), ("12000", 3), ("14000", 4), ("1000000", 10)])
def test_byte_budget_stops_the_fetch_and_says_so(db, sql_env, budget, shown):
    run, rows = db
    sql_env.set(VELTO_SQL_MAX_RESULT_BYTES=budget)
    lines = run(rows).splitlines()
    assert [line.split(" | ")[0] for line in lines[1:-2]] == [str(i) for i in range(1, shown + 1)]
    assert ("VELTO_SQL_MAX_RESULT_BYTES" in lines[-2]) is (shown < 10)
    # the file is not held to the budget
    assert lines[-1].startswith("File with all 10 rows: ")


def test_the_row_cap_still_comes_first_when_it_is_reached_first(db, sql_env):
    run, rows = db
    sql_env.set(VELTO_SQL_MAX_ROWS="2", VELTO_SQL_MAX_RESULT_BYTES="1000000")
    assert run(rows).splitlines()[-2] == "(2 of 10 rows shown) Values longer than 100 characters are shortened," \
                                         " ending in \u2026; the file holds them in full."


def test_values_python_cannot_hold_are_shown_as_postgresql_writes_them(urls, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=urls["postgresql"])
    text = sqltool.execute_pgdb_query(
        "SELECT 'infinity'::date AS d, '-infinity'::timestamptz AS t, '0044-03-15 BC'::date AS bc,"
        " '24:00'::time AS midnight, ARRAY['infinity'::date, '2024-05-01'] AS a, '2024-05-01'::date AS ok, 7 AS n")
    assert text.splitlines()[1:3] == [
        "infinity | -infinity | 0044-03-15 BC | 24:00:00 | {infinity,2024-05-01} | 2024-05-01 | 7", "(1 row)"]


def test_mariadb_zero_dates_are_shown_as_written(urls, sql_env):
    sql_env.set(VELTO_MYSQL_URL=urls["mariadb"])
    assert sqltool.execute_mysql_query("SELECT CAST('0000-00-00' AS DATE) AS d, 1 AS n").splitlines()[1] == \
        "0000-00-00 | 1"


@pytest.mark.parametrize("engine, query, expected", [
    ("postgresql", "SELECT E'red\\x1b[31m!\\x07' AS \"col\\x1b\", U&'\\202Eabc' AS bidi, E'a\\x7fb\\u2028c' AS c",
     # (a quoted name keeps its backslash: a bare cell is written as it is)
     ["col\\x1b | bidi | c", '"red\\u001b[31m!\\u0007" | "\\u202eabc" | "a\\u007fb\\u2028c"']),
    ("mariadb", "SELECT CONVERT(CONCAT('a', CHAR(0), 'b', CHAR(27), '[2J') USING utf8mb4) AS v,"
     " CONVERT(CONCAT('x', CHAR(13), 'y') USING utf8mb4) AS w",
     ["v | w", '"a\\u0000b\\u001b[2J" | "x\\ry"']),
])
def test_control_characters_are_escaped(urls, sql_env, engine, query, expected):
    variable, run = (("VELTO_POSTGRES_URL", sqltool.execute_pgdb_query) if engine == "postgresql"
                     else ("VELTO_MYSQL_URL", sqltool.execute_mysql_query))
    sql_env.set(**{variable: urls[engine]})
    assert run(query).splitlines()[:2] == expected


def test_control_characters_in_an_error_are_escaped(urls, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=urls["postgresql"])
    text = sqltool.execute_pgdb_query('SELECT * FROM "gone\x1b[2J\x07"')
    assert text.startswith("Error: ") and '"gone\\u001b[2J\\u0007" does not exist' in text
    assert "\x1b" not in text and "\x07" not in text


# --------------------------------------------------------------------------
# one way to read a cell back

TRICKY = ["a | b", "x|y", "line\nbreak", "NULL", "", None, " lead", "trail ", '"quoted"', 'in "the" middle',
          "back\\slash", "back\\nslash", "ends\u2026", "tab\there", "\u202eabc", "null", "plain"]


def parse_line(line):
    """The cells of a line by the documented rule: NULL, bare text up to the
    separator, or a JSON string; an ellipsis after a cell marks it cut."""
    cells, position, decoder = [], 0, json.JSONDecoder()
    while True:
        if line.startswith('"', position):
            value, position = decoder.raw_decode(line, position)
        else:
            end = line.find(" | ", position)
            end = len(line) if end < 0 else end
            value = line[position:end]
            position = end
            value = None if value == "NULL" else value
        cells.append(value)
        if position == len(line):
            return cells
        assert line.startswith(" | ", position), (line, position)
        position += 3


@pytest.fixture(scope="module")
def tricky(postgresql_server, mariadb_server):
    values = ", ".join("(%d, %s)" % (i, "NULL" if v is None else "'%s'" % v.replace("'", "''"))
                       for i, v in enumerate(TRICKY))
    pg = postgresql_server.create_database("values_tricky_pg", [
        "CREATE TABLE tricky (id int PRIMARY KEY, v text)", "INSERT INTO tricky VALUES " + values])
    maria = mariadb_server.create_database("values_tricky_mariadb", [
        "CREATE TABLE tricky (id int PRIMARY KEY, v text)",
        "INSERT INTO tricky VALUES " + values.replace("\\", "\\\\")])
    return {"postgresql": ("VELTO_POSTGRES_URL", pg, sqltool.execute_pgdb_query, sqltool.get_pgdb_schema),
            "mariadb": ("VELTO_MYSQL_URL", maria, sqltool.execute_mysql_query, sqltool.get_mysql_database_schema)}


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_every_value_reads_back_one_way(tricky, sql_env, engine):
    variable, url, run, _ = tricky[engine]
    sql_env.set(**{variable: url, "VELTO_SQL_MAX_VALUE_CHARS": "20"})
    lines = run("SELECT v, id, v AS again FROM tricky ORDER BY id").splitlines()
    assert parse_line(lines[0]) == ["v", "id", "again"]
    rows = [parse_line(line) for line in lines[1:1 + len(TRICKY)]]
    assert rows == [[value, str(i), value] for i, value in enumerate(TRICKY)]
    # NULL, the string 'NULL' and '' are three different cells
    assert lines[1 + TRICKY.index(None)].startswith("NULL | ")
    assert lines[1 + TRICKY.index("NULL")].startswith('"NULL" | ')
    assert lines[1 + TRICKY.index("")].startswith('"" | ')
    assert lines[1 + TRICKY.index("back\\slash")].startswith("back\\slash | ")


def test_a_cut_value_ends_in_the_ellipsis_outside_its_quotes(urls, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=urls["postgresql"], VELTO_SQL_MAX_VALUE_CHARS="10")
    line = sqltool.execute_pgdb_query(
        "SELECT repeat('ab', 20) AS a, 'x | ' || repeat('y', 20) AS b, repeat(E'\\n', 20) AS c, 'short' AS d"
    ).splitlines()[1]
    assert line == 'ababababa\u2026 | "x | yyyyy"\u2026 | "\\n\\n\\n\\n"\u2026 | short'


TYPED = {
    "postgresql": [
        "CREATE TABLE typed (id int PRIMARY KEY, flag boolean, span interval, back interval, at time, day date,"
        " moment timestamp, amount numeric(10,2), tiny numeric(12,10), ratio float8, fraction float8, raw bytea,"
        " doc jsonb, tags text[])",
        "INSERT INTO typed VALUES (1, true, '2 months 3 days', '-01:49:20', '08:00', '2024-02-29',"
        " '2024-02-29 08:00:00.5', 5020.10, 0, 100, 0.1, '\\x00ff', '{\"a\": 1}', '{a,\"b c\"}')",
    ],
    "mariadb": [
        "CREATE TABLE typed (id int PRIMARY KEY, flag boolean, at time, back time, day date, moment datetime(6),"
        " amount decimal(10,2), tiny decimal(12,10), ratio double, fraction double, raw varbinary(8), bits bit(3))",
        "INSERT INTO typed VALUES (1, true, '08:00', '-01:49:20', '2024-02-29', '2024-02-29 08:00:00.5', 5020.10,"
        " 0, 100, 0.1, x'00ff', b'101')",
    ],
}
# as psql and the mysql client (--binary-as-hex) print them
PRINTED = {
    "postgresql": "1 | t | 2 mons 3 days | -01:49:20 | 08:00:00 | 2024-02-29 | 2024-02-29 08:00:00.5 | 5020.10"
                  " | 0.0000000000 | 100 | 0.1 | \\x00ff | {\"a\": 1} | {a,\"b c\"}",
    "mariadb": "1 | 1 | 08:00:00 | -01:49:20 | 2024-02-29 | 2024-02-29 08:00:00.500000 | 5020.10 | 0.0000000000"
               " | 100 | 0.1 | 0x00FF | 0x05",
}


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_values_read_as_the_database_prints_them_in_results_and_samples_alike(
        postgresql_server, mariadb_server, sql_env, engine):
    server = postgresql_server if engine == "postgresql" else mariadb_server
    url = server.create_database("values_typed_" + engine, TYPED[engine])
    variable, run, schema = (("VELTO_POSTGRES_URL", sqltool.execute_pgdb_query, sqltool.get_pgdb_schema)
                             if engine == "postgresql" else
                             ("VELTO_MYSQL_URL", sqltool.execute_mysql_query, sqltool.get_mysql_database_schema))
    sql_env.set(**{variable: url})
    lines = run("SELECT * FROM typed").splitlines()
    assert lines[1] == PRINTED[engine]
    text = schema()
    # the sample says which column each value is, and writes it the same way
    assert "  sample rows (%s):\n    %s" % (lines[0], PRINTED[engine]) in text


@pytest.mark.parametrize("limit, shown", [
    ("12", "0x0102030405"),  # 12 characters: it fits, so it is whole
    ("11", "0x01020304\u2026"),
    ("8", "0x0102\u2026"),
])
def test_a_binary_value_that_fits_is_shown_whole(urls, sql_env, limit, shown):
    sql_env.set(VELTO_MYSQL_URL=urls["mariadb"], VELTO_SQL_MAX_VALUE_CHARS=limit)
    lines = sqltool.execute_mysql_query("SELECT X'0102030405' AS b").splitlines()
    assert lines[1] == shown
    assert ("shortened" in lines[2]) is shown.endswith("\u2026")
