"""The account-service client against a real HTTP server on loopback and a real SQLite ledger."""

import os
import sqlite3
import stat
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest

from support.account_service import LOST
from velto_ai_sdk import api

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


def ledger_rows():
    with sqlite3.connect(os.environ["VELTO_USAGE_DB"]) as conn:
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
    ({"VELTO_API_URL": "http://h", "VELTO_API_TIMEOUT": "0"}, "VELTO_API_TIMEOUT"),
])
def test_settings_from_the_environment(env, environment, expected):
    for name, value in environment.items():
        env.setenv(name, value)
    handler = api.VeltoAPIHandler(velto_api_key=KEY)
    if isinstance(expected, dict):
        assert handler.get_openai_data() == expected
    else:
        with pytest.raises(api.VeltoConfigError, match=expected):
            handler.get_openai_data()


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


@pytest.mark.parametrize("outage", ["down", "failing", "answers lost", "suspended"])
def test_undelivered_reports_are_kept_and_flushed_later(
        env, account_service, dead_service_url, outage, caplog):
    env.setenv("VELTO_API_URL", dead_service_url if outage == "down" else account_service.url)
    env.setenv("VELTO_API_RETRIES", "1")
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
        {"questions": 2, "tokens": 100, "cost": 0.25, "unsent": 0}
    env.setenv("VELTO_API_URL", "http://127.0.0.1:9")
    assert api.flush_usage(KEY) == 0  # local reports were never meant for a service
    assert stat.S_IMODE(os.stat(os.environ["VELTO_USAGE_DB"]).st_mode) == 0o600


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
