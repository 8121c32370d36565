"""The schema readers against real servers: content, order, keys, samples,
privileges, the size budget, and a query count that does not grow per table."""

from __future__ import annotations

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
    """Table name -> its lines, in the order the text gives them."""
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
    blocks = _blocks(text)
    assert list(blocks) == ["public.big_customers", "public.customers", "sales.orders", "sales.refunds"]
    assert blocks["public.customers"][1] == "  columns: id integer NOT NULL, name text NOT NULL, email character varying(200)"
    assert "  primary key: id" in blocks["public.customers"]
    assert blocks["public.big_customers"][0] == "VIEW public.big_customers"
    assert "  primary key: id, line" in blocks["sales.orders"]
    assert "  foreign key: customer_id -> public.customers (id)" in blocks["sales.orders"]
    assert "  foreign key: order_id, order_line -> sales.orders (id, line)" in blocks["sales.refunds"]
    assert "secrets" not in text
    _check_samples(blocks, "public.customers", "sales.orders")


def test_mariadb_schema(maria_url, sql_env):
    sql_env.set(VELTO_MYSQL_URL=maria_url)
    text = sqltool.get_mysql_database_schema()
    assert text.startswith('MySQL/MariaDB database "schema_mariadb", as user velto_app@127.0.0.1: 3 tables, 1 view.')
    blocks = _blocks(text)
    assert list(blocks) == [
        "schema_mariadb.big_customers", "schema_mariadb.customers", "schema_mariadb.orders", "schema_mariadb.refunds"]
    assert blocks["schema_mariadb.customers"][1] == "  columns: id int(11) NOT NULL, name varchar(50) NOT NULL, email varchar(200)"
    assert "  primary key: id, line" in blocks["schema_mariadb.orders"]
    assert "  foreign key: customer_id -> schema_mariadb.customers (id)" in blocks["schema_mariadb.orders"]
    assert "  foreign key: order_id, order_line -> schema_mariadb.orders (id, line)" in blocks["schema_mariadb.refunds"]
    assert "schema_hidden" not in text and "secrets" not in text
    _check_samples(blocks, "schema_mariadb.customers", "schema_mariadb.orders")


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
def test_budget_is_kept_and_says_what_it_left_out(many_tables, sql_env, engine, budget):
    variable, url, reader, schema = many_tables[engine]
    sql_env.set(**{variable: url, "VELTO_SQL_SCHEMA_MAX_CHARS": budget})
    text = reader()
    assert len(text) <= budget
    blocks = _blocks(text)
    shown = list(blocks)
    # the first tables in order, none skipped
    assert shown == ["%s.t%03d" % (schema, i) for i in range(1, len(shown) + 1)]
    assert 0 < len(shown) < 150
    note = [line for line in text.splitlines() if line.startswith("Left out")]
    assert note and ("%d of 150 tables and views" % (150 - len(shown))) in note[0]
    assert "%s.t%03d" % (schema, len(shown) + 1) in note[0]


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
    # header, tables and columns, keys, then samples in batches of 100 tables
    assert len(calls) == 5


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
    assert "    1" in blocks["public.a"] and "    3" in blocks["public.c"]
    assert not _samples(blocks["public.b"])


def test_samples_of_a_partly_readable_table(postgresql_server, sql_env):
    url = postgresql_server.create_database("schema_columns", [])
    postgresql_server.admin_execute([
        "CREATE TABLE people (id int, name text, salary int)",
        "INSERT INTO people VALUES (1, 'Ada', 100)",
        "GRANT SELECT (id, name) ON people TO velto_app",
    ], "schema_columns")
    sql_env.set(VELTO_POSTGRES_URL=url)
    lines = _blocks(sqltool.get_pgdb_schema())["public.people"]
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
    lines = _blocks(sqltool.get_pgdb_schema())["public.v"]
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
    shown = [name.split(".")[1] for name in _blocks(text)]
    assert shown[-4:] == ["zz_customers", "zz_orders", "zz_products", "zz_refunds"]  # listed in catalog order
    fillers = shown[:-4]
    assert fillers == ["a%02d" % i for i in range(1, len(fillers) + 1)] and len(fillers) < 40
    note = [line for line in text.splitlines() if line.startswith("Left out")][0]
    assert "%d of 44 tables and views: " % (40 - len(fillers)) in note and ".a%02d, " % (len(fillers) + 1) in note
    # the samples, too, go to the tables that matter first
    blocks = _blocks(text)
    with_samples = [name.split(".")[1] for name, lines in blocks.items() if _samples(lines)]
    assert "zz_orders" in with_samples or not with_samples
