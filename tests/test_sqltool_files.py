"""Results as files: every result with rows is also written as CSV, which
the code tool's scripts load with pandas; bounded by rows, time, size and
memory, private to the user, never shared between queries, and gone with
the process. Real servers, and the real code tool for pandas."""

from __future__ import annotations

import ast
import csv
import datetime
import decimal
import json
import os
import re
import stat
import time
from types import SimpleNamespace

import pytest
import sqlalchemy as sa

import velto_ai_sdk.codetool as codetool
from support.child import run_python
from velto_ai_sdk import sqltool

BIG = {
    "postgresql": "SELECT g AS id, md5(g::text) AS label, (g % 1000) * 0.25 AS amount,"
                  " CASE WHEN g % 7 = 0 THEN NULL ELSE 'x, \"y\" ' || g END AS note,"
                  " date '2024-01-01' + g % 365 AS day, g % 2 = 0 AS even"
                  " FROM generate_series(1, 300000) g ORDER BY g",
    "mariadb": "SELECT seq AS id, MD5(seq) AS label, (seq % 1000) * 0.25 AS amount,"
               " IF(seq % 7 = 0, NULL, CONCAT('x, \"y\" ', seq)) AS note,"
               " DATE('2024-01-01') + INTERVAL (seq % 365) DAY AS day, seq % 2 = 0 AS even"
               " FROM seq_1_to_300000 ORDER BY seq",
}
# Rows past the 200 shown that are slow to make, or that fail.
SLOW = {
    "postgresql": "SELECT g, CASE WHEN g > 300 THEN pg_sleep(0.01) END AS s FROM generate_series(1, 100000) g",
    "mariadb": "SELECT seq, IF(seq > 300, SLEEP(0.01), 0) AS s FROM seq_1_to_100000",
}
FAILING_AT = {
    "postgresql": "SELECT g, 1 / (g - %d) AS v FROM generate_series(1, 100000) g",
    "mariadb": "SELECT seq, IF(seq = %d, (SELECT 1 UNION SELECT 2), 0) AS v FROM seq_1_to_100000",
}
ROWS_OF = {
    "postgresql": "SELECT g, repeat('x', %d) AS v FROM generate_series(1, %d) g",
    "mariadb": "SELECT seq, REPEAT('x', %d) AS v FROM seq_1_to_%d",
}
FILE_LINE = re.compile(r"^File with (.+): pandas\.read_csv\((.+)\)$")


def file_of(text):
    """The path the text's last line names."""
    found = FILE_LINE.match(text.splitlines()[-1])
    assert found, text.splitlines()[-1]
    return ast.literal_eval(found.group(2))


def csv_rows(path):
    csv.field_size_limit(100 * 1024 * 1024)
    with open(path, newline="", encoding="utf-8") as file:
        return list(csv.reader(file))


@pytest.fixture(scope="module")
def urls(postgresql_server, mariadb_server):
    return {"postgresql": postgresql_server.create_database("files_pg", []),
            "mariadb": mariadb_server.create_database("files_mariadb", [])}


@pytest.fixture(params=["postgresql", "mariadb"])
def db(request, urls, sql_env, tmp_path):
    engine = request.param
    variable = "VELTO_POSTGRES_URL" if engine == "postgresql" else "VELTO_MYSQL_URL"
    results = tmp_path / "results"
    sql_env.set(**{variable: urls[engine], "VELTO_SQL_RESULTS_DIR": str(results)})
    run = sqltool.execute_pgdb_query if engine == "postgresql" else sqltool.execute_mysql_query
    return SimpleNamespace(name=engine, url=urls[engine], variable=variable, run=run, results=results,
                           files=lambda: sorted(os.listdir(results)) if results.exists() else [])


def driver_rows(url, query):
    engine = sa.create_engine(url)
    raw = engine.raw_connection()
    try:
        cur = raw.cursor()
        cur.execute(query)
        return cur.fetchall()
    finally:
        raw.close()
        engine.dispose()


def as_loaded(value):
    """What pandas gives for a value the driver returns, written as the
    database writes it: numbers as numbers, dates and booleans as their text."""
    if isinstance(value, decimal.Decimal):
        return float(value)
    if isinstance(value, bool):
        return "t" if value else "f"
    if isinstance(value, datetime.date):
        return value.isoformat()
    return value


LOAD_WITH_PANDAS = """
import json, pandas
frame = pandas.read_csv(%r)
rows = frame.astype(object).where(frame.notna(), None).values.tolist()
with open(%r, "w") as out:
    json.dump({"columns": list(frame.columns), "dtypes": [str(t) for t in frame.dtypes], "rows": rows}, out)
print(len(rows))
"""


def test_300000_rows_load_with_pandas_in_the_code_tool_equal_to_what_the_driver_returns(
        db, sql_env, analysis_environment, monkeypatch, tmp_path):
    sql_env.set(VELTO_SQL_EXPORT_ROWS="300000")
    text = db.run(BIG[db.name])
    assert text.splitlines()[-2] == "(200 of 300,000 rows shown)"
    assert text.splitlines()[-1].startswith("File with all 300,000 rows: pandas.read_csv('%s/" % db.results)
    path = file_of(text)
    # the code tool's script runs as the same user, in a process of its own
    monkeypatch.setattr(codetool, "python_executable", analysis_environment.python)
    loaded_path = tmp_path / "loaded.json"
    assert codetool.execute_code(LOAD_WITH_PANDAS % (path, str(loaded_path))) == "300000\n"
    loaded = json.loads(loaded_path.read_text())
    assert loaded["columns"] == ["id", "label", "amount", "note", "day", "even"]
    assert (loaded["dtypes"][0], loaded["dtypes"][2]) == ("int64", "float64")  # numbers read as numbers
    expected = [[as_loaded(value) for value in row] for row in driver_rows(db.url, BIG[db.name])]
    assert loaded["rows"] == expected


def test_the_file_stops_at_its_row_cap_and_says_more_exist(db):
    text = db.run(BIG[db.name])
    assert text.splitlines()[-1].startswith("File with the first 100,000 rows (more exist; VELTO_SQL_EXPORT_ROWS): ")
    rows = csv_rows(file_of(text))
    assert len(rows) == 100001 and rows[0][:2] == ["id", "label"] and rows[-1][0] == "100000"


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_memory_stays_flat_while_writing(urls, engine, tmp_path):
    variable = "VELTO_POSTGRES_URL" if engine == "postgresql" else "VELTO_MYSQL_URL"
    function = "execute_pgdb_query" if engine == "postgresql" else "execute_mysql_query"
    env = dict(os.environ, **{variable: urls[engine], "VELTO_SQL_EXPORT_ROWS": "300000",
                              "VELTO_SQL_RESULTS_DIR": str(tmp_path)})
    out = run_python("""
        import json, resource
        from velto_ai_sdk import sqltool
        run = sqltool.%s
        run("SELECT 1")  # the driver, the pool, a connection and the directory, before the measurement
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        text = run(%r)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(json.dumps({"grown_kb": grown, "last": text.splitlines()[-1]}))
    """ % (function, BIG[engine]), env=env)
    result = json.loads(out.splitlines()[-1])
    assert result["last"].startswith("File with all 300,000 rows: ")
    size = os.path.getsize(file_of(result["last"]))
    assert size > 20 * 1024 * 1024
    # 300,000 rows held at once would be hundreds of megabytes in Python
    assert result["grown_kb"] < 20 * 1024, result["grown_kb"]


def test_two_queries_never_share_a_file_and_the_directory_is_private(db):
    first, second = (file_of(db.run("SELECT 1 AS one, 'two' AS two")) for _ in range(2))
    assert first != second
    assert os.path.dirname(first) == os.path.dirname(second) == str(db.results)
    assert csv_rows(first) == csv_rows(second) == [["one", "two"], ["1", "two"]]
    assert stat.S_IMODE(os.stat(db.results).st_mode) == 0o700
    for path in (first, second):
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    # nothing else in it, and names no one can guess: 128 random bits
    assert all(re.fullmatch(r"[0-9a-f]{32}\.csv", name) for name in db.files()) and len(db.files()) == 2


def test_results_without_rows_and_failed_calls_leave_no_file(db):
    assert db.run("SELECT 1 AS one WHERE 1 = 0").splitlines() == ["one", "(0 rows)"]
    # rows were written before the statement failed: the text names no file, so none is kept
    text = db.run(FAILING_AT[db.name] % 3)
    assert text.startswith("Error: ")
    assert db.files() == []


def test_files_turned_off(db, sql_env):
    sql_env.set(VELTO_SQL_EXPORT_ROWS="0")
    assert db.run("SELECT 1 AS one").splitlines() == ["one", "1", "(1 row)"]
    assert db.files() == []


def test_names_and_values_of_a_hostile_result_stay_inside_its_file(db):
    quote = '"' if db.name == "postgresql" else "`"
    names = ["../../escaped", "/etc/passwd", "a,b\nc"]
    values = ["=cmd|' /C calc'!A0", '+1", "2', "@SUM(1)\r\n-2"]
    select = ", ".join("'%s' AS %s%s%s" % (value.replace("'", "''"), quote, name, quote)
                       for value, name in zip(values, names))
    text = db.run("SELECT " + select)
    path = file_of(text)
    assert os.path.dirname(path) == str(db.results) and db.files() == [os.path.basename(path)]
    # the header and the values verbatim: no prefix against spreadsheet formulas changes the data
    assert csv_rows(path) == [names, values]


def test_a_huge_cell_is_in_the_file_whole(db):
    query = "SELECT repeat('x', 10000000) AS v" if db.name == "postgresql" else "SELECT REPEAT('x', 10000000) AS v"
    text = db.run(query)
    assert text.splitlines()[1] == "x" * 99 + "\u2026"
    rows = csv_rows(file_of(text))
    assert rows == [["v"], ["x" * 10000000]]


def test_the_size_limit_removes_the_oldest_files_then_cuts(db, sql_env):
    sql_env.set(VELTO_SQL_RESULTS_MAX_BYTES=str(1024 * 1024))
    paths = [file_of(db.run(ROWS_OF[db.name] % (1000, 400))) for _ in range(3)]  # about 400 kB each
    assert not os.path.exists(paths[0]) and all(os.path.exists(path) for path in paths[1:])
    text = db.run(ROWS_OF[db.name] % (1000, 3000))  # 3 MB
    assert re.match(r"File with the first ([\d,]+) rows \(cut at the size limit of 1,048,576 bytes;"
                    r" VELTO_SQL_RESULTS_MAX_BYTES\): ", text.splitlines()[-1])
    assert not any(os.path.exists(path) for path in paths)
    assert 1024 * 1024 <= os.path.getsize(file_of(text)) < 1024 * 1024 + 2000  # at most a row past it


def test_the_time_limit_cuts_the_file_not_the_text(db, sql_env):
    # rows past the shown ones take 10 ms each: the file gets what the limit allows
    sql_env.set(VELTO_SQL_TIMEOUT="2")
    started = time.monotonic()
    text = db.run(SLOW[db.name])
    elapsed = time.monotonic() - started
    lines = text.splitlines()
    assert len(lines) == 203 and lines[200] == "200 | " + ("NULL" if db.name == "postgresql" else "0")
    assert lines[-1].startswith("File with the first ")
    assert "(cut at the time limit of 2 s; VELTO_SQL_TIMEOUT): " in lines[-1]
    assert len(csv_rows(file_of(text))) > 201
    assert elapsed < 2 + 3  # the limit, the watchdog's margin and grace
    assert db.run("SELECT 1 AS one").splitlines()[1] == "1"


def test_a_failure_past_the_shown_rows_cuts_the_file_not_the_text(db):
    text = db.run(FAILING_AT[db.name] % 5000)
    lines = text.splitlines()
    assert len(lines) == 203
    found = re.match(r"File with the first ([\d,]+) rows \(cut where reading on failed: (.+)\): ", lines[-1])
    assert found and ("division by zero" in found.group(2) or "(1242)" in found.group(2))
    rows = csv_rows(file_of(text))
    assert len(rows) - 1 == int(found.group(1).replace(",", "")) < 5000
    assert db.run("SELECT 1 AS one").splitlines()[1] == "1"


def test_the_default_directory_goes_with_the_process_and_not_with_a_forked_child(urls):
    env = {name: value for name, value in os.environ.items() if not name.startswith("VELTO_")}
    env["VELTO_POSTGRES_URL"] = urls["postgresql"]
    out = run_python("""
        import os, sys
        from velto_ai_sdk import sqltool
        text = sqltool.execute_pgdb_query("SELECT 1 AS one")
        path = eval(text.splitlines()[-1].split("pandas.read_csv(", 1)[1][:-1])
        directory = os.path.dirname(path)
        pid = os.fork()
        if pid == 0:
            sys.exit(0)  # a forked child runs the exit handlers too
        os.waitpid(pid, 0)
        print(directory, oct(os.stat(directory).st_mode & 0o777), os.path.exists(path))
    """, env=env)
    directory, mode, exists = out.split()
    assert mode == "0o700" and exists == "True"
    assert os.path.basename(directory).startswith("velto-sql-results-")
    assert not os.path.exists(directory)


def test_the_directory_setting(db, sql_env, tmp_path):
    made = tmp_path / "made" / "here"
    sql_env.set(VELTO_SQL_RESULTS_DIR=str(made))
    assert file_of(db.run("SELECT 1 AS one")).startswith(str(made) + "/")
    assert stat.S_IMODE(os.stat(made).st_mode) == 0o700
    shared = tmp_path / "shared"
    shared.mkdir(mode=0o755)
    os.chmod(shared, 0o755)
    sql_env.set(VELTO_SQL_RESULTS_DIR=str(shared))
    assert db.run("SELECT 1 AS one") == (
        "Error: VELTO_SQL_RESULTS_DIR is %s, which other users may open (mode 755); results need a directory only"
        " you can open: chmod 700 it" % shared)
    if os.geteuid() == 0:
        # as root, the one user here that can make a directory another's
        theirs = tmp_path / "theirs"
        theirs.mkdir(mode=0o700)
        os.chown(theirs, 65534, 65534)
        sql_env.set(VELTO_SQL_RESULTS_DIR=str(theirs))
        assert db.run("SELECT 1 AS one") == (
            "Error: VELTO_SQL_RESULTS_DIR is %s, which belongs to another user; results need a directory of your"
            " own" % theirs)
    (tmp_path / "plain").write_text("")
    sql_env.set(VELTO_SQL_RESULTS_DIR=str(tmp_path / "plain"))
    assert db.run("SELECT 1 AS one") == "Error: VELTO_SQL_RESULTS_DIR is %s, which is not a directory" % (
        tmp_path / "plain")
