"""The process that answers a server process's questions.

The agents' work (LangChain, reading the model's replies, the tools'
results) holds the interpreter lock most of the time it runs. In the web
process, every request of a page and every event on its way to a page
would wait for that lock behind all the questions being answered; so the
questions are answered here, in a child process of the server's own, and
the web process keeps the pages, the store and the event streams.

The runner starts it with a socket to itself (multiprocessing's framing:
pickled messages, from the runner only) and sends first the analyst's
settings (``settings()``), then any number of

    ("ask", [Ask, ...])                  questions asked at once
    ("forget", conversation id)          the conversation was deleted

The worker sends back

    ("event", conversation id, turn id, number, the event's to_dict())
    ("answer", conversation id, turn id, number, the Answer's to_dict())   a question's last
    ("trace", "", "", 0, text)                          the agents' steps, when verbose

each as it happens, from the question's own thread. A turn's events are
numbered on from the events it had when it was asked (its places in line),
and its answer carries the number of its last event. Each question runs on a
thread of its own, kept for the next question once it is done: the agents
of the other questions hold the interpreter lock most of the time, and a
question that waited for a new thread to start, or for another thread to
pass its news on, would wait for its turn at that lock again and again.
When the runner's end of the socket closes (its process stopped, however it
stopped), the worker leaves at once.

Each conversation has its own Conversation (its own agent and media
directory), kept between questions while the store holds no turn it has
not seen: a follow-up answered by another server process meanwhile (the
ask says how many turns were answered before it) makes it built again from
the stored turns. A question whose conversation cannot be
opened (no agent could be built) is answered with the reason as its error.
"""

from __future__ import annotations

import collections
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
from multiprocessing.connection import Connection
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

from ..chat import Answer, Conversation, Event
from ..chat.events import Answered
from ..chat.failures import run_failure
from .store import Store, StoreError

KEPT_CONVERSATIONS = 64
# The workers' work is the bulk of the server's, and its slow part; the web
# process's is small and what people wait on: pages, progress, downloads.
# A little below the web process, the workers take the cores it leaves.
NICENESS = 5
STOP_SECONDS = 5.0  # for the worker to leave when told, before it is killed
START = "from velto_ai_sdk.serve.worker import main; main()"

News = Tuple[str, str, str, int, Any]  # what, conversation id, turn id, number, data (as above)


class Ask(NamedTuple):
    """A question for the worker to answer."""

    conversation_id: str
    turn_id: str
    question: str
    seq: int  # the turn's events so far (its places in line)
    answered: int  # the conversation's turns answered before it, by whichever server process


def settings(analyst: Any, store: Store) -> Dict[str, Any]:
    """What the worker needs to know: the analyst's making, the store, the
    code environment (the analyst's, else the one this process's code tool
    was pointed at). (Whether the agents' steps are traced is the runner's
    to add.)"""
    from .. import codetool

    return {"engine": analyst.engine, "media": analyst.media, "key": analyst.key,
            "instructions": analyst.instructions, "store": store.url,
            "environment": analyst.environment or (None if codetool.env_path is None else str(codetool.env_path))}


# -- the runner's side ------------------------------------------------------------------


class Worker:
    """A running worker, from the runner's side. What it sends goes to
    `received`, from a thread of its own; `gone` is called once it has
    stopped (or could not start), with the reason in words."""

    def __init__(self, settings: Dict[str, Any], received: Callable[[News], None],
                 gone: Callable[["Worker", str], None]) -> None:
        self._socket, theirs = socket.socketpair()
        with theirs:
            self.process = subprocess.Popen([sys.executable, "-c", START, str(theirs.fileno())],
                                            stdin=subprocess.DEVNULL, pass_fds=[theirs.fileno()])
        self._connection = Connection(os.dup(self._socket.fileno()))
        self._lock = threading.Lock()
        self.send(settings)
        self._received = received
        self._gone = gone
        threading.Thread(target=self._listen, name="velto-serve-worker", daemon=True).start()

    def send(self, message: Any) -> None:
        """Sends `message`; a worker that has stopped is told by `gone`, not here."""
        try:
            with self._lock:
                self._connection.send(message)
        except (OSError, ValueError):
            pass

    def _listen(self) -> None:
        while True:
            try:
                self._received(self._connection.recv())
            except (EOFError, OSError):
                break
        with self._lock:
            self._connection.close()
            self._socket.close()
        try:
            status = self.process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self._gone(self, "killed by signal %d" % -status if status < 0 else "exit status %d" % status)

    def stop(self) -> None:
        """Tells it to leave (its end of the socket sees the end), and kills
        it if it does not."""
        try:
            self._socket.shutdown(socket.SHUT_RDWR)  # a close would not wake the listening thread
        except OSError:
            pass
        try:
            self.process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


# -- the worker's side ------------------------------------------------------------------


class _Kept:
    """A conversation kept between questions, the turn it answers now and
    the number of that turn's last event."""

    __slots__ = ("conversation", "conversation_id", "turn_id", "seq")

    def __init__(self, conversation_id: str) -> None:
        self.conversation: Optional[Conversation] = None
        self.conversation_id = conversation_id
        self.turn_id = ""
        self.seq = 0


class Answering:
    def __init__(self, connection: Connection, settings: Dict[str, Any], store: Store) -> None:
        self._connection = connection
        self._settings = settings
        self._store = store
        self._lock = threading.Lock()
        self._kept: "collections.OrderedDict[str, _Kept]" = collections.OrderedDict()
        self._sending = threading.Lock()
        self._asked: "queue.Queue[Ask]" = queue.Queue()
        self._threads = 0  # question threads started
        self._answering = 0  # questions asked and not yet answered

    def serve(self) -> None:
        """Takes questions until the runner's end closes."""
        while True:
            try:
                message = self._connection.recv()
            except (EOFError, OSError):
                return
            if message[0] == "ask":
                for asked in message[1]:
                    self._take(asked)
            elif message[0] == "forget":
                with self._lock:
                    self._kept.pop(message[1], None)

    def _take(self, asked: Ask) -> None:
        """A question for a thread that waits for one, started when none waits."""
        with self._lock:
            self._answering += 1
            more = self._answering > self._threads
            if more:
                self._threads += 1
        self._asked.put(asked)
        if more:
            threading.Thread(target=self._answer_questions, name="velto-worker-question", daemon=True).start()

    def _answer_questions(self) -> None:
        while True:
            asked = self._asked.get()
            try:
                self._answer(asked)
            finally:
                with self._lock:
                    self._answering -= 1

    def _send(self, what: str, conversation_id: str, turn_id: str, seq: int, data: Any) -> None:
        """News for the runner, sent at once; a runner gone is the main thread's to notice."""
        try:
            with self._sending:
                self._connection.send((what, conversation_id, turn_id, seq, data))
        except OSError:
            pass

    # -- one question ----------------------------------------------------------------------

    def _answer(self, asked: Ask) -> None:
        conversation_id, turn_id, question = asked.conversation_id, asked.turn_id, asked.question
        kept = self._take_kept(conversation_id)
        kept.turn_id, kept.seq = turn_id, asked.seq
        try:
            if kept.conversation is None or len(kept.conversation.turns) != asked.answered:
                kept.conversation = None
                kept.conversation = self._open(conversation_id, self._store.answers(conversation_id), kept)
            answer = kept.conversation.ask(question)
        except StoreError as error:
            kept.conversation = None
            answer = Answer(question=question, text="", error=str(error))
        except Exception as error:
            kept.conversation = None
            answer = Answer(question=question, text="", error="the analyst could not start: " + run_failure(error))
        last = kept.seq
        self._give_back_kept(conversation_id, kept)
        self._send("answer", conversation_id, turn_id, last, answer.to_dict())

    def _open(self, conversation_id: str, stored: List[Dict[str, Any]], kept: _Kept) -> Conversation:
        made = self._settings
        trace: Any = _Trace(self._send) if made["verbose"] else False
        return Conversation(made["key"], os.path.join(made["media"], conversation_id), made["engine"],
                            made["instructions"], on_event=lambda event: self._event(kept, event),
                            verbose=trace, turns=stored)

    def _event(self, kept: _Kept, event: Event) -> None:
        if not isinstance(event, Answered):  # the answer goes on its own
            kept.seq += 1
            self._send("event", kept.conversation_id, kept.turn_id, kept.seq, event.to_dict())

    # -- conversations kept between questions ---------------------------------------------

    def _take_kept(self, conversation_id: str) -> _Kept:
        with self._lock:
            kept = self._kept.pop(conversation_id, None)
        return kept if kept is not None else _Kept(conversation_id)

    def _give_back_kept(self, conversation_id: str, kept: _Kept) -> None:
        if kept.conversation is None:
            return
        with self._lock:
            self._kept[conversation_id] = kept
            while len(self._kept) > KEPT_CONVERSATIONS:
                self._kept.popitem(last=False)


class _Trace:
    """The agents' steps, sent to the runner, which writes them where the
    server's trace goes (made fit for a terminal there)."""

    def __init__(self, send: Callable[[str, str, str, int, Any], None]) -> None:
        self._send = send

    def write(self, text: str) -> int:
        self._send("trace", "", "", 0, text)
        return len(text)

    def flush(self) -> None:
        pass


def main() -> None:
    # Ctrl-C in a terminal reaches the whole process group: stopping is the
    # server's to do, which then closes the socket.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        os.nice(NICENESS)
    except OSError:
        pass  # a priority is a preference: the worker answers all the same
    connection = Connection(int(sys.argv[1]))
    made = connection.recv()
    if made["environment"] is not None:
        from .. import codetool

        codetool.initialize_environment(made["environment"])
    from .. import agent  # noqa: F401  (it loads LangChain: seconds the first question would otherwise wait)

    Answering(connection, made, Store(made["store"])).serve()
    # The questions still running are the server's to mark interrupted, and
    # their threads are not waited for; the exit handlers (the results
    # directory removed) still run.
    import atexit

    atexit._run_exitfuncs()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)
