"""The server: a loopback endpoint that answers each chat-completions request
with the next item of its script."""

from __future__ import annotations

import socket
import threading
import time
from http.server import ThreadingHTTPServer
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple, Union

from .handler import ReceivedRequest, RequestHandler
from .protocol import ProtocolError, check_chat_request, completion_chunks, error_body, estimate_tokens, route_of
from .replies import ScriptedReply, text_reply
from .session import load_script, reply_from_dict

DEFAULT_MODEL = "scripted-model"
SYSTEM_FINGERPRINT = "fp_scripted"


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    # Idle keep-alive connections would make server_close() wait forever.
    block_on_close = False
    allow_reuse_address = True
    owner: "ScriptedChatServer"


ScriptItem = Union[ScriptedReply, str, Dict[str, Any], Callable[[Dict[str, Any]], Any]]


class ScriptedChatServer(object):
    """An OpenAI-compatible chat-completions endpoint that answers from a script.

    ``script`` is consumed in order, one item per chat-completions request that
    passes the protocol checks. An item is a :class:`ScriptedReply`, a string
    (a text reply), a reply dict in the JSON script format, or a callable that
    takes the request body and returns one of those. Once the script runs out,
    each further request gets a 500 naming that fact, marked not to be retried.

    ``model`` fixes the model name in responses; by default the request's is
    echoed. ``api_key`` makes every request without that Bearer token fail with
    the service's 401. ``log`` receives one line per request.
    """

    def __init__(
        self,
        script: Iterable[ScriptItem] = (),
        model: Optional[str] = None,
        host: str = "127.0.0.1",
        port: int = 0,
        api_key: Optional[str] = None,
        validate: bool = True,
        log: Optional[Callable[[str], Any]] = None,
    ) -> None:
        self.model = model
        self.host = host
        self.port = int(port)
        self.api_key = api_key
        self.validate = validate
        self._log_fn = log
        self._lock = threading.Lock()
        self._script = list(script)
        self._served = 0
        self._requests = []  # type: List[ReceivedRequest]
        self._counters = {}  # type: Dict[str, int]
        self._connections = set()  # type: set
        self._httpd = None  # type: Optional[_HTTPServer]
        self._thread = None  # type: Optional[threading.Thread]
        self._stopped = False

    @classmethod
    def from_file(cls, path: Any, **kwargs: Any) -> "ScriptedChatServer":
        """A server replaying a recorded session file (see :func:`load_script`)."""
        replies, model = load_script(path)
        if kwargs.get("model") is None:
            kwargs["model"] = model
        return cls(replies, **kwargs)

    # -- lifecycle --------------------------------------------------------

    def start(self) -> "ScriptedChatServer":
        if self._stopped:
            raise RuntimeError("a stopped ScriptedChatServer cannot be started again")
        if self._httpd is not None:
            return self
        httpd = _HTTPServer((self.host, self.port), RequestHandler)
        httpd.owner = self
        self._httpd = httpd
        self.port = httpd.server_address[1]
        self._thread = threading.Thread(
            # A short poll keeps stop() quick; tests start and stop many servers.
            target=httpd.serve_forever, kwargs={"poll_interval": 0.05}, name="scripted-chat-server:%d" % self.port, daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        httpd = self._httpd
        self._stopped = True
        if httpd is None:
            return
        self._httpd = None
        httpd.shutdown()
        # Pooled keep-alive connections would otherwise keep their handler
        # threads (and the client's idea of a live server) around.
        with self._lock:
            conns = list(self._connections)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        httpd.server_close()
        if self._thread is not None:
            self._thread.join()

    def __enter__(self) -> "ScriptedChatServer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # -- what callers look at ---------------------------------------------

    @property
    def url(self) -> str:
        """The server root, e.g. ``http://127.0.0.1:PORT``."""
        if self._httpd is None:
            raise RuntimeError("the server is not running; call start() or use it in a with block")
        host = self.host
        if ":" in host:
            host = "[%s]" % host
        return "http://%s:%d" % (host, self.port)

    @property
    def base_url(self) -> str:
        """What ``OPENAI_BASE_URL`` / ChatOpenAI's ``base_url`` takes."""
        return self.url + "/v1"

    def environ(self, api_key: Optional[str] = None) -> Dict[str, str]:
        """Environment variables pointing the openai client and LangChain here."""
        key = api_key or self.api_key or "sk-scripted"
        return {
            "OPENAI_BASE_URL": self.base_url,
            "OPENAI_API_BASE": self.base_url,
            "OPENAI_API_KEY": key,
        }

    @property
    def requests(self) -> List[ReceivedRequest]:
        """Every request received so far, in arrival order (a snapshot)."""
        with self._lock:
            return list(self._requests)

    @property
    def chat_bodies(self) -> List[Any]:
        """The JSON bodies of the chat-completions requests, in order."""
        return [r.body for r in self.requests if r.method == "POST" and route_of(r.path) == "chat"]

    @property
    def remaining(self) -> int:
        """Script items not yet used."""
        with self._lock:
            return len(self._script) - self._served

    def extend(self, items: Iterable[ScriptItem]) -> None:
        """Append items to the script, also while serving."""
        items = list(items)
        with self._lock:
            self._script.extend(items)

    # -- internals ----------------------------------------------------------

    def _log(self, line: str) -> None:
        if self._log_fn is not None:
            self._log_fn(line)

    def _track(self, conn: Any, add: bool) -> None:
        with self._lock:
            if add:
                self._connections.add(conn)
            else:
                self._connections.discard(conn)

    def _record(self, record: ReceivedRequest) -> None:
        with self._lock:
            self._requests.append(record)

    def _next(self, counter: str) -> int:
        with self._lock:
            value = self._counters.get(counter, 0) + 1
            self._counters[counter] = value
            return value

    def _take(self) -> Tuple[Optional[ScriptItem], int]:
        with self._lock:
            if self._served >= len(self._script):
                return None, self._served
            item = self._script[self._served]
            self._served += 1
            return item, self._served

    def _dispatch(self, handler: RequestHandler, record: ReceivedRequest, raw: bytes) -> None:
        route = route_of(record.path)
        if route is None:
            handler.send_json(record, 404, error_body(
                "Invalid URL (%s %s)" % (record.method, record.path), "invalid_request_error"))
            return
        if not self._authorized(handler.headers):
            handler.send_json(record, 401, error_body(
                "Incorrect API key provided. You can find your API key at "
                "https://platform.openai.com/account/api-keys.",
                "invalid_request_error", code="invalid_api_key"))
            return
        if route == "models":
            if record.method != "GET":
                return self._method_not_allowed(handler, record)
            handler.send_json(record, 200, {"object": "list", "data": [self._model_object(self.model or DEFAULT_MODEL)]})
            return
        if route.startswith("model:"):
            if record.method != "GET":
                return self._method_not_allowed(handler, record)
            handler.send_json(record, 200, self._model_object(route[len("model:"):]))
            return
        # chat completions
        if record.method != "POST":
            return self._method_not_allowed(handler, record)
        if raw and record.body is None:
            handler.send_json(record, 400, error_body(
                "We could not parse the JSON body of your request.", "invalid_request_error"))
            return
        if self.validate:
            try:
                check_chat_request(record.body)
            except ProtocolError as exc:
                handler.send_json(record, 400, error_body(
                    exc.message, "invalid_request_error", param=exc.param, code=exc.code))
                return
        body = record.body if isinstance(record.body, dict) else {}
        item, number = self._take()
        if item is None:
            handler.send_json(
                record, 500,
                error_body("Scripted chat server: the script is exhausted: all %d replies were "
                            "used, and this chat request was not expected." % number,
                            "server_error", code="script_exhausted"),
                headers={"x-should-retry": "false"})
            return
        try:
            if callable(item) and not isinstance(item, ScriptedReply):
                item = item(body)
            reply = _coerce_reply(item).filled(body)
        except Exception as exc:  # the script's own fault: say so, loudly
            handler.send_json(
                record, 500,
                error_body("Scripted chat server: script step %d failed: %s: %s"
                            % (number, type(exc).__name__, exc), "server_error", code="script_error"),
                headers={"x-should-retry": "false"})
            return
        if reply.is_error:
            headers = {}
            if reply.retry is not None:
                headers["x-should-retry"] = "true" if reply.retry else "false"
            if reply.retry_after is not None:
                headers["retry-after-ms"] = "%d" % max(1, int(round(reply.retry_after * 1000)))
            handler.send_json(record, reply.status, {"error": dict(reply.error or {})}, headers=headers)
            return
        completion = self._completion(reply, body)
        if body.get("stream"):
            include_usage = bool((body.get("stream_options") or {}).get("include_usage"))
            handler.send_events(record, completion, completion_chunks(completion, include_usage))
        else:
            handler.send_json(record, 200, completion)

    def _method_not_allowed(self, handler: RequestHandler, record: ReceivedRequest) -> None:
        handler.send_json(record, 405, error_body(
            "Method %s not allowed for %s" % (record.method, record.path), "invalid_request_error"))

    def _authorized(self, headers: Any) -> bool:
        if self.api_key is None:
            return True
        auth = headers.get("Authorization") or ""
        return auth == "Bearer " + self.api_key

    def _model_object(self, model_id: str) -> Dict[str, Any]:
        return {"id": model_id, "object": "model", "created": 1700000000, "owned_by": "system"}

    def _completion(self, reply: ScriptedReply, body: Dict[str, Any]) -> Dict[str, Any]:
        message = {"role": "assistant", "content": reply.content, "refusal": None}  # type: Dict[str, Any]
        if reply.tool_calls:
            calls = []
            for name, arguments, call_id in reply.tool_calls:
                if call_id is None:
                    call_id = "call_%d" % self._next("call")
                calls.append({"id": call_id, "type": "function",
                              "function": {"name": name, "arguments": arguments}})
            message["tool_calls"] = calls
        elif message["content"] is None:
            message["content"] = ""
        prompt_tokens = reply.prompt_tokens
        if prompt_tokens is None:
            prompt_tokens = estimate_tokens(body.get("messages")) + estimate_tokens(body.get("tools"))
        completion_tokens = reply.completion_tokens
        if completion_tokens is None:
            completion_tokens = estimate_tokens(reply.content) + sum(
                estimate_tokens(c["function"]["name"] + c["function"]["arguments"])
                for c in message.get("tool_calls", []))
            completion_tokens = max(1, completion_tokens)
        return {
            "id": "chatcmpl-scripted%d" % self._next("completion"),
            "object": "chat.completion",
            "created": int(time.time()),
            "model": self.model or body.get("model") or DEFAULT_MODEL,
            "choices": [{
                "index": 0,
                "message": message,
                "logprobs": None,
                "finish_reason": reply.finish_reason,
            }],
            "usage": {
                "prompt_tokens": int(prompt_tokens),
                "completion_tokens": int(completion_tokens),
                "total_tokens": int(prompt_tokens) + int(completion_tokens),
            },
            "system_fingerprint": SYSTEM_FINGERPRINT,
        }


def _coerce_reply(item: Any) -> ScriptedReply:
    if isinstance(item, ScriptedReply):
        return item
    if isinstance(item, str):
        return text_reply(item)
    if isinstance(item, dict):
        return reply_from_dict(item)
    raise TypeError("a script step must give a reply, a string or a reply dict, not %r" % (item,))
