"""Privileged accounts are refused unless the host opts in.

A read-only transaction does not stop a superuser from running programs on
the database server or reading its files, nor MySQL's FILE privilege from
writing them. So on first use of a URL the account's privileges are read (by
the engine's dialect) and kept with the URL; while that account is
privileged, every call answers an error that names what it may do, the SQL
for a read-only login, and VELTO_SQL_ALLOW_PRIVILEGED=1, the opt-in for
those who accept the risk. Nothing of the model's runs before that.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, List

from .shared import SqlError

if TYPE_CHECKING:
    from .base import Dialect
    from .session import Session


class Verdict:
    def __init__(self, account: str, privileges: List[str]) -> None:
        self.account = account
        self.privileges = privileges

    @property
    def privileged(self) -> bool:
        return bool(self.privileges)

    def __repr__(self) -> str:
        return "Verdict(%r, %r)" % (self.account, self.privileges)


def verdict(session: "Session") -> Verdict:
    """The account's verdict, read once per engine and URL."""
    target = session.target
    if target.verdict is None:
        account, privileges = session.dialect.read_privileges(session)
        target.verdict = Verdict(account, privileges)
    return target.verdict


def check_account(session: "Session") -> Verdict:
    found = verdict(session)
    if found.privileged and not session.settings.allow_privileged:
        raise SqlError(refusal(session.dialect, found, session.target.database))
    return found


def refusal(dialect: "Dialect", found: Verdict, database: object) -> str:
    return (
        "the %s account %s is privileged: %s. Any statement could use that, read-only transaction or not, "
        "so nothing was run. Give the connectors a login that can only read, for example: %s "
        "Or set VELTO_SQL_ALLOW_PRIVILEGED=1 to use this account anyway, accepting that risk."
        % (dialect.label, found.account, "; ".join(found.privileges),
           dialect.read_only_login(database if isinstance(database, str) else None))
    )
