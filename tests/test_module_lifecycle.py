"""How the modules are created and initialised: once per process, in one
interpreter, and cleanly undone when their body fails.

Each scenario runs in a fresh interpreter, since a module's body runs only
once per process."""

import velto_ai_sdk.codetool as codetool
from support.child import run_python


def test_module_attributes():
    import builtins
    import importlib.util

    spec = importlib.util.find_spec("velto_ai_sdk.codetool")
    assert codetool.__name__ == "velto_ai_sdk.codetool"
    assert codetool.__doc__ is None
    assert codetool.__file__ == spec.origin
    assert codetool.__package__ == "velto_ai_sdk"
    assert type(codetool.__loader__) is type(spec.loader)
    assert not hasattr(codetool, "__path__")
    assert codetool.__builtins__ is builtins
    assert codetool.__test__ == {}
    assert (codetool.env_path, codetool.media_path) == (None, None)


def test_body_runs_once_per_process_even_after_removal_from_sys_modules():
    out = run_python("""
        import sys
        import velto_ai_sdk.codetool as first
        import velto_ai_sdk.master as master
        first.env_path = "set by the host"
        del sys.modules["velto_ai_sdk.codetool"]
        import velto_ai_sdk.codetool as second
        print(second is first, second.env_path, sys.modules["velto_ai_sdk.codetool"] is first)
        del sys.modules["velto_ai_sdk.master"]
        import velto_ai_sdk.master as again
        print(again is master)
    """)
    assert out == "True set by the host True\nTrue\n"


def test_a_second_module_object_is_refused():
    out = run_python("""
        import importlib.util
        spec = importlib.util.find_spec("velto_ai_sdk.codetool")
        one = importlib.util.module_from_spec(spec)
        other = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(one)
        spec.loader.exec_module(one)
        try:
            spec.loader.exec_module(other)
        except RuntimeError as error:
            print(error)
    """)
    assert out == "Module 'codetool' has already been imported. Re-initialisation is not supported.\n"


def test_second_interpreter_is_refused(tmp_path):
    report = tmp_path / "report.txt"
    inner = (
        "try:\n"
        "    import velto_ai_sdk.codetool\n"
        "except ImportError as error:\n"
        f"    open({str(report)!r}, 'w').write(str(error))\n"
    )
    run_python(f"""
        import _testcapi
        import velto_ai_sdk.codetool
        _testcapi.run_in_subinterp({inner!r})
    """)
    assert report.read_text() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_failing_body_leaves_nothing_behind_and_can_be_retried():
    out = run_python("""
        import sys, traceback
        sys.modules["venv"] = None   # makes the body's import of venv fail
        try:
            import velto_ai_sdk.codetool
        except ImportError as error:
            names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
            print("init velto_ai_sdk.codetool" in names, "velto_ai_sdk.codetool" in sys.modules)
        del sys.modules["venv"]
        import velto_ai_sdk.codetool as codetool
        print(codetool.execute_code.__module__, codetool.venv.__name__)
    """)
    assert out == "True False\nvelto_ai_sdk.codetool venv\n"


def test_failing_probe_body_runs_again_from_the_start(probe_env):
    out = run_python("""
        import sys, types
        runs = []
        try:
            import velto_frame_probe
        except ImportError as error:
            print(error, "velto_frame_probe" in sys.modules)
        gate = types.ModuleType("velto_probe_gate")
        gate.record = lambda: runs.append("ran")
        sys.modules["velto_probe_gate"] = gate
        import velto_frame_probe as probe
        del sys.modules["velto_frame_probe"]
        import velto_frame_probe as again
        print(runs, again is probe, probe.three(1, 2, 3))
    """, env=probe_env)
    assert out == "No module named 'velto_probe_gate' False\n['ran'] True [1, 2, 3]\n"


def test_master_keeps_the_settings_it_saw_at_import(tmp_path):
    out = run_python(f"""
        import velto_ai_sdk.master as master
        import velto_ai_sdk.codetool as codetool
        codetool.initialize_environment({str(tmp_path)!r})
        print(master.env_path, codetool.env_path == {str(tmp_path)!r}, master.python_executable)
    """)
    assert out == "None True None\n"
