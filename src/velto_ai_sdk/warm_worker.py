"""The warm worker of the code runner.

The supervisor of the code runs (velto-code-supervisor) starts this file
with the private environment's interpreter, the runs' environment and their
working directory. It imports the analysis packages once, says it is ready,
and then, for each run it is handed, forks the process that runs the script
as a fresh ``python script.py`` would, without the start-up.

Its descriptors: 0 and 1 and 2 pipes (the standard streams are made on them
exactly as a run's are), 3 a sequenced-packet socket to the supervisor.
Each request is one message (see WARM_REQUEST) with the run's descriptors;
the answer goes back through the run's report pipe: the script's process id
once that process is ready, an errno when it could not be prepared, or word
that the worker is stale (packages changed since its imports).

The script's process is not the worker's child: the worker forks, the fork
forks again and leaves, and the supervisor, a child subreaper, becomes the
parent of the run's process, waits for it and ends everything it left, as
it does for a run started from nothing.

Those two forks of a large interpreter take tens of milliseconds, so the
worker makes the next run's process ahead, while it is idle (a "spare"):
when it is ready, and each time the supervisor says a run is over (the
one-byte message IDLE; a spare made during a run would be ended with the
run's processes). A request then only travels on to the spare.

Nothing of the package is imported: this file is run, never imported, and
must work with any interpreter the environment has (3.8 and later).
"""

import sys

# The runs see their script's directory first on the path; this file's own
# directory (the package's) is no place to import from.
_SAFE_PATH = getattr(sys.flags, "safe_path", False)
if not _SAFE_PATH:
    del sys.path[0]

import os  # noqa: E402

# As a fresh interpreter has them, before the packages add theirs.
_ENVIRONMENT = dict(os.environ)

import ctypes  # noqa: E402
import errno  # noqa: E402
import importlib  # noqa: E402
import importlib.machinery  # noqa: E402
import io  # noqa: E402
import random  # noqa: E402
import resource  # noqa: E402
import socket  # noqa: E402
import struct  # noqa: E402
import time  # noqa: E402
import types  # noqa: E402
import warnings  # noqa: E402

_WARNING_FILTERS = list(warnings.filters)

CHANNEL_FD = 3
# memory limit in bytes, process limit (-1: none), whether standard input
# comes along, the sizes of the script's path, of the run's private
# directory and of the sandbox's kit, which of the kit's descriptors come
# along (1: the ruleset, 2: the user namespace, 4: the network namespace);
# then the path, the directory and the kit. Descriptors: the working
# directory, output, errors, the report pipe, standard input, the kit's.
WARM_REQUEST = struct.Struct("=qqiiiiii")
LARGEST_REQUEST = WARM_REQUEST.size + 3 * 65536
MOST_FDS = 8
# Answers on the report pipe: kind and value, as the supervisor reads them.
ANSWER = struct.Struct("=ii")
STARTED, SETUP_FAILED, STALE = 1, 2, 3
# From the supervisor: the run is over, and the worker may make a spare.
IDLE = b"i"

PACKAGES = ("numpy", "pandas", "matplotlib", "matplotlib.pyplot", "scipy", "sklearn", "statsmodels")

PR_SET_PDEATHSIG = 1
MADV_COLLAPSE = 25
_LIBC = ctypes.CDLL(None, use_errno=True)
# The sandbox a run enters (velto-sandbox.so, installed beside this file).
_SANDBOX_LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "velto-sandbox.so")
_sandbox = None


def import_packages():
    """What the environment has of the analysis packages; a package that is
    missing or broken is left to the scripts to find out about."""
    for name in PACKAGES:
        try:
            importlib.import_module(name)
        except Exception:
            pass


def gather_into_huge_pages():
    """Each run's process is a copy of this one: the kernel copies its page
    tables when the copy is made and takes them down when the run ends,
    which for the packages' hundred megabytes is most of what a warm run
    waits for. Where the kernel can (Linux 6.1 and later), the worker's
    larger anonymous areas go into huge pages, each one entry instead of
    hundreds. What cannot be gathered stays as it is."""
    try:
        with open("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size") as size_file:
            huge = int(size_file.read())
        with open("/proc/self/maps") as maps:
            areas = [line.split() for line in maps]
    except (OSError, ValueError):
        return
    madvise = _LIBC.madvise
    madvise.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
    for fields in areas:
        # Private, writable and not backed by a file (the heap included).
        if fields[1] != "rw-p" or (len(fields) > 5 and fields[5] != "[heap]"):
            continue
        low, high = (int(bound, 16) for bound in fields[0].split("-"))
        start, end = -(-low // huge) * huge, high // huge * huge
        if end > start:
            madvise(start, end - start, MADV_COLLAPSE)


def package_directories():
    """The stamps of the directories imports come from: pip changes them
    when it installs, upgrades or removes a package, and then what this
    worker imported may no longer be what a fresh interpreter would."""
    stamps = {}
    for entry in sys.path:
        try:
            stamps[entry] = os.stat(entry or ".").st_mtime_ns
        except OSError:
            stamps[entry] = None
    return stamps


class Run:
    """One request: the script and the descriptors of its process."""

    def __init__(self, header, path, private_dir, kit, fds):
        self.memory_bytes, self.max_processes, has_stdin, _, _, _, sandbox_fds, _ = header
        self.path = path
        self.private_dir = private_dir
        self.kit = kit
        self.cwd, self.output, self.errors, self.report = fds[:4]
        rest = list(fds[4:])
        self.stdin = rest.pop(0) if has_stdin else -1
        # the ruleset, the user namespace, the network namespace; -1 for none
        self.kit_fds = [rest.pop(0) if sandbox_fds & (1 << index) else -1 for index in range(3)]
        self.fds = fds

    def close(self):
        close_all(self.fds)

    def answer(self, kind, value):
        try:
            os.write(self.report, ANSWER.pack(kind, value))
            return True
        except OSError:
            return False


def close_all(fds):
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass


def receive(channel):
    """The next request, IDLE, or None when the supervisor is gone, or sent
    what is no request."""
    try:
        data, ancillary, _, _ = channel.recvmsg(LARGEST_REQUEST, socket.CMSG_SPACE(MOST_FDS * 4))
    except OSError:
        return None
    if data == IDLE and not ancillary:
        return IDLE
    return parsed(data, ancillary)


def parsed(data, ancillary):
    """The request in a message and its descriptors; None when it is none."""
    fds = []
    for level, kind, payload in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            count = len(payload) // 4
            fds.extend(struct.unpack("=%di" % count, payload[:count * 4]))
    header = WARM_REQUEST.unpack_from(data) if len(data) >= WARM_REQUEST.size else None
    if header is None or len(fds) != 4 + bool(header[2]) + bin(header[6] & 7).count("1") or \
            len(data) != WARM_REQUEST.size + header[3] + header[4] + header[5]:
        close_all(fds)
        return None
    at = WARM_REQUEST.size
    path = os.fsdecode(data[at:at + header[3]])
    at += header[3]
    private_dir = os.fsdecode(data[at:at + header[4]])
    at += header[4]
    run = Run(header, path, private_dir, data[at:at + header[5]], fds)
    run.message = data
    return run


def flush_before_fork():
    """Nothing the worker buffered is written twice by a fork."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (AttributeError, OSError, ValueError):
            pass


def fork():
    # A fork of a process with threads (the numerical libraries' pools) is
    # warned about; only this thread goes on in the copy, by design.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return os.fork()


def start(run, channel, stamps, supervisor):
    """Forks the run's process. Returns in that process only, prepared;
    in the worker it returns None once the fork between them is gone."""
    if package_directories() != stamps:
        run.answer(STALE, 0)
        run.close()
        return None
    flush_before_fork()
    try:
        between = fork()
    except OSError as error:
        run.answer(SETUP_FAILED, error.errno or 0)
        run.close()
        return None
    if between == 0:
        try:
            if fork() != 0:
                os._exit(0)
        except OSError as error:
            run.answer(SETUP_FAILED, error.errno or 0)
            os._exit(0)
        channel.close()
        become_the_run(run, supervisor)
        return run
    run.close()
    wait_for(between)
    return None


class Spare:
    """The next run's process, made ahead: the supervisor's child already,
    waiting on a socket of its own for the request the worker passes on."""

    def __init__(self, channel, supervisor):
        self.socket = None
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        flush_before_fork()
        try:
            between = fork()
        except OSError:
            ours.close()
            theirs.close()
            return
        if between == 0:
            try:
                if fork() != 0:
                    os._exit(0)
                ours.close()
                channel.close()
                held = prepared_process()
                run = Spare.wait(theirs, supervisor)
            except BaseException:
                os._exit(127)
            become_the_run(run, supervisor, held)
            run_script(run)
        theirs.close()
        wait_for(between)
        self.socket = ours

    @staticmethod
    def wait(request_socket, supervisor):
        """In the spare: waits until it is the supervisor's child, then for its
        request; leaves when the worker or the supervisor is gone first."""
        wait_for_the_supervisor(supervisor)
        data, ancillary, _, _ = request_socket.recvmsg(LARGEST_REQUEST, socket.CMSG_SPACE(MOST_FDS * 4))
        request_socket.close()
        run = parsed(data, ancillary) if data else None
        if run is None:
            os._exit(0)
        return run

    def take(self, run):
        """Passes the run on; False when the spare is gone."""
        try:
            self.socket.sendmsg([run.message], [(socket.SOL_SOCKET, socket.SCM_RIGHTS,
                                                 struct.pack("=%di" % len(run.fds), *run.fds))])
            return True
        except OSError:
            return False
        finally:
            self.drop()

    def drop(self):
        """Its socket closed, the spare leaves."""
        if self.socket is not None:
            self.socket.close()
            self.socket = None


def wait_for(pid):
    while True:
        try:
            os.waitpid(pid, 0)
            return
        except ChildProcessError:
            return
        except InterruptedError:
            continue


def prepared_process():
    """In the run's process, what every run's gets whatever its request:
    a spare has it done before its request comes. Returns the data memory
    the process was forked with."""
    os.setsid()
    fresh_interpreter_state()
    return data_size()


def become_the_run(run, supervisor, held=None):
    """In the run's process: what a freshly started interpreter's process
    would be given, or its end when something cannot be given. `held`: what
    prepared_process() returned, if it has been done. The fork between
    takes a while to leave (its copy of the worker's memory is torn down):
    everything that does not need the supervisor as the parent is done
    meanwhile."""
    try:
        if held is None:
            held = prepared_process()
        if run.stdin >= 0:
            os.dup2(run.stdin, 0)
        else:
            os.close(0)
        os.dup2(run.output, 1)
        os.dup2(run.errors, 2)
        os.fchdir(run.cwd)
        limit(run.memory_bytes + held, run.max_processes)
        fresh_run_state(run)
        wait_for_the_supervisor(supervisor)
        enter_sandbox(run)
    except Exception as error:
        # setrlimit says EPERM with a ValueError.
        run.answer(SETUP_FAILED, getattr(error, "errno", None) or errno.EPERM)
        os._exit(127)
    if not run.answer(STARTED, os.getpid()):
        os._exit(127)
    close_all_but_standard_streams()


def wait_for_the_supervisor(supervisor):
    """The fork between leaves at once, and the supervisor (a subreaper)
    becomes the parent. Only then may death with the parent be asked for:
    it would fire when the fork between left."""
    first_parent = os.getppid()
    while first_parent != supervisor and os.getppid() == first_parent:
        time.sleep(0.0001)
    if _LIBC.prctl(PR_SET_PDEATHSIG, 9, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl")
    # The supervisor may have died before the request was taken up.
    if os.getppid() != supervisor:
        os._exit(127)


def enter_sandbox(run):
    """The run's sandbox, entered before the script's first line (see the
    supervisor's isolation/sandbox.h): only a fork of this process with a
    single thread can enter it, never the worker."""
    if not run.kit:
        return
    error = load_sandbox().velto_enter_sandbox(run.kit, len(run.kit), *run.kit_fds)
    if error:
        raise OSError(error, os.strerror(error))


def load_sandbox():
    """The library, loaded once (by the worker, ahead of the runs)."""
    global _sandbox
    if _sandbox is None:
        library = ctypes.CDLL(_SANDBOX_LIBRARY)
        library.velto_enter_sandbox.argtypes = (ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                                                ctypes.c_int)
        _sandbox = library
    return _sandbox


def data_size():
    """The data memory this process was forked with, in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmData:"):
                return int(line.split()[1]) * 1024
    return 0


def limit(data, max_processes):
    # The limit is on what the script allocates: what the worker had
    # imported (the packages, shared with it until written) comes on top.
    resource.setrlimit(resource.RLIMIT_DATA, (data, data))
    if max_processes >= 0:
        resource.setrlimit(resource.RLIMIT_NPROC, (max_processes, max_processes))
    # A crashing script leaves no core file in the host's directory.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def close_all_but_standard_streams():
    """Nothing of the worker's stays open in the run: its socket, the
    request's descriptors. (The worker keeps no file of its own open.)"""
    for name in os.listdir("/proc/self/fd"):
        if int(name) > 2:
            try:
                os.close(int(name))
            except OSError:
                pass


# In the run's process -------------------------------------------------------

def fresh_interpreter_state():
    """What the worker's imports and its own work changed, back as a fresh
    interpreter of the same environment has it."""
    os.environ.clear()
    os.environ.update(_ENVIRONMENT)
    if hasattr(time, "tzset"):
        time.tzset()
    warnings.filters[:] = _WARNING_FILTERS
    mutated = getattr(warnings, "_filters_mutated", None)
    if mutated is not None:
        mutated()
    random.seed()
    numpy_random = sys.modules.get("numpy.random")
    if numpy_random is not None:
        numpy_random.seed()


def fresh_run_state(run):
    """What a fresh interpreter started for this run has: its private
    directory as HOME and TMPDIR, its script as argv and first on the path,
    its standard input."""
    if run.private_dir:
        os.environ["HOME"] = os.environ["TMPDIR"] = run.private_dir
        tempfile = sys.modules.get("tempfile")
        if tempfile is not None:
            tempfile.tempdir = None
    sys.argv[:] = [run.path]
    if hasattr(sys, "orig_argv"):
        sys.orig_argv = [sys.orig_argv[0], run.path]
    if not _SAFE_PATH:
        sys.path.insert(0, os.path.dirname(os.path.realpath(run.path)))
    fresh_standard_input(run.stdin >= 0)


def fresh_standard_input(present):
    """Made on the run's descriptor 0 as the interpreter makes it at start:
    whether it is a terminal or can seek is the run's, not the worker's."""
    old = sys.__stdin__
    if not present or old is None:
        sys.stdin = sys.__stdin__ = None
        return
    buffered = io.open(0, "rb", closefd=False)
    buffered.raw.name = "<stdin>"
    text = io.TextIOWrapper(buffered, encoding=old.encoding, errors=old.errors, newline="\n",
                            line_buffering=buffered.raw.isatty(), write_through=old.write_through)
    text.mode = "r"
    sys.stdin = sys.__stdin__ = text


def fresh_main_module(path):
    main = types.ModuleType("__main__")
    main.__annotations__ = {}
    main.__builtins__ = sys.modules["builtins"]
    main.__file__ = path
    main.__cached__ = None
    main.__loader__ = importlib.machinery.SourceFileLoader("__main__", path)
    sys.modules["__main__"] = main
    return main


def run_script(run):
    """Runs the script as the interpreter runs a file, and ends the process
    as the interpreter would end (finish)."""
    main = fresh_main_module(run.path)
    interrupted = False
    try:
        with open(run.path, "rb") as script:
            source = script.read()
        code = compile(source, run.path, "exec", dont_inherit=True)
        del source
        exec(code, main.__dict__)
        status = 0
    except SystemExit as exit:
        status = system_exit_status(exit.code)
    except BaseException as error:
        report_uncaught(error)
        status = 1
        interrupted = isinstance(error, KeyboardInterrupt)
    finish(status, interrupted)


def system_exit_status(code):
    """The exit status of SystemExit(code), as the interpreter gives it;
    a code that is no number is printed."""
    if code is None:
        return 0
    if isinstance(code, int):
        # A C long, then the status's low byte.
        return code & 0xFF if -(1 << 63) <= code < (1 << 63) else 0xFF
    stream = sys.stderr
    if stream is not None:
        stream.write(str(code))
        stream.write("\n")
    else:
        os.write(2, (str(code) + "\n").encode(errors="backslashreplace"))
    return 1


def report_uncaught(error):
    """The traceback as the interpreter prints it for a script: without this
    file's frame, through sys.excepthook."""
    traceback = error.__traceback__.tb_next if error.__traceback__ is not None else None
    error.__traceback__ = traceback
    kind = type(error)
    sys.last_type, sys.last_value, sys.last_traceback = kind, error, traceback
    if hasattr(sys, "last_exc"):
        sys.last_exc = error
    try:
        sys.excepthook(kind, error, traceback)
    except BaseException:
        sys.__excepthook__(kind, error, traceback)


def finish(status, interrupted):
    """What the interpreter's finalisation does that a script can see:
    non-daemon threads joined, exit handlers run, the standard streams
    flushed, the script's objects released (their finalisers run, the files
    they left open flushed); then the exit. Tearing down the packages
    imported for every run would take a tenth of a second and show nothing.
    An uncaught KeyboardInterrupt ends the process by SIGINT, as it ends
    the interpreter."""
    import atexit
    import gc
    import signal
    import threading

    shutdown = getattr(threading, "_shutdown", None)
    if shutdown is not None:
        shutdown()
    atexit._run_exitfuncs()
    if not flush_standard_streams():
        status = 120
    sys.last_type = sys.last_value = sys.last_traceback = None
    if hasattr(sys, "last_exc"):
        sys.last_exc = None
    release_module(sys.modules.get("__main__"))
    gc.collect()
    if not flush_standard_streams():
        status = 120
    if interrupted:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    os._exit(status)


def flush_standard_streams():
    flushed = True
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except Exception:
            flushed = stream is sys.stderr and flushed
    return flushed


def release_module(module):
    """Empties a module's namespace as the interpreter's finalisation does:
    the names with one leading underscore first, __builtins__ last."""
    if module is None:
        return
    namespace = module.__dict__
    for name in [name for name in namespace if name.startswith("_") and not name.startswith("__")]:
        namespace[name] = None
    for name in [name for name in namespace if name != "__builtins__"]:
        namespace[name] = None


# The worker ---------------------------------------------------------------

def quiet_standard_streams():
    """The worker's 1 and 2 go nowhere from now on; the stream objects stay
    as they were made on pipes, as a run's are."""
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.dup2(null, 2)
    os.close(null)


def serve():
    """Runs until the supervisor is gone; returns the run in the run's
    process only."""
    supervisor = os.getppid()
    quiet_standard_streams()
    channel = socket.socket(fileno=CHANNEL_FD)
    import_packages()
    try:
        load_sandbox()
    except OSError:
        pass  # each sandboxed run then says why it cannot start
    # Copied pages stay shared: the collector leaves what is here alone.
    import gc
    gc.collect()
    if hasattr(gc, "freeze"):
        gc.freeze()
    gather_into_huge_pages()
    os.chdir("/")
    stamps = package_directories()
    channel.sendall(b"r")
    spare = Spare(channel, supervisor)
    while True:
        run = receive(channel)
        if run is None:
            return None
        if run is IDLE:
            if spare is None or spare.socket is None:
                spare = Spare(channel, supervisor)
            continue
        if spare is not None and spare.socket is not None and package_directories() == stamps:
            taken = spare.take(run)
            spare = None
            if taken:
                run.close()
                continue
        elif spare is not None:
            spare.drop()
            spare = None
        if start(run, channel, stamps, supervisor) is not None:
            return run


if __name__ == "__main__":
    _run = serve()
    if _run is not None:
        run_script(_run)
