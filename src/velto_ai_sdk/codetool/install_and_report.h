// The guarded installation that both codetool and master offer as
// safe_install_modules: pip runs through install_dependencies as the calling
// module's namespace has it, and the outcome is one printed line, never an
// exception of the Exception family.
#pragma once

#include "velto_ai_sdk/frame/body.h"

namespace velto::codetool {

inline pybind11::object install_and_report(const frame::Arguments& call) {
    frame::guarded(call, "An error occurred during installation: ", [&] {
        call.call_global("install_dependencies", call[0]);
        call.print("Installation successful.");
    });
    return pybind11::none();
}

}  // namespace velto::codetool
