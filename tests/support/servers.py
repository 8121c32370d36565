"""Throwaway PostgreSQL and MariaDB servers on loopback.

Plain code with no pytest in it, so that the fixtures in databases.py and the
scripts under bench/ start servers the same way:

    with PostgresServer() as pg:          # or MariaDBServer()
        url = pg.create_database("shop", ["CREATE TABLE t (id int)"])
        ...                               # url is a SQLAlchemy URL string

Each server gets a fresh data directory under the system temporary directory,
a free TCP port on 127.0.0.1 and no Unix socket in a shared place; stopping it
removes everything. When we run as root the server runs as an unprivileged
system account (initdb and postgres refuse root), which is why the data
directory is not under pytest's private, root-only temporary tree.

For what the shared servers must not go through: ``with server.frozen():``
stops every process of a server (SIGSTOP) for the block, and
SilentListener is a port that accepts connections and never answers.

Every server has two accounts:
- an administrator (PostgreSQL superuser "postgres", MariaDB "root");
- "velto_app", an ordinary account that owns the databases made with
  create_database: it may read, write and change the schema there, and has
  no superuser, file or server-program rights. This is the account a careful
  deployment hands to the connectors, and the one the tests give them.
"""

from __future__ import annotations

import contextlib
import ctypes
import glob
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from typing import Iterable, Iterator, List, Optional, Sequence

import sqlalchemy as sa
from sqlalchemy.engine import URL

ADMIN_PASSWORD = "admin-Secret-771"
APP_USER = "velto_app"
APP_PASSWORD = "app-Secret-4242"
START_TIMEOUT = 90.0


class ServerError(RuntimeError):
    """A server could not be set up; the message carries its log."""


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _tail(path: str, lines: int = 60) -> str:
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError as exc:
        return "(no log: %s)" % exc


def _service_account(preferred: str) -> Optional[pwd.struct_passwd]:
    """The account to run a server as, or None to run as ourselves."""
    if os.geteuid() != 0:
        return None
    for name in (preferred, "nobody"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            continue
    raise ServerError("running as root and found no unprivileged account to run the server as")


def _child_setup(account: Optional[pwd.struct_passwd], death_signal: int):
    def setup():  # runs in the child between fork and exec
        if account is not None:
            os.setgroups([])
            os.setgid(account.pw_gid)
            os.setuid(account.pw_uid)
        # Stop with us even if we are killed before we can stop the server.
        # Set after the change of user, which clears it.
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            libc.prctl(1, death_signal, 0, 0, 0)  # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass

    return setup


def _children(pid: int) -> List[int]:
    """The processes whose parent is `pid` (PostgreSQL's backends each lead a
    process group of their own, so a group signal would miss them)."""
    found = []
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(stat.split("/")[2]))
    return found


class SilentListener:
    """A TCP port on loopback that accepts connections and never says a word,
    as a server does whose process hangs before its greeting."""

    def __init__(self) -> None:
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(16)
        self.port = self._socket.getsockname()[1]
        self._accepted: List[socket.socket] = []
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self) -> None:
        while True:
            try:
                connection, _ = self._socket.accept()
            except OSError:
                return
            self._accepted.append(connection)

    def close(self) -> None:
        try:
            self._socket.shutdown(socket.SHUT_RDWR)  # wakes the accept()
        except OSError:
            pass
        self._socket.close()
        for connection in self._accepted:
            connection.close()
        self._thread.join(5)

    def __enter__(self) -> "SilentListener":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def _execute(engine: sa.engine.Engine, statements: Iterable[str]) -> None:
    """Runs statements as written, in one transaction (or in autocommit mode
    on an autocommit engine). Through the DBAPI cursor without parameters, so
    that a '%' in the SQL is not taken for a placeholder."""
    raw = engine.raw_connection()
    try:
        cur = raw.cursor()
        for statement in statements:
            cur.execute(statement)
        cur.close()
        raw.commit()
    finally:
        raw.close()


class _Server:
    kind = ""
    account_name = ""
    stop_signal = signal.SIGTERM

    def __init__(self) -> None:
        self.account = _service_account(self.account_name)
        self.base = tempfile.mkdtemp(prefix="velto-%s-" % self.kind)
        os.chmod(self.base, 0o700)
        if self.account is not None:
            os.chown(self.base, self.account.pw_uid, self.account.pw_gid)
        self.log_path = os.path.join(self.base, "server.log")
        self.port = 0
        self.process: Optional[subprocess.Popen] = None
        self._admin_engines: dict = {}

    # -- process handling --------------------------------------------------
    def _run(self, argv: Sequence[str], what: str) -> None:
        proc = subprocess.run(
            list(argv),
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            preexec_fn=_child_setup(self.account, signal.SIGTERM),
            cwd=self.base,
        )
        if proc.returncode != 0:
            raise ServerError(
                "%s failed (exit %d):\n%s" % (what, proc.returncode, proc.stdout.decode(errors="replace"))
            )

    def _spawn(self, argv: Sequence[str]) -> None:
        log = open(self.log_path, "ab")
        try:
            self.process = subprocess.Popen(
                list(argv),
                stdout=log,
                stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL,
                preexec_fn=_child_setup(self.account, self.stop_signal),
                cwd=self.base,
                start_new_session=True,  # a Ctrl-C in the test run should not hit the server first
            )
        finally:
            log.close()

    def _wait_ready(self, probe) -> None:
        deadline = time.monotonic() + START_TIMEOUT
        last_error: Optional[BaseException] = None
        while time.monotonic() < deadline:
            if self.process is not None and self.process.poll() is not None:
                raise ServerError(
                    "%s exited with code %s while starting; its log:\n%s"
                    % (self.kind, self.process.returncode, _tail(self.log_path))
                )
            try:
                probe()
                return
            except Exception as exc:  # not accepting connections yet
                last_error = exc
                time.sleep(0.2)
        self._kill()
        raise ServerError(
            "%s did not accept connections within %.0f s (last error: %s); its log:\n%s"
            % (self.kind, START_TIMEOUT, last_error, _tail(self.log_path))
        )

    def _kill(self, sig: int = signal.SIGTERM) -> None:
        proc = self.process
        if proc is None or proc.poll() is not None:
            return
        proc.send_signal(sig)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=30)

    def start(self) -> "_Server":
        for attempt in range(3):
            self.port = free_port()
            try:
                self._start()
                return self
            except ServerError as exc:
                # another process may have taken the port between our probe and
                # the server's bind; anything else is a real failure
                if "in use" not in str(exc) or attempt == 2:
                    raise
                self._kill()
        return self

    def stop(self) -> None:
        for engine in self._admin_engines.values():
            engine.dispose()
        self._admin_engines.clear()
        try:
            self._kill(self.stop_signal)
        finally:
            shutil.rmtree(self.base, ignore_errors=True)

    @contextlib.contextmanager
    def frozen(self) -> Iterator[None]:
        """The server and every process it started stopped (SIGSTOP) for the
        block: the sockets stay open and nothing answers."""
        pids = [self.process.pid] + _children(self.process.pid)
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)
        try:
            yield
        finally:
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGCONT)
                except ProcessLookupError:
                    pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    # -- what tests use ----------------------------------------------------
    def admin_engine(self, database: Optional[str] = None) -> sa.engine.Engine:
        """An engine on the administrator account (cached per database)."""
        key = database or ""
        if key not in self._admin_engines:
            # pooled: tests fingerprint the data before and after every
            # statement, and a password handshake per query adds up
            self._admin_engines[key] = sa.create_engine(
                self.admin_url(database), isolation_level="AUTOCOMMIT", pool_pre_ping=True, pool_size=2
            )
        return self._admin_engines[key]

    def admin_execute(self, statements: Iterable[str], database: Optional[str] = None) -> None:
        _execute(self.admin_engine(database), statements)

    def admin_query(self, sql: str, database: Optional[str] = None) -> List[tuple]:
        """Rows of one query run as the administrator ('%' is not special)."""
        raw = self.admin_engine(database).raw_connection()
        try:
            cur = raw.cursor()
            cur.execute(sql)
            rows = [tuple(row) for row in cur.fetchall()] if cur.description else []
            cur.close()
            return rows
        finally:
            raw.close()

    def create_database(self, name: str, statements: Iterable[str] = ()) -> str:
        """A fresh database owned by the application account, with `statements`
        run in it as that account; returns the application account's URL.
        An existing database of that name is dropped first."""
        self._create_database(name)
        engine = sa.create_engine(self.url(name), poolclass=sa.pool.NullPool)
        try:
            _execute(engine, statements)
        finally:
            engine.dispose()
        return self.url(name)


class PostgresServer(_Server):
    kind = "postgresql"
    account_name = "postgres"
    stop_signal = signal.SIGINT  # PostgreSQL's "fast" shutdown

    def __init__(self, settings: Sequence[str] = ()) -> None:
        """`settings`: more "name=value" server settings, such as
        "max_prepared_transactions=4"."""
        super().__init__()
        self.bindir = self._find_bindir()
        self.datadir = os.path.join(self.base, "data")
        self.settings = list(settings)

    @staticmethod
    def _find_bindir() -> str:
        found = sorted(
            glob.glob("/usr/lib/postgresql/*/bin/initdb"),
            key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0,
        )
        if found:
            return os.path.dirname(found[-1])
        initdb = shutil.which("initdb")
        if initdb:
            return os.path.dirname(initdb)
        raise ServerError("PostgreSQL server programs not found; run scripts/system-packages")

    def _start(self) -> None:
        if not os.path.exists(os.path.join(self.datadir, "PG_VERSION")):
            pwfile = os.path.join(self.base, "pwfile")
            with open(pwfile, "w") as f:
                f.write(ADMIN_PASSWORD + "\n")
            if self.account is not None:
                os.chown(pwfile, self.account.pw_uid, self.account.pw_gid)
            self._run(
                [
                    os.path.join(self.bindir, "initdb"),
                    "-D", self.datadir,
                    "-U", "postgres",
                    "--pwfile", pwfile,
                    "--auth", "scram-sha-256",
                    "--encoding", "UTF8",
                    "--locale", "C",
                    "--no-sync",
                ],
                "initdb",
            )
            os.unlink(pwfile)
        self._spawn(
            [
                os.path.join(self.bindir, "postgres"),
                "-D", self.datadir,
                "-p", str(self.port),
                "-c", "listen_addresses=127.0.0.1",
                "-c", "unix_socket_directories=",
                "-c", "fsync=off",
                "-c", "synchronous_commit=off",
                "-c", "full_page_writes=off",
                "-c", "max_connections=60",
                "-c", "shared_buffers=64MB",
            ]
            + [argument for setting in self.settings for argument in ("-c", setting)]
        )
        try:
            self._wait_ready(self._probe)
        except ServerError as exc:
            if "already in use" in _tail(self.log_path):
                raise ServerError("port in use: %s" % exc)
            raise
        self.admin_execute(
            [
                "CREATE ROLE %s LOGIN PASSWORD '%s' NOSUPERUSER NOCREATEDB NOCREATEROLE" % (APP_USER, APP_PASSWORD),
            ]
        )

    def _probe(self) -> None:
        import psycopg

        psycopg.connect(
            host="127.0.0.1", port=self.port, user="postgres", password=ADMIN_PASSWORD,
            dbname="postgres", connect_timeout=2,
        ).close()

    def url(self, database: str, user: str = APP_USER, password: str = APP_PASSWORD) -> str:
        return URL.create(
            "postgresql+psycopg", username=user, password=password,
            host="127.0.0.1", port=self.port, database=database,
        ).render_as_string(hide_password=False)

    def admin_url(self, database: Optional[str] = None) -> str:
        return self.url(database or "postgres", "postgres", ADMIN_PASSWORD)

    def _create_database(self, name: str) -> None:
        self.admin_execute(
            [
                'DROP DATABASE IF EXISTS "%s" WITH (FORCE)' % name,
                'CREATE DATABASE "%s" OWNER %s' % (name, APP_USER),
            ]
        )
        # PostgreSQL 15 no longer lets everyone create in "public"; the owner
        # of the database should be able to, as on a typical application set-up
        self.admin_execute(["ALTER SCHEMA public OWNER TO %s" % APP_USER], database=name)


class MariaDBServer(_Server):
    kind = "mariadb"
    account_name = "mysql"
    stop_signal = signal.SIGTERM

    def __init__(self) -> None:
        super().__init__()
        self.datadir = os.path.join(self.base, "data")
        self.socket_path = os.path.join(self.base, "mysqld.sock")
        self.server_bin = shutil.which("mariadbd") or shutil.which("mysqld") or "/usr/sbin/mariadbd"
        if not os.path.exists(self.server_bin):
            raise ServerError("MariaDB server not found; run scripts/system-packages")

    def _start(self) -> None:
        if not os.path.isdir(os.path.join(self.datadir, "mysql")):
            install = shutil.which("mariadb-install-db") or shutil.which("mysql_install_db")
            if install is None:
                raise ServerError("mariadb-install-db not found; run scripts/system-packages")
            self._run(
                [
                    install,
                    "--no-defaults",
                    "--datadir=%s" % self.datadir,
                    "--auth-root-authentication-method=normal",
                    "--skip-test-db",
                    "--skip-name-resolve",
                ],
                "mariadb-install-db",
            )
        self._spawn(
            [
                self.server_bin,
                "--no-defaults",
                "--datadir=%s" % self.datadir,
                "--socket=%s" % self.socket_path,
                "--pid-file=%s" % os.path.join(self.base, "mariadbd.pid"),
                "--port=%d" % self.port,
                "--bind-address=127.0.0.1",
                "--skip-name-resolve",
                "--skip-log-bin",
                "--innodb-buffer-pool-size=64M",
                "--innodb-flush-log-at-trx-commit=0",
                "--innodb-doublewrite=0",
                "--sync-frm=0",  # a table made or dropped is not flushed to disk: tests make thousands
                "--max-connections=60",
                "--character-set-server=utf8mb4",
                "--collation-server=utf8mb4_general_ci",
            ]
        )
        try:
            self._wait_ready(self._probe_socket)
        except ServerError as exc:
            if "Address already in use" in _tail(self.log_path):
                raise ServerError("port in use: %s" % exc)
            raise
        import pymysql

        conn = pymysql.connect(unix_socket=self.socket_path, user="root", password="")
        try:
            with conn.cursor() as cur:
                for statement in (
                    "DELETE FROM mysql.global_priv WHERE User = ''",
                    "FLUSH PRIVILEGES",
                    "CREATE USER IF NOT EXISTS 'root'@'127.0.0.1'",
                    "ALTER USER 'root'@'127.0.0.1' IDENTIFIED BY '%s'" % ADMIN_PASSWORD,
                    "GRANT ALL PRIVILEGES ON *.* TO 'root'@'127.0.0.1' WITH GRANT OPTION",
                    "CREATE USER '%s'@'127.0.0.1' IDENTIFIED BY '%s'" % (APP_USER, APP_PASSWORD),
                ):
                    cur.execute(statement)
        finally:
            conn.close()

    def _probe_socket(self) -> None:
        # PyMySQL leaves its socket open when the connect itself fails, so
        # the server's socket is tried bare first
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as bare:
            bare.settimeout(2)
            bare.connect(self.socket_path)
        import pymysql

        pymysql.connect(unix_socket=self.socket_path, user="root", password="", connect_timeout=2).close()

    def url(self, database: Optional[str], user: str = APP_USER, password: str = APP_PASSWORD) -> str:
        return URL.create(
            "mysql+pymysql", username=user, password=password,
            host="127.0.0.1", port=self.port, database=database,
            query={"charset": "utf8mb4"},
        ).render_as_string(hide_password=False)

    def admin_url(self, database: Optional[str] = None) -> str:
        return self.url(database, "root", ADMIN_PASSWORD)

    def _create_database(self, name: str) -> None:
        self.admin_execute(
            [
                "DROP DATABASE IF EXISTS `%s`" % name,
                "CREATE DATABASE `%s`" % name,
                "GRANT ALL PRIVILEGES ON `%s`.* TO '%s'@'127.0.0.1'" % (name, APP_USER),
            ]
        )

