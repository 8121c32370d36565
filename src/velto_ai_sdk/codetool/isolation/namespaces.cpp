#include "velto_ai_sdk/codetool/isolation/namespaces.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velto::isolation::namespaces {

namespace {

int write_text(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    size_t size = strlen(text);
    int error = write(fd, text, size) == ssize_t(size) ? 0 : errno;
    close(fd);
    return error;
}

// In the helper: the namespaces, the user mapped to itself. Returns 0 or
// an errno.
int make_in_helper(const char* user_map, const char* group_map) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        return errno;
    }
    if (int error = write_text("/proc/self/setgroups", "deny")) {
        return error;
    }
    if (int error = write_text("/proc/self/uid_map", user_map)) {
        return error;
    }
    return write_text("/proc/self/gid_map", group_map);
}

int open_namespace(pid_t pid, const char* kind) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/ns/%s", int(pid), kind);
    return open(path, O_RDONLY | O_CLOEXEC);
}

}  // namespace

int make(Shared& shared) {
    char user_map[48], group_map[48];
    snprintf(user_map, sizeof user_map, "%u %u 1\n", unsigned(geteuid()), unsigned(geteuid()));
    snprintf(group_map, sizeof group_map, "%u %u 1\n", unsigned(getegid()), unsigned(getegid()));
    int made[2], done[2];
    if (pipe2(made, O_CLOEXEC) != 0) {
        return errno;
    }
    if (pipe2(done, O_CLOEXEC) != 0) {
        int error = errno;
        close(made[0]);
        close(made[1]);
        return error;
    }
    pid_t helper = fork();
    if (helper == 0) {
        close(made[0]);
        close(done[1]);
        int error = make_in_helper(user_map, group_map);
        ssize_t ignored = write(made[1], &error, sizeof error);
        // It stays until its namespaces are held from outside.
        char byte;
        ignored = read(done[0], &byte, 1);
        (void)ignored;
        _exit(0);
    }
    int error = helper < 0 ? errno : 0;
    close(made[1]);
    close(done[0]);
    if (helper > 0) {
        int reported = EIO;
        error = read(made[0], &reported, sizeof reported) == ssize_t(sizeof reported) ? reported : EIO;
        if (error == 0) {
            shared.user_fd = open_namespace(helper, "user");
            shared.net_fd = open_namespace(helper, "net");
            if (shared.user_fd < 0 || shared.net_fd < 0) {
                error = errno;
                release(shared);
            }
        }
        close(done[1]);
        while (waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
        }
    } else {
        close(done[1]);
    }
    close(made[0]);
    return error;
}

void release(Shared& shared) {
    for (int* fd : {&shared.user_fd, &shared.net_fd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

int hold_mounts(pid_t pid) { return open_namespace(pid, "mnt"); }

int enter(int user_fd, int net_fd) {
    if (setns(user_fd, CLONE_NEWUSER) != 0) {
        return errno;
    }
    if (net_fd >= 0 && setns(net_fd, CLONE_NEWNET) != 0) {
        return errno;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        return errno;
    }
    if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=1777") != 0 &&
        errno != ENOENT) {
        return errno;
    }
    return 0;
}

}  // namespace velto::isolation::namespaces
