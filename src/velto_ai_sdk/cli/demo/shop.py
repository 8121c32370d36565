"""The sample shop in a PostgreSQL server: the database it goes in, loading
it, the login that can only read it, and removing what the demo made.

In the server the demo starts for itself, all of it goes with the server. In
your own (--database-url), the shop goes into the database the URL names (or
"velto_demo_shop" when it names the server's own "postgres"), which is made
when missing; the demo says so, marks what it makes with a comment, and
drops it again when asked (--remove): the database if the demo made it, else
the shop's four tables, and the login.
"""

from __future__ import annotations

import re
import secrets
from pathlib import Path
from typing import Any, List, NamedTuple, Optional

from .errors import DemoError

SHOP_SQL = Path(__file__).resolve().parent / "shop.sql"
READER = "velto_demo_reader"
TABLES = ("customers", "products", "orders", "order_items")  # the order they are made in
DEFAULT_DATABASE = "velto_demo_shop"
SERVER_DATABASES = ("postgres", "template0", "template1")
MARK = "velto-ai demo: the sample shop"  # the comment on what the demo made
# The statements here are written out, not bound: the names they hold are ours or plain.
PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def admin_url(raw: str) -> Any:
    """The SQLAlchemy URL of --database-url, with the connectors' driver for
    a plain postgresql:// URL."""
    from velto_ai_sdk.sqltool import ENGINES, engine_url
    from velto_ai_sdk.sqltool.shared import SqlError

    try:
        return engine_url(ENGINES["postgresql"], raw, "--database-url")
    except SqlError as error:
        raise DemoError(str(error), 2) from None


def shop_database(url: Any) -> str:
    """The database the shop goes in: the URL's, unless it is the server's own."""
    name = url.database if url.database and url.database not in SERVER_DATABASES else DEFAULT_DATABASE
    if not PLAIN_NAME.fullmatch(name):
        raise DemoError("the demo's database name must be letters, digits and _ (not starting with a digit); "
                        "--database-url names %r" % name, 2)
    return name


def _name(identifier: str) -> str:
    return '"%s"' % identifier.replace('"', '""')


def _text(value: str) -> str:
    return "'%s'" % value.replace("'", "''")


def _engine(url: Any, database: str, **options: Any) -> Any:
    from sqlalchemy import create_engine

    return create_engine(url.set(database=database), **options)


def _server_engine(url: Any) -> Any:
    """An autocommit engine on a database that is there whatever the demo
    did: the URL's own when it names the server's, else "postgres"."""
    database = url.database if url.database in SERVER_DATABASES else "postgres"
    return _engine(url, database, isolation_level="AUTOCOMMIT")


class Found(NamedTuple):
    database: Optional[str]  # the database's comment ("" without one), None when it is not there
    tables: List[str]  # the shop's tables that are there
    ours: List[str]  # those of them the demo made
    reader: bool


def look(url: Any) -> Found:
    """What of the shop is in the server now."""
    name = shop_database(url)
    engine = _server_engine(url)
    try:
        with engine.connect() as connection:
            database = connection.exec_driver_sql(
                "SELECT coalesce(shobj_description(oid, 'pg_database'), '') FROM pg_database WHERE datname = %s"
                % _text(name)).scalar()
            reader = bool(connection.exec_driver_sql(
                "SELECT 1 FROM pg_roles WHERE rolname = %s" % _text(READER)).scalar())
    finally:
        engine.dispose()
    tables: List[str] = []
    ours: List[str] = []
    if database is not None:
        engine = _engine(url, name)
        try:
            with engine.connect() as connection:
                for table in TABLES:
                    comment = connection.exec_driver_sql(
                        "SELECT coalesce(obj_description(c.oid, 'pg_class'), '') FROM pg_class c"
                        " JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'public' AND c.relname = %s"
                        % _text(table)).scalar()
                    if comment is not None:
                        tables.append(table)
                        if comment == MARK:
                            ours.append(table)
        finally:
            engine.dispose()
    return Found(database, tables, ours, reader)


def plan(url: Any) -> str:
    """What loading the shop will make in the server, in words, checked
    against what is there: DemoError when the database holds tables of the
    shop's names that the demo did not make."""
    name = shop_database(url)
    found = look(url)
    theirs = [table for table in found.tables if table not in found.ours]
    if theirs:
        raise DemoError('the database "%s" already has tables of its own named %s: give --database-url another '
                        "database name for the demo (it is made when missing)" % (name, ", ".join(theirs)), 2)
    if found.database is None:
        what = 'a new database "%s"' % name
    elif len(found.ours) == len(TABLES):
        what = 'the database "%s" (loaded by an earlier run)' % name
    else:
        what = 'the tables %s in the database "%s"' % (", ".join(TABLES), name)
    return "%s and the login %s, which can only read it" % (what, READER)


def load_shop(admin_url_text: str) -> str:
    """Creates the shop's database unless it is there, loads the sample data
    unless it is loaded; returns the database's URL (the same account)."""
    url = admin_url(admin_url_text)
    name = shop_database(url)
    engine = _server_engine(url)
    try:
        with engine.connect() as connection:
            exists = connection.exec_driver_sql("SELECT 1 FROM pg_database WHERE datname = %s" % _text(name)).scalar()
            if not exists:
                connection.exec_driver_sql("CREATE DATABASE %s" % _name(name))
                connection.exec_driver_sql("COMMENT ON DATABASE %s IS %s" % (_name(name), _text(MARK)))
    finally:
        engine.dispose()
    shop = _engine(url, name)
    try:
        with shop.begin() as connection:
            loaded = connection.exec_driver_sql("SELECT to_regclass('public.order_items') IS NOT NULL").scalar()
            if not loaded:
                connection.exec_driver_sql(SHOP_SQL.read_text(encoding="utf-8"))
                for table in TABLES:
                    connection.exec_driver_sql("COMMENT ON TABLE public.%s IS %s" % (table, _text(MARK)))
    finally:
        shop.dispose()
    return url.set(database=name).render_as_string(hide_password=False)


def reader_login(shop_url: str) -> str:
    """A login that can only read the sample shop, made (or given a fresh
    password) with the administrator's URL of the shop's database; returns
    its URL. The agent's statements never run as the administrator."""
    from sqlalchemy.engine import make_url

    url = make_url(shop_url)
    database = str(url.database)
    password = secrets.token_urlsafe(18)  # letters, digits, - and _: nothing to quote
    admin = _engine(url, database, isolation_level="AUTOCOMMIT")
    try:
        with admin.connect() as connection:
            exists = connection.exec_driver_sql("SELECT 1 FROM pg_roles WHERE rolname = %s" % _text(READER)).scalar()
            connection.exec_driver_sql("%s ROLE %s LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE PASSWORD '%s'"
                                       % ("ALTER" if exists else "CREATE", READER, password))
            for grant in ("GRANT CONNECT ON DATABASE %s TO %%s" % _name(database),
                          "GRANT USAGE ON SCHEMA public TO %s", "GRANT SELECT ON ALL TABLES IN SCHEMA public TO %s"):
                connection.exec_driver_sql(grant % READER)
    finally:
        admin.dispose()
    return url.set(username=READER, password=password).render_as_string(hide_password=False)


def remove(url: Any) -> List[str]:
    """Drops what the demo made in the server; what it dropped, in words."""
    name = shop_database(url)
    found = look(url)
    removed: List[str] = []
    if found.database is not None and found.database != MARK and found.ours:
        # the user's own database: only the demo's tables go
        engine = _engine(url, name, isolation_level="AUTOCOMMIT")
        try:
            with engine.connect() as connection:
                connection.exec_driver_sql("DROP TABLE %s" % ", ".join("public." + t for t in found.ours))
        finally:
            engine.dispose()
        removed.append('the tables %s of the database "%s"' % (", ".join(found.ours), name))
    engine = _server_engine(url)
    try:
        with engine.connect() as connection:
            if found.database == MARK:
                connection.exec_driver_sql("DROP DATABASE %s" % _name(name))
                removed.append('the database "%s"' % name)
            if found.reader:
                _drop_reader(url, connection)
                removed.append("the login %s" % READER)
    finally:
        engine.dispose()
    return removed


def _drop_reader(url: Any, connection: Any) -> None:
    """The login goes with its rights in every database it was given some
    (an earlier run may have loaded the shop elsewhere too)."""
    granted = [row[0] for row in connection.exec_driver_sql(
        "SELECT d.datname FROM pg_database d, aclexplode(d.datacl) a"
        " WHERE a.grantee = (SELECT oid FROM pg_roles WHERE rolname = %s)" % _text(READER))]
    for database in granted:
        engine = _engine(url, database, isolation_level="AUTOCOMMIT")
        try:
            with engine.connect() as other:
                other.exec_driver_sql("DROP OWNED BY %s" % READER)
        finally:
            engine.dispose()
    connection.exec_driver_sql("DROP ROLE %s" % READER)
