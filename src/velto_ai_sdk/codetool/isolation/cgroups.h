// The cgroups of a supervisor and of the runs it serves one at a time,
// where the host may make them: a pids cgroup caps the number of tasks
// (processes and threads) of a whole run, which RLIMIT_NPROC cannot do for
// root and does only per user for others; a memory cgroup caps the memory
// of all its processes together, which a per-process limit cannot do
// against a fork loop. Each run sets the limits it was asked for.
//
// Each is a child of the host's own cgroup in its hierarchy (cgroup v1, or
// v2 where the host's cgroup hands the controller down), so the host's own
// limits still hold. Where a directory cannot be made (no hierarchy, no
// rights, controller not delegated) the runs go without it and the
// supervisor falls back on rlimits.
#pragma once

#include <string>
#include <vector>

namespace velto::isolation {

struct RunCgroups {
    std::string pids;    // directory, empty when there is none
    std::string memory;  // directory (the same as `pids` under v2), empty when there is none

    // The directories there are, each once.
    std::vector<std::string> directories() const;
};

// Makes the (empty, unlimited) cgroups of a new supervisor. Never fails:
// what cannot be made stays empty.
RunCgroups make_run_cgroups();

// Writes a run's limits: the pids cgroup's task limit (none when negative),
// the memory cgroup's byte limit. Returns 0 or an errno.
int limit_run_cgroups(const RunCgroups& cgroups, long long max_tasks, long long memory_bytes);

// Moves the calling process into the cgroups. Returns 0 or an errno. The
// kernel waits for an RCU grace period on the first move after a pause
// (5 to 12 ms here, every fork on the machine held meanwhile): as long as
// an interpreter takes to start.
int join_cgroups(const RunCgroups& cgroups);

// Moves the calling process back to the cgroups' parents and removes them.
void leave_cgroups(const RunCgroups& cgroups);

// Kills every process in the cgroups until none is left (or a bound of
// rounds has passed), for when the supervisor is not there to do it.
void kill_members(const RunCgroups& cgroups);

// Removes the directories of emptied cgroups; one that is already gone is
// no error.
void remove_cgroups(const RunCgroups& cgroups);

// How many processes the memory cgroup has killed so far.
long long out_of_memory_kills(const RunCgroups& cgroups);

}  // namespace velto::isolation
