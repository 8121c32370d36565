"""The code runner against a real private environment and real pip."""

import os
import subprocess
import sys
import textwrap

import pytest

import velto_ai_sdk.codetool as codetool
import velto_ai_sdk.master as master
from support.environments import DEFAULT_PACKAGES, RecordingSubprocess

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
        assert codetool.execute_code("import os, sys; os.remove(sys.argv[0]); print('done')") == "done\n"
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
        codetool.execute_code("open('written.txt', 'w').write('x')")
        assert (tmp_path / "written.txt").read_text() == "x"

    def test_interpreter_is_read_at_each_call(self, monkeypatch):
        monkeypatch.setattr(codetool, "python_executable", sys.executable)
        assert codetool.execute_code("import sys; print(sys.executable)") == sys.executable + "\n"

    def test_chart_with_the_default_packages(self, runner, tmp_path):
        media = tmp_path / "media"
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
