"""The account client against a misbehaving service, now and at an earlier revision.

    .venv/bin/python bench/bench_api.py [--before REV] [--timeout S] [--every S]

It starts the test suite's loopback account service (tests/support/
account_service.py) and runs each scenario in a fresh process, for the
client in this checkout's src/ and, with --before, for the client as it was
at git revision REV (extracted to a temporary directory), side by side:

  1. a service that drips its whole answer, one byte every --every seconds
     (default 3), with VELTO_API_TIMEOUT=--timeout (default 10) and two
     retries: how long get_openai_data() and send_user_question() take and
     what they end with;
  2. a settings answer of 300 MB, with and without its Content-Length: the
     growth of the process's peak resident memory, and the outcome;
  3. a 429 with Retry-After, 5 s (which fits in the call) and 60 s (which does
     not): how long the client waited before it asked again, and the outcome;
  4. four processes calling flush_usage() at once over 50 unsent reports:
     the POSTs the service received and the reports each flush said it sent.

It only prints; it asserts nothing. With the defaults the drip alone takes
some minutes for a client that lets a drip run.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))

from support.account_service import AccountService, drip, flood, retry_after  # noqa: E402

KEY = "vk-test-5ecret"
FLOOD = 300 << 20
REPORTS = 50
FLUSHES = 4

# Each scenario's client side: prints one JSON line.
TIMED_CALL = """
    import json, time
    from velto_ai_sdk import api
    started = time.monotonic()
    try:
        outcome = "returned %r" % (CALL,)
    except Exception as exc:
        outcome = "raised " + type(exc).__name__
    print(json.dumps({"seconds": time.monotonic() - started, "outcome": outcome[:50],
                      "unsent": api.usage_summary()["unsent"]}))
"""
GROWTH = """
    import json, resource
    from velto_ai_sdk import api
    handler = api.VeltoAPIHandler(velto_api_key=%r)
    handler.get_openai_data()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        outcome = "returned %%r" %% (handler.get_openai_data(),)
    except Exception as exc:
        outcome = "raised " + type(exc).__name__
    growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(json.dumps({"growth_mb": growth / 1024, "outcome": outcome[:50]}))
""" % KEY
QUEUE = """
    from velto_ai_sdk import api
    for i in range(%d):
        api.send_user_question(%r, "q%%d" %% i, i, 0.25)
""" % (REPORTS, KEY)
FLUSH = """
    import os, sys, time
    from velto_ai_sdk import api
    print(flush=True)
    while not os.path.exists(sys.argv[1]):
        time.sleep(0.005)
    print(api.flush_usage(%r))
""" % KEY


class Client:
    """One revision of the client: its source directory and a ledger of its own."""

    def __init__(self, label: str, source: str, scratch: str) -> None:
        self.label = label
        self.source = source
        self.scratch = scratch
        self.runs = 0

    def environment(self, service_url: str, **variables: str) -> dict:
        self.runs += 1
        env = {name: value for name, value in os.environ.items() if not name.startswith("VELTO_")}
        env.update(PYTHONPATH=self.source, VELTO_API_URL=service_url, VELTO_API_KEY=KEY,
                   VELTO_USAGE_DB=os.path.join(self.scratch, "usage-%d.sqlite3" % self.runs))
        env.update(variables)
        return env

    @staticmethod
    def command(code: str, *args: str) -> list:
        return [sys.executable, "-c", textwrap.dedent(code)] + list(args)

    def run(self, code: str, env: dict) -> dict:
        done = subprocess.run(self.command(code), env=env, capture_output=True, text=True)
        if done.returncode:
            return {"outcome": "failed: " + done.stderr.strip().splitlines()[-1]}
        return json.loads(done.stdout.strip().splitlines()[-1])


def dripping(client: Client, service: AccountService, args: argparse.Namespace, call: str) -> str:
    path, code = {
        "settings": ("/v1/settings", "api.VeltoAPIHandler(velto_api_key=%r).get_openai_data()" % KEY),
        "report": ("/v1/usage", "api.send_user_question(%r, 'q', 1, 0.5)" % KEY),
    }[call]
    service.fail_next(path, *[drip("head", args.every)] * 3)
    env = client.environment(service.url, VELTO_API_TIMEOUT=str(args.timeout), VELTO_API_RETRIES="2")
    result = client.run(TIMED_CALL.replace("CALL", code), env)
    service.reset()
    unsent = " (kept unsent)" if result.get("unsent") else ""
    return "%.1f s, %s%s" % (result.get("seconds", float("nan")), result["outcome"], unsent)


def flooding(client: Client, service: AccountService, announce: bool) -> str:
    service.fail_next("/v1/settings", 200, flood(FLOOD, announce=announce))
    result = client.run(GROWTH, client.environment(service.url))
    service.reset()
    return "+%.1f MB, %s" % (result.get("growth_mb", float("nan")), result["outcome"])


def asking_later(client: Client, service: AccountService, seconds: int) -> str:
    service.fail_next("/v1/settings", retry_after(seconds))
    code = TIMED_CALL.replace("CALL", "api.VeltoAPIHandler(velto_api_key=%r).get_openai_data()" % KEY)
    result = client.run(code, client.environment(service.url))
    arrivals = list(service.arrivals)
    service.reset()
    waited = "asked again after %.1f s" % (arrivals[1] - arrivals[0]) if len(arrivals) > 1 else "did not ask again"
    return "%s, %s" % (waited, result["outcome"])


def flushing(client: Client, service: AccountService, scratch: str) -> str:
    env = client.environment("http://127.0.0.1:9", VELTO_API_RETRIES="0", VELTO_API_BACKOFF="0")
    subprocess.run(client.command(QUEUE), env=env, capture_output=True, check=True)
    env["VELTO_API_URL"] = service.url
    go = os.path.join(scratch, "go-%d" % client.runs)
    children = [subprocess.Popen(client.command(FLUSH, go), env=env, stdout=subprocess.PIPE, text=True)
                for _ in range(FLUSHES)]
    for child in children:
        child.stdout.readline()
    open(go, "w").close()
    returned = [child.communicate()[0].strip() for child in children]
    posts = collections.Counter(h.get("Idempotency-Key") for m, p, h in service.requests if m == "POST")
    service.reset()
    return "%d POSTs for %d reports, flushes returned %s" % (sum(posts.values()), len(posts), "+".join(returned))


def extract(revision: str, into: str) -> str:
    archive = subprocess.run(["git", "-C", ROOT, "archive", revision, "src"], capture_output=True, check=True)
    subprocess.run(["tar", "-x", "-C", into], input=archive.stdout, check=True)
    return os.path.join(into, "src")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--before", metavar="REV", help="also measure the client at this git revision")
    parser.add_argument("--timeout", type=float, default=10.0, help="VELTO_API_TIMEOUT for the drip (10)")
    parser.add_argument("--every", type=float, default=3.0, help="seconds between dripped bytes (3)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-api-") as scratch:
        clients = [Client("now", os.path.join(ROOT, "src"), scratch)]
        if args.before:
            clients.insert(0, Client("at " + args.before, extract(args.before, scratch), scratch))
        service = AccountService().start()
        service.delay = 0.01  # each flush is still running when the others start
        scenarios = [
            ("drip: get_openai_data()", lambda c: dripping(c, service, args, "settings")),
            ("drip: send_user_question()", lambda c: dripping(c, service, args, "report")),
            ("300 MB settings, Content-Length", lambda c: flooding(c, service, True)),
            ("300 MB settings, no length", lambda c: flooding(c, service, False)),
            ("429, Retry-After: 5", lambda c: asking_later(c, service, 5)),
            ("429, Retry-After: 60", lambda c: asking_later(c, service, 60)),
            ("%d flushes over %d reports" % (FLUSHES, REPORTS), lambda c: flushing(c, service, scratch)),
        ]
        print("VELTO_API_TIMEOUT=%g and 2 retries for the drip (a byte every %g s); defaults otherwise\n"
              % (args.timeout, args.every))
        try:
            for name, scenario in scenarios:
                for client in clients:
                    started = time.monotonic()
                    figure = scenario(client)
                    print("%-34s %-12s %s   [%.0f s]" % (name, client.label, figure, time.monotonic() - started),
                          flush=True)
        finally:
            service.stop()


if __name__ == "__main__":
    main()
