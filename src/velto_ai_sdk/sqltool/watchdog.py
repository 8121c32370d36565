"""The time limit's last line: a thread that stops what the server did not.

The server enforces the time limit itself (statement_timeout,
max_statement_time), but a statement can lift or outlast that (a loop that
catches the cancel, SET STATEMENT max_statement_time=0), and a frozen server
or a silent network enforces nothing. So every round trip of a session runs
under its Alarm. When one outlives its deadline, the watchdog starts the
session's escalation in a thread of its own:

1. cancel the statement (the engine's cancel request, KILL QUERY);
2. if it still runs GRACE seconds later, end it on the server from a second
   connection (pg_terminate_backend, KILL), then shut the socket down, which
   is what frees a thread blocked reading from a server that never answers.

One watchdog thread serves every session of the process: arming and
disarming an alarm are two attribute writes under a lock, where a timer
thread per statement would cost more than the statement. The thread checks
the alarms every TICK while any exist, and sleeps once none has for LINGER
seconds.
"""

from __future__ import annotations

import os
import threading
import time
from typing import Callable, Optional, Set

TICK = 0.05
LINGER = 10.0
GRACE = 1.0


class Stopper:
    """What an engine does to stop a session's statement; each step is
    bounded in time by the engine (short connect timeouts) and may fail."""

    def cancel(self) -> None:
        pass

    def terminate(self) -> None:
        pass

    def sever(self) -> None:
        pass

    def close(self) -> None:
        """Releases what the steps opened (a second connection)."""


class Alarm:
    """The time limit of one session's round trips; `make_stopper` gives the
    session's Stopper when it is needed."""

    def __init__(self, make_stopper: Callable[[], Stopper]) -> None:
        self._make_stopper = make_stopper
        self._lock = threading.Lock()
        self._deadline: Optional[float] = None
        self._finished: Optional[threading.Event] = None  # made when the watchdog steps in
        self._escalation: Optional[threading.Thread] = None
        self.fired = False

    def arm(self, seconds: float) -> None:
        with self._lock:
            self._deadline = time.monotonic() + seconds

    def disarm(self) -> bool:
        """Ends the round trip; True when the watchdog stepped in, in which
        case its escalation has finished when this returns."""
        with self._lock:
            self._deadline = None
            fired = self.fired
        if fired and self._escalation is not None:
            assert self._finished is not None
            self._finished.set()
            self._escalation.join()
        return fired

    def check(self, now: float) -> None:
        with self._lock:
            if self.fired or self._deadline is None or now < self._deadline:
                return
            self.fired = True
            self._finished = threading.Event()
            escalation = threading.Thread(target=self._escalate, args=(self._finished,), name="velto-sql-stop",
                                          daemon=True)
            escalation.start()
            self._escalation = escalation

    def _escalate(self, finished: threading.Event) -> None:
        try:
            stopper = self._make_stopper()
        except Exception:
            return  # the driver's own limits remain
        started = time.monotonic()
        try:
            _quietly(stopper.cancel)
            # the grace counts from the cancel's start: a cancel that itself
            # hangs (a frozen server) does not lengthen it
            if finished.wait(max(0.0, GRACE - (time.monotonic() - started))):
                return
            _quietly(stopper.terminate)
            _quietly(stopper.sever)
        finally:
            _quietly(stopper.close)


def _quietly(step) -> None:
    try:
        step()
    except Exception:
        pass  # the next step, or dropping the connection, still follows


class _Watchdog:
    def __init__(self) -> None:
        self._condition = threading.Condition()
        self._alarms: Set[Alarm] = set()
        self._thread: Optional[threading.Thread] = None
        self._pid = 0
        self._sleeping = False

    def register(self, alarm: Alarm) -> None:
        with self._condition:
            self._alarms.add(alarm)
            # a forked child has the object but not the thread
            if self._thread is None or self._pid != os.getpid() or not self._thread.is_alive():
                self._pid = os.getpid()
                self._thread = threading.Thread(target=self._run, name="velto-sql-watchdog", daemon=True)
                self._thread.start()
            elif self._sleeping:
                self._condition.notify()

    def unregister(self, alarm: Alarm) -> None:
        with self._condition:
            self._alarms.discard(alarm)

    def _run(self) -> None:
        idle_since: Optional[float] = None
        with self._condition:
            while True:
                if self._alarms:
                    idle_since = None
                elif idle_since is None:
                    idle_since = time.monotonic()
                self._sleeping = idle_since is not None and time.monotonic() - idle_since > LINGER
                self._condition.wait(None if self._sleeping else TICK)
                self._sleeping = False
                now = time.monotonic()
                for alarm in list(self._alarms):
                    try:
                        alarm.check(now)
                    except Exception:
                        pass  # (a thread that could not start) the driver's own limits remain


watchdog = _Watchdog()
