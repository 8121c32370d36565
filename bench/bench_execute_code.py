"""Round trip of execute_code beside running the same script with the same
interpreter directly through subprocess.

    python bench/bench_execute_code.py [ENV_DIR] [--runs N]

ENV_DIR is the private environment to use (created with the default
packages when missing; default .velto/bench-env). The two ways alternate run
by run so that drift on the machine falls on both alike. Prints medians and
their ratio; a ratio of 1.00 means execute_code adds nothing measurable.
The first call of a process also starts the supervisor that later runs
reuse; it is timed on its own, before the table.
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
print(path)
"""


def direct(python, path):
    done = subprocess.run([python, path], capture_output=True, text=True, check=True)
    return done.stdout


def measure(python, code, runs):
    from velto_ai_sdk import codetool

    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as script:
        script.write(code)
    ours, peer = [], []
    try:
        for _ in range(runs):
            start = time.perf_counter()
            ours_output = codetool.execute_code(code)
            ours.append(time.perf_counter() - start)
            start = time.perf_counter()
            peer_output = direct(python, script.name)
            peer.append(time.perf_counter() - start)
            assert ours_output == peer_output, (ours_output, peer_output)
    finally:
        os.remove(script.name)
    return statistics.median(ours), statistics.median(peer)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("env_dir", nargs="?", default=os.path.join(".velto", "bench-env"))
    parser.add_argument("--runs", type=int, default=30)
    options = parser.parse_args()

    from velto_ai_sdk import codetool, master

    master.initialize_env(options.env_dir)
    python = codetool.python_executable
    print("interpreter: %s" % python)
    start = time.perf_counter()
    codetool.execute_code(EMPTY)
    print("first call, starting the supervisor: %.1f ms" % ((time.perf_counter() - start) * 1e3))
    print("%-34s %12s %12s %7s" % ("script", "execute_code", "subprocess", "ratio"))
    for name, code, runs in (("(a) empty script", EMPTY, options.runs),
                             ("(b) pandas + matplotlib chart", CHART, max(5, options.runs // 3))):
        ours, peer = measure(python, code, runs)
        print("%-34s %10.1f ms %10.1f ms %7.3f" % (name + " x%d" % runs, ours * 1e3, peer * 1e3, ours / peer))


if __name__ == "__main__":
    sys.exit(main())
