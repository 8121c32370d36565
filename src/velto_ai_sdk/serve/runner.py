"""The questions a server process answers: at most ``slots`` at once, the
others waiting in order with their place in line told to their page.

The answering itself happens in the workers (worker.py), processes of
their own, so that the agents' work never keeps this process's event loop
waiting, and the questions of one process use every core. A conversation
goes on in the worker that answered its last question, which keeps its
agent; a new one goes to the worker with the fewest questions. Everything
else about the questions happens here, on one thread (the steward), in the
order it comes: a question stored as a new turn and taken in line; sent to
a worker when a slot is free, and marked running; each event stored; the
answer stored with its files, then a last event that says it is there.
What came at once is written in one transaction: twenty questions asked at
once, or the events of twenty questions, cost one commit, not twenty. The
events go to the pages' streams as they happen (a worker's straight from
the thread that listens to it), not when the round that stores them ends.

The questions go on when their page is closed, and the answer is there
when the page comes back. A worker that stops (a crash) takes with it only
the questions it was answering, which are marked interrupted with the
reason; another starts in its place.
"""

from __future__ import annotations

import collections
import concurrent.futures
import queue
import sys
import threading
import time
from typing import Any, Deque, Dict, List, Optional, Protocol, Set, TextIO, Tuple

from ..chat import Answer
from . import made
from .store import HEARTBEAT_SECONDS, Added, Question, Store, StoreError
from .worker import KEPT_CONVERSATIONS, Ask, News, Worker

STOPPED = "the server was stopped before this question was answered; ask it again"
WORKER_STOPPED = "the process answering the questions stopped (%s) before this one was answered; ask it again"
STOP_SECONDS = 10.0  # for the steward to finish what it is writing when the server stops

Stored = Tuple[str, str, int, Dict[str, Any]]  # conversation id, turn id, number of the event in its turn, the event
Asked = Tuple[Question, "concurrent.futures.Future[Added]"]


class Stopping(Exception):
    """The server is stopping: it takes no more questions."""


class Pages(Protocol):
    """The pages' streams, told what happens (from the runner's threads, in order)."""

    def taken(self, turns: List[Tuple[str, str]]) -> None:
        """Turns (conversation id, turn id) this process will answer: their events follow."""

    def deliver(self, events: List[Stored]) -> None:
        """Events of those turns; a turn's last is {"type": "finished"}."""


class Job:
    __slots__ = ("conversation_id", "turn_id", "question", "answered", "seq", "ahead", "worker")

    def __init__(self, conversation_id: str, turn_id: str, question: str, answered: int) -> None:
        self.conversation_id = conversation_id
        self.turn_id = turn_id
        self.question = question
        self.answered = answered  # the conversation's turns answered before this one
        self.seq = 0
        self.ahead: Optional[int] = None
        self.worker = 0  # the number of the worker answering it


class Runner:
    def __init__(self, store: Store, owner: str, worker_settings: Dict[str, Any], slots: int, workers: int,
                 pages: Pages, max_file_bytes: int, trace: Optional[TextIO] = None) -> None:
        self._store = store
        self._owner = owner
        self._worker_settings = dict(worker_settings, verbose=trace is not None)
        self._slots = slots
        self._pages = pages
        self._max_file_bytes = max_file_bytes
        self._trace = trace
        self._inbox: "queue.Queue[Tuple[Any, ...]]" = queue.Queue()
        self._stopping = False
        self._taking = threading.Lock()  # no question put in after the steward's last look
        self._steward = threading.Thread(target=self._steer, name="velto-serve-steward", daemon=True)
        # The steward's alone:
        self._workers: List[Optional[Worker]] = [None] * max(1, min(workers, slots))
        self._homes: "collections.OrderedDict[str, int]" = collections.OrderedDict()  # conversation -> worker
        self._waiting: Deque[Job] = collections.deque()
        self._running: Dict[str, Job] = {}
        self._started: List[str] = []  # turns sent to the worker, to be marked running
        self._events: List[Stored] = []  # events to store
        self._store_failed: Set[str] = set()

    def start(self) -> "Runner":
        self._steward.start()
        return self

    # -- what the web app asks of it (from any thread) -----------------------------------

    def ask(self, question: Question) -> "concurrent.futures.Future[Added]":
        """Stores the question as a new turn and puts it in line. The future
        holds what was added (or why it was refused), or StoreError, or
        Stopping, as does this call when the server is stopping already."""
        asked: "concurrent.futures.Future[Added]" = concurrent.futures.Future()
        with self._taking:
            if self._stopping:
                raise Stopping()
            self._inbox.put(("ask", question, asked))
        return asked

    def forget(self, conversation_id: str) -> None:
        """The conversation was deleted: its agent goes."""
        self._inbox.put(("forget", conversation_id))

    def stop(self) -> None:
        """Takes no more questions; the ones waiting or running are marked
        interrupted, since this process will not answer them."""
        with self._taking:
            self._stopping = True
            self._inbox.put(("stop",))
        self._steward.join(STOP_SECONDS)
        try:
            self._store.interrupt_owned(self._owner, STOPPED)
        except StoreError as error:
            _say(str(error))

    # -- the steward ------------------------------------------------------------------------

    def _steer(self) -> None:
        for number in range(len(self._workers)):  # ready before the first question: it loads LangChain
            self._start_worker(number)
        beat = time.monotonic() + HEARTBEAT_SECONDS
        while True:
            try:
                messages = [self._inbox.get(timeout=max(0.0, beat - time.monotonic()))]
            except queue.Empty:
                messages = []
            while True:
                try:
                    messages.append(self._inbox.get_nowait())
                except queue.Empty:
                    break
            asked: List[Asked] = []
            for message in messages:
                if message[0] == "stop":
                    self._refuse([(taken[1], taken[2]) for taken in messages if taken[0] == "ask"])
                    for worker in self._workers:
                        if worker is not None:
                            worker.stop()
                    return
                if message[0] == "ask":
                    asked.append((message[1], message[2]))
                else:
                    self._take(message)
            added = self._add(asked)
            self._dispatch()
            for (_, future), result in added:
                future.set_result(result)
            self._tell_places()
            self._write()
            if time.monotonic() >= beat:
                self._beat()
                beat = time.monotonic() + HEARTBEAT_SECONDS

    def _add(self, asked: List[Asked]) -> List[Tuple[Asked, Added]]:
        """The questions asked since the last round, stored as new turns in
        one transaction and taken in line; what each made, handed to its
        asker once the questions are sent on to the workers."""
        if not asked:
            return []
        try:
            added = self._store.add_turns([question for question, _ in asked], self._owner)
        except StoreError as error:
            for _, future in asked:
                future.set_exception(error)
            return []
        taken = [(result.turn, result.answered) for result in added if result.turn is not None]
        self._pages.taken([(turn["conversation_id"], turn["id"]) for turn, _ in taken])
        for turn, answered in taken:
            self._waiting.append(Job(turn["conversation_id"], turn["id"], turn["question"], answered))
        return list(zip(asked, added))

    @staticmethod
    def _refuse(asked: List[Asked]) -> None:
        for _, future in asked:
            future.set_exception(Stopping())

    def _take(self, message: Tuple[Any, ...]) -> None:
        kind = message[0]
        if kind == "forget":
            self._homes.pop(message[1], None)
            for worker in self._workers:
                if worker is not None:
                    worker.send(("forget", message[1]))
        elif kind == "worker":
            what, _, turn_id, seq, data = message[1]
            job = self._running.get(turn_id)
            if what == "trace":
                self._write_trace(data)
            elif job is not None:
                job.seq = seq
                if what == "event":
                    self._events.append((job.conversation_id, turn_id, seq, data))
                else:
                    self._finish(job, data)
        elif kind == "gone" and message[1] in self._workers:
            number = self._workers.index(message[1])
            self._workers[number] = None
            for job in list(self._running.values()):
                if job.worker == number:
                    self._interrupt(job, WORKER_STOPPED % message[2])

    def _dispatch(self) -> None:
        """Questions in line go to a worker while a slot is free, each
        worker's in one message."""
        sent: Dict[int, List[Ask]] = {}
        while self._waiting and len(self._running) < self._slots:
            job = self._waiting.popleft()
            job.worker = self._home(job.conversation_id)
            self._running[job.turn_id] = job
            if (self._workers[job.worker] or self._start_worker(job.worker)) is None:
                self._interrupt(job, WORKER_STOPPED % "it could not start")
                continue
            sent.setdefault(job.worker, []).append(Ask(job.conversation_id, job.turn_id, job.question, job.seq,
                                                       job.answered))
            self._started.append(job.turn_id)
        for number, asked in sent.items():
            worker = self._workers[number]
            if worker is not None:
                worker.send(("ask", asked))

    def _home(self, conversation_id: str) -> int:
        """The worker that answered the conversation last, else the one with the fewest questions."""
        number = self._homes.pop(conversation_id, None)
        if number is None:
            answering = collections.Counter(job.worker for job in self._running.values())
            number = min(range(len(self._workers)), key=lambda number: answering[number])
        self._homes[conversation_id] = number
        while len(self._homes) > KEPT_CONVERSATIONS * len(self._workers):
            self._homes.popitem(last=False)
        return number

    def _start_worker(self, number: int) -> Optional[Worker]:
        try:
            self._workers[number] = Worker(self._worker_settings, self._received, self._gone)
        except OSError as error:
            _say("could not start a process to answer the questions: %s" % (error.strerror or error))
        return self._workers[number]

    def _tell_places(self) -> None:
        """Each waiting question's place in line, when it changed."""
        for ahead, job in enumerate(self._waiting):
            if job.ahead != ahead:
                job.ahead = ahead
                self._record(job, {"type": "queued", "position": ahead})

    def _record(self, job: Job, data: Dict[str, Any]) -> None:
        """An event of the runner's own (a place in line, the last), to the pages at once."""
        job.seq += 1
        event = (job.conversation_id, job.turn_id, job.seq, data)
        self._pages.deliver([event])
        self._events.append(event)

    def _write(self) -> None:
        """The questions started and the events of this round, stored in one transaction."""
        if not self._events and not self._started:
            return
        events, self._events = self._events, []
        started, self._started = self._started, []
        try:
            self._store.record([(turn_id, seq, data) for _, turn_id, seq, data in events], started)
        except StoreError as error:
            failed = {turn_id for _, turn_id, _, _ in events} - self._store_failed
            if failed:
                self._store_failed |= failed
                _say("could not store a question's progress: %s" % error)

    def _finish(self, job: Job, answer: Dict[str, Any]) -> None:
        """Stores the answer with its files (after its events), then says it is there."""
        self._write()
        try:
            files = made.answer_files(Answer.from_dict(answer), self._max_file_bytes)
            self._store.finish_turn(job.conversation_id, job.turn_id, answer, files)
        except StoreError as error:
            _say("could not store the answer to a question: %s" % error)
        self._record(job, {"type": "finished"})
        del self._running[job.turn_id]

    def _interrupt(self, job: Job, reason: str) -> None:
        self._write()
        try:
            self._store.interrupt_turn(job.conversation_id, job.turn_id, reason)
        except StoreError as error:
            _say(str(error))
        self._record(job, {"type": "finished"})
        self._running.pop(job.turn_id, None)

    def _write_trace(self, text: str) -> None:
        assert self._trace is not None
        try:
            self._trace.write(text)
            self._trace.flush()
        except (OSError, ValueError):
            pass  # standard error closed: the trace is not the questions' business

    def _beat(self) -> None:
        """The questions this process has in line or is answering are still its own."""
        turn_ids = [job.turn_id for job in self._waiting] + list(self._running)
        if turn_ids:
            try:
                self._store.heartbeat(turn_ids)
            except StoreError as error:
                _say(str(error))

    # -- the worker's news (from its listening thread) ------------------------------------------

    def _received(self, news: News) -> None:
        if news[0] == "event":
            self._pages.deliver([news[1:]])  # to the pages now; stored by the steward
        self._inbox.put(("worker", news))

    def _gone(self, worker: Worker, why: str) -> None:
        if not self._stopping:
            _say("the process answering the questions stopped (%s)" % why)
        self._inbox.put(("gone", worker, why))


def _say(line: str) -> None:
    print("velto-ai serve: %s" % line, file=sys.stderr, flush=True)
