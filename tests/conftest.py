"""Shared test set-up.

Fixtures that start real servers live in tests/support and are registered here
as plugins, so that any test module can ask for them by name.
"""

pytest_plugins = [
    "support.databases",
    "support.account_service",
    "support.chat_server",
    "support.probe",
    "support.environments",
    "support.agent_kit",
    "support.web",
]
