"""The type stubs of the C++ modules: mypy reads a host application through
them, and they agree with the modules as they run."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).resolve().parent / "typing"


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    # One cache for the module's runs: LangChain is analysed once.
    return str(tmp_path_factory.mktemp("mypy-cache"))


def mypy(*arguments):
    env = dict(os.environ, OPENAI_API_KEY=os.environ.get("OPENAI_API_KEY", "sk-stubtest"))
    return subprocess.run([sys.executable, "-m", *arguments], capture_output=True, text=True, cwd=HERE, env=env)


def test_host_application_type_checks(cache):
    done = mypy("mypy", "--cache-dir", cache, "host_app.py")
    assert done.returncode == 0, done.stdout + done.stderr


def test_mistakes_are_reported(cache):
    done = mypy("mypy", "--cache-dir", cache, "misuse.py")
    reported = sorted(set(int(line) for line in re.findall(r"^misuse\.py:(\d+): error", done.stdout, re.M)))
    assert reported == [4, 5, 6, 7, 9], done.stdout


def allowlists():
    # stubtest before mypy 2 also walks into the LangChain and pydantic classes
    # the agent module re-exports; mypy 2 stops at them and would call the
    # entries for them unused.
    from mypy.version import __version__
    names = ["stubtest-allowlist.txt"]
    if int(__version__.split(".")[0]) < 2:
        names.append("stubtest-allowlist-mypy1.txt")
    return [argument for name in names for argument in ("--allowlist", name)]


def test_stubs_agree_with_the_modules():
    done = mypy("mypy.stubtest", *allowlists(),
                "velto_ai_sdk.codetool", "velto_ai_sdk.master", "velto_ai_sdk.agent")
    assert done.returncode == 0, done.stdout + done.stderr
