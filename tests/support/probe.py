"""Builds the frame probe (tests/probe), a small extension module on the frame.

The probe is built once per test run with CMake into a temporary directory.
`frame_probe_path` is the directory holding it, for sys.path or PYTHONPATH;
`frame_probe` imports it in this process, with its gate module in place.
"""

import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

PROBE_SOURCE = Path(__file__).resolve().parent.parent / "probe"


def build_probe(build_dir):
    import pybind11

    configure = [
        "cmake", "-S", str(PROBE_SOURCE), "-B", str(build_dir),
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DPython_EXECUTABLE=" + sys.executable,
        "-Dpybind11_DIR=" + pybind11.get_cmake_dir(),
    ]
    for command in (configure, ["cmake", "--build", str(build_dir), "-j2"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            pytest.fail("building the frame probe failed:\n" + done.stdout + done.stderr)
    return build_dir


def install_gate(runs):
    gate = types.ModuleType("velto_probe_gate")
    gate.record = lambda: runs.append(1)
    sys.modules["velto_probe_gate"] = gate
    return gate


@pytest.fixture(scope="session")
def frame_probe_path(tmp_path_factory):
    return build_probe(tmp_path_factory.mktemp("frame-probe"))


@pytest.fixture(scope="session")
def frame_probe(frame_probe_path):
    sys.path.insert(0, str(frame_probe_path))
    install_gate([])
    import velto_frame_probe

    return velto_frame_probe


@pytest.fixture
def probe_env(frame_probe_path):
    """Environment for a child interpreter that imports the probe."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(frame_probe_path), env.get("PYTHONPATH")]))
    return env
