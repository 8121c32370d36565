// velto-code-supervisor: the parent of the code runs' scripts.
//
// The host starts it with the cgroups it is to run in (see protocol.h for
// its descriptors): it joins them once, then serves the host's requests one
// at a time: gives the script its process and limits, waits until the
// script ends or the host says stop, kills every process of the run and
// reports the outcome. When the host goes away it ends the run under way,
// leaves and removes its cgroups, and exits. It runs in a session of its
// own, so a terminal's signals meant for the host do not reach it, and
// holds nothing of the host's between runs.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "velto_ai_sdk/codetool/isolation/cgroups.h"
#include "velto_ai_sdk/codetool/isolation/child.h"
#include "velto_ai_sdk/codetool/isolation/protocol.h"
#include "velto_ai_sdk/codetool/isolation/supervision.h"

namespace velto::isolation {

namespace {

void report(ReportKind kind, int32_t value = 0) {
    Report record{kind, value};
    // The host may be gone; there is no one left to tell then.
    ssize_t ignored = send(control_fd, &record, sizeof record, MSG_NOSIGNAL);
    (void)ignored;
}

// Only the control socket stays open: nothing else of the host lives on in
// the runs.
void keep_only_control_descriptor() {
    fcntl(control_fd, F_SETFD, FD_CLOEXEC);
    DIR* open_fds = opendir("/proc/self/fd");
    if (open_fds == nullptr) {
        for (int fd = control_fd + 1; fd < 65536; ++fd) {
            close(fd);
        }
        return;
    }
    int listing = dirfd(open_fds);
    while (dirent* entry = readdir(open_fds)) {
        int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd > control_fd && fd != listing) {
            close(fd);
        }
    }
    closedir(open_fds);
}

// Without a pids cgroup, RLIMIT_NPROC is the cap. It counts every task of
// the user, so the script gets room for max_tasks beyond those the user
// has now. The kernel does not apply it to root.
long long processes_limit(const RunCgroups& cgroups, long long max_tasks) {
    if (!cgroups.pids.empty() || getuid() == 0) {
        return -1;
    }
    long long tasks = 0;
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return max_tasks;
    }
    std::string uid = std::to_string(getuid());
    while (dirent* entry = readdir(processes)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        std::string status = std::string("/proc/") + entry->d_name + "/status";
        FILE* file = fopen(status.c_str(), "re");
        if (file == nullptr) {
            continue;
        }
        char line[256];
        bool mine = false;
        long threads = 0;
        while (fgets(line, sizeof line, file) != nullptr) {
            char real[32];
            if (sscanf(line, "Uid: %31s", real) == 1) {
                mine = uid == real;
            }
            sscanf(line, "Threads: %ld", &threads);
        }
        fclose(file);
        tasks += mine ? threads : 0;
    }
    closedir(processes);
    return tasks + max_tasks;
}

// Forks and executes the script; returns its process id, or -1 after
// reporting why it could not start.
pid_t start_script(const Request& request, const RunCgroups& cgroups) {
    ChildPlan plan;
    plan.parent = getpid();
    plan.cwd_fd = request.fds[cwd_descriptor];
    plan.stdin_fd = request.fds[stdin_descriptor];
    plan.output_fd = request.fds[output_descriptor];
    plan.errors_fd = request.fds[errors_descriptor];
    plan.memory_bytes = request.header.memory_bytes;
    plan.max_processes = processes_limit(cgroups, request.header.max_tasks);
    int failure[2];
    if (pipe2(failure, O_CLOEXEC) != 0) {
        report(ReportKind::setup_failed, errno);
        return -1;
    }
    pid_t script = fork();
    if (script == 0) {
        // Which step failed, and its errno.
        int32_t failed[2] = {int32_t(ReportKind::setup_failed), prepare_child(plan)};
        if (failed[1] == 0) {
            failed[0] = int32_t(ReportKind::start_failed);
            failed[1] = execute(request.argv[0], request.argv.data(), request.envp.data());
        }
        ssize_t ignored = write(failure[1], failed, sizeof failed);
        (void)ignored;
        _exit(127);
    }
    int fork_error = errno;
    close(failure[1]);
    if (script < 0) {
        close(failure[0]);
        report(ReportKind::setup_failed, fork_error);
        return -1;
    }
    int32_t failed[2];
    ssize_t size;
    while ((size = read(failure[0], failed, sizeof failed)) < 0 && errno == EINTR) {
    }
    close(failure[0]);
    if (size == ssize_t(sizeof failed)) {
        int status;
        waitpid(script, &status, 0);
        report(ReportKind(failed[0]), failed[1]);
        return -1;
    }
    return script;
}

// One run; returns whether the host is still there.
bool serve(Request& request, const RunCgroups& cgroups) {
    // The supervisor is in the pids cgroup too.
    if (int error = limit_run_cgroups(cgroups, request.header.max_tasks + 1, request.header.memory_bytes)) {
        report(ReportKind::setup_failed, error);
        return true;
    }
    long long kills_before = out_of_memory_kills(cgroups);
    pid_t script = start_script(request, cgroups);
    // The output reaches its end of file when the run's processes are gone.
    close_request_fds(request);
    if (script <= 0) {
        return true;
    }
    report(ReportKind::started, script);
    Ending ending = supervise(script, control_fd);
    // Only a process killed by a signal can have been the memory cgroup's.
    if (!ending.stopped && WIFSIGNALED(ending.wait_status) && out_of_memory_kills(cgroups) > kills_before) {
        report(ReportKind::out_of_memory);
    }
    report(ending.stopped ? ReportKind::stopped : ReportKind::ended, ending.wait_status);
    return !ending.host_gone;
}

int run(const RunCgroups& cgroups) {
    setsid();
    // It holds no directory of the host's while it waits.
    if (chdir("/") != 0) {
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    keep_only_control_descriptor();
    if (int error = become_subreaper()) {
        report(ReportKind::setup_failed, error);
    } else if (int error = join_cgroups(cgroups)) {
        report(ReportKind::setup_failed, error);
    } else {
        Request request;
        while (receive_request(control_fd, request) && serve(request, cgroups)) {
            request = Request();
        }
        close_request_fds(request);
    }
    leave_cgroups(cgroups);
    return 0;
}

std::string cgroup_argument(const char* text) { return strcmp(text, no_cgroup) == 0 ? "" : text; }

}  // namespace

}  // namespace velto::isolation

int main(int argc, char** argv) {
    using namespace velto::isolation;
    if (argc != 3) {
        return 2;
    }
    return run(RunCgroups{cgroup_argument(argv[1]), cgroup_argument(argv[2])});
}
