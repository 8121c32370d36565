"""What `velto-ai check` learns about one engine's database, on the live server.

For an engine whose variable is set: whether the server answers and which
version it is (or what a failed connect means: nothing at the address, a
silent or foreign server, a refused login, a database that cannot be
opened), the account's privilege verdict, and the read-only mechanism tried
for real: the engine's probe statements run through the same session as the
model's statements do and must be refused, inside the call's transaction
that is then rolled back. The probes change nothing even where they are not
refused (a temporary table, an empty commit). Besides the engines: the
directory of the result files, with a file written there and removed.
"""

from __future__ import annotations

import os
import tempfile
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple

from velto_ai_sdk import settings as environment

from . import pool
from .export import results_directory
from .privileges import Verdict, refusal, verdict
from .session import Session, message, run_call
from .settings import current_settings
from .shared import FOREIGN, NO_DATABASE, QUIET, REFUSED, UNREACHABLE, SqlError
from .text import error_text

if TYPE_CHECKING:
    from .base import Dialect


class EngineReport:
    """`lines` are (what, finding) pairs; `ok` is False once one is a problem."""

    def __init__(self, dialect: "Dialect") -> None:
        self.dialect = dialect
        self.configured = True
        self.ok = True
        self.lines: List[Tuple[str, str]] = []

    def add(self, what: str, finding: str) -> None:
        self.lines.append((what, finding))

    def fail(self, what: str, finding: str) -> None:
        self.ok = False
        self.add(what, finding)


def address_of(dialect: "Dialect") -> Optional[str]:
    """The host and port (or socket) the engine's URL names, for a line
    saying what is being waited for; None when the URL is unusable."""
    try:
        url = pool.engine_url(dialect, environment.text(dialect.variable))
    except SqlError:
        return None
    return place(url)


def place(url: Any) -> str:
    """Where a URL points, for messages: host and port, or the socket."""
    host = url.host or url.query.get("host") or "the local socket"
    return "%s:%s" % (host, url.port) if url.port else str(host)


def check_engine(dialect: "Dialect") -> EngineReport:
    report = EngineReport(dialect)
    if environment.text(dialect.variable) is None:
        report.configured = False
        return report
    secrets: List[str] = []
    try:
        settings = current_settings()
        target = pool.target_for(dialect, settings, secrets)
    except Exception as exc:
        report.fail("settings", error_text(message(exc), secrets)[len("Error: "):])
        return report
    found = _server(report, Session(target, settings), secrets)
    if found is None:
        return report
    missing = dialect.missing_database(target)
    if missing is not None:
        report.fail("database", missing)
    if found.privileged and not settings.allow_privileged:
        report.fail("account", refusal(dialect, found, target.database))
        report.add("read-only", "not tried: the account is refused")
        return report
    if found.privileged:
        report.add("account", "%s is privileged (%s); used anyway, as VELTO_SQL_ALLOW_PRIVILEGED=1 says"
                   % (found.account, "; ".join(found.privileges)))
    else:
        report.add("account", "%s, an ordinary account: no superuser, server file or program rights" % found.account)
    if missing is not None:
        report.add("read-only", "not tried: the URL names no database")
        return report
    _read_only(report, dialect, settings.allow_writes)
    return report


def _server(report: EngineReport, session: Session, secrets: List[str]) -> Optional[Verdict]:
    failure: Optional[BaseException] = None
    try:
        try:
            session.open()
        except Exception as exc:
            failure = exc
            report.fail("server", _not_connected(session, exc, secrets))
            return None
        report.add("server", "%s at %s" % (session.dialect.server_version(session),
                                           session.target.url.render_as_string(hide_password=True)))
        return verdict(session)
    except Exception as exc:
        failure = exc
        report.fail("server", "answered, but reading the account failed: "
                    + error_text(message(exc, session), secrets)[len("Error: "):])
        return None
    finally:
        session.close(failure)


def _not_connected(session: Session, exc: BaseException, secrets: List[str]) -> str:
    target = session.target
    return connect_problem(session.dialect, exc, target.url, session.dialect.variable,
                           session.settings.connect_timeout, secrets, lambda: session.dialect.login_hint(target))


def connect_problem(dialect: "Dialect", exc: BaseException, url: Any, source: str, connect_timeout: float,
                    secrets: Sequence[str] = (), login_hint: Callable[[], str] = str) -> str:
    """What a failed connect to `url` means, and what to do about it; `source`
    names where the URL came from (a variable, an option)."""
    where = place(url)
    secrets = list(secrets) + ([str(url.password)] if url.password else [])
    error = error_text(dialect.connect_reason(message(exc)), secrets)[len("Error: "):]
    kind = dialect.connect_failure(exc)
    if kind == UNREACHABLE:
        return ("not reachable at %s: %s. Is the server running, and are the host and port in %s right?"
                % (where, error, source))
    if kind == QUIET:
        return ("%s took the connection but did not answer as a %s server within %g s "
                "(VELTO_SQL_CONNECT_TIMEOUT): is that the %s server's port? (%s)"
                % (where, dialect.label, connect_timeout, dialect.label, error))
    if kind == FOREIGN:
        return ("%s answered, but not as a %s server: is that the %s server's port? (%s)"
                % (where, dialect.label, dialect.label, error))
    if kind == REFUSED:
        return ("the server at %s refused the login: %s. Check the user name and password in %s.%s"
                % (where, error, source, login_hint()))
    if kind == NO_DATABASE:
        return ("the server at %s cannot open the database for this login: %s. Check the database name after "
                "the last / in %s, and that the account may use it." % (where, error, source))
    return "could not connect to %s: %s" % (where, error)


def _read_only(report: EngineReport, dialect: "Dialect", allow_writes: bool) -> None:
    if allow_writes:
        report.add("read-only", "off: VELTO_SQL_ALLOW_WRITES=1 lets statements change data and schema")
        return
    if not dialect.write_probes:
        report.add("read-only", dialect.read_only_mechanism)
        return
    refusals = []
    for probe in dialect.write_probes:
        outcome = _probe(dialect, probe)
        if outcome is None:
            report.fail("read-only", "NOT enforced: %r was not refused" % probe)
            return
        if outcome.startswith("Error: "):
            report.fail("read-only", "could not be tried: " + outcome[len("Error: "):])
            return
        refusals.append(outcome)
    report.add("read-only", "%s; verified: %s" % (dialect.read_only_mechanism, "; ".join(refusals)))


def _probe(dialect: "Dialect", probe: str) -> Optional[str]:
    """The refusal of `probe` by the live server, None when it ran, or an
    error line when the call itself failed."""
    refused: List[str] = []

    def work(session: Session) -> str:
        try:
            dialect.run_query(session, probe)
        except Exception as exc:
            if not dialect.is_read_only_refusal(exc):
                raise
            refused.append("%r was refused (%s)" % (probe, message(exc)))
        return ""

    outcome = run_call(dialect, work)
    if refused:
        return refused[0]
    return outcome or None


def check_results_directory() -> Tuple[bool, str]:
    """Whether the connectors can write their result files: the directory
    made or checked as a call would, and a file written there and removed."""
    try:
        settings = current_settings()
        if not settings.export_rows:
            return True, "none are written (VELTO_SQL_EXPORT_ROWS=0)"
        directory = results_directory(settings)
    except Exception as exc:
        return False, message(exc)
    try:
        fd, path = tempfile.mkstemp(prefix=".velto-check-", dir=directory)
    except OSError as exc:
        return False, "%s: no file can be written there (%s)" % (directory, exc.strerror or exc)
    os.close(fd)
    os.unlink(path)
    if settings.results_dir is None:
        return True, ("not set: each process writes to a private directory under %s, removed when it exits (a file "
                      "was written in one)" % tempfile.gettempdir())
    return True, "%s: yours, closed to others, and a file was written there" % directory


# Where each engine's server listens unless its URL says otherwise.
DEFAULT_PORTS = {"postgresql": 5432, "mysql": 3306, "mariadb": 3306, "mssql": 1433}


def database_addresses() -> List[Tuple[str, str, int]]:
    """(label, host, port) of the server of each engine whose variable is
    set and readable, for the code runner's check: its scripts must reach
    none of them."""
    from . import ENGINES

    addresses = []
    for dialect in ENGINES.values():
        if environment.text(dialect.variable) is None:
            continue
        try:
            url = pool.target_for(dialect, current_settings(), []).url
        except Exception:
            continue  # the engine's own check says why
        port = url.port or DEFAULT_PORTS.get(url.get_backend_name())
        if url.host and port:
            addresses.append((dialect.label, url.host, int(port)))
    return addresses
