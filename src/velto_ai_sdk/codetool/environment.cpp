// The private virtual environment: where it is, and making it on first use.
#include "velto_ai_sdk/codetool/codetool.h"
#include "velto_ai_sdk/frame/body.h"

namespace velto::codetool {

namespace {

namespace py = pybind11;
using namespace pybind11::literals;

py::object initialize_environment_body(const frame::Arguments& call) {
    call.set_global("env_path", call[0]);
    call.global("ensure_virtual_environment")();
    // The worker imports while the host goes on (a model's first answer
    // takes longer), so the first run finds it ready.
    prepare_warm_runs(call);
    return py::none();
}

// Anything already at the path counts as the environment: it is never
// created twice, repaired or given the default packages again.
py::object ensure_virtual_environment_body(const frame::Arguments& call) {
    py::object env_exists = call.global("os").attr("path").attr("exists")(call.global("env_path"));
    bool created_now = !frame::is_true(env_exists);
    if (created_now) {
        call.global("venv").attr("create")(call.global("env_path"), "with_pip"_a = true);
    }
    call.set_global("python_executable",
                    call.global("os").attr("path").attr("join")(call.global("env_path"), "bin", "python"));
    if (created_now) {
        call.global("install_defaults")();
    }
    return py::none();
}

}  // namespace

const frame::FunctionDef initialize_environment =
    frame::function<initialize_environment_body>("initialize_environment", {"env_path_param"});

const frame::FunctionDef ensure_virtual_environment =
    frame::function<ensure_virtual_environment_body>("ensure_virtual_environment", {});

}  // namespace velto::codetool
