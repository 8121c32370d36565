"""The agent module's body: what it binds, in which order, what it requires
of its dependencies, and its dotenv loading."""

import os

import pytest

import velto_ai_sdk.codetool as codetool
from support.child import run_python

pytestmark = pytest.mark.usefixtures("quiet_ledger")


@pytest.fixture
def quiet_ledger(tmp_path, monkeypatch):
    monkeypatch.setenv("VELTO_USAGE_DB", str(tmp_path / "usage.sqlite3"))


BOUND_IN_ORDER = [
    "BaseModel", "Field", "StructuredTool", "ToolException", "AgentExecutor", "ChatOpenAI",
    "ChatPromptTemplate", "MessagesPlaceholder", "format_to_openai_tool_messages",
    "OpenAIToolsAgentOutputParser", "AIMessage", "HumanMessage", "os", "requests", "json", "aiohttp",
    "asyncio", "AzureOpenAI", "AzureChatOpenAI", "RunnableAgent", "get_openai_callback",
    "execute_mysql_query", "get_mysql_database_schema", "get_pgdb_schema", "execute_pgdb_query",
    "get_mssql_db_schema", "execute_mssql_query",
    # the code runner's public names, star-imported ("os" is bound again in place)
    "subprocess", "venv", "tempfile", "env_path", "media_path", "python_executable",
    "initialize_environment", "ensure_virtual_environment", "install_defaults", "safe_install_modules",
    "install_dependencies", "execute_code",
    "VeltoAPIHandler", "load_dotenv", "CustomRunnableAgent", "create_chat_openai_instance", "create_agent",
    "send_user_question", "run_agent",
]


@pytest.fixture(scope="module")
def agent():
    import velto_ai_sdk.agent

    return velto_ai_sdk.agent


def test_namespace_holds_exactly_the_bindings_in_order():
    # In a fresh interpreter: a test here that removes and restores a name
    # moves it to the end of the namespace.
    out = run_python("""
        import velto_ai_sdk.agent as agent
        print([name for name in vars(agent) if not name.startswith("__")])
        print(agent.__test__, agent.__doc__)
    """)
    assert out == "%r\n{} None\n" % (BOUND_IN_ORDER,)


def test_names_come_from_where_they_should(agent):
    import velto_ai_sdk.api as api
    import velto_ai_sdk.sqltool as sqltool
    from langchain.agents.agent import RunnableAgent

    assert agent.execute_code is codetool.execute_code
    assert agent.safe_install_modules is codetool.safe_install_modules
    assert agent.execute_pgdb_query is sqltool.execute_pgdb_query
    assert agent.send_user_question is api.send_user_question
    assert agent.RunnableAgent is RunnableAgent


def test_the_agent_class(agent):
    import inspect

    cls = agent.CustomRunnableAgent
    assert cls.__bases__ == (agent.RunnableAgent,)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("velto_ai_sdk.agent", "CustomRunnableAgent", None)
    assert [name for name in cls.__dict__ if not name.startswith("_")] == ["plan"]
    assert "plan" not in cls.__fields__
    assert cls.plan.__qualname__ == "CustomRunnableAgent.plan"
    assert str(inspect.signature(cls.plan)) == "(self, intermediate_steps, callbacks, **kwargs)"


def test_functions(agent):
    import inspect

    assert agent.create_agent.__defaults__ == (None,)
    assert str(inspect.signature(agent.create_agent)) == "(velto_api_key, media_path, engine, instructions=None)"
    for function in (agent.create_chat_openai_instance, agent.run_agent, agent.CustomRunnableAgent.plan):
        assert function.__defaults__ is None and function.__doc__ is None
        assert function.__module__ == "velto_ai_sdk.agent"


@pytest.mark.parametrize(
    "call, message",
    [
        ("run_agent(1, 2)", "run_agent() takes exactly 3 positional arguments (2 given)"),
        ("run_agent(1, 2, 3, 4)", "run_agent() takes exactly 3 positional arguments (4 given)"),
        ("run_agent(agent=1, query=2)", "run_agent() takes exactly 3 positional arguments (1 given)"),
        ("create_agent(1, 2)", "create_agent() takes at least 3 positional arguments (2 given)"),
        ("create_agent(1, 2, 3, 4, 5)", "create_agent() takes at most 4 positional arguments (5 given)"),
        ("create_agent(1, 2, 3, instruction='x')", "create_agent() got an unexpected keyword argument 'instruction'"),
        ("create_chat_openai_instance()", "create_chat_openai_instance() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_argument_errors(agent, call, message):
    with pytest.raises(TypeError) as raised:
        eval(call, vars(agent))
    assert str(raised.value) == message


def test_settings_are_the_code_runners_at_import_time(tmp_path):
    out = run_python(f"""
        import velto_ai_sdk.agent as agent
        import velto_ai_sdk.codetool as codetool
        codetool.initialize_environment({str(tmp_path)!r})
        print(agent.env_path, agent.python_executable, codetool.env_path == {str(tmp_path)!r})
    """)
    assert out == "None None True\n"


# load_dotenv is counted by a wrapper put in place before the agent imports it.
COUNT_DOTENV = """
    import os, sys, dotenv
    calls = []
    real = dotenv.load_dotenv
    dotenv.load_dotenv = lambda *args, **kwargs: calls.append((args, kwargs)) or real(*args, **kwargs)
    import velto_ai_sdk.agent
    del sys.modules["velto_ai_sdk.agent"]
    import velto_ai_sdk.agent
    print(calls, os.environ.get("VELTO_DOTENV_MARKER"))
"""


def test_dotenv_loads_once_from_the_hosts_directory(tmp_path):
    (tmp_path / ".env").write_text("VELTO_DOTENV_MARKER=beside the host\n")
    out = run_python(COUNT_DOTENV, script_dir=tmp_path, cwd="/")
    assert out == "[((), {})] beside the host\n"


def test_dotenv_without_a_host_file_reads_the_working_directory(tmp_path):
    # python -c has no file for python-dotenv to start its search from.
    (tmp_path / ".env").write_text("VELTO_DOTENV_MARKER=in the working directory\n")
    out = run_python(COUNT_DOTENV, cwd=tmp_path)
    assert out.endswith(" in the working directory\n")


@pytest.mark.parametrize(
    "sabotage, message",
    [
        ("sys.modules['aiohttp'] = None", "import of aiohttp halted; None in sys.modules"),
        (
            "import langchain_openai; del langchain_openai.AzureChatOpenAI",
            "cannot import name AzureChatOpenAI",
        ),
        (
            "import velto_ai_sdk.api as api; saved = api.send_user_question; del api.send_user_question",
            "cannot import name send_user_question",
        ),
    ],
    ids=["dependency missing", "name missing from a dependency", "name missing from the account client"],
)
def test_failed_import_leaves_nothing_and_can_be_retried(sabotage, message):
    out = run_python(f"""
        import sys, traceback
        {sabotage}
        try:
            import velto_ai_sdk.agent
        except ImportError as error:
            names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
            print(error)
            print("init velto_ai_sdk.agent" in names, "velto_ai_sdk.agent" in sys.modules)
        if "saved" in dir():
            api.send_user_question = saved
        else:
            sys.modules.pop("aiohttp", None)
            import importlib, langchain_openai
            importlib.reload(langchain_openai)
        import velto_ai_sdk.agent as agent
        print(agent.run_agent.__module__)
    """)
    assert out == message + "\nTrue False\nvelto_ai_sdk.agent\n"
