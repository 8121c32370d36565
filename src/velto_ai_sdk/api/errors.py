"""The account client's errors, in a module of their own so that its settings
and its ledger raise the same classes that ``velto_ai_sdk.api`` exports."""

from __future__ import annotations

from ..settings import SettingError

__all__ = ["VeltoAPIError", "VeltoAuthenticationError", "VeltoServiceUnavailableError", "VeltoConfigError"]


class VeltoAPIError(Exception):
    """The account service, its configuration or the usage ledger failed."""


class VeltoAuthenticationError(VeltoAPIError):
    """The account service refused the account key (HTTP 401 or 403)."""


class VeltoServiceUnavailableError(VeltoAPIError):
    """The account service could not be reached, or kept failing, after the retries."""


class VeltoConfigError(VeltoAPIError, SettingError):
    """An environment variable holds a value that cannot be used."""
