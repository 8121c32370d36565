"""The application: the page, its files, and the JSON and event routes it
calls, all relative to where the page is served (so a reverse proxy may
put it under a path of its own).

    GET    /                                              the page
    GET    /static/{file}                                 its script and style
    GET    /api/about                                     engine, limits
    GET    /api/conversations                             the list, latest first
    POST   /api/conversations             {"question"}    a new one, asking its first question
    GET    /api/conversations/{id}                        its turns
    DELETE /api/conversations/{id}                        gone, with its images and files
    POST   /api/conversations/{id}/questions {"question"} a follow-up
    GET    /api/conversations/{id}/turns/{turn}/events    progress, then the turn (server-sent events)
    GET    /api/conversations/{id}/files/{file}           an image or a result's CSV, of this conversation only

Failures answer with JSON {"error": "..."} in words, which the page shows:
the store failing (503), a conversation busy with a question (409), a
question too long or empty (413, 422), no such conversation or file (404).
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import json
import os
import re
import shutil
import sys
from dataclasses import dataclass
from typing import Any, AsyncIterator, Awaitable, Callable, Dict, Optional

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from ..chat import checks
from ..chat import settings as chat_settings
from . import sse, worker
from .access import Access
from .runner import Runner, Stopping
from .store import Added, Busy, NotFound, Question, Store, StoreError, new_owner
from .views import turn_view

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
ID = re.compile(r"^[0-9a-f]{32}$")
BUSY = "this conversation is still answering a question; ask again when it is done"


@dataclass
class Analyst:
    """How each conversation's analyst is made."""

    engine: str
    media: str  # each conversation gets a directory of its own under it
    key: str
    instructions: Optional[str] = None
    verbose: Any = False  # or a text stream for the agents' steps
    environment: Optional[str] = None  # the code environment; None: the one this process's code tool has


class Failure(Exception):
    def __init__(self, status: int, error: str) -> None:
        super().__init__(error)
        self.status = status
        self.error = error


Handler = Callable[["Server", Request], Awaitable[Response]]


def api(handler: Handler) -> Handler:
    """A route's failures as JSON, in words."""

    @functools.wraps(handler)
    async def call(self: "Server", request: Request) -> Response:
        try:
            response = await handler(self, request)
        except (Failure, NotFound, Busy, StoreError) as error:
            response = failure_response(error)
        response.headers.setdefault("cache-control", "no-store")
        return response

    return call


def failure_response(error: Exception) -> Response:
    if isinstance(error, Failure):
        status, words = error.status, error.error
    elif isinstance(error, NotFound):
        status, words = 404, "no such conversation or file"
    elif isinstance(error, Busy):
        status, words = 409, BUSY
    else:
        status, words = 503, str(error)
    return JSONResponse({"error": words}, status_code=status, headers={"cache-control": "no-store"})


class Server:
    """The routes and what they share: the store, the runner and the streams' wake-ups."""

    def __init__(self, store: Store, analyst: Analyst, slots: int, workers: int, max_file_bytes: int,
                 closing: Callable[[], bool]) -> None:
        self.store = store
        self.analyst = analyst
        self.owner = new_owner()
        self.slots = slots
        self.workers = workers
        self.max_file_bytes = max_file_bytes
        self.closing = closing
        self.runner: Optional[Runner] = None
        self.wakers: Optional[sse.Wakers] = None

    # -- the server's life ------------------------------------------------------------

    @contextlib.asynccontextmanager
    async def lifespan(self, app: Starlette) -> AsyncIterator[None]:
        self.wakers = sse.Wakers(asyncio.get_running_loop())
        verbose = self.analyst.verbose
        self.runner = Runner(self.store, self.owner, worker.settings(self.analyst, self.store), self.slots,
                             self.workers, self.wakers, self.max_file_bytes,
                             trace=sys.stderr if verbose is True else (verbose or None)).start()
        try:
            yield
        finally:
            self.wakers.close()
            await run_in_threadpool(self.runner.stop)

    # -- the page ------------------------------------------------------------------------

    async def page(self, request: Request) -> Response:
        return FileResponse(os.path.join(STATIC, "index.html"), headers={"cache-control": "no-cache"})

    @api
    async def about(self, request: Request) -> Response:
        from ..sqltool import ENGINES

        return JSONResponse({"engine": self.analyst.engine, "engine_label": ENGINES[self.analyst.engine].label,
                             "store": self.store.kind, "max_question_chars": chat_settings.max_question_chars(),
                             "slots": self.slots})

    # -- conversations -----------------------------------------------------------------------

    @api
    async def conversations(self, request: Request) -> Response:
        rows = await run_in_threadpool(self.store.conversations)
        return JSONResponse([{"id": row["id"], "title": row["title"], "updated": row["updated"],
                              "turns": row["turns"], "busy": row["busy"] is not None} for row in rows])

    @api
    async def new_conversation(self, request: Request) -> Response:
        added = await self._ask(Question(await _question(request), engine=self.analyst.engine))
        assert added.conversation is not None and added.turn is not None
        return JSONResponse({"conversation": _conversation_view(added.conversation), "turn": turn_view(added.turn)},
                            status_code=201)

    @api
    async def conversation(self, request: Request) -> Response:
        found = await run_in_threadpool(self.store.conversation, _id(request, "conversation"))
        view = _conversation_view(found)
        view["turns"] = [turn_view(turn) for turn in found["turns"]]
        return JSONResponse(view)

    @api
    async def delete_conversation(self, request: Request) -> Response:
        conversation_id = _id(request, "conversation")
        await run_in_threadpool(self.store.delete_conversation, conversation_id)
        assert self.runner is not None
        self.runner.forget(conversation_id)
        await run_in_threadpool(shutil.rmtree, os.path.join(self.analyst.media, conversation_id), True)
        return Response(status_code=204)

    @api
    async def question(self, request: Request) -> Response:
        conversation_id = _id(request, "conversation")
        added = await self._ask(Question(await _question(request), conversation_id))
        assert added.turn is not None
        return JSONResponse({"turn": turn_view(added.turn)}, status_code=202)

    async def _ask(self, question: Question) -> Added:
        """The question stored as a new turn and taken in line."""
        assert self.runner is not None
        try:
            added = await asyncio.wrap_future(self.runner.ask(question))
        except Stopping:
            raise Failure(503, "the server is stopping: ask again in a moment") from None
        if added.refused is not None:
            raise added.refused
        return added

    # -- a turn's progress, and the files ----------------------------------------------------------

    async def turn_events(self, request: Request) -> Response:
        assert self.wakers is not None
        try:
            conversation_id, turn_id = _id(request, "conversation"), _id(request, "turn")
            if self.wakers.live(conversation_id, turn_id) is None:  # not one this process answers: is it there?
                await run_in_threadpool(self.store.turn_state, conversation_id, turn_id)
        except (NotFound, StoreError) as error:
            return failure_response(error)
        after = request.headers.get("last-event-id") or request.query_params.get("after") or "0"
        stream = sse.turn_events(self.store, self.wakers, conversation_id, turn_id,
                                 int(after) if after.isdigit() else 0, self.closing)
        return StreamingResponse(stream, media_type="text/event-stream",
                                 headers={"cache-control": "no-store", "x-accel-buffering": "no"})

    @api
    async def file(self, request: Request) -> Response:
        found = await run_in_threadpool(self.store.file, _id(request, "conversation"), _id(request, "file"))
        name = os.path.basename(found["name"]) or "file"
        disposition = "inline" if found["kind"] == "image" else "attachment"
        return Response(found["data"], media_type=found["media_type"], headers={
            "content-disposition": '%s; filename="%s"' % (disposition, re.sub(r"[^\w.\-]", "_", name)),
            "cache-control": "private, max-age=86400, immutable"})


def _id(request: Request, name: str) -> str:
    value = request.path_params[name]
    if not ID.match(value):
        raise NotFound(value)
    return value


async def _question(request: Request) -> str:
    """The question of a JSON body, checked; a body too large is not read on."""
    limit = chat_settings.max_question_chars()
    most = limit * 4 + 1024  # UTF-8 and JSON's escapes
    too_long = Failure(413, "the question is too long: at most %d characters are taken" % limit)
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > most:
        raise too_long
    body = bytearray()
    async for chunk in request.stream():
        body += chunk
        if len(body) > most:
            raise too_long
    try:
        data = json.loads(bytes(body))
    except ValueError:
        raise Failure(400, "the request is not JSON") from None
    question = data.get("question") if isinstance(data, dict) else None
    try:
        return checks.question_text(question)
    except (TypeError, ValueError) as error:
        raise Failure(422, str(error)) from None


def _conversation_view(row: Dict[str, Any]) -> Dict[str, Any]:
    return {"id": row["id"], "title": row["title"], "engine": row["engine"], "created": row["created"],
            "updated": row["updated"], "busy": row["busy"] is not None}


def create_app(store: Store, analyst: Analyst, *, token: Optional[str], slots: int, workers: int = 1,
               max_file_bytes: int, closing: Callable[[], bool] = lambda: False) -> Starlette:
    """The ASGI application over `store`; `token` None serves loopback host names only."""
    server = Server(store, analyst, slots, workers, max_file_bytes, closing)
    conversation = "/api/conversations/{conversation}"
    routes = [
        Route("/", server.page, methods=["GET"]),
        Mount("/static", StaticFiles(directory=STATIC)),
        Route("/api/about", server.about, methods=["GET"]),
        Route("/api/conversations", server.conversations, methods=["GET"]),
        Route("/api/conversations", server.new_conversation, methods=["POST"]),
        Route(conversation, server.conversation, methods=["GET"]),
        Route(conversation, server.delete_conversation, methods=["DELETE"]),
        Route(conversation + "/questions", server.question, methods=["POST"]),
        Route(conversation + "/turns/{turn}/events", server.turn_events, methods=["GET"]),
        Route(conversation + "/files/{file}", server.file, methods=["GET"]),
    ]
    app = Starlette(routes=routes, middleware=[Middleware(Access, token=token)], lifespan=server.lifespan)
    app.state.server = server
    return app
