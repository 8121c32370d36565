"""A conversation with the analyst: questions that build on earlier answers.

Made once per person and database. Each question runs on the agent that
velto_ai_sdk.agent.create_agent built for the conversation, the way
run_agent runs one: inside LangChain's usage-counting callback, with one
usage report (send_user_question, which writes the ledger) after each
question answered. What run_agent does not do, a conversation does: it
hands the agent the earlier turns as chat history, returns an Answer with
what the run did, reports each step as an event, keeps the agent's printing
off standard output, and says in words why a question has no answer.
"""

from __future__ import annotations

import contextvars
import queue
import threading
import time
from typing import Any, Callable, Iterable, Iterator, List, Mapping, Optional, TextIO, Tuple, Union

from . import checks, failures, history, images
from . import settings as chat_settings
from .answer import Answer, parse_data
from .events import Answered, Event, Failed, QuestionStarted
from .quiet import HOST_STDOUT, LastLines, output_to

__all__ = ["Conversation"]

EventHandler = Callable[[Event], Any]
CREATE_FAILED = "An error occurred while creating the agent: "


class Conversation:
    """A conversation with the analyst about one database.

    ``velto_api_key``  the person's account key (model settings, usage reports)
    ``media_path``     where the agent's charts go; made when missing
    ``engine``         "postgresql", "mysql" or "mssql" (or a usual spelling:
                       "PostgreSQL", "postgres", "MariaDB", "SQL Server"...)
    ``instructions``   the host's own instructions to the agent
    ``on_event``       called with each event (velto_ai_sdk.chat.events) as
                       the question goes on; an exception it raises ends the
                       question and is raised by ask()
    ``verbose``        False: nothing of the agent reaches standard output.
                       True: its progress lines and LangChain's trace go to
                       standard output, as run_agent's do; a text stream:
                       they go there
    ``turns``          earlier answers (Answer, or what Answer.to_dict gave)
                       to go on from, such as a stored conversation

    Before anything reaches the model, the arguments are checked, the
    private code environment must exist and the engine's database URL must
    be set; errors say what to do. Building the agent asks the account
    service for the model's settings, so its errors (a refused key, a
    missing OPENAI_API_KEY) are raised here as they come.

    One question at a time: a second ask() waits for the first. Several
    conversations may run at once in threads; their output stays theirs.
    """

    def __init__(self, velto_api_key: str, media_path: Any, engine: str, instructions: Optional[str] = None, *,
                 on_event: Optional[EventHandler] = None, verbose: Union[bool, TextIO] = False,
                 turns: Iterable[Union[Answer, Mapping[str, Any]]] = ()) -> None:
        self._engine = checks.engine_name(engine)
        self._media_path = checks.media_path_of(media_path)
        instructions = checks.instructions_text(instructions)
        if on_event is not None and not callable(on_event):
            raise TypeError("on_event must be callable, not %s" % type(on_event).__name__)
        if not isinstance(verbose, bool) and not callable(getattr(verbose, "write", None)):
            raise TypeError("verbose must be True, False or a text stream, not %s" % type(verbose).__name__)
        self._on_event = on_event
        self._verbose = verbose
        self._key = velto_api_key
        self._turns: List[Answer] = [turn if isinstance(turn, Answer) else Answer.from_dict(turn) for turn in turns]
        self._lock = threading.Lock()

        from .. import agent  # the agent's module loads the .env file the checks below may need
        from ..sqltool import ENGINES

        self._agent = agent
        self._ready()
        self._executor = self._create_agent(ENGINES[self._engine].prompt_name, instructions)
        # Made last, so that a conversation that cannot start leaves no directory behind.
        checks.media_directory(self._media_path)

    def _ready(self) -> None:
        checks.environment_ready()
        checks.database_configured(self._engine)

    def _output(self) -> LastLines:
        """Where the agent's printing goes: kept for its failure lines, and
        shown only when verbose."""
        if self._verbose is False:
            return LastLines()
        return LastLines(HOST_STDOUT if self._verbose is True else self._verbose)

    def _create_agent(self, prompt_name: str, instructions: Optional[str]) -> Any:
        printed = self._output()
        with output_to(printed):
            executor = self._agent.create_agent(self._key, self._media_path, prompt_name, instructions)
        if executor is None:
            reason = next((line[len(CREATE_FAILED):] for line in reversed(printed.lines)
                           if line.startswith(CREATE_FAILED)), "no reason given")
            raise checks.SetupError("the agent could not be built: " + reason)
        # The trace is LangChain's to print, and only printed when asked for.
        executor.verbose = self._verbose is not False
        return executor

    # -- what a host uses ---------------------------------------------------------

    @property
    def engine(self) -> str:
        return self._engine

    @property
    def media_path(self) -> str:
        return self._media_path

    @property
    def turns(self) -> Tuple[Answer, ...]:
        """The answers so far, oldest first; each holds its question."""
        return tuple(self._turns)

    def reset(self) -> None:
        """Forget the earlier turns: the next question starts afresh."""
        with self._lock:
            self._turns.clear()

    def ask(self, question: str) -> Answer:
        """The answer to `question`, given the turns so far. A failed run
        does not raise: its Answer says why in ``error``."""
        question = checks.question_text(question)
        return self._ask(question, self._to_host)

    def stream(self, question: str) -> Iterator[Event]:
        """The events of answering `question` as they happen, the Answered
        event with the answer last. The question runs on a thread of its
        own; leaving the loop early lets it finish there."""
        question = checks.question_text(question)
        self._ready()
        events: "queue.Queue[Any]" = queue.Queue()

        def emit(event: Event) -> None:
            self._to_host(event)
            events.put(event)

        def work() -> None:
            try:
                self._ask(question, emit)
            except BaseException as error:  # handed to the loop, which raises it
                events.put(_Raised(error))

        worker = threading.Thread(target=contextvars.copy_context().run, args=(work,), daemon=True,
                                  name="velto-conversation")
        worker.start()
        return _events_until_answered(events)

    def __repr__(self) -> str:
        return "<Conversation %s, %d turn%s>" % (self._engine, len(self._turns), "" if len(self._turns) == 1 else "s")

    # -- one question -------------------------------------------------------------

    def _to_host(self, event: Event) -> None:
        if self._on_event is not None:
            with output_to(None):  # the host's own prints are the host's
                self._on_event(event)

    def _ask(self, question: str, emit: Callable[[Event], None]) -> Answer:
        with self._lock:
            self._ready()
            answer = self._run(question, emit)
            self._turns.append(answer)
        return answer

    def _run(self, question: str, emit: Callable[[Event], None]) -> Answer:
        from .recorder import HostCallbackFailed, Recorder

        started = time.monotonic()
        carried = history.carried_turns(self._turns, chat_settings.history_chars())
        emit(QuestionStarted(elapsed=0.0, question=question, turn=len(self._turns) + 1, carried=len(carried)))
        recorder = Recorder(emit, started, self._media_path, images.snapshot(self._media_path))
        agent = self._agent
        chat_history = history.messages(carried, agent.HumanMessage, agent.AIMessage)
        output: Any = None
        failure: Optional[str] = None
        report = None
        with output_to(self._output()):
            with agent.get_openai_callback() as usage:
                try:
                    # In a copy of this context: however the run ends, the
                    # agent's scope of its tool calls stays inside it.
                    result = contextvars.copy_context().run(
                        self._executor.invoke, {"input": question, "chat_history": chat_history},
                        config={"callbacks": [recorder]})
                    if not result or "output" not in result:
                        failure = failures.GAVE_NO_ANSWER
                    else:
                        output = result["output"]
                        report = (usage.total_tokens, usage.total_cost)
                except HostCallbackFailed as stop:
                    raise stop.error from None
                except Exception as error:
                    failure = failures.run_failure(error)
                tokens, cost = usage.total_tokens, usage.total_cost
        if report is not None and report[0] is not None and report[1] is not None:
            agent.send_user_question(self._key, question, report[0], report[1])

        text = "" if output is None else output if isinstance(output, str) else str(output)
        if failure is None and text == failures.STOPPED:
            text, failure = "", failures.stopped(getattr(self._executor, "max_iterations", None))
        if failure is None and recorder.last_round:
            failure = recorder.last_round[0]
        elapsed = time.monotonic() - started
        answer = Answer(question=question, text=text, data=parse_data(text), queries=tuple(recorder.queries),
                        scripts=tuple(recorder.scripts), images=tuple(recorder.images), tokens=int(tokens or 0),
                        cost=float(cost or 0.0), seconds=elapsed, error=failure, media_path=self._media_path)
        if failure is not None:
            emit(Failed(elapsed=elapsed, error=failure))
        emit(Answered(elapsed=elapsed, answer=answer))
        return answer


class _Raised:
    def __init__(self, error: BaseException) -> None:
        self.error = error


def _events_until_answered(events: "queue.Queue[Any]") -> Iterator[Event]:
    while True:
        item = events.get()
        if isinstance(item, _Raised):
            raise item.error
        yield item
        if isinstance(item, Answered):
            return
