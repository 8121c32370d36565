"""Finding the processes a code run started, by a marker in their command
line (a `sleep` with a unique length) or by the identity a script reported:
its pid and start time, which a reused pid does not share."""

import os
import time
import uuid


def marker():
    """A unique sleep length of about ten minutes, for `sleep MARKER`."""
    return "600.%d" % (uuid.uuid4().int % 10 ** 9)


def _stat(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read()
    except (FileNotFoundError, ProcessLookupError):
        return None


def identity(pid, stat=None):
    """(pid, start time) of a live process, or None; from `stat`, the text
    of its /proc/PID/stat, when another process read it."""
    stat = _stat(pid) if stat is None else stat
    if stat is None:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    return None if fields[0] == "Z" else (pid, fields[19])


def with_marker(text):
    """Live processes with `text` as an argument, or a path under it."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as cmdline:
                arguments = cmdline.read().decode(errors="replace").split("\0")
        except OSError:
            continue
        if any(argument == text or argument.startswith(text + os.sep) for argument in arguments) \
                and identity(int(name)):
            found.append(int(name))
    return found


def with_variable(name, value):
    """Live processes whose environment holds NAME=value (a marker a test
    gives a command, which every process it starts inherits)."""
    wanted = ("%s=%s" % (name, value)).encode()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if wanted in environ.read().split(b"\0") and identity(int(pid)):
                    found.append(int(pid))
        except OSError:
            continue
    return found


def still_alive(identities):
    return [known for known in identities if identity(known[0]) == known]


def wait_until(condition, timeout=15.0):
    """Polls `condition` until it holds or `timeout` seconds pass; returns
    its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.05)
