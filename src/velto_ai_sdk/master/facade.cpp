// velto_ai_sdk.master: one guarded call each to set up the private
// environment and to install packages into it, for hosts that would rather
// read a printed line than handle an exception. Everything public of the
// code runner is re-exported.
#include "velto_ai_sdk/codetool/install_and_report.h"
#include "velto_ai_sdk/frame/body.h"

namespace velto::master {

namespace {

namespace py = pybind11;

py::object initialize_env_body(const frame::Arguments& call) {
    frame::guarded(call, "An error occurred during initilization: ",
                   [&] { call.call_global("initialize_environment", call[0]); });
    return py::none();
}

const frame::FunctionDef initialize_env = frame::function<initialize_env_body>("initialize_env", {"env_path"});

const frame::FunctionDef safe_install_modules =
    frame::function<codetool::install_and_report>("safe_install_modules", {"module_names"})
        .with_doc("\n    Calls install_dependencies with a list of module names and handles any errors.\n    \n"
                  "    :param module_names: A list of strings representing the names of the modules to install.\n"
                  "    ");

void body(frame::Module& module) {
    module.import_star("velto_ai_sdk.codetool");
    module.define(initialize_env);
    module.define(safe_install_modules);
}

frame::ModuleDefinition definition("master", "velto_ai_sdk.master", frame::run_body<body>, __FILE__, __LINE__);

}  // namespace

}  // namespace velto::master

VELTO_MODULE_INIT PyInit_master(void) { return velto::master::definition.initialize(); }
