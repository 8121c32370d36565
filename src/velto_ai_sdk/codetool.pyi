"""The code runner: a private virtual environment, pip installs into it, and
execution of generated Python code under its interpreter."""

import os as os
import subprocess as subprocess
import tempfile as tempfile
import venv as venv
from typing import Any, Dict, Iterable, Optional, Union

__test__: Dict[str, Any]

_Path = Union[str, "os.PathLike[str]"]

# The environment's directory, as the host gave it; None until set up.
env_path: Optional[_Path]
# Not read by any operation; free for the host's own use.
media_path: Optional[_Path]
# The environment's interpreter, <env_path>/bin/python; None until set up.
python_executable: Optional[_Path]

def initialize_environment(env_path_param: _Path) -> None: ...
def ensure_virtual_environment() -> None: ...
def install_defaults() -> None: ...
def safe_install_modules(module_names: Union[str, Iterable[str]]) -> None: ...
def install_dependencies(dependencies: Union[str, Iterable[str]]) -> None: ...
# Runs `code` as a script under python_executable, isolated by the
# VELTO_CODE_* settings (read at each call; a bad one raises ValueError):
# returns its output, or "An error occurred--: " and its error output, a
# time-limit or kill notice; OSError when the interpreter cannot be started.
# With VELTO_CODE_WARM=1 the script's process is forked from a warm worker
# of the environment (the same results; initialize_environment starts it).
def execute_code(code: str) -> str: ...
