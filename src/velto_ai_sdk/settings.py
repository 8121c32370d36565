"""Settings read from the environment, with one rule for every module.

Every setting is read at the moment it is used, so a ``.env`` file loaded
later, or a variable changed by the host, counts at the next call. The rule:

* unset, or only spaces: the default;
* anything else must be a value of the setting's kind within its range; a
  value that is not is an error (:class:`SettingError`) naming the variable,
  what it holds and what it may hold. Nothing is clamped or guessed: a
  limit the host did not mean is worse than a clear error.

The code runner's C++ reads its own settings by the same rule with the same
messages (``frame/settings.h``).

A ``.env`` file puts settings in the environment: importing
``velto_ai_sdk.agent`` loads the host's (python-dotenv's own rule), and the
command line loads the working directory's with :func:`load_environment_file`.
"""

from __future__ import annotations

import math
import os
from typing import List, Optional

__all__ = ["SettingError", "text", "flag", "integer", "number", "names", "choice", "paths",
           "load_environment_file"]

_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off")


class SettingError(ValueError):
    """An environment variable holds a value that cannot be used."""


def text(name: str) -> Optional[str]:
    """The variable's value without surrounding spaces, or None when unset or blank."""
    value = os.environ.get(name, "").strip()
    return value or None


def flag(name: str) -> bool:
    """A switch: 1/true/yes/on or 0/false/no/off (any case); unset means off."""
    raw = text(name)
    if raw is None:
        return False
    lowered = raw.lower()
    if lowered in _TRUE:
        return True
    if lowered in _FALSE:
        return False
    raise SettingError(f"{name} must be 1 or 0 (or true/false, yes/no, on/off), not {raw!r}")


def _range(minimum: float, maximum: Optional[float], unit: str) -> str:
    if maximum is None:
        return f", {_shown(minimum)}{unit} or more,"
    return f" from {_shown(minimum)} to {_shown(maximum)}{unit},"


def _shown(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else repr(float(value))


def integer(name: str, default: int, minimum: int, maximum: Optional[int] = None) -> int:
    """A whole number within [minimum, maximum]."""
    raw = text(name)
    if raw is None:
        return default
    try:
        value = int(raw)
    except ValueError:
        value = None
    if value is None or value < minimum or (maximum is not None and value > maximum):
        raise SettingError(f"{name} must be a whole number{_range(minimum, maximum, '')} not {raw!r}")
    return value


def number(name: str, default: float, minimum: float, maximum: Optional[float] = None, unit: str = "") -> float:
    """A finite number within [minimum, maximum]; `unit` (such as " seconds")
    only words the message."""
    raw = text(name)
    if raw is None:
        return default
    try:
        value = float(raw)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value < minimum or (maximum is not None and value > maximum):
        raise SettingError(f"{name} must be a number{_range(minimum, maximum, unit)} not {raw!r}")
    return value


def names(name: str) -> List[str]:
    """A comma-separated list of names, spaces and empty entries dropped."""
    raw = text(name)
    if raw is None:
        return []
    return [part.strip() for part in raw.split(",") if part.strip()]


def choice(name: str, default: str, choices: List[str]) -> str:
    """One of `choices` (any case), or `default` when unset."""
    raw = text(name)
    if raw is None:
        return default
    if raw.lower() in choices:
        return raw.lower()
    words = ", ".join(choices[:-1]) + " or " + choices[-1] if len(choices) > 1 else choices[0]
    raise SettingError(f"{name} must be {words}, not {raw!r}")


def paths(name: str) -> List[str]:
    """Paths separated by os.pathsep, empty entries dropped, each made
    absolute against the working directory (~ expanded)."""
    raw = text(name)
    if raw is None:
        return []
    return [os.path.abspath(os.path.expanduser(part.strip())) for part in raw.split(os.pathsep) if part.strip()]


def load_environment_file() -> Optional[str]:
    """Loads the ``.env`` file of the working directory, or of the nearest
    directory above it that has one, as python-dotenv does for a host's
    script; variables already set keep their values. Returns the file's
    path, or None when there is none; SettingError names the file when it
    cannot be read."""
    import dotenv

    path = dotenv.find_dotenv(usecwd=True)
    if not path:
        return None
    try:
        dotenv.load_dotenv(path)
    except UnicodeDecodeError as exc:
        raise SettingError(f"{path} is not UTF-8 text (byte 0x{exc.object[exc.start]:02x} at offset {exc.start}): "
                           "save it as UTF-8") from None
    except OSError as exc:
        raise SettingError(f"cannot read {path}: {exc.strerror or exc}") from None
    return path
