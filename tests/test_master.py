"""The bootstrap facade: guarded set-up and installation."""

import pytest

import velto_ai_sdk.codetool as codetool
import velto_ai_sdk.master as master

DOC = (
    "\n    Calls install_dependencies with a list of module names and handles any errors.\n    \n"
    "    :param module_names: A list of strings representing the names of the modules to install.\n    "
)


@pytest.fixture(autouse=True)
def keep_settings(monkeypatch):
    for name in ("env_path", "python_executable"):
        monkeypatch.setattr(codetool, name, getattr(codetool, name))


def raising(error):
    def call(*args):
        raise error

    return call


def test_names_and_docstring():
    assert master.safe_install_modules.__doc__ == DOC
    assert master.initialize_env.__doc__ is None
    assert master.execute_code is codetool.execute_code
    assert master.safe_install_modules is not codetool.safe_install_modules
    assert master.__test__ == {}


def test_initialize_env_on_a_ready_directory_prints_nothing(tmp_path, capsys):
    assert master.initialize_env(str(tmp_path)) is None
    assert codetool.python_executable == str(tmp_path / "bin" / "python")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "error, text",
    [
        (OSError(13, "Permission denied", "/srv/env"), "[Errno 13] Permission denied: '/srv/env'"),
        (ValueError("bad path"), "bad path"),
    ],
)
def test_initialize_env_reports_one_line(monkeypatch, capsys, error, text):
    monkeypatch.setattr(master, "initialize_environment", raising(error))
    assert master.initialize_env("/srv/env") is None
    assert capsys.readouterr().out == "An error occurred during initilization: %s\n" % text


def test_a_name_removed_by_the_host_is_reported(monkeypatch, capsys):
    monkeypatch.delattr(master, "initialize_environment")
    monkeypatch.delattr(master, "install_dependencies")
    master.initialize_env("/srv/env")
    master.safe_install_modules(["numpy"])
    assert capsys.readouterr().out == (
        "An error occurred during initilization: name 'initialize_environment' is not defined\n"
        "An error occurred during installation: name 'install_dependencies' is not defined\n"
    )


def test_safe_install_passes_the_argument_unchanged(monkeypatch, capsys):
    received = []
    monkeypatch.setattr(master, "install_dependencies", lambda names: received.append(names) or "ignored")
    names = []
    assert master.safe_install_modules(names) is None
    assert received[0] is names
    assert capsys.readouterr().out == "Installation successful.\n"


def test_safe_install_failure_prints_only_the_error(monkeypatch, capsys):
    monkeypatch.setattr(master, "install_dependencies", raising(RuntimeError("pip failed")))
    master.safe_install_modules(["numpy"])
    assert capsys.readouterr().out == "An error occurred during installation: pip failed\n"


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(2)])
def test_interrupts_pass_through(monkeypatch, capsys, error):
    monkeypatch.setattr(master, "install_dependencies", raising(error))
    monkeypatch.setattr(master, "initialize_environment", raising(error))
    with pytest.raises(type(error)):
        master.safe_install_modules(["numpy"])
    with pytest.raises(type(error)):
        master.initialize_env("/srv/env")
    assert capsys.readouterr().out == ""
