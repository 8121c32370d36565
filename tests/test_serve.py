"""velto-ai serve as real server processes, against the scripted model
server, the test PostgreSQL and the real code environment: who may use it
(the token, cross-site requests, files scoped to their conversation), the
store (SQLite and PostgreSQL alike: restarts, a server killed mid-answer,
two processes on one store) and twenty conversations asking at once."""

import concurrent.futures
import http.client
import json
import os
import re
import signal
import statistics
import threading
import time
from urllib.parse import urlsplit

import pytest
import requests

from support.analyst_model import AnalystModel, chart_step, json_answer, last_tool_text, sql_step
from velto_ai_sdk.serve.access import cookie_name

SALES = [
    "CREATE TABLE sales (region text NOT NULL, amount numeric(10, 2) NOT NULL)",
    "INSERT INTO sales VALUES ('North', 120.50), ('South', 80.00), ('North', 42.25)",
]
REVENUE = "SELECT region, SUM(amount) AS revenue FROM sales GROUP BY region ORDER BY region"
NUMBER = re.compile(r"^What is (\d+) times seven\?$")


@pytest.fixture
def analyst(postgresql_server, sql_env, local_account, scripted_chat_server):
    """The model: a chart for "Chart ..." questions, a product for "What is
    N times seven?", an answer that waits for ``hold`` for "Hold on", and a
    short answer for anything else."""
    sql_env.set(VELTO_POSTGRES_URL=postgresql_server.create_database("serve", SALES))
    hold = threading.Event()

    def held(body):
        assert hold.wait(60)
        return json_answer("Late.")

    def plan(question):
        number = NUMBER.match(question)
        if number:
            product = lambda body: json_answer("%s times seven is %s." % (  # noqa: E731
                number.group(1), last_tool_text(body).splitlines()[1]))
            return [sql_step("SELECT %s * 7 AS product" % number.group(1)), product]
        if question.startswith("Chart"):
            return [sql_step(REVENUE), chart_step("revenue.png"), json_answer("North earned the most.")]
        if question == "Hold on":
            return [held]
        return [json_answer("You asked: " + question)]

    model = AnalystModel(plan)
    scripted_chat_server(model.script(), env=True)
    model.hold = hold
    yield model
    hold.set()


@pytest.fixture(params=["sqlite", "postgresql"])
def store(request, tmp_path):
    if request.param == "sqlite":
        return str(tmp_path / "chat.sqlite3")
    return request.getfixturevalue("postgresql_server").create_database("serve_store")


def raw_get(app, path, headers=()):
    """A request for `path` exactly as written: no client tidies its dots."""
    where = urlsplit(app.url)
    connection = http.client.HTTPConnection(where.hostname, where.port, timeout=30)
    try:
        headers = dict(headers)
        connection.putrequest("GET", path, skip_host="Host" in headers, skip_accept_encoding=True)
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def wait_running(app, conversation):
    """Until the conversation's last turn is being answered."""
    deadline = time.monotonic() + 30
    while app.conversation(conversation)["turns"][-1]["state"] != "running":
        assert time.monotonic() < deadline
        time.sleep(0.05)


def carried(model, question):
    (request, *_) = model.requests_for(question)
    return [(message["role"], message["content"]) for message in request["messages"][1:-1]]


def test_the_token_cross_site_requests_and_files_of_another_conversation(analyst, serve_app, tmp_path):
    app = serve_app(str(tmp_path / "chat.sqlite3"), host="0.0.0.0")
    assert app.token  # made and printed, since no VELTO_SERVE_TOKEN was set
    charted, turn = app.ask("Chart the revenue by region")
    done, _ = app.follow(charted, turn)
    (image,) = done["answer"]["images"]
    csv = done["answer"]["queries"][0]["csv"]["id"]
    other, turn = app.ask("Hello")
    app.follow(other, turn)
    events = "/api/conversations/%s/turns/%s/events" % (other, turn["id"])
    image_path = "/api/conversations/%s/files/%s" % (charted, image["id"])

    # Without the token (or with a wrong one), every route is refused.
    paths = ["/", "/static/app.js", "/static/style.css", "/api/about", "/api/conversations",
             "/api/conversations/" + charted, image_path, events, "/no/such/path"]
    wrong = [{}, {"Authorization": "Bearer not-the-token"}, {"Cookie": "%s=not-the-token" % cookie_name(app.token)},
             {"Cookie": "velto_serve=%s" % app.token[:-1]}]
    for path in paths:
        for headers in wrong:
            status, body = raw_get(app, path, headers)
            assert status == 401 and app.token.encode() not in body, (path, headers, status)
    anonymous = requests.Session()
    for method, path in [("POST", "api/conversations"), ("POST", "api/conversations/%s/questions" % charted),
                         ("DELETE", "api/conversations/" + other)]:
        refused = anonymous.request(method, app.url + path, json={"question": "Chart it"},
                                    headers={"Origin": app.url.rstrip("/")})
        assert refused.status_code == 401, (method, path)

    # The printed link trades the token for a cookie and leaves the address.
    linked = anonymous.get(app.url + "?token=" + app.token, allow_redirects=False)
    assert linked.status_code == 303 and linked.headers["location"] == "./"
    assert "HttpOnly" in linked.headers["set-cookie"] and "SameSite=lax" in linked.headers["set-cookie"]
    page = anonymous.get(app.url)
    assert page.status_code == 200 and "static/app.js" in page.text
    assert "script-src 'self';" in page.headers["content-security-policy"]
    assert anonymous.get(app.url + "api/conversations").status_code == 200

    # Requests that change something, from another site, are refused.
    before = app.call("GET", "api/conversations").json()
    for method, path, options in [
            ("POST", "api/conversations", {"json": {"question": "Hi"}, "headers": {"Origin": "http://evil.example"}}),
            ("POST", "api/conversations", {"json": {"question": "Hi"}, "headers": {"Origin": "null"}}),
            ("POST", "api/conversations", {"json": {"question": "Hi"}, "headers": {"Sec-Fetch-Site": "cross-site"}}),
            ("POST", "api/conversations", {"data": '{"question": "Hi"}', "headers": {"Content-Type": "text/plain"}}),
            ("POST", "api/conversations", {"data": "question=Hi", "headers": {
                "Content-Type": "application/x-www-form-urlencoded"}}),
            ("DELETE", "api/conversations/" + other, {"headers": {"Origin": "http://evil.example"}})]:
        refused = anonymous.request(method, app.url + path, **options)
        assert refused.status_code in (403, 415), (method, path, options, refused.status_code)
    assert app.call("GET", "api/conversations").json() == before

    # Files only by their id, and only in their own conversation.
    shown = app.call("GET", image_path)
    assert shown.status_code == 200 and shown.headers["content-type"] == "image/png"
    assert shown.content.startswith(b"\x89PNG") and shown.headers["x-content-type-options"] == "nosniff"
    assert app.call("GET", "/api/conversations/%s/files/%s" % (charted, csv)).text.startswith("region,revenue")
    bearer = {"Authorization": "Bearer " + app.token}
    for path in ["/api/conversations/%s/files/%s" % (other, image["id"]),
                 "/api/conversations/%s/files/%s" % (other, csv),
                 "/api/conversations/%s/files/%s" % (charted, "0" * 32),
                 "/api/conversations/%s/files/revenue.png" % charted,
                 "/api/conversations/%s/files/../../../../etc/passwd" % charted,
                 "/api/conversations/%s/files/%%2e%%2e%%2f%%2e%%2e%%2fetc%%2fpasswd" % charted,
                 "/static/../store.py", "/static/%2e%2e/store.py", "/static/..%2fstore.py",
                 "/api/conversations/%s/files/%s" % ("../" + charted, image["id"])]:
        status, body = raw_get(app, path, bearer)
        assert status == 404 and b"PNG" not in body and b"import" not in body, (path, status)

    # Questions are bounded, and refused in words.
    too_long = app.call("POST", "api/conversations", json={"question": "x" * 10001})
    assert too_long.status_code == 422 and "at most 10000" in too_long.json()["error"]
    huge = app.call("POST", "api/conversations", data=b'{"question": "' + b"x" * 100000 + b'"}',
                    headers={"Content-Type": "application/json", "Origin": app.url.rstrip("/")})
    assert huge.status_code == 413 and "too long" in huge.json()["error"]
    assert app.call("POST", "api/conversations", json={"question": "  "}).status_code == 422
    assert app.call("GET", "api/conversations").json() == before


def read_events(response, count):
    """The next `count` events of a server-sent event stream, as (id, event, data)."""
    found, fields = [], {}
    for line in response.iter_lines(decode_unicode=True):
        if line:
            name, _, value = line.partition(": ")
            fields[name] = value
            continue
        if "event" in fields:
            found.append((fields.get("id"), fields["event"], json.loads(fields["data"])))
            if len(found) == count:
                return found
        fields = {}
    raise AssertionError("the stream ended after %r" % found)


def test_a_page_that_comes_back_mid_answer_and_questions_asked_at_once(analyst, serve_app, tmp_path):
    app = serve_app(str(tmp_path / "chat.sqlite3"))
    conversation, turn = app.ask("Hold on")
    path = "api/conversations/%s/turns/%s/events" % (conversation, turn["id"])

    # While the answer is made, a page that opens the stream sees the
    # progress so far; one that comes back sees only what it missed.
    with app.call("GET", path, stream=True) as stream:
        assert [(seen[0], seen[2]["activity"]) for seen in read_events(stream, 2)] == [
            ("1", "Starting"), ("2", "Thinking")]
    with app.call("GET", path, stream=True, headers={"Last-Event-ID": "1"}) as stream:
        assert [seen[0] for seen in read_events(stream, 1)] == ["2"]

    # The turn is found under its own conversation only.
    other, hello = app.ask("Hello")
    app.follow(other, hello)
    assert app.call("GET", "api/conversations/%s/turns/%s/events" % (other, turn["id"])).status_code == 404

    # The same conversation asked twice at once: one question is taken.
    start = threading.Barrier(2)

    def ask(question):
        start.wait()
        return app.call("POST", "api/conversations/%s/questions" % other, json={"question": question})

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        answers = list(pool.map(ask, ["First?", "Second?"]))
    assert sorted(answer.status_code for answer in answers) == [202, 409]
    (taken,) = [answer.json()["turn"] for answer in answers if answer.status_code == 202]
    assert app.follow(other, taken)[0]["state"] == "done"
    assert [turn["question"] for turn in app.conversation(other)["turns"]] == ["Hello", taken["question"]]
    nowhere = app.call("POST", "api/conversations/%s/questions" % ("0" * 32), json={"question": "Anyone?"})
    assert nowhere.status_code == 404 and nowhere.json()["error"] == "no such conversation or file"

    analyst.hold.set()
    with app.call("GET", path, stream=True, headers={"Last-Event-ID": "2"}) as stream:
        (last,) = read_events(stream, 1)
    assert last[1] == "turn" and last[2]["answer"]["html"] == "<p>Late.</p>\n"


def test_the_store_keeps_every_turn_across_restarts(analyst, serve_app, store):
    app = serve_app(store)
    conversation, turn = app.ask("Chart the revenue by region")
    first, progress = app.follow(conversation, turn)
    assert first["state"] == "done" and first["answer"]["error"] is None
    assert any((shown["step"] or {}).get("summary", "").startswith("2 rows") for shown in progress)
    image = app.call("GET", "api/conversations/%s/files/%s" % (conversation, first["answer"]["images"][0]["id"]))
    conversation, turn = app.ask("And by month?", conversation)
    second, _ = app.follow(conversation, turn)
    assert carried(analyst, "And by month?")[0] == ("user", "Chart the revenue by region")

    # On loopback without a token, only loopback host names are answered.
    port = urlsplit(app.url).port
    assert raw_get(app, "/api/conversations", {"Host": "evil.example:%d" % port})[0] == 403
    assert raw_get(app, "/api/conversations", {"Host": "localhost:%d" % port})[0] == 200

    app.stop()  # SIGTERM
    app = serve_app(store)
    kept = app.conversation(conversation)
    assert [turn["answer"] for turn in kept["turns"]] == [first["answer"], second["answer"]]
    again = app.call("GET", "api/conversations/%s/files/%s" % (conversation, first["answer"]["images"][0]["id"]))
    assert again.content == image.content

    # Killed while answering: the finished turns are there, the one it was
    # answering is marked interrupted, and the conversation goes on.
    conversation, held = app.ask("Hold on", conversation)
    wait_running(app, conversation)
    app.stop(signal.SIGKILL)
    app = serve_app(store)
    kept = app.conversation(conversation)
    assert [turn["state"] for turn in kept["turns"]] == ["done", "done", "interrupted"]
    assert "stopped before it was done" in kept["turns"][2]["error"]
    assert not kept["busy"]
    conversation, turn = app.ask("What did I ask first?", conversation)
    fourth, _ = app.follow(conversation, turn)
    assert fourth["answer"]["html"] == "<p>You asked: What did I ask first?</p>\n"
    assert [role for role, _ in carried(analyst, "What did I ask first?")] == ["user", "assistant"] * 2
    listed = app.call("GET", "api/conversations").json()
    assert [(entry["id"], entry["turns"]) for entry in listed] == [(conversation, 4)]

    # A process answering the questions killed: its question is marked
    # interrupted with the reason, and the next one is answered.
    conversation, held = app.ask("Hold on", conversation)
    wait_running(app, conversation)
    workers = app.workers()
    assert workers
    web = os.getpriority(os.PRIO_PROCESS, app.process.pid)
    assert all(os.getpriority(os.PRIO_PROCESS, pid) > web for pid in workers)  # the pages come first
    assert sorted(pid for pid, _ in app.children()) == sorted(workers)  # the code runs in the workers only
    for pid in workers:
        os.kill(pid, signal.SIGKILL)
    lost, _ = app.follow(conversation, held)
    assert lost["state"] == "interrupted" and "stopped (killed by signal 9)" in lost["error"], lost
    conversation, turn = app.ask("Are you back?", conversation)
    assert app.follow(conversation, turn)[0]["answer"]["html"] == "<p>You asked: Are you back?</p>\n"

    assert app.call("DELETE", "api/conversations/" + conversation, headers={"Origin": app.url.rstrip("/")}
                    ).status_code == 204
    assert app.call("GET", "api/conversations/" + conversation).status_code == 404
    assert app.call("GET", "api/conversations").json() == []


def test_two_server_processes_share_one_postgresql_store(analyst, serve_app, postgresql_server):
    store = postgresql_server.create_database("serve_shared_store")
    one, two = serve_app(store), serve_app(store)
    conversation, turn = one.ask("Chart the revenue by region")
    done, progress = two.follow(conversation, turn)  # answered by one, followed through two
    assert done["state"] == "done" and progress
    (image,) = done["answer"]["images"]
    path = "api/conversations/%s/files/%s" % (conversation, image["id"])
    assert one.call("GET", path).content == two.call("GET", path).content
    assert one.call("GET", path).content.startswith(b"\x89PNG")

    conversation, turn = two.ask("And by month?", conversation)  # a follow-up through the other
    two.follow(conversation, turn)
    assert carried(analyst, "And by month?") == [("user", "Chart the revenue by region"),
                                                  ("assistant", '{"answer": "North earned the most."}')]
    assert [turn["state"] for turn in one.conversation(conversation)["turns"]] == ["done", "done"]
    assert one.call("GET", "api/conversations").json() == two.call("GET", "api/conversations").json()
    busy = one.ask("Hold on", conversation)[1]
    refused = two.call("POST", "api/conversations/%s/questions" % conversation, json={"question": "Again?"})
    assert refused.status_code == 409 and "still answering" in refused.json()["error"]
    analyst.hold.set()
    assert one.follow(conversation, busy)[0]["state"] == "done"


def test_twenty_conversations_asking_at_once(analyst, serve_app, tmp_path, capsys):
    """Each conversation asks a question and a follow-up, four answered at once."""
    app = serve_app(str(tmp_path / "chat.sqlite3"), VELTO_SERVE_MAX_RUNNING="4")
    analyst.delay = 0.02  # so that questions overlap
    results = {}

    def ask(number):
        """A question, then the same again as a follow-up (timed: its agent is built)."""
        question = "What is %d times seven?" % number
        conversation, turn = app.ask(question)
        first, progress = app.follow(conversation, turn)
        started = time.perf_counter()
        conversation, turn = app.ask(question, conversation)
        done, more = app.follow(conversation, turn)
        results[number] = (time.perf_counter() - started, conversation, (first, done), progress + more)

    threads = [threading.Thread(target=ask, args=(number,)) for number in range(20)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert sorted(results) == list(range(20))

    for number, (_, conversation, turns, progress) in results.items():
        for done in turns:
            assert done["state"] == "done"
            assert done["answer"]["html"] == "<p>%d times seven is %d.</p>\n" % (number, number * 7)
            assert done["answer"]["queries"][0]["sql"] == "SELECT %d * 7 AS product" % number
        stored = app.conversation(conversation)["turns"]
        assert [(turn["question"], turn["answer"]) for turn in stored] == [
            (done["question"], done["answer"]) for done in turns]
    assert len(app.call("GET", "api/conversations").json()) == 20
    assert analyst.most_at_once == 4  # the limit held, and was reached
    waited = [shown["queued"] for _, _, _, progress in results.values() for shown in progress if "queued" in shown]
    assert waited and max(waited) > 0  # places in line were shown

    overhead = sorted(seconds - done["answer"]["seconds"] - (done["started"] - done["created"])
                      for seconds, _, (_, done), _ in results.values())
    with capsys.disabled():
        print("\nserver overhead per follow-up question (from the request to the answer on the page, less "
              "the answer's own seconds and its time in line): p50 %.1f ms, p95 %.1f ms"
              % (1000 * statistics.median(overhead), 1000 * overhead[int(0.95 * len(overhead)) - 1]))
