#include "velto_ai_sdk/codetool/isolation/supervision.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velto::isolation {

namespace {

sigset_t watched_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        sigaddset(&signals, signal);
    }
    return signals;
}

// The parent process id in /proc/<pid>/stat, or -1.
pid_t parent_of(const char* pid) { return pid_t(stat_field(pid, 2)); }

}  // namespace

long long stat_field(const char* pid, int index) {
    char path[sizeof "/proc//stat" + sizeof(dirent::d_name)];
    snprintf(path, sizeof path, "/proc/%s/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char text[1024];
    ssize_t size = read(fd, text, sizeof text - 1);
    close(fd);
    if (size <= 0) {
        return -1;
    }
    text[size] = '\0';
    // "pid (name) state ppid ...": the name may hold anything but ends at
    // the last parenthesis.
    const char* field = strrchr(text, ')');
    for (int at = 0; field != nullptr && at < index; ++at) {
        field = strchr(field + 1, ' ');
    }
    return field == nullptr || field[1] == '\0' ? -1 : atoll(field + 1);
}

namespace {

// The supervisor's children, as the kernel lists them (one small read,
// however many processes the machine has); false where it does not. The
// list is exact here: only this process, with its one thread, removes a
// child from it (by reaping it), and a child re-parented to it is on it
// before the process it was orphaned by can be reaped.
bool listed_children(std::vector<pid_t>& children) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/children", int(getpid()));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string text;
    char buffer[4096];
    ssize_t size;
    while ((size = read(fd, buffer, sizeof buffer)) > 0 || (size < 0 && errno == EINTR)) {
        text.append(buffer, size_t(size > 0 ? size : 0));
    }
    close(fd);
    if (size < 0) {
        return false;
    }
    for (const char* at = text.c_str(); *at != '\0';) {
        char* end;
        long pid = strtol(at, &end, 10);
        if (end == at) {
            break;
        }
        children.push_back(pid_t(pid));
        at = end;
    }
    return true;
}

// Every process whose parent is this one, from a look at each process on
// the machine: where the kernel keeps no list of children.
std::vector<pid_t> scanned_children() {
    std::vector<pid_t> children;
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return children;
    }
    pid_t self = getpid();
    while (dirent* entry = readdir(processes)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && parent_of(entry->d_name) == self) {
            children.push_back(pid_t(atoi(entry->d_name)));
        }
    }
    closedir(processes);
    return children;
}

// Sends SIGKILL to every child but `spared`, and to the process group it
// leads, if any: children stay unreaped until waited for, so their ids
// cannot have been reused. Returns how many it found, ended ones included.
int kill_children(pid_t spared) {
    std::vector<pid_t> children;
    if (!listed_children(children)) {
        children = scanned_children();
    }
    int found = 0;
    for (pid_t child : children) {
        if (child == spared) {
            continue;
        }
        ++found;
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
    }
    return found;
}

// Kills the script's group and every other descendant but `spared`, until
// nothing else is left to reap; returns the script's wait status. Killing
// a child re-parents its own children here, so the rounds go on until the
// tree is empty.
int end_everything(pid_t script, pid_t spared, bool& spared_ended) {
    kill(-script, SIGKILL);
    kill(script, SIGKILL);
    int script_status = 0;
    while (waitpid(script, &script_status, 0) < 0 && errno == EINTR) {
    }
    spared_ended = end_children(spared) || spared_ended;
    return script_status;
}

// Whether the script has ended, without reaping it: its id, and the id of
// its process group, stay taken until end_everything has killed the group.
// Other children that ended are reaped on the way (`spared` among them,
// which is then noted).
bool script_ended(pid_t script, pid_t spared, bool& spared_ended) {
    while (true) {
        siginfo_t info;
        memset(&info, 0, sizeof info);
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) {
            return false;
        }
        if (info.si_pid == script) {
            return true;
        }
        int ignored;
        waitpid(info.si_pid, &ignored, 0);
        spared_ended = spared_ended || info.si_pid == spared;
    }
}

// Whether a signal other than SIGCHLD (a request to terminate) came.
bool termination_requested(int signal_fd) {
    bool requested = false;
    signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof info) == ssize_t(sizeof info)) {
        requested = requested || info.ssi_signo != SIGCHLD;
    }
    return requested;
}

}  // namespace

bool end_children(pid_t spared) {
    bool spared_ended = false;
    while (kill_children(spared) > 0) {
        siginfo_t info;
        memset(&info, 0, sizeof info);
        if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        int status;
        waitpid(info.si_pid, &status, 0);
        if (info.si_pid == spared) {
            spared_ended = true;
            spared = -1;
        }
    }
    return spared_ended;
}

int become_subreaper() {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        return errno;
    }
    sigset_t signals = watched_signals();
    return sigprocmask(SIG_BLOCK, &signals, nullptr) == 0 ? 0 : errno;
}

// What came through the control socket: the stop (true), or its end.
bool host_stayed(int control_fd) {
    char byte;
    ssize_t size;
    while ((size = read(control_fd, &byte, 1)) < 0 && errno == EINTR) {
    }
    return size == 1;
}

Ending supervise(pid_t script, int control_fd, pid_t spared) {
    sigset_t signals = watched_signals();
    int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    // Without a signal descriptor, the script's end is looked for now and
    // then.
    int nfds = signal_fd >= 0 ? 2 : 1, wait_ms = signal_fd >= 0 ? -1 : 20;
    Ending ending{false, false, 0, false};
    while (true) {
        pollfd watched[2] = {{control_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
        if (poll(watched, nfds, wait_ms) < 0) {
            continue;
        }
        if (watched[0].revents != 0) {
            ending.stopped = true;
            ending.host_gone = !host_stayed(control_fd);
        }
        if (signal_fd >= 0 && termination_requested(signal_fd)) {
            ending.stopped = ending.host_gone = true;
        }
        if (ending.stopped || script_ended(script, spared, ending.spared_ended)) {
            break;
        }
    }
    if (signal_fd >= 0) {
        close(signal_fd);
    }
    ending.wait_status = end_everything(script, ending.spared_ended ? -1 : spared, ending.spared_ended);
    return ending;
}

}  // namespace velto::isolation
