// One run of the script, seen from the host: a supervisor process
// (isolation/) started for it, the script's output read while it runs, the
// time limit kept, and the run ended and cleaned up whatever happens, an
// interrupt included.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "velto_ai_sdk/codetool/run_settings.h"

namespace velto::codetool {

struct RunRequest {
    std::string program;                   // file-system encoded
    std::string script;
    std::vector<std::string> environment;  // "NAME=value"
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
    } end;
    int status = 0;
    bool out_of_memory = false;  // the memory cgroup killed a process of the run
    py::str output;
    py::str errors;
};

// Raises OSError when no supervisor can be started, and whatever a signal
// handler raises (KeyboardInterrupt) after the run has been ended.
RunOutcome run_supervised(const RunRequest& request);

}  // namespace velto::codetool
