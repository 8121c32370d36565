// Turning a freshly forked process into the script's process: a session of
// its own, death with its parent, the host's working directory and standard
// input, the run's output pipes, its limits, default signal handling; then
// the program itself. (The run's cgroups it inherits from its parent.)
//
// Everything here is async-signal-safe and allocates nothing, so a process
// forked from a threaded parent may call it before it executes a program or
// runs the script in place.
#pragma once

#include <sys/types.h>

namespace velto::isolation {

struct ChildPlan {
    pid_t parent;                  // it ends itself if the parent is already gone
    int cwd_fd;                    // the directory to work in
    int stdin_fd;                  // becomes descriptor 0; -1 leaves 0 closed
    int output_fd;                 // becomes descriptor 1
    int errors_fd;                 // becomes descriptor 2
    // All three are above 2.
    long long memory_bytes;        // RLIMIT_DATA, soft and hard; -1 leaves it
    long long max_processes = -1;  // RLIMIT_NPROC, soft and hard; -1 leaves it
};

// Returns 0, or the errno of the step that failed.
int prepare_child(const ChildPlan& plan);

// Executes `program` with `argv` and `envp`, looking a name without a slash
// up in the PATH of `envp` as the interpreter's subprocess does. Returns the
// errno of the failure (the first one other than "not found" along PATH).
int execute(const char* program, char* const argv[], char* const envp[]);

}  // namespace velto::isolation
