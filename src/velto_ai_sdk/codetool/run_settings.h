// The code runner's settings, read from the host's environment at every
// run by the one rule for settings (frame/settings.h).
#pragma once

#include <pybind11/pybind11.h>

namespace velto::codetool {

namespace py = pybind11;

constexpr const char* timeout_variable = "VELTO_CODE_TIMEOUT";
constexpr const char* memory_variable = "VELTO_CODE_MAX_MEMORY_MB";
constexpr const char* processes_variable = "VELTO_CODE_MAX_PROCESSES";
constexpr const char* output_variable = "VELTO_CODE_MAX_OUTPUT";
constexpr const char* pass_env_variable = "VELTO_CODE_PASS_ENV";
constexpr const char* warm_variable = "VELTO_CODE_WARM";

struct RunSettings {
    double timeout_seconds;      // 0: no limit
    long long memory_megabytes;  // of each process, and of the run's processes together where a cgroup can hold them
    long long max_tasks;         // processes and threads of the run at once
    long long max_output_chars;  // of the output, or of the error output, returned
    py::list passed_names;       // more variables the host hands to the script
    bool warm;                   // forked from the warm worker rather than started from nothing
};

// Raises ValueError for a value outside its range.
RunSettings read_run_settings(py::handle environ);

}  // namespace velto::codetool
