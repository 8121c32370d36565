"""Leaks in the agent module: create_agent, run_agent and plan, on their
success and error paths, called a few hundred times (the cheap paths a few
thousand) with memory traced by tracemalloc (see support/leaks.py).

Real runs talk to the scripted chat server in a child process: a server in
this process would record every request it answers, and its records would
grow with the very calls being measured.
"""

import subprocess
import sys
import textwrap

import pytest
from langchain_core.runnables import Runnable

import velto_ai_sdk.agent as agent
from support.leaks import expect, growth, reference_counts_after

pytestmark = pytest.mark.usefixtures("local_account")

KEY = "velto-test-key"
# A leaked object per call adds at least 24 bytes a call in every batch.
ALLOWED_PER_CALL = 8

SERVER = textwrap.dedent("""
    import sys
    from velto_ai_sdk.scripted_model import ScriptedChatServer, error_reply, text_reply, tool_call_reply

    def answer(body):
        if body["messages"][-1]["role"] == "tool":
            return text_reply('{"answer": "done"}')
        return tool_call_reply([("GetDatabaseSchema", {})])

    server = ScriptedChatServer([answer] * 100000).start()
    print(server.base_url, flush=True)
    sys.stdin.read()
    server.stop()
""")


def answered(expected, call, *args):
    def action():
        assert call(*args) == expected

    return action


def raising(error, *args):
    # A new exception each time: raising one instance again would lengthen
    # the traceback it keeps.
    def stand_in(*ignored, **also_ignored):
        raise error(*args)

    return stand_in


@pytest.fixture(scope="module")
def chat_service():
    # Leaving the block closes the child's input, which stops it, and waits.
    with subprocess.Popen([sys.executable, "-c", SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          text=True) as child:
        yield child.stdout.readline().strip()


class Chain(Runnable):
    def __init__(self, fail=None):
        self.fail = fail

    def invoke(self, inputs, config=None, **kwargs):
        if self.fail:
            self.fail()
        return inputs


class Answering:
    def __init__(self, result=None, fail=None):
        self.result, self.fail = result, fail

    def invoke(self, inputs):
        if self.fail:
            self.fail()
        return self.result


# name: (module global to replace or, with None, to remove; action; rounds)
CREATE_CASES = {
    "succeeds": (None, lambda: agent.create_agent(KEY, "/srv/media", "MySQL", '{"answer": ""}'), 40),
    "guarded failure": (("AgentExecutor", raising(ValueError, "no executor")),
                        answered(None, agent.create_agent, KEY, "m", "e"), 40),
    "failing factory": (("create_chat_openai_instance", raising(ValueError, "no model")),
                        expect(ValueError, agent.create_agent, KEY, "m", "e", "i"), 40),
    "missing name": (("ChatPromptTemplate", None), expect(NameError, agent.create_agent, KEY, "m", "e"), 40),
    "bad arguments": (None, expect(TypeError, agent.create_agent, KEY, "m", instruction="i"), 1500),
}


@pytest.mark.parametrize("case", list(CREATE_CASES))
def test_create_agent_does_not_leak(monkeypatch, case):
    change, action, rounds = CREATE_CASES[case]
    if change and change[1] is None:
        monkeypatch.delattr(agent, change[0])
    elif change:
        monkeypatch.setattr(agent, *change)
    assert growth(action, rounds, batches=5) < ALLOWED_PER_CALL * rounds


def test_real_runs_do_not_leak(chat_service, monkeypatch, capsys):
    monkeypatch.setenv("OPENAI_BASE_URL", chat_service)
    monkeypatch.setenv("OPENAI_API_BASE", chat_service)
    monkeypatch.setattr(agent, "get_mysql_database_schema", lambda: "customers(id int, name text)")
    executor = agent.create_agent(KEY, "/srv/media", "MySQL")
    assert "Agent is Ready!" in capsys.readouterr().out
    action = answered('{"answer": "done"}', agent.run_agent, executor, KEY, "How many customers?")
    assert growth(action, 50, batches=5, warmup=150) < ALLOWED_PER_CALL * 50


RUN_CASES = {
    "no agent": answered("Error: No output generated from the agent.", agent.run_agent, None, KEY, "q"),
    "answered": answered("yes", agent.run_agent, Answering({"output": "yes"}), KEY, "q"),
    "invocation fails": answered("An error occurred", agent.run_agent, Answering(fail=raising(ValueError, "x")),
                                 KEY, "q"),
    "no output entry": answered("An error occurred", agent.run_agent, Answering({"answer": "yes"}), KEY, "q"),
    "interrupted": expect(KeyboardInterrupt, agent.run_agent, Answering(fail=raising(KeyboardInterrupt)), KEY, "q"),
    "bad arguments": expect(TypeError, agent.run_agent, None, KEY),
}


@pytest.mark.parametrize("case", list(RUN_CASES))
def test_run_agent_does_not_leak(monkeypatch, case):
    # The real usage context; a report that goes nowhere.
    monkeypatch.setattr(agent, "send_user_question", lambda *args: None)
    assert growth(RUN_CASES[case], 1500) < ALLOWED_PER_CALL * 1500


def test_plan_does_not_leak():
    planner = agent.CustomRunnableAgent(runnable=Chain())
    failing = agent.CustomRunnableAgent(runnable=Chain(raising(KeyError, "input")))
    steps, history = [("action", "observation")], []

    def everything():
        assert planner.plan(steps, None, input="q", chat_history=history)["intermediate_steps"] is steps
        expect(KeyError, failing.plan, steps, [], input="q")()
        expect(TypeError, planner.plan, steps)()
        expect(TypeError, planner.plan, steps, None, callbacks=None)()

    assert growth(everything, 1500) < ALLOWED_PER_CALL * 1500


def test_arguments_keep_their_reference_counts(monkeypatch):
    # A reference leaked on an object the host owns allocates nothing; its
    # count shows it. The watched objects are made here, so nothing else
    # holds them.
    key, media_path, engine, instructions, question = (
        "".join(parts) for parts in (["velto-", "key"], ["/srv/", "media"], ["My", "SQL"], ["be ", "brief"],
                                     ["How ", "many?"]))
    runner, steps, history = Answering({"output": "yes"}), [("action", "observation")], []
    planner = agent.CustomRunnableAgent(runnable=Chain())
    monkeypatch.setattr(agent, "send_user_question", lambda *args: None)
    calls = [
        lambda: agent.create_agent(key, media_path, engine, instructions),
        lambda: agent.create_agent(key, media_path, engine),
        lambda: agent.run_agent(runner, key, question),
        lambda: agent.run_agent(Answering({}), key, question),
        lambda: agent.run_agent(None, key, question),
        lambda: planner.plan(steps, None, input=question, chat_history=history),
        expect(TypeError, planner.plan, steps, None, intermediate_steps=steps),
    ]
    watched = (key, media_path, engine, instructions, question, runner, steps, history, planner)
    before, after = reference_counts_after(calls, watched, rounds=50)
    assert after == before
