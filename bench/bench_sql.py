"""Our connectors side by side with LangChain's SQLDatabase.

    .venv/bin/python bench/bench_sql.py [--url postgresql+psycopg://...] [--only rows|schema|floor]
                                        [--before REV] [--repeat N]

Without --url it starts a throwaway PostgreSQL server (and, for the floor
and the schemas, a MariaDB server) with the test suite's helper
(tests/support/servers.py) and removes them afterwards. It makes these
databases:
  bench_rows    one table of 2,000,000 rows;
  bench_schema  500 tables (8 columns, a primary key, all but the first
                with a foreign key to another, 5 rows each), on each server;
  bench_schema_3000  3,000 tables of 3 columns, on each server;
  bench_floor   an empty database on each server, owned by the ordinary
                account the connectors are given.
With --before REV the schema measurements also run the connectors as they
were at git revision REV (extracted to a temporary directory), side by
side, each side's processes taking turns --repeat times (3).
It measures:
  1. SELECT * over the 2,000,000 rows: our execute_pgdb_query, which also
     writes the result's file (its first VELTO_SQL_EXPORT_ROWS rows, 100,000
     by default), against SQLDatabase.run: wall time, peak Python
     allocations (tracemalloc) and the growth of the process's peak resident
     memory; and ours without the file (VELTO_SQL_EXPORT_ROWS=0), the cost
     of the file being the difference;
  1b. the same for the first 100,000 rows (WHERE id <= 100000), all of which
     go to the file;
  2. the schema texts at the default size budget (30,000 characters), of
     500 and of 3,000 tables: how many tables have their columns in view
     and how many are named, characters, and the time of a first call (a
     fresh process) and of later calls (best of three), ours beside REV's
     and SQLDatabase.get_table_info() (PostgreSQL; it prints every table
     whole, with no budget); and the 500 tables with a budget large enough
     to hold everything;
  3. the per-query floor: SELECT 1 through execute_pgdb_query and
     execute_mysql_query beside SQLDatabase.run on the same server and
     account: the median of blocks of calls, the two sides' blocks taking
     turns so that drift on the machine falls on both alike; and our round
     trips per call, counted.
Measurements 1 and 2 run each side in a fresh process, so that one does not
pay for the other's memory. It only prints; it asserts nothing.
"""

from __future__ import annotations

import argparse
import ast
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "src"))
sys.path.insert(0, os.path.join(ROOT, "tests"))

ROWS = 2_000_000
TABLES = 500
QUERY = "SELECT * FROM big"
QUERY_100K = "SELECT * FROM big WHERE id <= 100000"
FLOOR_CALLS = 200  # per block
FLOOR_BLOCKS = 31  # per side


def setup(create_database, only=None) -> dict:
    """create_database(name, statements) -> URL, as PostgresServer.create_database."""
    urls = {}
    if only in (None, "rows"):
        urls["rows"] = _rows(create_database)
    if only in (None, "schema"):
        urls["schema"] = _schema(create_database)
        urls["schema3000"] = create_database("bench_schema_3000", [PG_3000])
    return urls


def _rows(create_database) -> str:
    return create_database("bench_rows", [
        "CREATE TABLE big AS SELECT g AS id, md5(g::text) AS label, (g %% 1000) * 0.25 AS amount,"
        " timestamp '2024-01-01' + g * interval '1 minute' AS created FROM generate_series(1, %d) g" % ROWS,
        "ALTER TABLE big ADD PRIMARY KEY (id)",
        "ANALYZE big",
        # a scan that stopped early would otherwise be where the next one
        # starts, and the texts of the runs would show different rows
        "ALTER DATABASE bench_rows SET synchronize_seqscans = off",
    ])


def _schema(create_database) -> str:
    return create_database("bench_schema", [
        """DO $$ BEGIN FOR i IN 1..%d LOOP
             EXECUTE format('CREATE TABLE t%%s (id int PRIMARY KEY, parent_id int %%s, code varchar(20) NOT NULL,
                 name text, amount numeric(10,2), active boolean DEFAULT true, created timestamptz NOT NULL,
                 notes text)', lpad(i::text, 3, '0'),
                 CASE WHEN i > 1 THEN 'REFERENCES t' || lpad((i / 2)::text, 3, '0') || '(id)' ELSE '' END);
             EXECUTE format('INSERT INTO t%%s SELECT g, NULL, ''C'' || g, ''name '' || g, g * 1.5, mod(g, 2) = 0,
                 timestamptz ''2024-01-01 00:00+00'' + g * interval ''1 day'', repeat(''note '', 10)
                 FROM generate_series(1, 5) g', lpad(i::text, 3, '0'));
           END LOOP; END $$""" % TABLES,
        "ANALYZE",
    ])


# 3,000 tables in one statement: without keys or wide columns, whose locks
# would outnumber what one transaction may hold
PG_3000 = ("DO $$ BEGIN FOR i IN 1..3000 LOOP EXECUTE format("
           "'CREATE TABLE t%s (id int, label varchar(20), amount numeric(8,2))', lpad(i::text, 4, '0'));"
           " END LOOP; END $$")
MARIADB_SCHEMA = """CREATE PROCEDURE make_tables() BEGIN DECLARE i INT DEFAULT 1; WHILE i <= %d DO
  SET @s = CONCAT('CREATE TABLE t', LPAD(i, 3, '0'), ' (id int PRIMARY KEY, parent_id int',
      IF(i > 1, CONCAT(' REFERENCES t', LPAD(i DIV 2, 3, '0'), '(id)'), ''), ', code varchar(20) NOT NULL,',
      ' name text, amount decimal(10,2), active boolean DEFAULT true, created datetime NOT NULL, notes text)');
  PREPARE made FROM @s; EXECUTE made; DEALLOCATE PREPARE made;
  SET @s = CONCAT('INSERT INTO t', LPAD(i, 3, '0'), ' SELECT seq, NULL, CONCAT(''C'', seq), CONCAT(''name '', seq),',
      ' seq * 1.5, seq %% 2 = 0, TIMESTAMP ''2024-01-01 00:00:00'' + INTERVAL seq DAY, REPEAT(''note '', 10)',
      ' FROM seq_1_to_5');
  PREPARE made FROM @s; EXECUTE made; DEALLOCATE PREPARE made; SET i = i + 1; END WHILE; END""" % TABLES
MARIADB_3000 = """CREATE PROCEDURE make_tables() BEGIN DECLARE i INT DEFAULT 1; WHILE i <= 3000 DO
  SET @s = CONCAT('CREATE TABLE t', LPAD(i, 4, '0'), ' (id int, label varchar(20), amount decimal(8,2)) ENGINE=MyISAM');
  PREPARE made FROM @s; EXECUTE made; DEALLOCATE PREPARE made; SET i = i + 1; END WHILE; END"""


def setup_mariadb(create_database) -> dict:
    return {"schema": create_database("bench_schema", [MARIADB_SCHEMA, "CALL make_tables()"]),
            "schema3000": create_database("bench_schema_3000", [MARIADB_3000, "CALL make_tables()"])}


# --------------------------------------------------------------------------
# workers: one measurement per fresh process


def _peak_rss_kb() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker(kind: str, url: str, memory: bool) -> dict:
    import tracemalloc

    if kind.startswith("ours"):
        mariadb = url.startswith("mysql")
        os.environ["VELTO_MYSQL_URL" if mariadb else "VELTO_POSTGRES_URL"] = url
        if kind == "ours-schema-all":
            os.environ["VELTO_SQL_SCHEMA_MAX_CHARS"] = "10000000"  # the most the setting takes
        if kind.endswith("-nofile"):
            os.environ["VELTO_SQL_EXPORT_ROWS"] = "0"
        from velto_ai_sdk import sqltool

        run = sqltool.execute_mysql_query if mariadb else sqltool.execute_pgdb_query
        schema = sqltool.get_mysql_database_schema if mariadb else sqltool.get_pgdb_schema
        # engine, connection and results directory made outside the measurement
        run("SELECT 1")
        action = {
            "ours-query": lambda: run(QUERY),
            "ours-query-nofile": lambda: run(QUERY),
            "ours-100k": lambda: run(QUERY_100K),
            "ours-100k-nofile": lambda: run(QUERY_100K),
            "ours-schema": schema,
            "ours-schema-all": schema,
        }[kind]
    else:
        from langchain_community.utilities import SQLDatabase

        started = time.perf_counter()
        db = SQLDatabase.from_uri(url)  # reflects every table when it is made
        construct = time.perf_counter() - started
        db.run("SELECT 1")
        action = {"theirs-query": lambda: db.run(QUERY), "theirs-100k": lambda: db.run(QUERY_100K),
                  "theirs-schema": db.get_table_info}[kind]
    base_rss = _peak_rss_kb()
    if memory:
        tracemalloc.start()
    started = time.perf_counter()
    text = action()
    seconds = time.perf_counter() - started
    result = {"seconds": seconds, "chars": len(text), "rss_growth_kb": _peak_rss_kb() - base_rss}
    if "schema" in kind:
        # the first call also fills the server session's catalog caches;
        # later calls on the same pooled connection show the steady state
        again = []
        for _ in range(3):
            started = time.perf_counter()
            action()
            again.append(time.perf_counter() - started)
        result["again_seconds"] = min(again)
    if memory:
        result["traced_peak"] = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    if not kind.startswith("ours"):
        result["construct_seconds"] = construct
    if "schema" in kind:
        result["text"] = text
    else:
        result["head"] = text[:200]
        last = text.splitlines()[-1]
        if last.startswith("File with"):
            result["file_line"] = last
            path = last.split("pandas.read_csv(", 1)[1].split(", keep_default_na=")[0]
            result["file_bytes"] = os.path.getsize(ast.literal_eval(path))
    return result


def floor_worker(engine: str, url: str) -> dict:
    """Medians, in milliseconds, of blocks of SELECT 1 on each side, and our
    round trips per call."""
    import statistics

    from langchain_community.utilities import SQLDatabase

    from velto_ai_sdk import sqltool
    from velto_ai_sdk.sqltool import session

    variable, ours = {"postgresql": ("VELTO_POSTGRES_URL", sqltool.execute_pgdb_query),
                      "mariadb": ("VELTO_MYSQL_URL", sqltool.execute_mysql_query)}[engine]
    os.environ[variable] = url
    db = SQLDatabase.from_uri(url)
    sides = {"ours": lambda: ours("SELECT 1"), "theirs": lambda: db.run("SELECT 1")}
    for run in sides.values():  # connections, caches and the account's check before the clock
        for _ in range(FLOOR_CALLS):
            run()
    blocks = {name: [] for name in sides}
    for _ in range(FLOOR_BLOCKS):
        for name, run in sides.items():
            started = time.perf_counter()
            for _ in range(FLOOR_CALLS):
                run()
            blocks[name].append((time.perf_counter() - started) / FLOOR_CALLS * 1000)
    # every round trip of a call goes through one guard of the session
    trips = []
    original = session._Guard.__enter__
    session._Guard.__enter__ = lambda guard: (trips.append(1), original(guard))[1]
    try:
        sides["ours"]()
    finally:
        session._Guard.__enter__ = original
    return {"ours_ms": statistics.median(blocks["ours"]), "theirs_ms": statistics.median(blocks["theirs"]),
            "ours_spread": [min(blocks["ours"]), max(blocks["ours"])],
            "theirs_spread": [min(blocks["theirs"]), max(blocks["theirs"])], "round_trips": len(trips)}


def run_worker(kind: str, url: str, memory: bool = False, src: str = "") -> dict:
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--worker", kind, "--url", url] + (["--memory"] if memory else [])
        + (["--src", src] if src else []),
        stdout=subprocess.PIPE, check=True,
    ).stdout
    return json.loads(out.decode().strip().splitlines()[-1])


def extract(revision: str, into: str) -> str:
    """The package's sources at a git revision, in a directory of their own."""
    archive = subprocess.run(["git", "-C", ROOT, "archive", revision, "src"], capture_output=True, check=True)
    subprocess.run(["tar", "-x", "-C", into], input=archive.stdout, check=True)
    return os.path.join(into, "src")


# --------------------------------------------------------------------------
# report


def tokens_counter():
    try:
        import tiktoken

        encoding = tiktoken.get_encoding("cl100k_base")
        encoding.encode("warm up")
        return lambda text: len(encoding.encode(text)), None
    except Exception as exc:  # offline: the encoding file is downloaded on first use
        return None, "%s: %s" % (type(exc).__name__, str(exc).splitlines()[0][:120])


def mb(value: float) -> str:
    return "%.1f MB" % (value / 1e6)


def ratio(a: float, b: float) -> str:
    return "%.0fx" % (a / b) if b > 0 else "n/a"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", help="an admin URL of a PostgreSQL server to use instead of starting one")
    parser.add_argument("--mysql-url", help="for the floor: the URL of a MySQL/MariaDB database to use instead of"
                                            " starting a server (an ordinary account's)")
    parser.add_argument("--before", metavar="REV", help="also measure the schema texts as they were at this git"
                                                        " revision")
    parser.add_argument("--repeat", type=int, default=3, help="processes per side for the schema texts (3)")
    parser.add_argument("--worker")
    parser.add_argument("--src", help=argparse.SUPPRESS)
    parser.add_argument("--memory", action="store_true")
    parser.add_argument("--only", choices=["rows", "schema", "floor"], help="run one of the measurements")
    args = parser.parse_args()
    if args.src:
        sys.path.insert(0, args.src)
    if args.worker == "floor-postgresql":
        print(json.dumps(floor_worker("postgresql", args.url)))
        return
    if args.worker == "floor-mariadb":
        print(json.dumps(floor_worker("mariadb", args.url)))
        return
    if args.worker:
        print(json.dumps(worker(args.worker, args.url, args.memory)))
        return

    servers: dict = {}
    with tempfile.TemporaryDirectory(prefix="bench-sql-") as scratch:
        try:
            if args.url:
                create_database = _creator(args.url)
            else:
                from support.servers import PostgresServer

                print("Starting a throwaway PostgreSQL server ...", flush=True)
                servers["postgresql"] = PostgresServer().start()
                create_database = servers["postgresql"].create_database
            urls = {}
            if args.only != "floor":
                print("Loading %s rows and %d and 3,000 tables ..." % (format(ROWS, ","), TABLES), flush=True)
                started = time.perf_counter()
                urls = setup(create_database, args.only)
                if args.only != "rows" and not args.url:
                    urls.update(("mariadb-" + name, url)
                                for name, url in setup_mariadb(_mariadb(servers).create_database).items())
                print("  done in %.1f s" % (time.perf_counter() - started), flush=True)
            if args.only in (None, "floor"):
                urls["floor-postgresql"] = create_database("bench_floor", [])
                urls["floor-mariadb"] = args.mysql_url or _mariadb(servers).create_database("bench_floor", [])
            before = extract(args.before, scratch) if args.before else ""
            report(urls, args.only, before and (args.before, before), args.repeat)
        finally:
            for server in servers.values():
                server.stop()


def _mariadb(servers: dict):
    if "mariadb" not in servers:
        from support.servers import MariaDBServer

        print("Starting a throwaway MariaDB server ...", flush=True)
        servers["mariadb"] = MariaDBServer().start()
    return servers["mariadb"]


def _creator(admin_url: str):
    """create_database for a server given by an administrator's URL."""
    import sqlalchemy as sa
    from sqlalchemy.engine import make_url

    admin = make_url(admin_url)

    def run(url, statements, autocommit):
        engine = sa.create_engine(url, poolclass=sa.pool.NullPool)
        raw = engine.raw_connection()
        try:
            raw.driver_connection.autocommit = autocommit
            cur = raw.cursor()
            for statement in statements:
                cur.execute(statement)
            if not autocommit:
                raw.commit()
        finally:
            raw.close()
            engine.dispose()

    def create_database(name, statements):
        run(admin, ['DROP DATABASE IF EXISTS "%s" WITH (FORCE)' % name, 'CREATE DATABASE "%s"' % name], True)
        url = admin.set(database=name)
        run(url, statements, False)
        return url.render_as_string(hide_password=False)

    return create_database


def report(urls: dict, only=None, before=None, repeat: int = 3) -> None:
    if only in (None, "rows"):
        report_rows(urls)
    if only in (None, "schema"):
        report_schema(urls, before, repeat)
    if only in (None, "floor"):
        report_floor(urls)


def report_rows(urls: dict) -> None:
    print("\n1. %s over %s rows (VELTO_SQL_MAX_ROWS=200 shown, VELTO_SQL_EXPORT_ROWS=100,000 to the file, by default)"
          % (QUERY, format(ROWS, ",")), flush=True)
    compare_query(urls, "query", QUERY)
    print("  targets: at least 20x faster and 50x less memory")
    print("\n1b. %s: 100,000 rows, all of them to the file" % QUERY_100K, flush=True)
    compare_query(urls, "100k", QUERY_100K)
    print("  target: the file costs at most 2 s per 100,000 rows")


def compare_query(urls: dict, name: str, query: str) -> None:
    ours_t = run_worker("ours-" + name, urls["rows"])
    ours_m = run_worker("ours-" + name, urls["rows"], memory=True)
    bare_t = run_worker("ours-%s-nofile" % name, urls["rows"])
    bare_m = run_worker("ours-%s-nofile" % name, urls["rows"], memory=True)
    theirs_t = run_worker("theirs-" + name, urls["rows"])
    theirs_m = run_worker("theirs-" + name, urls["rows"], memory=True)
    rows = [
        ("", "ours, with its file", "ours, no file", "LangChain: SQLDatabase.run", "ratio (with the file)"),
        ("wall time", "%.3f s" % ours_t["seconds"], "%.3f s" % bare_t["seconds"], "%.3f s" % theirs_t["seconds"],
         ratio(theirs_t["seconds"], ours_t["seconds"]) + " faster"),
        ("peak Python memory (tracemalloc)", mb(ours_m["traced_peak"]), mb(bare_m["traced_peak"]),
         mb(theirs_m["traced_peak"]), ratio(theirs_m["traced_peak"], ours_m["traced_peak"]) + " less"),
        ("peak RSS growth", mb(ours_t["rss_growth_kb"] * 1024), mb(bare_t["rss_growth_kb"] * 1024),
         mb(theirs_t["rss_growth_kb"] * 1024),
         ratio(theirs_t["rss_growth_kb"], max(ours_t["rss_growth_kb"], 1)) + " less"),
        ("characters returned", format(ours_t["chars"], ","), format(bare_t["chars"], ","),
         format(theirs_t["chars"], ","), ""),
        ("file", mb(ours_t.get("file_bytes", 0)), "", "", ""),
    ]
    table(rows)
    print("  the file cost %.3f s (with it %.3f s, without %.3f s); %s"
          % (ours_t["seconds"] - bare_t["seconds"], ours_t["seconds"], bare_t["seconds"], ours_t.get("file_line", "")))


def in_view(text: str) -> tuple:
    """How many of the tables t001... a schema text shows with their
    columns (in full, on a line of column names, or as CREATE TABLE), and
    how many it names at all."""
    with_columns = set(re.findall(r"^(?:TABLE |VIEW |CREATE TABLE )(?:\w+\.)?(t\d+)\b", text, re.M))
    with_columns |= set(re.findall(r"^(t\d+)\(", text, re.M))
    return len(with_columns), len(set(re.findall(r"\bt\d{3,4}\b", text)))


def schema_sides(url: str, sides: list, repeat: int) -> dict:
    """Each side's schema text of `url`, the median of its first calls (each
    in a fresh process) and the best of its later calls; the sides' processes
    take turns, so that drift on the machine falls on all alike."""
    runs: dict = {name: [] for name, _ in sides}
    for _ in range(repeat):
        for name, src in sides:
            runs[name].append(run_worker("ours-schema", url, src=src))
    return {name: {"text": found[0]["text"], "seconds": statistics.median(r["seconds"] for r in found),
                   "again_seconds": min(r["again_seconds"] for r in found)} for name, found in runs.items()}


def report_schema(urls: dict, before=None, repeat: int = 3) -> None:
    print("\n2. Schema texts at the default size budget (30,000 characters); first call: the median of %d fresh"
          " processes, later calls: the best of 3 in each" % repeat, flush=True)
    sides = [("ours", "")] + ([("at " + before[0], before[1])] if before else [])
    cases = [("PostgreSQL", TABLES, "schema"), ("PostgreSQL", 3000, "schema3000")]
    if "mariadb-schema" in urls:
        cases += [("MariaDB", TABLES, "mariadb-schema"), ("MariaDB", 3000, "mariadb-schema3000")]
    rows = [("", "tables with columns", "tables named", "characters", "first call", "later calls")]
    ratios = []
    for engine, count, key in cases:
        found = schema_sides(urls[key], sides, repeat)
        if engine == "PostgreSQL":
            found["LangChain: get_table_info()"] = run_worker("theirs-schema", urls[key])
        for name, result in found.items():
            columns, named = in_view(result["text"])
            rows.append(("%s, %s tables: %s" % (engine, format(count, ","), name),
                         "%s of %s (%.0f%%)" % (format(columns, ","), format(count, ","), 100.0 * columns / count),
                         format(named, ","), format(len(result["text"]), ","), "%.3f s" % result["seconds"],
                         "%.3f s" % result["again_seconds"]))
        if before:
            ours, then = found["ours"], found[sides[1][0]]
            ratios.append("%s, %s tables: first call %.2fx, later calls %.2fx" % (
                engine, format(count, ","), ours["seconds"] / then["seconds"],
                ours["again_seconds"] / then["again_seconds"]))
    table(rows)
    if ratios:
        print("  ours against %s (target: at most 1.2x):" % sides[1][0])
        for line in ratios:
            print("    " + line)
    print("  targets: every table of 500 with its columns, every name of 3,000")

    print("\n2b. Schema of %d tables (PostgreSQL), everything (VELTO_SQL_SCHEMA_MAX_CHARS=10000000)" % TABLES,
          flush=True)
    everything = {name: run_worker("ours-schema-all", urls["schema"], src=src) for name, src in sides}
    theirs = run_worker("theirs-schema", urls["schema"])
    count, why = tokens_counter()

    def toks(result):
        return format(count(result["text"]), ",") if count else "n/a"

    rows = [("", "first call", "later calls (best of 3)", "characters", "tokens (tiktoken cl100k_base)")]
    for name, result in list(everything.items()) + [("LangChain: get_table_info()", theirs)]:
        rows.append((name, "%.3f s" % result["seconds"], "%.3f s" % result["again_seconds"],
                     format(len(result["text"]), ","), toks(result)))
    table(rows)
    print("  SQLDatabase first spent %.3f s reflecting every table when it was made, on the connection its"
          " first call then used; our first call starts on a fresh connection" % theirs["construct_seconds"])
    print("  speed-up, everything: first call %s, later calls %s" % (
        ratio(theirs["seconds"], everything["ours"]["seconds"]),
        ratio(theirs["again_seconds"], everything["ours"]["again_seconds"])))
    if why:
        print("  tokens not counted: tiktoken could not load its encoding (%s); characters only" % why)


def report_floor(urls: dict) -> None:
    print("\n3. The per-query floor: SELECT 1, medians of %d blocks of %d calls, the sides taking turns"
          % (FLOOR_BLOCKS, FLOOR_CALLS), flush=True)
    rows = [("", "ours", "LangChain: SQLDatabase.run", "ours / theirs", "our round trips")]
    for engine, label, function in (("postgresql", "PostgreSQL", "execute_pgdb_query"),
                                    ("mariadb", "MariaDB", "execute_mysql_query")):
        result = run_worker("floor-" + engine, urls["floor-" + engine])
        rows.append(("%s (%s)" % (label, function), "%.3f ms" % result["ours_ms"], "%.3f ms" % result["theirs_ms"],
                     "%.2fx" % (result["ours_ms"] / result["theirs_ms"]), str(result["round_trips"])))
        rows.append(("  fastest / slowest block", "%.3f / %.3f" % tuple(result["ours_spread"]),
                     "%.3f / %.3f" % tuple(result["theirs_spread"]), "", ""))
    table(rows)
    print("  target: at most 1.5x; ours includes the read-only transaction, the server's time limits, the"
          " privilege verdict (read once per URL), the watchdog and the session reset")


def table(rows) -> None:
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  " + "  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())


if __name__ == "__main__":
    main()
