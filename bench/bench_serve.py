"""What velto-ai serve adds to a question, beside Conversation.ask called
directly: twenty conversations asking at once, the scripted model
answering at once.

    python bench/bench_serve.py [--conversations 20] [--rounds 5] [--runs 3] [--store sqlite|postgresql]

The model runs in a process of its own and answers each question with one
SQL statement (on a throwaway PostgreSQL) and then its answer. Each
conversation first asks a question that is not timed (it builds the
conversation's agent, on both sides alike), then ``rounds`` follow-ups,
timed. Served: ``velto-ai serve`` in its own processes with room for every
conversation at once (VELTO_SERVE_MAX_RUNNING), each question a POST and
its event stream read to the end (http.client, one connection a
conversation); the time to the first progress event and to the answer on
the client. Direct: the same conversations as Conversation objects in as
many threads of this process, the time to the first event (on_event) and
to ask()'s return. CPU/question is the CPU time of the process answering
(direct), or of the server's processes (served), over the timed rounds.

The two sides take turns, ``runs`` times each (a fresh server and store
each time), so that the load of a shared machine falls on both alike; the
table shows the medians of the runs' figures and their spread, and the
server's overhead: served less direct, per percentile, run by run.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from typing import Any, Dict, List, Tuple
from urllib.parse import urlsplit

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


Run = Tuple[List[float], List[float], float, float]  # first events, answers, wall seconds, CPU seconds


def percentile(values: List[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, int(round(fraction * len(ordered))) - 1))]


def figures(run: Run, questions: int) -> List[float]:
    """questions/s, first p50 and p95, answer p50 and p95, CPU per question (ms)."""
    first, answered, wall, cpu = run
    return [questions / wall, statistics.median(first) * 1000, percentile(first, 0.95) * 1000,
            statistics.median(answered) * 1000, percentile(answered, 0.95) * 1000, cpu / questions * 1000]


def run_threads(talk: Any, conversations: int) -> None:
    threads = [threading.Thread(target=talk, args=(number,)) for number in range(conversations)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def process_cpu(pid: int) -> float:
    """CPU seconds (user and system) a process and all its descendants used so far."""
    tick = os.sysconf("SC_CLK_TCK")
    children: Dict[int, List[int]] = {}
    used: Dict[int, float] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
        used[int(entry)] = (int(fields[11]) + int(fields[12])) / tick
    total, todo = 0.0, [pid]
    while todo:
        found = todo.pop()
        total += used.get(found, 0.0)
        todo.extend(children.get(found, ()))
    return total


def own_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


# -- served --------------------------------------------------------------------------------


def served(environment: Dict[str, str], env_dir: str, media: str, conversations: int, rounds: int) -> Run:
    from support.web import ServedApp

    script = os.path.join(os.path.dirname(sys.executable), "velto-ai")
    command = [script, "--env", env_dir, "serve", "--engine", "postgresql", "--media", media, "--port", "0"]
    os.makedirs(media, exist_ok=True)
    log = os.path.join(media, "serve.log")
    app = ServedApp(command, dict(environment, VELTO_SERVE_MAX_RUNNING=str(conversations)), log)
    where = urlsplit(app.url)
    headers = {"Content-Type": "application/json", "Origin": app.url.rstrip("/")}
    first: List[float] = []
    answered: List[float] = []
    span: List[float] = []  # the timed rounds' start and end times
    cpu: List[float] = []  # the server's CPU seconds when the timed rounds start and end
    barrier = threading.Barrier(conversations)
    try:
        def talk(number: int) -> None:
            # http.client, one kept-alive connection a conversation, as a
            # browser's page would: a client that costs next to nothing,
            # so that its own work does not count as the server's.
            connection = http.client.HTTPConnection(where.hostname, where.port, timeout=120)
            conversation = None
            for round_ in range(rounds + 1):
                if barrier.wait() == 0 and round_ == 1:
                    cpu.append(process_cpu(app.process.pid))
                started = time.perf_counter()
                if conversation is None:
                    question = {"question": "Question %d" % number}
                    connection.request("POST", "/api/conversations", json.dumps(question), headers)
                    made = json.loads(connection.getresponse().read())
                    conversation, turn = made["conversation"]["id"], made["turn"]
                else:
                    question = {"question": "Follow-up %d.%d" % (number, round_)}
                    connection.request("POST", "/api/conversations/%s/questions" % conversation,
                                       json.dumps(question), headers)
                    turn = json.loads(connection.getresponse().read())["turn"]
                seen = done = None
                connection.request("GET", "/api/conversations/%s/turns/%s/events" % (conversation, turn["id"]))
                stream = connection.getresponse()
                kind = None
                for line in iter(stream.readline, b""):
                    if line.startswith(b"event: "):
                        kind = line[7:].strip()
                        if seen is None:
                            seen = time.perf_counter()
                    elif line.startswith(b"data: ") and kind == b"turn":
                        done = time.perf_counter()
                        assert json.loads(line[6:])["answer"]["error"] is None, line
                assert seen is not None and done is not None  # read to its end: the connection goes on
                if round_:
                    first.append(seen - started)
                    answered.append(done - started)
                    span.extend((started, done))
            connection.close()

        run_threads(talk, conversations)
        cpu.append(process_cpu(app.process.pid))
    finally:
        app.stop()
    return first, answered, max(span) - min(span), cpu[1] - cpu[0]


# -- direct ---------------------------------------------------------------------------------


def direct(env_dir: str, media: str, conversations: int, rounds: int) -> Run:
    from velto_ai_sdk import codetool
    from velto_ai_sdk.chat import Conversation

    codetool.initialize_environment(env_dir)
    first: List[float] = []
    answered: List[float] = []
    span: List[float] = []  # the timed rounds' start and end times
    cpu: List[float] = []  # this process's CPU seconds when the timed rounds start and end
    barrier = threading.Barrier(conversations)

    def talk(number: int) -> None:
        seen: List[float] = []
        talk = Conversation("local", os.path.join(media, str(number)), "postgresql",
                            on_event=lambda event: seen.append(time.perf_counter()))
        for round_ in range(rounds + 1):
            if barrier.wait() == 0 and round_ == 1:
                cpu.append(own_cpu())
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
    cpu.append(own_cpu())
    return first, answered, max(span) - min(span), cpu[1] - cpu[0]


# -- the table ------------------------------------------------------------------------------

COLUMNS = ("questions/s", "first p50", "first p95", "answer p50", "answer p95", "CPU/question")


def row(name: str, values: List[float]) -> str:
    return "%-32s %11.1f" % (name, values[0]) + "".join(" %9.1f ms" % value for value in values[1:])


def spread(rows: List[List[float]]) -> str:
    low = [min(column) for column in zip(*rows)]
    high = [max(column) for column in zip(*rows)]
    return "%-32s %11s" % ("  least-most over the runs", "%.1f-%.1f" % (low[0], high[0])) + "".join(
        " %12s" % ("%.0f-%.0f" % pair) for pair in zip(low[1:], high[1:]))


def median_row(rows: List[List[float]]) -> List[float]:
    return [statistics.median(column) for column in zip(*rows)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--conversations", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--runs", type=int, default=3, help="runs of each side, taken in turns")
    parser.add_argument("--store", choices=("sqlite", "postgresql"), default="sqlite")
    options = parser.parse_args()

    from support.servers import PostgresServer

    load_before = os.getloadavg()
    work = tempfile.mkdtemp(prefix="bench-serve-")
    certificates = os.path.join(work, "no-certificates")  # no CA bundle to load: plain HTTP on loopback
    os.mkdir(certificates)
    env_dir = os.path.join(work, "env")  # the scripts never run: a bare environment (with pip) will do
    subprocess.run([sys.executable, "-m", "venv", env_dir], check=True)
    model = subprocess.Popen([sys.executable, "-c", MODEL], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    base_url = model.stdout.readline().strip()  # type: ignore[union-attr]
    questions = options.conversations * options.rounds
    results: Dict[str, List[List[float]]] = {"direct": [], "served": []}
    with PostgresServer() as postgres:
        environment = {
            "VELTO_POSTGRES_URL": postgres.create_database("bench_serve", TABLE),
            "OPENAI_BASE_URL": base_url, "OPENAI_API_BASE": base_url, "OPENAI_API_KEY": "sk-bench",
            "VELTO_USAGE_DB": os.path.join(work, "usage.sqlite3"), "SSL_CERT_DIR": certificates,
        }
        for name in ("SSL_CERT_FILE", "VELTO_SERVE_TOKEN"):
            os.environ.pop(name, None)
        os.environ.update(environment)
        for number in range(options.runs):
            store = (os.path.join(work, "chat-%d.sqlite3" % number) if options.store == "sqlite"
                     else postgres.create_database("bench_serve_store_%d" % number))
            sides = ["direct", "served"] if number % 2 == 0 else ["served", "direct"]
            for side in sides:
                where = os.path.join(work, "%s-%d" % (side, number))
                if side == "direct":
                    run = direct(env_dir, where, options.conversations, options.rounds)
                else:
                    run = served(dict(os.environ, VELTO_CHAT_DB=store), env_dir, where, options.conversations,
                                 options.rounds)
                results[side].append(figures(run, questions))
                print(row("%s run %d" % (side, number + 1), results[side][-1]), file=sys.stderr, flush=True)
    model.communicate("")
    load_after = os.getloadavg()

    overhead = [[served_ - direct_ for served_, direct_ in zip(served_row, direct_row)][1:5]
                for served_row, direct_row in zip(results["served"], results["direct"])]
    print("%d conversations asking at once, %d timed follow-ups each (%d questions a run); %d runs of each side, "
          "in turns; store: %s" % (options.conversations, options.rounds, questions, options.runs, options.store))
    print("machine: %d cores, load average (1 min) %.1f at the start, %.1f at the end; medians over the runs"
          % (os.cpu_count() or 0, load_before[0], load_after[0]))
    print("%-32s %11s" % ("", COLUMNS[0]) + "".join(" %12s" % column for column in COLUMNS[1:]))
    print(row("Conversation.ask", median_row(results["direct"])))
    print(spread(results["direct"]))
    print(row("velto-ai serve (HTTP + events)", median_row(results["served"])))
    print(spread(results["served"]))
    print("%-32s %11s" % ("server overhead, run by run", "") + "".join(
        " %9.1f ms" % value for value in median_row(overhead)))
    print("%-32s %11s" % ("  least-most over the runs", "") + "".join(
        " %12s" % ("%.0f-%.0f" % (min(column), max(column))) for column in zip(*overhead)))


if __name__ == "__main__":
    main()
