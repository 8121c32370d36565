// velto-code-supervisor: the parent of the code runs' scripts.
//
// The host starts it with the cgroups it is to run in (see protocol.h for
// its descriptors): it joins them once, then serves the host's requests one
// at a time: gives the script its process and limits, waits until the
// script ends or the host says stop, kills every process of the run and
// reports the outcome. A warm run's process is forked instead by the warm
// worker (warm_worker.h), which it keeps between runs. When the host goes away it ends the run under way,
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
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "velto_ai_sdk/codetool/isolation/cgroups.h"
#include "velto_ai_sdk/codetool/isolation/child.h"
#include "velto_ai_sdk/codetool/isolation/namespaces.h"
#include "velto_ai_sdk/codetool/isolation/protocol.h"
#include "velto_ai_sdk/codetool/isolation/removal.h"
#include "velto_ai_sdk/codetool/isolation/sandbox.h"
#include "velto_ai_sdk/codetool/isolation/supervision.h"
#include "velto_ai_sdk/codetool/isolation/warm_worker.h"

namespace velto::isolation {

namespace {

// What the host does after a run's report: a few reads and a file removed,
// well under a millisecond, or a few on a busy machine.
constexpr int host_finishing_ms = 5;

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

// The run's environment: HOME and TMPDIR are its private directory, when it
// has one.
std::vector<std::string> run_environment(const Request& request, const std::string& home) {
    std::vector<std::string> entries;
    bool private_dir = !home.empty();
    for (char* const* entry = request.envp.data(); *entry != nullptr; ++entry) {
        bool replaced = strncmp(*entry, "HOME=", 5) == 0 || strncmp(*entry, "TMPDIR=", 7) == 0;
        if (!(private_dir && replaced)) {
            entries.emplace_back(*entry);
        }
    }
    if (private_dir) {
        entries.push_back("HOME=" + home);
        entries.push_back("TMPDIR=" + home);
    }
    return entries;
}

// Forks and executes the script in its sandbox; returns its process id, or
// -1 after reporting why it could not start.
pid_t start_script(const Request& request, const RunCgroups& cgroups, const sandbox::Preparer::Prepared& sandboxed,
                   bool enter_sandbox) {
    std::vector<std::string> environment = run_environment(request, sandboxed.home);
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
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
        if (failed[1] == 0 && enter_sandbox) {
            failed[1] = sandbox::enter(sandboxed.data, sandboxed.fds);
        }
        if (failed[1] == 0) {
            failed[0] = int32_t(ReportKind::start_failed);
            failed[1] = execute(request.argv[0], request.argv.data(), envp.data());
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

// How a run's start went when the warm worker was asked for it.
struct WarmStart {
    pid_t script = -1;       // the script's process; -1 when the run starts from nothing after all
    bool over = false;       // the run's end has been reported already
    bool host_gone = false;
};

WarmStart run_over(ReportKind kind, int32_t value = 0) {
    report(kind, value);
    WarmStart start;
    start.over = true;
    return start;
}

// The worker cannot take the run: it goes, with whatever it left, and the
// run starts from nothing.
WarmStart without_worker(WarmWorker& worker, WarmUnavailable why) {
    worker.end();
    end_children(-1);
    report(ReportKind::warm_unavailable, int32_t(why));
    return WarmStart();
}

// Starts a worker for the request's environment. Returns 0 or an errno.
int start_worker(const Request& request, const RunCgroups& cgroups, WarmWorker& worker) {
    // Its imports may start a thread per core; the task limit comes when
    // they are done and the threads can be counted.
    if (int error = limit_run_cgroups(cgroups, -1, request.header.memory_bytes)) {
        return error;
    }
    return worker.start(request);
}

// The script's process forked by the warm worker, under the run's limits
// on top of what the worker holds. `kills_before`: the memory cgroup's
// count before the run.
WarmStart start_warm(Request& request, const RunCgroups& cgroups, WarmWorker& worker, long long& kills_before,
                     const sandbox::Preparer::Prepared& sandboxed, bool enter_sandbox) {
    // A stale worker is replaced once; its successor has just imported.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!worker.serves(request) && start_worker(request, cgroups, worker) != 0) {
            return without_worker(worker, WarmUnavailable::not_started);
        }
        switch (worker.wait_until_ready(control_fd)) {
            case WarmWorker::Wait::ready:
                break;
            case WarmWorker::Wait::stopped:
                return run_over(ReportKind::stopped);
            case WarmWorker::Wait::host_gone: {
                WarmStart start;
                start.host_gone = true;
                return start;
            }
            case WarmWorker::Wait::ended:
                return without_worker(worker, WarmUnavailable::ended);
            case WarmWorker::Wait::timed_out:
                return without_worker(worker, WarmUnavailable::no_answer);
        }
        // The supervisor, the worker and, for a moment, the fork between the
        // worker and the run's process count too.
        long long tasks = request.header.max_tasks + 1 + worker.tasks();
        long long memory = request.header.memory_bytes + worker.anonymous_bytes();
        if (int error = limit_run_cgroups(cgroups, tasks + 1, memory)) {
            return run_over(ReportKind::setup_failed, error);
        }
        kills_before = out_of_memory_kills(cgroups);
        WarmWorker::Handover handover = worker.hand_over(request, processes_limit(cgroups, request.header.max_tasks),
                                                         enter_sandbox ? &sandboxed : nullptr);
        switch (handover.result) {
            case WarmWorker::Handover::Result::started: {
                // The fork between has left (the run's process waited for
                // that) and is reaped by the worker at once.
                limit_run_cgroups(cgroups, tasks, memory);
                WarmStart start;
                start.script = handover.value;
                return start;
            }
            case WarmWorker::Handover::Result::setup_failed:
                end_children(worker.pid());
                return run_over(ReportKind::setup_failed, handover.value);
            case WarmWorker::Handover::Result::stale:
                worker.end();
                continue;
            case WarmWorker::Handover::Result::ended:
                return without_worker(worker, WarmUnavailable::ended);
            case WarmWorker::Handover::Result::no_answer:
                return without_worker(worker, WarmUnavailable::no_answer);
        }
    }
    return without_worker(worker, WarmUnavailable::ended);
}

// The script's process executed from nothing; -1 when its end has been
// reported (it could not be started).
pid_t start_cold(const Request& request, const RunCgroups& cgroups, long long& kills_before,
                 const sandbox::Preparer::Prepared& sandboxed, bool enter_sandbox) {
    // The supervisor is in the pids cgroup too.
    if (int error = limit_run_cgroups(cgroups, request.header.max_tasks + 1, request.header.memory_bytes)) {
        report(ReportKind::setup_failed, error);
        return -1;
    }
    kills_before = out_of_memory_kills(cgroups);
    return start_script(request, cgroups, sandboxed, enter_sandbox);
}

// Starts the worker ahead of the first run; the host does not wait for
// its imports.
void warm_up(const Request& request, const RunCgroups& cgroups, WarmWorker& worker) {
    int error = worker.serves(request) ? 0 : start_worker(request, cgroups, worker);
    report(error == 0 ? ReportKind::ended : ReportKind::setup_failed, error);
}

// The run's sandbox, as its request asks; the layers it goes without are
// reported. False when the run is refused or the sandbox cannot be made
// (reported as the run's end).
bool prepare_sandbox(const Request& request, sandbox::Preparer& preparer, sandbox::Preparer::Prepared& prepared) {
    sandbox::RunPolicy policy;
    policy.mode = sandbox::Mode(request.header.sandbox);
    policy.network = request.header.network != 0;
    policy.made_missing = request.header.made_missing;
    policy.private_dir = request.private_dir;
    policy.script = request.argv[1];
    policy.reads = request.reads;
    policy.writes = request.writes;
    prepared = preparer.prepare(policy);
    for (int index = 0; index < sandbox::layer_count; ++index) {
        if ((prepared.missing & (1u << index)) != 0) {
            report(ReportKind::layer_missing, layer_report(index, prepared.errors[index]));
        }
    }
    if (prepared.refused >= 0) {
        report(ReportKind::layer_refused, layer_report(prepared.refused, prepared.errors[prepared.refused]));
        return false;
    }
    if (prepared.error != 0) {
        report(ReportKind::setup_failed, prepared.error);
        return false;
    }
    return true;
}

// What a run leaves on disk goes with it: its private directory, and, when
// the host is gone (killed, say) and cannot, its script.
void clean_up(const Request& request, sandbox::Preparer::Prepared& prepared, bool host_gone) {
    if (prepared.fds.ruleset >= 0) {
        close(prepared.fds.ruleset);
        prepared.fds.ruleset = -1;
    }
    if (prepared.made_private_dir) {
        remove_tree(request.private_dir);
    }
    if (host_gone && request.argv.size() > 1 && request.argv[1] != nullptr && request.argv[1][0] != '\0') {
        unlink(request.argv[1]);
    }
}

// Waits until the host has had the time to take the report and return
// from its call, or until it sends again (its next request, or its end).
void let_host_finish() {
    pollfd control{control_fd, POLLIN, 0};
    while (poll(&control, 1, host_finishing_ms) < 0 && errno == EINTR) {
    }
}

// One run; returns whether the host is still there.
bool serve(Request& request, const RunCgroups& cgroups, WarmWorker& worker, sandbox::Preparer& preparer) {
    RunMode mode = request.header.mode;
    if (mode == RunMode::warm_up) {
        warm_up(request, cgroups, worker);
        close_request_fds(request);
        return true;
    }
    if (mode == RunMode::cold) {
        worker.end();
    }
    sandbox::Preparer::Prepared sandboxed;
    if (!prepare_sandbox(request, preparer, sandboxed)) {
        close_request_fds(request);
        clean_up(request, sandboxed, false);
        return true;
    }
    bool enter_sandbox = request.header.sandbox != uint32_t(sandbox::Mode::off);
    long long kills_before = 0;
    WarmStart warm = mode == RunMode::warm
                         ? start_warm(request, cgroups, worker, kills_before, sandboxed, enter_sandbox)
                         : WarmStart();
    pid_t script = warm.over || warm.host_gone
                       ? -1
                   : warm.script > 0 ? warm.script
                                     : start_cold(request, cgroups, kills_before, sandboxed, enter_sandbox);
    // The output reaches its end of file when the run's processes are gone.
    close_request_fds(request);
    if (script <= 0) {
        clean_up(request, sandboxed, warm.host_gone);
        return !warm.host_gone;
    }
    report(ReportKind::started, script);
    bool own_mounts = enter_sandbox && (sandboxed.data.layers & sandbox::namespaces_layer) != 0;
    int run_mounts = own_mounts ? namespaces::hold_mounts(script) : -1;
    Ending ending = supervise(script, control_fd, worker.pid());
    if (ending.spared_ended) {
        worker.forget();
    }
    // The script may have stopped it.
    worker.resume();
    // Only a process killed by a signal can have been the memory cgroup's.
    if (!ending.stopped && WIFSIGNALED(ending.wait_status) && out_of_memory_kills(cgroups) > kills_before) {
        report(ReportKind::out_of_memory);
    }
    clean_up(request, sandboxed, ending.host_gone);
    report(ending.stopped ? ReportKind::stopped : ReportKind::ended, ending.wait_status);
    // What is done between runs (the next warm run's process, the unmount,
    // the next ruleset) waits until the host has read the outcome: on a
    // busy machine it would hold up the host's return.
    if (!ending.host_gone) {
        let_host_finish();
    }
    worker.idle();
    if (run_mounts >= 0) {
        close(run_mounts);
    }
    preparer.prepare_ahead();
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
        WarmWorker worker;
        sandbox::Preparer preparer;
        Request request;
        while (receive_request(control_fd, request) && serve(request, cgroups, worker, preparer)) {
            request = Request();
        }
        close_request_fds(request);
        // Its cgroups can go only once they are empty: the worker and the
        // run's process it made ahead go.
        worker.end();
        end_children(-1);
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
