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

    ("ask", conversation id, turn id, question)
    ("forget", conversation id)          the conversation was deleted

The worker sends back lists of

    ("event", turn id, the event's to_dict())
    ("answer", turn id, the Answer's to_dict())       a question's last
    ("trace", "", text)                                the agents' steps, when verbose

in the order they happened, as many in one list as piled up meanwhile. Each
question runs on a thread of its own; the runner sends no more at once than
its limit. When the runner's end of the socket closes (its process stopped,
however it stopped), the worker leaves at once.

Each conversation has its own Conversation (its own agent and media
directory), kept between questions while the store holds no turn it has
not seen: a follow-up answered by another server process meanwhile makes it
built again from the stored turns. A question whose conversation cannot be
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
from typing import Any, Callable, Dict, List, Optional

from ..chat import Answer, Conversation, Event
from ..chat.events import Answered
from ..chat.failures import run_failure
from .store import Store, StoreError

KEPT_CONVERSATIONS = 64
STOP_SECONDS = 5.0  # for the worker to leave when told, before it is killed
START = "from velto_ai_sdk.serve.worker import main; main()"


def settings(analyst: Any, store: Store) -> Dict[str, Any]:
    """What the worker needs to know: the analyst's making, the store, the
    code environment this process was pointed at. (Whether the agents'
    steps are traced is the runner's to add.)"""
    from .. import codetool

    return {"engine": analyst.engine, "media": analyst.media, "key": analyst.key,
            "instructions": analyst.instructions, "store": store.url,
            "environment": None if codetool.env_path is None else str(codetool.env_path)}


# -- the runner's side ------------------------------------------------------------------


class Worker:
    """A running worker, from the runner's side. What it sends goes to
    `received`, from a thread of its own; `gone` is called once it has
    stopped (or could not start), with the reason in words."""

    def __init__(self, settings: Dict[str, Any], received: Callable[[List[Any]], None],
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
    """A conversation kept between questions, and the turn it answers now."""

    __slots__ = ("conversation", "turn_id")

    def __init__(self) -> None:
        self.conversation: Optional[Conversation] = None
        self.turn_id = ""


class Answering:
    def __init__(self, connection: Connection, settings: Dict[str, Any], store: Store) -> None:
        self._connection = connection
        self._settings = settings
        self._store = store
        self._lock = threading.Lock()
        self._kept: "collections.OrderedDict[str, _Kept]" = collections.OrderedDict()
        self._outbox: "queue.Queue[Any]" = queue.Queue()

    def serve(self) -> None:
        """Takes questions until the runner's end closes."""
        threading.Thread(target=self._send, name="velto-worker-send", daemon=True).start()
        while True:
            try:
                message = self._connection.recv()
            except (EOFError, OSError):
                return
            if message[0] == "ask":
                threading.Thread(target=self._answer, args=message[1:], name="velto-worker-question",
                                 daemon=True).start()
            elif message[0] == "forget":
                with self._lock:
                    self._kept.pop(message[1], None)

    def _send(self) -> None:
        """What the questions' threads put out, sent in order, what piled up meanwhile in one message."""
        while True:
            found = [self._outbox.get()]
            while True:
                try:
                    found.append(self._outbox.get_nowait())
                except queue.Empty:
                    break
            try:
                self._connection.send(found)
            except OSError:
                return

    # -- one question ----------------------------------------------------------------------

    def _answer(self, conversation_id: str, turn_id: str, question: str) -> None:
        kept = self._take_kept(conversation_id)
        kept.turn_id = turn_id
        try:
            if kept.conversation is None or len(kept.conversation.turns) != self._store.answered(conversation_id):
                kept.conversation = None
                kept.conversation = self._open(conversation_id, self._store.answers(conversation_id), kept)
            answer = kept.conversation.ask(question)
        except StoreError as error:
            kept.conversation = None
            answer = Answer(question=question, text="", error=str(error))
        except Exception as error:
            kept.conversation = None
            answer = Answer(question=question, text="", error="the analyst could not start: " + run_failure(error))
        self._give_back_kept(conversation_id, kept)
        self._outbox.put(("answer", turn_id, answer.to_dict()))

    def _open(self, conversation_id: str, stored: List[Dict[str, Any]], kept: _Kept) -> Conversation:
        made = self._settings
        trace: Any = _Trace(self._outbox) if made["verbose"] else False
        return Conversation(made["key"], os.path.join(made["media"], conversation_id), made["engine"],
                            made["instructions"], on_event=lambda event: self._event(kept, event),
                            verbose=trace, turns=stored)

    def _event(self, kept: _Kept, event: Event) -> None:
        if not isinstance(event, Answered):  # the answer goes on its own
            self._outbox.put(("event", kept.turn_id, event.to_dict()))

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


class _Trace:
    """The agents' steps, sent to the runner, which writes them where the
    server's trace goes (made fit for a terminal there)."""

    def __init__(self, outbox: "queue.Queue[Any]") -> None:
        self._outbox = outbox

    def write(self, text: str) -> int:
        self._outbox.put(("trace", "", text))
        return len(text)

    def flush(self) -> None:
        pass


def main() -> None:
    # Ctrl-C in a terminal reaches the whole process group: stopping is the
    # server's to do, which then closes the socket.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
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
