"""The code runner against a real private environment and real pip."""

import glob
import json
import os
import re
import subprocess
import sys
import textwrap
import time

import pytest

import velto_ai_sdk.codetool as codetool
import velto_ai_sdk.master as master
from support import processes
from support.child import run_python
from support.environments import DEFAULT_PACKAGES, RecordingSubprocess, build_wheel
from velto_ai_sdk import settings as setting_rules
from velto_ai_sdk.settings import SettingError

ERROR_PREFIX = "An error occurred--: "


@pytest.fixture(autouse=True)
def settings(monkeypatch, tmp_path):
    """Every test leaves the module's settings as it found them, and runs
    with a temporary directory of its own for the scripts."""
    for name in ("env_path", "python_executable", "subprocess", "os", "tempfile"):
        monkeypatch.setattr(codetool, name, getattr(codetool, name))
    monkeypatch.setenv("PIP_DISABLE_PIP_VERSION_CHECK", "1")
    scripts = tmp_path / "scripts"
    scripts.mkdir()
    monkeypatch.setattr("tempfile.tempdir", str(scripts))
    return scripts


@pytest.fixture
def runner(analysis_environment, monkeypatch):
    monkeypatch.setattr(codetool, "python_executable", analysis_environment.python)
    return analysis_environment


@pytest.fixture(params=["cold", "warm"])
def either_way(request, runner, monkeypatch):
    """Runs the test with fresh interpreters, then with the warm worker,
    started beforehand (its imports take seconds)."""
    monkeypatch.setenv("VELTO_CODE_WARM", "1" if request.param == "warm" else "0")
    codetool.execute_code("")
    return request.param


@pytest.fixture
def recorder(monkeypatch):
    recording = RecordingSubprocess()
    monkeypatch.setattr(codetool, "subprocess", recording)
    return recording


class TestEnvironment:
    def test_new_environment_gets_pip_and_the_default_packages(self, analysis_environment):
        env = analysis_environment
        assert env.python == os.path.join(env.path, "bin", "python")
        assert env.pip_calls == [[env.python, "-m", "pip", "install", name] for name in DEFAULT_PACKAGES]
        assert env.output.count("Installation successful.\n") == 1
        assert "An error occurred" not in env.output
        assert subprocess.run([env.python, "-m", "pip", "--version"], capture_output=True).returncode == 0

    def test_same_path_again_starts_nothing_and_prints_nothing(self, analysis_environment, monkeypatch, capfd):
        monkeypatch.setattr(codetool, "subprocess", RecordingSubprocess(refuse=True))
        assert codetool.initialize_environment(analysis_environment.path) is None
        assert codetool.env_path == analysis_environment.path
        assert codetool.python_executable == analysis_environment.python
        assert capfd.readouterr() == ("", "")

    @pytest.mark.parametrize(
        "kind, reason",
        [("empty directory", "[Errno 2] No such file or directory"), ("regular file", "[Errno 20] Not a directory")],
    )
    def test_anything_at_the_path_counts_as_ready(self, tmp_path, kind, reason, capfd):
        path = tmp_path / "env"
        path.mkdir() if kind == "empty directory" else path.write_text("not an environment")
        codetool.initialize_environment(str(path))
        assert codetool.python_executable == str(path / "bin" / "python")
        assert capfd.readouterr() == ("", "")
        assert (os.listdir(path) if path.is_dir() else path.read_text()) in ([], "not an environment")
        # The first child process then finds no interpreter.
        codetool.safe_install_modules(["anything"])
        missing = "%s: %r" % (reason, str(path / "bin" / "python"))
        assert capfd.readouterr().out == "An error occurred during installation: %s\n" % missing
        with pytest.raises(OSError):
            codetool.execute_code("print(1)")

    def test_relative_path_stays_relative(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "envs" / "here").mkdir(parents=True)
        codetool.initialize_environment("envs/here")
        assert codetool.env_path == "envs/here"
        assert codetool.python_executable == "envs/here/bin/python"

    def test_nothing_works_before_set_up(self, monkeypatch, settings):
        monkeypatch.setattr(codetool, "env_path", None)
        monkeypatch.setattr(codetool, "python_executable", None)
        with pytest.raises(TypeError):
            codetool.ensure_virtual_environment()
        with pytest.raises(TypeError):
            codetool.install_dependencies(["numpy"])
        with pytest.raises(TypeError):
            codetool.execute_code("print(1)")
        assert os.listdir(settings) == []

    def test_failed_creation_propagates_and_keeps_the_interpreter(self, tmp_path, capfd):
        blocker = tmp_path / "blocker"
        blocker.write_text("")
        path = str(blocker / "env")
        before = codetool.python_executable
        with pytest.raises(OSError) as raised:
            codetool.initialize_environment(path)
        assert codetool.env_path == path
        assert codetool.python_executable == before
        assert codetool.media_path is None
        master.initialize_env(path)
        assert capfd.readouterr().out == "An error occurred during initilization: %s\n" % raised.value


class TestInstallation:
    def test_a_plain_string_is_one_requirement(self, runner, recorder, small_wheels):
        codetool.install_dependencies(small_wheels.one)
        assert recorder.calls == [[runner.python, "-m", "pip", "install", small_wheels.one]]
        assert codetool.execute_code("import velto_probe_one; print(velto_probe_one.VALUE)") == "1\n"

    def test_every_requirement_is_attempted_and_each_failure_named(self, runner, recorder, small_wheels):
        requirements = [small_wheels.missing, small_wheels.two, small_wheels.missing + "2"]
        with pytest.raises(RuntimeError) as raised:
            codetool.install_dependencies(requirements)
        assert str(raised.value) == "pip failed to install %r (exit status 1), %r (exit status 1)" % (
            small_wheels.missing, small_wheels.missing + "2")
        assert [call[-1] for call in recorder.calls] == requirements
        assert codetool.execute_code("import velto_probe_two; print(velto_probe_two.VALUE)") == "2\n"

    @pytest.mark.parametrize("facade", [codetool, master], ids=["codetool", "master"])
    def test_failed_pip_is_reported_and_never_as_success(self, runner, small_wheels, facade, capfd):
        facade.safe_install_modules([small_wheels.missing])
        out = capfd.readouterr().out
        assert out.endswith(
            "An error occurred during installation: pip failed to install %r (exit status 1)\n" % small_wheels.missing)
        assert "Installation successful." not in out

    def test_successful_install_prints_one_line(self, runner, small_wheels, capfd):
        master.safe_install_modules([small_wheels.three])
        assert capfd.readouterr().out.splitlines()[-1] == "Installation successful."
        assert codetool.execute_code("import velto_probe_three; print(velto_probe_three.VALUE)") == "3\n"

    def test_requirement_with_a_specifier_is_one_unchanged_argument(self, runner, recorder, small_wheels):
        codetool.install_dependencies([small_wheels.one])
        codetool.install_dependencies(["velto_probe_one==1.0"])
        assert recorder.calls[-1] == [runner.python, "-m", "pip", "install", "velto_probe_one==1.0"]

    def test_empty_list_and_a_non_iterable(self, runner, recorder, capfd):
        codetool.safe_install_modules([])
        codetool.safe_install_modules(5)
        assert recorder.calls == []
        assert capfd.readouterr().out == (
            "Installation successful.\nAn error occurred during installation: 'int' object is not iterable\n")

    def test_install_defaults_runs_pip_for_each_default_again(self, runner, recorder, capfd):
        codetool.install_defaults()
        assert [call[-1] for call in recorder.calls] == DEFAULT_PACKAGES
        assert capfd.readouterr().out.count("Installation successful.\n") == 1


class TestExecution:
    @pytest.mark.parametrize(
        "code, expected",
        [
            ("print('hello')", "hello\n"),
            ("import sys; sys.stdout.write('a\\r\\nb\\r\\n')", "a\nb\n"),
            ("", ""),
            ("import sys; print('out'); print('warned', file=sys.stderr)", "out\n"),
            ("import sys; print('lost'); sys.exit(3)", ERROR_PREFIX),
        ],
        ids=["line", "crlf", "empty", "stderr-with-success", "silent-failure"],
    )
    def test_outcomes(self, runner, code, expected, settings):
        assert codetool.execute_code(code) == expected
        assert os.listdir(settings) == []

    def test_uncaught_exception_returns_the_traceback(self, runner):
        result = codetool.execute_code("print('before')\n1/0\n")
        assert result.startswith(ERROR_PREFIX + "Traceback (most recent call last):\n")
        assert result.endswith("ZeroDivisionError: division by zero\n")
        assert "before" not in result

    def test_script_that_removes_its_own_file_keeps_its_result(self, runner, settings):
        code = "import os, sys; os.remove(sys.argv[0]); print('done')"
        # (Without the sandbox: in it, the script may only read its file.)
        assert run_code(code, sandbox="off")[0] == "done\n"
        assert re.search(r"PermissionError: \[Errno 13\] Permission denied: '.+\.py'\n$", codetool.execute_code(code))
        assert os.listdir(settings) == []

    @pytest.mark.parametrize("code, error", [(5, TypeError), ("\udc80", UnicodeEncodeError)])
    def test_script_that_cannot_be_written_leaves_no_file(self, runner, code, error, settings):
        with pytest.raises(error):
            codetool.execute_code(code)
        assert os.listdir(settings) == []

    def test_missing_interpreter_leaves_no_file(self, monkeypatch, tmp_path, settings):
        monkeypatch.setattr(codetool, "python_executable", str(tmp_path / "nothing" / "python"))
        with pytest.raises(FileNotFoundError):
            codetool.execute_code("print(1)")
        assert os.listdir(settings) == []

    def test_files_land_in_the_current_directory(self, runner, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setenv("VELTO_CODE_WRITE_PATHS", str(tmp_path))
        codetool.execute_code("open('written.txt', 'w').write('x')")
        assert (tmp_path / "written.txt").read_text() == "x"

    def test_interpreter_is_read_at_each_call(self, monkeypatch):
        monkeypatch.setattr(codetool, "python_executable", sys.executable)
        assert codetool.execute_code("import sys; print(sys.executable)") == sys.executable + "\n"

    def test_chart_with_the_default_packages(self, runner, tmp_path, monkeypatch):
        media = tmp_path / "media"
        monkeypatch.setenv("VELTO_CODE_WRITE_PATHS", str(tmp_path))
        code = textwrap.dedent(f"""
            import os
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
            import pandas as pd
            os.makedirs({str(media)!r}, exist_ok=True)
            frame = pd.DataFrame({{"month": [1, 2, 3], "sales": [10, 30, 20]}})
            frame.plot(x="month", y="sales", title="Sales")
            plt.savefig({str(media / "sales.png")!r})
            print(frame["sales"].sum())
        """)
        assert codetool.execute_code(code) == "60\n"
        assert (media / "sales.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_script_reads_the_hosts_standard_input(self, analysis_environment):
        host = textwrap.dedent(f"""
            import velto_ai_sdk.codetool as codetool
            codetool.python_executable = {analysis_environment.python!r}
            print(repr(codetool.execute_code("print(input().upper())")))
        """)
        done = subprocess.run([sys.executable, "-c", host], input="from the host\n", capture_output=True, text=True)
        assert done.stdout == "'FROM THE HOST\\n'\n", done.stderr


# ---------------------------------------------------------------------------
# Isolation: what a hostile script can do to the host, tried for real.

def run_code(code, **settings):
    """execute_code under VELTO_CODE_* settings given as keywords
    (timeout=1 is VELTO_CODE_TIMEOUT=1), with the time it took."""
    saved = dict(os.environ)
    os.environ.update({"VELTO_CODE_" + name.upper(): str(value) for name, value in settings.items()})
    try:
        started = time.monotonic()
        result = codetool.execute_code(code)
        return result, time.monotonic() - started
    finally:
        os.environ.clear()
        os.environ.update(saved)


def cgroup_writable(controller):
    """Whether a cgroup v1 hierarchy of `controller` takes a child of ours."""
    with open("/proc/self/cgroup") as cgroups:
        paths = [line.rstrip("\n").split(":", 2) for line in cgroups]
    own = [path for _, controllers, path in paths if controller in controllers.split(",")]
    probe = "/sys/fs/cgroup/%s%s/velto-test-probe-%d" % (controller, own[0].rstrip("/") if own else "", os.getpid())
    try:
        os.mkdir(probe)
    except OSError:
        return False
    os.rmdir(probe)
    return True


# RLIMIT_NPROC holds a non-root user; root only a pids cgroup.
process_cap = pytest.mark.skipif(os.getuid() == 0 and not cgroup_writable("pids"),
                                 reason="root without a pids cgroup it may make: no cap applies")
tree_memory_cap = pytest.mark.skipif(not cgroup_writable("memory"), reason="no memory cgroup we may make")


class TestScriptEnvironment:
    def test_only_the_allowed_variables_and_the_passed_ones_reach_it(self, runner, monkeypatch):
        secrets = {"OPENAI_API_KEY": "sk-secret", "VELTO_API_KEY": "vk-secret",
                   "VELTO_POSTGRES_URL": "postgresql://app:pw@db/x", "AWS_SECRET_ACCESS_KEY": "aws"}
        for name, value in secrets.items():
            monkeypatch.setenv(name, value)
        monkeypatch.setenv("LC_TIME", "C.UTF-8")
        monkeypatch.setenv("VELTO_EXTRA_ONE", "one")
        monkeypatch.setenv("VELTO_CODE_PASS_ENV", " VELTO_EXTRA_ONE, ,NOT_SET_ANYWHERE ")
        seen = json.loads(codetool.execute_code(
            "import json, os; print(json.dumps({'env': dict(os.environ),"
            " 'proc': open('/proc/self/environ').read()}))"))
        env = seen["env"]
        assert set(env) <= {"PATH", "HOME", "LANG", "TZ", "TMPDIR", "TERM", "USER", "LOGNAME", "MPLBACKEND",
                            "LC_TIME", "VELTO_EXTRA_ONE", "LC_CTYPE", "MPLCONFIGDIR"}, env
        # HOME and TMPDIR: the run's private directory
        assert env["PATH"] == os.environ["PATH"] and env["HOME"] == env["TMPDIR"] != os.environ["HOME"]
        assert (env["LC_TIME"], env["VELTO_EXTRA_ONE"], env["MPLBACKEND"]) == ("C.UTF-8", "one", "Agg")
        for value in secrets.values():
            assert value not in seen["proc"]

    def test_the_command_is_the_interpreter_and_the_script_alone(self, runner, settings):
        argv = codetool.execute_code("print(open('/proc/self/cmdline').read())").rstrip("\n").split("\0")[:-1]
        assert len(argv) == 2 and argv[0] == runner.python
        assert os.path.dirname(argv[1]) == str(settings) and argv[1].endswith(".py")

    def test_a_backend_the_host_chose_is_kept(self, runner, monkeypatch):
        monkeypatch.setenv("MPLBACKEND", "svg")
        assert codetool.execute_code("import os; print(os.environ['MPLBACKEND'])") == "svg\n"
        # a notebook's inline backend is a module of the host's, not the environment's
        monkeypatch.setenv("MPLBACKEND", "module://matplotlib_inline.backend_inline")
        assert codetool.execute_code("import os; print(os.environ['MPLBACKEND'])") == "Agg\n"

    def test_no_descriptor_of_the_host_reaches_it(self, runner, tmp_path):
        # An inheritable descriptor, as a database connection's socket may be.
        kept = os.open(str(tmp_path / "host-file"), os.O_CREAT | os.O_RDWR)
        os.set_inheritable(kept, True)
        try:
            listed = codetool.execute_code("import os; print(sorted(int(fd) for fd in os.listdir('/proc/self/fd')))")
        finally:
            os.close(kept)
        assert json.loads(listed) in ([0, 1, 2], [0, 1, 2, 3])  # 3: the listing's own


class TestTimeLimit:
    def test_an_endless_loop_is_stopped_with_its_tree(self, runner):
        mark = processes.marker()
        code = "import subprocess\nsubprocess.Popen(['sleep', %r], start_new_session=True)\nwhile True: pass\n" % mark
        result, took = run_code(code, timeout=1)
        assert result == ERROR_PREFIX + "The script was stopped after 1 second, the time limit that VELTO_CODE_TIMEOUT sets.\n"
        assert 1 <= took < 6
        assert processes.with_marker(mark) == []

    def test_endless_output_is_stopped_too(self, runner):
        result, took = run_code("while True:\n    print('x' * 1000)\n", timeout=1, max_output=1000)
        assert result == ERROR_PREFIX + "The script was stopped after 1 second, the time limit that VELTO_CODE_TIMEOUT sets.\n"
        assert took < 6

    def test_runs_in_other_threads_go_on_meanwhile(self, runner):
        import threading
        results = []
        threads = [threading.Thread(target=lambda n=n: results.append(
            codetool.execute_code("import time; time.sleep(1); print(%d)" % n))) for n in range(2)]
        started = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert sorted(results) == ["0\n", "1\n"]
        assert time.monotonic() - started < 1.9

    def test_fractions_are_worded_as_given(self, runner):
        result, _ = run_code("import time; time.sleep(30)", timeout=0.5)
        assert result == ERROR_PREFIX + "The script was stopped after 0.5 seconds, the time limit that VELTO_CODE_TIMEOUT sets.\n"

    def test_no_limit_when_zero(self, runner):
        assert run_code("import time; time.sleep(0.3); print('slept')", timeout=0)[0] == "slept\n"


DETACHED = {
    "new session": "import subprocess\nsubprocess.Popen(['sleep', MARK], start_new_session=True)\n",
    "double fork": textwrap.dedent("""
        import os
        if os.fork() == 0:
            os.setsid()
            if os.fork() == 0:
                os.execvp('sleep', ['sleep', MARK])
            os._exit(0)
        os.wait()
    """),
    "holding stdout": "import subprocess\nsubprocess.Popen(['sleep', MARK])\n",
    "holding stderr, stopped": "import os, signal, subprocess\n"
                                "p = subprocess.Popen(['sleep', MARK], start_new_session=True)\n"
                                "os.kill(p.pid, signal.SIGSTOP)\n",
}


class TestNothingOutlivesTheCall:
    @pytest.mark.parametrize("kind", list(DETACHED))
    def test_what_the_script_left_is_gone_at_once(self, runner, kind, either_way):
        mark = processes.marker()
        result, took = run_code(DETACHED[kind].replace("MARK", repr(mark)) + "print('done')\n")
        assert result == "done\n"
        assert took < 5
        assert processes.with_marker(mark) == []

    def test_a_script_that_kills_its_supervisor_takes_its_tree_along(self, runner, either_way):
        # (Without the sandbox, which refuses the signal.)
        mark = processes.marker()
        code = ("import os, subprocess, time\nsubprocess.Popen(['sleep', %r], start_new_session=True)\n"
                "time.sleep(0.2)\nos.kill(os.getppid(), 9)\ntime.sleep(60)\n" % mark)
        result, took = run_code(code, sandbox="off")
        assert result == ERROR_PREFIX + "The script's supervisor was killed; every process of the run has been ended.\n"
        assert took < 10
        assert processes.with_marker(mark) == []
        assert codetool.execute_code("print('next')") == "next\n"

    def test_a_host_killed_with_sigkill_leaves_nothing_behind(self, runner, tmp_path, monkeypatch):
        monkeypatch.setenv("VELTO_CODE_WRITE_PATHS", str(tmp_path))
        mark, ready = processes.marker(), tmp_path / "ready"
        script = textwrap.dedent(f"""
            import os, subprocess, time
            subprocess.Popen(['sleep', {mark!r}], start_new_session=True)
            if os.fork() == 0:
                os.setsid()
                if os.fork() == 0:
                    os.execvp('sleep', ['sleep', {mark!r}])
                os._exit(0)
            open({str(ready)!r}, 'w').write(str(os.getpid()))
            time.sleep(600)
        """)
        host = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
            import velto_ai_sdk.codetool as codetool
            codetool.python_executable = {runner.python!r}
            codetool.execute_code({script!r})
        """)])
        try:
            assert processes.wait_until(lambda: ready.exists() and ready.read_text(), timeout=60)
            script_process = processes.identity(int(ready.read_text()))
            assert processes.wait_until(lambda: len(processes.with_marker(mark)) == 2)
        finally:
            host.kill()
            host.wait()
        assert processes.wait_until(lambda: not processes.with_marker(mark) and
                                    not processes.still_alive([script_process])), processes.with_marker(mark)

    def test_the_waiting_supervisor_leaves_with_its_host(self, runner):
        report = json.loads(run_python(f"""
            import json, os
            import velto_ai_sdk.codetool as codetool
            codetool.python_executable = {runner.python!r}
            codetool.execute_code("print(1)")
            children = open("/proc/self/task/%d/children" % os.getpid()).read().split()
            stats = {{pid: open("/proc/%s/stat" % pid).read() for pid in children}}
            print(json.dumps({{"host": os.getpid(), "children": stats}}))
        """))
        supervisors = [processes.identity(int(pid), stat) for pid, stat in report["children"].items()]
        assert len(supervisors) == 1
        cgroups = "/sys/fs/cgroup/*/**/velto-code-%d-*" % report["host"]
        assert processes.wait_until(lambda: not processes.still_alive(supervisors) and
                                    not glob.glob(cgroups, recursive=True))

    def test_a_forked_host_runs_with_a_supervisor_of_its_own(self, runner):
        out = run_python(f"""
            import os
            import velto_ai_sdk.codetool as codetool
            codetool.python_executable = {runner.python!r}
            codetool.execute_code("print(1)")
            child = os.fork()
            if child == 0:
                os._exit(0 if codetool.execute_code("print('child')") == "child\\n" else 1)
            print(os.waitpid(child, 0)[1], codetool.execute_code("print('parent')"), end="")
        """)
        assert out == "0 parent\n"

    def test_an_interrupt_ends_the_wait_and_the_run(self, runner, tmp_path):
        mark = processes.marker()
        out = run_python(f"""
            import os, signal, threading, time
            import velto_ai_sdk.codetool as codetool
            codetool.python_executable = {runner.python!r}
            threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
            started = time.monotonic()
            try:
                codetool.execute_code("import subprocess, time\\n"
                                      "subprocess.Popen(['sleep', {mark!r}], start_new_session=True)\\n"
                                      "time.sleep(600)\\n")
            except KeyboardInterrupt:
                print("interrupted", time.monotonic() - started < 5)
        """)
        assert out == "interrupted True\n"
        assert processes.with_marker(mark) == []


class TestResources:
    @process_cap
    def test_a_fork_loop_is_contained(self, runner, either_way):
        mark = processes.marker()
        code = textwrap.dedent(f"""
            import os, sys
            started = 0
            try:
                while True:
                    if os.fork() == 0:
                        os.execvp('sleep', ['sleep', {mark!r}])
                    started += 1
            except OSError:
                print('started', started, file=sys.stderr)
                raise
        """)
        result, took = run_code(code, max_processes=40)
        assert result.startswith(ERROR_PREFIX + "started ")
        assert int(result.split()[4]) < 40
        assert result.endswith("BlockingIOError: [Errno 11] Resource temporarily unavailable\n")
        assert processes.with_marker(mark) == []
        assert codetool.execute_code("print('usable')") == "usable\n"

    @process_cap
    def test_a_fork_bomb_ends_with_its_script(self, runner, settings):
        result, took = run_code("import os\nwhile True:\n    os.fork()\n", max_processes=64, timeout=30)
        assert result.startswith(ERROR_PREFIX) and "BlockingIOError" in result
        assert took < 30
        assert processes.with_marker(str(settings)) == []

    def test_an_allocation_loop_ends_with_a_memory_error(self, runner, either_way):
        result, _ = run_code("chunks = []\nwhile True:\n    chunks.append(bytearray(16 << 20))\n", max_memory_mb=300)
        assert result.startswith(ERROR_PREFIX + "Traceback")
        assert result.endswith("MemoryError\n")

    @tree_memory_cap
    def test_processes_that_together_pass_the_cap_are_ended_and_said_to(self, runner, either_way):
        # Each stays under its own limit; together they pass the cgroup's,
        # and the kernel kills the largest: the script itself.
        code = textwrap.dedent("""
            import os, time
            if os.fork() == 0:
                small = bytearray(120 << 20)
                time.sleep(60)
            time.sleep(0.5)
            large = bytearray(220 << 20)
            time.sleep(60)
        """)
        result, took = run_code(code, max_memory_mb=300)
        assert result == ERROR_PREFIX + ("The script was ended by SIGKILL. Its processes together needed more memory "
                                         "than the 300 MB that VELTO_CODE_MAX_MEMORY_MB allows.\n")
        assert took < 30

    @tree_memory_cap
    def test_memory_an_earlier_run_left_in_tmpfs_does_not_refuse_a_lower_cap(self, runner):
        # (Without the sandbox: a sandboxed run has a /dev/shm of its own.)
        path = "/dev/shm/velto-test-%d" % os.getpid()
        try:
            assert run_code("open(%r, 'wb').write(b'x' * (400 << 20))" % path, max_memory_mb=1000,
                            sandbox="off")[0] == ""
            assert run_code("print('next')", max_memory_mb=300)[0] == "next\n"
        finally:
            os.remove(path)

    @pytest.mark.skipif(os.getuid() != 0, reason="hiding the cgroups needs a mount namespace of root's")
    def test_without_cgroups_the_limits_of_each_process_still_hold(self, runner):
        host = textwrap.dedent(f"""
            import json, os, time
            import velto_ai_sdk.codetool as codetool
            codetool.python_executable = {runner.python!r}
            os.environ["VELTO_CODE_MAX_MEMORY_MB"] = "300"
            results = [codetool.execute_code(code) for code in (
                "print('runs')",
                "chunks = []\\nwhile True:\\n    chunks.append(bytearray(16 << 20))",
                "import resource; print(resource.getrlimit(resource.RLIMIT_DATA)[0] >> 20)",
            )]
            os.environ["VELTO_CODE_TIMEOUT"] = "0.5"
            results.append(codetool.execute_code("while True: pass"))
            print(json.dumps(results))
        """)
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                               'umount -R /sys/fs/cgroup && exec "$0" -c "$1"', sys.executable, host],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        runs, allocation, limit, endless = json.loads(done.stdout)
        assert (runs, limit) == ("runs\n", "300\n")
        assert allocation.startswith(ERROR_PREFIX) and allocation.endswith("MemoryError\n")
        assert endless.startswith(ERROR_PREFIX + "The script was stopped after 0.5 seconds")

    def test_default_limits_leave_the_usual_analysis_alone(self, runner, tmp_path, monkeypatch):
        monkeypatch.setenv("VELTO_CODE_WRITE_PATHS", str(tmp_path))
        code = textwrap.dedent(f"""
            import matplotlib.pyplot as plt
            import numpy as np
            import pandas as pd
            import statsmodels.api as sm
            from sklearn.ensemble import RandomForestRegressor
            from sklearn.linear_model import LinearRegression
            frame = pd.DataFrame(np.random.default_rng(1).random((200000, 6)), columns=list("abcdef"))
            LinearRegression().fit(frame[list("abcde")], frame["f"])
            RandomForestRegressor(n_estimators=20, n_jobs=-1).fit(frame[list("abcde")][:5000], frame["f"][:5000])
            sm.OLS(frame["f"], sm.add_constant(frame["a"])).fit()
            frame.plot(x="a", y="b", kind="scatter")
            plt.savefig({str(tmp_path / "chart.png")!r})
            print(len(frame))
        """)
        assert codetool.execute_code(code) == "200000\n"
        assert (tmp_path / "chart.png").read_bytes()[:4] == b"\x89PNG"


def shortened_parts(text):
    """The beginning, the count left out and the end of a shortened text."""
    head, note, rest = text.partition("\n[... ")
    count, note_end, tail = rest.partition(" characters left out ...]\n")
    assert note and note_end, text[:200]
    return head, int(count), tail


class TestOutput:
    def test_200_mb_of_output_is_bounded_in_the_host_and_shortened(self, runner):
        report = json.loads(run_python(f"""
            import json, resource
            import velto_ai_sdk.codetool as codetool
            codetool.python_executable = {runner.python!r}
            codetool.execute_code("print(1)")
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            result = codetool.execute_code("import sys\\nline = 'y' * 1023 + '\\\\n'\\n"
                                           "for _ in range(200 * 1024): sys.stdout.write(line)\\n")
            grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
            print(json.dumps({{"result": result, "grown_kb": grown}}))
        """))
        result = report["result"]
        head, count, tail = shortened_parts(result)
        assert len(result) <= 50000
        assert len(head) + count + len(tail) == 200 * 1024 * 1024
        assert set(head + tail) == {"y", "\n"}
        # Printed whole, it grew the host by three times its size.
        assert report["grown_kb"] < 64 * 1024

    def test_shortened_text_keeps_the_beginning_and_the_end(self, runner):
        total = 5000
        code = "import sys; sys.stdout.write(''.join(chr(65 + i %% 26) for i in range(%d)))" % total
        result, _ = run_code(code, max_output=1000)
        full = "".join(chr(65 + i % 26) for i in range(total))
        head, count, tail = shortened_parts(result)
        assert len(result) <= 1000
        assert full.startswith(head) and full.endswith(tail)
        assert len(head) + count + len(tail) == total
        assert abs(len(head) - len(tail)) <= 1

    def test_output_at_the_limit_comes_back_whole(self, runner):
        result, _ = run_code("import sys; sys.stdout.write('x' * 999 + '\\n')", max_output=1000)
        assert result == "x" * 999 + "\n"

    def test_error_output_is_shortened_too(self, runner):
        result, _ = run_code("import sys; sys.stderr.write('e' * 100000); sys.exit(1)", max_output=1000)
        assert result.startswith(ERROR_PREFIX + "e" * 100)
        assert "characters left out ...]" in result and len(result) <= len(ERROR_PREFIX) + 1000

    @pytest.mark.parametrize("stream, exit_code, expected", [
        ("stdout", 0, "ok \ufffd\ufffd\nnext\n"),
        ("stderr", 1, ERROR_PREFIX + "ok \ufffd\ufffd\nnext\n"),
    ])
    def test_bytes_that_do_not_decode_become_replacement_characters(self, runner, stream, exit_code, expected):
        code = "import sys; sys.%s.buffer.write(b'ok \\xff\\xfe\\r\\nnext\\r'); sys.exit(%d)" % (stream, exit_code)
        assert codetool.execute_code(code) == expected

    def test_a_script_killed_by_a_signal_says_so(self, runner):
        assert codetool.execute_code("import os, signal; os.kill(os.getpid(), signal.SIGABRT)") == (
            ERROR_PREFIX + "The script was ended by SIGABRT.\n")


BAD_SETTINGS = [
    ("VELTO_CODE_TIMEOUT", "-1", lambda: setting_rules.number("VELTO_CODE_TIMEOUT", 300, 0, unit=" seconds")),
    ("VELTO_CODE_TIMEOUT", "nan", lambda: setting_rules.number("VELTO_CODE_TIMEOUT", 300, 0, unit=" seconds")),
    ("VELTO_CODE_TIMEOUT", "soon", lambda: setting_rules.number("VELTO_CODE_TIMEOUT", 300, 0, unit=" seconds")),
    ("VELTO_CODE_MAX_MEMORY_MB", "99", lambda: setting_rules.integer("VELTO_CODE_MAX_MEMORY_MB", 4096, 100, 16 << 20)),
    ("VELTO_CODE_MAX_MEMORY_MB", "1.5", lambda: setting_rules.integer("VELTO_CODE_MAX_MEMORY_MB", 4096, 100, 16 << 20)),
    ("VELTO_CODE_MAX_PROCESSES", "0", lambda: setting_rules.integer("VELTO_CODE_MAX_PROCESSES", 256, 1, 4 << 20)),
    ("VELTO_CODE_MAX_OUTPUT", "99999999999999999999",
     lambda: setting_rules.integer("VELTO_CODE_MAX_OUTPUT", 50000, 1000, 10 ** 9)),
    ("VELTO_CODE_WARM", "maybe", lambda: setting_rules.flag("VELTO_CODE_WARM")),
]


class TestSettings:
    @pytest.mark.parametrize("name, value, python_reader", BAD_SETTINGS, ids=[n + "=" + v for n, v, _ in BAD_SETTINGS])
    def test_a_bad_value_is_refused_in_the_words_of_the_python_reader(self, runner, settings, monkeypatch, name,
                                                                      value, python_reader):
        monkeypatch.setenv(name, value)
        with pytest.raises(SettingError) as expected:
            python_reader()
        with pytest.raises(ValueError) as raised:
            codetool.execute_code("print(1)")
        assert str(raised.value) == str(expected.value)
        assert os.listdir(settings) == []

    def test_values_are_read_at_every_call(self, runner, monkeypatch):
        monkeypatch.setenv("VELTO_CODE_MAX_OUTPUT", "1000")
        assert len(codetool.execute_code("print('z' * 5000)")) <= 1000
        monkeypatch.setenv("VELTO_CODE_MAX_OUTPUT", " ")
        assert codetool.execute_code("print('z' * 5000)") == "z" * 5000 + "\n"


# ---------------------------------------------------------------------------
# Warm runs: forked from a worker that has the packages imported, the same
# results as a fresh interpreter's.

def warm_and_cold(code, **settings):
    """The results of `code` run from nothing and forked from the warm
    worker, with the temporary script's name made the same."""
    # the working directory is the test's, and written to
    settings.setdefault("write_paths", os.getcwd())
    results = [run_code(code, warm=mode, **settings)[0] for mode in ("0", "1")]
    return [re.sub(r"tmp\w+\.py", "SCRIPT.py", result) for result in results]


# The worker, seen from a run: the supervisor's other child. (The sandbox
# lets no run see its supervisor: these runs go without it.)
WORKER = textwrap.dedent("""
    import os
    _children = open('/proc/%d/task/%d/children' % (os.getppid(), os.getppid())).read().split()
    WORKERS = [int(pid) for pid in _children if int(pid) != os.getpid()]
""")


def worker_of_a_run(code=""):
    out = run_code(WORKER + code + "\nprint(WORKERS)", sandbox="off")[0]
    workers = json.loads(out.splitlines()[-1])
    assert len(workers) == 1, out
    return workers[0], out


CHART = """
import os
import re
import matplotlib.pyplot as plt
import pandas as pd
frame = pd.DataFrame({"month": [1, 2, 3], "sales": [10, 30, 20]})
frame.plot(x="month", y="sales", title="Sales")
plt.savefig(os.path.join(os.getcwd(), "sales-%d.png" % os.getpid()))
print(frame["sales"].sum(), sorted(name for name in os.listdir(".") if name.startswith("sales-")) != [])
"""

SAME_BOTH_WAYS = {
    "printing": ("print('hello'); print('out'); import sys; print('warned', file=sys.stderr)", "hello\nout\n"),
    "chart": (CHART, "60 True\n"),
    "uncaught exception": ("print('before')\ndef f():\n    return 1 / 0\nf()\n",
                           ERROR_PREFIX + 'Traceback (most recent call last):\n  File "{dir}/SCRIPT.py", line 4, '),
    "syntax error": ("def f(:\n    pass\n", ERROR_PREFIX + '  File "{dir}/SCRIPT.py", line 1\n'),
    "exit 3, silent": ("import sys; print('lost'); sys.exit(3)", ERROR_PREFIX),
    "exit 3 with error output": ("import sys; sys.stderr.write('bad\\n'); sys.exit(3)", ERROR_PREFIX + "bad\n"),
    "exit with a text": ("import sys; sys.exit('bye')", ERROR_PREFIX + "bye\n"),
    "exit 0 after output": ("import sys; print('fine'); sys.exit(0)", "fine\n"),
    "interrupt": ("raise KeyboardInterrupt", ERROR_PREFIX + "Traceback (most recent call last):\n"),
    "__main__": ("import sys\nprint(__name__, __file__ == sys.argv[0], __spec__, __package__, __cached__,"
                 " type(__loader__).__name__, sorted(globals()), sys.modules['__main__'].__dict__ is globals())",
                 "__main__ True None None None SourceFileLoader ['__annotations__', '__builtins__', '__cached__',"
                 " '__doc__', '__file__', '__loader__', '__name__', '__package__', '__spec__', 'sys'] True\n"),
    "argv and path": ("import os, sys\nprint(len(sys.argv), sys.argv[0].endswith('.py'),"
                      " sys.path[0] == os.path.dirname(os.path.realpath(sys.argv[0])), sys.path[1:])", None),
    "interpreter state": ("import sys, warnings, threading\nprint(sys.flags, sys.executable, sys.prefix,"
                          " warnings.filters, threading.enumerate().__len__(), threading.current_thread().name)",
                          None),
    "standard streams": ("import sys\nprint([(s.encoding, s.errors, s.line_buffering, s.seekable(), s.isatty(),"
                         " s.buffer.raw.name) for s in (sys.stdout, sys.stderr)], sys.stdin and sys.stdin.mode)", None),
    "descriptors": ("import os; print(sorted(int(fd) for fd in os.listdir('/proc/self/fd')))", None),
    "threads left running": ("import threading, time\n"
                             "def late():\n    time.sleep(0.3)\n    print('late', flush=True)\n"
                             "threading.Thread(target=late).start()\n"
                             "threading.Thread(target=lambda: (time.sleep(30), print('daemon')), daemon=True).start()\n"
                             "print('main', flush=True)\n", "main\nlate\n"),
    "exit handlers and finalisers": ("import atexit\nclass Noisy:\n    def __del__(self):\n        print('released')\n"
                                     "kept = Noisy()\natexit.register(print, 'at exit')\n"
                                     "log = open('unclosed-%d.txt' % id(kept), 'w')\nlog.write('flushed')\n"
                                     "atexit.register(lambda: print(open(log.name).read() == ''))\n",
                                     "True\nat exit\nreleased\n"),
}


class TestWarmRunsAreLikeFreshOnes:
    @pytest.mark.parametrize("case", list(SAME_BOTH_WAYS))
    def test_the_same_result_both_ways(self, runner, settings, case, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        code, expected = SAME_BOTH_WAYS[case]
        cold, warm = warm_and_cold(code)
        assert warm == cold
        if expected is not None:
            assert cold.startswith(expected.format(dir=settings)), cold

    def test_files_the_script_left_open_are_flushed(self, runner, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        warm_and_cold("log = open('left-open-%d.txt' % __import__('os').getpid(), 'w'); log.write('kept')")
        assert [path.read_text() for path in tmp_path.glob("left-open-*.txt")] == ["kept", "kept"]

    def test_relative_paths_land_in_the_hosts_current_directory(self, runner, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        assert warm_and_cold("import os; open('written.txt', 'a').write('x'); print(os.getcwd())") == \
            [str(tmp_path) + "\n"] * 2
        assert (tmp_path / "written.txt").read_text() == "xx"

    def test_random_states_are_fresh_in_every_run(self, runner, monkeypatch):
        monkeypatch.setenv("VELTO_CODE_WARM", "1")
        code = "import numpy, random; print(numpy.random.rand(), random.random())"
        runs = [codetool.execute_code(code) for _ in range(3)]
        numbers = [number for run in runs for number in run.split()]
        assert len(set(numbers)) == 6, runs

    def test_the_time_limit(self, runner):
        assert warm_and_cold("while True: pass", timeout=1) == [
            ERROR_PREFIX + "The script was stopped after 1 second, the time limit that VELTO_CODE_TIMEOUT sets.\n"] * 2

    def test_the_environment_allow_list(self, runner, monkeypatch):
        for name, value in {"OPENAI_API_KEY": "sk-secret", "VELTO_POSTGRES_URL": "postgresql://a:pw@db/x",
                            "VELTO_EXTRA_ONE": "one", "VELTO_CODE_PASS_ENV": "VELTO_EXTRA_ONE"}.items():
            monkeypatch.setenv(name, value)
        # (HOME and TMPDIR are the run's private directory; /proc/self/environ
        # shows the environment a process started with, the worker's in a
        # warm run.)
        started_with = "import json, os\nprint(json.dumps([sorted(os.environ.items()), sorted(entry for entry in" \
                       " open('/proc/self/environ').read().split('\\0') if not entry.startswith(('HOME=', 'TMPDIR='))" \
                       ")]))"
        cold, warm = (re.sub(r"velto-run-\w+", "velto-run-PRIVATE", result) for result in warm_and_cold(started_with))
        assert warm == cold
        seen, proc = json.loads(cold)
        assert dict(seen)["VELTO_EXTRA_ONE"] == "one" and "OPENAI_API_KEY" not in dict(seen)
        assert "sk-secret" not in "\0".join(proc) and "pw@db" not in "\0".join(proc)

    def test_standard_input_is_the_hosts(self, analysis_environment):
        outputs = []
        for warm in ("0", "1"):
            host = textwrap.dedent(f"""
                import os
                import velto_ai_sdk.codetool as codetool
                codetool.python_executable = {analysis_environment.python!r}
                os.environ["VELTO_CODE_WARM"] = {warm!r}
                print(repr(codetool.execute_code("import sys; print(input().upper(), sys.stdin.seekable(),"
                                                 " sys.stdin.isatty(), sys.stdin.read())")))
            """)
            done = subprocess.run([sys.executable, "-c", host], input="one\ntwo\n", capture_output=True, text=True)
            outputs.append(done.stdout + done.stderr)
        assert outputs == ["'ONE False False two\\n\\n'\n"] * 2


class TestTheWarmWorker:
    def test_it_is_kept_and_no_run_can_reach_its_descriptors(self, runner, monkeypatch):
        monkeypatch.setenv("VELTO_CODE_WARM", "1")
        worker, _ = worker_of_a_run()
        again, out = worker_of_a_run("print(sorted(os.listdir('/proc/self/fd')), os.getppid() != %d)" % worker)
        assert again == worker
        assert out.splitlines()[0] in ("['0', '1', '2'] True", "['0', '1', '2', '3'] True")

    def test_killed_mid_run_it_is_started_again(self, runner, monkeypatch):
        # (Without the sandbox, which refuses the signal.)
        monkeypatch.setenv("VELTO_CODE_SANDBOX", "off")
        monkeypatch.setenv("VELTO_CODE_WARM", "1")
        worker, out = worker_of_a_run("import signal, time\nos.kill(WORKERS[0], signal.SIGKILL)\n"
                                      "time.sleep(0.2)\nprint('still running')")
        assert out.startswith("still running\n")
        assert processes.identity(worker) is None
        successor, _ = worker_of_a_run()
        assert successor != worker

    def test_a_worker_stopped_by_a_run_takes_the_next_one(self, runner, monkeypatch):
        monkeypatch.setenv("VELTO_CODE_SANDBOX", "off")
        monkeypatch.setenv("VELTO_CODE_WARM", "1")
        worker, _ = worker_of_a_run("import signal; os.kill(WORKERS[0], signal.SIGSTOP)")
        assert worker_of_a_run()[0] == worker

    def test_a_new_interpreter_environment_or_package_gets_a_new_worker(self, runner, monkeypatch, tmp_path):
        monkeypatch.setenv("VELTO_CODE_WARM", "1")
        first, _ = worker_of_a_run()
        monkeypatch.setattr(codetool, "python_executable", runner.python + "3")
        second, out = worker_of_a_run("import sys; print(sys.executable)")
        assert second != first and out.startswith(runner.python + "3\n")
        monkeypatch.setenv("LC_TIME", "C")
        third, out = worker_of_a_run("print(os.environ['LC_TIME'])")
        assert third != second and out.startswith("C\n")
        assert worker_of_a_run()[0] == third
        codetool.install_dependencies([build_wheel(tmp_path, "velto_probe_warm_%d" % os.getpid(), 7)])
        fourth, out = worker_of_a_run("import velto_probe_warm_%d as probe; print(probe.VALUE)" % os.getpid())
        assert fourth != third and out.startswith("7\n")

    def test_a_worker_that_cannot_start_leaves_the_run_to_a_fresh_interpreter(self, monkeypatch, capfd):
        # cat is no interpreter: it prints the worker's file and ends.
        monkeypatch.setattr(codetool, "python_executable", "/bin/cat")
        monkeypatch.setenv("VELTO_CODE_WARM", "1")
        assert codetool.execute_code("x = 1\n") == "x = 1\n"
        err = capfd.readouterr().err
        assert err.count("\n") == 1 and "warm worker" in err and "fresh interpreter" in err, err

    def test_cold_runs_are_left_as_they_were(self, runner, settings, monkeypatch):
        monkeypatch.setenv("VELTO_CODE_WARM", "1")
        worker_of_a_run()
        monkeypatch.setenv("VELTO_CODE_WARM", "0")
        monkeypatch.setenv("VELTO_CODE_SANDBOX", "off")
        out = codetool.execute_code(WORKER + "import json\n"
                                    "print(json.dumps([open('/proc/self/cmdline').read().split('\\0'), WORKERS]))")
        command, workers = json.loads(out)
        assert command[0] == runner.python and len(command) == 3 and workers == []

    def test_initialize_environment_starts_it_for_the_first_run(self, runner):
        out = run_python(f"""
            import json, os
            import velto_ai_sdk.codetool as codetool
            os.environ["VELTO_CODE_WARM"] = "1"
            os.environ["VELTO_CODE_SANDBOX"] = "off"
            codetool.initialize_environment({os.path.dirname(os.path.dirname(runner.python))!r})
            supervisors = open("/proc/self/task/%d/children" % os.getpid()).read().split()
            workers = [int(pid) for supervisor in supervisors
                       for pid in open("/proc/%s/task/%s/children" % (supervisor, supervisor)).read().split()]
            print(json.dumps([workers, codetool.execute_code({WORKER + "print(WORKERS)"!r})]))
        """)
        workers, seen = json.loads(out)
        assert len(workers) == 1 and json.loads(seen) == workers

    def test_a_host_killed_with_sigkill_leaves_no_worker_behind(self, runner, tmp_path):
        ready = tmp_path / "ready"
        script = WORKER + f"import time\nopen({str(ready)!r}, 'w').write('%d %d' % (WORKERS[0], os.getpid()))\n" \
                          "time.sleep(600)\n"
        host = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
            import os
            import velto_ai_sdk.codetool as codetool
            os.environ["VELTO_CODE_WARM"] = "1"
            os.environ["VELTO_CODE_SANDBOX"] = "off"
            codetool.python_executable = {runner.python!r}
            codetool.execute_code({script!r})
        """)])
        try:
            assert processes.wait_until(lambda: ready.exists() and ready.read_text(), timeout=60)
            left = [processes.identity(int(pid)) for pid in ready.read_text().split()]
        finally:
            host.kill()
            host.wait()
        assert processes.wait_until(lambda: not processes.still_alive(left)), left
