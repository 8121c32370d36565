// Execution of generated code: the code becomes a temporary script that the
// environment's interpreter runs in a child process, isolated from the host
// (supervised_run.h): an allow-listed environment, a time limit, capped
// memory and processes, bounded output, nothing left running afterwards.
// With VELTO_CODE_WARM, the script's process is forked from a warm worker
// that has the analysis packages imported already (isolation/warm_worker.h),
// under the same rules.
#include <cerrno>
#include <cstring>

#include <sys/wait.h>

#include "velto_ai_sdk/codetool/child_environment.h"
#include "velto_ai_sdk/codetool/codetool.h"
#include "velto_ai_sdk/codetool/run_sandbox.h"
#include "velto_ai_sdk/codetool/run_settings.h"
#include "velto_ai_sdk/codetool/sandbox_layers.h"
#include "velto_ai_sdk/codetool/supervised_run.h"
#include "velto_ai_sdk/codetool/supervisor_process.h"
#include "velto_ai_sdk/frame/body.h"
#include "velto_ai_sdk/frame/settings.h"

namespace velto::codetool {

namespace {

namespace py = pybind11;
using namespace pybind11::literals;

constexpr const char* error_prefix = "An error occurred--: ";

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

// A path as the operating system takes it; TypeError for None, as the
// interpreter's subprocess gives.
std::string file_system_bytes(py::handle path) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(path.ptr(), &converted) == 0) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(converted).cast<std::string>();
}

[[noreturn]] void raise_start_error(int error, py::handle program) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, program.ptr());
    throw py::error_already_set();
}

[[noreturn]] void raise_setup_error(int error) {
    frame::raise(PyExc_OSError, py::make_tuple(error, py::str("the script's process could not be prepared: ") +
                                                          py::str(strerror(error))));
}

py::str signal_name(int number) {
    try {
        return py::module_::import("signal").attr("Signals")(number).attr("name");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        return py::str("signal {}").format(number);
    }
}

py::str seconds(double value) { return frame::settings::shown(value) + py::str(value == 1 ? " second" : " seconds"); }

py::str on_its_own_line(py::str text) {
    Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
    return size > 0 && PyUnicode_READ_CHAR(text.ptr(), size - 1) != '\n' ? text + py::str("\n") : text;
}

// What a failed script leaves for the model: its error output, and why the
// system ended it when it did.
py::str failure_text(const RunOutcome& outcome, const RunSettings& settings) {
    if (!WIFSIGNALED(outcome.status)) {
        return py::str(error_prefix) + outcome.errors;
    }
    py::str line = py::str("The script was ended by {}.").format(signal_name(WTERMSIG(outcome.status)));
    if (outcome.out_of_memory) {
        line = line + py::str(" Its processes together needed more memory than the {} MB that {} allows.")
                          .format(settings.memory_megabytes, memory_variable);
    }
    return py::str(error_prefix) + on_its_own_line(outcome.errors) + line + py::str("\n");
}

// A run of the environment's interpreter, `program`, under `settings`, with
// the script still to be named.
RunRequest run_request(py::handle program, const RunSettings& settings, py::handle environ) {
    RunRequest request;
    request.mode = settings.warm ? isolation::RunMode::warm : isolation::RunMode::cold;
    request.program = file_system_bytes(program);
    if (settings.warm) {
        request.worker = warm_worker_path();
    }
    request.environment = child_environment(environ, settings.passed_names);
    request.settings = settings;
    return request;
}

// The one line a host sees when a warm run had to start from nothing.
void say_started_from_nothing(isolation::WarmUnavailable why) {
    using isolation::WarmUnavailable;
    const char* what = why == WarmUnavailable::not_started ? "could not be started"
                       : why == WarmUnavailable::ended     ? "ended before it took the run"
                                                           : "did not answer in time";
    PySys_WriteStderr("velto_ai_sdk: the warm worker of the code runner %s (%s); this run started a fresh "
                      "interpreter.\n",
                      what, warm_variable);
}

// The run in its sandbox; its private directory goes whatever happens.
RunOutcome run_sandboxed(const frame::Arguments& call, RunRequest& request) {
    request.sandbox = run_sandbox(call, request.program, request.settings, request.environment);
    try {
        RunOutcome outcome = run_supervised(request);
        remove_private_dir(request.sandbox);
        return outcome;
    } catch (...) {
        remove_private_dir(request.sandbox);
        throw;
    }
}

py::object run_script(const frame::Arguments& call, py::handle path, const RunSettings& settings,
                      py::handle environ) {
    py::object program = call.global("python_executable");
    RunRequest request = run_request(program, settings, environ);
    request.script = file_system_bytes(path);
    request.encoding = py::module_::import("locale").attr("getpreferredencoding")(false);
    RunOutcome outcome = run_sandboxed(call, request);
    if (outcome.warm_unavailable != isolation::WarmUnavailable(0)) {
        say_started_from_nothing(outcome.warm_unavailable);
    }
    notice_missing_layers(outcome.layers_missing);
    switch (outcome.end) {
        case RunOutcome::End::start_failed:
            raise_start_error(outcome.status, program);
        case RunOutcome::End::setup_failed:
            raise_setup_error(outcome.status);
        case RunOutcome::End::timed_out:
            return py::str("{}The script was stopped after {}, the time limit that {} sets.\n")
                .format(error_prefix, seconds(settings.timeout_seconds), timeout_variable);
        case RunOutcome::End::supervisor_lost:
            return py::str(error_prefix) +
                   py::str("The script's supervisor was killed; every process of the run has been ended.\n");
        case RunOutcome::End::refused:
            return py::str(error_prefix) + refusal_text(outcome.status);
        case RunOutcome::End::exited:
            break;
    }
    if (WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) {
        return outcome.output;
    }
    return failure_text(outcome, settings);
}

py::object execute_code_body(const frame::Arguments& call) {
    // A bad setting is the host's to mend, found before anything is written.
    py::object environ = call.global("os").attr("environ");
    RunSettings settings = read_run_settings(environ);
    py::object path = write_script(call, call[0]);
    py::object output;
    try {
        output = run_script(call, path, settings, environ);
    } catch (...) {
        remove_script(call, path);
        throw;
    }
    remove_script(call, path);
    return output;
}

}  // namespace

const frame::FunctionDef execute_code = frame::function<execute_code_body>("execute_code", {"code"});

void prepare_warm_runs(const frame::Arguments& call) {
    try {
        py::object environ = call.global("os").attr("environ");
        RunSettings settings = read_run_settings(environ);
        if (!settings.warm) {
            return;
        }
        RunRequest request = run_request(call.global("python_executable"), settings, environ);
        request.mode = isolation::RunMode::warm_up;
        request.encoding = py::str("utf-8");
        request.sandbox.environment = environment_additions(request.program, request.environment);
        warm_up(request);
    } catch (py::error_already_set& error) {
        // The first run meets the same trouble, and says so.
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
    }
}

}  // namespace velto::codetool
