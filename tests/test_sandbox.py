"""The code runner's sandbox, tried as a hostile script would try it.

Every attack runs for real, cold and warm: refused in the sandbox, and
reached by the same script with the layer that stops it lifted (so that no
test passes because the script cannot work). Afterwards the host, its
supervisors and the warm worker still work, and nothing was planted.
"""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

import velto_ai_sdk.codetool as codetool
from support import attacks, processes
from support.attacks import FILES, IO_URING, NETWORK, PROCESSES, outcomes, script

ERROR_PREFIX = "An error occurred--: "
LAYERS = ["landlock", "landlock-network", "landlock-scopes", "seccomp", "namespaces"]


def run(code, **settings):
    """execute_code with VELTO_CODE_* settings given by their short names
    (sandbox="off" is VELTO_CODE_SANDBOX=off), put back afterwards."""
    saved = dict(os.environ)
    os.environ.update({"VELTO_CODE_" + name.upper(): str(value) for name, value in settings.items()})
    try:
        return codetool.execute_code(code)
    finally:
        os.environ.clear()
        os.environ.update(saved)


@pytest.fixture(scope="module")
def places(tmp_path_factory):
    """A HOME with a secret and another file in /tmp, the same for the whole
    module: HOME reaches the scripts' environment, and a warm worker serves
    only one environment."""
    home, elsewhere = tmp_path_factory.mktemp("home"), tmp_path_factory.mktemp("elsewhere")
    (home / "secret.txt").write_text("secret")
    (elsewhere / "other.txt").write_text("another user's file")
    return home, elsewhere / "other.txt"


@pytest.fixture
def host(analysis_environment, places, monkeypatch, tmp_path):
    """A host as hosts are: a working directory with a .env of secrets, a
    HOME with a secret, another file in /tmp, the environment set up; the
    scripts' temporary files in a directory of the test's."""
    monkeypatch.setattr(codetool, "python_executable", analysis_environment.python)
    home, elsewhere = places
    work, scripts, links = (tmp_path / name for name in ("work", "scripts", "links"))
    for directory in (work, scripts, links):
        directory.mkdir()
    (work / ".env").write_text("OPENAI_API_KEY=sk-secret\n")
    monkeypatch.chdir(work)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setattr("tempfile.tempdir", str(scripts))
    for name in ("VELTO_CODE_SANDBOX", "VELTO_CODE_NETWORK", "VELTO_CODE_READ_PATHS",
                 "VELTO_CODE_SANDBOX_TEST_MISSING"):
        monkeypatch.delenv(name, raising=False)
    site_packages = subprocess.run([analysis_environment.python, "-c", "import site; print(site.getsitepackages()[0])"],
                                   capture_output=True, text=True, check=True).stdout.strip()
    planted = "velto_planted_%d" % os.getpid()
    monkeypatch.setenv("VELTO_CODE_WRITE_PATHS", str(links))
    yield dict(work=work, home=home, elsewhere=elsewhere, scripts=scripts, links=links,
               site_packages=site_packages, planted=planted, python=analysis_environment.python)
    for suffix in (".pth", ".py"):
        if os.path.exists(os.path.join(site_packages, planted + suffix)):
            os.remove(os.path.join(site_packages, planted + suffix))


@pytest.fixture(params=["cold", "warm"])
def mode(request, host, monkeypatch):
    monkeypatch.setenv("VELTO_CODE_WARM", "1" if request.param == "warm" else "0")
    assert codetool.execute_code("print('ready')") == "ready\n"
    return request.param


def files_script(host):
    return script(FILES, LINKS=str(host["links"]), HOST_HOME=str(host["home"]), ELSEWHERE=str(host["elsewhere"]),
                  SITE_PACKAGES=host["site_packages"], PLANTED=host["planted"])


def test_files_outside_the_allowed_paths(host, mode):
    raw = run(files_script(host))
    refused = outcomes(raw)
    assert set(refused.values()) == {"refused"}, raw
    assert len(refused) == 9
    planted = [name for name in os.listdir(host["site_packages"]) if name.startswith(host["planted"])]
    written = [name for name in os.listdir(host["work"]) + os.listdir(host["elsewhere"].parent)
               if name.startswith("written-")]
    assert (planted, written) == ([], [])
    # The same script with the file rules lifted reaches every one of them.
    raw = run(files_script(host), sandbox_test_missing="landlock")
    reached = outcomes(raw)
    assert set(reached.values()) == {"reached"}, raw
    assert sorted(reached) == sorted(refused)
    for directory in (host["work"], host["elsewhere"].parent):
        for name in os.listdir(directory):
            if name.startswith("written-"):
                os.remove(os.path.join(directory, name))


def test_nothing_planted_reaches_the_next_runs(host, mode):
    plant = ("import site\nfor suffix, text in (('.pth', 'import os; os.environ[\"VELTO_PLANTED\"] = \"1\"\\n'),"
             " ('.py', 'PLANTED = 1\\n')):\n"
             "    try:\n        open(site.getsitepackages()[0] + '/%s' + suffix, 'w').write(text)\n"
             "    except PermissionError:\n        print('refused')\n" % host["planted"])
    assert run(plant) == "refused\nrefused\n"
    check = "import os, importlib.util\nprint(os.environ.get('VELTO_PLANTED'), importlib.util.find_spec(%r))\n" % (
        host["planted"])
    assert [run(check, warm=warm) for warm in ("0", "1")] == ["None None\n"] * 2


@pytest.fixture
def listeners(mariadb_server):
    """A UDP socket and an abstract Unix socket the host listens on, and the
    database's TCP port and Unix socket (its directory opened to passers-by,
    as /run/mysqld is: the sandbox, not the directory, must stop a script)."""
    directory = os.path.dirname(mariadb_server.socket_path)
    mode = os.stat(directory).st_mode
    os.chmod(directory, mode | 0o111)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    udp.settimeout(0.3)
    abstract = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    name = "\0velto-test-%d-%d" % (os.getpid(), time.monotonic_ns())
    abstract.bind(name)
    abstract.listen(8)
    yield dict(DATABASE_PORT=mariadb_server.port, DATABASE_SOCKET=mariadb_server.socket_path,
               UDP_PORT=udp.getsockname()[1], ABSTRACT=name, udp=udp)
    udp.close()
    abstract.close()
    os.chmod(directory, mode)


def received(udp):
    try:
        return udp.recv(100)
    except socket.timeout:
        return None


def network_script(listeners, *batches):
    return script(*batches, **{name: value for name, value in listeners.items() if name.isupper()})


@pytest.mark.parametrize("missing", ["", "seccomp", "namespaces", "landlock"])
def test_no_network_even_without_one_layer(host, mode, listeners, missing):
    result = outcomes(run(network_script(listeners, NETWORK, IO_URING), sandbox_test_missing=missing))
    if missing == "seccomp":
        # A Unix socket by its path: only the system-call filter stops it.
        assert result.pop("the database's Unix socket") == "reached"
    assert "reached" not in result.values(), result
    assert received(listeners["udp"]) is None
    if not missing:
        assert set(result.values()) == {"refused"}, result
        # VELTO_CODE_NETWORK=1 opens the network, and every one of these
        # goes through (io_uring, refused with the other system calls,
        # needs the seccomp layer lifted too).
        reached = outcomes(run(network_script(listeners, NETWORK), network=1))
        assert set(reached.values()) == {"reached"}, reached
        assert received(listeners["udp"]) == b"datagram from a script"
        raw = run(network_script(listeners, IO_URING), network=1, sandbox_test_missing="seccomp")
        assert outcomes(raw) == {"a connect through io_uring": "reached"}, raw


def targets():
    """The host, its supervisors and their warm workers, as (role, pid)."""
    def children(pid):
        with open("/proc/%d/task/%d/children" % (pid, pid)) as listed:
            return [int(child) for child in listed.read().split()]

    found = [("host", os.getpid())]
    for supervisor in children(os.getpid()):
        found.append(("supervisor", supervisor))
        found.extend(("warm worker", worker) for worker in children(supervisor))
    return found


def test_no_reach_into_other_processes(host, mode):
    found = targets()
    assert mode == "cold" or "warm worker" in dict(found)
    code = script(PROCESSES, TARGETS=found)
    refused = outcomes(run(code))
    assert set(refused.values()) == {"refused"}, refused
    assert len(refused) == 5 * len(found)
    # All keep working: the same supervisor and worker take the next run.
    assert run("print('next')") == "next\n"
    assert targets() == found
    # Without the sandbox, the same script reaches every one of them.
    reached = outcomes(run(code, sandbox="off"))
    assert set(reached.values()) == {"reached"}, reached


def test_what_keeps_working(host, mode, tmp_path):
    media = tmp_path / "media"
    media.mkdir()
    code = textwrap.dedent(f"""
        import matplotlib, sklearn, numpy, statsmodels, pandas, scipy
        import multiprocessing, os, subprocess, sys, tempfile
        import matplotlib.pyplot as plt
        if __name__ == "__main__":
            with multiprocessing.Pool(2) as pool:
                squares = pool.map(abs, [-1, -2, -3])
            echoed = subprocess.run(["echo", "x"], capture_output=True, text=True).stdout
            pandas.DataFrame({{"a": [1, 2]}}).to_csv(os.path.join(tempfile.gettempdir(), "t.csv"))
            plt.plot([1, 2], [3, 4])
            plt.savefig({str(media / "chart.png")!r})
            print(squares, echoed.strip(), os.environ["HOME"] == os.environ["TMPDIR"] == tempfile.gettempdir())
            sys.stdout.flush()
            sys.exit(int(input()))
    """)
    runner = textwrap.dedent(f"""
        import os, velto_ai_sdk.codetool as codetool
        codetool.python_executable = {host["python"]!r}
        os.environ.update(VELTO_CODE_WRITE_PATHS={str(media)!r}, VELTO_CODE_WARM={os.environ["VELTO_CODE_WARM"]!r})
        print(repr(codetool.execute_code({code!r})))
    """)
    # (Exit statuses, cold and warm alike, are TestWarmRunsAreLikeFreshOnes's.)
    done = subprocess.run([sys.executable, "-c", runner], input="0\n", capture_output=True, text=True)
    assert done.stdout == "'[1, 2, 3] x True\\n'\n", done.stderr
    assert (media / "chart.png").read_bytes()[:4] == b"\x89PNG"
    assert os.listdir(host["scripts"]) == []


# ---------------------------------------------------------------------------
# The settings

def test_strict_refuses_a_run_without_a_layer_and_auto_names_it_once(host, mode, capfd):
    for layer in LAYERS:
        result = run("print('ran')", sandbox="strict", sandbox_test_missing=layer)
        assert result.startswith(ERROR_PREFIX + "The code runner's sandbox lacks %s (" % layer), result
        assert result.endswith("made missing by VELTO_CODE_SANDBOX_TEST_MISSING. VELTO_CODE_SANDBOX=strict refuses"
                               " to run a script without it.\n")
    assert run("print('ran')", sandbox="strict") == "ran\n"
    capfd.readouterr()
    missing = [run("print('ran')", sandbox_test_missing="seccomp") for _ in range(2)]
    err = capfd.readouterr().err
    assert missing == ["ran\n"] * 2
    noticed = [line for line in err.splitlines() if "goes without seccomp" in line]
    assert len(noticed) <= 1  # once per process: an earlier test may have been the one
    # Without the seccomp layer, the rest still holds.
    assert run("open('.env').read()", sandbox_test_missing="seccomp").endswith(
        "PermissionError: [Errno 13] Permission denied: '.env'\n")


def test_off_restores_the_reach_of_before(host, mode):
    code = "import os\nprint(open('.env').read().strip(), os.environ['HOME'] == %r)\nopen('written.txt', 'w')\n" % (
        str(host["home"]))
    assert run(code, sandbox="off") == "OPENAI_API_KEY=sk-secret True\n"
    assert (host["work"] / "written.txt").exists()


def test_the_path_settings_open_exactly_the_paths_named(host, mode, tmp_path):
    named, sibling = tmp_path / "named", tmp_path / "sibling"
    for directory in (named, sibling):
        directory.mkdir()
        (directory / "data.txt").write_text("data")
    code = script(textwrap.dedent("""
        attempt("read named", lambda: read(NAMED + "/data.txt"))
        attempt("read sibling", lambda: read(SIBLING + "/data.txt"))
        attempt("write named", lambda: write(NAMED + "/new.txt"))
        attempt("write sibling", lambda: write(SIBLING + "/new.txt"))
    """), NAMED=str(named), SIBLING=str(sibling))
    assert outcomes(run(code, read_paths=named)) == {
        "read named": "reached", "read sibling": "refused", "write named": "refused", "write sibling": "refused"}
    assert outcomes(run(code, write_paths=os.pathsep.join(["", str(named), str(tmp_path / "missing")]))) == {
        "read named": "reached", "read sibling": "refused", "write named": "reached", "write sibling": "refused"}
    # The network setting opens the network and nothing else.
    assert outcomes(run(code, network=1)) == {
        "read named": "refused", "read sibling": "refused", "write named": "refused", "write sibling": "refused"}


@pytest.mark.parametrize("value, message", [
    ("sometimes", "VELTO_CODE_SANDBOX must be auto, strict or off, not 'sometimes'"),
])
def test_a_bad_mode_is_refused_in_the_words_of_the_python_reader(host, value, message, monkeypatch):
    from velto_ai_sdk import settings

    monkeypatch.setenv("VELTO_CODE_SANDBOX", value)
    with pytest.raises(settings.SettingError, match="^%s$" % message):
        settings.choice("VELTO_CODE_SANDBOX", "auto", ["auto", "strict", "off"])
    with pytest.raises(ValueError, match="^%s$" % message):
        codetool.execute_code("print(1)")
    monkeypatch.setenv("VELTO_CODE_SANDBOX", "auto")
    monkeypatch.setenv("VELTO_CODE_SANDBOX_TEST_MISSING", "landlock, walls")
    with pytest.raises(ValueError, match="^VELTO_CODE_SANDBOX_TEST_MISSING names no sandbox layer: 'walls'$"):
        codetool.execute_code("print(1)")


def test_a_host_killed_mid_run_leaves_no_script_and_no_private_directory(host, mode):
    ready = host["work"] / "ready"
    code = "import os, time\nopen(os.path.join(os.environ['TMPDIR'], 'left.txt'), 'w').write('x')\n" \
           "print(os.environ['TMPDIR'], flush=True)\ntime.sleep(600)\n"
    runner = textwrap.dedent(f"""
        import os, velto_ai_sdk.codetool as codetool, tempfile
        tempfile.tempdir = {str(host["scripts"])!r}
        codetool.python_executable = {host["python"]!r}
        os.environ["VELTO_CODE_WARM"] = {os.environ["VELTO_CODE_WARM"]!r}
        codetool.execute_code("import os\\nopen({str(ready)!r}, 'w').write(os.environ['TMPDIR'])\\n" + {code!r})
    """)
    host_process = subprocess.Popen([sys.executable, "-c", runner],
                                    env=dict(os.environ, VELTO_CODE_WRITE_PATHS=str(host["work"])))
    try:
        assert processes.wait_until(lambda: ready.exists() and ready.read_text(), timeout=60)
        # HOME and TMPDIR: the run's own /dev/shm, a tmpfs that goes with it
        assert ready.read_text() == "/dev/shm" and len(os.listdir(host["scripts"])) == 1
    finally:
        host_process.send_signal(signal.SIGKILL)
        host_process.wait()
    assert processes.wait_until(lambda: os.listdir(host["scripts"]) == [], timeout=10), os.listdir(host["scripts"])


def test_check_lists_every_layer_as_present_here():
    layers = codetool._sandbox_layers()
    assert [layer[0] for layer in layers] == LAYERS
    assert [layer[2:] for layer in layers] == [(True, None)] * 5


# ---------------------------------------------------------------------------
# Agents: each one's results are its own

def last_tool_message(server):
    return server.chat_bodies[-1]["messages"][-1]["content"]


def test_one_agent_reads_its_own_results_and_never_another_agents(host, mode, postgresql_server,
                                                                   scripted_chat_server, monkeypatch, tmp_path):
    import velto_ai_sdk.agent as agent
    from velto_ai_sdk.scripted_model import text_reply, tool_call_reply

    url = postgresql_server.create_database("sandbox_agents", ["CREATE TABLE t (n integer)",
                                                               "INSERT INTO t VALUES (1), (2), (39)"])
    for name, value in {"VELTO_POSTGRES_URL": url, "VELTO_USAGE_DB": str(tmp_path / "usage.sqlite3"),
                        "VELTO_MODEL_NAME": "gpt-4o-mini"}.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("VELTO_API_URL", raising=False)
    media = {name: tmp_path / name / "media" for name in ("first", "second")}
    own = textwrap.dedent(f"""
        import os, pandas
        import matplotlib.pyplot as plt
        frame = @LOAD@
        plt.plot(frame['n'])
        plt.savefig(os.path.join({str(media["first"])!r}, 'n.png'))
        print(frame['n'].sum())
    """)
    reads_own = tool_call_reply([("ExecutePythonCode", {"code": own})])
    reads_own.fills = {"@LOAD@": (-1, r"(pandas\.read_csv\('[^'\n]+'.*\))\Z")}
    first_server = scripted_chat_server([tool_call_reply([("ExecutePostgresSQLQuery", {"sql_query": "SELECT n FROM t"})]),
                                         reads_own, text_reply("done")], env=True)
    first = agent.create_agent("key", str(media["first"]), "PostgreSQL")
    assert agent.run_agent(first, "key", "sum?") == "done"
    assert last_tool_message(first_server) == "42\n"
    assert (media["first"] / "n.png").read_bytes()[:4] == b"\x89PNG"
    result_file = re.search(r"pandas\.read_csv\('([^']+)'", first_server.chat_bodies[1]["messages"][-1]["content"])[1]

    steal = "print(open(%r).read())" % result_file
    second_server = scripted_chat_server([tool_call_reply([("ExecutePythonCode", {"code": steal})]),
                                          text_reply("done")], env=True)
    second = agent.create_agent("key", str(media["second"]), "PostgreSQL")
    assert agent.run_agent(second, "key", "theirs?") == "done"
    assert last_tool_message(second_server).endswith("PermissionError: [Errno 13] Permission denied: %r\n"
                                                     % result_file)
    assert media["second"].is_dir()  # made for its run
    # The host itself, outside any agent, reads the process's results.
    assert codetool.execute_code(steal) == "n\n1\n2\n39\n\n"


def test_a_run_that_fails_leaves_the_hosts_own_calls_outside_the_agent(host, mode, postgresql_server,
                                                                      scripted_chat_server, monkeypatch, tmp_path):
    # The agent's query ran in its scope; then the model failed and the
    # executor raised. The host's own calls after it are outside any agent.
    import velto_ai_sdk.agent as agent
    from velto_ai_sdk import sqltool
    from velto_ai_sdk.scripted_model import error_reply, tool_call_reply

    url = postgresql_server.create_database("sandbox_failed_run", ["CREATE TABLE t (n integer)",
                                                                   "INSERT INTO t VALUES (7)"])
    for name, value in {"VELTO_POSTGRES_URL": url, "VELTO_MODEL_NAME": "gpt-4o-mini"}.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("VELTO_API_URL", raising=False)
    scripted_chat_server([tool_call_reply([("ExecutePostgresSQLQuery", {"sql_query": "SELECT n FROM t"})]),
                          error_reply(500, "The server had an error.", retry=False)], env=True)
    analyst = agent.create_agent("key", str(tmp_path / "media"), "PostgreSQL")
    with pytest.raises(Exception):
        analyst.invoke({"input": "n?", "chat_history": []})
    own = sqltool.execute_pgdb_query(sql_query="SELECT n FROM t")
    own_file = re.search(r"pandas\.read_csv\('([^']+)'", own)[1]
    assert not os.path.basename(os.path.dirname(own_file)).startswith("agent-")
    assert codetool.execute_code("print(open(%r).read())" % own_file) == "n\n7\n\n"


# ---------------------------------------------------------------------------
# As an ordinary user

SYSTEM_PYTHON = "/usr/bin/python%d.%d" % sys.version_info[:2]
NOBODY = 65534

# Run by an ordinary user's host: the attacks cold and warm, sandboxed and
# without the sandbox, with what that user owns.
ORDINARY_HOST = textwrap.dedent("""
    import json, os, socket, sys, tempfile
    import velto_ai_sdk.codetool as codetool
    from support.attacks import FILES, NETWORK, PROCESSES, script, outcomes
    config = json.loads(sys.argv[1])
    base = config["base"]
    tempfile.tempdir = base + "/scripts"
    codetool.python_executable = sys.executable
    os.chdir(base + "/work")
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    abstract = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    abstract.bind("\\0velto-test-ordinary-%d" % os.getpid())
    abstract.listen(4)
    report = {}
    for warm in ("0", "1"):
        os.environ["VELTO_CODE_WARM"] = warm
        codetool.execute_code("")
        children = lambda pid: [int(c) for c in open("/proc/%d/task/%d/children" % (pid, pid)).read().split()]
        targets = [("host", os.getpid())] + [("supervisor", pid) for pid in children(os.getpid())]
        code = script(FILES, NETWORK, PROCESSES, LINKS=base + "/links", HOST_HOME=base + "/home", ELSEWHERE=base + "/elsewhere/other.txt",
                      SITE_PACKAGES=base + "/missing", PLANTED="planted", DATABASE_PORT=config["port"],
                      DATABASE_SOCKET=base + "/missing.sock", UDP_PORT=udp.getsockname()[1],
                      ABSTRACT="\\0velto-test-ordinary-%d" % os.getpid(), TARGETS=targets)
        for sandbox in ("auto", "off"):
            os.environ["VELTO_CODE_SANDBOX"] = sandbox
            report[warm + sandbox] = outcomes(codetool.execute_code(code))
    print(json.dumps([os.getuid(), report]))
""")

# What an ordinary user's script cannot do anyway, sandbox or not.
BEYOND_AN_ORDINARY_USER = {"a .pth into the environment", "a module into the environment",
                           "the database's Unix socket"}


@pytest.mark.skipif(os.getuid() != 0 or not os.path.exists(SYSTEM_PYTHON),
                    reason="needs root to become another user, and the system's interpreter of this version")
def test_an_ordinary_users_host_is_kept_apart_just_as_well(tmp_path, mariadb_server):
    import velto_ai_sdk

    package_root = os.path.dirname(os.path.dirname(velto_ai_sdk.__file__))
    tests = os.path.dirname(os.path.abspath(__file__))
    base = tmp_path / "ordinary"
    for name in ("work", "home", "elsewhere", "scripts", "links"):
        (base / name).mkdir(parents=True)
    (base / "work" / ".env").write_text("OPENAI_API_KEY=sk-secret\n")
    (base / "home" / "secret.txt").write_text("secret")
    (base / "elsewhere" / "other.txt").write_text("x")
    for path in [tmp_path, *tmp_path.parents]:
        os.chmod(path, os.stat(path).st_mode | 0o001)  # passable, as /home is
    for root, directories, files in os.walk(base):
        for name in [root, *(os.path.join(root, entry) for entry in directories + files)]:
            os.chown(name, NOBODY, NOBODY)
    env = {"PATH": "/usr/bin:/bin", "HOME": str(base / "home"), "TMPDIR": str(base / "scripts"),
           "VELTO_CODE_WRITE_PATHS": str(base / "links"), "PYTHONPATH": os.pathsep.join([package_root, tests])}
    done = subprocess.run(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                           SYSTEM_PYTHON, "-c", ORDINARY_HOST,
                           json.dumps({"base": str(base), "port": mariadb_server.port})],
                          capture_output=True, text=True, env=env, timeout=300)
    if done.returncode != 0 and "ModuleNotFoundError" in done.stderr:
        pytest.skip("the package is not readable by another user here: " + done.stderr.splitlines()[-1])
    assert done.returncode == 0, done.stderr
    uid, report = json.loads(done.stdout.splitlines()[-1])
    assert uid == NOBODY
    for warm in ("0", "1"):
        sandboxed, off = report[warm + "auto"], report[warm + "off"]
        assert {outcome for name, outcome in sandboxed.items() if name not in BEYOND_AN_ORDINARY_USER} == {
            "refused"}, sandboxed
        assert {name for name, outcome in off.items() if outcome != "reached"} <= BEYOND_AN_ORDINARY_USER, off


# ---------------------------------------------------------------------------
# What the sandbox's own code must get through

@pytest.mark.parametrize("missing", ["", "namespaces"])
def test_a_private_directory_left_locked_and_deep_is_removed_all_the_same(host, mode, missing):
    # Without namespaces the private directory is one on disk.
    code = textwrap.dedent("""
        import os
        top = os.environ["TMPDIR"]
        path = top
        for depth in range(70):
            path = os.path.join(path, "d")
            os.mkdir(path)
            open(os.path.join(path, "f"), "w").close()
        os.symlink("/etc", os.path.join(top, "link"))
        locked = os.path.join(top, "locked")
        os.mkdir(locked)
        open(os.path.join(locked, "inside"), "w").close()
        os.chmod(locked, 0)
        print("made")
    """)
    assert run(code, sandbox_test_missing=missing) == "made\n"
    assert os.listdir(host["scripts"]) == []
    assert os.path.isdir("/etc")


def test_the_library_refuses_a_kit_of_the_wrong_size():
    import ctypes

    library = ctypes.CDLL(os.path.join(os.path.dirname(codetool.__file__), "velto-sandbox.so"))
    assert library.velto_enter_sandbox(b"short", 5, -1, -1, -1) == 22  # EINVAL
    assert library.velto_enter_sandbox(None, 0, -1, -1, -1) == 22


def test_a_run_after_another_with_other_settings_gets_its_own_rules(host, mode, listeners):
    # The next run's rules are made ahead as the last run had them: they
    # must not serve a run whose settings differ.
    tcp = network_script(listeners, textwrap.dedent("""
        attempt("tcp", lambda: socket.create_connection(("127.0.0.1", DATABASE_PORT), timeout=5).close())
    """))
    for network, expected in ((0, "refused"), (1, "reached"), (1, "reached"), (0, "refused"), (0, "refused")):
        assert outcomes(run(tcp, network=network, sandbox_test_missing="seccomp,namespaces")) == {"tcp": expected}
