"""What a conversation checks before anything reaches the model, each with
an error that says what to do.

Bad arguments are TypeError or ValueError; what the host has yet to set up
(the private code environment, the database's URL) is a SetupError.
"""

from __future__ import annotations

import os
import re
import tempfile
from typing import Any, Dict, Optional

from .. import settings
from . import settings as chat_settings

# Spellings people use for each engine, beside its own name, compared
# without case, spaces, dashes, dots, underscores or slashes.
ENGINE_SPELLINGS: Dict[str, str] = {
    "postgresql": "postgresql", "postgres": "postgresql", "postgre": "postgresql", "pg": "postgresql",
    "pgsql": "postgresql", "psql": "postgresql",
    "mysql": "mysql", "mariadb": "mysql", "maria": "mysql", "mysqlmariadb": "mysql",
    "mssql": "mssql", "mssqlserver": "mssql", "sqlserver": "mssql", "microsoftsqlserver": "mssql",
    "tsql": "mssql",
}
_IGNORED = re.compile(r"[\s\-._/]+")


class SetupError(RuntimeError):
    """Something the host sets up once is missing: the private code
    environment, the database's URL, or the agent could not be built."""


def engine_name(engine: Any) -> str:
    """The engine's name in velto_ai_sdk.sqltool.ENGINES, from any usual spelling."""
    from ..sqltool import ENGINES

    if not isinstance(engine, str):
        raise TypeError("engine must be a string such as 'postgresql', not %s" % type(engine).__name__)
    name = ENGINE_SPELLINGS.get(_IGNORED.sub("", engine).lower())
    if name is None:
        supported = ", ".join("%s (%s)" % (dialect.name, dialect.label) for dialect in ENGINES.values())
        raise ValueError("unknown engine %r: the supported engines are %s" % (engine, supported))
    return name


def media_path_of(media_path: Any) -> str:
    """The media directory's absolute path, not yet made; ValueError when a
    file is in its place."""
    if not isinstance(media_path, (str, os.PathLike)):
        raise TypeError("media_path must be a path, not %s" % type(media_path).__name__)
    path = os.path.abspath(os.path.expanduser(os.fspath(media_path)))
    if os.path.exists(path) and not os.path.isdir(path):
        raise ValueError("media_path %s is not a directory" % path)
    return path


def media_directory(media_path: Any) -> str:
    """The media directory as an absolute path, made when missing; ValueError
    when it cannot be made or written."""
    path = media_path_of(media_path)
    try:
        os.makedirs(path, exist_ok=True)
        with tempfile.TemporaryFile(dir=path):
            pass  # the proof that charts can be saved there
    except OSError as error:
        raise ValueError("media_path %s cannot be used for charts: %s" % (path, error.strerror or error)) from None
    return path


def instructions_text(instructions: Any) -> Optional[str]:
    if instructions is not None and not isinstance(instructions, str):
        raise TypeError("instructions must be a string or None, not %s" % type(instructions).__name__)
    return instructions


def question_text(question: Any) -> str:
    if not isinstance(question, str):
        raise TypeError("the question must be a string, not %s" % type(question).__name__)
    if not question.strip():
        raise ValueError("the question is empty")
    limit = chat_settings.max_question_chars()
    if len(question) > limit:
        raise ValueError("the question is %d characters long; at most %d are taken (%s)"
                         % (len(question), limit, chat_settings.QUESTION_VARIABLE))
    return question


def environment_ready() -> None:
    """The private code environment the agent's scripts run in exists."""
    from .. import codetool

    python = codetool.python_executable
    how = ("make it once with velto_ai_sdk.master.initialize_env(path) (the command line: velto-ai init), "
           "or point to an existing one with the same call")
    if python is None:
        raise SetupError("the private code environment is not set up in this process: " + how)
    if not os.access(python, os.X_OK):
        raise SetupError("the private code environment at %s is gone (no interpreter at %s): %s"
                         % (codetool.env_path, python, how))


def database_configured(engine: str) -> None:
    """The engine's database URL is set."""
    from ..sqltool import ENGINES

    dialect = ENGINES[engine]
    if settings.text(dialect.variable) is None:
        raise SetupError("no %s database is configured: set %s to its SQLAlchemy URL, for example %s"
                         % (dialect.label, dialect.variable, dialect.example_url))
