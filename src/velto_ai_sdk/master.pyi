"""One guarded call each to set up the private code environment and to
install packages into it; failures are printed, never raised."""

from typing import Any, Dict, Iterable, Union

from velto_ai_sdk.codetool import (
    _Path,
    ensure_virtual_environment as ensure_virtual_environment,
    env_path as env_path,
    execute_code as execute_code,
    initialize_environment as initialize_environment,
    install_defaults as install_defaults,
    install_dependencies as install_dependencies,
    media_path as media_path,
    os as os,
    python_executable as python_executable,
    subprocess as subprocess,
    tempfile as tempfile,
    venv as venv,
)

__test__: Dict[str, Any]

def initialize_env(env_path: _Path) -> None: ...
def safe_install_modules(module_names: Union[str, Iterable[str]]) -> None: ...
