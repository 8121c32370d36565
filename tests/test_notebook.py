"""An answer in a notebook run by a real kernel: its HTML holds the answer,
the SQL, the rows as a table and the chart inline, with every piece of the
model's and the database's text escaped; nothing else reaches the cell."""

import json
import textwrap

import pytest

from velto_ai_sdk.scripted_model import text_reply, tool_call_reply

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")

HOSTILE = "<img src=x onerror=alert(1)>"
SALES = [
    "CREATE TABLE sales (region text NOT NULL, amount numeric(10, 2) NOT NULL, note text)",
    "INSERT INTO sales VALUES ('North', 120.50, NULL), ('South', 80.00, '%s')" % HOSTILE,
]
QUERY = "SELECT region, note FROM sales ORDER BY amount DESC"


def chart(media):
    return textwrap.dedent(f"""
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        plt.bar(["North", "South"], [120.5, 80.0])
        plt.savefig({str(media / "sales.png")!r})
    """)


def test_an_answer_shows_itself_escaped(postgresql_server, sql_env, local_account, analysis_environment,
                                        scripted_chat_server, tmp_path):
    sql_env.set(VELTO_POSTGRES_URL=postgresql_server.create_database("notebook", SALES))
    media = tmp_path / "media"
    answer = json.dumps({"answer": "South wrote <script>alert('answer')</script> in its note."})
    scripted_chat_server([
        tool_call_reply([("ExecutePostgresSQLQuery", {"sql_query": QUERY})]),
        tool_call_reply([("ExecutePythonCode", {"code": chart(media)})]),
        text_reply(answer),
    ], env=True)
    notebook = nbformat.v4.new_notebook(cells=[
        nbformat.v4.new_code_cell("import velto_ai_sdk\nfrom velto_ai_sdk import codetool\n"
                                  "codetool.python_executable = %r" % analysis_environment.python),
        nbformat.v4.new_code_cell("talk = velto_ai_sdk.Conversation('account-1', %r, 'PostgreSQL')" % str(media)),
        nbformat.v4.new_code_cell("talk.ask('What do the notes say?')"),
    ])
    nbclient.NotebookClient(notebook, timeout=120, kernel_name="python3").execute()

    setup, created, asked = (cell.outputs for cell in notebook.cells)
    assert setup == [] and created == []  # no "LLM is Ready!", no trace
    (shown,) = asked
    assert shown.output_type == "execute_result"
    html = shown.data["text/html"]
    assert "South wrote &lt;script&gt;alert(&#x27;answer&#x27;)&lt;/script&gt; in its note." in html
    assert ">&lt;img src=x onerror=alert(1)&gt;</td>" in html
    assert "<script" not in html and "<img src=x" not in html and "onerror=alert(1)>" not in html
    assert "<details><summary>SQL 1" in html and QUERY in html
    assert ">region</th><th " in html and ">note</th></tr>" in html and "(2 rows)" in html
    assert '<img src="data:image/png;base64,iVBORw0KGgo' in html
    assert shown.data["text/plain"].startswith("<Answer ok: ")
