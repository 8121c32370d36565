#include "velto_ai_sdk/codetool/isolation/warm_worker.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "velto_ai_sdk/codetool/isolation/child.h"
#include "velto_ai_sdk/codetool/isolation/supervision.h"

namespace velto::isolation {

namespace {

// Its imports may take a while on a cold disk or with a font cache to build;
// past this it is taken for stuck.
constexpr int startup_limit_ms = 60 * 1000;
// Forking the run's process takes milliseconds; past this the worker is
// taken for stuck (stopped, say, by an earlier run).
constexpr int answer_limit_ms = 10 * 1000;
constexpr int worker_channel_fd = 3;

void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Returns 0 or an errno.
int make_pipe(int ends[2]) { return pipe2(ends, O_CLOEXEC) == 0 ? 0 : errno; }

// What came through the report pipe within `limit_ms`.
WarmWorker::Handover read_answer(int report) {
    using Result = WarmWorker::Handover::Result;
    pollfd watched{report, POLLIN, 0};
    int ready;
    while ((ready = poll(&watched, 1, answer_limit_ms)) < 0 && errno == EINTR) {
    }
    if (ready == 0) {
        return {Result::no_answer, 0};
    }
    int32_t answer[2];
    ssize_t size;
    while ((size = read(report, answer, sizeof answer)) < 0 && errno == EINTR) {
    }
    if (size != ssize_t(sizeof answer)) {
        return {Result::ended, 0};
    }
    switch (WorkerAnswer(answer[0])) {
        case WorkerAnswer::started:
            return {Result::started, answer[1]};
        case WorkerAnswer::setup_failed:
            return {Result::setup_failed, answer[1]};
        case WorkerAnswer::stale:
            return {Result::stale, 0};
    }
    return {Result::ended, 0};
}

}  // namespace

bool WarmWorker::serves(const Request& request) {
    if (pid_ > 0) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            forget();
        }
    }
    if (pid_ <= 0 || program_ != request.argv[0] || file_ != request.worker) {
        return false;
    }
    std::vector<std::string> environment(request.envp.begin(), request.envp.end() - 1);
    return environment == environment_ && same_directory(request.fds[cwd_descriptor]);
}

// A relative interpreter path is found from the host's working directory,
// which may have changed since.
bool WarmWorker::same_directory(int cwd_fd) const {
    if (program_.empty() || program_[0] == '/' || program_.find('/') == std::string::npos) {
        return true;
    }
    struct stat directory;
    return fstat(cwd_fd, &directory) == 0 && directory.st_dev == directory_device_ &&
           directory.st_ino == directory_inode_;
}

int WarmWorker::start(const Request& request) {
    end();
    int channel[2], input[2], streams[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
        return errno;
    }
    if (int error = make_pipe(input)) {
        close(channel[0]);
        close(channel[1]);
        return error;
    }
    if (int error = make_pipe(streams)) {
        for (int fd : {channel[0], channel[1], input[0], input[1]}) {
            close(fd);
        }
        return error;
    }
    ChildPlan plan;
    plan.parent = getpid();
    plan.cwd_fd = request.fds[cwd_descriptor];
    plan.stdin_fd = input[0];
    plan.output_fd = streams[1];
    plan.errors_fd = streams[1];
    plan.memory_bytes = -1;
    char* argv[] = {request.argv[0], const_cast<char*>(request.worker), nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        // Its standard streams are pipes, as a run's are, so that the
        // interpreter makes the same stream objects for it.
        if (prepare_child(plan) == 0 && dup2(channel[1], worker_channel_fd) == worker_channel_fd) {
            execute(argv[0], argv, request.envp.data());
        }
        _exit(127);
    }
    int fork_error = errno;
    for (int fd : {channel[1], input[0], input[1], streams[1]}) {
        close(fd);
    }
    if (pid < 0) {
        close(channel[0]);
        close(streams[0]);
        return fork_error;
    }
    pid_ = pid;
    channel_ = channel[0];
    streams_ = streams[0];
    ready_ = false;
    program_ = request.argv[0];
    file_ = request.worker;
    environment_.assign(request.envp.begin(), request.envp.end() - 1);
    struct stat directory;
    if (fstat(plan.cwd_fd, &directory) == 0) {
        directory_device_ = directory.st_dev;
        directory_inode_ = directory.st_ino;
    }
    return 0;
}

WarmWorker::Wait WarmWorker::wait_until_ready(int control_fd) {
    if (ready_) {
        return Wait::ready;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(startup_limit_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd watched[2] = {{channel_, POLLIN, 0}, {control_fd, POLLIN, 0}};
        if (poll(watched, 2, 100) < 0) {
            continue;
        }
        if (watched[0].revents != 0) {
            char byte = 0;
            if (recv(channel_, &byte, 1, 0) != 1 || byte != 'r') {
                return Wait::ended;
            }
            ready_ = true;
            close_fd(streams_);
            return Wait::ready;
        }
        if (watched[1].revents != 0) {
            return host_stayed(control_fd) ? Wait::stopped : Wait::host_gone;
        }
    }
    return Wait::timed_out;
}

WarmWorker::Handover WarmWorker::hand_over(const Request& request, long long max_processes,
                                           const sandbox::Preparer::Prepared* sandboxed) {
    int report[2];
    if (int error = make_pipe(report)) {
        return {Handover::Result::setup_failed, error};
    }
    const char* path = request.argv[1];
    WorkerRequest header{request.header.memory_bytes, max_processes, int32_t(request.header.has_stdin != 0),
                         int32_t(strlen(path)), int32_t(sandboxed != nullptr ? sandboxed->home.size() : 0),
                         sandboxed != nullptr ? int32_t(sizeof(sandbox::KitData)) : 0, 0, 0};
    std::string message(reinterpret_cast<const char*>(&header), sizeof header);
    message += path;
    if (sandboxed != nullptr) {
        message += sandboxed->home;
    }
    int fds[most_descriptors_sent] = {request.fds[cwd_descriptor], request.fds[output_descriptor],
                                      request.fds[errors_descriptor], report[1]};
    size_t fd_count = 4;
    if (header.has_stdin != 0) {
        fds[fd_count++] = request.fds[stdin_descriptor];
    }
    if (sandboxed != nullptr) {
        message.append(reinterpret_cast<const char*>(&sandboxed->data), sizeof sandboxed->data);
        const int kit_fds[] = {sandboxed->fds.ruleset, sandboxed->fds.user_ns, sandboxed->fds.net_ns};
        for (int index = 0; index < 3; ++index) {
            if (kit_fds[index] >= 0) {
                header.sandbox_fds |= 1 << index;
                fds[fd_count++] = kit_fds[index];
            }
        }
        memcpy(&message[0], &header, sizeof header);
    }
    int sent = send_with_descriptors(channel_, std::move(message), fds, fd_count);
    // The answer comes from the worker or the run's process; with this end
    // closed, its end of file means they are gone.
    close(report[1]);
    Handover answer = sent == 0 ? read_answer(report[0]) : Handover{Handover::Result::ended, 0};
    close(report[0]);
    return answer;
}

long long WarmWorker::tasks() const {
    // num_threads is the 18th field after the name.
    long long count = pid_ > 0 ? stat_field(std::to_string(pid_).c_str(), 18) : -1;
    return count > 0 ? count : 0;
}

long long WarmWorker::anonymous_bytes() const {
    if (pid_ <= 0) {
        return 0;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", int(pid_));
    FILE* status = fopen(path, "re");
    if (status == nullptr) {
        return 0;
    }
    char line[256];
    long long kilobytes = 0;
    while (fgets(line, sizeof line, status) != nullptr && sscanf(line, "RssAnon: %lld", &kilobytes) != 1) {
    }
    fclose(status);
    return kilobytes * 1024;
}

void WarmWorker::idle() const {
    if (pid_ > 0 && ready_) {
        char byte = 'i';
        ssize_t ignored = send(channel_, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)ignored;
    }
}

void WarmWorker::forget() {
    pid_ = -1;
    ready_ = false;
    close_fd(channel_);
    close_fd(streams_);
}

void WarmWorker::resume() const {
    if (pid_ > 0) {
        kill(pid_, SIGCONT);
    }
}

void WarmWorker::end() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        // The run's process it made ahead, waiting as the supervisor's
        // child, goes with it.
        end_children(-1);
    }
    forget();
}

}  // namespace velto::isolation
