"""The scripted chat model, driven through the real openai and LangChain clients."""

import asyncio
import http.client
import json
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import openai
import pytest
from langchain.agents import AgentExecutor, create_tool_calling_agent
from langchain_community.callbacks import get_openai_callback
from langchain_core.prompts import ChatPromptTemplate
from langchain_core.tools import tool
from langchain_openai import ChatOpenAI

from velto_ai_sdk import scripted_model
from velto_ai_sdk.scripted_model import (
    ScriptedChatServer,
    error_reply,
    load_script,
    reply_from_dict,
    text_reply,
    tool_call_reply,
)

KEY = "sk-test-key"
USER = [{"role": "user", "content": "How many customers?"}]


@tool
def RunSQL(query: str) -> str:
    """Run a SQL query and return its rows."""
    return "rows for " + query


def client(server, **kwargs):
    return openai.OpenAI(base_url=server.base_url, api_key=KEY, **kwargs)


def chat_model(server, **kwargs):
    return ChatOpenAI(model="gpt-4o-mini", base_url=server.base_url, api_key=KEY, **kwargs)


class TestOpenAIClient:
    def test_text_reply_parses_and_request_is_recorded(self, scripted_chat_server):
        server = scripted_chat_server([text_reply("42 customers.", prompt_tokens=7, completion_tokens=3)])
        out = client(server).chat.completions.create(model="gpt-4o-mini", messages=USER)
        assert out.choices[0].message.content == "42 customers."
        assert out.choices[0].finish_reason == "stop"
        assert out.model == "gpt-4o-mini"
        assert (out.usage.prompt_tokens, out.usage.completion_tokens, out.usage.total_tokens) == (7, 3, 10)
        (req,) = server.requests
        assert (req.method, req.path, req.status) == ("POST", "/v1/chat/completions", 200)
        assert req.headers["authorization"] == "Bearer " + KEY
        assert req.body["messages"] == USER

    def test_tool_call_ids_are_unique_across_the_session(self, scripted_chat_server):
        server = scripted_chat_server([
            tool_call_reply([("RunSQL", {"query": "SELECT 1"}), ("Plot", {"kind": "bar"})]),
            tool_call_reply([("RunSQL", {"query": "SELECT 2"}), ("Given", {}, "call_mine")]),
        ])
        c = client(server)
        first = c.chat.completions.create(model="m", messages=USER).choices[0]
        second = c.chat.completions.create(model="m", messages=USER).choices[0]
        assert first.finish_reason == "tool_calls" and first.message.content is None
        calls = first.message.tool_calls + second.message.tool_calls
        assert [t.id for t in calls] == ["call_1", "call_2", "call_3", "call_mine"]
        assert json.loads(calls[0].function.arguments) == {"query": "SELECT 1"}
        assert calls[1].function.name == "Plot"

    def test_stream_adds_up_to_the_reply_and_ends_with_usage_and_done(self, scripted_chat_server):
        server = scripted_chat_server([text_reply("There are forty two customers.", 11, 6)])
        body = json.dumps({"model": "m", "messages": USER, "stream": True,
                           "stream_options": {"include_usage": True}})
        conn = http.client.HTTPConnection("127.0.0.1", server.port)
        conn.request("POST", "/v1/chat/completions", body, {"Content-Type": "application/json"})
        resp = conn.getresponse()
        assert resp.getheader("Content-Type").startswith("text/event-stream")
        events = [line[len("data: "):] for line in resp.read().decode().split("\n\n") if line]
        assert events[-1] == "[DONE]"
        chunks = [json.loads(e) for e in events[:-1]]
        assert len(chunks) > 3
        text = "".join(c["choices"][0]["delta"].get("content") or "" for c in chunks if c["choices"])
        assert text == "There are forty two customers."
        assert chunks[-1]["choices"] == [] and chunks[-1]["usage"]["total_tokens"] == 17
        assert chunks[-2]["choices"][0]["finish_reason"] == "stop"
        conn.close()

    def test_scripted_error_and_retry_consumes_next_reply(self, scripted_chat_server):
        server = scripted_chat_server([
            error_reply(429, "Rate limit reached", retry_after=0.001),
            text_reply("after retry"),
            error_reply(400, "bad things", code="context_length_exceeded"),
        ])
        c = client(server)
        assert c.chat.completions.create(model="m", messages=USER).choices[0].message.content == "after retry"
        with pytest.raises(openai.BadRequestError) as err:
            c.chat.completions.create(model="m", messages=USER)
        assert err.value.code == "context_length_exceeded" and "bad things" in err.value.message
        assert [r.status for r in server.requests] == [429, 200, 400]

    def test_exhausted_script_fails_loudly_without_retries(self, scripted_chat_server):
        server = scripted_chat_server([text_reply("only one")])
        c = client(server)  # default max_retries=2: the server must stop them
        c.chat.completions.create(model="m", messages=USER)
        with pytest.raises(openai.InternalServerError, match="script is exhausted"):
            c.chat.completions.create(model="m", messages=USER)
        assert len(server.requests) == 2

    def test_wrong_key_is_refused_without_consuming_the_script(self, scripted_chat_server):
        server = scripted_chat_server([text_reply("secret")], api_key=KEY)
        with pytest.raises(openai.AuthenticationError):
            openai.OpenAI(base_url=server.base_url, api_key="sk-wrong").chat.completions.create(
                model="m", messages=USER)
        assert server.remaining == 1
        assert client(server).chat.completions.create(model="m", messages=USER).choices[0].message.content == "secret"

    def test_models_unknown_paths_and_fixed_model(self, scripted_chat_server):
        server = scripted_chat_server(["hi"], model="gpt-4o-mini-2024-07-18")
        c = client(server)
        assert [m.id for m in c.models.list()] == ["gpt-4o-mini-2024-07-18"]
        assert c.chat.completions.create(model="other", messages=USER).model == "gpt-4o-mini-2024-07-18"
        with pytest.raises(openai.NotFoundError):
            c.post("/embeddingz", cast_to=object, body={})
        assert server.requests[-1].response["error"]["type"] == "invalid_request_error"

    def test_async_client(self, scripted_chat_server):
        server = scripted_chat_server(["async answer"])

        async def go():
            async with openai.AsyncOpenAI(base_url=server.base_url, api_key=KEY) as c:
                return await c.chat.completions.create(model="m", messages=USER)

        assert asyncio.run(go()).choices[0].message.content == "async answer"


class TestLangChain:
    def test_bind_tools_gives_tool_calls_and_token_usage(self, scripted_chat_server):
        server = scripted_chat_server([
            tool_call_reply([("RunSQL", {"query": "SELECT count(*) FROM customers"})],
                            prompt_tokens=120, completion_tokens=15)])
        msg = chat_model(server).bind_tools([RunSQL]).invoke("How many customers?")
        assert msg.tool_calls == [{"name": "RunSQL", "args": {"query": "SELECT count(*) FROM customers"},
                                   "id": "call_1", "type": "tool_call"}]
        assert msg.response_metadata["token_usage"]["total_tokens"] == 135
        assert server.chat_bodies[0]["tools"][0]["function"]["name"] == "RunSQL"

    def test_callback_sees_usage_and_cost(self, scripted_chat_server):
        server = scripted_chat_server([text_reply("done", prompt_tokens=1000, completion_tokens=500)])
        with get_openai_callback() as cb:
            chat_model(server).invoke("hi")
        assert (cb.prompt_tokens, cb.completion_tokens, cb.successful_requests) == (1000, 500, 1)
        assert cb.total_cost == pytest.approx(1000 * 0.00015 / 1000 + 500 * 0.0006 / 1000)

    def test_streamed_tool_calls_merge(self, scripted_chat_server):
        long_query = "SELECT name, city FROM customers WHERE city = 'Lyon' ORDER BY name"
        server = scripted_chat_server([
            tool_call_reply([("RunSQL", {"query": long_query}), ("RunSQL", {"query": "SELECT 1"})])])
        merged = None
        for chunk in chat_model(server, stream_usage=True).bind_tools([RunSQL]).stream("q"):
            merged = chunk if merged is None else merged + chunk
        assert [c["args"]["query"] for c in merged.tool_calls] == [long_query, "SELECT 1"]
        assert merged.usage_metadata["total_tokens"] > 0

    def test_tool_calling_agent_round_trip(self, scripted_chat_server):
        server = scripted_chat_server([
            tool_call_reply([("RunSQL", {"query": "SELECT 1"})]),
            lambda body: text_reply("Seen: " + body["messages"][-1]["content"]),
        ], env=True)
        prompt = ChatPromptTemplate.from_messages([
            ("system", "You are a data analyst."), ("human", "{input}"), ("placeholder", "{agent_scratchpad}")])
        llm = ChatOpenAI(model="gpt-4o-mini")  # configured from the environment alone
        agent = AgentExecutor(agent=create_tool_calling_agent(llm, [RunSQL], prompt), tools=[RunSQL])
        assert agent.invoke({"input": "one?"})["output"] == "Seen: rows for SELECT 1"
        second = server.chat_bodies[1]["messages"]
        assert second[-2]["tool_calls"][0]["id"] == "call_1"
        assert second[-1] == {"role": "tool", "content": "rows for SELECT 1", "tool_call_id": "call_1"}
        assert server.requests[0].headers["Authorization"] == "Bearer " + os.environ["OPENAI_API_KEY"]


class TestProtocolChecks:
    CALL = {"id": "call_9", "type": "function", "function": {"name": "RunSQL", "arguments": "{}"}}

    @pytest.mark.parametrize("messages, fragment", [
        (USER + [{"role": "assistant", "content": None, "tool_calls": [CALL]}], "call_9"),
        (USER + [{"role": "assistant", "content": None, "tool_calls": [CALL, dict(CALL, id="call_8")]},
                 {"role": "tool", "content": "x", "tool_call_id": "call_8"}] + USER
         + [{"role": "tool", "content": "late", "tool_call_id": "call_9"}], "did not have.*call_9"),
        (USER + [{"role": "tool", "content": "x", "tool_call_id": "call_9"}], "must be a response"),
        (USER + [{"role": "assistant", "tool_calls": [dict(CALL, function={"name": "RunSQL", "arguments": {}})]},
                 {"role": "tool", "content": "x", "tool_call_id": "call_9"}], "string arguments"),
        ([], "non-empty"),
    ])
    def test_histories_the_service_refuses_are_refused(self, scripted_chat_server, messages, fragment):
        server = scripted_chat_server(["unused"])
        with pytest.raises(openai.BadRequestError, match=fragment):
            client(server).chat.completions.create(model="m", messages=messages)
        assert server.remaining == 1


class TestScript:
    def test_failing_step_is_reported(self, scripted_chat_server):
        server = scripted_chat_server([lambda body: 1 / 0])
        with pytest.raises(openai.InternalServerError, match="step 1 failed: ZeroDivisionError"):
            client(server).chat.completions.create(model="m", messages=USER)

    def test_concurrent_requests_each_get_one_reply(self, scripted_chat_server):
        n = 24
        server = scripted_chat_server(["r%d" % i for i in range(n)])
        c, got = client(server), []
        threads = [threading.Thread(target=lambda: got.append(
            c.chat.completions.create(model="m", messages=USER).choices[0].message.content)) for _ in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sorted(got) == sorted("r%d" % i for i in range(n))
        assert len(server.requests) == n and server.remaining == 0

    def test_recorded_session_round_trips_through_a_file(self, tmp_path):
        replies = [tool_call_reply([("RunSQL", {"q": 1}, "call_x")], content="Let me look.", prompt_tokens=5),
                   text_reply("cut", finish_reason="length"), error_reply(503, "busy", retry=False),
                   reply_from_dict({"content": "@X@", "fill": {"@X@": {"tool_message": 2, "pattern": "x"}}})]
        path = tmp_path / "session.json"
        path.write_text(json.dumps({"model": "gpt-4o-mini", "replies": [r.to_dict() for r in replies]}))
        loaded, model = load_script(path)
        assert model == "gpt-4o-mini"
        assert [r.to_dict() for r in loaded] == [r.to_dict() for r in replies]

    def test_a_reply_filled_from_an_earlier_tool_message(self, scripted_chat_server):
        # a name only the run makes (a result's file) reaches a later reply
        fill = {"@FILE@": {"tool_message": 1, "pattern": r"^File: (.+)$"}, "@LAST@": {"pattern": "n=[0-9]+"}}
        server = scripted_chat_server([reply_from_dict({
            "tool_calls": [{"name": "RunPython", "arguments": {"code": "load(@FILE@)", "n": [1, "@LAST@"]}}],
            "content": "reading @FILE@", "fill": fill})])
        messages = USER + [
            {"role": "assistant", "tool_calls": [{"id": "a", "type": "function",
                                                  "function": {"name": "RunSQL", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": "a", "content": "rows\nFile: 'C:\\x \"y\".csv'"},
            {"role": "assistant", "tool_calls": [{"id": "b", "type": "function",
                                                  "function": {"name": "RunSQL", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": "b", "content": "n=2"},
        ]
        message = client(server).chat.completions.create(model="m", messages=messages).choices[0].message
        assert message.content == "reading 'C:\\x \"y\".csv'"
        assert json.loads(message.tool_calls[0].function.arguments) == {"code": "load('C:\\x \"y\".csv')",
                                                                       "n": [1, "n=2"]}

    def test_a_fill_that_finds_nothing_fails_its_step(self, scripted_chat_server):
        server = scripted_chat_server([reply_from_dict({"content": "@X@", "fill": {"@X@": {"pattern": "nope"}}})])
        with pytest.raises(openai.InternalServerError, match="step 1 failed: ValueError: fill @X@"):
            client(server).chat.completions.create(model="m", messages=USER)

    @pytest.mark.parametrize("fill", [[], {"@X@": "x"}, {"@X@": {"pattern": "("}},
                                      {"@X@": {"pattern": "x", "tool_message": 0}}])
    def test_bad_fills_are_refused_when_loaded(self, fill):
        with pytest.raises(ValueError, match="fill"):
            reply_from_dict({"content": "@X@", "fill": fill})

    def test_bad_file_names_the_reply(self, tmp_path):
        path = tmp_path / "bad.json"
        path.write_text(json.dumps([{"content": "ok"}, {"tool_calls": [{"arguments": {}}]}]))
        with pytest.raises(ValueError, match="reply 2"):
            load_script(path)


class TestLifecycle:
    def test_stop_drops_pooled_connections(self):
        server = ScriptedChatServer(["a", "b"]).start()
        c = client(server, max_retries=0)
        c.chat.completions.create(model="m", messages=USER)  # leaves a keep-alive connection
        server.stop()
        with pytest.raises(openai.APIConnectionError):
            c.chat.completions.create(model="m", messages=USER)
        with pytest.raises(RuntimeError):
            server.base_url

    def test_command_line_replays_a_file(self, tmp_path):
        path = tmp_path / "session.json"
        path.write_text(json.dumps({"model": "gpt-4o-mini", "replies": [{"content": "replayed"}]}))
        src = str(Path(scripted_model.__file__).resolve().parents[2])
        env = dict(os.environ, PYTHONPATH=src + os.pathsep + os.environ.get("PYTHONPATH", ""))
        proc = subprocess.Popen([sys.executable, "-m", "velto_ai_sdk.scripted_model", str(path)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        try:
            base_url = proc.stdout.readline().strip()
            with openai.OpenAI(base_url=base_url, api_key=KEY) as replaying:
                out = replaying.chat.completions.create(model="x", messages=USER)
            assert (out.model, out.choices[0].message.content) == ("gpt-4o-mini", "replayed")
        finally:
            proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=30)
        assert proc.returncode == 0, err
        assert "POST /v1/chat/completions -> 200" in err
