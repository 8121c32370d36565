// One run of the script, seen from the host: a supervisor process
// (isolation/) started for it, the script's output read while it runs, the
// time limit kept, and the run ended and cleaned up whatever happens, an
// interrupt included.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "velto_ai_sdk/codetool/isolation/protocol.h"
#include "velto_ai_sdk/codetool/run_sandbox.h"
#include "velto_ai_sdk/codetool/run_settings.h"

namespace velto::codetool {

struct RunRequest {
    isolation::RunMode mode = isolation::RunMode::cold;
    std::string program;                   // file-system encoded
    std::string script;
    std::string worker;                    // the warm worker's file, when not cold
    std::vector<std::string> environment;  // "NAME=value"
    RunSandbox sandbox;
    RunSettings settings;
    py::object encoding;                   // of the script's output
};

struct RunOutcome {
    enum class End {
        exited,           // status: the script's wait status
        timed_out,        // stopped at the time limit
        start_failed,     // status: errno of executing the program
        setup_failed,     // status: errno of preparing the script's process
        supervisor_lost,  // the supervisor died before the script's end (killed by it, say)
        refused,          // status: the sandbox layer that VELTO_CODE_SANDBOX=strict missed (a layer report)
    } end;
    int status = 0;
    bool out_of_memory = false;  // the memory cgroup killed a process of the run
    // Why a warm run was started from nothing after all, if it was.
    isolation::WarmUnavailable warm_unavailable = isolation::WarmUnavailable(0);
    // The sandbox layers the run went without (layer reports).
    std::vector<int32_t> layers_missing;
    py::str output;
    py::str errors;
};

// Raises OSError when no supervisor can be started, and whatever a signal
// handler raises (KeyboardInterrupt) after the run has been ended.
RunOutcome run_supervised(const RunRequest& request);

// Has a supervisor start the warm worker for runs like `request` (a
// warm_up request) without waiting for its imports.
void warm_up(const RunRequest& request);

}  // namespace velto::codetool
