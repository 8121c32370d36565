// The cgroups of one code run, where the host may make them: a pids cgroup
// caps the number of tasks (processes and threads) of the whole run, which
// RLIMIT_NPROC cannot do for root and does only per user for others; a
// memory cgroup caps the memory of all its processes together, which a
// per-process limit cannot do against a fork loop.
//
// Each is a child of the host's own cgroup in its hierarchy (cgroup v1, or
// v2 where the host's cgroup hands the controller down), so the host's own
// limits still hold. Where a directory cannot be made or limited (no
// hierarchy, no rights, controller not delegated) the run goes without it
// and the supervisor falls back on rlimits.
#pragma once

#include <string>

namespace velto::isolation {

struct RunCgroups {
    std::string pids;    // directory, empty when there is none
    std::string memory;  // directory (the same as `pids` under v2), empty when there is none
};

// Makes the (empty, unlimited) cgroups of a new run. Never fails: what
// cannot be made stays empty.
RunCgroups make_run_cgroups();

// Writes the run's limits: the pids cgroup's task limit, the memory
// cgroup's byte limit. Returns 0 or an errno.
int limit_run_cgroups(const RunCgroups& cgroups, long long max_tasks, long long memory_bytes);

// Moves the calling process into the cgroup in `directory`, or back to its
// parent. Returns 0 or an errno. The kernel waits for an RCU grace period
// on the first move after a pause (5 to 12 ms here): as long as an
// interpreter takes to start.
int join_cgroup(const std::string& directory);
int leave_cgroup(const std::string& directory);

// Kills every process in `directory` until none is left (or a bound of
// rounds has passed), for when the supervisor is not there to do it.
void kill_members(const std::string& directory);

// Removes the directory of an emptied cgroup; one that is already gone is
// no error.
void remove_cgroup(const std::string& directory);

// How many processes the memory cgroup in `directory` has killed.
long long out_of_memory_kills(const std::string& directory);

}  // namespace velto::isolation
