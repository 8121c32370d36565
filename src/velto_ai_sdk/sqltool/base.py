"""What every engine provides (what they share beside it is in shared.py).

Each engine file (postgresql.py, mysql.py, mssql.py) holds one Dialect
subclass that owns everything the connectors know about its engine: the
variable and example URL, driver and connect arguments, the read-only
mechanism, the privilege check and the read-only login to suggest instead,
the session reset, how a statement is stopped on the server, error codes and
the catalog queries. Everything else (pooling, sessions, the time limit,
result and schema text) is shared and engine-blind.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from .loading import TEXT
from .shared import OTHER, readable
from .watchdog import Stopper

if TYPE_CHECKING:
    from .catalog import Column, Relation
    from .export import Export
    from .pool import Target
    from .results import Result
    from .session import Session
    from .settings import SqlSettings


class Dialect:
    name = ""
    label = ""
    prompt_name = ""  # the engine's name in the agent's prompt
    variable = ""
    example_url = ""
    backend_names: Tuple[str, ...] = ()
    default_drivers: Dict[str, str] = {}
    driver = ""
    pooled = True
    read_only_mechanism = ""

    # -- connecting -----------------------------------------------------------

    def connect_args(self, settings: "SqlSettings") -> Dict[str, Any]:
        return {}

    def prepare_engine(self, engine: Any) -> None:
        """Hooks on the SQLAlchemy engine (per-connection set-up)."""

    def socket_fd(self, dbapi: Any) -> Optional[int]:
        return None

    def is_alive(self, dbapi: Any) -> bool:
        fd = self.socket_fd(dbapi)
        return fd is None or not readable(fd)

    def stopper(self, session: "Session") -> Stopper:
        return Stopper()

    def dropped(self, session: "Session") -> None:
        """After a session's connection was closed instead of reset: undo on
        the server what closing it does not."""

    def connect_failure(self, exc: BaseException) -> str:
        """What a failure to open a connection means: one of shared.py's
        UNREACHABLE, QUIET, FOREIGN, REFUSED, NO_DATABASE or OTHER."""
        return OTHER

    def connect_reason(self, message: str) -> str:
        """The driver's words for a failed connect, without what a message
        around them says already (the address, a question of its own)."""
        return message

    def login_hint(self, target: "Target") -> str:
        """More words for a refused login, when the server shows why."""
        return ""

    def missing_database(self, target: "Target") -> Optional[str]:
        """What is wrong with a URL that names no database, where the engine
        needs one; None when it names one or needs none."""
        return None

    def is_disconnect(self, exc: BaseException, session: "Session") -> bool:
        orig = getattr(exc, "orig", exc)
        try:
            return bool(session.target.engine.dialect.is_disconnect(orig, session.dbapi, None))
        except Exception:
            return False

    # -- a call -----------------------------------------------------------------

    def begin(self, session: "Session") -> None:
        """Starts the call's transaction: read-only unless writes are allowed,
        with the server's own time limits."""
        raise NotImplementedError

    def end(self, session: "Session", commit: bool) -> None:
        """Ends the transaction and resets the session, so that nothing the
        statement did survives into the next call; raises when that cannot
        be done, and the connection is then dropped."""
        raise NotImplementedError

    def run_query(self, session: "Session", sql: str, export: Optional["Export"] = None) -> "Result":
        """Runs the model's statement: its rows shown, and written to
        `export` as they come."""
        raise NotImplementedError

    def hint(self, exc: BaseException, session: "Session") -> str:
        """Words for the model after the driver's message."""
        if session.timed_out or self.is_time_limit(exc):
            return "(time limit %g s, VELTO_SQL_TIMEOUT)" % session.settings.timeout
        if self.is_read_only_refusal(exc):
            return "(the connection is read-only: set VELTO_SQL_ALLOW_WRITES=1 to allow changes)"
        return ""

    def is_time_limit(self, exc: BaseException) -> bool:
        return False

    def unknown_name(self, exc: BaseException) -> Optional[Tuple[str, Optional[str], str]]:
        """("table" or "column", the schema it was given in or None, the
        name) when the server says such a name does not exist."""
        return None

    # Names that need no quotes in a statement.
    plain_name = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")

    def identifier(self, name: str) -> str:
        """A name as a statement must write it."""
        return name if self.plain_name.fullmatch(name) else self.quoted(name)

    def quoted(self, name: str) -> str:
        raise NotImplementedError

    def default_schema(self, target: "Target") -> Optional[str]:
        """The schema unqualified names are looked for in."""
        return None

    def is_read_only_refusal(self, exc: BaseException) -> bool:
        return False

    def column_kinds(self, description: Sequence[Sequence[Any]]) -> List[str]:
        """Each result column's kind (loading.py), from the driver's
        description of the result, for the call that loads its file."""
        return [TEXT] * len(description)

    # -- the account ------------------------------------------------------------

    def read_privileges(self, session: "Session") -> Tuple[str, List[str]]:
        """The account's name and what it may do that no statement of the
        model should: empty when it is an ordinary account."""
        raise NotImplementedError

    def read_only_login(self, database: Optional[str]) -> str:
        """The SQL an administrator runs to make a login that can only read."""
        raise NotImplementedError

    def server_version(self, session: "Session") -> str:
        raise NotImplementedError

    # Statements the read-only mechanism must refuse, tried by `velto-ai
    # check`; each changes nothing even if it runs.
    write_probes: Tuple[str, ...] = ()

    # -- the schema -------------------------------------------------------------

    def schema_header(self, session: "Session") -> str:
        raise NotImplementedError

    def catalog(self, session: "Session") -> Tuple[List[Tuple], List[Tuple]]:
        """Rows (schema, name, kind, rows, column, type, not null, the
        table's comment, the column's comment) ordered by relation, and key
        rows (schema, table, name, "PK"/"FK", column, referenced schema,
        table, column) ordered by key."""
        raise NotImplementedError

    def columns_query(self, schema: str, table: str) -> str:
        """A statement that lists a table's columns and their types."""
        raise NotImplementedError

    def tables_query(self, schema: Optional[str]) -> str:
        """A statement that lists the tables and views whose name holds a
        word (the word left for the model to fill in); `schema` is the
        default one."""
        raise NotImplementedError

    def text_like(self, column: "Column") -> bool:
        """Whether a column holds text that a value list could give."""
        return False

    def value_statistics(self, session: "Session", tables: Sequence["Relation"],
                         deadline: float) -> Dict[int, Dict[str, Optional[List[str]]]]:
        """What the server's statistics tell of the tables' value lists
        (value_lists.py), without reading the tables, by index in `tables`:
        per column a list of all its values, most common first, or None
        when they say it has too many; columns they say nothing of are left
        out. Done by `deadline` (time.monotonic())."""
        return {}

    def bounded_values_query(self, tables: Sequence[Tuple[int, "Relation", List["Column"]]], rows: int) -> str:
        """One statement giving, for each table, (index, -1, NULL, how many
        of its first `rows` + 1 rows exist) and, for each column listed, the
        values of those rows: (index, the column's position in the list, the
        value cut to value_lists.VALUE_CHARS characters, rows holding it),
        most common first, at most value_lists.MAX_VALUES + 1 of them."""
        raise NotImplementedError

    def fetch_within(self, session: "Session", sql: str, seconds: float, params: Any = None) -> List[Tuple]:
        """The rows of a statement of the schema reader's own, stopped by the
        server after `seconds` where it can; a failure leaves the call's
        transaction usable."""
        return session.fetch(sql, params)

    def sample_query(self, tables: Sequence[Tuple[int, "Relation"]], careful: bool = False) -> str:
        """One statement giving (index, values...) for up to three rows of
        each table; `careful` asks for a form that names readable columns
        only."""
        raise NotImplementedError

    def sample_values(self, values: Sequence[Any], careful: bool) -> Tuple[List[Optional[str]], bool]:
        """A sample row's values, each the server's text cut short, and
        whether the row itself was cut (its last value partial)."""
        return list(values), False

    def sample_rows(self, session: "Session", sql: str) -> List[Tuple]:
        """The rows of a sample query; a failure leaves the call's transaction usable."""
        return session.fetch(sql)
