// Package installation into the private environment, one pip run per
// requirement with the environment's own interpreter.
#include "velto_ai_sdk/codetool/codetool.h"
#include "velto_ai_sdk/codetool/install_and_report.h"
#include "velto_ai_sdk/frame/body.h"

namespace velto::codetool {

namespace {

namespace py = pybind11;

// pip prints its own progress and diagnostics on the inherited streams; we
// keep only its exit status. A requirement that fails does not stop the
// others: each is attempted, and the failures are reported together at the
// end.
py::object install_dependencies_body(const frame::Arguments& call) {
    py::handle dependencies = call[0];
    py::list failures;
    auto install = [&](py::handle requirement) {
        py::list command;
        command.append(call.global("python_executable"));
        command.append("-m");
        command.append("pip");
        command.append("install");
        command.append(requirement);
        py::object status = call.global("subprocess").attr("call")(command);
        if (!status.equal(py::int_(0))) {
            failures.append(py::str("{!r} (exit status {})").format(requirement, status));
        }
    };
    // One string is one requirement, not one per letter.
    if (PyUnicode_Check(dependencies.ptr())) {
        install(dependencies);
    } else {
        for (py::handle requirement : dependencies) {
            install(requirement);
        }
    }
    if (py::len(failures) > 0) {
        frame::raise(PyExc_RuntimeError, py::str("pip failed to install ") + py::str(", ").attr("join")(failures));
    }
    return py::none();
}

py::object install_defaults_body(const frame::Arguments& call) {
    py::list defaults;
    for (const char* name : {"matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"}) {
        defaults.append(name);
    }
    call.global("safe_install_modules")(defaults);
    return py::none();
}

}  // namespace

const frame::FunctionDef install_dependencies =
    frame::function<install_dependencies_body>("install_dependencies", {"dependencies"});

const frame::FunctionDef safe_install_modules =
    frame::function<install_and_report>("safe_install_modules", {"module_names"});

const frame::FunctionDef install_defaults = frame::function<install_defaults_body>("install_defaults", {});

}  // namespace velto::codetool
