"""Private code environments for the tests.

`analysis_environment`: one real environment per test run, made by
master.initialize_env in a child interpreter (so that its printed line and
its pip runs can be observed), holding pip and the six default packages.

`small_wheels`: tiny wheels built here, so that installing a package needs
no network.
"""

import base64
import hashlib
import json
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path
from types import SimpleNamespace

import pytest

DEFAULT_PACKAGES = ["matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"]

# Runs master.initialize_env with subprocess.call recorded, then prints the
# recorded pip commands on a line of their own.
MAKE_ENVIRONMENT = textwrap.dedent("""
    import json, subprocess, sys
    import velto_ai_sdk.codetool as codetool
    import velto_ai_sdk.master as master

    calls = []

    class RecordingSubprocess:
        def __getattr__(self, name):
            return getattr(subprocess, name)

        def call(self, args, *rest, **options):
            calls.append(list(args))
            return subprocess.call(args, *rest, **options)

    codetool.subprocess = RecordingSubprocess()
    master.initialize_env(sys.argv[1])
    sys.stdout.flush()
    print("PIP CALLS " + json.dumps(calls))
    print("PYTHON " + codetool.python_executable)
""")


class RecordingSubprocess:
    """Stands in for the subprocess module in a module's namespace: records
    every call() and passes it on to the real one (unless told to refuse)."""

    def __init__(self, refuse=False):
        self.calls = []
        self.refuse = refuse

    def __getattr__(self, name):
        return getattr(subprocess, name)

    def call(self, args, *rest, **options):
        if self.refuse:
            raise AssertionError("no child process was expected, got %r" % (args,))
        self.calls.append(list(args))
        return subprocess.call(args, *rest, **options)


@pytest.fixture(scope="session")
def analysis_environment(tmp_path_factory):
    path = tmp_path_factory.mktemp("analysis") / "env"
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")
    done = subprocess.run([sys.executable, "-c", MAKE_ENVIRONMENT, str(path)], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    pip_calls = json.loads(next(line for line in lines if line.startswith("PIP CALLS "))[len("PIP CALLS "):])
    python = next(line for line in lines if line.startswith("PYTHON "))[len("PYTHON "):]
    return SimpleNamespace(path=str(path), python=python, output=done.stdout, pip_calls=pip_calls)


def build_wheel(directory, name, value, version="1.0", package=None):
    """A pure-Python wheel of the distribution `name` whose package (`name`
    unless `package` says otherwise) holds VALUE = value."""
    dist = name.replace("-", "_")
    dist_info = "%s-%s.dist-info" % (dist, version)
    files = {
        "%s/__init__.py" % (package or dist): "VALUE = %r\n" % (value,),
        dist_info + "/METADATA": "Metadata-Version: 2.1\nName: %s\nVersion: %s\n" % (name, version),
        dist_info + "/WHEEL": "Wheel-Version: 1.0\nGenerator: velto-tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = []
    for file_name, text in files.items():
        data = text.encode()
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append("%s,sha256=%s,%d" % (file_name, digest, len(data)))
    record.append(dist_info + "/RECORD,,")
    files[dist_info + "/RECORD"] = "\n".join(record) + "\n"
    path = Path(directory) / ("%s-%s-py3-none-any.whl" % (dist, version))
    with zipfile.ZipFile(path, "w") as wheel:
        for file_name, text in files.items():
            wheel.writestr(file_name, text)
    return str(path)


@pytest.fixture(scope="session")
def small_wheels(tmp_path_factory):
    directory = tmp_path_factory.mktemp("wheels")
    return SimpleNamespace(
        one=build_wheel(directory, "velto_probe_one", 1),
        two=build_wheel(directory, "velto_probe_two", 2),
        three=build_wheel(directory, "velto_probe_three", 3),
        missing=str(directory / "velto_missing-1.0-py3-none-any.whl"),
    )
