"""The local SQLite ledger of usage reports.

Every report is written here before it goes anywhere, so that none is lost.
A report meant for the account service stays unsent until the service has
taken it. While one call posts a report it holds a claim on the row (who and
until when), taken in a write transaction, so that a flush in another thread
or process does not post it too; a claim whose holder died runs out at its
lease and the row is free again.

Every operation opens its own connection and keeps its transaction short, so
threads and processes can share the file; SQLite's busy timeout makes a
writer wait for another instead of failing. The file never holds the account
key, only a fingerprint salted per ledger.
"""

from __future__ import annotations

import contextlib
import hashlib
import hmac
import os
import secrets
import sqlite3
import time
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Dict, Iterator, NamedTuple, Optional

from .errors import VeltoAPIError

BUSY_TIMEOUT = 30.0  # seconds a writer waits for another process's write


class Report(NamedTuple):
    row_id: int
    report_id: str
    question: str
    tokens: int
    cost: float


class Claim(NamedTuple):
    """Who holds a row while posting it, and until when (seconds since the epoch)."""

    holder: str
    expires: float

    @classmethod
    def fresh(cls, lease: float) -> "Claim":
        return cls(secrets.token_hex(8), time.time() + lease)


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds")


# --- the format ----------------------------------------------------------------


def _create(conn: sqlite3.Connection) -> None:
    conn.execute("CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)")
    # One row per report. mode is 'local' (never meant for a service) or
    # 'service'; sent_at is the UTC time the service took it, NULL while unsent.
    conn.execute(
        """CREATE TABLE usage (
            id INTEGER PRIMARY KEY,
            report_id TEXT NOT NULL UNIQUE,
            created_at TEXT NOT NULL,
            question TEXT NOT NULL,
            tokens INTEGER NOT NULL,
            cost REAL NOT NULL,
            mode TEXT NOT NULL CHECK (mode IN ('local', 'service')),
            key_fingerprint TEXT,
            sent_at TEXT,
            attempts INTEGER NOT NULL DEFAULT 0,
            last_error TEXT
        )"""
    )
    conn.execute(
        "CREATE INDEX usage_unsent ON usage (key_fingerprint) WHERE mode = 'service' AND sent_at IS NULL"
    )
    conn.execute("INSERT INTO meta VALUES ('key_salt', ?)", (secrets.token_hex(16),))


def _add_claims(conn: sqlite3.Connection) -> None:
    # The holder of a row being posted and the epoch second its claim runs out.
    conn.execute("ALTER TABLE usage ADD COLUMN claimed_by TEXT")
    conn.execute("ALTER TABLE usage ADD COLUMN claim_expires REAL")


def _add_replays(conn: sqlite3.Connection) -> None:
    # 1 for a question a recorded session answered: no model was paid for it.
    conn.execute("ALTER TABLE usage ADD COLUMN replay INTEGER NOT NULL DEFAULT 0")


# Step n takes a ledger from format n to format n + 1; a new file goes through all.
_UPGRADES = (_create, _add_claims, _add_replays)
VERSION = len(_UPGRADES)
REPLAYS_SINCE = 3  # the first format with the replay column


class Ledger:
    def __init__(self, path: Path) -> None:
        self.path = path

    @contextlib.contextmanager
    def connect(self, create: bool = True, upgrade: bool = True) -> Iterator[Optional[sqlite3.Connection]]:
        """A connection, or None when create is false and there is no ledger yet.

        Without upgrade, a ledger of an older format is read as it is (for
        queries that need nothing newer)."""
        if not create and not self.path.exists():
            yield None
            return
        try:
            if create:
                self._create_file()
            conn = sqlite3.connect(str(self.path), timeout=BUSY_TIMEOUT, isolation_level=None)
        except (OSError, sqlite3.Error) as exc:
            raise VeltoAPIError(f"Cannot open the usage ledger at {self.path}: {exc}") from exc
        try:
            ready = self._upgrade(conn, create, upgrade)
            yield conn if ready else None
        except sqlite3.Error as exc:
            raise VeltoAPIError(f"Usage ledger at {self.path}: {exc}") from exc
        finally:
            conn.close()

    def _create_file(self) -> None:
        self.path.parent.mkdir(parents=True, exist_ok=True, mode=0o700)
        # It holds people's questions: only its owner may read it. SQLite gives
        # its journal files the same permissions.
        try:
            os.close(os.open(str(self.path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except FileExistsError:
            pass

    @staticmethod
    def _version(conn: sqlite3.Connection) -> int:
        return int(conn.execute("PRAGMA user_version").fetchone()[0])

    def _upgrade(self, conn: sqlite3.Connection, create: bool, upgrade: bool) -> bool:
        """Brings the file to this format; False for an empty file that may not be created."""
        version = self._version(conn)
        if version > VERSION:
            raise VeltoAPIError(
                f"The usage ledger at {self.path} was written by a newer velto_ai_sdk "
                f"(format {version}); upgrade, or set VELTO_USAGE_DB to another file."
            )
        if version == VERSION or (version and not upgrade):
            return True
        if version == 0 and not create:
            return False
        # An older ledger is upgraded in place, its rows kept as they are. Two
        # processes may meet the same old or new file at once: take the write
        # lock first, then look again.
        with self._transaction(conn):
            version = self._version(conn)
            if version < VERSION:
                for step in _UPGRADES[version:]:
                    step(conn)
                conn.execute(f"PRAGMA user_version = {VERSION}")
        return True

    @staticmethod
    @contextlib.contextmanager
    def _transaction(conn: sqlite3.Connection) -> Iterator[None]:
        conn.execute("BEGIN IMMEDIATE")
        try:
            yield
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        conn.execute("COMMIT")

    @staticmethod
    def _fingerprint(conn: sqlite3.Connection, key: str) -> str:
        # Salted per ledger, so that the same key gives unrelated fingerprints
        # in two ledgers and a copied file says nothing about other machines.
        salt = conn.execute("SELECT value FROM meta WHERE name = 'key_salt'").fetchone()[0]
        return hmac.new(salt.encode(), key.encode(), hashlib.sha256).hexdigest()

    def add(self, question: str, tokens: int, cost: float, report_id: str,
            key: Optional[str], claim: Optional[Claim] = None, replay: bool = False) -> int:
        """Write one report; a key marks it as meant for the service (unsent),
        a claim holds it for the caller that posts it, replay marks a
        question a recorded session answered."""
        with self.connect() as conn:
            assert conn is not None
            fingerprint = self._fingerprint(conn, key) if key is not None else None
            mode = "local" if key is None else "service"
            holder, expires = claim if claim is not None else (None, None)
            cursor = conn.execute(
                "INSERT INTO usage (report_id, created_at, question, tokens, cost, mode, key_fingerprint,"
                " claimed_by, claim_expires, replay) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (report_id, _now(), question, tokens, cost, mode, fingerprint, holder, expires, int(replay)),
            )
            row_id = cursor.lastrowid
            assert row_id is not None
            return row_id

    def claim_next(self, key: str, claim: Claim, after: int) -> Optional[Report]:
        """Claims the first unsent report of this key after row `after` that no
        live claim holds, or returns None when there is none."""
        with self.connect(create=False) as conn:
            if conn is None:
                return None
            with self._transaction(conn):
                row = conn.execute(
                    "SELECT id, report_id, question, tokens, cost FROM usage"
                    " WHERE mode = 'service' AND sent_at IS NULL AND key_fingerprint = ? AND id > ?"
                    " AND (claim_expires IS NULL OR claim_expires <= ?) ORDER BY id LIMIT 1",
                    (self._fingerprint(conn, key), after, time.time()),
                ).fetchone()
                if row is None:
                    return None
                conn.execute(
                    "UPDATE usage SET claimed_by = ?, claim_expires = ? WHERE id = ?",
                    (claim.holder, claim.expires, row[0]),
                )
            return Report(*row)

    def mark_sent(self, row_id: int) -> None:
        with self.connect() as conn:
            assert conn is not None
            conn.execute(
                "UPDATE usage SET sent_at = ?, attempts = attempts + 1, last_error = NULL,"
                " claimed_by = NULL, claim_expires = NULL WHERE id = ? AND sent_at IS NULL",
                (_now(), row_id),
            )

    def release(self, row_id: int, claim: Optional[Claim], error: str) -> None:
        """Notes why a report was not sent and frees it for the next flush, unless
        another caller has taken it over since."""
        holder = claim.holder if claim is not None else None
        with self.connect() as conn:
            assert conn is not None
            conn.execute(
                "UPDATE usage SET attempts = attempts + 1, last_error = ?, claimed_by = NULL,"
                " claim_expires = NULL WHERE id = ? AND claimed_by IS ?",
                (error[:500], row_id, holder),
            )

    def summary(self) -> Dict[str, Any]:
        """Questions, tokens, cost, unsent reports and replays; zeros without
        creating a missing ledger."""
        totals: Dict[str, Any] = {"questions": 0, "tokens": 0, "cost": 0.0, "unsent": 0, "replays": 0}
        with self.connect(create=False, upgrade=False) as conn:
            if conn is None:
                return totals
            # an older ledger, read as it is, has no replays
            replays = "COALESCE(SUM(replay), 0)" if self._version(conn) >= REPLAYS_SINCE else "0"
            questions, tokens, cost, unsent, replays = conn.execute(
                "SELECT COUNT(*), COALESCE(SUM(tokens), 0), TOTAL(cost),"
                " COALESCE(SUM(mode = 'service' AND sent_at IS NULL), 0), %s FROM usage" % replays
            ).fetchone()
        totals.update(questions=questions, tokens=tokens, cost=cost, unsent=unsent, replays=replays)
        return totals
