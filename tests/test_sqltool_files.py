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
FILE_LINE = re.compile(r"^File with (.+): (pandas\.read_csv\(.+\))$")


def load_call(text):
    """The call that loads the file the text's last line names."""
    found = FILE_LINE.match(text.splitlines()[-1])
    assert found, text.splitlines()[-1]
    return found.group(2)


def file_of(text):
    """The path the text's last line names."""
    return ast.literal_eval(ast.parse(load_call(text), mode="eval").body.args[0])


def _literal(value):
    return "NULL" if value is None else "'%s'" % value


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


LOAD_WITH_PANDAS = """
import pandas
frame = pandas.read_csv(%r)
with open(%r, "w") as out:
    out.write(frame.to_json(orient="values"))
print(list(frame.columns), frame.dtypes.iloc[0], frame.dtypes.iloc[2], len(frame))
"""


def test_300000_rows_written_with_flat_memory_load_with_pandas_equal_to_what_the_driver_returns(
        db, analysis_environment, monkeypatch, tmp_path):
    # Written by a process of its own, whose memory is measured, and which
    # then writes down what the driver itself returns: numbers as numbers,
    # dates and booleans as the database writes them. (Without the debugging
    # allocator: 1.8 million values are slow to make with it.)
    function = "execute_pgdb_query" if db.name == "postgresql" else "execute_mysql_query"
    expected_path = tmp_path / "expected.json"
    env = dict(os.environ, **{db.variable: db.url, "VELTO_SQL_EXPORT_ROWS": "300000",
                              "VELTO_SQL_RESULTS_DIR": str(db.results)})
    env.pop("PYTHONMALLOC", None)
    out = run_python("""
        import datetime, decimal, json, resource
        import sqlalchemy
        from velto_ai_sdk import sqltool
        run, query = sqltool.%s, %r
        run("SELECT 1")  # the driver, the pool, a connection and the directory, before the measurement
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        text = run(query)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before

        def loaded(value):
            if isinstance(value, decimal.Decimal):
                return float(value)
            if isinstance(value, bool):
                return "t" if value else "f"
            if isinstance(value, datetime.date):
                return value.isoformat()
            return value

        raw = sqlalchemy.create_engine(%r).raw_connection()
        cur = raw.cursor()
        cur.execute(query)
        with open(%r, "w") as out:
            rows = [[loaded(value) for value in row] for row in cur.fetchall()]
            out.write(json.dumps(rows, separators=(",", ":")))
        raw.close()
        print(json.dumps({"grown_kb": grown, "lines": text.splitlines()[-2:]}))
    """ % (function, BIG[db.name], db.url, str(expected_path)), env=env)
    result = json.loads(out.splitlines()[-1])
    count, last = result["lines"]
    assert count == "(200 of 300,000 rows shown)"
    assert last.startswith("File with all 300,000 rows: pandas.read_csv('%s/" % db.results)
    path = file_of(last)
    assert os.path.getsize(path) > 20 * 1024 * 1024
    # 300,000 rows held at once would be hundreds of megabytes in Python
    assert result["grown_kb"] < 20 * 1024, result["grown_kb"]

    # read by the code tool's script, which runs as the same user in a process of its own (the results of
    # another process, and the test's directory, named to its sandbox)
    monkeypatch.setattr(codetool, "python_executable", analysis_environment.python)
    monkeypatch.setenv("VELTO_CODE_READ_PATHS", str(db.results))
    monkeypatch.setenv("VELTO_CODE_WRITE_PATHS", str(tmp_path))
    loaded_path = tmp_path / "loaded.json"
    # numbers read as numbers
    assert codetool.execute_code(LOAD_WITH_PANDAS % (path, str(loaded_path))) == (
        "['id', 'label', 'amount', 'note', 'day', 'even'] int64 float64 300000\n")
    # every value, compared as JSON text (the values hold nothing that
    # pandas and the json module would write differently)
    assert loaded_path.read_text() == expected_path.read_text()


# Words pandas reads as missing by default, a code with a leading zero, the
# empty string and NULL, beside dates, timestamps, numbers and booleans.
WORDS = ["NA", "NULL", "None", "", None, "nan", "N/A", "null"]
CODES = ["007", "", None, "0", "1e3", "NaN", "-0", " 7"]
EXACT = {
    "postgresql": "SELECT * FROM (VALUES %s) AS v(id, word, code, day, at, amount, ratio, flag, big)" % ", ".join(
        "(%d, %s, %s, %s, %s, %s, %s, %s, %s)" % (
            i, _literal(word), _literal(code),
            "NULL::date" if i == 3 else "DATE '2024-02-%02d'" % (20 + i),
            "NULL::timestamp" if i == 4 else "TIMESTAMP '2024-02-29 08:00:0%d.5'" % i if i % 2 else
            "TIMESTAMP '2024-02-29 08:00:0%d'" % i,
            "NULL::numeric(10,2)" if i == 5 else "%d.10::numeric(10,2)" % (5020 + i),
            "NULL::float8" if i == 6 else "%s::float8" % (i / 4),
            "NULL::boolean" if i == 7 else "true" if i % 2 else "false",
            "NULL::bigint" if i == 0 else "%d::bigint" % (9007199254740993 + i))
        for i, (word, code) in enumerate(zip(WORDS, CODES))),
    "mariadb": " UNION ALL ".join(
        "SELECT %d AS id, %s AS word, %s AS code, %s AS day, %s AS at, %s AS amount, %s AS ratio, %s AS flag,"
        " %s AS big" % (
            i, _literal(word), _literal(code),
            "NULL" if i == 3 else "DATE '2024-02-%02d'" % (20 + i),
            "NULL" if i == 4 else "TIMESTAMP '2024-02-29 08:00:0%d.5'" % i if i % 2 else
            "TIMESTAMP '2024-02-29 08:00:0%d'" % i,
            "NULL" if i == 5 else "CAST(%d.10 AS DECIMAL(10,2))" % (5020 + i),
            "NULL" if i == 6 else "CAST(%s AS DOUBLE)" % (i / 4),
            "NULL" if i == 7 else "TRUE" if i % 2 else "FALSE",
            "NULL" if i == 0 else "%d" % (9007199254740993 + i))
        for i, (word, code) in enumerate(zip(WORDS, CODES))),
}
LOAD_AND_SHOW = """
import json, math, pandas
frame = %s

def plain(value):
    if value is None or value is pandas.NA or value is pandas.NaT:
        return None
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, pandas.Timestamp):
        return value.isoformat()
    return value.item() if hasattr(value, "item") else value

print(json.dumps({"rows": [[plain(value) for value in row] for row in frame.astype(object).itertuples(index=False)],
                  "dtypes": [str(dtype) for dtype in frame.dtypes]}))
"""


def _driver_value(value):
    """What the driver returns, as the loaded frame holds it: the file cannot
    tell '' from NULL, pandas holds a date as a timestamp and a decimal as a
    float."""
    if value is None or value == "":
        return None
    if isinstance(value, decimal.Decimal):
        return float(value)
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, datetime.date):
        return datetime.datetime(value.year, value.month, value.day).isoformat()
    return value


def test_the_suggested_call_loads_back_exactly_what_the_driver_returns(db, analysis_environment, monkeypatch):
    text = db.run(EXACT[db.name])
    assert text.splitlines()[-2] == "(8 rows)"
    call = load_call(text)
    monkeypatch.setattr(codetool, "python_executable", analysis_environment.python)
    loaded = json.loads(codetool.execute_code(LOAD_AND_SHOW % call))
    import sqlalchemy

    engine = sqlalchemy.create_engine(db.url, poolclass=sqlalchemy.pool.NullPool)
    raw = engine.raw_connection()
    try:
        cur = raw.cursor()
        cur.execute(EXACT[db.name])
        expected = [[_driver_value(value) for value in row] for row in cur.fetchall()]
    finally:
        raw.close()
        engine.dispose()
    assert loaded["rows"] == expected
    # (the words and codes are text, not missing values or numbers)
    assert [row[1] for row in loaded["rows"]] == ["NA", "NULL", "None", None, None, "nan", "N/A", "null"]
    assert [row[2] for row in loaded["rows"]] == ["007", None, None, "0", "1e3", "NaN", "-0", " 7"]
    assert loaded["dtypes"][3].startswith("datetime64") and loaded["dtypes"][4].startswith("datetime64")
    assert loaded["dtypes"][7] == ("boolean" if db.name == "postgresql" else "Int64")
    assert loaded["dtypes"][8] == "Int64"


def test_the_call_names_columns_by_position_and_holds_nothing_a_statement_wrote(db):
    quote = '"' if db.name == "postgresql" else "`"
    text = db.run("SELECT 1 AS {q}a'), __import__('os').system('x'), ({q}, 'x' AS a, 2 AS a".format(q=quote))
    assert load_call(text) == ("pandas.read_csv(%r, keep_default_na=False, na_values=[''], dtype={0: 'Int64', 1: str,"
                               " 2: 'Int64'})" % file_of(text))


def test_the_file_stops_at_its_row_cap_and_says_more_exist(db):
    text = db.run(BIG[db.name])
    assert text.splitlines()[-1].startswith("File with the first 100,000 rows (more exist; VELTO_SQL_EXPORT_ROWS): ")
    with open(file_of(text), "rb") as file:
        lines = file.read().split(b"\r\n")
    assert len(lines) == 100002 and lines[-1] == b""  # the header, the rows and the end of the last
    assert lines[0] == b"id,label,amount,note,day,even" and lines[-2].startswith(b"100000,")


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
    # at most a batch past it, and a batch of these rows is about a megabyte
    assert 1024 * 1024 - 4096 < os.path.getsize(file_of(text)) < 2 * 1024 * 1024


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
        path = eval(text.splitlines()[-1].split("pandas.read_csv(", 1)[1].split(", keep_default_na=")[0])
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


def test_files_made_ahead_stay_out_of_sight_and_serve_only_their_own_process_and_directory(urls, tmp_path):
    # The next result's file is made ahead, nameless: a directory listing
    # shows only results; a forked child and a new directory get files of
    # their own, each holding its own rows.
    first, second = tmp_path / "first", tmp_path / "second"
    env = {name: value for name, value in os.environ.items() if not name.startswith("VELTO_")}
    env.update(VELTO_POSTGRES_URL=urls["postgresql"], VELTO_SQL_RESULTS_DIR=str(first),
               SECOND_RESULTS_DIR=str(second))
    out = run_python("""
        import json, os, time
        from velto_ai_sdk import sqltool

        def path_of(text):
            return eval(text.splitlines()[-1].split("pandas.read_csv(", 1)[1].split(", keep_default_na=")[0])

        paths = [path_of(sqltool.execute_pgdb_query("SELECT %d AS n" % n)) for n in range(3)]
        time.sleep(0.2)  # the spare is made by now
        listed = sorted(os.listdir(os.path.dirname(paths[0])))
        pid = os.fork()
        if pid == 0:
            child = path_of(sqltool.execute_pgdb_query("SELECT 'child' AS n"))
            with open(os.path.join(os.path.dirname(child), "child.json"), "w") as out:
                json.dump(child, out)
            os._exit(0)
        os.waitpid(pid, 0)
        paths.append(path_of(sqltool.execute_pgdb_query("SELECT 'parent' AS n")))
        os.environ["VELTO_SQL_RESULTS_DIR"] = os.environ["SECOND_RESULTS_DIR"]
        paths.append(path_of(sqltool.execute_pgdb_query("SELECT 'moved' AS n")))
        print(json.dumps({"paths": paths, "listed": listed}))
    """, env=env)
    found = json.loads(out.splitlines()[-1])
    paths = found["paths"] + [json.loads((first / "child.json").read_text())]
    assert found["listed"] == sorted(os.path.basename(path) for path in paths[:3])
    assert len(set(paths)) == 6
    assert [csv_rows(path) for path in paths] == [
        [["n"], ["0"]], [["n"], ["1"]], [["n"], ["2"]], [["n"], ["parent"]], [["n"], ["moved"]],
        [["n"], ["child"]]]
    assert os.path.dirname(paths[4]) == str(second)
    # what is left after the process: the results, named; nothing nameless has a name
    assert sorted(os.listdir(first)) == sorted([os.path.basename(path) for path in paths[:4] + paths[5:]]
                                               + ["child.json"])
    assert os.listdir(second) == [os.path.basename(paths[4])]


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
