"""One question's run as LangChain reports it to its callbacks: turned into
events as it happens, and into the statements, scripts and images of the
answer.

The executor runs the model and the tools on the calling thread, so the
callbacks of one run come one at a time, in order.
"""

from __future__ import annotations

import time
from typing import Any, Callable, Dict, List, Optional, Tuple
from uuid import UUID

from langchain_core.callbacks import BaseCallbackHandler

from . import images
from .answer import Query, Script
from .events import (Event, ImageMade, ModelCallEnded, ModelCallStarted, ToolCallEnded, ToolCallStarted)
from .tools import Tool, outcome, tool_named


class HostCallbackFailed(BaseException):
    """The host's on_event raised: the question ends there, and ask()
    raises the host's exception. A BaseException, so that no handler of
    ordinary failures on the way (LangChain's, the tools') takes it."""

    def __init__(self, error: BaseException) -> None:
        super().__init__(error)
        self.error = error


class _ToolCall:
    __slots__ = ("number", "name", "tool", "input", "started")

    def __init__(self, number: int, name: str, tool: Tool, text: str) -> None:
        self.number, self.name, self.tool, self.input = number, name, tool, text
        self.started = time.monotonic()


class Recorder(BaseCallbackHandler):
    """Callbacks of one run; ``emit`` takes each event."""

    # Chains and retrievers say nothing a person follows; skipping them
    # keeps the callbacks' cost per question small.
    ignore_chain = True
    ignore_retriever = True
    raise_error = True  # a fault here is a fault of the run, not a log line

    def __init__(self, emit: Callable[[Event], None], started: float, media_path: str,
                 before: images.Snapshot) -> None:
        self._emit = emit
        self._started = started
        self._media_path = media_path
        self._images = before
        self._model_calls: Dict[UUID, Tuple[int, float]] = {}
        self._tool_calls: Dict[UUID, _ToolCall] = {}
        self._model_count = 0
        self._tool_count = 0
        self.queries: List[Query] = []
        self.scripts: List[Script] = []
        self.images: List[str] = []
        # Failures of the tool calls the model asked for last: an answer
        # given right after them rests on no result.
        self.last_round: List[str] = []

    def _elapsed(self) -> float:
        return time.monotonic() - self._started

    def _send(self, event: Event) -> None:
        try:
            self._emit(event)
        except Exception as error:
            raise HostCallbackFailed(error) from error

    # -- the model --------------------------------------------------------------

    def on_chat_model_start(self, serialized: Dict[str, Any], messages: Any, *, run_id: UUID,
                            **kwargs: Any) -> None:
        self._model_count += 1
        self._model_calls[run_id] = (self._model_count, time.monotonic())
        self._send(ModelCallStarted(elapsed=self._elapsed(), call=self._model_count))

    def on_llm_end(self, response: Any, *, run_id: UUID, **kwargs: Any) -> None:
        number, started = self._model_calls.pop(run_id, (self._model_count, time.monotonic()))
        tool_calls = _tool_calls(response)
        if tool_calls:
            self.last_round = []
        self._send(ModelCallEnded(elapsed=self._elapsed(), call=number, seconds=time.monotonic() - started,
                                  tokens=_tokens(response), tool_calls=tool_calls))

    def on_llm_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        from .failures import run_failure

        number, started = self._model_calls.pop(run_id, (self._model_count, time.monotonic()))
        self._send(ModelCallEnded(elapsed=self._elapsed(), call=number, seconds=time.monotonic() - started,
                                  tokens=0, tool_calls=(), error=run_failure(error)))

    # -- the tools --------------------------------------------------------------

    def on_tool_start(self, serialized: Dict[str, Any], input_str: str, *, run_id: UUID,
                      inputs: Optional[Dict[str, Any]] = None, **kwargs: Any) -> None:
        name = str((serialized or {}).get("name") or kwargs.get("name") or "")
        tool = tool_named(name)
        value = (inputs or {}).get(tool.argument) if tool.argument else ""
        text = value if isinstance(value, str) else ("" if tool.kind == "schema" else str(input_str))
        self._tool_count += 1
        call = _ToolCall(self._tool_count, name, tool, text)
        self._tool_calls[run_id] = call
        self._send(ToolCallStarted(elapsed=self._elapsed(), call=call.number, tool=name, kind=tool.kind,
                                   engine=tool.engine, input=text))

    def on_tool_end(self, output: Any, *, run_id: UUID, **kwargs: Any) -> None:
        call = self._tool_calls.pop(run_id, None)
        if call is None:
            return
        text = output if isinstance(output, str) else str(output)
        seconds = time.monotonic() - call.started
        said = outcome(call.tool, text)
        failed = said.failure is not None
        if failed:
            self.last_round.append(said.failure)  # type: ignore[arg-type]
        if call.tool.kind == "sql":
            from .results import result_file

            self.queries.append(Query(sql=call.input, engine=call.tool.engine or "", result=text,
                                      file=result_file(text), seconds=seconds, failed=failed))
        elif call.tool.kind == "python":
            self.scripts.append(Script(code=call.input, output=text, seconds=seconds, failed=failed))
        self._send(ToolCallEnded(elapsed=self._elapsed(), call=call.number, tool=call.name, kind=call.tool.kind,
                                 summary=said.summary, failed=failed, seconds=seconds))
        if call.tool.kind == "python":
            self._look_for_images()

    def on_tool_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        from .failures import run_failure

        call = self._tool_calls.pop(run_id, None)
        if call is None or isinstance(error, HostCallbackFailed):
            return
        seconds = time.monotonic() - call.started
        self._send(ToolCallEnded(elapsed=self._elapsed(), call=call.number, tool=call.name, kind=call.tool.kind,
                                 summary="failed: " + run_failure(error), failed=True, seconds=seconds))

    def _look_for_images(self) -> None:
        now = images.snapshot(self._media_path)
        for path in images.changed(self._images, now):
            if path not in self.images:
                self.images.append(path)
            self._send(ImageMade(elapsed=self._elapsed(), path=path))
        self._images = now


def _tool_calls(response: Any) -> Tuple[str, ...]:
    try:
        message = response.generations[0][0].message
    except (AttributeError, IndexError):
        return ()
    return tuple(str(call.get("name", "")) for call in getattr(message, "tool_calls", None) or ())


def _tokens(response: Any) -> int:
    usage = (getattr(response, "llm_output", None) or {}).get("token_usage") or {}
    total = usage.get("total_tokens")
    return total if isinstance(total, int) else 0
