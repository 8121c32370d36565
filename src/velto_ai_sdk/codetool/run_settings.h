// The code runner's settings, read from the host's environment at every
// run by the one rule for settings (frame/settings.h).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace velto::codetool {

namespace py = pybind11;

constexpr const char* timeout_variable = "VELTO_CODE_TIMEOUT";
constexpr const char* memory_variable = "VELTO_CODE_MAX_MEMORY_MB";
constexpr const char* processes_variable = "VELTO_CODE_MAX_PROCESSES";
constexpr const char* output_variable = "VELTO_CODE_MAX_OUTPUT";
constexpr const char* pass_env_variable = "VELTO_CODE_PASS_ENV";
constexpr const char* warm_variable = "VELTO_CODE_WARM";
constexpr const char* sandbox_variable = "VELTO_CODE_SANDBOX";
constexpr const char* network_variable = "VELTO_CODE_NETWORK";
constexpr const char* read_paths_variable = "VELTO_CODE_READ_PATHS";
constexpr const char* write_paths_variable = "VELTO_CODE_WRITE_PATHS";
// For the tests: sandbox layers (by name) to count as missing.
constexpr const char* made_missing_variable = "VELTO_CODE_SANDBOX_TEST_MISSING";

struct RunSettings {
    double timeout_seconds;      // 0: no limit
    long long memory_megabytes;  // of each process, and of the run's processes together where a cgroup can hold them
    long long max_tasks;         // processes and threads of the run at once
    long long max_output_chars;  // of the output, or of the error output, returned
    py::list passed_names;       // more variables the host hands to the script
    bool warm;                   // forked from the warm worker rather than started from nothing
    uint32_t sandbox;            // isolation::sandbox::Mode
    bool network;                // the sandbox's network layers lifted
    uint32_t made_missing;       // sandbox layers to count as missing
    py::list read_paths;         // more paths the script may read, absolute
    py::list write_paths;        // more paths the script may write, absolute
};

// Raises ValueError for a value outside its range.
RunSettings read_run_settings(py::handle environ);

}  // namespace velto::codetool
