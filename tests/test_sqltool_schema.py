"""The schema readers against real servers: content, order, keys, comments,
value lists, samples, privileges, the size budget in tiers, the notes that
lead the text, and a query count that does not grow per table."""

from __future__ import annotations

import os
import pathlib
import re
import time

import pytest

from velto_ai_sdk import sqltool
from velto_ai_sdk.sqltool.session import Session

PG_SETUP = [
    "CREATE SCHEMA sales",
    "CREATE TABLE public.customers (id int PRIMARY KEY, name text NOT NULL, email varchar(200))",
    "CREATE TABLE sales.orders (id int, line int, customer_id int NOT NULL REFERENCES public.customers(id),"
    " note text, PRIMARY KEY (id, line))",
    "CREATE TABLE sales.refunds (order_id int, order_line int, amount numeric(10,2),"
    " FOREIGN KEY (order_id, order_line) REFERENCES sales.orders(id, line))",
    "CREATE VIEW public.big_customers AS SELECT id, name FROM public.customers WHERE id > 1",
    "INSERT INTO customers VALUES (1, 'Ada', 'ada@example.com'), (2, 'Grace', NULL),"
    " (3, 'Linus', 'l@example.com'), (4, 'Ken', NULL)",
    "INSERT INTO sales.orders VALUES (1, 1, 1, repeat('long note ', 30)), (1, 2, 1, NULL)",
]

MARIADB_SETUP = [
    "CREATE TABLE customers (id int PRIMARY KEY, name varchar(50) NOT NULL, email varchar(200))",
    "CREATE TABLE orders (id int, line int, customer_id int NOT NULL, note text, PRIMARY KEY (id, line),"
    " FOREIGN KEY (customer_id) REFERENCES customers(id))",
    "CREATE TABLE refunds (order_id int, order_line int, amount decimal(10,2),"
    " FOREIGN KEY (order_id, order_line) REFERENCES orders(id, line))",
    "CREATE VIEW big_customers AS SELECT id, name FROM customers WHERE id > 1",
    "INSERT INTO customers VALUES (1, 'Ada', 'ada@example.com'), (2, 'Grace', NULL),"
    " (3, 'Linus', 'l@example.com'), (4, 'Ken', NULL)",
    "INSERT INTO orders VALUES (1, 1, 1, REPEAT('long note ', 30)), (1, 2, 1, NULL)",
]


def _blocks(text):
    """Name -> the lines of the tables and views shown in full, in the order
    the text gives them."""
    blocks = {}
    current = None
    for line in text.splitlines():
        if line.startswith(("TABLE ", "VIEW ")):
            current = line.split()[1]
            blocks[current] = [line]
        elif line.startswith("  ") and current:
            blocks[current].append(line)
        else:
            current = None
    return blocks


def _lines(text):
    """Name -> the columns' names of the tables shown on one line."""
    found = re.findall(r"^(?:view )?([^\s(]+)\(([^)]*)\)$", text, re.M)
    return {name: columns.split(",") for name, columns in found}


def _named(text):
    """Names of the tables shown by name alone."""
    return re.findall(r"^(?:view )?([A-Za-z_][\w.$]*)$", text, re.M)


@pytest.fixture(scope="module")
def pg_url(postgresql_server):
    url = postgresql_server.create_database("schema_pg", PG_SETUP)
    # a table the connectors' account may not read: it must not be listed
    postgresql_server.admin_execute(["CREATE TABLE public.secrets (k text)"], "schema_pg")
    return url


@pytest.fixture(scope="module")
def maria_url(mariadb_server):
    url = mariadb_server.create_database("schema_mariadb", MARIADB_SETUP)
    mariadb_server.create_database("schema_hidden", ["CREATE TABLE secrets (k text)"])
    mariadb_server.admin_execute(["REVOKE ALL PRIVILEGES ON `schema_hidden`.* FROM 'velto_app'@'127.0.0.1'"])
    return url


def test_postgres_schema(pg_url, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=pg_url)
    text = sqltool.get_pgdb_schema()
    assert text.startswith('PostgreSQL database "schema_pg", as user "velto_app": 3 tables, 1 view.')
    # names are written as a statement writes them: the default schema's unqualified
    assert text.splitlines()[0].endswith(" Names without a schema are in public.")
    blocks = _blocks(text)
    assert list(blocks) == ["big_customers", "customers", "sales.orders", "sales.refunds"]
    assert blocks["customers"][1] == "  columns: id integer NOT NULL, name text NOT NULL, email character varying(200)"
    assert "  primary key: id" in blocks["customers"]
    assert blocks["big_customers"][0] == "VIEW big_customers"
    assert "  primary key: id, line" in blocks["sales.orders"]
    assert "  foreign key: customer_id -> customers (id)" in blocks["sales.orders"]
    assert "  foreign key: order_id, order_line -> sales.orders (id, line)" in blocks["sales.refunds"]
    assert "secrets" not in text
    _check_samples(blocks, "customers", "sales.orders")


def test_mariadb_schema(maria_url, sql_env):
    sql_env.set(VELTO_MYSQL_URL=maria_url)
    text = sqltool.get_mysql_database_schema()
    assert text.startswith('MySQL/MariaDB database "schema_mariadb", as user velto_app@127.0.0.1: 3 tables, 1 view.')
    blocks = _blocks(text)
    assert list(blocks) == ["big_customers", "customers", "orders", "refunds"]
    assert blocks["customers"][1] == "  columns: id int(11) NOT NULL, name varchar(50) NOT NULL, email varchar(200)"
    assert "  primary key: id, line" in blocks["orders"]
    assert "  foreign key: customer_id -> customers (id)" in blocks["orders"]
    assert "  foreign key: order_id, order_line -> orders (id, line)" in blocks["refunds"]
    assert "schema_hidden" not in text and "secrets" not in text
    _check_samples(blocks, "customers", "orders")


def _samples(lines):
    """The sample rows of a table's block, after the line naming their columns."""
    heads = [i for i, line in enumerate(lines) if line.startswith("  sample rows (")]
    return lines[heads[0] + 1:] if heads else []


def _check_samples(blocks, customers, orders):
    lines = blocks[customers]
    assert "  sample rows (id | name | email):" in lines
    rows = _samples(lines)
    assert len(rows) == 3  # four rows in the table, three shown
    assert all(row.startswith("    ") and row.count(" | ") == 2 for row in rows)
    assert {"    1 | Ada | ada@example.com", "    2 | Grace | NULL"} & set(rows)
    # a long value is cut short
    order_rows = _samples(blocks[orders])
    assert any("long note long note" in r and "\u2026" in r for r in order_rows)
    assert max(len(r) for r in order_rows) < 120


@pytest.fixture(scope="module")
def many_tables(postgresql_server, mariadb_server):
    pg = postgresql_server.create_database("schema_many_pg", [
        "DO $$ BEGIN FOR i IN 1..150 LOOP EXECUTE format("
        "'CREATE TABLE t%s (id int PRIMARY KEY, label text NOT NULL, amount numeric(8,2)); "
        "INSERT INTO t%s VALUES (1, ''one'', 1.5), (2, ''two'', NULL)', lpad(i::text, 3, '0'), lpad(i::text, 3, '0'));"
        " END LOOP; END $$",
    ])
    maria = mariadb_server.create_database("schema_many_mariadb", [
        "CREATE TABLE t%03d (id int PRIMARY KEY, label text NOT NULL, amount decimal(8,2))" % i for i in range(1, 151)
    ] + ["INSERT INTO t%03d VALUES (1, 'one', 1.5), (2, 'two', NULL)" % i for i in range(1, 151)])
    return {"postgresql": ("VELTO_POSTGRES_URL", pg, sqltool.get_pgdb_schema, "public"),
            "mariadb": ("VELTO_MYSQL_URL", maria, sqltool.get_mysql_database_schema, "schema_many_mariadb")}


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
@pytest.mark.parametrize("budget", [2000, 6000, 12000])
def test_every_table_is_named_within_the_budget_in_tiers(many_tables, sql_env, engine, budget):
    variable, url, reader, schema = many_tables[engine]
    sql_env.set(**{variable: url, "VELTO_SQL_SCHEMA_MAX_CHARS": budget})
    text = reader()
    assert len(text) <= budget
    full, lines, named = list(_blocks(text)), _lines(text), _named(text)
    # each table once, in catalog order; the richer forms go to the first
    # tables (all alike here, so the cut keeps catalog order)
    assert full + list(lines) + named == ["t%03d" % i for i in range(1, 151)]
    assert all(columns == ["id", "label", "amount"] for columns in lines.values())
    assert len(full) < 150
    notes = text.splitlines()[1:3]
    shown = "Within %s characters: %d of 150 tables and views in full" % (format(budget, ","), len(full))
    if lines:
        shown += "; %d on one line as name(column,...), with their columns' names only" % len(lines)
    if named:
        shown += "; %d by name only" % len(named)
    assert notes[0] == shown + "."
    assert notes[1].startswith("A table's columns and types: SELECT ")
    assert "'t%03d'" % (len(full) + 1) in notes[1]
    assert (budget == 2000) is bool(named)


@pytest.mark.parametrize("engine, budget", [("postgresql", 20000), ("mariadb", 24000)])
def test_samples_give_way_to_structure(many_tables, sql_env, engine, budget):
    # budgets a little above what the structure of all 150 tables takes
    variable, url, reader, schema = many_tables[engine]
    sql_env.set(**{variable: url, "VELTO_SQL_SCHEMA_MAX_CHARS": budget})
    text = reader()
    blocks = _blocks(text)
    assert len(blocks) == 150  # everything fits without samples
    with_samples = [name for name, lines in blocks.items() if _samples(lines)]
    assert 0 < len(with_samples) < 150
    assert with_samples == list(blocks)[: len(with_samples)]
    assert "Sample rows left out for %d tables" % (150 - len(with_samples)) in text


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_query_count_does_not_grow_per_table(many_tables, sql_env, monkeypatch, engine):
    variable, url, reader, schema = many_tables[engine]
    sql_env.set(**{variable: url, "VELTO_SQL_SCHEMA_MAX_CHARS": 200000})
    reader()  # the account's privileges are read once per URL, before this count
    calls = []
    original = Session.fetch

    def counting_fetch(self, sql, params=None):
        calls.append(sql)
        return original(self, sql, params)

    monkeypatch.setattr(Session, "fetch", counting_fetch)
    text = reader()
    assert len(_blocks(text)) == 150
    assert text.count("  sample rows (id | label | amount):") == 150
    # header, tables and columns, keys, comments (MariaDB: tables, columns
    # with their comments, keys), then samples in batches of 100 tables; the
    # value lists were kept from the first read
    assert len(calls) == 6


def test_empty_database(postgresql_server, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=postgresql_server.create_database("schema_empty"))
    assert sqltool.get_pgdb_schema().endswith("No tables or views that this user can read.")


def test_an_unreadable_sample_does_not_cost_the_others(postgresql_server, sql_env):
    url = postgresql_server.create_database("schema_broken", [
        "CREATE TABLE a (x int)", "INSERT INTO a VALUES (1)",
        "CREATE TABLE b (x int)", "INSERT INTO b VALUES (2)",
        "CREATE TABLE c (x int)", "INSERT INTO c VALUES (3)",
    ])
    # b can be read in principle, but its row security policy fails at run time
    postgresql_server.admin_execute([
        "ALTER TABLE b OWNER TO postgres",
        "GRANT SELECT (x) ON b TO velto_app",
        "CREATE FUNCTION boom() RETURNS boolean LANGUAGE sql AS 'SELECT 1/0 = 1'",
        "ALTER TABLE b ENABLE ROW LEVEL SECURITY",
        "CREATE POLICY p ON b USING (boom())",
    ], "schema_broken")
    sql_env.set(VELTO_POSTGRES_URL=url)
    blocks = _blocks(sqltool.get_pgdb_schema())
    assert "    1" in blocks["a"] and "    3" in blocks["c"]
    assert not _samples(blocks["b"])


def test_samples_of_a_partly_readable_table(postgresql_server, sql_env):
    url = postgresql_server.create_database("schema_columns", [])
    postgresql_server.admin_execute([
        "CREATE TABLE people (id int, name text, salary int)",
        "INSERT INTO people VALUES (1, 'Ada', 100)",
        "GRANT SELECT (id, name) ON people TO velto_app",
    ], "schema_columns")
    sql_env.set(VELTO_POSTGRES_URL=url)
    lines = _blocks(sqltool.get_pgdb_schema())["people"]
    assert lines[1] == "  columns: id integer, name text"
    assert lines[-1] == "    1 | Ada"


@pytest.mark.parametrize("value, shown", [
    ("plain", "plain"), ("", '""'), ("with space", "with space"), ('quote " inside', 'quote " inside'),
    ("back\\slash", "back\\slash"), ("comma, paren (x)", "comma, paren (x)"), ("line\nbreak", '"line\\nbreak"'),
    (None, "NULL"), ("NULL", '"NULL"'), ("a | b", '"a | b"'),
])
def test_sample_values_survive_the_row_text(postgresql_server, sql_env, value, shown):
    url = postgresql_server.create_database("schema_values", [])
    postgresql_server.admin_execute(["CREATE TABLE v (a int, b text, c int)", "GRANT SELECT ON v TO velto_app"],
                                    "schema_values")
    with postgresql_server.admin_engine("schema_values").connect() as connection:
        connection.exec_driver_sql("INSERT INTO v VALUES (1, %(b)s, NULL)", {"b": value})
    sql_env.set(VELTO_POSTGRES_URL=url)
    lines = _blocks(sqltool.get_pgdb_schema())["v"]
    assert lines[-2:] == ["  sample rows (a | b | c):", "    1 | %s | NULL" % shown]


def _cut_order_setup(engine):
    fillers = ["CREATE TABLE a%02d (id int PRIMARY KEY, note text)" % i for i in range(1, 41)]
    if engine == "postgresql":
        series, analyze = "generate_series(1, %d) g", ["ANALYZE"]
    else:
        series = "seq_1_to_%d g"
        analyze = ["ANALYZE TABLE zz_customers, zz_products, zz_orders, zz_refunds"]
    return fillers + [
        "CREATE TABLE zz_customers (id int PRIMARY KEY, name text)",
        "CREATE TABLE zz_products (id int PRIMARY KEY, name text)",
        "CREATE TABLE zz_orders (id int PRIMARY KEY, customer_id int REFERENCES zz_customers (id),"
        " product_id int REFERENCES zz_products (id), amount numeric(10, 2))",
        "CREATE TABLE zz_refunds (order_id int REFERENCES zz_orders (id), amount numeric(10, 2))",
        "INSERT INTO zz_customers SELECT %s, 'c' FROM %s" % ("g" if engine == "postgresql" else "g.seq",
                                                             series % 50),
        "INSERT INTO zz_products SELECT %s, 'p' FROM %s" % ("g" if engine == "postgresql" else "g.seq", series % 20),
        "INSERT INTO zz_orders SELECT %s, 1, 1, 9.5 FROM %s" % ("g" if engine == "postgresql" else "g.seq",
                                                                series % 5000),
        "INSERT INTO zz_refunds SELECT %s, 1 FROM %s" % ("g" if engine == "postgresql" else "g.seq", series % 10),
    ] + analyze


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_a_cut_keeps_the_most_referenced_and_largest_tables_first(postgresql_server, mariadb_server, sql_env,
                                                                   engine):
    # alphabetically, forty empty tables would crowd out the ones that matter
    server = postgresql_server if engine == "postgresql" else mariadb_server
    url = server.create_database("schema_cut_" + engine, _cut_order_setup(engine))
    variable, reader = (("VELTO_POSTGRES_URL", sqltool.get_pgdb_schema) if engine == "postgresql"
                        else ("VELTO_MYSQL_URL", sqltool.get_mysql_database_schema))
    sql_env.set(**{variable: url, "VELTO_SQL_SCHEMA_MAX_CHARS": "2500"})
    text = reader()
    assert len(text) <= 2500
    shown = list(_blocks(text))
    assert shown[-4:] == ["zz_customers", "zz_orders", "zz_products", "zz_refunds"]  # listed in catalog order
    fillers = shown[:-4]
    assert fillers == ["a%02d" % i for i in range(1, len(fillers) + 1)] and len(fillers) < 40
    # the rest are there still, on a line of their own
    assert list(_lines(text)) + _named(text) == ["a%02d" % i for i in range(len(fillers) + 1, 41)]
    assert "Within 2,500 characters: %d of 44 tables and views in full" % len(shown) in text
    # the samples, too, go to the tables that matter first
    blocks = _blocks(text)
    with_samples = [name for name, lines in blocks.items() if _samples(lines)]
    assert "zz_orders" in with_samples or not with_samples


# --------------------------------------------------------------------------
# the database's own comments

LONG_COMMENT = "In EUR cents, VAT included, as charged " * 8
COMMENTED = {
    "postgresql": [
        "CREATE TABLE orders (id int PRIMARY KEY, status text NOT NULL, amount int, note text)",
        "COMMENT ON TABLE orders IS 'One row per order, as placed in the shop'",
        "COMMENT ON COLUMN orders.status IS 'p = placed | s = sent'",
        "COMMENT ON COLUMN orders.amount IS '%s'" % LONG_COMMENT,
        "COMMENT ON COLUMN orders.note IS E'free text\\n\\x1a[2Jfrom the clerk'",
    ],
    "mariadb": [
        "CREATE TABLE orders (id int PRIMARY KEY, status varchar(10) NOT NULL COMMENT 'p = placed | s = sent',"
        " amount int COMMENT '%s', note text COMMENT 'free text\\n\\Z[2Jfrom the clerk')"
        " COMMENT 'One row per order, as placed in the shop'" % LONG_COMMENT,
    ],
}


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_table_and_column_comments_are_shown_shortened_and_escaped(postgresql_server, mariadb_server, sql_env,
                                                                  engine):
    server = postgresql_server if engine == "postgresql" else mariadb_server
    url = server.create_database("schema_comments_" + engine, COMMENTED[engine])
    variable, reader = (("VELTO_POSTGRES_URL", sqltool.get_pgdb_schema) if engine == "postgresql"
                        else ("VELTO_MYSQL_URL", sqltool.get_mysql_database_schema))
    sql_env.set(**{variable: url})
    lines = _blocks(reader())["orders"]
    assert lines[1] == "  comment: One row per order, as placed in the shop"
    assert lines[2].startswith("  columns: id ")
    assert [line for line in lines if line.startswith("  comment on ")] == [
        '  comment on status: "p = placed | s = sent"',
        "  comment on amount: " + LONG_COMMENT[:99] + "\u2026",  # as long as a value may be
        '  comment on note: "free text\\n\\u001a[2Jfrom the clerk"',  # control characters escaped
    ]


# --------------------------------------------------------------------------
# value lists

STATUSES = ["shipped"] * 5 + ["placed"] * 3 + ["a | b"] * 2 + [None]
VALUED = {
    "postgresql": [
        "CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy')",
        "CREATE TABLE orders (id int PRIMARY KEY, status text, code varchar(10), label text, feeling mood)",
        "INSERT INTO orders SELECT g, (ARRAY[%s])[g], 'C' || g, 'L' || g %% 40, 'ok'"
        " FROM generate_series(1, %d) g" % (", ".join("NULL" if s is None else "'%s'" % s for s in STATUSES),
                                             len(STATUSES)),
        "INSERT INTO orders SELECT g, NULL, 'C' || g, 'L' || g % 40, NULL FROM generate_series(100, 200) g",
    ],
    "mariadb": [
        "CREATE TABLE orders (id int PRIMARY KEY, status varchar(10), code varchar(10), label text,"
        " feeling enum('sad', 'ok', 'happy'))",
        "INSERT INTO orders SELECT seq, ELT(seq, %s), CONCAT('C', seq), CONCAT('L', seq %% 40), 'ok'"
        " FROM seq_1_to_%d" % (", ".join("NULL" if s is None else "'%s'" % s for s in STATUSES), len(STATUSES)),
        "INSERT INTO orders SELECT seq, NULL, CONCAT('C', seq), CONCAT('L', seq % 40), NULL FROM seq_100_to_200",
    ],
}


def _value_lines(lines):
    return [line for line in lines if line.startswith("  values of ")]


@pytest.mark.parametrize("engine", ["postgresql", "mariadb"])
def test_a_status_column_shows_its_values_most_common_first(postgresql_server, mariadb_server, sql_env,
                                                           monkeypatch, engine):
    server = postgresql_server if engine == "postgresql" else mariadb_server
    url = server.create_database("schema_values_" + engine, VALUED[engine])
    variable, reader = (("VELTO_POSTGRES_URL", sqltool.get_pgdb_schema) if engine == "postgresql"
                        else ("VELTO_MYSQL_URL", sqltool.get_mysql_database_schema))
    sql_env.set(**{variable: url})
    text = reader()
    # a category, escaped like any cell; not the unique codes, nor 40 labels;
    # enum labels are in the type (MariaDB's) or listed (PostgreSQL's)
    expected = ['  values of status: shipped | placed | "a | b"']
    if engine == "postgresql":
        expected.append("  values of feeling: sad | ok | happy")
    assert _value_lines(_blocks(text)["orders"]) == expected
    # kept with the schema: a second read asks nothing more of the server about values
    statements = []
    original = Session.fetch
    monkeypatch.setattr(Session, "fetch", lambda self, sql, params=None: (statements.append(str(sql)),
                                                                          original(self, sql, params))[1])
    assert reader() == text
    assert not [sql for sql in statements if "pg_stats" in sql or "GROUP BY v" in sql]


def test_value_lists_of_readable_tables_survive_a_failing_or_slow_one(postgresql_server, sql_env, monkeypatch):
    url = postgresql_server.create_database("schema_values_hostile", [
        "CREATE TABLE a (s text)", "INSERT INTO a VALUES ('x'), ('x'), ('y')",
        "CREATE TABLE c (s text)", "INSERT INTO c VALUES ('u'), ('u'), ('v')",
    ])
    # row security that fails, and row security that takes 10 ms a row:
    # reading 1,000 rows would take 10 s
    postgresql_server.admin_execute([
        "CREATE FUNCTION boom() RETURNS boolean LANGUAGE sql AS 'SELECT 1/0 = 1'",
        "CREATE TABLE b (s text)", "INSERT INTO b VALUES ('p'), ('p')",
        "CREATE TABLE slow (s text)", "INSERT INTO slow SELECT 'q' FROM generate_series(1, 1000)",
        "GRANT SELECT ON b, slow TO velto_app",
        "ALTER TABLE b ENABLE ROW LEVEL SECURITY", "CREATE POLICY p ON b USING (boom())",
        "ALTER TABLE slow ENABLE ROW LEVEL SECURITY", "CREATE POLICY p ON slow USING (pg_sleep(0.01) IS NOT NULL)",
    ], "schema_values_hostile")
    sql_env.set(VELTO_POSTGRES_URL=url)
    started = time.monotonic()
    blocks = _blocks(sqltool.get_pgdb_schema())
    assert time.monotonic() - started < 8  # the lists' 2 s, and the slow table's three sample rows
    assert _value_lines(blocks["a"]) == ["  values of s: x | y"]
    assert _value_lines(blocks["c"]) == ["  values of s: u | v"]
    assert not _value_lines(blocks["b"]) and not _value_lines(blocks["slow"])
    # they are not read again at every call
    statements = []
    original = Session.fetch
    monkeypatch.setattr(Session, "fetch", lambda self, sql, params=None: (statements.append(str(sql)),
                                                                          original(self, sql, params))[1])
    sqltool.get_pgdb_schema()
    assert not [sql for sql in statements if "GROUP BY v" in sql]


def _pg_reads(server, database, table):
    return server.admin_query("SELECT seq_scan, seq_tup_read FROM pg_stat_user_tables WHERE relname = '%s'"
                              % table, database)[0]


def test_a_large_postgresql_table_gets_its_values_from_pg_stats_without_a_scan(postgresql_server, sql_env):
    url = postgresql_server.create_database("schema_values_large_pg", [
        "CREATE TABLE events (id int, state varchar(10), other text)",
        "INSERT INTO events SELECT g, CASE WHEN g % 10 = 0 THEN 'rare' ELSE 'common' END, 'x' || g % 1000"
        " FROM generate_series(1, 50000) g",
        "ANALYZE events",
    ])
    scans, read = _pg_reads(postgresql_server, "schema_values_large_pg", "events")
    sql_env.set(VELTO_POSTGRES_URL=url)
    lines = _blocks(sqltool.get_pgdb_schema())["events"]
    assert _value_lines(lines) == ["  values of state: common | rare"]
    # The backend reports its reads when it ends; its sample read (a scan of
    # three rows) shows that the report came.
    sqltool.dispose_engines()
    for _ in range(100):
        now_scans, now_read = _pg_reads(postgresql_server, "schema_values_large_pg", "events")
        if now_scans > scans:
            break
        time.sleep(0.1)
    assert now_scans == scans + 1 and now_read - read < 100


def test_a_large_mariadb_table_gets_its_values_from_its_index_without_a_scan(mariadb_server, sql_env):
    url = mariadb_server.create_database("schema_values_large_mariadb", [
        "CREATE TABLE events (id int PRIMARY KEY, state varchar(10), other varchar(10), KEY (state))",
        "INSERT INTO events SELECT seq, IF(seq % 10 = 0, 'rare', 'common'), IF(seq % 7 = 0, 'x', 'y')"
        " FROM seq_1_to_50000",
        "ANALYZE TABLE events",
    ])
    mariadb_server.admin_execute(["SET GLOBAL userstat = 1", "FLUSH TABLE_STATISTICS"])
    try:
        sql_env.set(VELTO_MYSQL_URL=url)
        lines = _blocks(sqltool.get_mysql_database_schema())["events"]
        (read,), = mariadb_server.admin_query(
            "SELECT ROWS_READ FROM information_schema.TABLE_STATISTICS"
            " WHERE TABLE_SCHEMA = 'schema_values_large_mariadb' AND TABLE_NAME = 'events'")
    finally:
        mariadb_server.admin_execute(["SET GLOBAL userstat = 0"])
    # an index dive per value, and the three sample rows; a scan reads 50,000
    assert _value_lines(lines) == ["  values of state: common | rare"]
    assert read < 100
    # an unindexed column of a large table gets no list: reading it would be a scan
    assert "other" not in " ".join(_value_lines(lines))


# --------------------------------------------------------------------------
# notes from the context file


@pytest.fixture
def notes_db(postgresql_server, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=postgresql_server.create_database("schema_notes", [
        "CREATE TABLE orders (id int PRIMARY KEY, amount int)"]))
    return sql_env


def test_the_context_file_leads_the_schema_text(notes_db, tmp_path):
    notes = tmp_path / "notes.md"
    notes.write_bytes(b"\xef\xbb\xbfRevenue is SUM(amount) of orders that were not cancelled.\r\n"
                      b"Prefer the view v_orders.\r\nBell: \x07\n")
    notes_db.set(VELTO_SQL_CONTEXT_FILE=str(notes))
    text = sqltool.get_pgdb_schema()
    assert text.startswith("Notes on this database from its owners:\n"
                           "Revenue is SUM(amount) of orders that were not cancelled.\n"
                           "Prefer the view v_orders.\nBell: \\u0007\n\n"
                           'PostgreSQL database "schema_notes", as user "velto_app": 1 table, 0 views.')
    assert "TABLE orders" in text


def test_a_long_context_file_takes_a_quarter_of_the_budget(notes_db, tmp_path):
    notes = tmp_path / "notes.md"
    notes.write_text("Revenue excludes cancelled orders. " * 10000)
    notes_db.set(VELTO_SQL_CONTEXT_FILE=str(notes), VELTO_SQL_SCHEMA_MAX_CHARS="4000")
    text = sqltool.get_pgdb_schema()
    head, _, schema = text.partition("\n\nPostgreSQL database ")
    assert len(head) + 2 <= 1000 and len(text) <= 4000
    assert head.endswith("\u2026\n(Cut here: the notes may take a quarter of VELTO_SQL_SCHEMA_MAX_CHARS.)")
    assert "TABLE orders" in schema


@pytest.mark.parametrize("make, says", [
    (lambda path: None, "which cannot be read (No such file or directory)"),
    (lambda path: os.mkdir(path), "which is not a regular file"),
    (lambda path: os.mkfifo(path), "which is not a regular file"),  # and no wait for a writer
    (lambda path: pathlib.Path(path).write_bytes(b"caf\xe9\n"), "which is not UTF-8 text (byte 3)"),
])
def test_a_context_file_that_cannot_be_read_is_a_clear_error(notes_db, tmp_path, make, says):
    path = str(tmp_path / "notes.md")
    make(path)
    notes_db.set(VELTO_SQL_CONTEXT_FILE=path)
    assert sqltool.get_pgdb_schema() == "Error: VELTO_SQL_CONTEXT_FILE is %s, %s" % (path, says)


def test_names_are_written_as_a_statement_writes_them_in_every_form(postgresql_server, sql_env):
    # a name that holds what a line's syntax uses (commas, parentheses) or a
    # control character cannot be misread or break a line
    url = postgresql_server.create_database("schema_odd_names", [
        "CREATE TABLE a%02d (id int, %s)" % (i, ", ".join("column_%02d text" % c for c in range(12)))
        for i in range(8)] + [
        'CREATE TABLE "zz Odd, (name)" ("x)y" int, "Mixed" int, "line\nbreak" int, plain int, %s)'
        % ", ".join("column_%02d text" % c for c in range(12))])
    sql_env.set(VELTO_POSTGRES_URL=url)
    text = sqltool.get_pgdb_schema()
    assert '\nTABLE "zz Odd, (name)"\n  columns: "x)y" integer, "Mixed" integer, "line\\nbreak" integer, plain integer,' \
        in text
    sql_env.set(VELTO_SQL_SCHEMA_MAX_CHARS="2000")
    text = sqltool.get_pgdb_schema()
    assert '\n"zz Odd, (name)"("x)y","Mixed","line\\nbreak",plain,column_00,' in text
