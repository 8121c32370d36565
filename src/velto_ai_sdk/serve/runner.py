"""The questions a server process answers: at most ``slots`` at once, the
others waiting in order with their place in line told to their page.

Each conversation has its own Conversation (its own agent and media
directory), kept between questions while the store holds no turn it has
not seen: a follow-up answered by another server process meanwhile makes
it built again from the stored turns. Every event of a question is stored
as it comes and handed to its page's stream; the answer is stored with its
files, then a last event says it is there. A question whose conversation cannot be opened
(no agent could be built) is answered with the reason as its error.

The questions run on threads of their own, so a question goes on when its
page is closed, and its answer is there when the page comes back.
"""

from __future__ import annotations

import collections
import sys
import threading
from typing import Any, Callable, Deque, Dict, List, Optional, Set

from ..chat import Answer, Conversation, Event
from ..chat.events import Answered
from ..chat.failures import run_failure
from . import made
from .store import HEARTBEAT_SECONDS, Store, StoreError

KEPT_CONVERSATIONS = 64
STOPPED = "the server was stopped before this question was answered; ask it again"

# (conversation id, its stored answers, the handler of its events) -> a Conversation
OpenConversation = Callable[[str, List[Dict[str, Any]], Callable[[Event], None]], Conversation]


class Job:
    __slots__ = ("conversation_id", "turn_id", "question", "seq", "ahead")

    def __init__(self, conversation_id: str, turn_id: str, question: str) -> None:
        self.conversation_id = conversation_id
        self.turn_id = turn_id
        self.question = question
        self.seq = 0
        self.ahead: Optional[int] = None


class _Kept:
    """A conversation kept between questions, and where its events go now."""

    __slots__ = ("conversation", "job")

    def __init__(self) -> None:
        self.conversation: Optional[Conversation] = None
        self.job: Optional[Job] = None


class Runner:
    def __init__(self, store: Store, owner: str, open_conversation: OpenConversation, slots: int,
                 deliver: Callable[[str, int, Dict[str, Any]], None], max_file_bytes: int) -> None:
        self._store = store
        self._owner = owner
        self._open = open_conversation
        self._slots = slots
        self._deliver = deliver
        self._max_file_bytes = max_file_bytes
        self._lock = threading.Condition()
        self._waiting: Deque[Job] = collections.deque()
        self._running: Dict[str, Job] = {}
        self._idle = 0
        self._stopping = False
        self._kept: "collections.OrderedDict[str, _Kept]" = collections.OrderedDict()
        self._threads: List[threading.Thread] = []
        self._store_failed: Set[str] = set()

    def start(self) -> "Runner":
        for number in range(self._slots):
            thread = threading.Thread(target=self._work, name="velto-serve-%d" % (number + 1), daemon=True)
            thread.start()
            self._threads.append(thread)
        beat = threading.Thread(target=self._beat, name="velto-serve-heartbeat", daemon=True)
        beat.start()
        return self

    @property
    def slots(self) -> int:
        return self._slots

    def counts(self) -> Dict[str, int]:
        with self._lock:
            return {"running": len(self._running), "waiting": len(self._waiting), "slots": self._slots}

    # -- taking questions ------------------------------------------------------------

    def submit(self, conversation_id: str, turn_id: str, question: str) -> None:
        job = Job(conversation_id, turn_id, question)
        with self._lock:
            if self._stopping:
                raise StoreError("the server is stopping")
            self._waiting.append(job)
            self._tell_places()
            self._lock.notify()

    def _tell_places(self) -> None:
        """Each waiting question's place in line, when it changed (under the lock)."""
        free = self._idle
        for ahead, job in enumerate(self._waiting):
            if ahead < free:
                continue  # a free slot takes it now
            place = ahead - free
            if job.ahead != place:
                job.ahead = place
                self._record(job, {"type": "queued", "position": place})

    def _next(self) -> Optional[Job]:
        with self._lock:
            self._idle += 1
            while not self._waiting and not self._stopping:
                self._lock.wait()
            self._idle -= 1
            if self._stopping:
                return None
            job = self._waiting.popleft()
            self._running[job.turn_id] = job
            self._tell_places()
            return job

    def _work(self) -> None:
        while True:
            job = self._next()
            if job is None:
                return
            try:
                self._answer(job)
            finally:
                with self._lock:
                    self._running.pop(job.turn_id, None)

    # -- one question ----------------------------------------------------------------------

    def _answer(self, job: Job) -> None:
        kept = self._take_kept(job.conversation_id)
        try:
            self._store.start_turn(job.turn_id)
            answer = self._ask(job, kept)
            files = made.answer_files(answer, self._max_file_bytes)
            self._store.finish_turn(job.conversation_id, job.turn_id, answer.to_dict(), files)
        except StoreError as error:
            _say("could not store the answer to a question: %s" % error)
            kept.conversation = None  # its turns no longer match the store's
        finally:
            kept.job = None
            self._give_back_kept(job.conversation_id, kept)
        self._record(job, {"type": "finished"})

    def _ask(self, job: Job, kept: _Kept) -> Answer:
        kept.job = job
        try:
            if kept.conversation is None or len(kept.conversation.turns) != self._store.answered(job.conversation_id):
                kept.conversation = None
                stored = self._store.answers(job.conversation_id)
                kept.conversation = self._open(job.conversation_id, stored, lambda event: self._event(kept, event))
            return kept.conversation.ask(job.question)
        except StoreError:
            raise
        except Exception as error:
            kept.conversation = None
            return Answer(question=job.question, text="", error="the analyst could not start: " + run_failure(error))

    def _event(self, kept: _Kept, event: Event) -> None:
        job = kept.job
        if job is not None and not isinstance(event, Answered):  # the answer goes with the turn
            self._record(job, event.to_dict())

    def _record(self, job: Job, data: Dict[str, Any]) -> None:
        job.seq += 1
        try:
            self._store.add_event(job.turn_id, job.seq, data)
        except StoreError as error:
            if job.turn_id not in self._store_failed:
                self._store_failed.add(job.turn_id)
                _say("could not store a question's progress: %s" % error)
            return
        self._deliver(job.turn_id, job.seq, data)

    # -- conversations kept between questions ---------------------------------------------

    def _take_kept(self, conversation_id: str) -> _Kept:
        with self._lock:
            kept = self._kept.pop(conversation_id, None)
        return kept if kept is not None else _Kept()

    def _give_back_kept(self, conversation_id: str, kept: _Kept) -> None:
        if kept.conversation is None:
            return
        with self._lock:
            self._kept[conversation_id] = kept
            while len(self._kept) > KEPT_CONVERSATIONS:
                self._kept.popitem(last=False)

    def forget(self, conversation_id: str) -> None:
        with self._lock:
            self._kept.pop(conversation_id, None)

    # -- the server's life ------------------------------------------------------------------

    def _beat(self) -> None:
        while True:
            with self._lock:
                self._lock.wait_for(lambda: self._stopping, timeout=HEARTBEAT_SECONDS)
                if self._stopping:
                    return
                turn_ids = [job.turn_id for job in self._waiting] + list(self._running)
            if turn_ids:
                try:
                    self._store.heartbeat(turn_ids)
                except StoreError as error:
                    _say(str(error))

    def stop(self) -> None:
        """Takes no more questions; the ones waiting or running are marked
        interrupted, since this process will not answer them."""
        with self._lock:
            self._stopping = True
            self._waiting.clear()
            self._lock.notify_all()
        try:
            self._store.interrupt_owned(self._owner, STOPPED)
        except StoreError as error:
            _say(str(error))


def _say(line: str) -> None:
    print("velto-ai serve: %s" % line, file=sys.stderr, flush=True)
