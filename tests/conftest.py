"""Shared test set-up.

Fixtures that start real servers live in tests/support and are registered here
as plugins, so that any test module can ask for them by name.
"""

import signal

pytest_plugins = [
    "support.databases",
    "support.account_service",
    "support.chat_server",
    "support.probe",
    "support.environments",
    "support.agent_kit",
    "support.web",
]

# A shell that starts the suite in the background (``scripts/test &``)
# ignores Ctrl-C for it, and every process it starts inherits that: the tests
# that press Ctrl-C would then wait for ever. They get what a person at a
# terminal has.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
