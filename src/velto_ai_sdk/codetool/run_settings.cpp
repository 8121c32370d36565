#include "velto_ai_sdk/codetool/run_settings.h"

#include "velto_ai_sdk/codetool/isolation/sandbox.h"
#include "velto_ai_sdk/frame/body.h"
#include "velto_ai_sdk/frame/settings.h"

namespace velto::codetool {

namespace settings = frame::settings;

namespace {

namespace sandbox = isolation::sandbox;

uint32_t sandbox_mode(py::handle environ) {
    std::string mode = settings::choice(environ, sandbox_variable, "auto", {"auto", "strict", "off"});
    return uint32_t(mode == "off" ? sandbox::Mode::off : mode == "strict" ? sandbox::Mode::strict
                                                                         : sandbox::Mode::automatic);
}

uint32_t layers_named(py::handle environ) {
    uint32_t layers = 0;
    for (py::handle name : settings::names(environ, made_missing_variable)) {
        int found = -1;
        for (int index = 0; index < sandbox::layer_count && found < 0; ++index) {
            found = py::str(name).equal(py::str(sandbox::layer_name(index))) ? index : -1;
        }
        if (found < 0) {
            frame::raise(PyExc_ValueError, py::str("{} names no sandbox layer: {}").format(made_missing_variable,
                                                                                            py::repr(name)));
        }
        layers |= 1u << found;
    }
    return layers;
}

}  // namespace

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
    read.sandbox = sandbox_mode(environ);
    read.network = settings::flag(environ, network_variable);
    read.made_missing = layers_named(environ);
    read.read_paths = settings::paths(environ, read_paths_variable);
    read.write_paths = settings::paths(environ, write_paths_variable);
    return read;
}

}  // namespace velto::codetool
