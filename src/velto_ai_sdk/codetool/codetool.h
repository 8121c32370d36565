// The code runner: a private virtual environment, package installation
// into it with pip, and execution of generated code under its interpreter.
#pragma once

#include "velto_ai_sdk/frame/function.h"

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

}  // namespace velto::codetool
