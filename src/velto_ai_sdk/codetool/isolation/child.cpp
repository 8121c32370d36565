#include "velto_ai_sdk/codetool/isolation/child.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace velto::isolation {

namespace {

int limit(int resource, long long value) {
    rlimit both{rlim_t(value), rlim_t(value)};
    return setrlimit(resource, &both) == 0 ? 0 : errno;
}

// Handlers and ignored signals of the parent are not the script's business.
void default_signals() {
    struct sigaction default_action;
    memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) {
            sigaction(signal, &default_action, nullptr);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

const char* variable(char* const envp[], const char* name) {
    size_t length = strlen(name);
    for (char* const* entry = envp; *entry != nullptr; ++entry) {
        if (strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
            return *entry + length + 1;
        }
    }
    return nullptr;
}

}  // namespace

int prepare_child(const ChildPlan& plan) {
    if (setsid() < 0) {
        return errno;
    }
    // The parent may have died between the fork and this request, in which
    // case no signal will come.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        return errno;
    }
    if (getppid() != plan.parent) {
        _exit(127);
    }
    if (fchdir(plan.cwd_fd) != 0) {
        return errno;
    }
    if (plan.stdin_fd < 0) {
        close(0);
    } else if (dup2(plan.stdin_fd, 0) < 0) {
        return errno;
    }
    if (dup2(plan.output_fd, 1) < 0 || dup2(plan.errors_fd, 2) < 0) {
        return errno;
    }
    if (plan.memory_bytes >= 0) {
        if (int error = limit(RLIMIT_DATA, plan.memory_bytes)) {
            return error;
        }
    }
    if (plan.max_processes >= 0) {
        if (int error = limit(RLIMIT_NPROC, plan.max_processes)) {
            return error;
        }
    }
    // A crashing script leaves no core file in the host's directory.
    if (int error = limit(RLIMIT_CORE, 0)) {
        return error;
    }
    default_signals();
    return 0;
}

int execute(const char* program, char* const argv[], char* const envp[]) {
    if (strchr(program, '/') != nullptr) {
        execve(program, argv, envp);
        return errno;
    }
    const char* path = variable(envp, "PATH");
    if (path == nullptr) {
        path = "/bin:/usr/bin";
    }
    int first_error = 0;
    size_t program_length = strlen(program);
    while (true) {
        const char* end = strchrnul(path, ':');
        size_t length = size_t(end - path);
        char candidate[4096];
        if (length + 1 + program_length < sizeof candidate) {
            memcpy(candidate, path, length);
            size_t at = length;
            if (length > 0) {
                candidate[at++] = '/';
            }
            memcpy(candidate + at, program, program_length + 1);
            execve(candidate, argv, envp);
            if (errno != ENOENT && errno != ENOTDIR && first_error == 0) {
                first_error = errno;
            }
        }
        if (*end == '\0') {
            break;
        }
        path = end + 1;
    }
    return first_error != 0 ? first_error : ENOENT;
}

}  // namespace velto::isolation
