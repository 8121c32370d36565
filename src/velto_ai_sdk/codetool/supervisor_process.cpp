#include "velto_ai_sdk/codetool/supervisor_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "velto_ai_sdk/codetool/isolation/protocol.h"

namespace velto::codetool {

namespace {

// Above the supervisor's control descriptor, so that placing it there
// after /dev/null on 0, 1 and 2 never closes it first (a host may run with
// 0, 1 or 2 closed).
void adopt_above_control(Descriptor& descriptor, int fd) {
    descriptor.reset(fd);
    if (fd <= isolation::control_fd) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, isolation::control_fd + 1);
        if (moved < 0) {
            raise_os_error(errno);
        }
        descriptor.reset(moved);
    }
}

// The directory this module is installed in, with a slash.
const std::string& module_directory() {
    static const std::string directory = [] {
        Dl_info info;
        bool found = dladdr(reinterpret_cast<void*>(&module_directory), &info) != 0 && info.dli_fname != nullptr;
        std::string module = found ? info.dli_fname : "";
        return module.substr(0, module.rfind('/') + 1);
    }();
    return directory;
}

// The supervisor is installed beside this module.
std::string supervisor_path() { return module_directory() + "velto-code-supervisor"; }

// The supervisor starts with nothing of the host's: /dev/null for 0, 1
// and 2, default signal handling, an empty environment.
pid_t spawn_supervisor(const isolation::RunCgroups& cgroups, int control) {
    auto cgroup = [](const std::string& directory) { return directory.empty() ? isolation::no_cgroup : directory; };
    std::string arguments[] = {supervisor_path(), cgroup(cgroups.pids), cgroup(cgroups.memory)};
    char* argv[] = {&arguments[0][0], &arguments[1][0], &arguments[2][0], nullptr};
    char* envp[] = {nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, control, isolation::control_fd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv, envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        raise_os_error(error, argv[0]);
    }
    return pid;
}

// Supervisors waiting for a run, used and given back with the interpreter
// lock held. Those a forked child inherited are not its own. They are never
// destroyed at exit: their sockets close with the process, and they leave.
constexpr size_t most_idle_supervisors = 4;
std::vector<Supervisor*> idle_supervisors;

}  // namespace

std::string warm_worker_path() { return module_directory() + "warm_worker.py"; }

void raise_os_error(int error, const char* filename) {
    errno = error;
    if (filename != nullptr) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, filename);
    } else {
        PyErr_SetFromErrno(PyExc_OSError);
    }
    throw py::error_already_set();
}

void make_pipe(Descriptor& read_end, Descriptor& write_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        raise_os_error(errno);
    }
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
}

Supervisor::Supervisor() : cgroups_(isolation::make_run_cgroups()) {
    try {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            raise_os_error(errno);
        }
        Descriptor there;
        socket_.reset(ends[0]);
        adopt_above_control(there, ends[1]);
        pid_ = spawn_supervisor(cgroups_, there.get());
    } catch (...) {
        isolation::remove_cgroups(cgroups_);
        throw;
    }
}

Supervisor::~Supervisor() {
    socket_.reset();
    py::gil_scoped_release unlocked;
    if (pid_ > 0) {
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    // It removes its cgroups itself when it can; a supervisor that was
    // killed leaves them, perhaps with processes of a run.
    isolation::kill_members(cgroups_);
    isolation::remove_cgroups(cgroups_);
}

void Supervisor::abandon() noexcept {
    socket_.reset();
    pid_ = -1;
    cgroups_ = isolation::RunCgroups();
}

std::unique_ptr<Supervisor> idle_supervisor(bool warm) {
    // Those a forked child inherited are let go first.
    for (size_t index = idle_supervisors.size(); index-- > 0;) {
        if (idle_supervisors[index]->owner() != getpid()) {
            std::unique_ptr<Supervisor> inherited(idle_supervisors[index]);
            idle_supervisors.erase(idle_supervisors.begin() + long(index));
            inherited->abandon();
        }
    }
    auto alike = std::find_if(idle_supervisors.rbegin(), idle_supervisors.rend(),
                              [warm](Supervisor* supervisor) { return supervisor->warm() == warm; });
    if (alike == idle_supervisors.rend()) {
        return nullptr;
    }
    auto chosen = std::prev(alike.base());
    std::unique_ptr<Supervisor> supervisor(*chosen);
    idle_supervisors.erase(chosen);
    return supervisor;
}

void give_back(std::unique_ptr<Supervisor> supervisor) {
    if (idle_supervisors.size() >= most_idle_supervisors) {
        // The oldest goes: a host that switched between warm and cold runs
        // keeps one of each.
        std::unique_ptr<Supervisor> oldest(idle_supervisors.front());
        idle_supervisors.erase(idle_supervisors.begin());
        if (oldest->owner() != getpid()) {
            oldest->abandon();
        }
    }
    idle_supervisors.push_back(supervisor.release());
}

}  // namespace velto::codetool
