// The warm worker, seen from the supervisor: an interpreter of the
// environment, started by the supervisor as its child with the runs'
// environment (velto_ai_sdk/warm_worker.py), that has imported the analysis
// packages and forks each run's process from itself. The run's process
// becomes the supervisor's own child (a subreaper), so that supervision
// holds as for a run started from nothing; the worker is spared when the
// run's processes are ended, and kept for the next run while the
// interpreter, its file, the environment (and, for a relative interpreter
// path, the working directory it is found from) stay the same.
//
// Being in the supervisor's cgroups, it counts there: each run is allowed
// its limits on top of what the worker holds (its tasks and anonymous
// memory; its data memory in the run's own RLIMIT_DATA).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "velto_ai_sdk/codetool/isolation/protocol.h"
#include "velto_ai_sdk/codetool/isolation/sandbox.h"

namespace velto::isolation {

// Its descriptor 3: a sequenced-packet socket. A request is one message:
// this header, then the script's path, the run's private directory and the
// sandbox's kit (sandbox::KitData); with it the working directory, the
// output and error pipes, the report pipe's write end, standard input (if
// any) and the kit's descriptors that there are (ruleset, user namespace,
// network namespace, as sandbox_fds says). Answers come through the report
// pipe as (kind, value) pairs.
struct WorkerRequest {
    int64_t memory_bytes;   // the run's RLIMIT_DATA, on top of what the worker holds
    int64_t max_processes;  // the run's RLIMIT_NPROC, -1 for none
    int32_t has_stdin;
    int32_t path_size;
    int32_t private_dir_size;  // 0: no private directory
    int32_t kit_size;          // 0: no sandbox to enter
    int32_t sandbox_fds;       // 1: a ruleset, 2: a user namespace, 4: a network namespace
    int32_t reserved;
};

enum class WorkerAnswer : int32_t {
    started = 1,       // value: the run's process id, now the supervisor's child and ready
    setup_failed = 2,  // value: errno
    stale = 3,         // packages changed since the worker imported them: it takes no more runs
};

class WarmWorker {
public:
    WarmWorker() = default;
    WarmWorker(const WarmWorker&) = delete;
    WarmWorker& operator=(const WarmWorker&) = delete;
    ~WarmWorker() { end(); }

    // Whether a worker is running (one that ended is reaped here) that was
    // started for the request's interpreter, file and environment.
    bool serves(const Request& request);

    // Starts a worker for the request in the calling process's cgroups.
    // Returns 0 or an errno.
    int start(const Request& request);

    enum class Wait { ready, ended, timed_out, stopped, host_gone };
    // Until the worker has done its imports; a stop or the end of the
    // host's socket (`control_fd`) ends the wait.
    Wait wait_until_ready(int control_fd);

    struct Handover {
        enum class Result { started, setup_failed, stale, ended, no_answer } result;
        int value;  // the process id, or the errno
    };
    // Hands a run over (the worker must be ready), with the sandbox it is to
    // enter, if any. Only the request's and the kit's descriptors go along;
    // the caller closes its own.
    Handover hand_over(const Request& request, long long max_processes, const sandbox::Preparer::Prepared* sandboxed);

    pid_t pid() const { return pid_; }
    // Its tasks and anonymous resident memory (what the memory cgroup
    // cannot reclaim) now, or 0.
    long long tasks() const;
    long long anonymous_bytes() const;

    // Tells it a run is over: it makes the next run's process ahead.
    void idle() const;
    // It was reaped elsewhere (the sweep after a run).
    void forget();
    // A run may have stopped it.
    void resume() const;
    // Kills and reaps it, if there is one, and every other child of the
    // caller's (the run's process it made ahead): call it between runs.
    void end();

private:
    bool same_directory(int cwd_fd) const;

    pid_t pid_ = -1;
    int channel_ = -1;
    int streams_ = -1;  // read end of its standard output and error, until it is ready
    bool ready_ = false;
    std::string program_;
    std::string file_;
    std::vector<std::string> environment_;
    dev_t directory_device_ = 0;
    ino_t directory_inode_ = 0;
};

}  // namespace velto::isolation
