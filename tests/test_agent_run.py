"""run_agent: one question inside the usage-counting context, the usage
report after a success only, and the fallback answers.

Most paths use stand-ins for what the host supplies (the agent, the usage
context, the report), since the test is about the order and the arguments of
our calls; the last tests run real executors against the scripted server.
"""

import types

import pytest
from langchain_community.callbacks import get_openai_callback
from langchain_core.messages import AIMessage, HumanMessage

import velto_ai_sdk.agent as agent
import velto_ai_sdk.api as api
from velto_ai_sdk.scripted_model import error_reply, text_reply, tool_call_reply

pytestmark = pytest.mark.usefixtures("local_account")

KEY = "velto-test-key"
QUESTION = "How many customers ordered twice?"
FAILED = "An error occurred when running the agent: "
NO_OUTPUT = "Error: No output generated from the agent."


class Host:
    """Stands in for get_openai_callback and send_user_question; every step
    of the protocol lands in `log`."""

    def __init__(self):
        self.log = []
        self.tokens, self.cost = 812, 0.0123
        self.cost_error = self.report_error = None
        self.swallow = False

    def get_openai_callback(self, *args, **kwargs):
        self.log.append(("get_openai_callback", args, kwargs))
        return Context(self)

    def send_user_question(self, *args, **kwargs):
        self.log.append(("send_user_question", args, kwargs))
        if self.report_error:
            raise self.report_error


class Context:
    def __init__(self, host):
        self.host = host

    def __enter__(self):
        self.host.log.append("enter")
        return Usage(self.host)

    def __exit__(self, *exc_info):
        self.host.log.append(("exit",) + exc_info)
        return self.host.swallow


class Usage:
    def __init__(self, host):
        self.host = host
        self.total_tokens = host.tokens

    @property
    def total_cost(self):
        if self.host.cost_error:
            raise self.host.cost_error
        return self.host.cost


class Agent:
    def __init__(self, log, result=None, error=None):
        self.log, self.result, self.error = log, result, error
        self.inputs = []

    def invoke(self, *args, **kwargs):
        self.log.append("invoke")
        self.inputs.append((args, kwargs, list(args[0]["chat_history"])))
        if self.error is not None:
            raise self.error
        return self.result


class OwnFormatError(Exception):
    def __format__(self, spec):
        return "formatted[%s]" % spec


class FalsyAgent(Agent):
    def __bool__(self):
        return False


class FalsyResult(dict):
    def __bool__(self):
        return False


@pytest.fixture
def host(monkeypatch):
    host = Host()
    monkeypatch.setattr(agent, "get_openai_callback", host.get_openai_callback)
    monkeypatch.setattr(agent, "send_user_question", host.send_user_question)
    return host


OPENED = [("get_openai_callback", (), {}), "enter", "invoke"]
CLOSED = ("exit", None, None, None)


def test_no_agent_is_answered_without_a_run(host, capsys):
    assert agent.run_agent(None, KEY, QUESTION) == NO_OUTPUT
    assert host.log == [] and capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "agent_class, result, tokens, cost, returned",
    [
        (Agent, {"output": "Forty-two.", "intermediate_steps": []}, 812, 0.0123, "Forty-two."),
        (FalsyAgent, {"output": "Forty-two."}, 812, 0.0123, "Forty-two."),
        (Agent, {"output": "Forty-two."}, 0, 0.0, "Forty-two."),
        (Agent, FalsyResult(output="Forty-two."), 7, 0.5, NO_OUTPUT),
    ],
    ids=["answer", "agent whose truth value is false", "no tokens", "result whose truth value is false"],
)
def test_a_successful_run_is_reported_once_after_the_context_closes(host, capsys, agent_class, result, tokens, cost,
                                                                   returned):
    host.tokens, host.cost = tokens, cost
    question = QUESTION
    runner = agent_class(host.log, result)
    answer = agent.run_agent(runner, KEY, question)
    assert answer == returned
    if returned != NO_OUTPUT:
        assert answer is result["output"]
    assert host.log == OPENED + [CLOSED, ("send_user_question", (KEY, question, tokens, cost), {})]
    assert host.log[-1][1][1] is question and host.log[-1][1][2] is tokens and host.log[-1][1][3] is cost
    assert capsys.readouterr().out == ""

    ((inputs,), keywords, history_seen), = runner.inputs
    assert keywords == {} and list(inputs) == ["input", "chat_history"]
    assert inputs["input"] is question and history_seen == []
    # The list handed over gets the turn appended once the answer is in.
    assert inputs["chat_history"] == [HumanMessage(content=question), AIMessage(content="Forty-two.")]


@pytest.mark.parametrize(
    "result, error, cost_error, line",
    [
        (None, ValueError('relation "sales" does not exist'), None, 'relation "sales" does not exist'),
        (None, OwnFormatError("str"), None, "formatted[]"),
        ({"answer": "Forty-two."}, None, None, "'output'"),
        ({}, None, None, "'output'"),
        ({"output": "Forty-two."}, None, LookupError("usage not counted"), "usage not counted"),
    ],
    ids=["invocation fails", "formatted", "no output entry", "empty result", "cost unreadable"],
)
def test_a_failed_run_prints_one_line_and_sends_no_report(host, capsys, result, error, cost_error, line):
    host.cost_error = cost_error
    assert agent.run_agent(Agent(host.log, result, error), KEY, QUESTION) == "An error occurred"
    assert capsys.readouterr().out == FAILED + line + "\n"
    assert host.log == OPENED + [CLOSED]


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)])
def test_an_interrupt_passes_through_the_context(host, capsys, error):
    with pytest.raises(BaseException) as raised:
        agent.run_agent(Agent(host.log, error=error), KEY, QUESTION)
    assert raised.value is error
    assert host.log[:-1] == OPENED and host.log[-1][:3] == ("exit", type(error), error)
    traceback = host.log[-1][3]
    while traceback.tb_next:
        traceback = traceback.tb_next
    assert traceback.tb_frame.f_code.co_name == "invoke"
    assert capsys.readouterr().out == ""


def test_an_interrupt_swallowed_by_the_context_leaves_no_output(host, capsys):
    host.swallow = True
    assert agent.run_agent(Agent(host.log, error=KeyboardInterrupt()), KEY, QUESTION) == NO_OUTPUT
    assert [entry if isinstance(entry, str) else entry[0] for entry in host.log] == [
        "get_openai_callback", "enter", "invoke", "exit"]
    assert capsys.readouterr().out == ""


def test_a_failure_of_the_failure_line_goes_to_the_context(host, monkeypatch):
    error = OSError("standard output is closed")

    def print(*args):
        raise error

    monkeypatch.setattr(agent, "print", print, raising=False)
    with pytest.raises(OSError) as raised:
        agent.run_agent(Agent(host.log, error=ValueError("no such table")), KEY, QUESTION)
    assert raised.value is error
    assert host.log[:-1] == OPENED and host.log[-1][:3] == ("exit", OSError, error)


class BoundByDescriptors:
    """A usage context whose operations are a class method and a static
    method: the interpreter binds each through its descriptor."""

    log = []

    @classmethod
    def __enter__(cls):
        cls.log.append("enter")
        return types.SimpleNamespace(total_tokens=5, total_cost=0.5)

    @staticmethod
    def __exit__(*exc_info):
        BoundByDescriptors.log.append(("exit",) + exc_info)


def test_the_usage_context_is_entered_as_the_interpreter_enters_it(host, monkeypatch):
    BoundByDescriptors.log = host.log
    with BoundByDescriptors():
        pass
    assert host.log == ["enter", CLOSED]
    host.log.clear()
    monkeypatch.setattr(agent, "get_openai_callback", BoundByDescriptors)
    assert agent.run_agent(Agent(host.log, {"output": "Forty-two."}), KEY, QUESTION) == "Forty-two."
    assert host.log == ["enter", "invoke", CLOSED, ("send_user_question", (KEY, QUESTION, 5, 0.5), {})]


def test_a_failing_report_loses_the_answer(host, capsys):
    host.report_error = ValueError("cost must be a finite non-negative number")
    with pytest.raises(ValueError) as raised:
        agent.run_agent(Agent(host.log, {"output": "Forty-two."}), KEY, QUESTION)
    assert raised.value is host.report_error
    assert host.log == OPENED + [CLOSED, ("send_user_question", (KEY, QUESTION, 812, 0.0123), {})]
    assert capsys.readouterr().out == ""


class NoExit:
    def __init__(self, log):
        self.log = log

    def __enter__(self):
        self.log.append("enter")


@pytest.mark.parametrize("failing", ["get_openai_callback", "__enter__", "__exit__", "no __exit__"])
def test_a_failing_usage_context_reaches_the_host(host, monkeypatch, capsys, failing):
    error = RuntimeError("callbacks unavailable")

    def fail(*args):
        raise error

    if failing == "get_openai_callback":
        monkeypatch.setattr(agent, "get_openai_callback", fail)
    elif failing == "no __exit__":
        monkeypatch.setattr(agent, "get_openai_callback", lambda: NoExit(host.log))
    else:
        monkeypatch.setattr(Context, failing, fail)
    runner = Agent(host.log, {"output": "Forty-two."})
    with pytest.raises(Exception) as raised:
        agent.run_agent(runner, KEY, QUESTION)
    assert raised.value is error or failing == "no __exit__"
    # The exit operation is looked up before the context is entered.
    assert ("enter" in host.log) == (failing == "__exit__")
    assert "send_user_question" not in [entry[0] for entry in host.log if not isinstance(entry, str)]
    assert capsys.readouterr().out == ""


def test_each_call_hands_the_agent_an_empty_history(host):
    runner = Agent(host.log, {"output": "Forty-two."})
    agent.run_agent(runner, KEY, "first question")
    agent.run_agent(runner, KEY, "second question")
    (first, _, seen_first), (second, _, seen_second) = runner.inputs
    assert seen_first == seen_second == []
    assert first[0]["chat_history"] is not second[0]["chat_history"]


@pytest.mark.parametrize("arguments", [(None, KEY), (None, KEY, QUESTION, "extra")])
def test_argument_errors_come_before_anything_else(host, arguments):
    with pytest.raises(TypeError):
        agent.run_agent(*arguments)
    assert host.log == []


# -- real executors against the scripted server -----------------------------------


def counted_usage(monkeypatch):
    """The real usage context and report, recorded on their way."""
    seen = types.SimpleNamespace(callbacks=[], reports=[])

    class Recorded:
        def __enter__(self):
            self.context = get_openai_callback()
            seen.callbacks.append(self.context.__enter__())
            return seen.callbacks[-1]

        def __exit__(self, *exc_info):
            return self.context.__exit__(*exc_info)

    def send_user_question(*args):
        seen.reports.append(args)
        return api.send_user_question(*args)

    monkeypatch.setattr(agent, "get_openai_callback", Recorded)
    monkeypatch.setattr(agent, "send_user_question", send_user_question)
    return seen


def test_a_real_run_reports_what_the_usage_callback_counted(monkeypatch, capsys, scripted_chat_server):
    monkeypatch.setattr(agent, "get_pgdb_schema", lambda: "sales(id int, total numeric)")
    server = scripted_chat_server([
        tool_call_reply([("GetPostgresDatabaseSchema", {})], prompt_tokens=900, completion_tokens=12),
        text_reply('{"answer": "3 sales"}', prompt_tokens=950, completion_tokens=30),
    ], env=True)
    seen = counted_usage(monkeypatch)
    executor = agent.create_agent(KEY, "/srv/media", "PostgreSQL")
    assert agent.run_agent(executor, KEY, QUESTION) == '{"answer": "3 sales"}'

    (callback,) = seen.callbacks
    assert callback.total_tokens == 1892 and callback.successful_requests == 2 and callback.total_cost > 0
    assert seen.reports == [(KEY, QUESTION, 1892, callback.total_cost)]
    summary = api.usage_summary()
    assert (summary["questions"], summary["tokens"]) == (1, 1892)
    assert [len(body["messages"]) for body in server.chat_bodies] == [2, 4]
    printed = capsys.readouterr().out
    assert "> Entering new AgentExecutor chain..." in printed and "> Finished chain." in printed


def test_a_real_run_that_fails_sends_no_report(monkeypatch, capsys, scripted_chat_server):
    scripted_chat_server([error_reply(400, "context length exceeded", retry=False)], env=True)
    seen = counted_usage(monkeypatch)
    executor = agent.create_agent(KEY, "/srv/media", "PostgreSQL")
    assert agent.run_agent(executor, KEY, QUESTION) == "An error occurred"
    assert seen.reports == [] and api.usage_summary()["questions"] == 0
    assert "\n" + FAILED + "Error code: 400 - " in capsys.readouterr().out


def test_real_runs_start_from_an_empty_history(scripted_chat_server, capsys):
    server = scripted_chat_server(["first answer", "second answer"], env=True)
    executor = agent.create_agent(KEY, "/srv/media", "MySQL")
    assert agent.run_agent(executor, KEY, "first question") == "first answer"
    assert agent.run_agent(executor, KEY, "second question") == "second answer"
    assert [[(m["role"], m["content"][:20]) for m in body["messages"][1:]] for body in server.chat_bodies] == [
        [("user", "first question")], [("user", "second question")]]
