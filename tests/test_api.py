"""The account-service client against a real HTTP server on loopback and a real SQLite ledger."""

import collections
import contextlib
import email.utils
import json
import os
import signal
import sqlite3
import stat
import subprocess
import sys
import threading
import time
from fractions import Fraction
from pathlib import Path

import pytest

from support.account_service import LOST, Scripted, drip, flood, retry_after
from support.child import run_python
from velto_ai_sdk import api, settings
from velto_ai_sdk.api import ledger as ledger_format

KEY = "vk-test-5ecret"
SRC = str(Path(__file__).resolve().parents[1] / "src")


@pytest.fixture(autouse=True)
def env(monkeypatch, tmp_path):
    for name in list(os.environ):
        if name.startswith("VELTO_") or name in ("OPENAI_API_KEY", "XDG_DATA_HOME"):
            monkeypatch.delenv(name)
    monkeypatch.setenv("VELTO_USAGE_DB", str(tmp_path / "data" / "usage.sqlite3"))
    monkeypatch.setenv("VELTO_API_TIMEOUT", "1")
    monkeypatch.setenv("VELTO_API_BACKOFF", "0")
    return monkeypatch


def ledger():
    """A connection to the ledger file, closed afterwards (sqlite3's own with only commits)."""
    conn = sqlite3.connect(os.environ["VELTO_USAGE_DB"], isolation_level=None)
    return contextlib.closing(conn)


def ledger_rows():
    with ledger() as conn:
        return conn.execute(
            "SELECT mode, question, tokens, cost, sent_at IS NOT NULL FROM usage ORDER BY id").fetchall()


@pytest.mark.parametrize("failures", [[], [500], [502, 503], [429], [LOST]])
def test_settings_come_from_the_service_despite_passing_failures(env, account_service, failures):
    env.setenv("VELTO_API_URL", account_service.url + "/")
    account_service.settings["temperature"] = None  # unset on the service: the caller's default applies
    account_service.fail_next("/v1/settings", *failures)
    settings = api.VeltoAPIHandler(velto_api_key=KEY + "\n").get_openai_data()
    assert settings == {"model_name": "gpt-4o-mini", "api_key": "sk-from-service"}
    assert [(m, p, h["Authorization"]) for m, p, h in account_service.requests] == \
        [("GET", "/v1/settings", "Bearer " + KEY)] * (len(failures) + 1)


@pytest.mark.parametrize("setup, error", [
    (lambda s: s.keys.discard(KEY), api.VeltoAuthenticationError),
    (lambda s: s.forbidden.add(KEY), api.VeltoAuthenticationError),
    (lambda s: s.fail_next("/v1/settings", 500, 500, 500), api.VeltoServiceUnavailableError),
    (lambda s: s.fail_next("/v1/settings", 400), api.VeltoAPIError),
    (lambda s: setattr(s, "settings_body", b"<html>"), api.VeltoAPIError),
    (lambda s: setattr(s, "settings_body", b"[1, 2]"), api.VeltoAPIError),
    (lambda s: s.settings.update(model_name=""), api.VeltoAPIError),
    (lambda s: s.settings.update(temperature="warm"), api.VeltoAPIError),
    (lambda s: s.settings.update(temperature=True), api.VeltoAPIError),
    # The agent would build a model from whatever its host has: never an empty answer.
    (lambda s: setattr(s, "settings_body", b"{}"), api.VeltoAPIError),
    (lambda s: s.settings.pop("api_key"), api.VeltoAPIError),
    (lambda s: s.settings.update(model_name=None), api.VeltoAPIError),
    (lambda s: setattr(s, "settings_body", b"[" * 100000), api.VeltoAPIError),
    # Neither a redirect nor a compressed body is read: either would slip past the size cap.
    (lambda s: s.fail_next("/v1/settings", Scripted(302, {"Location": "http://127.0.0.1:9/"})), api.VeltoAPIError),
    (lambda s: s.fail_next("/v1/settings", Scripted(200, {"Content-Encoding": "gzip"})), api.VeltoAPIError),
])
def test_settings_failures_raise_clear_errors_without_the_key(env, account_service, setup, error):
    env.setenv("VELTO_API_URL", account_service.url)
    env.setenv("VELTO_API_RETRIES", "2")
    setup(account_service)
    with pytest.raises(error) as caught:
        api.VeltoAPIHandler(velto_api_key=KEY).get_openai_data()
    assert KEY not in str(caught.value)
    if error is api.VeltoAuthenticationError:
        assert "account" in str(caught.value) and "velto_api_key" in str(caught.value)
        assert len(account_service.requests) == 1  # a refusal is not retried


def test_settings_from_a_service_that_is_down(env, dead_service_url):
    env.setenv("VELTO_API_URL", dead_service_url)
    with pytest.raises(api.VeltoServiceUnavailableError, match="VELTO_API_URL"):
        api.VeltoAPIHandler(velto_api_key=KEY).get_openai_data()


@pytest.mark.parametrize("environment, expected", [
    ({"OPENAI_API_KEY": "sk-1"}, {"model_name": "gpt-4o-mini", "api_key": "sk-1"}),
    ({"OPENAI_API_KEY": "sk-1", "VELTO_TEMPERATURE": " "}, {"model_name": "gpt-4o-mini", "api_key": "sk-1"}),
    ({"OPENAI_API_KEY": "sk-1", "VELTO_MODEL_NAME": "gpt-4o", "VELTO_TEMPERATURE": "0"},
     {"model_name": "gpt-4o", "api_key": "sk-1", "temperature": 0.0}),
    ({}, "OPENAI_API_KEY"),
    ({"OPENAI_API_KEY": "sk-1", "VELTO_TEMPERATURE": "warm"}, "VELTO_TEMPERATURE"),
    ({"OPENAI_API_KEY": "sk-1", "VELTO_TEMPERATURE": "nan"}, "VELTO_TEMPERATURE"),
    ({"VELTO_API_URL": "localhost:8080"}, "VELTO_API_URL"),
    ({"OPENAI_API_KEY": "sk-1", "VELTO_TEMPERATURE": "2.5"}, "VELTO_TEMPERATURE must be a number from 0 to 2,"),
    ({"VELTO_API_URL": "localhost:8080"}, "VELTO_API_URL"),
    ({"VELTO_API_URL": "http://h", "VELTO_API_TIMEOUT": "0"},
     "^VELTO_API_TIMEOUT must be a number from 0.1 to 300 seconds, not '0'$"),
    ({"VELTO_API_URL": "http://h", "VELTO_API_TIMEOUT": "301"}, "VELTO_API_TIMEOUT"),
    ({"VELTO_API_URL": "http://h", "VELTO_API_RETRIES": "11"}, "VELTO_API_RETRIES must be a whole number from 0 to 10"),
    ({"VELTO_API_URL": "http://h", "VELTO_API_BACKOFF": "31"}, "VELTO_API_BACKOFF"),
])
def test_settings_from_the_environment(env, environment, expected):
    for name, value in environment.items():
        env.setenv(name, value)
    handler = api.VeltoAPIHandler(velto_api_key=KEY)
    if isinstance(expected, dict):
        assert handler.get_openai_data() == expected
    else:
        with pytest.raises(api.VeltoConfigError, match=expected) as caught:
            handler.get_openai_data()
        assert isinstance(caught.value, settings.SettingError)  # the one rule for every module


@pytest.mark.parametrize("args, error", [
    ((None, "q", 1, 0.1), TypeError), (("", "q", 1, 0.1), ValueError),
    ((" \n", "q", 1, 0.1), ValueError), (("a b", "q", 1, 0.1), ValueError),
    ((KEY, b"q", 1, 0.1), TypeError), ((KEY, "q", True, 0.1), TypeError),
    ((KEY, "q", 1.0, 0.1), TypeError), ((KEY, "q", -1, 0.1), ValueError),
    ((KEY, "q", 1, "0.1"), TypeError), ((KEY, "q", 1, False), TypeError),
    ((KEY, "q", 1, -0.01), ValueError), ((KEY, "q", 1, float("inf")), ValueError),
])
def test_bad_arguments_raise_before_anything_happens(env, account_service, args, error):
    env.setenv("VELTO_API_URL", account_service.url)
    with pytest.raises(error):
        api.send_user_question(*args)
    assert not account_service.requests and not Path(os.environ["VELTO_USAGE_DB"]).exists()


@pytest.mark.parametrize("failures", [[], [503], [LOST, LOST]])
def test_report_is_sent_once_and_marked_sent(env, account_service, failures):
    env.setenv("VELTO_API_URL", account_service.url)
    account_service.fail_next("/v1/usage", *failures)
    assert api.send_user_question(KEY, "How many users?", 120, Fraction(3, 4)) == api.SENT
    assert account_service.reports == [{"question": "How many users?", "tokens": 120, "cost": 0.75}]
    assert ledger_rows() == [("service", "How many users?", 120, 0.75, 1)]


@pytest.mark.parametrize("outage", ["down", "failing", "answers lost", "suspended", "misconfigured"])
def test_undelivered_reports_are_kept_and_flushed_later(
        env, account_service, dead_service_url, outage, caplog):
    env.setenv("VELTO_API_URL", dead_service_url if outage == "down" else account_service.url)
    env.setenv("VELTO_API_RETRIES", "many" if outage == "misconfigured" else "1")
    if outage == "failing":
        account_service.fail_next("/v1/usage", *[500] * 4)
    elif outage == "answers lost":  # the service took them, but no answer came back
        env.setenv("VELTO_API_TIMEOUT", "0.2")
        account_service.fail_next("/v1/usage", *[LOST] * 4)
    elif outage == "suspended":
        account_service.forbidden.add(KEY)
    assert [api.send_user_question(KEY, q, 10, 0.5) for q in ("first", "second")] == [api.QUEUED] * 2
    assert api.usage_summary()["unsent"] == 2
    assert KEY not in caplog.text and KEY.encode() not in Path(os.environ["VELTO_USAGE_DB"]).read_bytes()

    env.setenv("VELTO_API_URL", account_service.url)
    env.setenv("VELTO_API_TIMEOUT", "1")
    env.setenv("VELTO_API_RETRIES", "1")
    account_service.forbidden.clear()
    account_service.keys.add("vk-other")
    assert api.flush_usage("vk-other") == 0  # another account's reports are not its to send
    env.setenv("VELTO_API_KEY", KEY)
    assert api.flush_usage() == 2
    assert api.flush_usage(KEY) == 0
    assert [r["question"] for r in account_service.reports] == ["first", "second"]
    assert ledger_rows() == [("service", "first", 10, 0.5, 1), ("service", "second", 10, 0.5, 1)]


@pytest.mark.parametrize("outage, outcome", [("failing", 0), ("suspended", api.VeltoAuthenticationError)])
def test_flush_keeps_reports_when_the_service_still_fails(
        env, account_service, dead_service_url, outage, outcome):
    env.setenv("VELTO_API_URL", dead_service_url)
    env.setenv("VELTO_API_RETRIES", "2")
    api.send_user_question(KEY, "q1", 1, 0.0)
    api.send_user_question(KEY, "q2", 1, 0.0)
    env.setenv("VELTO_API_URL", account_service.url)
    if outage == "failing":
        account_service.fail_next("/v1/usage", *[500] * 6)
        assert api.flush_usage(KEY) == 0
    else:
        account_service.forbidden.add(KEY)
        with pytest.raises(outcome):
            api.flush_usage(KEY)
    # It gives up at the first report: the second would meet the same service.
    assert len(account_service.requests) == (3 if outage == "failing" else 1)
    assert api.usage_summary()["unsent"] == 2 and not account_service.reports


def test_local_mode_keeps_a_private_ledger_and_sums_it(env, tmp_path):
    summary = api.usage_summary()
    assert (summary["questions"], summary["unsent"]) == (0, 0)
    assert not (tmp_path / "data").exists()  # reading creates nothing
    assert api.send_user_question(KEY, "a", 100, 0.25) == api.RECORDED
    assert api.send_user_question(KEY, "b", 0, 0) == api.RECORDED
    assert ledger_rows() == [("local", "a", 100, 0.25, 0), ("local", "b", 0, 0.0, 0)]
    assert {k: v for k, v in api.usage_summary().items() if k != "ledger"} == \
        {"questions": 2, "tokens": 100, "cost": 0.25, "unsent": 0, "replays": 0}
    env.setenv("VELTO_API_URL", "http://127.0.0.1:9")
    assert api.flush_usage(KEY) == 0  # local reports were never meant for a service
    assert stat.S_IMODE(os.stat(os.environ["VELTO_USAGE_DB"]).st_mode) == 0o600


@pytest.mark.parametrize("service_mode", [False, True])
def test_a_replayed_question_is_counted_free_and_never_sent(env, account_service, service_mode):
    if service_mode:
        env.setenv("VELTO_API_URL", account_service.url)
    with api.replayed_session():
        assert api.send_user_question(KEY, "replayed", 1500, 0.25) == api.RECORDED
    assert api.send_user_question(KEY, "asked", 100, 0.5) == (api.SENT if service_mode else api.RECORDED)
    with ledger() as conn:
        rows = conn.execute("SELECT question, tokens, cost, mode, replay FROM usage ORDER BY id").fetchall()
    assert rows == [("replayed", 1500, 0.0, "local", 1), ("asked", 100, 0.5, "service" if service_mode else "local", 0)]
    assert [report["question"] for report in account_service.reports] == (["asked"] if service_mode else [])
    summary = api.usage_summary()
    assert (summary["questions"], summary["tokens"], summary["cost"], summary["replays"]) == (2, 1600, 0.5, 1)


@pytest.mark.parametrize("service_mode, outcome", [(False, api.LOST), (True, api.SENT)])
def test_an_unwritable_ledger_never_raises(env, account_service, tmp_path, service_mode, outcome):
    (tmp_path / "file").write_text("")
    env.setenv("VELTO_USAGE_DB", str(tmp_path / "file" / "usage.sqlite3"))
    if service_mode:
        env.setenv("VELTO_API_URL", account_service.url)
    assert api.send_user_question(KEY, "q", 1, 0.1) == outcome


@pytest.mark.parametrize("xdg, expected", [
    ("/xdg", "/xdg/velto_ai_sdk/usage.sqlite3"),
    ("relative", "HOME/.local/share/velto_ai_sdk/usage.sqlite3"),
    (None, "HOME/.local/share/velto_ai_sdk/usage.sqlite3"),
])
def test_default_ledger_location(env, tmp_path, xdg, expected):
    env.delenv("VELTO_USAGE_DB")
    env.setenv("HOME", str(tmp_path))
    if xdg:
        env.setenv("XDG_DATA_HOME", xdg)
    assert api.usage_summary()["ledger"] == expected.replace("HOME", str(tmp_path))


def test_import_is_quiet_and_concurrent_processes_lose_no_rows(tmp_path):
    child_env = dict(os.environ, PYTHONPATH=SRC, HOME=str(tmp_path / "home"))
    child_env.pop("VELTO_USAGE_DB")
    probe = "import sys, velto_ai_sdk.api; print('requests' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", probe], env=child_env,
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False" and not (tmp_path / "home").exists()

    go = tmp_path / "go"
    writer = ("import os\nfrom velto_ai_sdk import api\nprint(flush=True)\n"
              f"while not os.path.exists({str(go)!r}): pass\n"
              "for i in range(50): assert api.send_user_question('k', str(i), i, 0.5) == api.RECORDED")
    child_env["VELTO_USAGE_DB"] = os.environ["VELTO_USAGE_DB"]  # a fresh file: all may create it at once
    children = [subprocess.Popen([sys.executable, "-c", writer], env=child_env, stdout=subprocess.PIPE)
                for _ in range(4)]
    for child in children:
        child.stdout.readline()  # started and imported
    go.touch()
    assert [child.wait() for child in children] == [0] * 4
    for child in children:
        child.stdout.close()
    summary = api.usage_summary()
    assert (summary["questions"], summary["tokens"], summary["cost"]) == (200, 4 * sum(range(50)), 100.0)


# --- a service that misbehaves -------------------------------------------------------

GRACE = 1.0  # seconds a cut-off exchange may take to end after its deadline


def posts_per_key(service):
    return collections.Counter(h["Idempotency-Key"] for m, p, h in service.requests if m == "POST")


def settles_to(expected, measure, within=5.0):
    """Whether measure() comes back to expected or less: the service's side of a
    cut-off connection ends when it next writes."""
    deadline = time.monotonic() + within
    while measure() > expected and time.monotonic() < deadline:
        time.sleep(0.02)
    return measure() <= expected


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("part", ["head", "body"])
@pytest.mark.parametrize("call", ["settings", "report"])
def test_a_dripping_service_is_cut_off_at_the_deadline(env, account_service, part, call):
    env.setenv("VELTO_API_URL", account_service.url)
    env.setenv("VELTO_API_TIMEOUT", "0.5")
    env.setenv("VELTO_API_RETRIES", "1")  # a bound of 1 s in all; the answers would take 10 s and more
    path = "/v1/settings" if call == "settings" else "/v1/usage"
    account_service.fail_next(path, drip(part, every=0.1), drip(part, every=0.1))
    descriptors, threads = open_descriptors(), threading.active_count()
    started = time.monotonic()
    if call == "settings":
        with pytest.raises(api.VeltoServiceUnavailableError, match="no complete answer within"):
            api.VeltoAPIHandler(velto_api_key=KEY).get_openai_data()
    else:
        assert api.send_user_question(KEY, "q", 1, 0.5) == api.QUEUED
    assert 1.0 <= time.monotonic() - started < 1.0 + GRACE
    assert len(account_service.requests) == 2
    assert not [t for t in threading.enumerate() if t.name == "velto-api-deadline"]
    assert settles_to(threads, threading.active_count) and settles_to(descriptors, open_descriptors)
    if call == "report":
        # Kept unsent and free to flush at once; the service took it while it dripped, and
        # drops the second post by its Idempotency-Key.
        assert ledger_rows() == [("service", "q", 1, 0.5, 0)]
        assert api.flush_usage(KEY) == 1
        assert len(account_service.reports) == 1 and list(posts_per_key(account_service).values()) == [3]


GROWTH_IN_A_CHILD = """
    import json, resource
    from velto_ai_sdk import api
    handler = api.VeltoAPIHandler(velto_api_key=%r)
    handler.get_openai_data()  # everything imported and made once
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        handler.get_openai_data()
        error = None
    except api.VeltoAPIError as exc:
        error = str(exc)
    growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(json.dumps({"error": error, "growth_kb": growth}))
"""


@pytest.mark.parametrize("announce", [True, False], ids=["announced", "unannounced"])
def test_an_oversized_answer_is_refused_with_memory_bounded(env, account_service, announce):
    env.setenv("VELTO_API_URL", account_service.url)
    account_service.fail_next("/v1/settings", 200, flood(300 << 20, announce=announce))
    out = json.loads(run_python(GROWTH_IN_A_CHILD % KEY, env=dict(os.environ, PYTHONPATH=SRC)))
    assert "more than the 1048576" in out["error"]
    assert out["growth_kb"] < 16 * 1024
    assert len(account_service.requests) == 2  # refused, not retried: it would only come again


@pytest.mark.parametrize("asked, honoured", [
    ("1", True),
    (lambda: email.utils.formatdate(time.time() + 2, usegmt=True), True),
    ("60", False),
])
def test_retry_after_is_honoured_when_it_fits_in_the_call(env, account_service, asked, honoured):
    env.setenv("VELTO_API_URL", account_service.url)
    env.setenv("VELTO_API_RETRIES", "3")  # a bound of 4 s: a wait of 2 s and an attempt of 1 s fit
    value = asked() if callable(asked) else asked
    account_service.fail_next("/v1/settings", retry_after(value))
    asked_seconds = float(value) if value.isdigit() else 1.0  # an HTTP date has whole seconds
    handler = api.VeltoAPIHandler(velto_api_key=KEY)
    if honoured:
        assert handler.get_openai_data()["api_key"] == "sk-from-service"
        first, second = account_service.arrivals
        assert second - first >= asked_seconds - 0.05
    else:
        with pytest.raises(api.VeltoServiceUnavailableError, match=r"asked to be retried in 60 s \(at 20"):
            handler.get_openai_data()
        assert len(account_service.requests) == 1  # given up at once


# --- claimed reports -------------------------------------------------------------------

FLUSH_IN_A_CHILD = """
    import os, sys, time
    from velto_ai_sdk import api
    print(flush=True)
    while not os.path.exists(sys.argv[1]):
        time.sleep(0.005)
    print(api.flush_usage(%r))
"""


def unsent_reports(env, dead_service_url, count):
    env.setenv("VELTO_API_URL", dead_service_url)
    env.setenv("VELTO_API_RETRIES", "0")
    assert {api.send_user_question(KEY, "q%d" % i, i, 0.25) for i in range(count)} == {api.QUEUED}


def flush_in_threads(flushes):
    results = []
    start = threading.Barrier(flushes)

    def flush():
        start.wait()
        results.append(api.flush_usage(KEY))

    threads = [threading.Thread(target=flush) for _ in range(flushes)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def flush_in_processes(flushes, tmp_path):
    go = tmp_path / "go"
    code = "import textwrap; exec(textwrap.dedent(%r))" % (FLUSH_IN_A_CHILD % KEY)
    children = [subprocess.Popen([sys.executable, "-c", code, str(go)], stdout=subprocess.PIPE, text=True,
                                 env=dict(os.environ, PYTHONPATH=SRC)) for _ in range(flushes)]
    for child in children:
        child.stdout.readline()  # started and imported
    go.touch()
    results = [int(child.communicate()[0]) for child in children]
    assert [child.returncode for child in children] == [0] * flushes
    return results


@pytest.mark.parametrize("where", ["threads", "processes"])
def test_concurrent_flushes_post_each_report_once(env, account_service, dead_service_url, tmp_path, where):
    unsent_reports(env, dead_service_url, 50)
    env.setenv("VELTO_API_URL", account_service.url)
    account_service.delay = 0.01  # every flush is still running when the others start
    results = flush_in_threads(4) if where == "threads" else flush_in_processes(4, tmp_path)
    assert sum(results) == 50
    posts = posts_per_key(account_service)
    assert len(posts) == 50 and set(posts.values()) == {1}
    assert len(account_service.reports) == 50 and api.usage_summary()["unsent"] == 0


def test_a_report_being_sent_is_claimed_until_its_sender_is_known_dead(env, account_service):
    env.setenv("VELTO_API_URL", account_service.url)
    env.setenv("VELTO_API_TIMEOUT", "5")
    env.setenv("VELTO_API_RETRIES", "0")
    account_service.fail_next("/v1/usage", LOST)  # taken, but the answer never comes in time
    started = time.time()
    sender = subprocess.Popen(
        [sys.executable, "-c", "from velto_ai_sdk import api; api.send_user_question(%r, 'q', 7, 0.5)" % KEY],
        env=dict(os.environ, PYTHONPATH=SRC))
    deadline = time.monotonic() + 30
    while not account_service.requests and time.monotonic() < deadline:
        time.sleep(0.01)
    sender.send_signal(signal.SIGKILL)
    sender.wait()

    assert api.flush_usage(KEY) == 0  # its sender might still be waiting for the answer
    assert len(account_service.requests) == 1
    with ledger() as conn:
        (expires,) = conn.execute("SELECT claim_expires FROM usage").fetchone()
        assert expires - started >= 5.0  # longer than the sender's call may take
        conn.execute("UPDATE usage SET claim_expires = ?", (time.time() - 1,))  # the lease runs out
    assert api.flush_usage(KEY) == 1
    assert posts_per_key(account_service).most_common() == [(account_service.requests[0][2]["Idempotency-Key"], 2)]
    assert len(account_service.reports) == 1 and ledger_rows() == [("service", "q", 7, 0.5, 1)]


V1_LEDGER = [
    "CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
    """CREATE TABLE usage (id INTEGER PRIMARY KEY, report_id TEXT NOT NULL UNIQUE, created_at TEXT NOT NULL,
        question TEXT NOT NULL, tokens INTEGER NOT NULL, cost REAL NOT NULL,
        mode TEXT NOT NULL CHECK (mode IN ('local', 'service')), key_fingerprint TEXT, sent_at TEXT,
        attempts INTEGER NOT NULL DEFAULT 0, last_error TEXT)""",
    "CREATE INDEX usage_unsent ON usage (key_fingerprint) WHERE mode = 'service' AND sent_at IS NULL",
    "INSERT INTO meta VALUES ('key_salt', '00112233445566778899aabbccddeeff')",
    "PRAGMA user_version = 1",
]


def test_a_first_format_ledger_is_upgraded_in_place_with_nothing_lost(env, account_service):
    import hashlib
    import hmac
    path = Path(os.environ["VELTO_USAGE_DB"])
    path.parent.mkdir()
    fingerprint = hmac.new(b"00112233445566778899aabbccddeeff", KEY.encode(), hashlib.sha256).hexdigest()
    rows = [
        ("r1", "2024-01-01T00:00:00.000+00:00", "local one", 10, 0.5, "local", None, None, 0, None),
        ("r2", "2024-01-02T00:00:00.000+00:00", "sent one", 20, 1.0, "service", fingerprint,
         "2024-01-02T00:00:01.000+00:00", 1, None),
        ("r3", "2024-01-03T00:00:00.000+00:00", "unsent one", 30, 1.5, "service", fingerprint, None, 2, "HTTP 503"),
    ]
    with ledger() as conn:
        for statement in V1_LEDGER:
            conn.execute(statement)
        conn.executemany("INSERT INTO usage (report_id, created_at, question, tokens, cost, mode, key_fingerprint,"
                         " sent_at, attempts, last_error) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)
    before = path.read_bytes()

    totals = api.usage_summary()
    assert (totals["questions"], totals["tokens"], totals["cost"], totals["unsent"]) == (3, 60, 3.0, 1)
    assert path.read_bytes() == before  # a summary only reads

    env.setenv("VELTO_API_URL", account_service.url)
    assert api.flush_usage(KEY) == 1
    assert [h["Idempotency-Key"] for m, p, h in account_service.requests] == ["r3"]
    with ledger() as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == ledger_format.VERSION
        kept = conn.execute("SELECT report_id, created_at, question, tokens, cost, mode, key_fingerprint,"
                            " sent_at IS NOT NULL, claimed_by FROM usage ORDER BY id").fetchall()
    assert [row[:7] for row in kept] == [row[:7] for row in rows]
    assert [row[7:] for row in kept] == [(0, None), (1, None), (1, None)]
