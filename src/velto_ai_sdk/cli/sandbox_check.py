"""What `velto-ai check` says about the code runner's sandbox.

Each layer, present or not and why (codetool._sandbox_layers tries each on
this kernel), then the sandbox tried for real: a script, run by the code
runner as the agent's scripts are, that reads a .env file in its working
directory, connects to the configured databases' ports (or, with none
configured, to a port this check listens on) and writes outside its
directories. Every one must be refused.
"""

from __future__ import annotations

import json
import os
import socket
import tempfile
from typing import List, Tuple

from velto_ai_sdk import settings

Finding = Tuple[bool, str, str]

TRY = """
import json, socket
tried = {}
def attempt(what, action):
    try:
        action()
        tried[what] = "NOT refused"
    except OSError as error:
        tried[what] = "refused" if isinstance(error, PermissionError) else "failed: %s" % error
def connect(address):
    socket.create_connection(address, timeout=3).close()
attempt("reading .env in the working directory", lambda: open(".env").read())
for label, host, port in ADDRESSES:
    attempt("a connection to %s at %s:%d" % (label, host, port), lambda: connect((host, port)))
attempt("writing outside its directories", lambda: open("written-by-a-script.txt", "w").close())
print(json.dumps(tried))
"""


def layer_findings() -> List[Finding]:
    from velto_ai_sdk import codetool

    mode = settings.choice("VELTO_CODE_SANDBOX", "auto", ["auto", "strict", "off"])
    if mode == "off":
        return [(False, "mode", "off (VELTO_CODE_SANDBOX=off): scripts run with every right of this user: they "
                                "read its files, reach the network and signal its processes")]
    findings = [(True, "mode", mode + (": a run that lacks a layer is refused" if mode == "strict" else
                                       ": every layer this kernel offers"))]
    for name, purpose, present, why in codetool._sandbox_layers():
        findings.append((present, name, ("present: " if present else "MISSING (%s): " % why) + purpose))
    if settings.flag("VELTO_CODE_NETWORK"):
        findings.append((True, "network", "lifted by VELTO_CODE_NETWORK=1: scripts may reach the network"))
    return findings


def findings(environment: "os.PathLike[str]") -> List[Finding]:
    """The layers, then the try, when the code environment is there."""
    found = layer_findings()
    if not os.path.exists(environment):
        return found + [(False, "tried", "not tried: no code environment (velto-ai init)")]
    return found + tried_for_real()


def tried_for_real() -> List[Finding]:
    """Runs the script; the code runner must be set up."""
    from velto_ai_sdk import codetool
    from velto_ai_sdk.sqltool.check import database_addresses

    addresses = database_addresses()
    listener = None
    if not addresses:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        addresses = [("a port this check listens on", "127.0.0.1", listener.getsockname()[1])]
    here = os.getcwd()
    try:
        with tempfile.TemporaryDirectory(prefix="velto-check-") as work:
            with open(os.path.join(work, ".env"), "w") as env_file:
                env_file.write("SECRET=not-for-scripts\n")
            os.chdir(work)
            result = codetool.execute_code("ADDRESSES = %r\n" % (addresses,) + TRY)
    finally:
        os.chdir(here)
        if listener is not None:
            listener.close()
    try:
        tried = json.loads(result.splitlines()[-1])
    except (ValueError, IndexError):
        return [(False, "tried", "the script did not run: " + result.strip()[-300:])]
    return [(outcome == "refused", "tried", "%s: %s" % (what, outcome)) for what, outcome in tried.items()]
