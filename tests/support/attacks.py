"""What a hostile script tries, as scripts for the code runner.

Each script tries a batch of attacks and prints one JSON object: for every
attack, "refused" (a PermissionError: the sandbox said no), "reached" (it
went through) or "failed: ..." (some other error, which the tests count as
neither). A batch is run sandboxed, where every attack must be refused,
and with the layer that stops it lifted, where every attack must go
through: so no attack passes for a script that cannot work.
"""

import json
import textwrap

PRELUDE = textwrap.dedent("""
    import ctypes, errno, json, os, socket, sys
    OUTCOMES = {}
    WHY = {}

    def attempt(name, action):
        try:
            action()
            OUTCOMES[name] = "reached"
        except PermissionError as error:
            OUTCOMES[name] = "refused"
            WHY[name] = repr(error)
        except OSError as error:
            WHY[name] = repr(error)
            # EXDEV: Landlock refuses a link that would widen what a file may do
            refused = error.errno in (errno.EPERM, errno.EACCES, errno.EXDEV)
            OUTCOMES[name] = "refused" if refused else "failed: %r" % (error,)
        except Exception as error:
            OUTCOMES[name] = "failed: %r" % (error,)

    def read(path):
        with open(path, "rb") as file:
            file.read(1)

    def write(path):
        with open(path, "w") as file:
            file.write("written by a script")

    LIBC = ctypes.CDLL(None, use_errno=True)

    def checked(result, what):
        if result < 0:
            raise OSError(ctypes.get_errno(), what)
        return result
""")

FILES = textwrap.dedent("""
    attempt(".env in the working directory", lambda: read(".env"))
    attempt("a secret in the host's HOME", lambda: read(HOST_HOME + "/secret.txt"))
    attempt("a file elsewhere in /tmp", lambda: read(ELSEWHERE))
    attempt("a .pth into the environment", lambda: write(SITE_PACKAGES + "/" + PLANTED + ".pth"))
    attempt("a module into the environment", lambda: write(SITE_PACKAGES + "/" + PLANTED + ".py"))
    attempt("a file into the working directory", lambda: write("written-%d.txt" % os.getpid()))
    attempt("a file into /tmp", lambda: write(os.path.dirname(ELSEWHERE) + "/written-%d.txt" % os.getpid()))

    # LINKS: a directory the script may write, on the file system of .env
    def through_a_symbolic_link():
        link = os.path.join(LINKS, "link-to-env-%d" % os.getpid())
        os.symlink(os.path.abspath(".env"), link)
        read(link)

    def through_a_hard_link():
        link = os.path.join(LINKS, "hard-link-to-env-%d" % os.getpid())
        os.link(os.path.abspath(".env"), link)
        read(link)

    attempt(".env through a symbolic link in an allowed directory", through_a_symbolic_link)
    attempt(".env through a hard link in an allowed directory", through_a_hard_link)
""")

NETWORK = textwrap.dedent("""
    def tcp():
        socket.create_connection(("127.0.0.1", DATABASE_PORT), timeout=5).close()

    def udp():
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.sendto(b"datagram from a script", ("127.0.0.1", UDP_PORT))

    def unix_socket():
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
            client.connect(DATABASE_SOCKET)

    def abstract_socket():
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
            client.connect(ABSTRACT)

    attempt("TCP to the database's port on loopback", tcp)
    attempt("a UDP datagram to a local listener", udp)
    attempt("the database's Unix socket", unix_socket)
    attempt("an abstract socket the host listens on", abstract_socket)
""")

IO_URING = textwrap.dedent("""
    class SubmissionOffsets(ctypes.Structure):
        _fields_ = [(name, ctypes.c_uint32) for name in
                    ("head", "tail", "ring_mask", "ring_entries", "flags", "dropped", "array", "resv1")] + \\
                   [("user_addr", ctypes.c_uint64)]

    class CompletionOffsets(ctypes.Structure):
        _fields_ = [(name, ctypes.c_uint32) for name in
                    ("head", "tail", "ring_mask", "ring_entries", "overflow", "cqes", "flags", "resv1")] + \\
                   [("user_addr", ctypes.c_uint64)]

    class Parameters(ctypes.Structure):
        _fields_ = [(name, ctypes.c_uint32) for name in
                    ("sq_entries", "cq_entries", "flags", "sq_thread_cpu", "sq_thread_idle", "features", "wq_fd")] + \\
                   [("resv", ctypes.c_uint32 * 3), ("sq_off", SubmissionOffsets), ("cq_off", CompletionOffsets)]

    def io_uring_connect():
        import mmap, struct
        LIBC.syscall.restype = ctypes.c_long
        parameters = Parameters()
        ring = checked(LIBC.syscall(425, 4, ctypes.byref(parameters)), "io_uring_setup")
        sq, cq = parameters.sq_off, parameters.cq_off
        sq_ring = mmap.mmap(ring, sq.array + parameters.sq_entries * 4, offset=0)
        entries = mmap.mmap(ring, parameters.sq_entries * 64, offset=0x10000000)
        cq_ring = mmap.mmap(ring, cq.cqes + parameters.cq_entries * 16, offset=0x8000000)
        client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        address = ctypes.create_string_buffer(struct.pack("=HH4s8x", socket.AF_INET, socket.htons(DATABASE_PORT),
                                                          socket.inet_aton("127.0.0.1")))
        # IORING_OP_CONNECT: fd, the address, its length in `off`
        entries[0:64] = struct.pack("=BBHiQQIIQ24x", 16, 0, 0, client.fileno(), 16,
                                    ctypes.addressof(address), 0, 0, 7)
        tail = struct.unpack_from("=I", sq_ring, sq.tail)[0]
        struct.pack_into("=I", sq_ring, sq.array + (tail & parameters.sq_entries - 1) * 4, 0)
        struct.pack_into("=I", sq_ring, sq.tail, tail + 1)
        checked(LIBC.syscall(426, ring, 1, 1, 1, None, 0), "io_uring_enter")
        head = struct.unpack_from("=I", cq_ring, cq.head)[0]
        _, result, _ = struct.unpack_from("=QiI", cq_ring, cq.cqes + (head & parameters.cq_entries - 1) * 16)
        if result < 0:
            raise OSError(-result, "connect through io_uring")

    attempt("a connect through io_uring", io_uring_connect)
""")

PROCESSES = textwrap.dedent("""
    def signal_to(pid):
        return lambda: os.kill(pid, 18)  # SIGCONT: it disturbs nothing

    def ptrace_attach(pid):
        # PTRACE_SEIZE attaches without stopping; the tracee is let go when
        # the script ends
        return lambda: checked(LIBC.ptrace(0x4206, pid, None, None), "ptrace")

    class IoVector(ctypes.Structure):
        _fields_ = [("base", ctypes.c_void_p), ("length", ctypes.c_size_t)]

    def memory_of(pid):
        def read_memory():
            buffer = ctypes.create_string_buffer(8)
            local = IoVector(ctypes.addressof(buffer), 8)
            remote = IoVector(0x1000, 8)  # unmapped: a reach ends in EFAULT
            LIBC.process_vm_readv.restype = ctypes.c_ssize_t
            if LIBC.process_vm_readv(pid, ctypes.byref(local), 1, ctypes.byref(remote), 1, 0) < 0 and \\
                    ctypes.get_errno() != errno.EFAULT:
                raise OSError(ctypes.get_errno(), "process_vm_readv")
        return read_memory

    def opened(path):
        return lambda: open(path, "rb").close()

    for role, pid in TARGETS:
        target = "the %s (%d)" % (role, pid)
        attempt("/proc/<pid>/environ of " + target, lambda: read("/proc/%d/environ" % pid))
        attempt("/proc/<pid>/mem of " + target, opened("/proc/%d/mem" % pid))
        attempt("a signal to " + target, signal_to(pid))
        attempt("ptrace attach to " + target, ptrace_attach(pid))
        attempt("process_vm_readv of " + target, memory_of(pid))
""")

# The errors the refusals came with, then the outcomes (the last line).
FINISH = "\nprint(json.dumps(WHY))\nprint(json.dumps(OUTCOMES))\n"


def script(*batches, **values):
    """A script of the PRELUDE, the values (as Python literals) and the
    batches."""
    assignments = "".join("%s = %r\n" % (name, value) for name, value in values.items())
    return PRELUDE + assignments + "".join(batches) + FINISH


def outcomes(result):
    """The outcomes a script printed; its whole result when it printed none.
    (The line before them says what each refusal said.)"""
    try:
        return json.loads(result.splitlines()[-1])
    except (ValueError, IndexError):
        raise AssertionError("the script did not finish: %r" % result) from None
