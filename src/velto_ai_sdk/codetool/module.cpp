// velto_ai_sdk.codetool: the module body. The settings start unset; the
// host chooses the environment with initialize_environment.
#include "velto_ai_sdk/codetool/codetool.h"
#include "velto_ai_sdk/codetool/sandbox_layers.h"
#include "velto_ai_sdk/frame/body.h"

namespace velto::codetool {

namespace {

namespace py = pybind11;

void body(frame::Module& module) {
    module.import_module("subprocess");
    module.import_module("venv");
    module.import_module("tempfile");
    module.import_module("os");

    // Read by the operations at each use, never copied, so that a value
    // assigned from outside counts at once.
    module.bind("env_path", py::none());
    module.bind("media_path", py::none());
    module.bind("python_executable", py::none());

    module.define(initialize_environment);
    module.define(ensure_virtual_environment);
    module.define(install_defaults);
    module.define(safe_install_modules);
    module.define(install_dependencies);
    module.define(execute_code);
    // For velto-ai check; not among the names a star import copies.
    module.define(sandbox_layers);
}

frame::ModuleDefinition definition("codetool", "velto_ai_sdk.codetool", frame::run_body<body>, __FILE__, __LINE__);

}  // namespace

}  // namespace velto::codetool

VELTO_MODULE_INIT PyInit_codetool(void) { return velto::codetool::definition.initialize(); }
