"""What `velto-ai check` learns about one engine's database, on the live server.

For an engine whose variable is set: whether the server answers and which
version it is, the account's privilege verdict, and the read-only mechanism
tried for real: the engine's probe statements run through the same session
as the model's statements do and must be refused, inside the call's
transaction that is then rolled back. The probes change nothing even where
they are not refused (a temporary table, an empty commit).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Optional, Tuple

from velto_ai_sdk import settings as environment

from . import pool
from .privileges import Verdict, refusal, verdict
from .session import Session, message, run_call
from .settings import current_settings
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
    if found.privileged and not settings.allow_privileged:
        report.fail("account", refusal(dialect, found, target.database))
        report.add("read-only", "not tried: the account is refused")
        return report
    if found.privileged:
        report.add("account", "%s is privileged (%s); used anyway, as VELTO_SQL_ALLOW_PRIVILEGED=1 says"
                   % (found.account, "; ".join(found.privileges)))
    else:
        report.add("account", "%s, an ordinary account: no superuser, server file or program rights" % found.account)
    _read_only(report, dialect, settings.allow_writes)
    return report


def _server(report: EngineReport, session: Session, secrets: List[str]) -> Optional[Verdict]:
    failure: Optional[BaseException] = None
    try:
        session.open()
        report.add("server", "%s at %s" % (session.dialect.server_version(session),
                                           session.target.url.render_as_string(hide_password=True)))
        return verdict(session)
    except Exception as exc:
        failure = exc
        report.fail("server", "not reachable: " + error_text(message(exc, session), secrets)[len("Error: "):])
        return None
    finally:
        session.close(failure)


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
