"""One question end to end: the model (our scripted server over real HTTP)
reads the PostgreSQL schema, runs a query on the real server, runs Python in
the real private environment to save a chart, and answers in JSON; the usage
report lands in the local ledger."""

import json
import textwrap

import pytest

import velto_ai_sdk.api as api
import velto_ai_sdk.codetool as codetool
import velto_ai_sdk.sqltool as sqltool
from velto_ai_sdk.scripted_model import text_reply, tool_call_reply

QUESTION = "Which region earned the most, and can you chart revenue by region?"
ENGINE = "PostgreSQL"
INSTRUCTIONS = 'Keep the answer short. Shape: {"answer": "...", "sql_queries": []}'
QUERY = (
    "SELECT c.region, SUM(o.amount) AS revenue FROM orders o JOIN customers c ON c.id = o.customer_id"
    " GROUP BY c.region ORDER BY c.region"
)
OPENAI_KEY = "sk-velto-end-to-end"
PIECE_D = "\n            It is very important you follow all those instructions. I insist, It is very important you follow all those instructions"

SHOP = [
    "CREATE TABLE customers (id integer PRIMARY KEY, name text NOT NULL, region text NOT NULL)",
    "CREATE TABLE orders (id integer PRIMARY KEY, customer_id integer NOT NULL REFERENCES customers(id),"
    " amount numeric(10, 2) NOT NULL, ordered_on date NOT NULL)",
    "INSERT INTO customers VALUES (1, 'Ada', 'North'), (2, 'Grace', 'South'), (3, 'Linus', 'North')",
    "INSERT INTO orders VALUES (1, 1, 120.50, '2025-01-03'), (2, 2, 80.00, '2025-01-04'),"
    " (3, 3, 42.25, '2025-02-11'), (4, 2, 19.75, '2025-03-01')",
]

# Usage figures of the four replies: (prompt tokens, completion tokens).
USAGE = [(1500, 18), (1700, 40), (1850, 160), (2000, 90)]


def chart_code(media):
    return textwrap.dedent(f"""
        import os
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        regions = ["North", "South"]
        revenue = [162.75, 99.75]
        os.makedirs({str(media)!r}, exist_ok=True)
        plt.bar(regions, revenue)
        plt.title("Revenue by region")
        plt.ylabel("Revenue")
        path = os.path.join({str(media)!r}, "revenue_by_region.png")
        plt.savefig(path)
        print(path)
    """)


@pytest.fixture
def shop_database(postgresql_server, monkeypatch):
    url = postgresql_server.create_database("shop", SHOP)
    monkeypatch.setenv("VELTO_POSTGRES_URL", url)
    for name in ("VELTO_MYSQL_URL", "VELTO_MSSQL_URL", "VELTO_SQL_ALLOW_WRITES"):
        monkeypatch.delenv(name, raising=False)
    return url


@pytest.fixture
def local_account(tmp_path, monkeypatch):
    monkeypatch.delenv("VELTO_API_URL", raising=False)
    monkeypatch.delenv("VELTO_TEMPERATURE", raising=False)
    monkeypatch.setenv("VELTO_MODEL_NAME", "gpt-4o-mini")
    monkeypatch.setenv("VELTO_USAGE_DB", str(tmp_path / "usage.sqlite3"))


def expected_cost():
    from langchain_community.callbacks.openai_info import get_openai_token_cost_for_model

    return sum(
        get_openai_token_cost_for_model("gpt-4o-mini", prompt)
        + get_openai_token_cost_for_model("gpt-4o-mini", completion, is_completion=True)
        for prompt, completion in USAGE
    )


def test_one_question_end_to_end(
    shop_database, local_account, analysis_environment, scripted_chat_server, monkeypatch, tmp_path, capsys
):
    import velto_ai_sdk.agent as agent

    monkeypatch.setattr(codetool, "python_executable", analysis_environment.python)
    media = tmp_path / "media"
    chart = media / "revenue_by_region.png"
    answer = json.dumps({
        "answer": "North earned the most: 162.75.",
        "sql_queries": [QUERY],
        "python-code": chart_code(media),
        "image_url": str(chart),
    })
    replies = [
        tool_call_reply([("GetPostgresDatabaseSchema", {})], prompt_tokens=USAGE[0][0], completion_tokens=USAGE[0][1]),
        tool_call_reply([("ExecutePostgresSQLQuery", {"sql_query": QUERY})],
                        prompt_tokens=USAGE[1][0], completion_tokens=USAGE[1][1]),
        tool_call_reply([("ExecutePythonCode", {"code": chart_code(media)})],
                        prompt_tokens=USAGE[2][0], completion_tokens=USAGE[2][1]),
        text_reply(answer, prompt_tokens=USAGE[3][0], completion_tokens=USAGE[3][1]),
    ]
    server = scripted_chat_server(replies, env=True, api_key=OPENAI_KEY)
    monkeypatch.setenv("OPENAI_API_KEY", OPENAI_KEY)

    executor = agent.create_agent("account-key-1", str(media), ENGINE, INSTRUCTIONS)
    result = agent.run_agent(executor, "account-key-1", QUESTION)

    assert result == answer
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    out = capsys.readouterr().out
    assert out.startswith("LLM is Ready!\nAgent is Ready!\n")
    assert "Finished chain." in out

    bodies = server.chat_bodies
    assert len(bodies) == 4
    assert all(request.headers["Authorization"] == "Bearer " + OPENAI_KEY for request in server.requests)
    assert {body["model"] for body in bodies} == {"gpt-4o-mini"}

    # The first request: the system text and the question, and the seven tools.
    system, user = bodies[0]["messages"]
    text = system["content"]
    assert (system["role"], user) == ("system", {"role": "user", "content": QUESTION})
    assert len(text) == 4389 + len(ENGINE) + len(str(media)) + len(INSTRUCTIONS)
    assert text.startswith("You are a very powerful and honest assistant with specific tools.")
    assert "working with this engine " + ENGINE + ". You have  specific" in text
    assert "graph instead save it in " + str(media) + " - matplotlib code should" in text
    assert text.endswith(" " * 13 + INSTRUCTIONS + PIECE_D)
    tools = [tool["function"] for tool in bodies[0]["tools"]]
    assert [tool["name"] for tool in tools] == [
        "GetDatabaseSchema", "GetPostgresDatabaseSchema", "GetMsSQLDatabaseSchema", "ExecuteSQLQuery",
        "ExecutePythonCode", "ExecuteMsSQLQuery", "ExecutePostgresSQLQuery",
    ]
    by_name = {tool["name"]: tool for tool in tools}
    assert by_name["ExecutePythonCode"]["description"] == "Takes in  correct python code and executes it to give results."
    assert by_name["ExecutePostgresSQLQuery"]["parameters"] == {
        "type": "object",
        "properties": {"sql_query": {"description": "SQL query string to be executed", "type": "string"}},
        "required": ["sql_query"],
    }
    assert by_name["GetPostgresDatabaseSchema"]["parameters"]["properties"] == {}
    assert all(body["tools"] == bodies[0]["tools"] for body in bodies)

    # Each later request carries the previous tool's result back.
    observations = [body["messages"][-1] for body in bodies[1:]]
    assert [message["role"] for message in observations] == ["tool", "tool", "tool"]
    schema, rows, printed = (message["content"] for message in observations)
    assert schema == sqltool.get_pgdb_schema()
    assert "orders" in schema and "customers" in schema
    # the same rows; the last line names the result's own file
    again = sqltool.execute_pgdb_query(sql_query=QUERY)
    assert rows.splitlines()[:-1] == again.splitlines()[:-1] and rows != again
    assert rows.splitlines()[-1].startswith("File with all 2 rows: pandas.read_csv('")
    assert "North" in rows and "162.75" in rows
    assert printed == str(chart) + "\n"
    assert [len(body["messages"]) for body in bodies] == [2, 4, 6, 8]

    # One usage report, with LangChain's totals, in the local ledger.
    summary = api.usage_summary()
    assert summary["questions"] == 1
    assert summary["tokens"] == sum(prompt + completion for prompt, completion in USAGE)
    assert summary["cost"] == pytest.approx(expected_cost())
