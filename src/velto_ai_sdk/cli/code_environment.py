"""The private code environment as the command line and the demo set it up.

`codetool.initialize_environment` takes whatever is at its path for the
environment and gives it the analysis packages only when it makes it, so a
set-up that was interrupted (Ctrl-C while pip ran) or broken (the interpreter
or pip missing) would stay so. Here a set-up is made, resumed or repaired
until the packages import:

- nothing there, or an empty directory: the environment is made;
- an environment whose interpreter or pip does not run, or the beginnings of
  one (only the folders a new environment starts with): it is made again in
  place, keeping what it holds;
- an environment that lacks some of the analysis packages: pip installs
  those;
- anything else (a file, a folder of other things): refused, untouched.

Hints name the environment as the user would give it to `velto-ai`.
"""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import venv
from pathlib import Path
from typing import Callable, List, Optional

from .. import settings

PROGRAM = "velto-ai"
DEFAULT_PACKAGES = ["matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"]
IMPORT_CHECK = "import matplotlib, sklearn, numpy, statsmodels, pandas, scipy"
# Each package's module, found without importing it: what is not there at all.
MODULES = {"matplotlib": "matplotlib", "sklearn": "scikit-learn", "numpy": "numpy", "statsmodels": "statsmodels",
           "pandas": "pandas", "scipy": "scipy"}
FIND_MISSING = ("import importlib.util\nprint(' '.join(name for name in %r if importlib.util.find_spec(name) is None))"
                % (sorted(MODULES),))
# What a new environment starts with, before its interpreter and pip are in.
SKELETON = {"bin", "include", "lib", "lib64", "pyvenv.cfg", "Include", "Lib", "Scripts"}
PIP_CHECK_TIMEOUT = 60.0

MISSING, EMPTY, READY, BROKEN, FOREIGN = "missing", "empty", "ready", "broken", "foreign"


class EnvironmentProblem(Exception):
    """The environment cannot be used or set up; the message says what to do.
    `status` is the command's exit status: 2 when the path given cannot hold
    an environment, 1 when the set-up failed."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def default_environment() -> Path:
    configured = settings.text("VELTO_ENV_DIR")
    if configured:
        return Path(configured).expanduser()
    from velto_ai_sdk.api import data_directory

    return data_directory() / "env"


def init_command(path: Path) -> str:
    """The command that sets up (or goes on setting up) the environment at `path`."""
    return command("init", path)


def command(name: str, path: Path, *arguments: str) -> str:
    """`velto-ai NAME ...` as the user would type it for the environment at
    `path`: with --env unless it is the default one."""
    words = [PROGRAM, name]
    if Path(path).expanduser().absolute() != default_environment().absolute():
        words += [str(path)] if name == "init" else ["--env", str(path)]
    return " ".join(shlex.quote(word) for word in words + list(arguments))


def interpreter(path: Path) -> Path:
    return path / "bin" / "python"


def state(path: Path) -> str:
    """What is at `path`: MISSING, EMPTY, READY (an environment whose
    interpreter runs pip), BROKEN (an environment, or the beginnings of one,
    that does not) or FOREIGN."""
    if not os.path.lexists(path):
        return MISSING
    if not path.is_dir():
        return FOREIGN
    entries = set(os.listdir(path))
    if not entries:
        return EMPTY
    if "pyvenv.cfg" not in entries and not entries <= SKELETON:
        return FOREIGN
    try:
        done = subprocess.run([str(interpreter(path)), "-m", "pip", "--version"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=PIP_CHECK_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired):
        return BROKEN
    return READY if done.returncode == 0 else BROKEN


def refusal(path: Path, found: str) -> Optional[EnvironmentProblem]:
    """Why the path cannot hold an environment, or None."""
    if found != FOREIGN:
        return None
    if not path.is_dir():
        return EnvironmentProblem("%s is a file, not a code environment: give a directory" % path, 2)
    return EnvironmentProblem("%s is a folder of other things, not a code environment (it has no pyvenv.cfg): "
                              "give a new or empty directory" % path, 2)


def ready(path: Path) -> None:
    """Points the code runner at the environment at `path`, which must be a
    working one (as `velto-ai install` and `ask` need)."""
    from velto_ai_sdk import codetool

    check(path)
    codetool.initialize_environment(str(path))


def check(path: Path) -> None:
    """Raises EnvironmentProblem unless `path` holds a working environment."""
    found = state(path)
    problem = refusal(path, found)
    if problem is not None:
        raise problem
    if found in (MISSING, EMPTY):
        raise EnvironmentProblem("no code environment at %s: run `%s` first" % (path, init_command(path)), 2)
    if found == BROKEN:
        raise EnvironmentProblem("the code environment at %s does not work (its set-up was interrupted?): run `%s` "
                                 "to repair it" % (path, init_command(path)), 2)


def prepare(path: Path, say: Callable[[str], None]) -> None:
    """Makes, resumes or repairs the environment at `path` until none of the
    analysis packages is missing, and points the code runner at it; `say`
    tells the user what is being done. An interruption leaves it for the
    next call to go on from."""
    from velto_ai_sdk import codetool

    found = state(path)
    problem = refusal(path, found)
    if problem is not None:
        raise problem
    if found != READY:
        say(("Creating the code environment in %s (pip's progress follows) ..." if found in (MISSING, EMPTY) else
             "Repairing the code environment in %s (its interpreter or pip did not run) ...") % path)
        if found == BROKEN:
            forget_pip(path)
        make(path)
    codetool.initialize_environment(str(path))
    missing = missing_packages()
    if not missing:
        return
    if found == READY:
        say("Going on with the set-up of %s: installing %s ..." % (path, ", ".join(missing)))
    try:
        codetool.install_dependencies(missing)
    except RuntimeError as error:
        raise EnvironmentProblem("%s; see pip's messages above (the network?), then run `%s` again: it goes on "
                                 "where it stopped" % (error, init_command(path)))
    still = missing_packages()
    if still:
        raise EnvironmentProblem("pip installed %s into %s, but they are not there: run `%s` again"
                                 % (", ".join(still), path, init_command(path)))


def forget_pip(path: Path) -> None:
    """Removes the record of a pip that does not run, which would make
    ensurepip take it for installed and leave it broken."""
    for record in path.glob("lib/python*/site-packages/pip-*.dist-info"):
        shutil.rmtree(record, ignore_errors=True)


def make(path: Path) -> None:
    """A virtual environment with pip at `path`, made in place as the code
    runner makes one: what an earlier set-up put there stays (an interpreter
    linked rather than copied, as `python -m venv` makes it, stays linked)."""
    try:
        venv.create(str(path), with_pip=True, symlinks=interpreter(path).is_symlink())
    except (OSError, ValueError) as error:
        reason = getattr(error, "strerror", None) or str(error)
        raise EnvironmentProblem("cannot make a code environment in %s: %s" % (path, reason), 2) from None
    except subprocess.CalledProcessError as error:
        raise EnvironmentProblem("could not put pip into the code environment in %s (ensurepip ended with exit "
                                 "status %s): run `%s` again" % (path, error.returncode, init_command(path)))


def missing_packages() -> List[str]:
    """The analysis packages the code runner's environment does not have."""
    from velto_ai_sdk import codetool

    found = codetool.execute_code(FIND_MISSING)
    if found.startswith("An error occurred--: "):
        raise EnvironmentProblem("the code environment's interpreter failed: %s" % found.strip().splitlines()[-1])
    missing = {MODULES[name] for name in found.split()}
    return [package for package in DEFAULT_PACKAGES if package in missing]


def packages_problem() -> Optional[str]:
    """Why the analysis packages of the environment the code runner uses do
    not import, or None. The packages report their own failures only as a
    printed line; importing them is the proof."""
    from velto_ai_sdk import codetool

    check = codetool.execute_code(IMPORT_CHECK)
    if check.startswith("An error occurred--: "):
        return check.strip().splitlines()[-1] if check.strip() else "unknown error"
    return None
