"""Round trip of execute_code, cold (a fresh interpreter per run) and warm
(VELTO_CODE_WARM=1: forked from the warm worker), each in its sandbox and
without it (VELTO_CODE_SANDBOX=off), beside running the same script with
the same interpreter directly through subprocess.

    python bench/bench_execute_code.py [ENV_DIR] [--runs N]

ENV_DIR is the private environment to use (created with the default
packages when missing; default .velto/bench-env). The five ways alternate
run by run, a tenth of a second apart as an agent's runs are (a model's
turn apart), so that drift on the machine falls on all alike. Prints medians,
what the sandbox adds to a run (sandboxed minus off, cold and warm), and
the ratios of cold to the direct run (1.00: execute_code adds nothing
measurable) and of warm to cold. The first call of a process also starts
the supervisor that later runs reuse, and the first warm call the worker
(its imports); both are timed on their own, before the table.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

EMPTY = ""
CHART = """
import os, tempfile
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import pandas as pd
frame = pd.DataFrame({"month": range(1, 13), "sales": [3, 5, 4, 6, 8, 7, 9, 12, 10, 11, 14, 13]})
frame.plot(x="month", y="sales", title="Monthly sales")
path = os.path.join(tempfile.gettempdir(), "velto-bench-chart.png")
plt.savefig(path)
print(os.path.getsize(path) > 0)
"""


def direct(python, path):
    done = subprocess.run([python, path], capture_output=True, text=True, check=True)
    return done.stdout


def execute(code, warm, sandboxed=True):
    from velto_ai_sdk import codetool

    os.environ["VELTO_CODE_WARM"] = "1" if warm else "0"
    os.environ["VELTO_CODE_SANDBOX"] = "auto" if sandboxed else "off"
    return codetool.execute_code(code)


def timed(action, *arguments):
    start = time.perf_counter()
    result = action(*arguments)
    return result, time.perf_counter() - start


PAUSE = 0.1
WAYS = (("cold", False, True), ("cold, off", False, False), ("warm", True, True), ("warm, off", True, False))


def measure(python, code, runs):
    """Medians of each way of WAYS, and of the direct run."""
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as script:
        script.write(code)
    times = {name: [] for name, _, _ in WAYS}
    peer = []
    try:
        for _ in range(runs):
            outputs = set()
            for name, warm, sandboxed in WAYS:
                output, took = timed(execute, code, warm, sandboxed)
                times[name].append(took)
                outputs.add(output)
                # An agent's runs come a model's turn apart: what the runner
                # does between runs (the warm worker making the next run's
                # process) is done before the next one is timed.
                time.sleep(PAUSE)
            peer_output, took = timed(direct, python, script.name)
            peer.append(took)
            outputs.add(peer_output)
            assert len(outputs) == 1, outputs
    finally:
        os.remove(script.name)
    return {name: statistics.median(values) for name, values in times.items()}, statistics.median(peer)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("env_dir", nargs="?", default=os.path.join(".velto", "bench-env"))
    parser.add_argument("--runs", type=int, default=30)
    options = parser.parse_args()

    from velto_ai_sdk import codetool, master

    master.initialize_env(options.env_dir)
    python = codetool.python_executable
    print("interpreter: %s" % python)
    _, took = timed(execute, EMPTY, False)
    print("first call, starting the supervisor: %.1f ms" % (took * 1e3))
    _, took = timed(execute, EMPTY, True)
    print("first warm call, starting the worker (its imports): %.1f ms" % (took * 1e3))
    print("%-32s %9s %9s %9s %9s %9s %9s %9s %9s %9s" % (
        "script", "cold", "cold,off", "warm", "warm,off", "subproc", "+sandbox", "+sandbox", "cold/sub",
        "warm/cold"))
    print("%-32s %9s %9s %9s %9s %9s %9s %9s %9s %9s" % ("", "", "", "", "", "", "cold", "warm", "", ""))
    for name, code, runs in (("(a) empty script", EMPTY, options.runs),
                             ("(b) pandas + matplotlib chart", CHART, max(5, options.runs // 3))):
        medians, peer = measure(python, code, runs)
        cold, warm = medians["cold"], medians["warm"]
        print("%-32s %6.1f ms %6.1f ms %6.1f ms %6.1f ms %6.1f ms %6.1f ms %6.1f ms %9.3f %9.3f" % (
            name + " x%d" % runs, cold * 1e3, medians["cold, off"] * 1e3, warm * 1e3, medians["warm, off"] * 1e3,
            peer * 1e3, (cold - medians["cold, off"]) * 1e3, (warm - medians["warm, off"]) * 1e3, cold / peer,
            warm / cold))


if __name__ == "__main__":
    sys.exit(main())
