"""The conversation store: conversations, their turns, each turn's events
and the files its answer made (images, result CSV files), through
SQLAlchemy Core.

SQLite by default (a file only its user can read, in WAL mode so that
readers never wait for the writer), or any PostgreSQL URL, which several
server processes on one machine or many may share: whatever a page shows
comes from here, so any process serves any conversation.

A conversation answers one question at a time. Its row's ``busy`` names the
turn being answered (queued or running); taking it is one conditional
UPDATE, atomic in both databases. The process answering a turn is its
``owner`` and keeps its ``heartbeat`` fresh; a turn whose owner is gone (no
such process runs on this machine any more, or its heartbeat is older than
STALE_SECONDS) is marked interrupted when it is next looked at, and its
conversation is free again. A finished turn is written in one transaction
with its files, so a server stopped at any moment loses no finished turn.
"""

from __future__ import annotations

import contextlib
import functools
import json
import os
import secrets
import socket
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple, TypeVar

import sqlalchemy as sa
from sqlalchemy import event
from sqlalchemy.engine import URL, make_url

__all__ = ["Store", "StoreError", "Busy", "NotFound", "Question", "Added", "new_owner", "STALE_SECONDS"]

STALE_SECONDS = 30.0  # a heartbeat older than this: its process is gone
HEARTBEAT_SECONDS = 5.0
UNFINISHED = ("queued", "running")
INTERRUPTED = "the server answering this question stopped before it was done; ask it again"
TITLE_CHARS = 80

metadata = sa.MetaData()

conversations = sa.Table(
    "velto_conversations", metadata,
    sa.Column("id", sa.String(32), primary_key=True),
    sa.Column("title", sa.Text, nullable=False),
    sa.Column("engine", sa.String(16), nullable=False),
    sa.Column("created", sa.Float, nullable=False),
    sa.Column("updated", sa.Float, nullable=False),
    sa.Column("busy", sa.String(32), nullable=True),  # the turn being answered
)

turns = sa.Table(
    "velto_turns", metadata,
    sa.Column("id", sa.String(32), primary_key=True),
    sa.Column("conversation_id", sa.String(32), sa.ForeignKey("velto_conversations.id", ondelete="CASCADE"),
              nullable=False),
    sa.Column("number", sa.Integer, nullable=False),
    sa.Column("question", sa.Text, nullable=False),
    sa.Column("state", sa.String(16), nullable=False),  # queued, running, done, interrupted
    sa.Column("answer", sa.Text, nullable=True),  # Answer.to_dict() as JSON, once done
    sa.Column("error", sa.Text, nullable=True),  # why an interrupted turn has no answer
    sa.Column("owner", sa.String(160), nullable=False),
    sa.Column("heartbeat", sa.Float, nullable=False),
    sa.Column("created", sa.Float, nullable=False),
    sa.Column("started", sa.Float, nullable=True),
    sa.Column("finished", sa.Float, nullable=True),
    sa.UniqueConstraint("conversation_id", "number"),
)

events = sa.Table(
    "velto_events", metadata,
    sa.Column("turn_id", sa.String(32), sa.ForeignKey("velto_turns.id", ondelete="CASCADE"), primary_key=True),
    sa.Column("seq", sa.Integer, primary_key=True, autoincrement=False),
    sa.Column("data", sa.Text, nullable=False),
)

files = sa.Table(
    "velto_files", metadata,
    sa.Column("id", sa.String(32), primary_key=True),
    sa.Column("conversation_id", sa.String(32), sa.ForeignKey("velto_conversations.id", ondelete="CASCADE"),
              nullable=False, index=True),
    sa.Column("turn_id", sa.String(32), sa.ForeignKey("velto_turns.id", ondelete="CASCADE"), nullable=False,
              index=True),
    sa.Column("kind", sa.String(8), nullable=False),  # "image" or "csv"
    sa.Column("name", sa.Text, nullable=False),  # the path the answer names it by
    sa.Column("media_type", sa.String(64), nullable=False),
    sa.Column("size", sa.BigInteger, nullable=False),
    sa.Column("data", sa.LargeBinary, nullable=True),  # None: too large to keep
)

sa.Index("velto_turns_by_conversation", turns.c.conversation_id, turns.c.number)
sa.Index("velto_turns_by_owner", turns.c.owner, turns.c.state)

HOST = socket.gethostname()

# The statements every question runs, made once: making one (and its cache
# key) costs SQLAlchemy more than running it on SQLite. Their values are
# bound by name at each run ("conversation", "turn", "now"...), names that
# no column has.
CONVERSATION = sa.bindparam("conversation")
TURN = sa.bindparam("turn")
TAKE = conversations.update().where(conversations.c.id == CONVERSATION, conversations.c.busy.is_(None)).values(
    busy=TURN, updated=sa.bindparam("now"))
FREE = conversations.update().where(conversations.c.id == CONVERSATION, conversations.c.busy == TURN).values(
    busy=None, updated=sa.bindparam("now"))
IN_CONVERSATIONS: Any = sa.bindparam("conversations", expanding=True)
SO_FAR = sa.select(turns.c.conversation_id, sa.func.coalesce(sa.func.max(turns.c.number), 0),  # the last turn's
                   sa.func.count(sa.case((turns.c.state == "done", 1)))).where(  # number; turns answered
    turns.c.conversation_id.in_(IN_CONVERSATIONS)).group_by(turns.c.conversation_id)
BUSY_WITH = sa.select(conversations.c.id, conversations.c.busy).where(conversations.c.id.in_(IN_CONVERSATIONS))
ADD_TURN = turns.insert()
ADD_CONVERSATION = conversations.insert()
START = turns.update().where(turns.c.id.in_(sa.bindparam("turns", expanding=True)), turns.c.state == "queued"
                             ).values(state="running", heartbeat=sa.bindparam("now"), started=sa.bindparam("now"))
FINISH = turns.update().where(turns.c.id == TURN).values(
    state="done", answer=sa.bindparam("answer_json"), error=None, finished=sa.bindparam("now"))
STATE = sa.select(turns.c.state).where(turns.c.id == TURN, turns.c.conversation_id == CONVERSATION)
UNSETTLED = sa.select(turns.c.id, turns.c.conversation_id, turns.c.owner, turns.c.heartbeat).where(
    turns.c.state.in_(UNFINISHED))
UNSETTLED_IN = UNSETTLED.where(turns.c.conversation_id == CONVERSATION)
TURNS = sa.select(turns).where(turns.c.conversation_id == CONVERSATION).order_by(turns.c.number)
ONE_TURN = TURNS.where(turns.c.id == TURN)
FILES = sa.select(files.c.id, files.c.turn_id, files.c.kind, files.c.name, files.c.media_type, files.c.size,
                  (files.c.data.is_not(None)).label("kept")).where(
    files.c.conversation_id == CONVERSATION).order_by(files.c.turn_id, files.c.kind, files.c.name)
TURN_FILES = FILES.where(files.c.turn_id == TURN)
ADD_EVENT = events.insert()
EVENTS = sa.select(events.c.seq, events.c.data).where(events.c.turn_id == TURN, events.c.seq > sa.bindparam("after")
                                                      ).order_by(events.c.seq)


class StoreError(RuntimeError):
    """The store could not be read or written; the message says why."""


class Busy(Exception):
    """The conversation is answering a question already."""


class NotFound(LookupError):
    """No such conversation (or no such turn or file in it)."""


@dataclass(frozen=True)
class Question:
    """A question to be stored as a new turn: of `conversation_id`, or the
    first of a new conversation on `engine` (titled by the question)."""

    question: str
    conversation_id: Optional[str] = None
    engine: str = ""


@dataclass(frozen=True)
class Added:
    """What storing a Question made: its turn (and the new conversation's
    row) and how many of the conversation's turns were answered before it,
    or why it was refused (Busy, NotFound)."""

    turn: Optional[Dict[str, Any]] = None
    conversation: Optional[Dict[str, Any]] = None
    answered: int = 0
    refused: Optional[Exception] = None


def new_id() -> str:
    return secrets.token_hex(16)


def new_owner() -> str:
    """Names this server process in the turns it answers: machine, process, instance."""
    return "%s:%d:%s" % (HOST, os.getpid(), secrets.token_hex(4))


Result = TypeVar("Result")


def _guarded(method: Callable[..., Result]) -> Callable[..., Result]:
    """The database's failures as StoreError, in words."""

    @functools.wraps(method)
    def call(self: "Store", *args: Any, **kwargs: Any) -> Result:
        try:
            return method(self, *args, **kwargs)
        except sa.exc.SQLAlchemyError as error:
            raise StoreError("the conversation store (%s) failed: %s" % (self.shown, _reason(error))) from None

    return call


def _reason(error: sa.exc.SQLAlchemyError) -> str:
    cause = getattr(error, "orig", None) or error
    lines = [line for line in str(cause).strip().splitlines() if line.strip()]
    return lines[0] if lines else type(cause).__name__


def database_url(configured: str) -> URL:
    """A SQLAlchemy URL, or a path to a SQLite file; PostgreSQL through psycopg."""
    if "://" not in configured:
        path = os.path.abspath(os.path.expanduser(configured))
        return URL.create("sqlite", database=path)
    url = make_url(configured)
    if url.drivername in ("postgresql", "postgres"):
        url = url.set(drivername="postgresql+psycopg")
    return url


def _private_file(path: str) -> None:
    """The SQLite file and its directory, readable by their user only."""
    directory = os.path.dirname(path)
    if not os.path.isdir(directory):
        os.makedirs(directory, mode=0o700)
    if not os.path.exists(path):
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))


class Store:
    """One database holding every conversation; safe to share between threads."""

    def __init__(self, configured: str) -> None:
        url = database_url(configured)
        self.url = url.render_as_string(hide_password=False)  # for this server's other processes
        self.shown = url.render_as_string(hide_password=True)
        self.kind = url.get_backend_name()
        if self.kind not in ("sqlite", "postgresql"):
            raise StoreError("the conversation store must be SQLite or PostgreSQL, not %s (%s)"
                             % (self.kind, self.shown))
        if self.kind == "sqlite":
            if not url.database or url.database == ":memory:":
                raise StoreError("the conversation store needs a SQLite file, not an in-memory database")
            try:
                _private_file(url.database)
            except OSError as error:
                raise StoreError("cannot make the conversation store %s: %s" % (url.database, error.strerror))
            self.engine = sa.create_engine(url, pool_size=8, max_overflow=24)
            _sqlite_pragmas(self.engine)
        else:
            self.engine = sa.create_engine(url, pool_size=8, max_overflow=24, pool_pre_ping=True)
        self._writing: Any = threading.Lock() if self.kind == "sqlite" else contextlib.nullcontext()

    # -- the connection -------------------------------------------------------------

    @contextlib.contextmanager
    def _write(self) -> Iterator[Any]:
        """A connection for a transaction that will write. SQLite takes its
        write lock when the transaction starts; the threads of this process
        take turns before that, since SQLite's own wait for its lock sleeps
        in steps of up to 100 ms rather than waking the next writer."""
        with self._writing, self.engine.connect().execution_options(velto_write=True) as connection:
            yield connection

    @_guarded
    def open(self) -> "Store":
        """Makes the tables when missing (several processes may start at once)."""
        with self._write() as connection, connection.begin():
            if self.kind == "postgresql":
                connection.execute(sa.text("SELECT pg_advisory_xact_lock(7300519)"))
            metadata.create_all(connection, checkfirst=True)
        return self

    def close(self) -> None:
        self.engine.dispose()

    # -- conversations ----------------------------------------------------------------

    @_guarded
    def conversations(self) -> List[Dict[str, Any]]:
        """Every conversation, the latest first, with its number of turns."""
        counted = (sa.select(turns.c.conversation_id, sa.func.count().label("turns"))
                   .group_by(turns.c.conversation_id).subquery())
        query = (sa.select(conversations, sa.func.coalesce(counted.c.turns, 0).label("turns"))
                 .outerjoin(counted, counted.c.conversation_id == conversations.c.id)
                 .order_by(conversations.c.updated.desc()))
        with self.engine.connect() as connection:
            return [dict(row._mapping) for row in connection.execute(query)]

    @_guarded
    def conversation(self, conversation_id: str) -> Dict[str, Any]:
        self._settle(conversation_id)
        with self.engine.connect() as connection:
            row = connection.execute(sa.select(conversations).where(conversations.c.id == conversation_id)).first()
            if row is None:
                raise NotFound(conversation_id)
            found = dict(row._mapping)
            found["turns"] = self._turns(connection, conversation_id)
        return found

    @_guarded
    def delete_conversation(self, conversation_id: str) -> None:
        """Removes it with everything it holds; Busy while it answers a question."""
        self._settle(conversation_id)
        with self._write() as connection, connection.begin():
            row = connection.execute(sa.select(conversations.c.busy).where(
                conversations.c.id == conversation_id)).first()
            if row is None:
                raise NotFound(conversation_id)
            if row.busy is not None:
                raise Busy(conversation_id)
            ids = sa.select(turns.c.id).where(turns.c.conversation_id == conversation_id).scalar_subquery()
            connection.execute(files.delete().where(files.c.conversation_id == conversation_id))
            connection.execute(events.delete().where(events.c.turn_id.in_(ids)))
            connection.execute(turns.delete().where(turns.c.conversation_id == conversation_id))
            connection.execute(conversations.delete().where(conversations.c.id == conversation_id))

    # -- turns ------------------------------------------------------------------------

    @_guarded
    def add_turns(self, asked: Sequence[Question], owner: str) -> List[Added]:
        """New queued turns for the questions asked, in one transaction; for
        each, what was added, or why not: Busy when its conversation answers
        another question (one whose server is gone is marked interrupted
        first, and the question then taken), NotFound when there is no such
        conversation."""
        added = self._add_turns(asked, owner)
        again = [number for number, result in enumerate(added)
                 if isinstance(result.refused, Busy) and self._settle(asked[number].conversation_id)]
        if again:
            for number, result in zip(again, self._add_turns([asked[number] for number in again], owner)):
                added[number] = result
        return added

    def _add_turns(self, asked: Sequence[Question], owner: str) -> List[Added]:
        """One transaction of a few statements, however many questions."""
        now = time.time()
        turn_ids = [new_id() for _ in asked]
        follow_ups: Dict[str, int] = {}  # conversation id -> its first question here (the others are Busy)
        for number, question in enumerate(asked):
            if question.conversation_id is not None:
                follow_ups.setdefault(question.conversation_id, number)
        added: List[Added] = []
        made: List[Dict[str, Any]] = []  # new conversations
        rows: List[Dict[str, Any]] = []  # new turns
        with self._write() as connection, connection.begin():
            taken, found = self._take(connection, {id_: turn_ids[number] for id_, number in follow_ups.items()}, now)
            so_far = self._so_far(connection, taken)
            for number, question in enumerate(asked):
                conversation: Optional[Dict[str, Any]] = None
                conversation_id = question.conversation_id
                if conversation_id is None:
                    conversation = {"id": new_id(), "title": _title(question.question), "engine": question.engine,
                                    "created": now, "updated": now, "busy": turn_ids[number]}
                    made.append(conversation)
                    conversation_id = conversation["id"]
                elif conversation_id not in taken or follow_ups[conversation_id] != number:
                    added.append(Added(refused=Busy(conversation_id) if conversation_id in found
                                       else NotFound(conversation_id)))
                    continue
                last, answered = so_far.get(conversation_id, (0, 0))
                rows.append({"id": turn_ids[number], "conversation_id": conversation_id, "number": last + 1,
                             "question": question.question, "state": "queued", "answer": None, "error": None,
                             "owner": owner, "heartbeat": now, "created": now, "started": None, "finished": None})
                added.append(Added(turn=dict(rows[-1], files=[]), conversation=conversation, answered=answered))
            if made:
                connection.execute(ADD_CONVERSATION, made)
            if rows:
                connection.execute(ADD_TURN, rows)
        return added

    @staticmethod
    def _take(connection: Any, taking: Dict[str, str], now: float) -> Tuple[Set[str], Set[str]]:
        """Marks each conversation busy with its new turn (conversation id ->
        turn id) where it is free: the conversations taken, and those found."""
        if not taking:
            return set(), set()
        connection.execute(TAKE, [{"conversation": id_, "turn": turn_id, "now": now} for id_, turn_id in taking.items()])
        busy = connection.execute(BUSY_WITH, {"conversations": list(taking)}).all()
        return {row.id for row in busy if row.busy == taking[row.id]}, {row.id for row in busy}

    @staticmethod
    def _so_far(connection: Any, conversation_ids: Set[str]) -> Dict[str, Tuple[int, int]]:
        """Each conversation's last turn number and how many of its turns were answered."""
        if not conversation_ids:
            return {}
        found = connection.execute(SO_FAR, {"conversations": list(conversation_ids)})
        return {row[0]: (row[1], row[2]) for row in found}

    @_guarded
    def finish_turn(self, conversation_id: str, turn_id: str, answer: Dict[str, Any],
                    made: Iterable[Tuple[str, str, str, int, Optional[bytes]]] = ()) -> None:
        """Stores the answer and its files (kind, name, media type, size,
        data) and frees the conversation, in one transaction."""
        now = time.time()
        with self._write() as connection, connection.begin():
            updated = connection.execute(FINISH, {"turn": turn_id, "answer_json": json.dumps(answer), "now": now})
            if updated.rowcount != 1:
                return  # the conversation was deleted meanwhile
            for kind, name, media_type, size, data in made:
                connection.execute(files.insert().values(
                    id=new_id(), conversation_id=conversation_id, turn_id=turn_id, kind=kind, name=name,
                    media_type=media_type, size=size, data=data))
            self._free(connection, conversation_id, turn_id, now)

    @_guarded
    def interrupt_turn(self, conversation_id: str, turn_id: str, reason: str) -> None:
        with self._write() as connection, connection.begin():
            self._interrupt(connection, conversation_id, turn_id, reason)

    @_guarded
    def interrupt_owned(self, owner: str, reason: str) -> int:
        """Marks every unfinished turn of `owner` interrupted (a server
        stopping); how many there were."""
        with self._write() as connection, connection.begin():
            rows = connection.execute(sa.select(turns.c.id, turns.c.conversation_id).where(
                turns.c.owner == owner, turns.c.state.in_(UNFINISHED))).all()
            for row in rows:
                self._interrupt(connection, row.conversation_id, row.id, reason)
        return len(rows)

    def _interrupt(self, connection: Any, conversation_id: str, turn_id: str, reason: str) -> None:
        now = time.time()
        connection.execute(turns.update().where(turns.c.id == turn_id, turns.c.state.in_(UNFINISHED)).values(
            state="interrupted", error=reason, finished=now))
        self._free(connection, conversation_id, turn_id, now)

    @staticmethod
    def _free(connection: Any, conversation_id: str, turn_id: str, now: float) -> None:
        connection.execute(FREE, {"conversation": conversation_id, "turn": turn_id, "now": now})

    @_guarded
    def turn(self, conversation_id: str, turn_id: str) -> Dict[str, Any]:
        """The turn with its answer and the list of its files."""
        with self.engine.connect() as connection:
            found = self._turns(connection, conversation_id, turn_id)
        if not found:
            raise NotFound(turn_id)
        return found[0]

    @_guarded
    def turn_state(self, conversation_id: str, turn_id: str) -> str:
        """Queued, running, done or interrupted; NotFound when the
        conversation has no such turn."""
        with self.engine.connect() as connection:
            return self._state(connection, conversation_id, turn_id)

    @_guarded
    def progress(self, conversation_id: str, turn_id: str, after: int = 0
                 ) -> Tuple[str, List[Tuple[int, Dict[str, Any]]]]:
        """The turn's state and its events after the `after`th, as one
        reading; a turn whose server is gone is marked interrupted first."""
        self._settle(conversation_id)
        with self.engine.connect() as connection:
            return self._state(connection, conversation_id, turn_id), self._events(connection, turn_id, after)

    @staticmethod
    def _state(connection: Any, conversation_id: str, turn_id: str) -> str:
        state = connection.execute(STATE, {"turn": turn_id, "conversation": conversation_id}).scalar()
        if state is None:
            raise NotFound(turn_id)
        return state

    @_guarded
    def answers(self, conversation_id: str) -> List[Dict[str, Any]]:
        """The stored answers of the conversation's finished turns, oldest first."""
        query = (sa.select(turns.c.answer).where(turns.c.conversation_id == conversation_id,
                                                 turns.c.state == "done").order_by(turns.c.number))
        with self.engine.connect() as connection:
            return [json.loads(row.answer) for row in connection.execute(query)]

    def _turns(self, connection: Any, conversation_id: str, turn_id: Optional[str] = None) -> List[Dict[str, Any]]:
        values = {"conversation": conversation_id, "turn": turn_id}
        found = []
        by_turn: Dict[str, List[Dict[str, Any]]] = {}
        for row in connection.execute(FILES if turn_id is None else TURN_FILES, values):
            by_turn.setdefault(row.turn_id, []).append(dict(row._mapping))
        for row in connection.execute(TURNS if turn_id is None else ONE_TURN, values):
            turn = dict(row._mapping)
            turn["answer"] = None if turn["answer"] is None else json.loads(turn["answer"])
            turn["files"] = by_turn.get(turn["id"], [])
            found.append(turn)
        return found

    # -- owners and their heartbeat --------------------------------------------------------

    @_guarded
    def heartbeat(self, turn_ids: List[str]) -> None:
        """The turns this process is answering or has in line are still its own."""
        with self._write() as connection, connection.begin():
            connection.execute(turns.update().where(turns.c.id.in_(turn_ids), turns.c.state.in_(UNFINISHED)).values(
                heartbeat=time.time()))

    def _settle(self, conversation_id: Optional[str] = None) -> int:
        """Marks interrupted the unfinished turns whose owner is gone; how many there were."""
        query, values = (UNSETTLED, {}) if conversation_id is None else (UNSETTLED_IN, {"conversation": conversation_id})
        with self.engine.connect() as connection:
            gone = [row for row in connection.execute(query, values) if owner_gone(row.owner, row.heartbeat)]
        if gone:
            with self._write() as connection, connection.begin():
                for row in gone:
                    self._interrupt(connection, row.conversation_id, row.id, INTERRUPTED)
        return len(gone)

    @_guarded
    def settle(self) -> None:
        """Frees every conversation whose question's server is gone."""
        self._settle()

    # -- events -------------------------------------------------------------------------

    @_guarded
    def record(self, added: Sequence[Tuple[str, int, Dict[str, Any]]], started: Sequence[str] = ()) -> None:
        """Adds events (turn id, number, event) and marks the `started` turns
        running, in one transaction."""
        now = time.time()
        with self._write() as connection, connection.begin():
            if started:
                connection.execute(START, {"turns": list(started), "now": now})
            if added:
                connection.execute(ADD_EVENT, [{"turn_id": turn_id, "seq": seq, "data": json.dumps(data)}
                                               for turn_id, seq, data in added])

    @staticmethod
    def _events(connection: Any, turn_id: str, after: int) -> List[Tuple[int, Dict[str, Any]]]:
        return [(row.seq, json.loads(row.data)) for row in connection.execute(EVENTS, {"turn": turn_id, "after": after})]

    # -- files --------------------------------------------------------------------------

    @_guarded
    def file(self, conversation_id: str, file_id: str) -> Dict[str, Any]:
        """A file of this conversation, by its id: a file of another is not found."""
        query = sa.select(files).where(files.c.id == file_id, files.c.conversation_id == conversation_id)
        with self.engine.connect() as connection:
            row = connection.execute(query).first()
        if row is None or row.data is None:
            raise NotFound(file_id)
        return dict(row._mapping)


def owner_gone(owner: str, heartbeat: float) -> bool:
    """Whether the process that owns a turn is gone: it ran on this machine
    and runs no more, or it stopped beating."""
    if heartbeat < time.time() - STALE_SECONDS:
        return True
    parts = owner.rsplit(":", 2)
    if len(parts) != 3 or parts[0] != HOST:
        return False
    try:
        pid = int(parts[1])
    except ValueError:
        return False
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False
    return False


def _title(question: str) -> str:
    line = " ".join(question.split())
    return line if len(line) <= TITLE_CHARS else line[: TITLE_CHARS - 1] + "\u2026"


def _sqlite_pragmas(engine: sa.engine.Engine) -> None:
    """WAL, waiting for the write lock rather than failing, and transactions
    that take the write lock when they start if they are going to write, so
    that two writers never deadlock halfway."""

    @event.listens_for(engine, "connect")
    def connected(dbapi_connection: Any, record: Any) -> None:
        dbapi_connection.isolation_level = None  # transactions are begun below
        cursor = dbapi_connection.cursor()
        cursor.execute("PRAGMA journal_mode=WAL")
        cursor.execute("PRAGMA synchronous=NORMAL")
        cursor.execute("PRAGMA busy_timeout=30000")
        cursor.execute("PRAGMA foreign_keys=ON")
        cursor.close()

    @event.listens_for(engine, "begin")
    def begin(connection: Any) -> None:
        write = connection.get_execution_options().get("velto_write", False)
        connection.exec_driver_sql("BEGIN IMMEDIATE" if write else "BEGIN")
