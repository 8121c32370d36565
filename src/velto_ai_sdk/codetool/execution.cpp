// Execution of generated code: the code becomes a temporary script that the
// environment's interpreter runs in a child process.
#include "velto_ai_sdk/codetool/codetool.h"
#include "velto_ai_sdk/frame/body.h"

namespace velto::codetool {

namespace {

namespace py = pybind11;
using namespace pybind11::literals;

// The script may have removed its own file; that is no reason to lose its
// result.
void remove_script(const frame::Arguments& call, py::handle path) {
    try {
        call.global("os").attr("remove")(path);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_FileNotFoundError)) {
            throw;
        }
    }
}

// Writes `code` to a new temporary script, closed before it is run. When
// writing fails, the file goes too.
py::object write_script(const frame::Arguments& call, py::handle code) {
    py::object script = call.global("tempfile").attr("NamedTemporaryFile")("delete"_a = false, "suffix"_a = ".py",
                                                                             "mode"_a = "w");
    py::object path = script.attr("name");
    try {
        frame::with(script, [&](py::handle temp_script) { temp_script.attr("write")(code); });
    } catch (...) {
        remove_script(call, path);
        throw;
    }
    return path;
}

py::object run_script(const frame::Arguments& call, py::handle path) {
    py::list command;
    command.append(call.global("python_executable"));
    command.append(path);
    try {
        py::object result = call.global("subprocess").attr("run")(command, "capture_output"_a = true, "text"_a = true,
                                                                   "check"_a = true);
        return result.attr("stdout");
    } catch (py::error_already_set& error) {
        if (!error.matches(call.global("subprocess").attr("CalledProcessError"))) {
            throw;
        }
        return py::str("An error occurred--: ") + frame::format(error.value().attr("stderr"));
    }
}

py::object execute_code_body(const frame::Arguments& call) {
    py::object path = write_script(call, call[0]);
    py::object output;
    try {
        output = run_script(call, path);
    } catch (...) {
        remove_script(call, path);
        throw;
    }
    remove_script(call, path);
    return output;
}

}  // namespace

const frame::FunctionDef execute_code = frame::function<execute_code_body>("execute_code", {"code"});

}  // namespace velto::codetool
