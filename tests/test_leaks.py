"""Reference leaks: each public function, on its success and its error paths,
called a few thousand times with memory traced by tracemalloc (see
support/leaks.py).

The child processes are /bin/true and /bin/false standing in for the
environment's interpreter: the code paths through our functions are the same,
and each call costs a millisecond instead of an interpreter start.
"""

import contextlib
import os
import sys

import pytest

import velto_ai_sdk.codetool as codetool
import velto_ai_sdk.master as master
from support.leaks import Discard, expect, growth, reference_counts_after

ROUNDS = 1500
# A leaked object per call adds at least ROUNDS * 24 bytes in every batch.
ALLOWED_GROWTH = ROUNDS * 8


CODE_SETTINGS = ("VELTO_CODE_TIMEOUT", "VELTO_CODE_MAX_OUTPUT", "VELTO_CODE_MAX_MEMORY_MB", "VELTO_CODE_WARM",
                 "VELTO_CODE_SANDBOX", "VELTO_CODE_NETWORK", "VELTO_CODE_READ_PATHS", "VELTO_CODE_WRITE_PATHS",
                 "VELTO_CODE_SANDBOX_TEST_MISSING")


@pytest.fixture(autouse=True)
def quiet_settings(monkeypatch, tmp_path):
    for name in ("env_path", "python_executable"):
        monkeypatch.setattr(codetool, name, getattr(codetool, name))
    for name in CODE_SETTINGS:
        monkeypatch.setenv(name, os.environ.get(name, ""))
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    with contextlib.redirect_stdout(Discard()), contextlib.redirect_stderr(Discard()):
        yield


def set_interpreter(path, **settings):
    """The interpreter, and VELTO_CODE_* settings by their short names."""
    codetool.python_executable = path
    for name, value in settings.items():
        os.environ["VELTO_CODE_" + name.upper()] = value


@pytest.fixture(scope="module")
def sleeper(tmp_path_factory):
    """An 'interpreter' that sleeps through any time limit."""
    path = tmp_path_factory.mktemp("sleeper") / "sleep-long"
    path.write_text("#!/bin/sh\nexec sleep 30\n")
    path.chmod(0o755)
    return str(path)


CASES = {
    "execute_code succeeds": (lambda: set_interpreter("/bin/true"), lambda: codetool.execute_code("print(1)")),
    "execute_code child fails": (lambda: set_interpreter("/bin/false"), lambda: codetool.execute_code("x")),
    "execute_code not set up": (lambda: set_interpreter(None), expect(TypeError, codetool.execute_code, "x")),
    "execute_code unwritable": (lambda: set_interpreter("/bin/true"), expect(TypeError, codetool.execute_code, 5)),
    "execute_code bad arguments": (None, expect(TypeError, codetool.execute_code, code="x", other=1)),
    "execute_code bad setting": (lambda: set_interpreter("/bin/true", timeout="soon"),
                                 expect(ValueError, codetool.execute_code, "x")),
    # /bin/cat prints the script: more than the limit.
    "execute_code shortened output": (lambda: set_interpreter("/bin/cat", max_output="1000"),
                                      lambda: codetool.execute_code("x" * 5000)),
    "execute_code missing interpreter": (lambda: set_interpreter("/nonexistent/python"),
                                         expect(FileNotFoundError, codetool.execute_code, "x")),
    # The host's own interpreter as the warm worker's: it finds none of the
    # packages and starts in a moment.
    "execute_code warm": (lambda: set_interpreter(sys.executable, warm="1"),
                          lambda: (codetool.execute_code("print(1)"), codetool.execute_code("import sys; sys.exit(2)"))),
    # No interpreter: the worker never starts, and each run falls back.
    "execute_code warm falling back": (lambda: set_interpreter("/bin/true", warm="1"),
                                       lambda: codetool.execute_code("print(1)")),
    "execute_code warm bad setting": (lambda: set_interpreter("/bin/true", warm="maybe"),
                                      expect(ValueError, codetool.execute_code, "x")),
    # The sandbox: refused for a missing layer, named and run without one,
    # with the path and network settings, off; a bad mode; the layers tried.
    "execute_code sandbox refused": (lambda: set_interpreter("/bin/true", sandbox="strict",
                                                             sandbox_test_missing="seccomp"),
                                     lambda: codetool.execute_code("x")),
    "execute_code sandbox paths": (lambda: set_interpreter("/bin/true", sandbox="auto", sandbox_test_missing="namespaces",
                                                           read_paths="/usr:/missing", write_paths="/tmp", network="1"),
                                   lambda: codetool.execute_code("x")),
    "execute_code sandbox off": (lambda: set_interpreter("/bin/true", sandbox="off"), lambda: codetool.execute_code("x")),
    "execute_code sandbox bad settings": (lambda: set_interpreter("/bin/true", sandbox_test_missing="walls"),
                                          lambda: (expect(ValueError, codetool.execute_code, "x")(),
                                                   set_interpreter("/bin/true", sandbox="sometimes"),
                                                   expect(ValueError, codetool.execute_code, "x")())),
    "_sandbox_layers": (None, lambda: codetool._sandbox_layers()),
    "initialize_environment warm": (lambda: set_interpreter(None, warm="1"),
                                    lambda: codetool.initialize_environment("/")),
    "install_dependencies succeeds": (lambda: set_interpreter("/bin/true"), lambda: codetool.install_dependencies(["a", "b"])),
    "install_dependencies pip fails": (lambda: set_interpreter("/bin/false"), expect(RuntimeError, codetool.install_dependencies, "a")),
    "install_dependencies not set up": (lambda: set_interpreter(None), expect(TypeError, codetool.install_dependencies, ["a"])),
    "install_dependencies not iterable": (None, expect(TypeError, codetool.install_dependencies, 5)),
    "codetool.safe_install_modules both paths": (
        lambda: set_interpreter("/bin/true"), lambda: (codetool.safe_install_modules(["a"]), codetool.safe_install_modules(3))),
    "master.safe_install_modules both paths": (
        lambda: set_interpreter("/bin/false"), lambda: (master.safe_install_modules(["a"]), master.safe_install_modules([]))),
    "install_defaults": (lambda: set_interpreter("/bin/true"), codetool.install_defaults),
    "initialize_environment ready and failing": (
        None, lambda: (codetool.initialize_environment("/"), expect(TypeError, codetool.initialize_environment, None)())),
    "ensure_virtual_environment": (lambda: codetool.initialize_environment("/"), codetool.ensure_virtual_environment),
    "initialize_env both paths": (None, lambda: (master.initialize_env("/"), master.initialize_env(None))),
    "initialize_env bad arguments": (None, expect(TypeError, master.initialize_env)),
}


# Paths whose calls cost more, each taken often enough still.
FEWER_ROUNDS = {
    "execute_code succeeds": ROUNDS // 6,
    "execute_code child fails": ROUNDS // 6,
    "execute_code warm": ROUNDS // 20,
    "execute_code sandbox refused": ROUNDS // 6,
    "execute_code sandbox paths": ROUNDS // 6,
    "execute_code sandbox off": ROUNDS // 6,
    "_sandbox_layers": ROUNDS // 6,
    "execute_code warm falling back": ROUNDS // 10,
    "initialize_environment warm": ROUNDS // 6,
    "install_defaults": ROUNDS // 12,
    "execute_code shortened output": ROUNDS // 6,
    "execute_code missing interpreter": ROUNDS // 6,
    "install_dependencies succeeds": ROUNDS // 6,
    "install_dependencies pip fails": ROUNDS // 6,
    "codetool.safe_install_modules both paths": ROUNDS // 6,
    "master.safe_install_modules both paths": ROUNDS // 6,
}


@pytest.mark.parametrize("case", list(CASES))
def test_public_functions_do_not_leak(case):
    prepare, action = CASES[case]
    if prepare:
        prepare()
    rounds = FEWER_ROUNDS.get(case, ROUNDS)
    assert growth(action, rounds) < ALLOWED_GROWTH * rounds // ROUNDS


def test_a_run_stopped_at_its_time_limit_does_not_leak(sleeper):
    set_interpreter(sleeper, timeout="0.002")
    rounds = ROUNDS // 10
    assert growth(lambda: codetool.execute_code("x"), rounds) < ALLOWED_GROWTH * rounds // ROUNDS


def test_arguments_keep_their_reference_counts(tmp_path):
    # A reference leaked on an existing object allocates nothing; its count
    # shows it. The watched objects are our own, so nothing else moves them.
    code, requirements, path = "".join(["print", "(1)"]), ["a", "b"], str(tmp_path)
    calls = [
        lambda: codetool.initialize_environment(path),
        lambda: master.initialize_env(path),
        lambda: set_interpreter("/bin/true"),
        lambda: codetool.execute_code(code),
        lambda: codetool.install_dependencies(requirements),
        lambda: master.safe_install_modules(requirements),
        expect(TypeError, codetool.execute_code, code, extra=requirements),
    ]
    watched = (code, requirements, path)
    before, after = reference_counts_after(calls, watched, rounds=200)
    assert after == before


def test_frame_paths_do_not_leak(frame_probe):
    class Host:
        method = frame_probe.catch_all

    host = Host()
    namespace = {"__name__": "scratch"}

    def everything():
        frame_probe.four(1, 2, 3)
        frame_probe.catch_all(1, 2, y=3, extra=4)
        host.method(1, 2, flag=True)
        expect(TypeError, frame_probe.three, 1, 2, c=3, d=4)()
        expect(TypeError, frame_probe.three, 1, 2, 3, a=1)()
        expect(TypeError, frame_probe.one)()
        expect(ValueError, frame_probe.fail, ValueError("x"))()
        frame_probe.make_function(namespace)  # a collectable cycle through namespace
        frame_probe.guard("p: ", lambda: 1 / 0)
        frame_probe.with_(contextlib.nullcontext(1), lambda value: value)

    assert growth(everything, ROUNDS) < ALLOWED_GROWTH
