"""Conversations against the scripted model server, the test PostgreSQL and
the real private code environment: follow-ups, the answer's fields, the
events, quiet output from threads, and inputs refused before the model is
asked anything."""

import io
import json
import sys
import textwrap
import threading

import pytest

import velto_ai_sdk
import velto_ai_sdk.api as api
import velto_ai_sdk.codetool as codetool
from velto_ai_sdk.chat import Answer, Conversation, SetupError, event_from_dict
from velto_ai_sdk.scripted_model import text_reply, tool_call_reply

SALES = [
    "CREATE TABLE sales (region text NOT NULL, amount numeric(10, 2) NOT NULL, note text)",
    "INSERT INTO sales VALUES ('North', 120.50, NULL), ('South', 80.00, '<img src=x onerror=alert(1)>'),"
    " ('North', 42.25, 'a | b')",
]
QUERY = "SELECT region, SUM(amount) AS revenue FROM sales GROUP BY region ORDER BY region"
PNG = b"\x89PNG\r\n\x1a\n" + b"\x00" * 32


@pytest.fixture
def analyst(postgresql_server, sql_env, local_account, analysis_environment, monkeypatch, tmp_path):
    """A configured host: the sales database, the code environment, a media
    directory of the test's own."""
    sql_env.set(VELTO_POSTGRES_URL=postgresql_server.create_database("conversation", SALES))
    monkeypatch.setattr(codetool, "python_executable", analysis_environment.python)
    monkeypatch.setattr(codetool, "env_path", analysis_environment.path)
    for name in ("VELTO_CHAT_HISTORY_CHARS", "VELTO_CHAT_MAX_QUESTION_CHARS"):
        monkeypatch.delenv(name, raising=False)
    return tmp_path / "media"


def chart_and_traps(media, secret):
    """A chart, and two ways a hostile script could pass a host file off as
    one: a link to it and a second name for it."""
    return textwrap.dedent(f"""
        import os
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        plt.bar(["North", "South"], [162.75, 80.0])
        plt.savefig({str(media / "revenue.png")!r})
        os.symlink({str(secret)!r}, {str(media / "link.png")!r})
        try:
            os.link({str(secret)!r}, {str(media / "second-name.png")!r})
        except OSError:
            pass
        print("saved")
    """)


def expected_cost(usage):
    from langchain_community.callbacks.openai_info import get_openai_token_cost_for_model

    return sum(get_openai_token_cost_for_model("gpt-4o-mini", prompt)
               + get_openai_token_cost_for_model("gpt-4o-mini", completion, is_completion=True)
               for prompt, completion in usage)


def test_answer_and_events_match_what_the_run_did(analyst, scripted_chat_server, tmp_path):
    secret = tmp_path / "secret.png"
    secret.write_bytes(PNG)
    code = chart_and_traps(analyst, secret)
    usage = [(1000, 10), (1100, 20), (1200, 30), (1300, 40)]
    final = json.dumps({"answer": "North earned the most.", "sql_queries": [QUERY], "python-code": code,
                        "image_url": str(analyst / "revenue.png")})
    server = scripted_chat_server([
        tool_call_reply([("GetPostgresDatabaseSchema", {})], prompt_tokens=1000, completion_tokens=10),
        tool_call_reply([("ExecutePostgresSQLQuery", {"sql_query": QUERY})], prompt_tokens=1100,
                        completion_tokens=20),
        tool_call_reply([("ExecutePythonCode", {"code": code})], prompt_tokens=1200, completion_tokens=30),
        text_reply(final, prompt_tokens=1300, completion_tokens=40),
    ], env=True)
    events = []
    talk = Conversation("account-1", analyst, "PostgreSQL", on_event=events.append)
    answer = talk.ask("Which region earned the most? Chart it.")

    shown = [body["messages"][-1]["content"] for body in server.chat_bodies[1:]]  # what each tool answered
    assert (answer.error, answer.text, answer.message) == (None, final, "North earned the most.")
    assert answer.data["sql_queries"] == [QUERY]
    (query,) = answer.queries
    assert (query.sql, query.engine, query.result, query.failed) == (QUERY, "postgresql", shown[1], False)
    assert "North | 162.75" in query.result
    with open(query.file) as rows:
        assert rows.read().splitlines()[0] == "region,revenue"
    (script,) = answer.scripts
    assert (script.code, script.output, script.failed) == (code, shown[2], False)
    assert answer.images == (str(analyst / "revenue.png"),)
    assert answer.tokens == sum(p + c for p, c in usage)
    assert answer.cost == pytest.approx(expected_cost(usage))
    assert 0 < query.seconds < answer.seconds and 0 < script.seconds < answer.seconds
    summary = api.usage_summary()
    assert (summary["questions"], summary["tokens"]) == (1, answer.tokens)

    assert [event.type for event in events] == [
        "question_started",
        "model_call_started", "model_call_ended", "tool_call_started", "tool_call_ended",
        "model_call_started", "model_call_ended", "tool_call_started", "tool_call_ended",
        "model_call_started", "model_call_ended", "tool_call_started", "tool_call_ended", "image_made",
        "model_call_started", "model_call_ended",
        "answered"]
    started = [event for event in events if event.type == "tool_call_started"]
    ended = [event for event in events if event.type == "tool_call_ended"]
    assert [(e.tool, e.kind, e.input) for e in started] == [
        ("GetPostgresDatabaseSchema", "schema", ""), ("ExecutePostgresSQLQuery", "sql", QUERY),
        ("ExecutePythonCode", "python", code)]
    assert [(e.summary, e.failed) for e in ended] == [("read", False), ("2 rows", False), ("1 line of output", False)]
    assert [e.tool_calls for e in events if e.type == "model_call_ended"] == [
        ("GetPostgresDatabaseSchema",), ("ExecutePostgresSQLQuery",), ("ExecutePythonCode",), ()]
    assert [e.tokens for e in events if e.type == "model_call_ended"] == [p + c for p, c in usage]
    assert events[0].question == "Which region earned the most? Chart it."
    assert [e.path for e in events if e.type == "image_made"] == [str(analyst / "revenue.png")]
    assert events[-1].answer is answer
    elapsed = [event.elapsed for event in events]
    assert elapsed == sorted(elapsed)

    # Events and answers cross a wire as JSON and come back the same.
    assert [event_from_dict(json.loads(json.dumps(e.to_dict()))) for e in events] == events
    assert Answer.from_dict(json.loads(json.dumps(answer.to_dict()))) == answer
    assert talk.turns == (answer,)


def test_follow_ups_carry_earlier_turns_and_the_budget_drops_the_oldest(analyst, scripted_chat_server,
                                                                        monkeypatch):
    first_answer = "North: 162.75, South: 80.00."
    server = scripted_chat_server([text_reply(first_answer), text_reply("By month: January."),
                                   text_reply("February was lower."), text_reply("Hello again."),
                                   text_reply("Still January.")], env=True)
    talk = Conversation("account-1", analyst, "postgres")

    def sent(number):
        return [(message["role"], message["content"]) for message in server.chat_bodies[number]["messages"][1:]]

    talk.ask("Revenue by region?")
    assert sent(0) == [("user", "Revenue by region?")]
    second = list(talk.stream("And by month?"))
    assert sent(1) == [("user", "Revenue by region?"), ("assistant", first_answer), ("user", "And by month?")]
    assert (second[0].type, second[0].carried, second[-1].type) == ("question_started", 1, "answered")
    assert second[-1].answer.text == "By month: January."

    # Room for the newest turn only: the oldest is dropped whole.
    newest = len("And by month?") + len("By month: January.")
    monkeypatch.setenv("VELTO_CHAT_HISTORY_CHARS", str(newest + len("Revenue by region?") + len(first_answer) - 1))
    talk.ask("Which was lower?")
    assert sent(2) == [("user", "And by month?"), ("assistant", "By month: January."), ("user", "Which was lower?")]
    monkeypatch.delenv("VELTO_CHAT_HISTORY_CHARS")

    stored = [turn.to_dict() for turn in talk.turns]
    talk.reset()
    talk.ask("Hello?")
    assert sent(3) == [("user", "Hello?")]

    # A conversation restored from stored turns goes on from them.
    restored = Conversation("account-1", analyst, "postgresql", turns=json.loads(json.dumps(stored)))
    restored.ask("Which month again?")
    assert [role for role, _ in sent(4)] == ["user", "assistant"] * 3 + ["user"]
    assert sent(4)[-2:] == [("assistant", "February was lower."), ("user", "Which month again?")]
    assert api.usage_summary()["questions"] == 5


def test_an_event_handler_that_raises_ends_the_question(analyst, scripted_chat_server):
    scripted_chat_server([tool_call_reply([("GetPostgresDatabaseSchema", {})]), text_reply("never")], env=True)

    def handler(event):
        if event.type == "tool_call_started":
            raise LookupError("the host's display broke")

    talk = Conversation("account-1", analyst, "postgresql", on_event=handler)
    with pytest.raises(LookupError, match="display broke"):
        talk.ask("Anything?")
    assert talk.turns == ()
    assert api.usage_summary()["questions"] == 0


def test_quiet_in_threads_while_the_host_prints(analyst, scripted_chat_server, capfd):
    def model(body):
        if body["messages"][-1]["role"] == "tool":
            return text_reply("Two regions.")
        return tool_call_reply([("ExecutePostgresSQLQuery", {"sql_query": QUERY})])

    scripted_chat_server([model] * 4, env=True)
    # Each line in one write: print's own two writes (the text, then the
    # line end) may interleave between threads anywhere.
    def host_print(line):
        print(line + "\n", end="")

    answers = {}
    printed_by_handlers = []

    def converse(name):
        def handler(event):  # the host's own print, inside the conversation's thread
            if event.type == "answered":
                host_print("%s answered" % name)
                printed_by_handlers.append(name)

        talk = Conversation("account-1", analyst, "postgresql", on_event=handler)
        answers[name] = talk.ask("How many regions?")

    threads = [threading.Thread(target=converse, args=(name,)) for name in ("first", "second")]
    for thread in threads:
        thread.start()
    host_lines = 0
    while any(thread.is_alive() for thread in threads):
        host_print("host line %d" % host_lines)
        host_lines += 1
        threads[0].join(0.01)
    for thread in threads:
        thread.join()

    assert {name: answer.message for name, answer in answers.items()} == {"first": "Two regions.",
                                                                          "second": "Two regions."}
    lines = capfd.readouterr().out.splitlines()
    assert sorted(lines) == sorted(["host line %d" % n for n in range(host_lines)] + ["first answered",
                                                                                     "second answered"])


def test_verbose_shows_the_agents_lines_and_trace(analyst, scripted_chat_server, capsys):
    scripted_chat_server([text_reply("Fine."), text_reply("Fine again.")], env=True)
    Conversation("account-1", analyst, "postgresql", verbose=True).ask("Trace?")
    out = capsys.readouterr().out
    assert out.startswith("LLM is Ready!\nAgent is Ready!\n") and "Finished chain." in out

    trace = io.StringIO()
    Conversation("account-1", analyst, "postgresql", verbose=trace).ask("Trace?")
    assert capsys.readouterr().out == ""
    assert trace.getvalue().startswith("LLM is Ready!\nAgent is Ready!\n") and "Fine again." in trace.getvalue()


class TestRefusedBeforeTheModel:
    @pytest.fixture
    def server(self, scripted_chat_server):
        return scripted_chat_server([text_reply("unexpected")], env=True)

    @pytest.mark.parametrize("spelling", ["PostgreSQL", "postgres", " Postgre-SQL ", "pg"])
    def test_engine_spellings(self, analyst, server, spelling):
        assert Conversation("account-1", analyst, spelling).engine == "postgresql"

    @pytest.mark.parametrize("spelling, engine", [("MariaDB", "mysql"), ("SQL Server", "mssql"), ("MS SQL", "mssql")])
    def test_other_engines(self, analyst, server, sql_env, spelling, engine):
        sql_env.set(VELTO_MYSQL_URL="mysql+pymysql://nobody@127.0.0.1:1/x",
                    VELTO_MSSQL_URL="mssql+pymssql://nobody@127.0.0.1:1/x")
        assert Conversation("account-1", analyst, spelling).engine == engine

    def test_bad_arguments(self, analyst, server, tmp_path, monkeypatch):
        with pytest.raises(ValueError, match=r"unknown engine 'oracle': the supported engines are mysql \(MySQL/"
                                             r"MariaDB\), postgresql \(PostgreSQL\), mssql \(MS SQL Server\)"):
            Conversation("account-1", analyst, "oracle")
        with pytest.raises(TypeError, match="engine must be a string"):
            Conversation("account-1", analyst, None)
        (tmp_path / "a-file").write_text("")
        with pytest.raises(ValueError, match="is not a directory"):
            Conversation("account-1", tmp_path / "a-file", "postgresql")
        with pytest.raises(ValueError, match="cannot be used for charts: Not a directory"):
            Conversation("account-1", tmp_path / "a-file" / "charts", "postgresql")
        with pytest.raises(TypeError, match="on_event must be callable"):
            Conversation("account-1", analyst, "postgresql", on_event="print")

        talk = Conversation("account-1", analyst, "postgresql")
        with pytest.raises(ValueError, match="the question is empty"):
            talk.ask(" \n ")
        with pytest.raises(TypeError, match="the question must be a string, not bytes"):
            talk.ask(b"How many?")
        monkeypatch.setenv("VELTO_CHAT_MAX_QUESTION_CHARS", "10")
        with pytest.raises(ValueError, match=r"the question is 11 characters long; at most 10 are taken "
                                             r"\(VELTO_CHAT_MAX_QUESTION_CHARS\)"):
            talk.stream("How many?!!")
        monkeypatch.setenv("VELTO_CHAT_HISTORY_CHARS", "lots")
        with pytest.raises(ValueError, match="VELTO_CHAT_HISTORY_CHARS must be a whole number"):
            talk.ask("How many?")
        assert server.chat_bodies == [] and talk.turns == ()

    def test_an_agent_that_cannot_be_built(self, analyst, server, monkeypatch, capsys):
        import velto_ai_sdk.agent as agent

        def refuse(**settings):
            raise RuntimeError("executor refused its settings")

        monkeypatch.setattr(agent, "AgentExecutor", refuse)
        with pytest.raises(SetupError, match="^the agent could not be built: executor refused its settings$"):
            Conversation("account-1", analyst, "postgresql")
        assert capsys.readouterr().out == ""
        with pytest.raises(TypeError, match="verbose must be True, False or a text stream, not int"):
            Conversation("account-1", analyst, "postgresql", verbose=1)

    def test_missing_set_up(self, analyst, server, sql_env, monkeypatch, analysis_environment):
        talk = Conversation("account-1", analyst, "postgresql")
        monkeypatch.setattr(codetool, "python_executable", None)
        with pytest.raises(SetupError, match=r"not set up in this process: make it once with "
                                              r"velto_ai_sdk\.master\.initialize_env\(path\)"):
            talk.ask("How many?")
        monkeypatch.setattr(codetool, "python_executable", "/nonexistent/bin/python")
        with pytest.raises(SetupError, match="is gone"):
            talk.ask("How many?")
        monkeypatch.setattr(codetool, "python_executable", analysis_environment.python)
        sql_env.set(VELTO_POSTGRES_URL=None)
        with pytest.raises(SetupError, match="no PostgreSQL database is configured: set VELTO_POSTGRES_URL"):
            talk.ask("How many?")
        assert server.chat_bodies == []


def test_the_package_loads_conversations_on_first_use():
    import subprocess

    code = ("import sys, velto_ai_sdk; assert 'velto_ai_sdk.chat' not in sys.modules; "
            "velto_ai_sdk.Conversation; assert 'velto_ai_sdk.chat' in sys.modules; "
            "assert not any(name.startswith('langchain') for name in sys.modules); print(velto_ai_sdk.Answer)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0 and "Answer" in done.stdout, done.stderr
    assert "Conversation" in dir(velto_ai_sdk)
