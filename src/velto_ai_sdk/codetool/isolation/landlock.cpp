#include "velto_ai_sdk/codetool/isolation/landlock.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The kernel's numbers, for C libraries whose headers predate them (the
// numbers are the same on every architecture).
#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#define __NR_landlock_add_rule 445
#define __NR_landlock_restrict_self 446
#endif

namespace velto::isolation::landlock {

namespace {

constexpr uint32_t create_ruleset_version = 1u << 0;
constexpr uint32_t rule_path_beneath = 1;
constexpr uint64_t bind_tcp = 1ull << 0;
constexpr uint64_t connect_tcp = 1ull << 1;
constexpr uint64_t scope_abstract_unix_socket = 1ull << 0;
constexpr uint64_t scope_signal = 1ull << 1;
// The rights that mean something on a file that is no directory.
constexpr uint64_t file_rights = execute | write_file | read_file | truncate | ioctl_dev;

struct RulesetAttributes {
    uint64_t handled_access_fs;
    uint64_t handled_access_net;
    uint64_t scoped;
};

struct __attribute__((packed)) PathBeneath {
    uint64_t allowed_access;
    int32_t parent_fd;
};

// Directories deeper than this under a world-readable root are taken
// whole or not at all.
constexpr int deepest_walk = 8;

bool open_to_others(const struct stat& info) {
    if (S_ISDIR(info.st_mode)) {
        return (info.st_mode & (S_IROTH | S_IXOTH)) == (S_IROTH | S_IXOTH);
    }
    return (info.st_mode & S_IROTH) != 0;
}

// Whether everything beneath the directory is open to others.
bool wholly_open(int directory, int depth) {
    int listed = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listed >= 0 ? fdopendir(listed) : nullptr;
    if (entries == nullptr) {
        if (listed >= 0) {
            close(listed);
        }
        return false;
    }
    bool open = true;
    while (dirent* entry = readdir(entries)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        struct stat info;
        if (fstatat(dirfd(entries), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISLNK(info.st_mode)) {
            continue;  // what it names is checked where it lies
        }
        if (!open_to_others(info)) {
            open = false;
            break;
        }
        if (S_ISDIR(info.st_mode)) {
            if (depth >= deepest_walk) {
                open = false;
                break;
            }
            int child = openat(dirfd(entries), entry->d_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            bool child_open = child >= 0 && wholly_open(child, depth + 1);
            if (child >= 0) {
                close(child);
            }
            if (!child_open) {
                open = false;
                break;
            }
        }
    }
    closedir(entries);
    return open;
}

void collect(int directory, int depth, std::vector<int>& fds) {
    if (wholly_open(directory, depth)) {
        int kept = fcntl(directory, F_DUPFD_CLOEXEC, 3);
        if (kept >= 0) {
            fds.push_back(kept);
        }
        return;
    }
    if (depth >= deepest_walk) {
        return;
    }
    int listed = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listed >= 0 ? fdopendir(listed) : nullptr;
    if (entries == nullptr) {
        if (listed >= 0) {
            close(listed);
        }
        return;
    }
    while (dirent* entry = readdir(entries)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        struct stat info;
        if (fstatat(dirfd(entries), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(info.st_mode) ||
            !open_to_others(info)) {
            continue;
        }
        int child = openat(dirfd(entries), entry->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            collect(child, depth + 1, fds);
            close(child);
        } else {
            fds.push_back(child);
        }
    }
    closedir(entries);
}

}  // namespace

int abi() {
    long version = syscall(__NR_landlock_create_ruleset, nullptr, 0, create_ruleset_version);
    return version > 0 ? int(version) : -errno;
}

uint64_t handled_rights(int abi) {
    uint64_t rights = (1ull << 13) - 1;  // ABI 1: execute to make_sym
    if (abi >= 2) {
        rights |= 1ull << 13;  // refer
    }
    if (abi >= 3) {
        rights |= truncate;
    }
    if (abi >= 5) {
        rights |= ioctl_dev;
    }
    return rights;
}

Ruleset::Ruleset(const Plan& plan) : handled_(handled_rights(plan.abi)) {
    RulesetAttributes attributes{handled_, 0, 0};
    size_t size = sizeof attributes.handled_access_fs;
    if (plan.abi >= 4) {
        attributes.handled_access_net = plan.restrict_tcp ? bind_tcp | connect_tcp : 0;
        size += sizeof attributes.handled_access_net;
    }
    if (plan.abi >= 6) {
        attributes.scoped = (plan.scope_signals ? scope_signal : 0) |
                            (plan.scope_abstract ? scope_abstract_unix_socket : 0);
        size += sizeof attributes.scoped;
    }
    long fd = syscall(__NR_landlock_create_ruleset, &attributes, size, 0);
    fd_ = fd >= 0 ? int(fd) : -errno;
    if (fd_ >= 0) {
        fcntl(fd_, F_SETFD, FD_CLOEXEC);
    }
}

Ruleset::Ruleset(int fd, int abi) : fd_(fd), handled_(handled_rights(abi)) {}

Ruleset::~Ruleset() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

int Ruleset::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

int add_rule(int ruleset_fd, int path_fd, uint64_t access, uint64_t handled) {
    struct stat info;
    if (fstat(path_fd, &info) != 0) {
        return errno;
    }
    PathBeneath rule{access & handled & (S_ISDIR(info.st_mode) ? everything : file_rights), path_fd};
    if (rule.allowed_access == 0) {
        return 0;
    }
    return syscall(__NR_landlock_add_rule, ruleset_fd, rule_path_beneath, &rule, 0) == 0 ? 0 : errno;
}

int Ruleset::allow(int path_fd, uint64_t access) const { return add_rule(fd_, path_fd, access, handled_); }

int Ruleset::allow_as_is(int path_fd, uint64_t access) const {
    PathBeneath rule{access & handled_, path_fd};
    if (rule.allowed_access == 0) {
        return 0;
    }
    return syscall(__NR_landlock_add_rule, fd_, rule_path_beneath, &rule, 0) == 0 ? 0 : errno;
}

uint64_t for_files(uint64_t access) { return access & file_rights; }

int Ruleset::allow(const std::string& path, uint64_t access) const {
    int path_fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (path_fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    }
    int error = allow(path_fd, access);
    close(path_fd);
    return error;
}

int restrict_self(int ruleset_fd) {
    return syscall(__NR_landlock_restrict_self, ruleset_fd, 0) == 0 ? 0 : errno;
}

void collect_world_readable(const std::string& root, std::vector<int>& fds) {
    int directory = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return;
    }
    struct stat info;
    if (fstat(directory, &info) == 0 && open_to_others(info)) {
        collect(directory, 0, fds);
    }
    close(directory);
}

}  // namespace velto::isolation::landlock
