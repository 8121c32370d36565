"""What velto-ai serve adds to a question, beside Conversation.ask called
directly: twenty conversations asking at once, the scripted model
answering at once.

    python bench/bench_serve.py [--conversations 20] [--rounds 5] [--store sqlite|postgresql]

The model runs in a process of its own and answers each question with one
SQL statement (on a throwaway PostgreSQL) and then its answer. Each
conversation first asks a question that is not timed (it builds the
conversation's agent, on both sides alike), then ``rounds`` follow-ups,
timed. Served: ``velto-ai serve`` in its own process with room for every
conversation at once (VELTO_SERVE_MAX_RUNNING), each question a POST and
its event stream read to the end; the time to the first progress event and
to the answer on the client. Direct: the same conversations as
Conversation objects in as many threads of this process, the time to the
first event (on_event) and to ask()'s return. The server's overhead is the
difference of the two, per percentile.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from typing import Any, Dict, List, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

TABLE = ["CREATE TABLE numbers (n int NOT NULL)", "INSERT INTO numbers SELECT generate_series(1, 100)"]

# The model's process: one statement, then the answer, for any question.
MODEL = textwrap.dedent("""
    import sys, time
    sys.path.insert(0, %r)
    from support.analyst_model import AnalystModel, json_answer, last_tool_text, sql_step
    from velto_ai_sdk.scripted_model import ScriptedChatServer

    def plan(question):
        return [sql_step("SELECT count(*) AS how_many FROM numbers"),
                lambda body: json_answer(question + ": " + last_tool_text(body).splitlines()[1])]

    server = ScriptedChatServer(AnalystModel(plan).script(10 ** 6)).start()
    print(server.base_url, flush=True)
    sys.stdin.read()
    server.stop()
""") % os.path.join(ROOT, "tests")


def percentile(values: List[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, int(round(fraction * len(ordered))) - 1))]


def figures(values: List[float]) -> Tuple[float, float]:
    return statistics.median(values) * 1000, percentile(values, 0.95) * 1000


def run_threads(talk: Any, conversations: int) -> None:
    threads = [threading.Thread(target=talk, args=(number,)) for number in range(conversations)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


# -- served --------------------------------------------------------------------------------


def served(environment: Dict[str, str], env_dir: str, media: str, conversations: int, rounds: int
           ) -> Tuple[List[float], List[float], float]:
    import requests

    from support.web import ServedApp

    script = os.path.join(os.path.dirname(sys.executable), "velto-ai")
    command = [script, "--env", env_dir, "serve", "--engine", "postgresql", "--media", media, "--port", "0"]
    os.makedirs(media, exist_ok=True)
    log = os.path.join(media, "serve.log")
    app = ServedApp(command, dict(environment, VELTO_SERVE_MAX_RUNNING=str(conversations)), log)
    first: List[float] = []
    answered: List[float] = []
    span: List[float] = []  # the timed rounds' start and end times
    barrier = threading.Barrier(conversations)
    try:
        def talk(number: int) -> None:
            session = requests.Session()
            conversation = None
            for round_ in range(rounds + 1):
                barrier.wait()
                started = time.perf_counter()
                if conversation is None:
                    made = session.post(app.url + "api/conversations", json={"question": "Question %d" % number},
                                        headers={"Origin": app.url.rstrip("/")}).json()
                    conversation, turn = made["conversation"]["id"], made["turn"]
                else:
                    turn = session.post(app.url + "api/conversations/%s/questions" % conversation,
                                        json={"question": "Follow-up %d.%d" % (number, round_)},
                                        headers={"Origin": app.url.rstrip("/")}).json()["turn"]
                seen = None
                url = app.url + "api/conversations/%s/turns/%s/events" % (conversation, turn["id"])
                with session.get(url, stream=True) as stream:
                    kind = None
                    for line in stream.iter_lines(decode_unicode=True):
                        if line.startswith("event: "):
                            kind = line[7:]
                            if seen is None:
                                seen = time.perf_counter()
                        elif line.startswith("data: ") and kind == "turn":
                            assert json.loads(line[6:])["answer"]["error"] is None, line
                            break
                done = time.perf_counter()
                if round_:
                    first.append(seen - started)
                    answered.append(done - started)
                    span.extend((started, done))

        run_threads(talk, conversations)
    finally:
        app.stop()
    return first, answered, max(span) - min(span)


# -- direct ---------------------------------------------------------------------------------


def direct(env_dir: str, media: str, conversations: int, rounds: int) -> Tuple[List[float], List[float], float]:
    from velto_ai_sdk import codetool
    from velto_ai_sdk.chat import Conversation

    codetool.initialize_environment(env_dir)
    first: List[float] = []
    answered: List[float] = []
    span: List[float] = []  # the timed rounds' start and end times
    barrier = threading.Barrier(conversations)

    def talk(number: int) -> None:
        seen: List[float] = []
        talk = Conversation("local", os.path.join(media, str(number)), "postgresql",
                            on_event=lambda event: seen.append(time.perf_counter()))
        for round_ in range(rounds + 1):
            barrier.wait()
            seen.clear()
            started = time.perf_counter()
            answer = talk.ask("Question %d" % number if not round_ else "Follow-up %d.%d" % (number, round_))
            done = time.perf_counter()
            assert answer.error is None, answer.error
            if round_:
                first.append(seen[0] - started)
                answered.append(done - started)
                span.extend((started, done))

    run_threads(talk, conversations)
    return first, answered, max(span) - min(span)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--conversations", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--store", choices=("sqlite", "postgresql"), default="sqlite")
    options = parser.parse_args()

    from support.servers import PostgresServer

    work = tempfile.mkdtemp(prefix="bench-serve-")
    certificates = os.path.join(work, "no-certificates")  # no CA bundle to load: plain HTTP on loopback
    os.mkdir(certificates)
    env_dir = os.path.join(work, "env")  # the scripts never run: a bare environment will do
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", env_dir], check=True)
    model = subprocess.Popen([sys.executable, "-c", MODEL], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    base_url = model.stdout.readline().strip()  # type: ignore[union-attr]
    with PostgresServer() as postgres:
        environment = {
            "VELTO_POSTGRES_URL": postgres.create_database("bench_serve", TABLE),
            "OPENAI_BASE_URL": base_url, "OPENAI_API_BASE": base_url, "OPENAI_API_KEY": "sk-bench",
            "VELTO_USAGE_DB": os.path.join(work, "usage.sqlite3"), "SSL_CERT_DIR": certificates,
            "VELTO_CHAT_DB": (os.path.join(work, "chat.sqlite3") if options.store == "sqlite"
                              else postgres.create_database("bench_serve_store")),
        }
        for name in ("SSL_CERT_FILE", "VELTO_SERVE_TOKEN"):
            os.environ.pop(name, None)
        os.environ.update(environment)
        runs = {"direct": direct(env_dir, os.path.join(work, "direct"), options.conversations, options.rounds),
                "served": served(dict(os.environ), env_dir, os.path.join(work, "served"), options.conversations,
                                 options.rounds)}
    model.communicate("")

    questions = options.conversations * options.rounds
    print("%d conversations asking at once, %d timed follow-ups each (%d questions); store: %s"
          % (options.conversations, options.rounds, questions, options.store))
    print("%-30s %10s %12s %12s %12s %12s" % ("", "questions/s", "first p50", "first p95", "answer p50",
                                               "answer p95"))
    for name, (first, answered, wall) in runs.items():
        print("%-30s %10.1f %9.1f ms %9.1f ms %9.1f ms %9.1f ms" % (
            "Conversation.ask" if name == "direct" else "velto-ai serve (HTTP + events)",
            questions / wall, *figures(first), *figures(answered)))
    (d_first, d_answer, _), (s_first, s_answer, _) = runs["direct"], runs["served"]
    print("%-30s %10s %9.1f ms %9.1f ms %9.1f ms %9.1f ms" % (
        "server overhead", "", figures(s_first)[0] - figures(d_first)[0], figures(s_first)[1] - figures(d_first)[1],
        figures(s_answer)[0] - figures(d_answer)[0], figures(s_answer)[1] - figures(d_answer)[1]))


if __name__ == "__main__":
    main()
