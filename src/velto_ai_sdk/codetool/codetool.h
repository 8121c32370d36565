// The code runner: a private virtual environment, package installation
// into it with pip, and execution of generated code under its interpreter.
#pragma once

#include "velto_ai_sdk/frame/function.h"

namespace velto::frame {
class Arguments;
}

namespace velto::codetool {

// environment.cpp
extern const frame::FunctionDef initialize_environment;
extern const frame::FunctionDef ensure_virtual_environment;

// installation.cpp
extern const frame::FunctionDef install_defaults;
extern const frame::FunctionDef safe_install_modules;
extern const frame::FunctionDef install_dependencies;

// execution.cpp
extern const frame::FunctionDef execute_code;
// Starts the warm worker ahead of the first run, when the host's settings
// ask for warm runs; what keeps it from starting is left for that run to
// meet and tell.
void prepare_warm_runs(const frame::Arguments& call);

}  // namespace velto::codetool
