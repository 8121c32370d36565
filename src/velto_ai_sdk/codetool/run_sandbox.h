// What one run's sandbox is given, worked out in the host: the paths it
// may read (the interpreter's installation and the environment, the result
// files of the agent whose tool runs it, VELTO_CODE_READ_PATHS) and write
// (that agent's media directory, made if missing, VELTO_CODE_WRITE_PATHS),
// a private directory of its own for HOME and TMPDIR (its own /dev/shm, a
// tmpfs, where it has namespaces), and matplotlib's
// font cache, made once per environment so that no run builds it again.
// The supervisor makes the sandbox of it (isolation/sandbox.h).
//
// The agent's part comes from velto_ai_sdk.agent_scope, read when a module
// of the package has loaded it (an agent, or a query); this module imports
// nothing of the package.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "velto_ai_sdk/codetool/run_settings.h"

namespace velto::frame {
class Arguments;
}

namespace velto::codetool {

namespace py = pybind11;

struct RunSandbox {
    std::string private_dir;  // empty when the sandbox is off
    std::vector<std::string> reads, writes;
    std::vector<std::string> environment;  // entries to add (MPLCONFIGDIR)
};

// The paths, a name for the private directory (in the interpreter's
// temporary directory; made by the supervisor where the run has no /dev/shm
// of its own) and the variables; `program` is the interpreter, file-system
// encoded. Raises OSError when no random name can be had.
RunSandbox run_sandbox(const frame::Arguments& call, const std::string& program, const RunSettings& settings,
                       const std::vector<std::string>& environment);

// The variables every run of `program` gets beside `environment` (the
// allow-listed ones): MPLCONFIGDIR, matplotlib's font cache, made if need be.
std::vector<std::string> environment_additions(const std::string& program,
                                               const std::vector<std::string>& environment);

// Removes the private directory and what the script left in it, if the
// supervisor could not. Never fails.
void remove_private_dir(const RunSandbox& sandbox) noexcept;

}  // namespace velto::codetool
