#include "velto_ai_sdk/codetool/run_settings.h"

#include "velto_ai_sdk/frame/settings.h"

namespace velto::codetool {

namespace settings = frame::settings;

RunSettings read_run_settings(py::handle environ) {
    RunSettings read;
    read.timeout_seconds = settings::number(environ, timeout_variable, 300, 0, -1, " seconds");
    // pandas, scikit-learn and matplotlib at work take well under 1 GB; BLAS
    // reserves a buffer per core on top, which a 4 GB cap leaves room for
    // on large machines.
    read.memory_megabytes = settings::integer(environ, memory_variable, 4096, 100, 16 * 1024 * 1024);
    // Threads count too: a BLAS pool per core, joblib's workers.
    read.max_tasks = settings::integer(environ, processes_variable, 256, 1, 4 * 1024 * 1024);
    // About what a result table of the connectors may hold.
    read.max_output_chars = settings::integer(environ, output_variable, 50000, 1000, 1000 * 1000 * 1000);
    read.passed_names = settings::names(environ, pass_env_variable);
    read.warm = settings::flag(environ, warm_variable);
    return read;
}

}  // namespace velto::codetool
