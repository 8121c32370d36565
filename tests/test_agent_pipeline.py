"""create_agent and what it is made of: the chat model factory, the seven
tools and their argument schemas, the system text, the chain and its input
functions, CustomRunnableAgent.plan, the executor, and which failures are
printed and which reach the host."""

import contextlib
import types

import pytest
from langchain.agents import AgentExecutor
from langchain.prompts import ChatPromptTemplate
from langchain.tools import StructuredTool
from langchain_core.messages import AIMessage, HumanMessage, SystemMessage
from langchain_core.runnables import Runnable, RunnableBinding, RunnableParallel
from langchain_openai import ChatOpenAI

import velto_ai_sdk.agent as agent
from support.agent_kit import AFTER_INSTRUCTIONS, BEFORE_ENGINE, BEFORE_INSTRUCTIONS, BEFORE_MEDIA_PATH
from support.leaks import Discard
from velto_ai_sdk.scripted_model import text_reply, tool_call_reply

pytestmark = pytest.mark.usefixtures("local_account")

KEY = "velto-test-key"
READY = "LLM is Ready!\nAgent is Ready!\n"
FAILED = "An error occurred while creating the agent: "

# In the order of the executor's list: name, wrapped module global,
# description exactly as passed, argument schema.
TOOLS = [
    ("GetDatabaseSchema", "get_mysql_database_schema",
     "Used to get mySQL database schema. Use this tool to get MySQL db schema ", None),
    ("GetPostgresDatabaseSchema", "get_pgdb_schema",
     "Used to get postgres database schema. Use this tool when you want to know/get postgres database schema ", None),
    ("GetMsSQLDatabaseSchema", "get_mssql_db_schema",
     "Used to get MsSQL database schema. Use this tool to get MsSQL db schema ", None),
    ("ExecuteSQLQuery", "execute_mysql_query",
     "Takes in a correct mySQL query and executes it to give results.", "SQLQueryInput"),
    ("ExecutePythonCode", "execute_code",
     "Takes in  correct python code and executes it to give results.", "PythonCodeInput"),
    ("ExecuteMsSQLQuery", "execute_mssql_query",
     "Takes in a correct MsSQL query and executes it to give results.", "SQLQueryInput"),
    ("ExecutePostgresSQLQuery", "execute_pgdb_query",
     "Takes in a correct PostgreSQL query and executes it to give results.", "SQLQueryInput"),
]
# The query runners come before the code tool when the tools are made.
MADE_IN_ORDER = [TOOLS[i] for i in (0, 1, 2, 3, 6, 5, 4)]


def system_text(engine, media_path, instructions):
    return (BEFORE_ENGINE + engine + BEFORE_MEDIA_PATH + media_path + BEFORE_INSTRUCTIONS + instructions
            + AFTER_INSTRUCTIONS)


def quietly(call, *args):
    with contextlib.redirect_stdout(Discard()):
        return call(*args)


def make_agent(*args):
    return quietly(agent.create_agent, KEY, *(args or ("/srv/media", "PostgreSQL")))


def chain_functions(executor):
    return {key: step.func for key, step in executor.agent.runnable.first.steps__.items()}


def recorder(real=None, result=None):
    """A stand-in that records each call (positional arguments, keyword
    arguments in their order) and hands it on to `real`."""
    calls = []

    def call(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return real(*args, **kwargs) if real else result

    call.calls = calls
    return call


def raising(error):
    def stand_in(*args, **kwargs):
        raise error

    return stand_in


# -- the chat model factory ---------------------------------------------------


class Settings(dict):
    def __init__(self, log, entries):
        dict.__init__(self, entries)
        self.log = log

    def get(self, *args):
        self.log.append(("get",) + args)
        return dict.get(self, *args)


def account(monkeypatch, entries, chat_model=None):
    """Stands in for the account client with the given settings; every call
    lands in the returned log."""
    log = []

    class Client:
        def __init__(self, *args, **kwargs):
            log.append(("client", args, kwargs))

        def get_openai_data(self, *args, **kwargs):
            log.append(("get_openai_data", args, kwargs))
            return entries if not isinstance(entries, dict) else Settings(log, entries)

    def chat(*args, **kwargs):
        log.append(("ChatOpenAI", args, list(kwargs.items())))
        return chat_model(**kwargs) if chat_model else types.SimpleNamespace(**kwargs)

    monkeypatch.setattr(agent, "VeltoAPIHandler", Client)
    monkeypatch.setattr(agent, "ChatOpenAI", chat)
    return log


@pytest.mark.parametrize(
    "entries, passed",
    [
        ({"model_name": "gpt-4o", "temperature": 0.2, "api_key": "sk-1", "base_url": "ignored"},
         ("sk-1", "gpt-4o", 0.2)),
        ({"model_name": "gpt-4o", "api_key": "sk-1"}, ("sk-1", "gpt-4o", 1)),
        ({"temperature": "warm"}, (None, None, "warm")),
    ],
    ids=["all", "no temperature", "only temperature"],
)
def test_factory_reads_three_settings_and_builds_the_model(monkeypatch, capsys, entries, passed):
    log = account(monkeypatch, entries)
    key = "".join(["velto-", "key"])
    model = agent.create_chat_openai_instance(key)
    assert log[:5] == [
        ("client", (), {"velto_api_key": key}),
        ("get_openai_data", (), {}),
        ("get", "model_name"),
        ("get", "temperature", 1),
        ("get", "api_key"),
    ]
    assert log[0][2]["velto_api_key"] is key
    assert log[5] == ("ChatOpenAI", (), list(zip(["openai_api_key", "model", "temperature"], passed)))
    assert type(log[5][2][2][1]) is type(passed[2])  # the default is the integer 1
    assert len(log) == 6 and vars(model) == dict(log[5][2])
    assert capsys.readouterr().out == "LLM is Ready!\n"


@pytest.mark.parametrize("failing", ["arguments", "client", "get_openai_data", "settings", "ChatOpenAI"])
def test_factory_failures_propagate_with_nothing_printed(monkeypatch, capsys, failing):
    error = RuntimeError("account service is down")
    log = account(monkeypatch, [] if failing == "settings" else {"model_name": "m"})
    if failing == "client":
        monkeypatch.setattr(agent, "VeltoAPIHandler", raising(error))
    elif failing == "get_openai_data":
        monkeypatch.setattr(agent.VeltoAPIHandler, "get_openai_data", raising(error))
    elif failing == "ChatOpenAI":
        monkeypatch.setattr(agent, "ChatOpenAI", raising(error))
    with pytest.raises(Exception) as raised:
        agent.create_chat_openai_instance(*(() if failing == "arguments" else (KEY,)))
    if failing == "settings":
        assert str(raised.value) == "'list' object has no attribute 'get'"
    elif failing == "arguments":
        assert type(raised.value) is TypeError and log == []
    else:
        assert raised.value is error
    assert capsys.readouterr().out == ""
    assert not [entry for entry in log if entry[0] == "ChatOpenAI"]


def test_each_call_asks_the_account_service_anew(monkeypatch):
    log = account(monkeypatch, {"model_name": "gpt-4o-mini", "api_key": "sk-1"}, chat_model=ChatOpenAI)
    first, second = quietly(agent.create_chat_openai_instance, KEY), quietly(agent.create_chat_openai_instance, KEY)
    assert [entry[0] for entry in log].count("client") == 2
    assert [entry[0] for entry in log].count("get_openai_data") == 2
    assert isinstance(first, ChatOpenAI) and first is not second


@pytest.mark.parametrize(
    "entries, outcome",
    [
        ({"api_key": "sk-1"}, "none is not an allowed value"),  # model None: refused
        ({"model_name": "gpt-4o-mini"}, "sk-test"),  # key None: taken from OPENAI_API_KEY
    ],
)
def test_what_chat_openai_does_with_none_is_what_the_host_sees(monkeypatch, capsys, entries, outcome):
    account(monkeypatch, entries, chat_model=ChatOpenAI)
    try:
        executor = agent.create_agent(KEY, "m", "MySQL")
    except Exception as error:  # noqa: BLE001 - whatever LangChain raises
        assert outcome in str(error) and capsys.readouterr().out == ""
    else:
        assert executor.agent.runnable.steps[2].bound.openai_api_key.get_secret_value() == outcome
        assert capsys.readouterr().out == READY


# -- the tools ------------------------------------------------------------------


@pytest.mark.parametrize("engine", ["MySQL", "PostgreSQL", "MS SQL", "Oracle", "", None])
def test_every_agent_gets_the_seven_tools_in_order(monkeypatch, engine):
    from_function = recorder(StructuredTool.from_function)
    monkeypatch.setattr(agent, "StructuredTool", types.SimpleNamespace(from_function=from_function))
    executor = make_agent("/srv/media", engine)

    assert len(from_function.calls) == 7
    for (args, keywords), (name, function, description, schema) in zip(from_function.calls, MADE_IN_ORDER):
        assert args == ()
        assert [key for key, _ in keywords] == ["func", "name", "description"] + (["args_schema"] if schema else [])
        passed = dict(keywords)
        assert (passed["name"], passed["description"]) == (name, description)
        assert passed["func"] is getattr(agent, function)
        if schema:
            assert passed["args_schema"].__name__ == schema
    # LangChain strips what it holds; the model sees the stripped text.
    assert [(tool.name, tool.description, tool.func) for tool in executor.tools] == [
        (name, description.strip(), getattr(agent, function)) for name, function, description, _ in TOOLS
    ]


def test_argument_schemas_are_made_anew_for_each_agent(monkeypatch):
    namespaces = []

    class Recording(type(agent.BaseModel)):
        def __new__(mcs, name, bases, namespace, **kwargs):
            namespaces.append(list(namespace.items()))
            return super().__new__(mcs, name, bases, namespace, **kwargs)

    class Base(agent.BaseModel, metaclass=Recording):
        pass

    namespaces.clear()
    field = recorder(agent.Field)
    with monkeypatch.context() as patch:
        patch.setattr(agent, "BaseModel", Base)
        patch.setattr(agent, "Field", field)
        first = make_agent()
    second = make_agent()

    names = [[key for key, _ in namespace] for namespace in namespaces]
    assert names == [["__module__", "__qualname__", "__annotations__", "sql_query"],
                     ["__module__", "__qualname__", "__annotations__", "code"]]
    assert field.calls == [((), [("description", "SQL query string to be executed")]),
                           ((), [("description", "Python code to be executed")])]
    seen = set()
    for executor in (first, second):
        schemas = {tool.name: tool.args_schema for tool in executor.tools}
        sql, code = schemas["ExecuteSQLQuery"], schemas["ExecutePythonCode"]
        assert schemas["ExecuteMsSQLQuery"] is sql and schemas["ExecutePostgresSQLQuery"] is sql
        for cls, field_name, description in ((sql, "sql_query", "SQL query string to be executed"),
                                             (code, "code", "Python code to be executed")):
            assert cls.__qualname__ == "create_agent.<locals>." + cls.__name__
            assert (cls.__module__, cls.__doc__) == ("velto_ai_sdk.agent", None)
            assert cls.__annotations__ == {field_name: "str"}
            (declared,) = cls.__fields__.values()
            assert (declared.name, declared.outer_type_, declared.required) == (field_name, str, True)
            assert declared.field_info.description == description
        seen.update([sql, code])
        # The schema readers take their parameters from the functions: none.
        assert [tool.args for tool in executor.tools[:3]] == [{}, {}, {}]
    assert len(seen) == 4
    assert len({id(tool) for executor in (first, second) for tool in executor.tools}) == 14


def test_schema_tools_follow_the_wrapped_functions_signatures(monkeypatch):
    def get_pgdb_schema(schema_name: str = "public"):
        return "tables of " + schema_name

    monkeypatch.setattr(agent, "get_pgdb_schema", get_pgdb_schema)
    tool = make_agent().tools[1]
    assert list(tool.args) == ["schema_name"]
    assert tool.invoke({"schema_name": "sales"}) == "tables of sales"


def wrapped_function(takes_arguments, received, observation):
    if takes_arguments:
        def function(*args, **kwargs):
            received.append((args, kwargs))
            return observation
    else:
        def function():
            received.append(((), {}))
            return observation
    return function


@pytest.mark.parametrize(
    "tool, function, arguments",
    [
        ("ExecuteSQLQuery", "execute_mysql_query", {"sql_query": "SELECT COUNT(*) FROM sales"}),
        ("ExecutePostgresSQLQuery", "execute_pgdb_query", {"sql_query": "SELECT 'a\nb'"}),
        ("ExecuteMsSQLQuery", "execute_mssql_query", {"sql_query": "SELECT TOP 1 * FROM t"}),
        ("ExecutePythonCode", "execute_code", {"code": "print(6 * 7)"}),
        ("GetDatabaseSchema", "get_mysql_database_schema", {}),
        ("GetPostgresDatabaseSchema", "get_pgdb_schema", {}),
        ("GetMsSQLDatabaseSchema", "get_mssql_db_schema", {}),
    ],
)
def test_a_tool_call_reaches_the_wrapped_function(monkeypatch, scripted_chat_server, tool, function, arguments):
    received = []
    monkeypatch.setattr(agent, function, wrapped_function(bool(arguments), received, "observed by " + tool))
    server = scripted_chat_server([tool_call_reply([(tool, arguments)]), text_reply("done")], env=True)
    executor = make_agent()
    assert quietly(agent.run_agent, executor, KEY, "question") == "done"
    assert received == [((), arguments)]
    assert server.chat_bodies[1]["messages"][-1]["content"] == "observed by " + tool


@pytest.mark.parametrize(
    "tool, function, arguments, schema",
    [
        ("ExecuteSQLQuery", "execute_mysql_query", {}, "SQLQueryInput\nsql_query"),
        ("ExecutePostgresSQLQuery", "execute_pgdb_query", {"query": "SELECT 1"}, "SQLQueryInput\nsql_query"),
        ("ExecuteMsSQLQuery", "execute_mssql_query", {"sql": "SELECT 1"}, "SQLQueryInput\nsql_query"),
        ("ExecutePythonCode", "execute_code", {"script": "print(1)"}, "PythonCodeInput\ncode"),
    ],
)
def test_a_tool_call_without_its_argument_fails_validation(monkeypatch, capsys, scripted_chat_server,
                                                            tool, function, arguments, schema):
    received = []
    monkeypatch.setattr(agent, function, wrapped_function(True, received, "never"))
    server = scripted_chat_server([tool_call_reply([(tool, arguments)]), text_reply("unused")], env=True)
    executor = make_agent()
    assert agent.run_agent(executor, KEY, "question") == "An error occurred"
    assert received == [] and server.remaining == 1
    assert capsys.readouterr().out.endswith(
        "An error occurred when running the agent: 1 validation error for %s\n"
        "  field required (type=value_error.missing)\n" % schema)


# -- the system text and the template ----------------------------------------------


class OwnFormat:
    def __format__(self, spec):
        return "formatted[%s]" % spec

    def __str__(self):
        return "str"


@pytest.mark.parametrize(
    "arguments, texts",
    [
        (("/img/", "MySQL", "be brief."), ("MySQL", "/img/", "be brief.")),
        (("media", "MS SQL"), ("MS SQL", "media", "None")),
        ((None, None, None), ("None", "None", "None")),
        ((2.5, 5, 10 ** 20), ("5", "2.5", "100000000000000000000")),
        ((" ./charts \n", ' "PostgreSQL" ', "\tsay \"hi\"\nthen stop  "),
         (' "PostgreSQL" ', " ./charts \n", "\tsay \"hi\"\nthen stop  ")),
        ((OwnFormat(), OwnFormat(), OwnFormat()), ("formatted[]",) * 3),
        (("{media}", "{input}", '{"answer": "...", "sql_queries": []}'),
         ("{input}", "{media}", '{"answer": "...", "sql_queries": []}')),
    ],
    ids=["words", "no instructions", "None", "numbers", "spaces and quotes", "own format", "braces"],
)
def test_system_text_character_for_character(arguments, texts):
    executor = make_agent(*arguments)
    messages = executor.agent.runnable.steps[1].format_messages(input="Q?", chat_history=[], agent_scratchpad=[])
    assert messages == [SystemMessage(content=system_text(*texts)), HumanMessage(content="Q?")]
    assert len(messages[0].content) == 4389 + sum(map(len, texts))


def test_instructions_holding_json_reach_the_model_literally(capsys, scripted_chat_server):
    instructions = 'Answer as {"answer": "<text>", "sql_queries": [], "image_url": ""}, not as {input}.'
    server = scripted_chat_server([text_reply('{"answer": "42"}')], env=True)
    executor = agent.create_agent(KEY, "/srv/{user}/media", "{engine}", instructions)
    assert agent.run_agent(executor, KEY, "How many customers?") == '{"answer": "42"}'
    (body,) = server.chat_bodies
    assert body["messages"] == [
        {"role": "system", "content": system_text("{engine}", "/srv/{user}/media", instructions)},
        {"role": "user", "content": "How many customers?"},
    ]
    assert [tool["function"]["name"] for tool in body["tools"]] == [name for name, _, _, _ in TOOLS]
    printed = capsys.readouterr().out
    assert printed.startswith(READY)
    assert "> Entering new AgentExecutor chain..." in printed and "> Finished chain." in printed


def test_template_is_made_of_four_entries(monkeypatch):
    from_messages = recorder(ChatPromptTemplate.from_messages)
    placeholder = recorder(agent.MessagesPlaceholder)
    monkeypatch.setattr(agent, "ChatPromptTemplate", types.SimpleNamespace(from_messages=from_messages))
    monkeypatch.setattr(agent, "MessagesPlaceholder", placeholder)
    executor = make_agent("m", "e", "i")

    assert placeholder.calls == [((), [("variable_name", "chat_history")]),
                                 ((), [("variable_name", "agent_scratchpad")])]
    ((entries,), keywords), = from_messages.calls
    assert keywords == [] and type(entries) is list and len(entries) == 4
    assert entries[0] == ("system", system_text("e", "m", "i")) and type(entries[0]) is tuple
    assert [entry.variable_name for entry in entries[1::2]] == ["chat_history", "agent_scratchpad"]
    assert entries[2] == ("user", "{input}") and type(entries[2]) is tuple
    assert executor.agent.runnable.steps[1].input_variables == ["agent_scratchpad", "chat_history", "input"]


# -- the chain, the executor and the guarded section ---------------------------------


def test_executor_is_assembled_with_its_settings(monkeypatch, capsys):
    made = {}

    class Chat(ChatOpenAI):
        def bind_tools(self, *args, **kwargs):
            made["bind_tools"] = (args, kwargs)
            made["bound"] = super().bind_tools(*args, **kwargs)
            return made["bound"]

    agent_class, parser_class = agent.CustomRunnableAgent, agent.OpenAIToolsAgentOutputParser
    monkeypatch.setattr(agent, "ChatOpenAI", Chat)
    for name, real in (("AgentExecutor", AgentExecutor), ("CustomRunnableAgent", agent_class),
                       ("OpenAIToolsAgentOutputParser", parser_class),
                       ("create_chat_openai_instance", agent.create_chat_openai_instance)):
        monkeypatch.setattr(agent, name, recorder(real))
    executor = agent.create_agent(KEY, "m", "MySQL")
    assert capsys.readouterr().out == READY
    assert agent.create_chat_openai_instance.calls == [((KEY,), [])]
    assert agent.OpenAIToolsAgentOutputParser.calls == [((), [])]

    (tools,), bind_keywords = made["bind_tools"]
    assert bind_keywords == {} and type(tools) is list
    assert agent.AgentExecutor.calls[0][0] == () and len(agent.AgentExecutor.calls) == 1
    keywords = agent.AgentExecutor.calls[0][1]
    assert [key for key, _ in keywords] == ["agent", "tools", "verbose", "handle_parsing_errors", "stream_runnable"]
    passed = dict(keywords)
    assert passed["tools"] is tools and executor.tools == tools  # pydantic copies the list it holds
    assert (passed["verbose"], passed["handle_parsing_errors"], passed["stream_runnable"]) == (True, True, False)
    assert type(executor) is AgentExecutor and executor.verbose is True and executor.handle_parsing_errors is True
    assert agent.CustomRunnableAgent.calls == [((), [("runnable", executor.agent.runnable)])]
    chain = executor.agent.runnable
    assert type(passed["agent"]) is type(executor.agent) is agent_class and passed["agent"].runnable is chain

    first, prompt, bound, parser = chain.steps
    assert isinstance(first, RunnableParallel) and list(first.steps__) == ["input", "agent_scratchpad", "chat_history"]
    assert isinstance(prompt, ChatPromptTemplate)
    assert bound is made["bound"] and isinstance(bound, RunnableBinding) and isinstance(bound.bound, Chat)
    assert [tool["function"]["name"] for tool in bound.kwargs["tools"]] == [name for name, _, _, _ in TOOLS]
    assert type(parser) is parser_class
    for setting in ("max_iterations", "max_execution_time", "early_stopping_method", "return_intermediate_steps",
                    "trim_intermediate_steps"):
        assert getattr(executor, setting) == AgentExecutor.__fields__[setting].default


class OwnFormatError(Exception):
    def __format__(self, spec):
        return "formatted[%s]" % spec


@pytest.mark.parametrize(
    "name, stand_in, message",
    [
        ("AgentExecutor", raising(ValueError("no executor today")), "no executor today"),
        ("AgentExecutor", raising(OwnFormatError("str")), "formatted[]"),
        ("CustomRunnableAgent", raising(TypeError("bad runnable")), "bad runnable"),
        ("OpenAIToolsAgentOutputParser", raising(LookupError("no parser")), "no parser"),
        ("OpenAIToolsAgentOutputParser", lambda: 42,
         "Expected a Runnable, callable or dict.Instead got an unsupported type: <class 'int'>"),
        ("AgentExecutor", None, "name 'AgentExecutor' is not defined"),
        ("CustomRunnableAgent", None, "name 'CustomRunnableAgent' is not defined"),
    ],
    ids=["executor raises", "formatted", "agent raises", "parser raises", "LangChain refuses", "no executor",
         "no agent class"],
)
def test_a_failure_while_assembling_is_printed_and_gives_none(monkeypatch, capsys, name, stand_in, message):
    if stand_in is None:
        monkeypatch.delattr(agent, name)
    else:
        monkeypatch.setattr(agent, name, stand_in)
    assert agent.create_agent(KEY, "m", "MySQL") is None
    assert capsys.readouterr().out == "LLM is Ready!\n" + FAILED + message + "\n"


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(2)])
def test_an_interrupt_while_assembling_passes_through(monkeypatch, capsys, error):
    monkeypatch.setattr(agent, "AgentExecutor", raising(error))
    with pytest.raises(BaseException) as raised:
        agent.create_agent(KEY, "m", "MySQL")
    assert raised.value is error
    assert capsys.readouterr().out == "LLM is Ready!\n"


class NoFormat:
    def __init__(self, message):
        self.message = message

    def __format__(self, spec):
        raise ValueError(self.message)


ERROR = RuntimeError("stage failed")


@pytest.mark.parametrize(
    "name, stand_in, arguments, expected, printed",
    [
        ("create_chat_openai_instance", raising(ERROR), ("m", "MySQL"), ERROR, ""),
        ("create_chat_openai_instance", lambda key: object(), ("m", "MySQL"),
         "'object' object has no attribute 'bind_tools'", ""),
        ("StructuredTool", types.SimpleNamespace(from_function=raising(ERROR)), ("m", "MySQL"), ERROR, ""),
        ("ChatPromptTemplate", types.SimpleNamespace(from_messages=raising(ERROR)), ("m", "MySQL"), ERROR,
         "LLM is Ready!\n"),
        ("MessagesPlaceholder", raising(ERROR), ("m", "MySQL"), ERROR, "LLM is Ready!\n"),
        (None, None, (NoFormat("no media text"), "MySQL"), "no media text", "LLM is Ready!\n"),
        (None, None, (NoFormat("no media text"), NoFormat("no engine text")), "no engine text", "LLM is Ready!\n"),
    ],
    ids=["factory", "model without bind_tools", "tools", "template", "placeholder", "media path text",
         "engine text first"],
)
def test_failures_before_assembly_reach_the_host_unchanged(monkeypatch, capsys, name, stand_in, arguments, expected,
                                                           printed):
    if name:
        monkeypatch.setattr(agent, name, stand_in)
    with pytest.raises(Exception) as raised:
        agent.create_agent(KEY, *arguments)
    assert raised.value is expected if isinstance(expected, Exception) else str(raised.value) == expected
    assert capsys.readouterr().out == printed


def test_the_account_services_refusal_reaches_the_host(monkeypatch, capsys):
    monkeypatch.delenv("OPENAI_API_KEY")
    with pytest.raises(Exception) as raised:
        agent.create_agent(KEY, "m", "MySQL")
    assert type(raised.value).__name__ == "VeltoConfigError"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "name, printed",
    [
        ("BaseModel", ""), ("Field", ""), ("StructuredTool", ""), ("get_mysql_database_schema", ""),
        ("execute_mssql_query", ""), ("execute_code", ""), ("create_chat_openai_instance", ""),
        ("MessagesPlaceholder", "LLM is Ready!\n"), ("ChatPromptTemplate", "LLM is Ready!\n"),
    ],
)
def test_a_missing_name_before_assembly_raises_name_error(monkeypatch, capsys, name, printed):
    monkeypatch.delattr(agent, name)
    with pytest.raises(NameError) as raised:
        agent.create_agent(KEY, "m", "MySQL")
    assert str(raised.value) == "name '%s' is not defined" % name
    assert capsys.readouterr().out == printed


def test_two_agents_share_nothing_made_for_them():
    def parts(executor):
        chain = executor.agent.runnable
        return [executor, executor.agent, chain, executor.tools, chain.steps[2].bound, *chain.steps,
                *executor.tools, *(tool.args_schema for tool in executor.tools)]

    first, second = make_agent(), make_agent()
    assert not {id(part) for part in parts(first)} & {id(part) for part in parts(second)}


# -- the chain's input functions -------------------------------------------------------


def test_history_function_gives_a_new_empty_list_when_absent():
    history = chain_functions(make_agent())["chat_history"]
    given = [AIMessage(content="earlier")]
    first, second = history({"input": "q"}), history({"input": "q"})
    assert first == [] and second == [] and first is not second
    assert history({"input": "q", "chat_history": given}) is given

    class Inputs(dict):
        def get(self, *args, **kwargs):
            self.asked = (args, kwargs)
            return "history"

    inputs = Inputs()
    assert history(inputs) == "history" and inputs.asked == (("chat_history", []), {})


def test_input_and_scratchpad_functions(monkeypatch):
    functions = chain_functions(make_agent())
    question, steps = "".join(["How ", "many?"]), [("action", "observation")]
    assert functions["input"]({"input": question}) is question
    with pytest.raises(KeyError, match="'input'"):
        functions["input"]({"chat_history": []})
    monkeypatch.setattr(agent, "format_to_openai_tool_messages", recorder(result="scratchpad"))
    assert functions["agent_scratchpad"]({"intermediate_steps": steps}) == "scratchpad"
    assert agent.format_to_openai_tool_messages.calls == [((steps,), [])]


def test_a_run_without_input_fails_with_key_error_before_the_model(scripted_chat_server):
    server = scripted_chat_server([text_reply("unused")], env=True)
    executor = make_agent()
    with pytest.raises(KeyError, match="'input'"):
        executor.agent.plan([], None, chat_history=[])
    assert server.chat_bodies == []


# -- plan ----------------------------------------------------------------------------


class RecordingRunnable(Runnable):
    def __init__(self, result=None, error=None):
        self.calls, self.result, self.error = [], result, error

    def invoke(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.result


@pytest.mark.parametrize("callbacks", [None, [object()], object()], ids=["None", "list", "manager"])
def test_plan_runs_the_chain_once_with_the_steps_and_callbacks(callbacks):
    result = object()
    runnable = RecordingRunnable(result)
    steps, history, question = [("action", "observation")], [AIMessage(content="earlier")], "How many?"
    planner = agent.CustomRunnableAgent(runnable=runnable)
    assert planner.plan(steps, callbacks, input=question, chat_history=history) is result

    ((inputs,), keywords), = runnable.calls
    assert list(inputs) == ["input", "chat_history", "intermediate_steps"]
    assert inputs["input"] is question and inputs["chat_history"] is history and inputs["intermediate_steps"] is steps
    assert keywords == {"config": {"callbacks": callbacks}} and keywords["config"]["callbacks"] is callbacks


def test_plan_keeps_the_order_of_its_keyword_arguments():
    runnable = RecordingRunnable()
    agent.CustomRunnableAgent(runnable=runnable).plan(callbacks=None, intermediate_steps=[], chat_history=[], input="q",
                                                      extra=1)
    ((inputs,), _), = runnable.calls
    assert list(inputs) == ["chat_history", "input", "extra", "intermediate_steps"]


def test_plan_passes_the_chains_failure_on():
    error = ConnectionError("model service unreachable")
    planner = agent.CustomRunnableAgent(runnable=RecordingRunnable(error=error))
    with pytest.raises(ConnectionError) as raised:
        planner.plan([], None, input="q")
    assert raised.value is error


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda plan: plan([]), "plan() takes exactly 3 positional arguments (2 given)"),
        (lambda plan: plan([], None, None), "plan() takes exactly 3 positional arguments (4 given)"),
        (lambda plan: plan([], None, callbacks=None), "plan() got multiple values for keyword argument 'callbacks'"),
        (lambda plan: plan(callbacks=None, input="q"), "plan() takes exactly 3 positional arguments (1 given)"),
    ],
)
def test_plan_argument_errors(call, message):
    runnable = RecordingRunnable()
    with pytest.raises(TypeError) as raised:
        call(agent.CustomRunnableAgent(runnable=runnable).plan)
    assert str(raised.value) == message and runnable.calls == []
