// The file-system, TCP and scope layer of a code run's sandbox: a Landlock
// ruleset that lets the run read what an interpreter needs and the paths
// it was given, write only where it was given, make no TCP connection or
// binding, and neither signal nor reach an abstract socket of a process
// outside the run. What the kernel's Landlock version (its ABI) lacks
// stays unrestricted: the sandbox names it (sandbox.h).
//
// The supervisor builds a ruleset for each run; the run's process adds its
// own /proc entries (and its private /dev/shm) and restricts itself with
// it before the script's first line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velto::isolation::landlock {

// The kernel's Landlock ABI version, or -errno when it has none (ENOSYS:
// not built in; EOPNOTSUPP: turned off at boot).
int abi();

// Access rights, as the kernel numbers them.
constexpr uint64_t execute = 1ull << 0;
constexpr uint64_t write_file = 1ull << 1;
constexpr uint64_t read_file = 1ull << 2;
constexpr uint64_t read_dir = 1ull << 3;
constexpr uint64_t truncate = 1ull << 14;
constexpr uint64_t ioctl_dev = 1ull << 15;
constexpr uint64_t everything = (1ull << 16) - 1;
// What a directory the run only reads (and runs programs from) grants.
constexpr uint64_t reading = read_file | read_dir | execute;
// What a device the run may use like a file grants.
constexpr uint64_t device = read_file | write_file | ioctl_dev;

struct Plan {
    bool operator==(const Plan& other) const {
        return abi == other.abi && restrict_tcp == other.restrict_tcp && scope_signals == other.scope_signals &&
               scope_abstract == other.scope_abstract;
    }

    int abi;                 // > 0
    bool restrict_tcp;       // no TCP connect or bind (ABI 4)
    bool scope_signals;      // no signal to a process outside the run (ABI 6)
    bool scope_abstract;     // no connection to an abstract socket outside the run (ABI 6)
};

// A ruleset being built in the supervisor.
class Ruleset {
public:
    // Returns -errno in fd() when the kernel refuses.
    explicit Ruleset(const Plan& plan);
    // Takes over a ruleset made for `abi`.
    Ruleset(int fd, int abi);
    Ruleset(const Ruleset&) = delete;
    Ruleset& operator=(const Ruleset&) = delete;
    ~Ruleset();

    int fd() const { return fd_; }
    // Lets `access` happen beneath `path_fd` (an O_PATH descriptor of a
    // directory or a file; a file gets the file rights among them).
    // Returns 0 or an errno.
    int allow(int path_fd, uint64_t access) const;
    // The same for a descriptor whose rights are known to suit it (a file's
    // are file rights): no look at what it is.
    int allow_as_is(int path_fd, uint64_t access) const;
    // The same for a path; a path that does not exist is skipped (0).
    int allow(const std::string& path, uint64_t access) const;
    // Hands the descriptor over: the caller closes it.
    int release();

private:
    int fd_;
    uint64_t handled_;
};

// Adds a rule to a ruleset descriptor, as Ruleset::allow does, for
// `handled` rights. Returns 0 or an errno. Async-signal-safe.
int add_rule(int ruleset_fd, int path_fd, uint64_t access, uint64_t handled);

// The rights among `access` that a file which is no directory can have.
uint64_t for_files(uint64_t access);

// What the rights of `abi` are among `everything`.
uint64_t handled_rights(int abi);

// In the run's process: restricts it, and everything it starts, to the
// ruleset. Returns 0 or an errno. Async-signal-safe; no_new_privs must be
// set.
int restrict_self(int ruleset_fd);

// The readable parts of a tree that everyone may read, as rules: a
// directory whose whole content is open to others is one rule, else its
// open entries are taken one by one. Files only their owner or group may
// read (keys, passwords) are left out. Descriptors are O_PATH, kept by the
// caller.
void collect_world_readable(const std::string& root, std::vector<int>& fds);

}  // namespace velto::isolation::landlock
