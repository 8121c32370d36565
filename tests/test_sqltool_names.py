"""Hints for names that do not exist: the closest names of the catalog
after the server's error, on real servers."""

from __future__ import annotations

import pytest

from velto_ai_sdk import sqltool
from velto_ai_sdk.sqltool import mysql, postgresql

SHOP = [
    "CREATE TABLE customers (id int PRIMARY KEY, name text, customer_since date)",
    "CREATE TABLE orders (id int PRIMARY KEY, customer_id int REFERENCES customers (id), amount numeric(10, 2))",
    "CREATE TABLE order_items (order_id int REFERENCES orders (id), quantity int)",
    "CREATE TABLE payments (id int PRIMARY KEY, customer_id int, paid_on date)",
]


@pytest.fixture(scope="module")
def urls(postgresql_server, mariadb_server):
    pg = postgresql_server.create_database("names_pg", SHOP + [
        "CREATE SCHEMA sales", "CREATE TABLE sales.customer_notes (note text)",
        'CREATE TABLE "Regions" ("RegionID" int, label text)'])
    return {"postgresql": pg, "mariadb": mariadb_server.create_database("names_mariadb", SHOP)}


@pytest.fixture(params=["postgresql", "mariadb"])
def db(request, urls, sql_env):
    if request.param == "postgresql":
        sql_env.set(VELTO_POSTGRES_URL=urls["postgresql"])
        return request.param, sqltool.execute_pgdb_query, postgresql.DIALECT
    sql_env.set(VELTO_MYSQL_URL=urls["mariadb"])
    return request.param, sqltool.execute_mysql_query, mysql.DIALECT


def test_a_misspelt_column_gets_the_closest_names_of_the_tables_named_first(db):
    engine, run, _ = db
    text = run("SELECT o.custmer_id, o.amount FROM orders o")
    assert text.startswith("Error: ") and "\n" not in text
    assert text.endswith(". Closest: customer_id (orders), customer_id (payments), customer_since (customers).")
    text = run("SELECT custmer_id FROM payments")
    assert text.endswith(". Closest: customer_id (payments), customer_id (orders), customer_since (customers).")


def test_a_misspelt_table_gets_the_closest_tables(db):
    engine, run, _ = db
    text = run("SELECT * FROM ordrs")
    assert text.startswith("Error: ") and text.endswith(". Closest: orders, order_items.")


def test_names_are_given_as_a_statement_must_write_them(urls, sql_env):
    sql_env.set(VELTO_POSTGRES_URL=urls["postgresql"])
    assert sqltool.execute_pgdb_query("SELECT regionid FROM regions").endswith('. Closest: "Regions".')
    assert sqltool.execute_pgdb_query('SELECT regionid FROM "Regions"').endswith(
        '. Closest: "RegionID" ("Regions").')
    # another schema than the default: qualified, and looked for there first
    assert sqltool.execute_pgdb_query("SELECT * FROM sales.customer_note").endswith(
        ". Closest: sales.customer_notes, customers.")


def test_nothing_close_adds_nothing(db):
    engine, run, _ = db
    text = run("SELECT zqx FROM orders")
    assert text.startswith("Error: ") and "Closest" not in text


def test_the_catalog_is_read_once_per_url_and_shared_with_the_schema_reader(db, urls, monkeypatch):
    engine, run, dialect = db
    sqltool.dispose_engines()  # a fresh URL: nothing read yet
    reads = []
    original = type(dialect).catalog

    def counting(self, session):
        reads.append(1)
        return original(self, session)

    monkeypatch.setattr(type(dialect), "catalog", counting)
    assert "Closest: orders" in run("SELECT * FROM ordrs")
    assert "Closest: orders" in run("SELECT * FROM orderz")
    assert len(reads) == 1
    (sqltool.get_pgdb_schema if engine == "postgresql" else sqltool.get_mysql_database_schema)()
    assert "Closest: customer_id" in run("SELECT custmer_id FROM orders")
    assert len(reads) == 2  # the schema reader's own read, which the hint then used
