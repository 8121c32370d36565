"""Our connectors side by side with LangChain's SQLDatabase.

    .venv/bin/python bench/bench_sql.py [--url postgresql+psycopg://...] [--only rows|schema|floor]

Without --url it starts a throwaway PostgreSQL server (and, for the floor, a
MariaDB server) with the test suite's helper (tests/support/servers.py) and
removes them afterwards. It makes these databases:
  bench_rows    one table of 2,000,000 rows;
  bench_schema  500 tables (8 columns, a primary key, all but the first
                with a foreign key to another, 5 rows each);
  bench_floor   an empty database on each server, owned by the ordinary
                account the connectors are given.
and measures:
  1. SELECT * over the 2,000,000 rows: our execute_pgdb_query, which also
     writes the result's file (its first VELTO_SQL_EXPORT_ROWS rows, 100,000
     by default), against SQLDatabase.run: wall time, peak Python
     allocations (tracemalloc) and the growth of the process's peak resident
     memory; and ours without the file (VELTO_SQL_EXPORT_ROWS=0), the cost
     of the file being the difference;
  1b. the same for the first 100,000 rows (WHERE id <= 100000), all of which
     go to the file;
  2. the schema of the 500 tables: our get_pgdb_schema (with its default
     size budget, and with a budget large enough to hold everything)
     against SQLDatabase.get_table_info(): wall time, characters, tokens;
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
import resource
import subprocess
import sys
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


def setup(create_database) -> dict:
    """create_database(name, statements) -> URL, as PostgresServer.create_database."""
    rows_url = create_database("bench_rows", [
        "CREATE TABLE big AS SELECT g AS id, md5(g::text) AS label, (g %% 1000) * 0.25 AS amount,"
        " timestamp '2024-01-01' + g * interval '1 minute' AS created FROM generate_series(1, %d) g" % ROWS,
        "ALTER TABLE big ADD PRIMARY KEY (id)",
        "ANALYZE big",
        # a scan that stopped early would otherwise be where the next one
        # starts, and the texts of the runs would show different rows
        "ALTER DATABASE bench_rows SET synchronize_seqscans = off",
    ])
    schema_url = create_database("bench_schema", [
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
    return {"rows": rows_url, "schema": schema_url}


# --------------------------------------------------------------------------
# workers: one measurement per fresh process


def _peak_rss_kb() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker(kind: str, url: str, memory: bool) -> dict:
    import tracemalloc

    if kind.startswith("ours"):
        os.environ["VELTO_POSTGRES_URL"] = url
        if kind == "ours-schema-all":
            os.environ["VELTO_SQL_SCHEMA_MAX_CHARS"] = "10000000"  # the most the setting takes
        if kind.endswith("-nofile"):
            os.environ["VELTO_SQL_EXPORT_ROWS"] = "0"
        from velto_ai_sdk import sqltool

        # engine, connection and results directory made outside the measurement
        sqltool.execute_pgdb_query("SELECT 1")
        action = {
            "ours-query": lambda: sqltool.execute_pgdb_query(QUERY),
            "ours-query-nofile": lambda: sqltool.execute_pgdb_query(QUERY),
            "ours-100k": lambda: sqltool.execute_pgdb_query(QUERY_100K),
            "ours-100k-nofile": lambda: sqltool.execute_pgdb_query(QUERY_100K),
            "ours-schema": sqltool.get_pgdb_schema,
            "ours-schema-all": sqltool.get_pgdb_schema,
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
            result["file_bytes"] = os.path.getsize(ast.literal_eval(last.split("pandas.read_csv(", 1)[1][:-1]))
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


def run_worker(kind: str, url: str, memory: bool = False) -> dict:
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--worker", kind, "--url", url] + (["--memory"] if memory else []),
        stdout=subprocess.PIPE, check=True,
    ).stdout
    return json.loads(out.decode().strip().splitlines()[-1])


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
    parser.add_argument("--worker")
    parser.add_argument("--memory", action="store_true")
    parser.add_argument("--only", choices=["rows", "schema", "floor"], help="run one of the measurements")
    args = parser.parse_args()
    if args.worker == "floor-postgresql":
        print(json.dumps(floor_worker("postgresql", args.url)))
        return
    if args.worker == "floor-mariadb":
        print(json.dumps(floor_worker("mariadb", args.url)))
        return
    if args.worker:
        print(json.dumps(worker(args.worker, args.url, args.memory)))
        return

    servers = []
    try:
        if args.url:
            create_database = _creator(args.url)
        else:
            from support.servers import PostgresServer

            print("Starting a throwaway PostgreSQL server ...", flush=True)
            servers.append(PostgresServer().start())
            create_database = servers[-1].create_database
        urls = {}
        if args.only != "floor":
            print("Loading %s rows and %d tables ..." % (format(ROWS, ","), TABLES), flush=True)
            started = time.perf_counter()
            urls = setup(create_database)
            print("  done in %.1f s" % (time.perf_counter() - started), flush=True)
        if args.only in (None, "floor"):
            urls["floor-postgresql"] = create_database("bench_floor", [])
            urls["floor-mariadb"] = args.mysql_url or _mariadb_floor(servers)
        report(urls, args.only)
    finally:
        for server in servers:
            server.stop()


def _mariadb_floor(servers: list) -> str:
    from support.servers import MariaDBServer

    print("Starting a throwaway MariaDB server ...", flush=True)
    servers.append(MariaDBServer().start())
    return servers[-1].create_database("bench_floor", [])


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


def report(urls: dict, only=None) -> None:
    if only in (None, "rows"):
        report_rows(urls)
    if only in (None, "schema"):
        report_schema(urls)
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


def report_schema(urls: dict) -> None:
    print("\n2. Schema of %d tables" % TABLES, flush=True)
    ours = run_worker("ours-schema", urls["schema"])
    ours_all = run_worker("ours-schema-all", urls["schema"])
    theirs = run_worker("theirs-schema", urls["schema"])
    count, why = tokens_counter()

    def toks(result):
        return format(count(result["text"]), ",") if count else "n/a"

    rows = [
        ("", "ours: default budget", "ours: everything", "LangChain: get_table_info()"),
        ("first call", "%.3f s" % ours["seconds"], "%.3f s" % ours_all["seconds"], "%.3f s" % theirs["seconds"]),
        ("later calls (best of 3)", "%.3f s" % ours["again_seconds"], "%.3f s" % ours_all["again_seconds"],
         "%.3f s" % theirs["again_seconds"]),
        ("tables shown", str(ours["text"].count("\nTABLE ")), str(ours_all["text"].count("\nTABLE ")), str(TABLES)),
        ("tables with sample rows", str(ours["text"].count("\n  sample rows")),
         str(ours_all["text"].count("\n  sample rows")), str(TABLES)),
        ("characters", format(ours["chars"], ","), format(ours_all["chars"], ","), format(theirs["chars"], ",")),
        ("tokens (tiktoken cl100k_base)", toks(ours), toks(ours_all), toks(theirs)),
    ]
    table(rows)
    print("  SQLDatabase first spent %.3f s reflecting every table when it was made, on the connection its"
          " first call then used; our first call starts on a fresh connection" % theirs["construct_seconds"])
    for label, mine in (("default budget", ours), ("everything", ours_all)):
        print("  speed-up, %s: first call %s, later calls %s, first call against SQLDatabase made and called %s"
              % (label, ratio(theirs["seconds"], mine["seconds"]), ratio(theirs["again_seconds"], mine["again_seconds"]),
                 ratio(theirs["construct_seconds"] + theirs["seconds"], mine["seconds"])))
    print("  target: at least 10x")
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
