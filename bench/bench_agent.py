"""What our agent module costs per question, beside the same agent written in
plain Python from the same LangChain objects, with the scripted chat server
answering at once; what a question costs through a Conversation beside
run_agent; and what importing the agent costs beside importing the same
dependencies in plain Python.

    python bench/bench_agent.py [--runs N] [--imports N]

A question makes three tool calls, one per model turn (the three schema
readers, answered by instant functions in both variants), then gets its
answer: four model requests. The two variants alternate question by question
so that drift on the machine falls on both alike, and both print their
verbose trace into a writer that keeps nothing. Each import is timed inside a
fresh interpreter, from before the import statement to after it.

Conversation.ask runs the same three tool calls on an agent of its own,
quiet (run_agent's trace goes to the writer that keeps nothing), with its
history forgotten before each question (untimed), so that every question
carries the same requests; it alternates with run_agent the same way.

A ratio of 1.00 means our code adds nothing measurable.
"""

import argparse
import contextlib
import io
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

SCHEMAS = {
    "get_mysql_database_schema": "customers(id int, name text)",
    "get_pgdb_schema": "orders(id int, customer_id int, total numeric)",
    "get_mssql_db_schema": "dbo.refunds(id int, order_id int)",
}
TOOL_TURNS = ["GetDatabaseSchema", "GetPostgresDatabaseSchema", "GetMsSQLDatabaseSchema"]
ANSWER = '{"answer": "42 customers", "sql_queries": [], "python-code": "", "image_url": ""}'
QUESTION = "How many customers ordered twice?"
KEY = "velto-bench-key"

# The module body of velto_ai_sdk.agent in plain Python: the same imports in
# the same order, load_dotenv, the class and the three functions.
PLAIN_IMPORTS = """
from langchain.pydantic_v1 import BaseModel, Field
from langchain.tools import StructuredTool
from langchain_core.tools import ToolException
from langchain.agents import AgentExecutor
from langchain_openai import ChatOpenAI
from langchain.prompts import ChatPromptTemplate, MessagesPlaceholder
from langchain.agents.format_scratchpad.openai_tools import format_to_openai_tool_messages
from langchain.agents.output_parsers.openai_tools import OpenAIToolsAgentOutputParser
from langchain_core.messages import AIMessage, HumanMessage
import os
import requests
import json
import aiohttp
import asyncio
from langchain_openai import AzureOpenAI
from langchain_openai import AzureChatOpenAI
from langchain.agents.agent import RunnableAgent
from langchain_community.callbacks import get_openai_callback
from velto_ai_sdk.sqltool import (execute_mysql_query, get_mysql_database_schema, get_pgdb_schema,
                                  execute_pgdb_query, get_mssql_db_schema, execute_mssql_query)
from velto_ai_sdk.codetool import *
from velto_ai_sdk.api import VeltoAPIHandler
from dotenv import load_dotenv

load_dotenv()


class CustomRunnableAgent(RunnableAgent):
    def plan(self, intermediate_steps, callbacks, **kwargs):
        inputs = {**kwargs, "intermediate_steps": intermediate_steps}
        return self.runnable.invoke(inputs, config={"callbacks": callbacks})


def create_chat_openai_instance(velto_api_key):
    pass


def create_agent(velto_api_key, media_path, engine, instructions=None):
    pass


from velto_ai_sdk.api import send_user_question


def run_agent(agent, velto_api_key, query):
    pass
"""
OURS_IMPORT = "import velto_ai_sdk.agent\n"
TIMED = "import time\n_start = time.perf_counter()\n%s\nprint(time.perf_counter() - _start)\n"


class Discard(io.TextIOBase):
    def write(self, text):
        return len(text)


def answer(body):
    """Calls the next schema reader until all three have answered, then
    answers; the turn is read from the request itself."""
    from velto_ai_sdk.scripted_model import text_reply, tool_call_reply

    done = sum(1 for message in body["messages"] if message["role"] == "tool")
    if done < len(TOOL_TURNS):
        return tool_call_reply([(TOOL_TURNS[done], {})], prompt_tokens=1200, completion_tokens=15)
    return text_reply(ANSWER, prompt_tokens=1400, completion_tokens=40)


def plain_agent(system_text, tools):
    """What a user would otherwise write: the same pieces, in Python."""
    from langchain.agents import AgentExecutor
    from langchain.agents.agent import RunnableAgent
    from langchain.agents.format_scratchpad.openai_tools import format_to_openai_tool_messages
    from langchain.agents.output_parsers.openai_tools import OpenAIToolsAgentOutputParser
    from langchain.prompts import ChatPromptTemplate, MessagesPlaceholder
    from langchain_openai import ChatOpenAI

    from velto_ai_sdk.api import VeltoAPIHandler

    class PlainRunnableAgent(RunnableAgent):
        def plan(self, intermediate_steps, callbacks, **kwargs):
            inputs = {**kwargs, "intermediate_steps": intermediate_steps}
            return self.runnable.invoke(inputs, config={"callbacks": callbacks})

    settings = VeltoAPIHandler(velto_api_key=KEY).get_openai_data()
    llm = ChatOpenAI(openai_api_key=settings.get("api_key"), model=settings.get("model_name"),
                     temperature=settings.get("temperature", 1))
    memory_key = "chat_history"
    prompt = ChatPromptTemplate.from_messages([
        ("system", system_text),
        MessagesPlaceholder(variable_name=memory_key),
        ("user", "{input}"),
        MessagesPlaceholder(variable_name="agent_scratchpad"),
    ])
    chain = (
        {
            "input": lambda x: x["input"],
            "agent_scratchpad": lambda x: format_to_openai_tool_messages(x["intermediate_steps"]),
            "chat_history": lambda x: x.get(memory_key, []),
        }
        | prompt
        | llm.bind_tools(tools)
        | OpenAIToolsAgentOutputParser()
    )
    return AgentExecutor(agent=PlainRunnableAgent(runnable=chain), tools=tools, verbose=True,
                         handle_parsing_errors=True, stream_runnable=False)


def plain_run(agent, velto_api_key, query):
    from langchain_community.callbacks import get_openai_callback
    from langchain_core.messages import AIMessage, HumanMessage

    from velto_ai_sdk.api import send_user_question

    chat_history = []
    tokens = total_cost = result = None
    if agent is not None:
        with get_openai_callback() as usage:
            try:
                result = agent.invoke({"input": query, "chat_history": chat_history})
                chat_history.append(HumanMessage(content=query))
                chat_history.append(AIMessage(content=result["output"]))
                tokens = usage.total_tokens
                total_cost = usage.total_cost
            except Exception as error:
                print("An error occurred when running the agent: " + format(error))
                result = {"output": "An error occurred"}
    if tokens is not None and total_cost is not None:
        send_user_question(velto_api_key, query, tokens, total_cost)
    if result and "output" in result:
        return result["output"]
    return "Error: No output generated from the agent."


def plain_tools(ours):
    """Tools made from the same functions with the same names, descriptions
    and argument schemas."""
    from langchain.tools import StructuredTool

    return [StructuredTool.from_function(func=tool.func, name=tool.name, description=tool.description,
                                         args_schema=tool.args_schema if tool.name.startswith("Execute") else None)
            for tool in ours]


def questions(runs, workdir):
    from velto_ai_sdk.scripted_model import ScriptedChatServer
    server = ScriptedChatServer([answer] * (len(TOOL_TURNS) + 1) * (4 * runs + 40)).start()
    os.environ.update(server.environ())
    # A conversation checks that the database and the code environment are
    # set up; the schema readers below never reach either.
    os.environ["VELTO_POSTGRES_URL"] = "postgresql+psycopg://bench@127.0.0.1:1/bench"
    try:
        import velto_ai_sdk.agent as agent
        import velto_ai_sdk.codetool as codetool
        from velto_ai_sdk import Conversation

        codetool.python_executable = sys.executable
        for name, text in SCHEMAS.items():
            setattr(agent, name, lambda text=text: text)
        with contextlib.redirect_stdout(Discard()):
            ours = agent.create_agent(KEY, "/srv/velto/media", "PostgreSQL", "Answer in one sentence.")
            system_text = ours.agent.runnable.steps[1].messages[0].prompt.template
            plain = plain_agent(system_text, plain_tools(ours.tools))
            talk = Conversation(KEY, os.path.join(workdir, "media"), "PostgreSQL", "Answer in one sentence.")

            def conversation_ask():
                talk.reset()
                start = time.perf_counter()
                found = talk.ask(QUESTION)
                return found.text, time.perf_counter() - start

            ours_median, plain_median = alternate([("ours", lambda: agent.run_agent(ours, KEY, QUESTION)),
                                                   ("plain", lambda: plain_run(plain, KEY, QUESTION))], runs)
            ask_median, run_median = alternate([("ask", conversation_ask),
                                                ("run_agent", lambda: agent.run_agent(ours, KEY, QUESTION))], runs)
        assert len(server.chat_bodies) == (len(TOOL_TURNS) + 1) * 4 * (runs + 5)
        return ours_median, plain_median, ask_median, run_median
    finally:
        server.stop()


def alternate(variants, runs):
    """The median seconds per question of each of two variants, taken in
    turns; a variant gives its answer, or its answer and its own timing."""
    times = {name: [] for name, _ in variants}
    for run in range(runs + 5):
        for name, call in variants if run % 2 else variants[::-1]:
            start = time.perf_counter()
            result = call()
            elapsed = time.perf_counter() - start
            if isinstance(result, tuple):
                result, elapsed = result
            assert result == ANSWER, (name, result)
            if run >= 5:  # the first questions warm the connection pool and LangChain's caches
                times[name].append(elapsed)
    return tuple(statistics.median(times[name]) for name, _ in variants)


def import_times(repeats, workdir):
    scripts = {}
    for name, body in (("ours", OURS_IMPORT), ("plain", PLAIN_IMPORTS)):
        scripts[name] = os.path.join(workdir, "import_%s.py" % name)
        with open(scripts[name], "w") as script:
            script.write(TIMED % textwrap.dedent(body))
    times = {"ours": [], "plain": []}
    for repeat in range(repeats):
        for name in ("ours", "plain") if repeat % 2 else ("plain", "ours"):
            done = subprocess.run([sys.executable, scripts[name]], capture_output=True, text=True, check=True,
                                  cwd=workdir)
            times[name].append(float(done.stdout.strip().splitlines()[-1]))
    return statistics.median(times["ours"]), statistics.median(times["plain"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=50, help="questions per variant (default 50)")
    parser.add_argument("--imports", type=int, default=15, help="fresh interpreters per variant (default 15)")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="velto-bench-") as workdir:
        # Local account mode: settings from the environment, usage reports
        # to a throwaway ledger, never the user's.
        os.environ.pop("VELTO_API_URL", None)
        os.environ["VELTO_USAGE_DB"] = os.path.join(workdir, "usage.sqlite3")
        ours_question, plain_question, ask_question, run_question = questions(options.runs, workdir)
        ours_import, plain_import = import_times(options.imports, workdir)

    print("%-44s %10s %10s %7s" % ("median of", "ours", "plain", "ratio"))
    print("%-44s %7.2f ms %7.2f ms %7.3f" % ("question with 3 tool calls, x%d" % options.runs,
                                              ours_question * 1e3, plain_question * 1e3,
                                              ours_question / plain_question))
    print("%-44s %10s %10s %7s" % ("median of", "ask", "run_agent", "ratio"))
    print("%-44s %7.2f ms %7.2f ms %7.3f" % ("Conversation.ask beside run_agent, x%d" % options.runs,
                                              ask_question * 1e3, run_question * 1e3, ask_question / run_question))
    print("%-44s %10s %10s %7s" % ("median of", "ours", "plain", "ratio"))
    print("%-44s %7.1f ms %7.1f ms %7.3f" % ("import velto_ai_sdk.agent, x%d" % options.imports,
                                              ours_import * 1e3, plain_import * 1e3, ours_import / plain_import))


if __name__ == "__main__":
    sys.exit(main())
